"""The project's version is stated once, in CMakeLists.txt; every other statement of it is
compared here (the Python wheel's follows kestrune/version.py, the release names follow
CMakeLists.txt)."""

import re

from conftest import ROOT, project_version


def test_every_copy_of_the_version_matches_the_project():
    version = project_version()
    client = (ROOT / "clients/cpp/CMakeLists.txt").read_text()
    assert re.search(rf"^project\(kestrune VERSION {re.escape(version)}\b", client, re.M)
    python = (ROOT / "clients/python/kestrune/version.py").read_text()
    assert re.search(rf'^VERSION = "{re.escape(version)}"$', python, re.M)
    pyproject = (ROOT / "clients/python/pyproject.toml").read_text()
    assert 'version = {attr = "kestrune.version.VERSION"}' in pyproject
