"""The host part of the record."""

import pytest

from kestrune.run.host import cpu_model, host_info
from kestrune.version import VERSION


@pytest.mark.parametrize("cpuinfo, model", [
    ("processor\t: 0\nmodel name\t: Vendor X 8-Core Processor\nflags\t: fpu\n", "Vendor X 8-Core Processor"),
    ("processor\t: 0\nHardware\t: Board Y\n", "Board Y"),
    ("model name\t:\nProcessor\t: Core Z rev 1\n", "Core Z rev 1"),   # an empty field is passed over
    ("", None),
])
def test_the_cpu_model_from_cpuinfo(cpuinfo, model):
    assert cpu_model(cpuinfo) == model


def test_host_info_names_the_machine_and_both_versions():
    info = host_info()
    assert set(info) == {"hostname", "cpu_model", "cores", "kernel", "helper_version", "runner_version"}
    assert info["runner_version"] == info["helper_version"] == VERSION and info["cores"] >= 1
