"""The C++ client built on its own, installed, and used by a project outside this tree."""

import os

import pytest

from conftest import ROOT, own_lock, project_version, run

CLIENT = ROOT / "clients" / "cpp"
CONSUMER = ROOT / "tests" / "packaging" / "consumer"
TOOLCHAIN = ROOT / "cmake" / "mingw-w64-x86_64.cmake"
PLATFORMS = {
    "native": {"toolchain": [], "cxx": "c++", "ldflags": []},
    "mingw": {"toolchain": [f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}"],
              "cxx": "x86_64-w64-mingw32-g++-posix", "ldflags": ["-static"]},
}


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """Install prefixes of the client, per platform, built without its example or tests."""
    base = tmp_path_factory.mktemp("client")
    prefixes = {}
    for name, platform in PLATFORMS.items():
        build, prefix = base / f"build-{name}", base / f"prefix-{name}"
        run(["cmake", "-S", CLIENT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
             "-DKESTRUNE_EXAMPLE=OFF", *platform["toolchain"]])
        run(["cmake", "--build", build, "-j2"])
        run(["cmake", "--install", build, "--prefix", prefix])
        prefixes[name] = prefix
    return prefixes


def test_configures_alone_with_its_tests_and_example(tmp_path):
    # Built alone, the client finds GoogleTest itself and keeps its programs in its own folder.
    build = tmp_path / "build"
    run(["cmake", "-S", CLIENT, "-B", build, "-DKL_TESTS=ON", "-DKESTRUNE_EXAMPLE=ON"])
    makefile = (build / "Makefile").read_text()
    for target in ["kl_client_tests", "kestrune-example", "kestrune_client"]:
        assert f"\n{target}:" in makefile, target


def pkg_config_env(prefix):
    (pc,) = prefix.glob("**/pkgconfig/kestrune.pc")
    # Only this prefix: the host's own .pc files must not leak into a cross build.
    return {**os.environ, "PKG_CONFIG_LIBDIR": str(pc.parent), "PKG_CONFIG_PATH": ""}


@pytest.mark.parametrize("platform", PLATFORMS)
def test_installed_copy_is_a_whole_package(installed, platform):
    prefix = installed[platform]
    for path in ["include/kestrune/client.h", "include/kestrune/heartbeat.h",
                 "lib/libkestrune_client.a", "lib/cmake/kestrune/kestruneConfig.cmake",
                 "lib/cmake/kestrune/kestruneConfigVersion.cmake",
                 "lib/cmake/kestrune/kestruneTargets.cmake", "lib/pkgconfig/kestrune.pc"]:
        assert (prefix / path).is_file(), path
    env = pkg_config_env(prefix)
    assert run(["pkg-config", "--modversion", "kestrune"], env=env).stdout.strip() == project_version()
    # The .pc file names no build folder: a moved copy still works.
    assert str(prefix) not in (prefix / "lib/pkgconfig/kestrune.pc").read_text()


@pytest.mark.parametrize("platform", PLATFORMS)
@pytest.mark.parametrize("how", ["cmake", "pkg-config"])
def test_outside_project_builds_and_drives_the_helper(installed, platform, how, tmp_path,
                                                      native_helper):
    prefix, settings = installed[platform], PLATFORMS[platform]
    if how == "cmake":
        build = tmp_path / "build"
        run(["cmake", "-S", CONSUMER, "-B", build, f"-DCMAKE_PREFIX_PATH={prefix}",
             *settings["toolchain"]])
        run(["cmake", "--build", build])
        exe = build / ("consumer.exe" if platform == "mingw" else "consumer")
    else:
        env = pkg_config_env(prefix)
        flags = run(["pkg-config", "--cflags", "--libs", "kestrune"], env=env).stdout.split()
        exe = tmp_path / ("consumer.exe" if platform == "mingw" else "consumer")
        run([settings["cxx"], "-std=c++20", CONSUMER / "main.cc", "-o", exe, *flags,
             *settings["ldflags"]])
    if platform == "mingw":
        assert exe.read_bytes()[:2] == b"MZ"
        return
    res = run(own_lock([exe, native_helper]), timeout=60)
    assert "hello nonce=consumer" in res.stdout
    # The run outlived several heartbeat time-outs on the client's heartbeat thread alone.
    assert "bye why=stop code=0" in res.stdout
