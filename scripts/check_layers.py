#!/usr/bin/env python3
"""Checks the include graph of src/ against the layer order the build declares.

Each src/<layer>/CMakeLists.txt names its layer and the layers it links (`kl_layer(NAME
DEPS ...)`). A file in a layer may include its own headers and those of the layers it
declares: a layer reached only through another must be declared too, so that the list says
what the layer really uses. A unit test may also include the test tree's fakes, timing and
test data. In the layers listed in CIRCLE_FREE no two files include each other in a circle,
counting a header and its .cc as one. Every source file is listed in its layer's
CMakeLists.txt, so none is silently left out. No production file includes anything from
tests/, and only src/os and the Direct3D 11 pipeline include Windows headers. Prints every
violation; exits 1 when there is one.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
TEST_TREE = {"fakes", "dxbc", "contract", "timing"}  # folders under tests/ that unit tests include
WINDOWS_HEADERS = re.compile(r"#include\s*<(windows|d3d11|d3dcompiler|dxgi|wrl/client)\.h>", re.I)
CIRCLE_FREE = {"gpu"}  # layers whose files include each other in no circle
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def declared_layers():
    layers = {}
    for cml in sorted(SRC.glob("*/CMakeLists.txt")):
        m = re.search(r"kl_layer\(\s*(\w+)((?:\s+DEPS)(?:\s+\w+)*)?", cml.read_text())
        if not m:
            continue
        deps = []
        for word in (m.group(2).split()[1:] if m.group(2) else []):
            if word.isupper():  # the next keyword ends the list
                break
            deps.append(word)
        layers[m.group(1)] = deps
    return layers


def closure(layers, name, seen=None):
    seen = set() if seen is None else seen
    for dep in layers.get(name, []):
        if dep not in seen:
            seen.add(dep)
            closure(layers, dep, seen)
    return seen


def circles(graph):
    """Each include circle once, as the list of units along it."""
    found, state = [], {}

    def visit(unit, path):
        state[unit] = "open"
        for nxt in sorted(graph.get(unit, ())):
            if state.get(nxt) == "open":
                found.append(path[path.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt, path + [nxt])
        state[unit] = "done"

    for unit in sorted(graph):
        if unit not in state:
            visit(unit, [unit])
    return found


def main():
    layers = declared_layers()
    problems = []
    graph = {}  # "gpu/dispatch" -> {"gpu/gpu_thread", ...}; tests are no one's dependency
    for layer in layers:
        if layer != layer.lower() or layer not in {p.name for p in SRC.iterdir()}:
            problems.append(f"layer {layer}: no folder src/{layer}")
        if layer in closure(layers, layer):
            problems.append(f"layer {layer}: depends on itself")
    listed = {}
    for cml in SRC.glob("*/CMakeLists.txt"):
        listed[cml.parent.name] = set(re.findall(r"[\w.]+\.cc\b", cml.read_text()))
    # The entry, its early output guard and the companion library are built in src/CMakeLists.txt.
    listed["main"] = listed.get("main", set()) | {"main.cc", "stdout_first_win32.cc", "kestrune_lib.cc"}
    files = 0
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in {".h", ".cc", ".inc"}:
            continue
        files += 1
        rel = path.relative_to(SRC)
        layer = rel.parts[0]
        if layer not in layers:
            problems.append(f"{rel}: in no declared layer")
            continue
        if path.suffix == ".cc" and path.name not in listed.get(layer, set()):
            problems.append(f"{rel}: not listed in src/{layer}/CMakeLists.txt")
        is_test = path.stem.endswith(("_test", "_win32_test"))
        allowed = {layer} | set(layers[layer])
        text = path.read_text(encoding="utf-8")
        unit = str(rel.with_suffix(""))
        for inc in INCLUDE.findall(text):
            top = inc.split("/")[0]
            if not is_test and layer in CIRCLE_FREE and top == layer and inc.endswith(".h"):
                target = inc[: -len(".h")]
                if target != unit:
                    graph.setdefault(unit, set()).add(target)
            if "/" not in inc:
                if (path.parent / inc).exists():  # only files generated into the build may
                    problems.append(f"{rel}: include \"{inc}\" names no layer")
            elif top in TEST_TREE:
                if not is_test:
                    problems.append(f"{rel}: production code includes test code \"{inc}\"")
            elif top not in layers:
                problems.append(f"{rel}: include \"{inc}\" from no layer")
            elif top not in closure(layers, layer) | {layer}:
                problems.append(f"{rel}: {layer} may not include \"{inc}\" ({top} is not below it)")
            elif top not in allowed:
                problems.append(f"{rel}: {layer} includes \"{inc}\" but does not declare {top}")
        if WINDOWS_HEADERS.search(text) and layer != "os" and not path.stem.startswith("d3d11_pipeline_win32"):
            problems.append(f"{rel}: Windows headers outside src/os and the Direct3D 11 pipeline")
    for circle in circles(graph):
        problems.append("include circle: " + " -> ".join(circle))
    for p in problems:
        print(p)
    print(f"layers: {len(layers)} layers, {files} files, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
