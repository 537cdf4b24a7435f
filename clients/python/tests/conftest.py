import copy
import sys
from pathlib import Path

# The package from this checkout, whether or not it is installed.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))


def changed(base, path, value=KeyError):
    """`base` with the key at `path` ("gpu.ok") set to `value`, or removed."""
    out = copy.deepcopy(base)
    *parents, last = path.split(".")
    node = out
    for key in parents:
        node = node[key]
    if value is KeyError:
        del node[last]
    else:
        node[last] = value
    return out
