"""The interpreter may finalise while a daemon thread is inside an engine
call; when that thread takes the interpreter lock back (after Python code or
a native callback), the interpreter ends it, and the process exits as it
would with pure Python code."""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import ctypes, sys, threading, time
import numpy as np
from quorra.accel import holdreturn, solosim, spreadsim
CALLBACK = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_int64, ctypes.c_int64,
                            *[ctypes.c_double] * 7, ctypes.POINTER(ctypes.c_double),
                            ctypes.c_int64)
n = 200_000
close = np.full((n, 1), 100.0)
entries = np.ones((n, 1))
exits = np.zeros((n, 1))
flat = dict(margin_rate=0.1, price_tick=1.0, volume_multiple=5.0, commission=1.0)
"""

WORKLOADS = {
    "native callback": """
        lib = ctypes.CDLL(sys.argv[1])
        address = ctypes.cast(lib.sleepy_stop, ctypes.c_void_p).value
        def work():
            solosim.from_signals(close, entries, exits, **flat, sl_callback_addr=address)
    """,
    "ctypes callback": """
        @CALLBACK
        def slow(*args):
            time.sleep(0.0001)
            return 0.0
        address = ctypes.cast(slow, ctypes.c_void_p).value
        def work():
            solosim.from_signals(close, entries, exits, **flat, sl_callback_addr=address)
    """,
    "replaced calculate_size": """
        def slow_size(*args):
            time.sleep(0.0001)
            return 1.0
        solosim.calculate_size = slow_size
        exits[:] = -1.0  # every bar closes and the next one enters again
        def work():
            solosim.from_signals(close, entries, exits, **flat)
    """,
    "replaced pair sizing": """
        def slow_size(*args):
            time.sleep(0.0001)
            return 1.0
        spreadsim.calculate_size = slow_size
        pair = np.full((n, 2), 100.0)
        def work():
            spreadsim.pair_from_signals(pair, np.ones(n), np.ones(n), max_hold_bars=1)
    """,
    "holding length with __int__": """
        class Slow:
            def __int__(self):
                time.sleep(0.0001)
                return 2
        signals = np.ones(n)
        def work():
            holdreturn.calc_holdreturn(signals, signals, [Slow()])
    """,
}

MAIN = """
def forever():
    while True:
        work()
threading.Thread(target=forever, daemon=True).start()
time.sleep(0.3)
print("done")
"""


@pytest.mark.parametrize("workload", list(WORKLOADS))
def test_exit_with_a_daemon_thread_inside_a_call(workload, c_stop_library):
    if workload == "native callback" and c_stop_library is None:
        pytest.skip("no C compiler")
    script = PRELUDE + textwrap.dedent(WORKLOADS[workload]) + MAIN
    for _ in range(3):  # the abort it guards against came every time
        run = subprocess.run([sys.executable, "-c", script, str(c_stop_library)],
                             capture_output=True, text=True, timeout=60)
        assert (run.returncode, run.stdout, run.stderr) == (0, "done\n", "")
