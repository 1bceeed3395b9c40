"""Ctrl-C (SIGINT) ends a long call with KeyboardInterrupt and no partial
result, whether the time goes into the engine's own loop or into a slow
native callback, and a slow callback delays it by at most the one callback
under way. Each run is a subprocess that signals itself; how long the
signal takes is measured by bench/bench_interrupts.py."""

import textwrap

import pytest

from support import RESTORE_SIGINT, run_script

PRELUDE = RESTORE_SIGINT + """
import ctypes, os, signal, sys, threading, time
import numpy as np
from quorra.accel import holdreturn, solosim, spreadsim

import subprocess

def interrupt_after(delay):
    # Another process sends the signal: no thread of this one can run while
    # the call holds the interpreter lock. It reports when it sent it.
    code = ("import os, signal, sys, time; time.sleep(float(sys.argv[1])); "
            "print(time.monotonic(), flush=True); os.kill(int(sys.argv[2]), signal.SIGINT)")
    return subprocess.Popen([sys.executable, "-c", code, str(delay), str(os.getpid())],
                            stdout=subprocess.PIPE, text=True)

flat = dict(margin_rate=0.1, price_tick=1.0, volume_multiple=5.0, commission=1.0)
"""

RUNS = {
    "from_signals": """
        n = 40_000_000
        close = np.broadcast_to(4000.0 + np.arange(8.0), (n, 8))[:, :1]
        signals = np.broadcast_to(np.array([[1.0], [0.0], [-1.0]]), (n // 3, 3, 1)).reshape(-1, 1)
        close, exits = close[: len(signals)], -signals
        call = lambda: solosim.from_signals(close, signals, exits, **flat, sl_stop=5.0)
    """,
    "from_signals with a slow native callback": """
        lib = ctypes.CDLL(sys.argv[1])
        address = ctypes.cast(lib.sleepy_stop, ctypes.c_void_p).value
        n = 100_000
        close = np.full((n, 1), 100.0)
        entries = np.zeros((n, 1)); entries[0] = 1.0
        call = lambda: solosim.from_signals(close, entries, entries * 0, **flat,
                                            sl_callback_addr=address,
                                            sl_callback_args=(2000.0,))
    """,
    "pair_from_signals": """
        n = 40_000_000
        pair = np.broadcast_to(np.array([100.0, 50.0]), (n, 2))
        entries = np.broadcast_to(np.array([1.0, 0.0, 0.0, 0.0]), (n // 4, 4)).reshape(-1)
        pair, exits = pair[: len(entries)], -entries
        call = lambda: spreadsim.pair_from_signals(pair, entries, exits, sl_stop=5.0, sl_trail=1)
    """,
    "calc_holdreturn": """
        n = 4_000_000
        close = 100.0 + np.sin(np.arange(n) / 50.0)
        signals = np.zeros(n); signals[::100] = 1.0
        call = lambda: holdreturn.calc_holdreturn(signals, close, [100_000])
    """,
}

MAIN = """
sender = interrupt_after(0.5)
try:
    result = call()
except KeyboardInterrupt:
    print("KeyboardInterrupt", "partial" if "result" in globals() else "nothing")
else:
    print("finished")
"""


# Each run takes several times the half second after which the signal comes
# (the callback runs far longer), so one that finishes was not interrupted.
@pytest.mark.parametrize("sigint", ["default", "ignored at start"])
@pytest.mark.parametrize("run", list(RUNS))
def test_sigint_ends_the_call(run, sigint, c_stop_library):
    if "native" in run and c_stop_library is None:
        pytest.skip("no C compiler")
    script = PRELUDE + textwrap.dedent(RUNS[run]) + MAIN
    done = run_script(script, c_stop_library, sigint_ignored=sigint != "default")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["KeyboardInterrupt", "nothing"]


# A callback of 50 ms counting its calls; another thread sends SIGINT once
# nine have returned and notes how many had returned by the time it was
# sent. The run ends after the callback under way then.
COUNTED = RESTORE_SIGINT + """
import ctypes, os, sys, threading, time
import numpy as np
from quorra.accel import ledger, solosim

lib = ctypes.CDLL(sys.argv[1])
calls = ctypes.c_int64.in_dll(lib, "sleepy_calls")
address = ctypes.cast(lib.counted_sleepy_stop, ctypes.c_void_p).value
engine = {"from_signals": solosim.from_signals, "ledger.solo": ledger.solo}[sys.argv[2]]
close = np.full((1000, 1), 100.0)
entries = np.zeros((1000, 1)); entries[0] = 1.0
returned_at_signal = []

def interrupt():
    while calls.value < 9:
        time.sleep(0.002)
    os.kill(os.getpid(), signal.SIGINT)
    returned_at_signal.append(calls.value)

sender = threading.Thread(target=interrupt)
sender.start()
try:
    result = engine(close, entries, entries * 0, margin_rate=0.1, price_tick=1.0,
                    volume_multiple=5.0, commission=1.0, sl_callback_addr=address,
                    sl_callback_args=(50_000.0,))
except KeyboardInterrupt:
    sender.join()
    print("KeyboardInterrupt", calls.value - returned_at_signal[0])
else:
    print("finished")
"""


@pytest.mark.parametrize("engine", ["from_signals", "ledger.solo"])
def test_a_slow_callback_delays_sigint_by_one_callback_at_most(engine, c_stop_library):
    if c_stop_library is None:
        pytest.skip("no C compiler")
    done = run_script(COUNTED, c_stop_library, engine)
    assert done.returncode == 0, done.stderr
    outcome, later = done.stdout.split()
    assert outcome == "KeyboardInterrupt"
    assert int(later) <= 1
