"""calculate_size and calculate_commission called directly."""

import math
import subprocess
import sys

import pytest

from quorra.accel import solosim

import solosim_model as model

COUNT = "{}() takes exactly 6 positional arguments ({} given)"


@pytest.mark.parametrize(
    "args, expected",
    [
        ((100.0, 0.4, 0, 0.0, 0.0, 0.0), 1.0),  # 0.4 truncates to 0, raised to one lot
        ((100.0, 5.9, 0, 0.0, 0.0, 0.0), 5.0),
        ((100.0, -3.7, 0, 0.0, 0.0, 0.0), 1.0),
        ((4000.0, 10000.0, 1, 0.0, 0.1, 10.0), 2.0),  # one-lot margin 4000
        ((4000.0, 0.5, 2, 100000.0, 0.1, 10.0), 12.0),
        ((100.0, 1e9, 3, 1e9, 0.0, 0.0), 1.0),  # unknown scheme: one lot, margin unused
        ((100.0, 1e9, -1, 1e9, 0.1, 5.0), 1.0),
        ((100.0, 7.0, 0, 0.0, 0.0, 0.0), 7.0),  # margin 0 is no error for size_type 0
        ((100.0, 2.0**60 + 0.5, 0, 0.0, 0.0, 0.0), 2.0**60),
        ((4000.0, 10000.0, 1.9, 0.0, 0.1, 10.0), 2.0),  # size_type converted by int()
        ((4000.0, 10000.0, True, 0.0, 0.1, 10.0), 2.0),
        ((float("nan"), 5.0, 1, 0.0, 0.1, 10.0), None),  # NaN margin is not zero: ValueError
    ],
)
def test_calculate_size_values(args, expected):
    if expected is None:
        with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
            solosim.calculate_size(*args)
        return
    got = solosim.calculate_size(*args)
    assert type(got) is float and got == expected
    close_price, size, size_type, init_cash, margin_rate, multiple = args
    assert got == model.calculate_size(close_price, size, model.int32(size_type), init_cash,
                                       margin_rate, multiple)


@pytest.mark.parametrize("size_type", [1, 2])
@pytest.mark.parametrize("zero", [(100.0, 0.0, 10.0), (0.0, 0.1, 10.0), (100.0, 0.1, -0.0),
                                  (1e-200, 1e-200, 1e-10)])
def test_calculate_size_zero_margin(size_type, zero):
    close_price, margin_rate, multiple = zero
    with pytest.raises(ZeroDivisionError, match="^float division$") as info:
        solosim.calculate_size(close_price, 5.0, size_type, 1000.0, margin_rate, multiple)
    assert info.traceback[-1].name == "quorra.accel.solosim.calculate_size"


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((100.0, math.nan, 0, 0.0, 0.0, 0.0), ValueError, "cannot convert float NaN to integer"),
        ((100.0, math.inf, 0, 0.0, 0.0, 0.0), OverflowError,
         "cannot convert float infinity to integer"),
        ((1e-300, 1e300, 1, 0.0, 1e-10, 1.0), OverflowError,
         "cannot convert float infinity to integer"),
        ((100.0, 1.0, 0, None, 0.0, 0.0), TypeError, "must be real number, not NoneType"),
        ((None, 1.0, 0, 0.0, 0.0, 0.0), TypeError, "must be real number, not NoneType"),
        ((100.0, 1.0, "1", 0.0, 0.0, 0.0), TypeError, "an integer is required"),
        ((100.0, 1.0, None, 0.0, 0.0, 0.0), TypeError, "an integer is required"),
        ((100.0, 1.0, 2**31, 0.0, 0.0, 0.0), OverflowError,
         "Python int too large to convert to C int"),
    ],
)
def test_calculate_size_errors(args, exc, text):
    with pytest.raises(exc) as info:
        solosim.calculate_size(*args)
    assert str(info.value) == text


@pytest.mark.parametrize(
    "com_type, commission, expected",
    [(0, 2.0, 60.0), (1, 5.0, 15.0), (2, 0.0001, 12.0), (3, 2.0, 0.0), (-1, 2.0, 0.0)],
)
def test_calculate_commission_schemes(com_type, commission, expected):
    got = solosim.calculate_commission(4000.0, 3.0, 10.0, commission, com_type, 1.0)
    assert type(got) is float
    assert got == pytest.approx(expected, rel=1e-15)
    assert got == model.calculate_commission(4000.0, 3.0, 10.0, commission, com_type, 1.0)


@pytest.mark.parametrize(
    "args",
    [
        (4000.0, -3.0, 10.0, 2.0, 0, 1.0),  # negative size: negative fee
        (4000.0, 3.0, 10.0, -2.0, 1, 1.0),
        (math.nan, 3.0, 10.0, 0.1, 2, 1.0),
        (math.inf, 3.0, 10.0, 0.1, 2, 1.0),
        (0.1, 0.7, 0.3, 0.9, 2, 1.0),  # left-to-right product order
        (0.1, 0.7, 0.3, 0.9, 0, 0.3),
    ],
)
def test_calculate_commission_unchecked(args):
    got = solosim.calculate_commission(*args)
    want = model.calculate_commission(*args)
    assert (math.isnan(got) and math.isnan(want)) or got == want


@pytest.mark.parametrize("fn", [solosim.calculate_size, solosim.calculate_commission])
@pytest.mark.parametrize("count", [0, 5, 7])
def test_count_errors(fn, count):
    with pytest.raises(TypeError) as info:
        fn(*([1.0] * count))
    assert str(info.value) == COUNT.format(fn.__name__, count)
    assert info.traceback[-1].name == f"quorra.accel.solosim.{fn.__name__}"


def test_keyword_binding():
    assert solosim.calculate_size(close_price=4000.0, size=10000.0, size_type=1, init_cash=0.0,
                                  margin_rate=0.1, volume_multiple=10.0) == 2.0
    assert solosim.calculate_commission(4000.0, 3.0, 10.0, 2.0, com_type=0, price_tick=1.0) == 60.0
    with pytest.raises(TypeError) as info:
        solosim.calculate_size(1.0, 1.0, 0, 1.0, margin_rate=0.1)
    assert str(info.value) == COUNT.format("calculate_size", 5)
    with pytest.raises(TypeError) as info:
        solosim.calculate_size(1.0, 1.0, 0, 1.0, 0.1, 5.0, size=2.0)
    assert str(info.value) == "calculate_size() got multiple values for keyword argument 'size'"
    with pytest.raises(TypeError) as info:
        solosim.calculate_size(1.0, 1.0, 0, 1.0, 0.1, 5.0, lots=2.0)
    assert str(info.value) == "calculate_size() got an unexpected keyword argument 'lots'"


def test_binding_order():
    # in a fresh interpreter: other tests rebind module attributes
    code = ("from quorra.accel import solosim; "
            "print([k for k in vars(solosim) if not k.startswith('__')])")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                         text=True).stdout
    assert out.strip() == "['np', 'calculate_commission', 'calculate_size', 'from_signals']"


def test_function_attributes():
    for name in ("calculate_commission", "calculate_size", "from_signals"):
        fn = getattr(solosim, name)
        assert fn.__name__ == name and fn.__qualname__ == name
        assert fn.__module__ == "quorra.accel.solosim"
        assert fn.__doc__ is None
    assert solosim.__doc__ is None
    assert solosim.np is __import__("numpy")
