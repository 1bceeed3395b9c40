"""Repeated calls through every success and error path keep memory and the
reference counts of the inputs, the shared default lists and the module
functions flat."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from quorra.accel import holdreturn, solosim, spreadsim
from support import native_callback

ROUNDS = 300
STOP_CALLBACK, STOP_ADDRESS = native_callback(
    lambda bar, d, e, p, r, dist, tick, mult, size, args, n: 2.0 * tick)


class BadInt:
    def __int__(self):
        raise ArithmeticError("no int")


class BadFloat:
    def __float__(self):
        raise ArithmeticError("no float")


def bars_data(n=60, m=2):
    prices = 100.0 + (np.arange(n * m, dtype=np.float64).reshape(n, m) % 9)
    entries = np.zeros((n, m))
    entries[::5] = 1
    entries[3::10] = -1
    exits = np.zeros((n, m))
    exits[2::5] = -1
    return prices, entries, exits


P2, E2, X2 = bars_data()
P1, E1, X1 = P2[:, :1].copy(), E2[:, :1].copy(), X2[:, :1].copy()
PAIR_E, PAIR_X = E2[:, 0].copy(), X2[:, 0].copy()
SIGNALS, CLOSE = E2[:, 0].copy(), P2[:, 0].copy()
BARS = [1, 3, 7]
SETTINGS = dict(margin_rate=[0.1, 0.2], price_tick=[1.0, 0.5], volume_multiple=[5.0, 10.0],
                commission=[1.0, 2.0])
ARGS_BLOCK = (1.5, [2.0, 3.0])

def with_sizer(sizer, call):
    """call() with solosim.calculate_size replaced by `sizer`."""
    saved = solosim.calculate_size
    solosim.calculate_size = sizer
    try:
        return call()
    finally:
        solosim.calculate_size = saved


# (name, call, expected exception or None). Each call reaches the path its
# name says, on every round.
CALLS = [
    ("hold ok", lambda: holdreturn.calc_holdreturn(SIGNALS, CLOSE, BARS), None),
    ("hold no signal", lambda: holdreturn.calc_holdreturn(np.zeros(5), CLOSE, BARS), None),
    ("hold python lengths", lambda: holdreturn.calc_holdreturn(SIGNALS, CLOSE, [np.int64(2), 2.5]),
     None),
    ("hold bad length", lambda: holdreturn.calc_holdreturn(SIGNALS, CLOSE, [1, "x"]), TypeError),
    ("hold length raises", lambda: holdreturn.calc_holdreturn(SIGNALS, CLOSE, [2, BadInt()]),
     ArithmeticError),
    ("hold dtype", lambda: holdreturn.calc_holdreturn(SIGNALS.astype(np.float32), CLOSE, BARS),
     ValueError),
    ("hold dims", lambda: holdreturn.calc_holdreturn(P2, CLOSE, BARS), ValueError),
    ("hold close short", lambda: holdreturn.calc_holdreturn(SIGNALS, CLOSE[:3], BARS), ValueError),
    ("hold close none", lambda: holdreturn.calc_holdreturn(SIGNALS, None, BARS), TypeError),
    ("hold count", lambda: holdreturn.calc_holdreturn(SIGNALS, CLOSE), TypeError),
    ("single ok", lambda: holdreturn.calc_single_holdreturn(SIGNALS, CLOSE, 3), None),
    ("single bad length", lambda: holdreturn.calc_single_holdreturn(SIGNALS, CLOSE, "3"),
     TypeError),
    ("size ok", lambda: solosim.calculate_size(4000.0, 10000.0, 1, 1e5, 0.1, 10.0), None),
    ("size zero margin", lambda: solosim.calculate_size(4000.0, 1.0, 1, 1e5, 0.0, 10.0),
     ZeroDivisionError),
    ("size nan", lambda: solosim.calculate_size(1.0, float("nan"), 0, 1.0, 1.0, 1.0), ValueError),
    ("size keyword", lambda: solosim.calculate_size(1.0, 1.0, 0, 1.0, 1.0, volume_multiple=1.0,
                                                    oops=1), TypeError),
    ("size float raises", lambda: spreadsim.calculate_size(BadFloat(), 1.0, 0, 1.0, 1.0, 1.0),
     ArithmeticError),
    ("commission ok", lambda: solosim.calculate_commission(4000.0, 3.0, 10.0, 2.0, 0, 1.0), None),
    ("solo ok", lambda: solosim.from_signals(P2, E2, X2, size=[1, 2], sl_stop=2.0, tp_stop=3.0,
                                             sl_trail=1, max_hold_bars=4, **SETTINGS), None),
    ("solo defaults", lambda: solosim.from_signals(P1, E1, X1), None),
    ("solo callbacks", lambda: solosim.from_signals(
        P1, E1, X1, sl_callback_addr=STOP_ADDRESS, tp_callback_addr=STOP_ADDRESS,
        sl_callback_args=ARGS_BLOCK, tp_callback_args=ARGS_BLOCK), None),
    ("solo python inputs", lambda: solosim.from_signals(P2.astype(object), E2.astype(object),
                                                        X2.astype(object), **SETTINGS), None),
    ("solo short list", lambda: solosim.from_signals(P2, E2, X2, size=[1], **SETTINGS),
     IndexError),
    ("solo default lists", lambda: solosim.from_signals(P2, E2, X2), IndexError),
    ("solo bad block", lambda: solosim.from_signals(P1, E1, X1, sl_callback_args=(["x"],)),
     ValueError),
    ("solo exits none", lambda: solosim.from_signals(P1, E1, None), TypeError),
    ("solo one dim", lambda: solosim.from_signals(P1[:, 0], E1, X1), ValueError),
    ("solo conversion", lambda: solosim.from_signals(P1, E1, X1, size_type=BadInt()),
     ArithmeticError),
    ("solo zero margin", lambda: solosim.from_signals(P1, E1, X1, size_type=1, margin_rate=0.0),
     ZeroDivisionError),
    ("solo stop distance", lambda: with_sizer(lambda *a: 1e-200, lambda: solosim.from_signals(
        P1, E1, X1, sl_stop=1.0, stop_mode=1, volume_multiple=1e-200)), ZeroDivisionError),
    ("solo replaced sizer", lambda: with_sizer(lambda *a: 2, lambda: solosim.from_signals(
        P1, E1, X1)), None),
    ("pair ok", lambda: spreadsim.pair_from_signals(P2, PAIR_E, PAIR_X, sl_stop=2.0, tp_stop=3.0,
                                                    sl_trail=1, max_hold_bars=4,
                                                    leg_size_ratio=[2, 3], **SETTINGS), None),
    ("pair python inputs", lambda: spreadsim.pair_from_signals(
        P2.astype(object), PAIR_E.astype(object), PAIR_X.astype(object)), None),
    ("pair empty setting", lambda: spreadsim.pair_from_signals(P2, PAIR_E, PAIR_X,
                                                              margin_rate=[]), IndexError),
    ("pair bad size", lambda: spreadsim.pair_from_signals(P2, PAIR_E, PAIR_X, size="x"),
     ValueError),
    ("pair bad ratio", lambda: spreadsim.pair_from_signals(P2, PAIR_E, PAIR_X,
                                                          leg_size_ratio=["x"]), ValueError),
    ("pair close none", lambda: spreadsim.pair_from_signals(None, PAIR_E, PAIR_X), TypeError),
    ("pair type", lambda: spreadsim.pair_from_signals(P2, list(PAIR_E), PAIR_X), TypeError),
]

WATCHED = [P2, E2, X2, P1, E1, X1, PAIR_E, PAIR_X, SIGNALS, CLOSE, BARS, ARGS_BLOCK,
           SETTINGS["margin_rate"], holdreturn.calc_holdreturn, holdreturn.calc_single_holdreturn,
           solosim.calculate_size, solosim.calculate_commission, solosim.from_signals,
           spreadsim.calculate_size, spreadsim.pair_from_signals, holdreturn, solosim, spreadsim]
# The shared list defaults of the two backtests.
WATCHED += [d for f in (solosim.from_signals, spreadsim.pair_from_signals)
            for d in f.__defaults__ if isinstance(d, list)]


def run(call, expected, rounds):
    for _ in range(rounds):
        if expected is None:
            call()
        else:
            with pytest.raises(expected):
                call()


def allocated():
    gc.collect()
    return tracemalloc.get_traced_memory()[0]


@pytest.fixture(scope="module")
def quiet_unraisable():
    """The stop-distance report of spreadsim goes to stderr; keep it out."""
    saved = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None
    yield
    sys.unraisablehook = saved


@pytest.mark.parametrize("name, call, expected", CALLS, ids=[c[0] for c in CALLS])
def test_repeated_calls_keep_references_and_memory_flat(name, call, expected, quiet_unraisable,
                                                       capfd):
    run(call, expected, 20)  # warm up caches, interned names, NumPy's own state
    gc.collect()  # earlier tests' garbage may still hold the watched objects
    counts = [sys.getrefcount(obj) for obj in WATCHED]
    tracemalloc.start()
    try:
        run(call, expected, 20)
        before = allocated()
        run(call, expected, ROUNDS)
        grown = allocated() - before
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in WATCHED] == counts
    # A leak of even one small object per call would show as ROUNDS * 16 bytes or more.
    assert grown < ROUNDS * 8, f"{name}: {grown} bytes more after {ROUNDS} calls"


def resident_kib():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * 4


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer holds freed memory in quarantine")
def test_native_allocations_do_not_grow(quiet_unraisable, capfd):
    # Engine state lives outside the interpreter's allocator; resident memory
    # over many large runs shows whether any of it is kept.
    prices, entries, exits = bars_data(n=2000, m=8)
    settings = dict(margin_rate=0.1, price_tick=1.0, volume_multiple=5.0, commission=1.0)
    pair_e, pair_x = entries[:, 0].copy(), exits[:, 0].copy()

    def one_round():
        solosim.from_signals(prices, entries, exits, sl_stop=2.0, sl_trail=1, **settings)
        with pytest.raises(IndexError):
            solosim.from_signals(prices, entries, exits, size=[1] * 7, **settings)
        spreadsim.pair_from_signals(prices, pair_e, pair_x, sl_stop=2.0, sl_trail=1)
        holdreturn.calc_holdreturn(entries[:, 0].copy(), prices[:, 0].copy(), [1, 5, 20, 50])

    for _ in range(20):
        one_round()
    gc.collect()
    before = resident_kib()
    for _ in range(150):
        one_round()
    gc.collect()
    assert resident_kib() - before < 4096
