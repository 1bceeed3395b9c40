"""ledger.solo and ledger.pair against the engines whose loops they record
and against the slow models' trade records, on drawn inputs that pass
ledger's checks: the histories equal from_signals' / pair_from_signals' bit
for bit, and the trades, refusals, realised and marked curves and the total
fee equal the models'. An engine's exception is ledger's too, by type and
text."""

import ctypes

import numpy as np
import pytest
from hypothesis import event, given
from hypothesis import strategies as st

import c_callbacks
import solosim_model
import spreadsim_model
from property_support import PROFILE, laid_out, price_path
from quorra.accel import ledger, solosim, spreadsim
from support import assert_same_arrays, outcome, same_bits
from test_properties_solosim import CALLBACK_RULES, native

PNL, FEE = 3, 5
INT_FIELDS = ("entry_bar", "exit_bar", "direction", "exit_reason")
FLOAT_FIELDS = ("lots", "entry_price", "exit_price", "entry_fee", "exit_fee", "pnl")
RESULT_KEYS = {"trades", "refused", "equity", "value", "total_fee"}
SOLO_SLOTS = ("size", "margin_rate", "price_tick", "volume_multiple", "commission")
PAIR_SLOTS = ("size", "margin_rate", "price_tick", "volume_multiple", "commission",
              "leg_size_ratio")
INT_NAMES = ("size_type", "min_start_length", "com_type", "stop_mode", "sl_trail",
             "max_hold_bars")

# ---- comparisons shared with the other ledger tests ----


def trade_dicts(trades, slot):
    """The records of a trades array as dicts of Python numbers, the slot
    field (contract or leg) under "contract" as in the models' records."""
    out = []
    for t in trades:
        d = {"contract": int(t[slot])}
        d.update({k: int(t[k]) for k in INT_FIELDS})
        d.update({k: float(t[k]) for k in FLOAT_FIELDS})
        out.append(d)
    return out


def assert_same_trades(got, want):
    """Two lists of trade dicts, equal in order, integers by value and
    floats bit for bit (NaN while open included)."""
    assert len(got) == len(want), (got, want)
    for g, w in zip(got, want):
        for key in ("contract",) + INT_FIELDS:
            assert g[key] == w[key], (key, g, w)
        for key in FLOAT_FIELDS:
            assert same_bits([g[key]], [w[key]]), (key, g, w)


def assert_same_result(got, want, slot):
    """Two ledger results of one run (with and without histories): the same
    trades, refusals, curves and total fee."""
    assert RESULT_KEYS <= set(got) and RESULT_KEYS <= set(want)
    assert_same_trades(trade_dicts(got["trades"], slot), trade_dicts(want["trades"], slot))
    assert got["refused"].tolist() == want["refused"].tolist()
    for key in ("equity", "value"):
        assert same_bits(got[key], want[key]), key
    assert same_bits([got["total_fee"]], [want["total_fee"]])


def assert_result_types(result, n, slots, slot, histories):
    assert set(result) == RESULT_KEYS | ({"histories"} if histories else set())
    trades = result["trades"]
    assert type(trades) is np.ndarray and trades.ndim == 1
    assert trades.dtype.names[0] == slot
    refused = result["refused"]
    assert type(refused) is np.ndarray and refused.dtype == np.int64 and refused.shape == (slots,)
    for key in ("equity", "value"):
        curve = result[key]
        assert type(curve) is np.ndarray and curve.dtype == np.float64 and curve.shape == (n,)
    assert type(result["total_fee"]) is float


def assert_matches_histories(result, histories):
    """What the histories of the same run show: equity is column 0 of the
    last history, total_fee column 5 at its last bar, and each closed
    trade's pnl the pnl column on its exit bar."""
    if histories:
        assert same_bits(result["equity"], histories[-1][:, 0])
        if len(result["equity"]):
            assert same_bits([result["total_fee"]], [histories[-1][-1, FEE]])
    slot = result["trades"].dtype.names[0]
    for t in result["trades"]:
        if t["exit_bar"] >= 0:
            assert same_bits([t["pnl"]], [histories[t[slot]][t["exit_bar"], PNL]])


