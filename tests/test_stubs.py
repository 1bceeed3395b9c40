"""The shipped type stubs agree with the runtime signatures."""

import importlib.resources
import subprocess
import sys

import pytest

MODULES = ["quorra.accel.holdreturn", "quorra.accel.solosim", "quorra.accel.spreadsim"]


def test_stubs_are_shipped():
    files = importlib.resources.files("quorra.accel")
    assert files.joinpath("py.typed").is_file()
    for name in MODULES:
        assert files.joinpath(name.rsplit(".", 1)[1] + ".pyi").is_file()


def test_stubtest_finds_no_difference(tmp_path):
    pytest.importorskip("mypy")
    # Run outside the source tree so the installed package (with its
    # compiled modules) is the one checked.
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", *MODULES, "--ignore-missing-stub",
                        "--mypy-config-file", str(tmp_path / "none.ini")],
                       capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
