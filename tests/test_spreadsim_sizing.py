"""spreadsim's sizing: the engine's lookup of calculate_size at every entry,
the conversion of `size`, and stop distances in money (calculate_size called
directly is tested in test_calculate_size.py)."""

import builtins
import math
import sys
import traceback

import numpy as np
import pytest

import spreadsim_model as model
from quorra.accel import spreadsim
from support import assert_same_arrays

PRICES = np.array([[100.0, 50.0], [100.0, 50.0], [80.0, 70.0], [80.0, 70.0]])
ENTRIES = np.array([1.0, 0, -1, 0])
EXITS = np.array([0, 1.0, 0, 1.0])


def run(**kw):
    return spreadsim.pair_from_signals(PRICES, ENTRIES, EXITS, **kw)


def frames(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


# --- sizing inside the engine ---------------------------------------------------

@pytest.mark.parametrize("kw, error, text", [
    ({"size_type": 1, "margin_rate": [0.1, 0.0]}, ZeroDivisionError, "^float division$"),
    ({"size": math.nan}, ValueError, "^cannot convert float NaN to integer$"),
    ({"size": 1e300, "size_type": 1, "margin_rate": 1e-300}, OverflowError, "infinity"),
])
def test_native_sizing_errors_end_the_run(kw, error, text):
    with pytest.raises(error, match=text) as e:
        run(**kw)
    # Outermost first: the engine's entry, then the sizing routine it ran.
    assert frames(e.value)[-2:] == ["quorra.accel.spreadsim.pair_from_signals",
                                    "quorra.accel.spreadsim.calculate_size"]


class CountingSize:
    calls = 0

    def __float__(self):
        CountingSize.calls += 1
        return 2.0


def test_size_converted_with_float_for_each_leg_at_each_attempt():
    CountingSize.calls = 0
    r0, r1 = run(size=CountingSize())
    assert CountingSize.calls == 4  # two entries, two legs each
    assert r0[0, 2] == r1[0, 2] == 2.0


def test_refused_attempts_convert_size_too():
    CountingSize.calls = 0
    run(size=CountingSize(), init_cash=1.0)
    assert CountingSize.calls == 4


@pytest.mark.parametrize("size, lots", [("3", 3.0), (b"4", 4.0), (np.int64(5), 5.0),
                                        (True, 1.0), (np.float32(2.5), 2.0)])
def test_size_accepts_what_float_accepts(size, lots):
    r0, _ = run(size=size)
    assert r0[0, 2] == lots


class IntSize:
    def __float__(self):
        return 2


@pytest.mark.parametrize("size, error, text", [
    (None, TypeError, "float() argument must be a string or a real number, not 'NoneType'"),
    ("two", ValueError, "could not convert string to float: 'two'"),
    (IntSize(), TypeError, "__float__ returned non-float (type int)"),
])
def test_bad_size_fails_at_first_entry_only(size, error, text):
    r0, _ = spreadsim.pair_from_signals(PRICES, np.zeros(4), EXITS, size=size)
    assert (r0[:, 1] == 0).all()
    with pytest.raises(error) as e:
        run(size=size)
    assert str(e.value) == text


# --- replacing calculate_size -----------------------------------------------------

class Recorder:
    def __init__(self, result=3.0):
        self.calls = []
        self.result = result

    def __call__(self, *args):
        self.calls.append(args)
        return self.result


def test_replacement_is_called_with_six_python_objects(monkeypatch):
    fake = Recorder()
    monkeypatch.setattr(spreadsim, "calculate_size", fake)
    kw = dict(size=2, size_type=4, margin_rate=[0.1, 0.2], volume_multiple=(5, 7),
              slip_point=0.5)
    got = run(**kw)
    model.assert_same_rows(got, model.pair_from_signals(PRICES, ENTRIES, EXITS, sizer=fake, **kw))
    first, second = fake.calls[0], fake.calls[1]
    assert first == (100.5, 2.0, 4, 1000000.0, 0.1, 5.0)
    assert second == (49.5, 2.0, 4, 1000000.0, 0.2, 7.0)
    assert [type(a) for a in first] == [float, float, int, float, float, float]
    # The second pair is sized on the cash left after the first round trip.
    assert fake.calls[2][3] == fake.calls[3][3] != 1000000.0
    assert got[0][0, 2] == 3.0


@pytest.mark.parametrize("result, lots", [(np.float64(4.0), 4.0), (7, 7.0), (2.9, 2.0),
                                          (0.0, 1.0), (math.nan, 1.0), (1e12, 1.0)])
def test_replacement_result_read_as_double_then_lot_rules(monkeypatch, result, lots):
    monkeypatch.setattr(spreadsim, "calculate_size", Recorder(result))
    r0, r1 = run(init_cash=1e30)
    assert r0[0, 2] == r1[0, 2] == lots


def test_replacement_result_that_is_not_a_number(monkeypatch):
    monkeypatch.setattr(spreadsim, "calculate_size", Recorder("2"))
    with pytest.raises(TypeError):
        run()


def test_replacement_error_ends_the_run(monkeypatch):
    def fail(*args):
        raise KeyError("sizer")

    monkeypatch.setattr(spreadsim, "calculate_size", fail)
    with pytest.raises(KeyError) as e:
        run()
    assert "quorra.accel.spreadsim.pair_from_signals" in frames(e.value)


def test_name_is_looked_up_at_every_use(monkeypatch):
    second = Recorder(5.0)

    def first(*args):
        monkeypatch.setattr(spreadsim, "calculate_size", second)
        return 2.0

    monkeypatch.setattr(spreadsim, "calculate_size", first)
    r0, r1 = run()
    assert (r0[0, 2], r1[0, 2]) == (2.0, 5.0)
    assert r0[2, 2] == 5.0


def test_rebinding_the_own_function_restores_native_sizing(monkeypatch):
    own = spreadsim.calculate_size
    expected = run(size=3.0)
    monkeypatch.setattr(spreadsim, "calculate_size", Recorder(1.0))
    monkeypatch.setattr(spreadsim, "calculate_size", own)
    assert_same_arrays(run(size=3.0), expected)


def test_deleted_name_is_name_error_at_first_entry(monkeypatch):
    monkeypatch.delattr(spreadsim, "calculate_size")
    spreadsim.pair_from_signals(PRICES, np.zeros(4), EXITS)
    with pytest.raises(NameError, match="^name 'calculate_size' is not defined$"):
        run()


def test_deleted_name_falls_back_to_builtins(monkeypatch):
    monkeypatch.delattr(spreadsim, "calculate_size")
    monkeypatch.setattr(builtins, "calculate_size", Recorder(6.0), raising=False)
    r0, _ = run()
    assert r0[0, 2] == 6.0


# --- stop distances in money --------------------------------------------------------

def test_tiny_position_value_gives_infinite_money_stop_distance(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    kw = dict(volume_multiple=5e-324, sl_stop=3.0, tp_stop=3.0, stop_mode=1, sl_trail=1)
    got = run(**kw)
    model.assert_same_rows(got, model.pair_from_signals(PRICES, ENTRIES, EXITS, **kw))
    assert reports == []


@pytest.mark.parametrize("stop_mode", [0, 1, 2, 3, -1])
@pytest.mark.parametrize("trail", [0, 1])
def test_stop_modes_against_model(stop_mode, trail):
    prices = np.array([[100.0, 50.0], [101.0, 49.5], [103.0, 48.0], [99.0, 51.0],
                       [98.0, 53.0], [97.0, 52.0]])
    entries = np.array([1.0, 0, 0, 0, -1, 0])
    kw = dict(sl_stop={0: 2.0, 1: 20.0, 2: 0.02}.get(stop_mode, 1.0),
              tp_stop={0: 3.0, 1: 15.0, 2: 0.03}.get(stop_mode, 1.0), stop_mode=stop_mode,
              sl_trail=trail, size=2.0, volume_multiple=[5.0, 10.0], price_tick=[0.5, 0.2])
    got = spreadsim.pair_from_signals(prices, entries, np.zeros(6), **kw)
    model.assert_same_rows(got, model.pair_from_signals(prices, entries, np.zeros(6), **kw))