def assert_matches_record(result, record, slot):
    """ledger's result equals the model's trade record of the same run."""
    assert_same_trades(trade_dicts(result["trades"], slot), record["trades"])
    assert result["refused"].tolist() == record["refused"]
    assert same_bits(result["equity"], record["equity"])
    assert same_bits(result["value"], record["value"])
    assert same_bits([result["total_fee"]], [record["total_fee"]])


def engine_form(x):
    """A per-contract (per-leg) setting as from_signals / pair_from_signals
    take it: NumPy scalars and 0-d arrays as floats, sequences as lists of
    floats (the engines refuse NumPy scalars)."""
    if isinstance(x, np.generic) or (isinstance(x, np.ndarray) and x.ndim == 0):
        return float(x)
    if isinstance(x, (int, float)):
        return x
    return [float(v) for v in np.asarray(x).tolist()]


def note_outcome(got):
    if got[0] == "raised":
        event(f"raised {got[1].__name__}")
        return
    reasons = sorted({int(r) for r in got[1]["trades"]["exit_reason"]})
    event(f"exit reasons {reasons}" + (", refused" if got[1]["refused"].any() else ""))


# ---- drawn inputs that pass ledger's checks ----

LAYOUTS = st.sampled_from(["C", "C", "C", "F", "strided", "reversed", "readonly", "unaligned",
                           "swapped", "subclass"])
SIGNAL_VALUES = {
    "f8": [0.0, 0.0, 0.0, 1.0, -1.0],
    "f4": [0.0, 0.0, 1.0, -1.0],
    "f2": [0.0, 0.0, 1.0, -1.0],
    "i1": [0, 0, 0, 1, -1],
    "i8": [0, 0, 1, -1],
    "u1": [0, 0, 1],
    "?": [False, False, True],
}
SIGNAL_DTYPES = st.sampled_from(["f8", "f8", "f8", "f4", "f2", "i1", "i8", "u1", "?"])
# Integer settings: the schemes' numbers, values outside them (no scheme),
# and objects the integer conversion truncates.
INT_SETTINGS = st.sampled_from([0, 0, 0, 1, 1, 1, 2, 2, 2, 3, -1, True, 1.9, np.int64(2)])

# Setting pools: the plain ones keep most runs trading, the others reach
# refusals, huge or vanishing margins and the sizing errors.
POOLS = {
    "size": ([1.0, 1.0, 2, 3.7, True, 0.5, 0.3], [10000.0, 1e300]),
    "margin_rate": ([0.1, 0.1, 0.2, 0.05], [0.5, 1e-200]),
    "price_tick": ([1.0, 1.0, 0.5, 0.2, 2.0], []),
    "volume_multiple": ([5.0, 5.0, 10.0, 1.0], [1e-200, 1e300]),
    "commission": ([1, 1.0, 0.0, 0.0001, 2.5], []),
    "init_cash": ([1e6], [60.0, 152.0, 500.0, 2000.0, 123456789.12, 3e38]),
}


def pool(name, plain):
    usual, edges = POOLS[name]
    return usual if plain else usual + edges


def single(value):
    """Whether `value` in single precision is still finite and not zero."""
    return value == 0 or 1e-30 < abs(value) < 1e30


def scalar_forms(value):
    """`value` as each kind of number ledger takes."""
    forms = [value, np.float64(value), np.array(value)]
    if float(value).is_integer() and abs(value) < 2**62:
        forms.append(np.int64(value))
    if single(value):
        forms.append(np.float32(value))
    return st.sampled_from(forms)


def number(values):
    return st.sampled_from(values).flatmap(
        lambda v: st.one_of(st.just(v), st.just(v), scalar_forms(v)))


def per_slot(values, count):
    """One number for every contract (leg) or a sequence of exactly `count`."""
    items = st.lists(st.sampled_from(values), min_size=count, max_size=count)
    return st.one_of(
        number(values), number(values),
        items, items.map(tuple), items.map(np.array),
        items.map(lambda v: np.array(v, dtype=np.float32 if all(map(single, v)) else None)))


