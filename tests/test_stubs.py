"""The shipped type stubs agree with the runtime signatures."""

import importlib.resources
import subprocess
import sys

import pytest

MODULES = ["quorra.accel.holdreturn", "quorra.accel.solosim", "quorra.accel.spreadsim",
           "quorra.accel.ledger"]


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


# Calls a type checker should pass or flag; "# refused" marks the lines the
# stubs must reject because the runtime refuses or silently ignores the value.
TYPED_CALLS = """\
import numpy as np
from quorra.accel import solosim, spreadsim
c = np.zeros((3, 1))
p = np.zeros((3, 2))
e = np.zeros(3)
solosim.from_signals(c, c, c, size=True, margin_rate=np.float64(0.1), price_tick=[1, "0.5"])
solosim.from_signals(c, c, c, volume_multiple=np.array([5.0]), commission=(x for x in [1.0]))
solosim.from_signals(c, c, c, margin_rate=np.int64(2))  # refused
solosim.from_signals(c, c, c, commission=np.float32(2))  # refused
spreadsim.pair_from_signals(p, e, e, margin_rate=0.1, commission=np.array([1.0, 2.0]))
spreadsim.pair_from_signals(p, e, e, price_tick=[1.0], leg_size_ratio=(1, "2"))
spreadsim.pair_from_signals(p, e, e, leg_size_ratio=np.float64(2))
spreadsim.pair_from_signals(p, e, e, volume_multiple=np.int64(5))  # refused
spreadsim.pair_from_signals(p, e, e, commission=(x for x in [1.0, 2.0]))  # refused
spreadsim.pair_from_signals(p, e, e, leg_size_ratio=np.int64(2))  # refused
spreadsim.pair_from_signals(p, e, e, leg_size_ratio=np.array([1.0, 2.0]))  # refused
"""


def test_stubs_refuse_what_the_runtime_refuses_or_ignores(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "calls.py").write_text(TYPED_CALLS)
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    r = subprocess.run([sys.executable, "-m", "mypy", "--no-error-summary", "--config-file",
                        "mypy.ini", "--cache-dir", "cache", "calls.py"],
                       capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert r.returncode in (0, 1), r.stdout + r.stderr
    flagged = {int(line.split(":")[1]) for line in r.stdout.splitlines() if ": error:" in line}
    refused = {k for k, line in enumerate(TYPED_CALLS.splitlines(), 1) if line.endswith("# refused")}
    assert flagged == refused, r.stdout + r.stderr
