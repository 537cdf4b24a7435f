"""The Python kit installed offline into a fresh virtual environment, as its README says."""

import shutil

import pytest

from conftest import ROOT, project_version, run

PYTHON = "/usr/bin/python3"  # Debian's, whose matplotlib the environment sees


def wheel_from_build(tree, out):
    run([PYTHON, "-m", "build", "--no-isolation", "--wheel", "--outdir", out, tree / "clients/python"])
    (wheel,) = out.glob("kestrune-*.whl")
    assert wheel.name == f"kestrune-{project_version()}-py3-none-any.whl"
    return [wheel]


@pytest.mark.parametrize("source", ["checkout", "wheel"])
def test_installs_offline_into_a_fresh_environment(tmp_path, source):
    # A copy of the package where the README has it: no build left-overs of the checkout.
    tree = tmp_path / "tree"
    shutil.copytree(ROOT / "clients/python", tree / "clients/python",
                    ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
    target = ["clients/python"] if source == "checkout" else wheel_from_build(tree, tmp_path / "dist")
    # The README's commands, word for word (python3 is Debian's after setup).
    run([PYTHON, "-m", "venv", "--system-site-packages", "venv"], cwd=tree)
    run(["venv/bin/pip", "install", "--no-build-isolation", "--no-index", *target], cwd=tree)
    res = run(["venv/bin/kestrune", "--help"], cwd=tree)
    assert "run" in res.stdout
    # The installed copy, not the checkout's: run from elsewhere.
    where = run([tree / "venv/bin/python", "-c", "import kestrune, sys; print(kestrune.__file__)"],
                cwd=tmp_path).stdout
    assert str(tree / "venv") in where