@st.composite
def signals(draw, shape):
    """Signals of `shape`; a longer run repeats its first 30 bars."""
    dtype = draw(SIGNAL_DTYPES)
    block = (min(shape[0], 30),) + shape[1:]
    size = int(np.prod(block))
    flat = draw(st.lists(st.sampled_from(SIGNAL_VALUES[dtype]), min_size=size, max_size=size))
    values = np.resize(np.array(flat, dtype=dtype).reshape(block), shape)
    return laid_out(values, dtype, draw(LAYOUTS))


@st.composite
def prices(draw, n, cols):
    """(n, cols) positive finite prices (paths that reach stops), longer runs
    repeating a drawn path, in one of the real dtypes and layouts."""
    out = np.zeros((n, cols))
    for j in range(cols):
        out[:, j] = np.resize(np.array(draw(price_path(min(n, 30), edges=False))), n)
    dtype = draw(st.sampled_from(["f8", "f8", "f8", "f4", "i8"]))
    if dtype == "i8":
        out = np.maximum(np.round(out), 1.0)
    return laid_out(out, dtype, draw(LAYOUTS))


# Mostly short runs; now and then one that spans several of the check
# blocks (8192 cells).
BARS = st.sampled_from([0, 1, 2, 3, 5] + [8, 12, 16, 20, 30] * 3 + [3000, 4200, 8300])
CALLBACK_ARGS = st.sampled_from([(), (), (1, 2.5), ([1, 2], 3), (np.array([0.5, 1.5]),), ((),)])
# The C callback fixed_stop (compiled per session) as a modelled rule.
MODEL_RULES = dict(CALLBACK_RULES, c_fixed=lambda bar, d, entry, price, ref, dist, tick, mult,
                   size, block, n: block[0] * tick if n else 0.0)


def common_settings(draw, plain):
    return {
        "size_type": draw(INT_SETTINGS),
        "min_start_length": draw(st.sampled_from([-5, 0, 1, 1, 1, 1, 1, 2, 3, 100])),
        "init_cash": draw(st.sampled_from(pool("init_cash", plain))),
        "com_type": draw(INT_SETTINGS),
        "slip_point": draw(st.sampled_from([0.0, 0.0, 0.1, 0.5, -1.0, float("nan")])),
        "sl_stop": draw(st.sampled_from([0.0, 0.0, 2.0, 3.0, 0.02, 10.0, 3000.0, float("nan"),
                                         -1.0])),
        "tp_stop": draw(st.sampled_from([0.0, 0.0, 2.0, 4.0, 0.05, 5000.0, float("nan")])),
        "stop_mode": draw(INT_SETTINGS),
        "sl_trail": draw(st.sampled_from([0, 0, 1, True, 7])),
        "max_hold_bars": draw(st.sampled_from([0, 0, 1, 2, 5, -1])),
    }


@st.composite
def solo_calls(draw, rules):
    n, plain = draw(BARS), draw(st.booleans())
    m = draw(st.sampled_from([0, 1, 1, 2, 2, 2, 3, 3, 3]))
    call = {
        "close": draw(prices(n, m)),
        "entries": draw(signals((n, m))),
        "exits": draw(signals((n, m))),
        **{name: draw(per_slot(pool(name, plain), m)) for name in SOLO_SLOTS},
        "sl_callback_args": draw(CALLBACK_ARGS),
        "tp_callback_args": draw(CALLBACK_ARGS),
        **common_settings(draw, plain),
    }
    if draw(st.booleans()):
        call["prices"] = draw(prices(n, m))
    rule = st.sampled_from([None, None, None] + rules)
    return call, draw(rule), draw(rule)


