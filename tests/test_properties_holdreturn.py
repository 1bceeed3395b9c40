"""Differential properties of holdreturn: calc_holdreturn and
calc_single_holdreturn calls drawn at random (array layouts, subclasses,
holding lengths of every convertible type), against the slow model. Results
must agree bit for bit and exceptions by type and text."""

import numpy as np
from hypothesis import event, given
from hypothesis import strategies as st

import holdreturn_model as model
from property_support import INF, NAN, PROFILE, laid_out, price_path
from quorra.accel import holdreturn
from solosim_model import int32
from support import assert_same_outcome, outcome, same_bits


class Doubled(np.ndarray):
    """Indexing gives twice the stored value: the entry price is read
    through Python indexing, the held bars from the buffer."""

    def __getitem__(self, key):
        return np.ndarray.__getitem__(self, key) * 2.0


class Length:
    """A holding length with a Python __int__."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value

    def __repr__(self):
        return f"Length({self.value})"


class IntSub(int):
    pass


# Layouts a one-dimensional float64 view accepts, and two it refuses.
ACCEPTED = ["C", "C", "C", "strided", "reversed", "readonly", "unaligned", "subclass"]
REFUSED = {
    "swapped": (ValueError, "Big-endian buffer not supported on little-endian compiler"),
    "object": (ValueError, "Buffer dtype mismatch, expected 'double' but got Python object"),
}
LAYOUT = st.sampled_from(ACCEPTED * 4 + ["doubled"] * 2 + sorted(REFUSED))

SIGNALS = st.sampled_from([0.0] * 8 + [1.0, -1.0, 2.0, 0.5, -0.5, -0.0, NAN, INF, -INF])
HOLDS = st.one_of(
    st.integers(0, 25), st.integers(0, 4),
    st.sampled_from([2.9, True, np.int64(3), np.float64(1.5), np.int8(2), IntSub(4)]),
    st.integers(0, 6).map(Length),
    st.sampled_from([-1, 2**31, NAN, INF, "3", None, Length(-2), Length(1.5)]))


def layout(values, how):
    if how == "doubled":
        return np.array(values, dtype=np.float64).view(Doubled)
    return laid_out(values, "f8", how)


def for_model(arr):
    """The same values for the model, whose buffer reads (memoryview) do not
    take the '=d' format NumPy gives an unaligned view."""
    return np.array(arr) if type(arr) is np.ndarray and not arr.flags.aligned else arr


@st.composite
def arrays(draw):
    """(signals, close, expected refusal or None)."""
    n = draw(st.sampled_from([0, 1, 2, 3, 5, 8, 13, 21, 30]))
    signals = draw(st.lists(SIGNALS, min_size=n, max_size=n))
    close = draw(price_path(n + draw(st.sampled_from([0, 0, 0, 2]))))
    how_signals, how_close = draw(LAYOUT), draw(LAYOUT)
    refused = REFUSED.get(how_signals) or REFUSED.get(how_close)
    return layout(signals, how_signals), layout(close, how_close), refused


def with_refusal(refused, fn, *args):
    """The model's outcome, or the view check's refusal it does not model."""
    if refused:
        return ("raised",) + refused
    return outcome(fn, *args)


def same_result(got, want):
    assert type(got) is dict and list(got) == list(model.KEYS)
    for key in ("long_profits", "short_profits"):
        assert type(got[key]) is np.ndarray and got[key].flags.c_contiguous
        assert same_bits(got[key], want[key])
    for key in ("signal_indices", "signal_directions"):
        assert type(got[key]) is list and all(type(v) is int for v in got[key])
        assert got[key] == want[key]
    assert type(got["cum_profit"]) is list and len(got["cum_profit"]) == len(want["cum_profit"])
    for g, w in zip(got["cum_profit"], want["cum_profit"]):
        assert type(g) is np.ndarray and same_bits(g, w)


@PROFILE
@given(arrays(), st.lists(HOLDS, max_size=4))
def test_calc_holdreturn_matches_model(drawn, bars):
    signals, close, refused = drawn
    got = outcome(holdreturn.calc_holdreturn, signals, close, bars)
    want = with_refusal(refused, model.calc_holdreturn, for_model(signals),
                        for_model(close), bars)
    event(f"{want[1].__name__}" if want[0] == "raised" else
          f"{len(want[1]['signal_indices']) > 0} signals")

    def compare(g, w):
        same_result(g, w)
        assert g["bars"] is bars

    assert_same_outcome(got, want, compare)


def single_model(signal, close, bar_hold):
    """calc_single_holdreturn from the model: the holding length converted
    first, the inner result's values, a new empty curve list when it has
    none, and the converted length in a new list."""
    hold = int32(bar_hold)
    inner = model.calc_holdreturn(signal, close, [hold])
    result = {key: inner[key] for key in model.KEYS[:4]}
    result["cum_profit"] = inner["cum_profit"] if inner["cum_profit"] else []
    result["bars"] = [hold]
    return result


@PROFILE
@given(arrays(), HOLDS)
def test_calc_single_holdreturn_matches_model(drawn, bar_hold):
    signal, close, refused = drawn
    got = outcome(holdreturn.calc_single_holdreturn, signal, close, bar_hold)
    conversion = outcome(int32, bar_hold)
    if conversion[0] == "raised":  # the length is converted before the arrays are checked
        want = conversion
    else:
        want = with_refusal(refused, single_model, for_model(signal), for_model(close),
                            bar_hold)

    def compare(g, w):
        same_result(g, w)
        assert type(g["bars"]) is list and g["bars"] == w["bars"]
        assert type(g["bars"][0]) is int

    assert_same_outcome(got, want, compare)
