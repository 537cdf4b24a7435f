"""The Windows archive: what it holds, and a README whose every link resolves inside it."""

import posixpath
import re
import zipfile
from pathlib import PurePosixPath

import pytest

from conftest import ROOT, WINDOWS_BUILD, project_version, run

LINK = re.compile(r"\]\(([^)\s]+)\)")


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    if not (WINDOWS_BUILD / "kestrune-load.exe").is_file():
        pytest.fail(f"the Windows build in {WINDOWS_BUILD} is missing")
    out = tmp_path_factory.mktemp("dist")
    wheel = run([ROOT / "scripts/package_wheel", out]).stdout.split()[-1]
    path = run([ROOT / "scripts/package_zip", out, wheel, WINDOWS_BUILD]).stdout.split()[-1]
    with zipfile.ZipFile(path) as z:
        folder = f"kestrune-load-{project_version()}-win64/"
        names = z.namelist()
        assert all(n.startswith(folder) for n in names)
        yield {n.removeprefix(folder): z.read(n) for n in names}


def slug(heading: str) -> str:
    """The anchor a Markdown viewer gives a heading."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(markdown: str) -> set[str]:
    return {slug(m) for m in re.findall(r"^#+ (.*)$", markdown, re.M)}


def test_holds_what_a_controller_needs(archive):
    wheel = f"python/kestrune-{project_version()}-py3-none-any.whl"
    for name in ["README.md", "kestrune-load.exe", "kestrune_lib.dll", "kestrune-launch.exe",
                 "kestrune-first-check.exe", "kestrune-example.exe", "docs/protocol.md", wheel,
                 "client/include/kestrune/client.h", "client/include/kestrune/heartbeat.h",
                 "client/lib/libkestrune_client.a", "client/lib/cmake/kestrune/kestruneConfig.cmake",
                 "client/lib/cmake/kestrune/kestruneConfigVersion.cmake",
                 "client/lib/pkgconfig/kestrune.pc", "client/source/CMakeLists.txt",
                 "client/source/src/process_win32.cc", "client/source/example/example.cc"]:
        assert name in archive, name
    if (ROOT / "docs/protocol.schema.json").is_file():
        assert "docs/protocol.schema.json" in archive
    for exe in ["kestrune-load.exe", "kestrune-example.exe"]:
        assert archive[exe][:2] == b"MZ"
    assert not [n for n in archive if "wine" in n or n.startswith("kl_")], "no test build"
    # The README names every file and folder at the archive's top.
    readme = archive["README.md"].decode()
    for top in {n.split("/")[0] for n in archive} - {"README.md"}:
        assert f"`{top}" in readme, top


def test_every_link_resolves_inside_the_archive(archive):
    files = set(archive)
    folders = {str(p) for n in files for p in PurePosixPath(n).parents}
    broken = []
    for doc in (n for n in files if n.endswith(".md")):
        text = archive[doc].decode()
        for link in LINK.findall(text):
            target, _, fragment = link.partition("#")
            if target:
                target = posixpath.normpath(posixpath.join(posixpath.dirname(doc), target))
                if target.startswith("..") or (target not in files and target not in folders):
                    broken.append(f"{doc}: {link}")
                    continue
            else:
                target = doc
            if fragment and target.endswith(".md") and fragment not in anchors(archive[target].decode()):
                broken.append(f"{doc}: {link}")
    assert not broken