@st.composite
def pair_calls(draw):
    n, plain = draw(BARS), draw(st.booleans())
    call = {
        "close": draw(prices(n, 2)),
        "entries": draw(signals((n,))),
        "exits": draw(signals((n,))),
        "size": draw(number(pool("size", plain))),
        **{name: draw(per_slot(pool(name, plain), 2)) for name in PAIR_SLOTS[1:5]},
        "leg_size_ratio": draw(st.one_of(number([1.0, 1.0, 2, 0.4, 1.5, 3, 1e10]),
                                         per_slot([1.0, 2, 0.4, 1.5, 3, 1e10], 2))),
        **common_settings(draw, plain),
    }
    if draw(st.booleans()):
        call["prices"] = draw(prices(n, 2))
    return call


def engine_settings(call, names):
    out = dict(call)
    for name in names:
        out[name] = engine_form(out[name])
    return out


def callback_addresses(sl_rule, tp_rule, c_library):
    """The engines' callback arguments and the ctypes objects to keep alive."""
    keep, addresses = [], {}
    for key, rule in (("sl_callback_addr", sl_rule), ("tp_callback_addr", tp_rule)):
        if rule == "c_fixed":
            addresses[key] = c_callbacks.address(c_library, "fixed_stop")
        elif rule:
            cfunc, addresses[key] = native(rule)
            keep.append(cfunc)
    return keep, addresses


def model_kwargs(call):
    kwargs = dict(call)
    for name in INT_NAMES:
        kwargs[name] = solosim_model.int32(kwargs[name])
    return kwargs


@pytest.fixture(scope="module")
def c_library(c_stop_library):
    return None if c_stop_library is None else ctypes.CDLL(str(c_stop_library))


def ran_as_the_engine(want, got, bare):
    """Both ledger calls raised what the engine raised (False), or both
    returned (True, the results are compared next)."""
    note_outcome(got)
    if want[0] == "raised":
        assert got[0] == bare[0] == "raised", (got, bare, want)
        assert got[1:] == bare[1:] == want[1:]
        return False
    assert got[0] == bare[0] == "ok", (got, bare)
    return True


@PROFILE
@given(data=st.data())
def test_solo_matches_from_signals_and_model(data, c_library):
    rules = sorted(CALLBACK_RULES) + (["c_fixed"] * 2 if c_library is not None else [])
    call, sl_rule, tp_rule = data.draw(solo_calls(rules))
    keep, addresses = callback_addresses(sl_rule, tp_rule, c_library)
    want = outcome(solosim.from_signals, **engine_settings(call, SOLO_SLOTS), **addresses)
    got = outcome(ledger.solo, **call, **addresses, histories=True)
    bare = outcome(ledger.solo, **call, **addresses)
    del keep
    if not ran_as_the_engine(want, got, bare):
        return
    result = got[1]
    n, m = call["close"].shape
    assert_result_types(result, n, m, "contract", True)
    assert_result_types(bare[1], n, m, "contract", False)
    assert_same_arrays(result["histories"], want[1])
    assert_matches_histories(result, want[1])
    assert_same_result(bare[1], result, "contract")

    recorder = solosim_model.Recorder(m)
    solosim_model.from_signals(**model_kwargs(engine_settings(call, SOLO_SLOTS)),
                               sl_callback=MODEL_RULES.get(sl_rule),
                               tp_callback=MODEL_RULES.get(tp_rule), recorder=recorder)
    assert_matches_record(result, recorder.record(), "contract")


@PROFILE
@given(pair_calls())
def test_pair_matches_pair_from_signals_and_model(call):
    want = outcome(spreadsim.pair_from_signals, **engine_settings(call, PAIR_SLOTS))
    got = outcome(ledger.pair, **call, histories=True)
    bare = outcome(ledger.pair, **call)
    if not ran_as_the_engine(want, got, bare):
        return
    result = got[1]
    assert_result_types(result, call["close"].shape[0], 2, "leg", True)
    assert_result_types(bare[1], call["close"].shape[0], 2, "leg", False)
    assert_same_arrays(result["histories"], want[1])
    assert_matches_histories(result, want[1])
    assert_same_result(bare[1], result, "leg")

    recorder = solosim_model.Recorder(2)
    spreadsim_model.pair_from_signals(**model_kwargs(engine_settings(call, PAIR_SLOTS)),
                                      recorder=recorder)
    assert_matches_record(result, recorder.record(), "leg")


