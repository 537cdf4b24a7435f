import sys
from pathlib import Path

# The package from this checkout, whether or not it is installed.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
