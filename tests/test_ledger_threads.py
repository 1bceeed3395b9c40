"""ledger runs without the interpreter lock: threads running different
backtests at once get exactly what the same calls give one after another,
a Python thread keeps running while a call is under way, and Ctrl-C
(SIGINT) still ends a long call promptly with KeyboardInterrupt."""

import concurrent.futures
import ctypes
import sys
import textwrap
import threading

import numpy as np
import pytest

import c_callbacks
from quorra.accel import ledger, solosim
from support import RESTORE_SIGINT, assert_same_arrays, native_callback, run_script
from test_ledger_properties import assert_same_result

N, M = 20000, 4


def inputs(seed):
    rng = np.random.default_rng(seed)
    close = np.maximum(100.0 + np.cumsum(rng.choice([-1.0, -0.5, 0.0, 0.5, 1.0], (N, M)), 0),
                       5.0)
    entries = rng.choice([0, 1, -1], p=[0.96, 0.02, 0.02], size=(N, M)).astype(np.int8)
    exits = rng.choice([0.0, 1.0, -1.0], p=[0.96, 0.02, 0.02], size=(N, M))
    return close, entries, exits


CLOSE, ENTRIES, EXITS = inputs(11)
OTHER = inputs(12)
# A stop callback in Python (ctypes takes the interpreter lock for it; KEEP
# holds it alive).
KEEP, PY_STOP = native_callback(
    lambda bar, d, entry, price, ref, dist, tick, mult, size, args, n: 2.0 * tick)

SOLO_CONFIGS = [
    dict(),
    dict(sl_stop=3.0, tp_stop=5.0),
    dict(sl_stop=0.02, stop_mode=2, sl_trail=1, slip_point=0.5),
    dict(max_hold_bars=10, com_type=2, commission=0.0002, histories=True),
    dict(size=[1, 2, 3, 4], volume_multiple=[5.0, 10.0, 1.0, 2.0], tp_stop=4.0),
    dict(init_cash=5000.0, size=2000.0, size_type=1, sl_stop=2.0),
    dict(min_start_length=5000, sl_stop=4.0, sl_trail=1, histories=True),
    dict(sl_callback_addr=PY_STOP, sl_trail=1),
]
PAIR_CONFIGS = [
    dict(sl_stop=3.0, tp_stop=5.0),
    dict(sl_stop=2.0, sl_trail=1, max_hold_bars=20, leg_size_ratio=[2, 3], histories=True),
    dict(size=[1, 3], init_cash=2000.0, com_type=2, commission=0.001),
    dict(slip_point=0.5, tp_stop=3.0, min_start_length=100),
]


def bars_of(close):
    """Bars around `close`: each open the previous close, high and low half
    a point beyond both."""
    o = np.vstack([close[:1], close[:-1]])
    return dict(open=o, high=np.maximum(o, close) + 0.5, low=np.minimum(o, close) - 0.5)


# Bars with stops, trailing and reversal, on either input, filling at the
# prices or at the opens.
BAR_CONFIGS = [
    dict(sl_stop=3.0, tp_stop=5.0, both_hit="take_profit"),
    dict(sl_stop=0.02, stop_mode=2, sl_trail=1, opposite_entry="reverse", histories=True),
    dict(sl_callback_addr=PY_STOP, sl_trail=1, opposite_entry="reverse"),
    dict(sl_stop=2.0, sl_trail=1, opposite_entry="reverse", fill_at="open"),
]


def calls(c_library):
    out = []
    for k, config in enumerate(BAR_CONFIGS):
        close, entries, exits = (CLOSE, ENTRIES, EXITS) if k % 2 else OTHER
        out.append((ledger.solo, (close, entries, exits), dict(config, **bars_of(close))))
        pair_bars = {key: v[:, :2] for key, v in bars_of(close).items()}
        if "sl_callback_addr" not in config:
            out.append((ledger.pair, (close[:, :2], entries[:, 0], exits[:, 1]),
                        dict(config, **pair_bars)))
    for k, config in enumerate(SOLO_CONFIGS):
        close, entries, exits = (CLOSE, ENTRIES, EXITS) if k % 2 else OTHER
        out.append((ledger.solo, (close, entries, exits), config))
    for config in PAIR_CONFIGS:
        out.append((ledger.pair, (CLOSE[:, :2], ENTRIES[:, 0], EXITS[:, 1]), config))
    if c_library is not None:
        address = c_callbacks.address(c_library, "fixed_stop")
        out.append((ledger.solo, (CLOSE, ENTRIES, EXITS),
                    dict(sl_callback_addr=address, sl_callback_args=(3.0,), tp_stop=6.0)))
    return out


