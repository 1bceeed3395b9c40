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


# The study's stubs: the package's API and its typed settings. pandas ships
# no stubs here, so its names are Any to the checker; the study's own
# modules are checked against the stub, not type-checked themselves.
STUDY_CONFIG = "[mypy]\nignore_missing_imports = True\n[mypy-quorra.accel.study.*]\nignore_errors = True\n"

TYPED_STUDY_CALLS = """\
import numpy as np
from quorra.accel import study
c = np.zeros((3, 1))
p = np.zeros((3, 2))
def f(close, a): return close, close
study.backtest(c, c, c, sl_stop=1.0, commission=[1.0], init_cash=5, direction="short")
study.backtest(c, c, c, sl_stp=1.0)  # refused
study.backtest(c, c, c, direction="up")  # refused
study.backtest(c, c, c, max_hold_bars="3")  # refused
study.pair_backtest(p, c, c, leg_size_ratio=2.0, slip_point=np.float64(1))
study.pair_backtest(p, c, c, sl_callback_addr=5)  # refused
study.sweep(f, {"a": [1]}, c, settings={"commission": 2.0, "direction": "short"})
study.sweep(f, {"a": [1]}, c, settings={"comission": 2.0})  # refused
study.sweep(f, {"a": [1]}, c, rank_by=lambda row: row["SQN"], constraint=lambda q: q["a"] > 0)
study.walk_forward(f, {"a": [1]}, c, train=10, test=5, prices=c, metric="SQN")
study.walk_forward(f, {"a": [1]}, c, train=10, test=5, settings={"sl_stop": "x"})  # refused
study.walk_forward(f, {"a": [1]}, c, test=5)  # refused
"""


def test_the_study_stubs_are_shipped():
    files = importlib.resources.files("quorra.accel.study")
    assert files.joinpath("__init__.pyi").is_file() and files.joinpath("settings.py").is_file()


def test_stubtest_finds_no_difference_in_the_study(tmp_path):
    pytest.importorskip("mypy")
    pytest.importorskip("pandas")
    (tmp_path / "study.ini").write_text(STUDY_CONFIG)
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "quorra.accel.study",
                        "--ignore-missing-stub", "--mypy-config-file", str(tmp_path / "study.ini")],
                       capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr


def test_the_study_stubs_refuse_unknown_and_mistyped_settings(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "calls.py").write_text(TYPED_STUDY_CALLS)
    (tmp_path / "mypy.ini").write_text(STUDY_CONFIG)
    r = subprocess.run([sys.executable, "-m", "mypy", "--no-error-summary", "--config-file",
                        "mypy.ini", "--cache-dir", "cache", "calls.py"],
                       capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert r.returncode in (0, 1), r.stdout + r.stderr
    flagged = {int(line.split(":")[1]) for line in r.stdout.splitlines()
               if line.startswith("calls.py:") and ": error:" in line}
    refused = {k for k, line in enumerate(TYPED_STUDY_CALLS.splitlines(), 1)
               if line.endswith("# refused")}
    assert flagged == refused, r.stdout + r.stderr
