"""The Linux package: built and checked by Debian's tools, installed on this machine, used,
then purged without a trace. Installing needs root (as CI runs)."""

import json
import os
import subprocess
from pathlib import Path

import pytest

from conftest import NATIVE_BUILD, ROOT, own_lock, project_version, run

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="installs a package: needs root")

# Waits for another dpkg user (a setup elsewhere on the machine) rather than failing.
APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=300"]
DOC = Path("/usr/share/doc/kestrune-load")
SHORT_PROFILE = """
name = "short"
[target]
kind = "native"
[load]
cpu = true
[power]
source = "model"
interval_s = 0.25
[power.cpu]
idle_w = 15.0
span_w = 45.0
[[steps]]
name = "idle"
seconds = 1
cpu = "off"
[[steps]]
name = "free"
seconds = 1
cpu = "free"
"""


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    wheel = run([ROOT / "scripts/package_wheel", out]).stdout.split()[-1]
    # package_deb fails on any lintian error or warning that is not judged and listed.
    res = run([ROOT / "scripts/package_deb", out, wheel, NATIVE_BUILD / "kestrune-load"])
    deb = Path(res.stdout.split()[-1])
    assert deb.name == f"kestrune-load_{project_version()}_amd64.deb"
    return deb


def package_paths(deb: Path) -> list[str]:
    names = run(["dpkg-deb", "--fsys-tarfile", deb], text=False)
    listing = subprocess.run(["tar", "-t"], input=names.stdout, capture_output=True, check=True)
    return ["/" + p.removeprefix("./").rstrip("/") for p in listing.stdout.decode().split()
            if p not in ("./", ".")]


def known_to_dpkg() -> bool:
    status = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status}", "kestrune-load"],
                            capture_output=True, text=True).stdout
    return status not in ("", "not-installed")


def test_installs_runs_and_purges_without_a_trace(deb, tmp_path):
    if known_to_dpkg():  # a copy left by an interrupted run
        run(APT + ["purge", "kestrune-load"])
    paths = package_paths(deb)
    for wanted in ["/usr/bin/kestrune", "/usr/bin/kestrune-load", f"{DOC}/protocol.md",
                   f"{DOC}/examples/demo.toml", "/usr/share/man/man1/kestrune.1.gz",
                   "/usr/share/man/man1/kestrune-load.1.gz",
                   "/usr/lib/python3/dist-packages/kestrune/__init__.py"]:
        assert wanted in paths
    if (ROOT / "docs/protocol.schema.json").is_file():
        assert f"{DOC}/protocol.schema.json" in paths
    there_before = {p for p in paths if os.path.lexists(p)}

    run(APT + ["install", deb])
    try:
        listed = [p for p in run(["dpkg", "-L", "kestrune-load"]).stdout.split() if p != "/."]
        # Outside any checkout, with nothing of this tree in the environment: the installed
        # kit must find the installed helper by itself.
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8", "HOME": str(tmp_path)}
        use = dict(cwd=tmp_path, env=env, timeout=120)
        assert run(["kestrune", "--version"], **use).stdout.strip() == f"kestrune {project_version()}"
        run(["kestrune", "check", f"{DOC}/examples/demo.toml"], **use)
        (tmp_path / "short.toml").write_text(SHORT_PROFILE)
        run(own_lock(["kestrune", "run", "short.toml", "--out", "record"]), **use)
        summary = json.loads((tmp_path / "record/summary.json").read_text())
        assert summary["exit_code"] == 0, summary
        assert summary["helper"]["sessions"][-1]["bye"]["why"] == "stop", summary
    finally:
        run(APT + ["purge", "kestrune-load"])
    assert not known_to_dpkg()
    left = [p for p in listed if p not in there_before and os.path.lexists(p)]
    assert not left, f"left behind: {left}"


# The Debian package of each module the kit imports from outside the standard library.
DEBIAN_NAMES = {"matplotlib": "python3-matplotlib", "rich": "python3-rich", "numpy": "python3-numpy",
                "prometheus_client": "python3-prometheus-client", "jsonschema": "python3-jsonschema",
                "pyvisa": "python3-pyvisa", "pytest": "python3-pytest"}


def kit_imports() -> dict[str, str]:
    """module -> "needed" (the command cannot start or work without it) or "optional" (an
    import guarded by `except ImportError`, or one only kestrune.testing makes)."""
    import ast
    import sys
    found: dict[str, str] = {}
    for path in sorted((ROOT / "clients/python/kestrune").rglob("*.py")):
        tree = ast.parse(path.read_text(), str(path))
        guarded = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.Try) and any(
                    isinstance(h.type, ast.Name) and h.type.id in ("ImportError", "ModuleNotFoundError")
                    for h in node.handlers):
                guarded.update(id(n) for stmt in node.body for n in ast.walk(stmt))
        testing = "testing" in path.relative_to(ROOT / "clients/python/kestrune").parts
        for node in ast.walk(tree):
            if isinstance(node, ast.Import):
                names = [a.name for a in node.names]
            elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
                names = [node.module]
            else:
                continue
            for name in names:
                top = name.split(".")[0]
                if top in sys.stdlib_module_names or top == "kestrune":
                    continue
                need = "optional" if testing or id(node) in guarded else "needed"
                if found.get(top) != "needed":
                    found[top] = need
    return found


def field_names(deb: Path, field: str) -> set[str]:
    text = run(["dpkg-deb", "-f", deb, field]).stdout
    return {alt.split("(")[0].split(":")[0].strip() for dep in text.split(",") for alt in dep.split("|")}


def test_the_package_depends_on_every_module_the_command_imports(deb):
    imports = kit_imports()
    assert {"matplotlib", "rich"} <= set(imports)  # the scan sees the imports it must see
    unknown = sorted(set(imports) - set(DEBIAN_NAMES))
    assert not unknown, f"name the Debian package of {unknown} here and in packaging/deb/control.in"
    depends = field_names(deb, "Depends")
    weaker = field_names(deb, "Recommends") | field_names(deb, "Suggests")
    for module, need in imports.items():
        package = DEBIAN_NAMES[module]
        if need == "needed":
            assert package in depends, f"kestrune imports {module}: Depends needs {package}"
        else:
            assert package in depends | weaker, f"kestrune may import {module}: name {package} in the package"