def run(call):
    fn, args, config = call
    return fn(*args, **config)


def test_threads_give_the_results_of_one_thread(c_stop_library):
    library = None if c_stop_library is None else ctypes.CDLL(str(c_stop_library))
    todo = calls(library) * 3  # each configuration three times, interleaved
    alone = [run(call) for call in todo]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        together = list(pool.map(run, todo))
    for (fn, _, config), got, want in zip(todo, together, alone):
        assert_same_result(got, want, "leg" if fn is ledger.pair else "contract")
        if config.get("histories"):
            assert_same_arrays(got["histories"], want["histories"])
        assert len(want["trades"]) > 50


# ---- the interpreter lock is free during a run ----

def one_entry(n, m):
    """(n, m) signals with an entry on bar 0 only, and (n, m) zeros, as
    broadcast views (no memory per bar)."""
    first = np.zeros((n, 1))
    first[0] = 1.0
    return np.broadcast_to(first, (n, m)), np.broadcast_to(np.zeros(1), (n, m))


def long_solo(**kw):
    n, m = 2_000_000, 8
    entries, exits = one_entry(n, m)
    return ledger.solo(np.broadcast_to(100.0, (n, m)), entries, exits, sl_stop=1000.0, **kw)


def long_solo_with_bars():
    shape = (2_000_000, 8)
    return long_solo(sl_trail=1, open=np.broadcast_to(100.0, shape),
                     high=np.broadcast_to(101.0, shape), low=np.broadcast_to(99.0, shape),
                     opposite_entry="reverse")


def long_solo_with_a_c_callback(c_stops):
    address = c_callbacks.address(c_stops, "fixed_stop")
    return long_solo(sl_callback_addr=address, sl_callback_args=(1000.0,))


def long_pair():
    n = 4_000_000
    entries = np.zeros(n)
    entries[0] = 1.0
    return ledger.pair(np.broadcast_to(np.array([100.0, 50.0]), (n, 2)), entries,
                       np.broadcast_to(0.0, (n,)), sl_stop=1000.0, sl_trail=1)


def long_from_signals():
    n, m = 300_000, 4
    entries, exits = one_entry(n, m)
    return solosim.from_signals(np.broadcast_to(100.0, (n, m)), entries, exits, sl_stop=1000.0,
                                margin_rate=0.1, price_tick=1.0, volume_multiple=5.0,
                                commission=1.0)


def progress_during(call):
    """How many steps a pure-Python thread made while `call()` ran in this
    one. Without forced switches (a huge switch interval) the counting
    thread only gets the lock when this thread lets it go; the counter
    sleeps in each step, so it never keeps the lock from this thread."""
    count = [0]
    stop = threading.Event()
    started = threading.Event()

    def counter():
        started.set()
        while not stop.is_set():
            count[0] += 1
            stop.wait(0.0001)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    thread = threading.Thread(target=counter)
    try:
        thread.start()
        started.wait()
        stop.wait(0.01)  # let it reach its loop
        before = count[0]
        call()
        after = count[0]
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    return after - before


@pytest.mark.parametrize("run_long", [long_solo, long_pair, long_solo_with_a_c_callback,
                                      long_solo_with_bars],
                         ids=lambda f: f.__name__)
def test_another_thread_runs_during_a_call(run_long, request):
    if run_long is long_solo_with_a_c_callback:
        c_stops = request.getfixturevalue("c_stops")
        run_long = lambda: long_solo_with_a_c_callback(c_stops)  # noqa: E731
    # a few tries: on a busy machine the counting thread may not be
    # scheduled during one run, but with the lock held it never is
    assert any(progress_during(run_long) > 0 for _ in range(5))