# ---- longer runs (many check blocks and interrupt checks), engines only ----

def marked(result, close, multiples, slot):
    """The value curve from the trades: realised equity plus each open
    position marked at close, added in slot order."""
    n, slots = close.shape
    value = result["equity"].copy()
    trades = result["trades"]
    for j in range(slots):
        mark = np.zeros(n)
        held = np.zeros(n, dtype=bool)
        for t in trades[trades[slot] == j]:
            bars = slice(t["entry_bar"], t["exit_bar"] if t["exit_bar"] >= 0 else n)
            c = close[bars, j]
            gain = c - t["entry_price"] if t["direction"] == 1 else t["entry_price"] - c
            mark[bars] = (gain * t["lots"]) * multiples[j]
            held[bars] = True
        value = np.where(held, value + mark, value)
    return value


def random_run(seed, n, m):
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.choice([-1.0, -0.5, 0.0, 0.5, 1.0], size=(n, m)), axis=0)
    close = np.maximum(close, 5.0)
    entries = rng.choice([0.0, 1.0, -1.0], p=[0.9, 0.05, 0.05], size=(n, m))
    exits = rng.choice([0.0, 1.0, -1.0], p=[0.9, 0.05, 0.05], size=(n, m))
    return close, entries, exits


LONG_SOLO = {
    "stops": dict(sl_stop=3.0, tp_stop=5.0, commission=[1.0, 2.0, 0.5], com_type=1),
    "trailing, rate fee, slippage": dict(sl_stop=0.02, stop_mode=2, sl_trail=1,
                                         commission=0.0002, com_type=2, slip_point=0.5),
    "holding limit, money sizing": dict(max_hold_bars=7, size=2000.0, size_type=1,
                                        volume_multiple=[5.0, 10.0, 1.0]),
    "small account": dict(init_cash=3000.0, size=[1, 2, 3], tp_stop=4.0, min_start_length=50),
}


@pytest.mark.parametrize("signal_dtype", ["f8", "i1"])
@pytest.mark.parametrize("settings", list(LONG_SOLO.values()), ids=list(LONG_SOLO))
def test_long_solo_runs(settings, signal_dtype):
    close, entries, exits = random_run(len(str(settings)), 9001, 3)
    entries, exits = entries.astype(signal_dtype), np.asfortranarray(exits.astype(signal_dtype))
    want = solosim.from_signals(close, entries, exits, **engine_settings(
        dict({"size": 1.0, "margin_rate": 0.1, "price_tick": 1.0, "volume_multiple": 5.0,
              "commission": 1.0}, **settings), SOLO_SLOTS))
    result = ledger.solo(close, entries, exits, **settings, histories=True)
    assert_same_arrays(result["histories"], want)
    assert_matches_histories(result, want)
    assert_same_result(ledger.solo(close, entries, exits, **settings), result, "contract")
    assert len(result["trades"]) > 100
    multiples = np.broadcast_to(settings.get("volume_multiple", 5.0), (3,))
    assert same_bits(result["value"], marked(result, close, multiples, "contract"))


@pytest.mark.parametrize("layout", ["C", "F"])
@pytest.mark.parametrize("n, m", [(3, 9000), (7, 8193), (8193, 1), (2, 4095)])
def test_wide_and_odd_shapes(n, m, layout):
    # a check block of 8192 cells is one row of a wide run, or part of one
    # column of a narrow one
    close, entries, exits = random_run(n * m, n, m)
    close, entries, exits = (laid_out(a, "f8", layout) for a in (close, entries, exits))
    settings = dict(sl_stop=2.0, init_cash=20000.0)
    want = solosim.from_signals(close, entries, exits, margin_rate=0.1, price_tick=1.0,
                                volume_multiple=5.0, commission=1.0, **settings)
    result = ledger.solo(close, entries, exits, **settings, histories=True)
    assert_same_arrays(result["histories"], want)
    assert_matches_histories(result, want)
    assert_same_result(ledger.solo(close, entries, exits, **settings), result, "contract")
    assert same_bits(result["value"], marked(result, close, [5.0] * m, "contract"))


