"""Settings the ledger reads as the caller meant them or refuses by name:
callback addresses given as floats or bools, an infinite slippage, Decimal
and Fraction per-contract settings, a lot count that is not finite, a
pair's close without bars."""

import decimal
import fractions
import re

import numpy as np
import pytest

from quorra.accel import ledger

CLOSE = np.array([[100.0, 50.0], [101.0, 49.0], [99.0, 51.0], [98.0, 52.0], [102.0, 48.0]])
SIGNALS = np.array([[1, -1], [0, 0], [-1, 1], [0, 0], [1, 0]])


def solo(**settings):
    return ledger.solo(CLOSE, SIGNALS, -SIGNALS, **settings)


def pair(**settings):
    return ledger.pair(CLOSE, SIGNALS[:, 0], SIGNALS[:, 1], **settings)


def same_result(got, want):
    return (got["trades"].tobytes() == want["trades"].tobytes()
            and got["equity"].tobytes() == want["equity"].tobytes()
            and got["value"].tobytes() == want["value"].tobytes()
            and got["total_fee"] == want["total_fee"])


# ---- callback addresses ----

@pytest.mark.parametrize("param", ["sl_callback_addr", "tp_callback_addr"])
@pytest.mark.parametrize("given, shown", [
    (0.9, "float"), (-0.5, "float"), (2.0**40, "float"), (True, "bool"),
    (np.float64(7.0), "numpy.float64"), (np.float32(0.25), "numpy.float32"),
    (np.True_, "numpy.bool"),
], ids=repr)
def test_a_float_or_bool_address_that_is_not_zero_is_refused(param, given, shown):
    text = f"{param} must be an int, the address of a native callback (0 for none), got {shown}"
    with pytest.raises(TypeError, match=f"^{re.escape(text)}$"):
        solo(**{param: given})


@pytest.mark.parametrize("param", ["sl_callback_addr", "tp_callback_addr"])
@pytest.mark.parametrize("given", [0, 0.0, -0.0, False, np.float64(0.0), np.False_], ids=repr)
def test_an_address_of_exactly_zero_is_no_callback(param, given):
    assert same_result(solo(sl_stop=1.0, **{param: given}), solo(sl_stop=1.0))


# ---- slippage ----

@pytest.mark.parametrize("run", [solo, pair], ids=lambda f: f.__name__)
@pytest.mark.parametrize("given, text", [
    (1e39, "slip_point 1e+39 is beyond single precision, in which the run keeps it"),
    (-1e39, "slip_point -1e+39 is beyond single precision, in which the run keeps it"),
    (float("inf"), "slip_point is inf; slip_point must not be infinite"),
    (float("-inf"), "slip_point is -inf; slip_point must not be infinite"),
])
def test_an_infinite_slippage_is_refused(run, given, text):
    with pytest.raises(ValueError, match=f"^{re.escape(text)}$"):
        run(slip_point=given)


@pytest.mark.parametrize("run", [solo, pair], ids=lambda f: f.__name__)
@pytest.mark.parametrize("given", [3.4e38, float("nan"), -2.0])
def test_a_finite_or_nan_slippage_runs(run, given):
    # NaN and values <= 0 are no slippage, as in the engines.
    got = run(slip_point=given, sl_stop=1.0)
    assert np.isfinite(got["value"]).all()
    if not given > 0:
        assert same_result(got, run(sl_stop=1.0))


# ---- Decimal and Fraction ----

EXACT = [lambda v: decimal.Decimal(repr(v)), lambda v: fractions.Fraction(repr(v))]


@pytest.mark.parametrize("number", EXACT, ids=["Decimal", "Fraction"])
@pytest.mark.parametrize("name, value", [("size", 2.0), ("margin_rate", 0.25),
                                         ("price_tick", 0.5), ("volume_multiple", 10.0),
                                         ("commission", 1.5)])
@pytest.mark.parametrize("form", ["scalar", "list", "object array"])
def test_decimal_and_fraction_settings_act_as_their_floats(number, name, value, form):
    given = {"scalar": number(value), "list": [number(value), number(value)],
             "object array": np.array([number(value)] * 2, dtype=object)}[form]
    settings = dict(size_type=1, size=200.0) if name != "size" else {}
    for run in (solo, pair):
        assert same_result(run(**settings, **{name: given}), run(**settings, **{name: value}))


@pytest.mark.parametrize("number", EXACT, ids=["Decimal", "Fraction"])
def test_a_decimal_or_fraction_leg_size_ratio_is_leg_a_s(number):
    assert same_result(pair(leg_size_ratio=number(3.0)), pair(leg_size_ratio=3.0))
    assert same_result(pair(leg_size_ratio=[number(3.0), number(2.0)]),
                       pair(leg_size_ratio=[3.0, 2.0]))


@pytest.mark.parametrize("given", [["2"], [1j], [None], [decimal.Decimal(1), "x"],
                                   np.array(["2"], dtype=object)], ids=repr)
def test_objects_that_are_not_real_numbers_are_refused(given):
    text = f"size must be a number or a sequence of numbers, got {type(given).__name__}"
    if isinstance(given, np.ndarray):
        text = "size must be a number or a sequence of numbers, got numpy.ndarray"
    with pytest.raises(TypeError, match=f"^{re.escape(text)}$"):
        solo(size=given)


@pytest.mark.parametrize("given, exc, text", [
    (decimal.Decimal("NaN"), ValueError, "size is nan; size must be finite and > 0"),
    (decimal.Decimal("sNaN"), ValueError, "cannot convert signaling NaN to float"),
    (fractions.Fraction(10**400), OverflowError, "integer division result too large for a float"),
])
def test_decimal_and_fraction_values_are_checked_as_floats(given, exc, text):
    with pytest.raises(exc, match=f"^{re.escape(text)}$"):
        solo(size=given)


# ---- a lot count that is not finite ----

@pytest.mark.parametrize("settings, note", [
    (dict(margin_rate=1e-320, size_type=1),
     "size_type 1: size 1.0 over a one-lot margin of 4.999944e-318 (price 100.0 * "
     "volume_multiple 5.0 * margin_rate 1e-320) is inf lots; margin_rate, volume_multiple or "
     "size is out of scale"),
    (dict(margin_rate=1e-320, size_type=2, size=0.5),
     "size_type 2: size 0.5 * free cash 1000000.0 over a one-lot margin of 4.999944e-318 "
     "(price 100.0 * volume_multiple 5.0 * margin_rate 1e-320) is inf lots; margin_rate, "
     "volume_multiple or size is out of scale"),
    (dict(size=1e300, margin_rate=1e-200, size_type=1),
     "size_type 1: size 1e+300 over a one-lot margin of 5e-198 (price 100.0 * "
     "volume_multiple 5.0 * margin_rate 1e-200) is inf lots; margin_rate, volume_multiple or "
     "size is out of scale"),
])
def test_an_infinite_lot_count_names_its_settings(settings, note):
    with pytest.raises(OverflowError) as raised:
        solo(**settings)
    assert str(raised.value) == "cannot convert float infinity to integer"  # the engines' text
    assert raised.value.__notes__ == [note]


# ---- a pair's close ----

@pytest.mark.parametrize("close", [np.array(5.0), 5.0, np.float64(5.0)], ids=repr)
def test_a_pair_close_without_bars_says_what_it_must_be(close):
    text = "close must be two-dimensional (bars x legs, shape (n, 2)), got 0 dimensions"
    with pytest.raises(ValueError, match=f"^{re.escape(text)}$"):
        ledger.pair(close, np.zeros(1), np.zeros(1))
