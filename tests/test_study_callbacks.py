"""Stop callbacks made from Python functions: what the function raises (Ctrl-C
included) or a result that is not a number ends the run with that exception
and nothing of the run, in study.backtest and in sweeps."""

import ctypes

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from quorra.accel import demo, ledger, study  # noqa: E402
from support import sample_close  # noqa: E402

N = 300


@pytest.fixture(scope="module")
def close():
    return sample_close(N)


def failing_after(calls, exc=None, value=None):
    """A stop 10 % away that fails on its 5th call: raises `exc` or
    returns `value`."""
    def stop(bar, direction, entry, price, ref, distance, tick, multiple, size, args, n):
        calls.append(bar)
        if len(calls) == 5:
            if exc is not None:
                raise exc
            return value
        return price * (0.9 if direction == 1 else 1.1)
    return stop


FAILURES = [
    (ValueError("boom"), None, ValueError, "boom"),
    (KeyboardInterrupt(), None, KeyboardInterrupt, "^$"),
    (SystemExit(3), None, SystemExit, "3"),
    (None, "x", TypeError, "must return a number, not str"),
    (None, None, TypeError, "must return a number, not NoneType"),
    (None, np.array([1.0, 2.0]), TypeError, "must return a number, not ndarray"),
]


@pytest.mark.parametrize("exc, value, error, text", FAILURES)
def test_a_failing_python_callback_ends_study_backtest_with_its_exception(
        close, capfd, exc, value, error, text):
    e, x = demo.crossover_strategy(close, 3, 10)
    calls = []
    cb = study.STOP_CALLBACK(failing_after(calls, exc, value))
    with pytest.raises(error, match=text):
        study.backtest(close, e, x, sl_callback=cb)
    assert len(calls) == 5  # nothing of the Python code ran after the failure
    assert cb.error is None  # raised and cleared: the callback runs again
    assert "Exception ignored" not in capfd.readouterr().err
    calls.extend(range(10))  # past its failing call, the same callback runs again
    assert study.backtest(close, e, x, sl_callback=cb).stats()["Total Trades"] > 0


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("exc", [ValueError("boom"), KeyboardInterrupt()])
def test_a_failing_python_callback_in_a_sweep(close, workers, exc):
    calls = []
    cb = study.STOP_CALLBACK(failing_after(calls, exc))

    def strategy(c, k):
        return demo.crossover_strategy(c, 3, 10)

    run = lambda: study.sweep(strategy, {"k": [1, 2, 3]}, close,  # noqa: E731
                              settings={"sl_callback": cb}, workers=workers, progress=False)
    if isinstance(exc, KeyboardInterrupt):
        with pytest.raises(KeyboardInterrupt):
            run()
        return
    table = run()
    assert list(table["error"].fillna("")).count("ValueError: boom") == 1
    assert table["error"].isna().sum() == 2


def test_a_guarded_callback_passed_as_an_address_keeps_what_it_raised(close):
    e, x = demo.crossover_strategy(close, 3, 10)
    calls = []
    cb = study.STOP_CALLBACK(failing_after(calls, ValueError("boom")))
    address = ctypes.cast(cb, ctypes.c_void_p).value
    ledger.solo(close.to_numpy(), e, x, sl_callback_addr=address)
    assert isinstance(cb.error, ValueError) and len(calls) == 5
    cb.clear()
    assert cb.error is None


def test_the_callback_type_keeps_its_prototype_and_other_constructors():
    def stop(*args):
        return 1.0

    cb = study.STOP_CALLBACK(stop)
    assert isinstance(cb, study.STOP_CALLBACK)
    assert cb.restype is ctypes.c_double and len(cb.argtypes) == 11
    assert cb(0, 1, *[1.0] * 7, None, 0) == 1.0
    raw = study.STOP_CALLBACK(ctypes.cast(cb, ctypes.c_void_p).value)
    assert raw.error is None  # an address: not guarded, trusted code
