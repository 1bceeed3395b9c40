"""The ledger's result arrays are made by NumPy's constructors with the
size and dtype the run writes: whatever numpy.empty and numpy.zeros are
rebound to plays no part, and a result that cannot be allocated is a
MemoryError from the first allocation that fails."""

import textwrap

import numpy as np
import pytest

from quorra.accel import ledger
from support import run_script, same_bits

CLOSE = np.array([[100.0, 50.0], [101.0, 49.0], [99.0, 51.0], [98.0, 52.0], [102.0, 48.0]])
SIGNALS = np.array([[1, -1], [0, 0], [-1, 1], [0, 0], [1, 0]])


def solo(histories):
    return ledger.solo(CLOSE, SIGNALS, -SIGNALS, sl_stop=1.0, histories=histories)


def pair(histories):
    return ledger.pair(CLOSE, SIGNALS[:, 0], SIGNALS[:, 1], sl_stop=1.0, histories=histories)


def short(shape, *args, **kwargs):
    return np.ones(1)


def float32(shape, *args, **kwargs):
    return np.ones(shape, dtype=np.float32)


def raising(shape, *args, **kwargs):
    raise RuntimeError("numpy's allocation replaced")


def assert_same_result(got, want):
    assert got.keys() == want.keys()
    assert got["trades"].tobytes() == want["trades"].tobytes()
    assert got["refused"].tolist() == want["refused"].tolist()
    assert got["total_fee"] == want["total_fee"]
    for key in ("equity", "value"):
        assert got[key].dtype == np.float64 and same_bits(got[key], want[key])
    for g, w in zip(got.get("histories", []), want.get("histories", []), strict=True):
        assert g.dtype == np.float64 and same_bits(g, w)


@pytest.mark.parametrize("histories", [False, True])
@pytest.mark.parametrize("run", [solo, pair], ids=lambda f: f.__name__)
@pytest.mark.parametrize("name", ["empty", "zeros"])
@pytest.mark.parametrize("replacement", [short, float32, raising], ids=lambda f: f.__name__)
def test_a_replaced_numpy_constructor_plays_no_part(monkeypatch, run, histories, name,
                                                    replacement):
    want = run(histories)
    real = getattr(np, name)

    def replaced(shape, *args, **kwargs):
        # The empty callback argument block of solo is numpy.zeros(0), as
        # from_signals makes it: not a result, and read through a checked view.
        return real(shape, *args, **kwargs) if shape == 0 else replacement(shape)

    monkeypatch.setattr(np, name, replaced)
    assert_same_result(run(histories), want)


# Broadcast inputs of the most bars a run takes cost nothing; the results
# they need (16 GB a curve, 96 GB of histories) do not fit the address space
# left to the process.
BEYOND_MEMORY = """
import resource
import numpy as np
from quorra.accel import ledger

with open("/proc/self/status") as status:
    used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (used + 2**31, resource.RLIM_INFINITY))
n = 2**31 - 1
histories = {histories}
if "{run}" == "solo":
    close, signals = np.broadcast_to(100.0, (n, 1)), np.broadcast_to(0.0, (n, 1))
    call = lambda: ledger.solo(close, signals, signals, histories=histories)
else:
    close = np.broadcast_to(100.0, (n, 2))
    signals = np.broadcast_to(0.0, (n,))
    call = lambda: ledger.pair(close, signals, signals, histories=histories)
try:
    call()
except BaseException as exc:
    print(type(exc).__name__)
else:
    print("returned")
"""


@pytest.mark.parametrize("histories", [False, True])
@pytest.mark.parametrize("run", ["solo", "pair"])
def test_results_beyond_memory_are_a_memory_error(run, histories):
    script = textwrap.dedent(BEYOND_MEMORY).format(run=run, histories=histories)
    done = run_script(script)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["MemoryError"], done.stderr