def test_the_probe_sees_a_call_that_holds_the_lock():
    # from_signals (no callback) keeps the lock for its whole run
    assert progress_during(long_from_signals) == 0


# ---- Ctrl-C ----

PRELUDE = RESTORE_SIGINT + """
import ctypes, subprocess, sys, threading, time
import numpy as np
from quorra.accel import ledger

# Another process sends SIGINT when told to, and reports when it sent it.
SENDER = ("import os, signal, sys, time; sys.stdin.readline(); "
          "print(time.monotonic(), flush=True); os.kill(int(sys.argv[1]), signal.SIGINT)")
sender = subprocess.Popen([sys.executable, "-c", SENDER, str(__import__("os").getpid())],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
go = threading.Event()

def tell_sender():
    # Runs while the call is under way (it has let the interpreter lock go).
    go.wait()
    time.sleep(0.05)
    sender.stdin.write("now\\n")
    sender.stdin.flush()

threading.Thread(target=tell_sender, daemon=True).start()
"""

SOLO_INPUTS = """
        close = np.broadcast_to(np.array([100.0]), (2_000_000, 100))
        entries = np.zeros((2_000_000, 1)); entries[0] = 1.0
        entries = np.broadcast_to(entries, close.shape)
        exits = np.broadcast_to(0.0, close.shape)
"""
PAIR_INPUTS = """
        n = 6_000_000
        close = np.broadcast_to(np.array([100.0, 50.0]), (n, 2))
        entries = np.zeros(n); entries[0] = 1.0
        exits = np.broadcast_to(0.0, (n,))
"""
RUNS = {
    "solo": SOLO_INPUTS + """
        call = lambda: ledger.solo(close, entries, exits, sl_stop=1000.0, tp_stop=1000.0)
    """,
    "solo with a slow native callback": """
        lib = ctypes.CDLL(sys.argv[1])
        address = ctypes.cast(lib.sleepy_stop, ctypes.c_void_p).value
        close = np.full((100_000, 1), 100.0)
        entries = np.zeros((100_000, 1)); entries[0] = 1.0
        call = lambda: ledger.solo(close, entries, entries * 0, sl_callback_addr=address,
                                   sl_callback_args=(2000.0,))
    """,
    "solo with bars": SOLO_INPUTS + """
        high, low = np.broadcast_to(101.0, close.shape), np.broadcast_to(99.0, close.shape)
        call = lambda: ledger.solo(close, entries, exits, sl_stop=1000.0, sl_trail=1,
                                   open=close, high=high, low=low)
    """,
    "pair with bars": PAIR_INPUTS + """
        high = np.broadcast_to(np.array([101.0, 51.0]), (n, 2))
        low = np.broadcast_to(np.array([99.0, 49.0]), (n, 2))
        call = lambda: ledger.pair(close, entries, exits, sl_stop=1000.0, sl_trail=1,
                                   open=close, high=high, low=low)
    """,
    "pair": PAIR_INPUTS + """
        call = lambda: ledger.pair(close, entries, exits, sl_stop=1000.0, sl_trail=1)
    """,
}

MAIN = """
go.set()
try:
    result = call()
except KeyboardInterrupt:
    caught = time.monotonic()
    print("KeyboardInterrupt", "partial" if "result" in globals() else "nothing")
else:
    print("finished")
sender.kill()
"""


# Each run takes many times the moment the signal comes (how long it takes
# to arrive is measured by bench/bench_interrupts.py).
@pytest.mark.parametrize("sigint", ["default", "ignored at start"])
@pytest.mark.parametrize("run", list(RUNS))
def test_sigint_ends_a_long_call(run, sigint, c_stop_library):
    if "native" in run and c_stop_library is None:
        pytest.skip("no C compiler")
    script = PRELUDE + textwrap.dedent(RUNS[run]) + MAIN
    done = run_script(script, c_stop_library, sigint_ignored=sigint != "default")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["KeyboardInterrupt", "nothing"], done.stdout