@pytest.mark.parametrize("settings", [dict(sl_stop=3.0, tp_stop=5.0),
                                      dict(sl_stop=2.0, sl_trail=1, max_hold_bars=9,
                                           leg_size_ratio=[2, 3], volume_multiple=[5.0, 10.0]),
                                      dict(init_cash=1500.0, com_type=2, commission=0.001)])
def test_long_pair_runs(settings):
    close, entries, exits = random_run(7, 40000, 2)
    entries, exits = entries[:, 0], exits[:, 1]
    want = spreadsim.pair_from_signals(close, entries, exits,
                                       **engine_settings(settings, set(settings) & set(PAIR_SLOTS)))
    result = ledger.pair(close, entries, exits, **settings, histories=True)
    assert_same_arrays(result["histories"], want)
    assert_matches_histories(result, want)
    assert_same_result(ledger.pair(close, entries, exits, **settings), result, "leg")
    assert len(result["trades"]) > 100
    multiples = np.broadcast_to(settings.get("volume_multiple", 5.0), (2,))
    assert same_bits(result["value"], marked(result, close, multiples, "leg"))


# ---- the engines' errors ----

# Settings that pass ledger's checks but make the sizing rule fail at a
# later entry (after a trade of contract 0 / an earlier spread), early or
# several check blocks into the run.
SIZING_ERRORS = {
    "zero one-lot margin": (dict(size_type=1, margin_rate=1e-200, volume_multiple=1e-200),
                            ZeroDivisionError),
    "infinite lot count": (dict(size_type=1, size=1e300, margin_rate=1e-200), OverflowError),
    "NaN lot count": (dict(size_type=2, size=1e300, init_cash=3e38, margin_rate=1e300,
                           volume_multiple=1e300), ValueError),
}


@pytest.mark.parametrize("histories", [False, True])
@pytest.mark.parametrize("at", [2, 20000])
@pytest.mark.parametrize("settings, error", list(SIZING_ERRORS.values()), ids=list(SIZING_ERRORS))
def test_solo_raises_what_from_signals_raises(settings, error, at, histories):
    close = np.full((at + 2, 2), 100.0)
    entries = np.zeros((at + 2, 2), dtype=np.int8)
    exits = np.zeros((at + 2, 2), dtype=np.int8)
    entries[0, 0], exits[1, 0], entries[at, 1] = 1, -1, 1
    # contract 0 sizes by lots and trades first; contract 1 fails
    per_contract = {k: [1.0, v] for k, v in settings.items() if k in SOLO_SLOTS}
    others = {k: v for k, v in settings.items() if k not in SOLO_SLOTS}
    want = outcome(solosim.from_signals, close, entries, exits, **engine_settings(
        dict({"size": 1.0, "margin_rate": 0.1, "price_tick": 1.0, "volume_multiple": 5.0,
              "commission": 1.0}, **per_contract), SOLO_SLOTS), **others)
    got = outcome(ledger.solo, close, entries, exits, **per_contract, **others,
                  histories=histories)
    assert want[0] == "raised" and want[1] is error
    assert got == want


@pytest.mark.parametrize("histories", [False, True])
@pytest.mark.parametrize("at", [2, 20000])
@pytest.mark.parametrize("settings, error", list(SIZING_ERRORS.values()), ids=list(SIZING_ERRORS))
def test_pair_raises_what_pair_from_signals_raises(settings, error, at, histories):
    close = np.full((at + 2, 2), 100.0)
    entries = np.zeros(at + 2, dtype=np.float32)
    entries[at] = 1
    want = outcome(spreadsim.pair_from_signals, close, entries, entries * 0, **settings)
    got = outcome(ledger.pair, close, entries, entries * 0, **settings, histories=histories)
    assert want[0] == "raised" and want[1] is error
    assert got == want
