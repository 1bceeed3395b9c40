"""calculate_size called directly. solosim's and spreadsim's are the same rule
built from one source: every case runs against both modules."""

import math

import pytest

import solosim_model as model
from quorra.accel import solosim, spreadsim

COUNT = "calculate_size() takes exactly 6 positional arguments ({} given)"


@pytest.fixture(params=[solosim, spreadsim], ids=["solosim", "spreadsim"])
def module(request):
    return request.param


def frame(module):
    return f"{module.__name__}.calculate_size"


@pytest.mark.parametrize("args, lots", [
    ((100.0, 0.4, 0, 0.0, 0.0, 0.0), 1.0),  # 0.4 truncates to 0, raised to one lot
    ((100.0, 5.9, 0, 0.0, 0.0, 0.0), 5.0),
    ((100.0, -3.7, 0, 0.0, 0.0, 0.0), 1.0),
    ((100.0, 7.0, 0, 0.0, 0.0, 0.0), 7.0),  # margin 0 is no error for size_type 0
    ((100.0, 2.0**60 + 0.5, 0, 0.0, 0.0, 0.0), 2.0**60),
    ((4000.0, 10000.0, 1, 0.0, 0.1, 10.0), 2.0),  # one-lot margin 4000
    ((4000, 10000, 1, 0, 0.1, 10), 2.0),
    ((4000.0, 0.5, 2, 100000.0, 0.1, 10.0), 12.0),
    ((4000, 0.5, 2, 100000, 0.1, 10), 12.0),
    ((100.0, 1e9, 3, 1e9, 0.0, 0.0), 1.0),  # unknown scheme: one lot, margin unused
    ((1.0, 1.0, 3, 0.0, 0.0, 0.0), 1.0),
    ((100.0, 1e9, -1, 1e9, 0.1, 5.0), 1.0),
    ((1.0, 1.0, -1, 0.0, 0.0, 0.0), 1.0),
    ((4000.0, 10000.0, 1.9, 0.0, 0.1, 10.0), 2.0),  # size_type converted by int()
    ((1.0, 1.0, 1.9, 0.0, 1.0, 1.0), 1.0),
    ((4000.0, 10000.0, True, 0.0, 0.1, 10.0), 2.0),
])
def test_values(module, args, lots):
    got = module.calculate_size(*args)
    assert type(got) is float and got == lots
    close_price, size, size_type, init_cash, margin_rate, multiple = args
    assert got == model.calculate_size(close_price, size, model.int32(size_type), init_cash,
                                       margin_rate, multiple)


@pytest.mark.parametrize("size_type", [1, 2])
@pytest.mark.parametrize("zero", [(100.0, 0.0, 10.0), (0.0, 0.1, 10.0), (100.0, 0.1, -0.0),
                                  (1e-200, 1e-200, 1e-10), (1.0, 0.0, 1.0), (1.0, 1.0, 0.0)])
def test_zero_margin(module, size_type, zero):
    close_price, margin_rate, multiple = zero
    with pytest.raises(ZeroDivisionError, match="^float division$") as info:
        module.calculate_size(close_price, 5.0, size_type, 1000.0, margin_rate, multiple)
    assert info.traceback[-1].name == frame(module)


@pytest.mark.parametrize("args, exc, text", [
    ((1.0, 1.0, 1, 0.0, 0.0, 1.0), ZeroDivisionError, "float division"),
    ((1.0, 1.0, 2, 0.0, 1.0, 0.0), ZeroDivisionError, "float division"),
    ((float("nan"), 5.0, 1, 0.0, 0.1, 10.0), ValueError,  # a NaN margin is not zero
     "cannot convert float NaN to integer"),
    ((100.0, math.nan, 0, 0.0, 0.0, 0.0), ValueError, "cannot convert float NaN to integer"),
    ((1.0, math.nan, 0, 0.0, 0.0, 0.0), ValueError, "cannot convert float NaN to integer"),
    ((100.0, math.inf, 0, 0.0, 0.0, 0.0), OverflowError,
     "cannot convert float infinity to integer"),
    ((1e-300, 1e300, 1, 0.0, 1e-10, 1.0), OverflowError,
     "cannot convert float infinity to integer"),
    ((1e-200, 1e300, 1, 0.0, 1e-100, 1.0), OverflowError,
     "cannot convert float infinity to integer"),
    ((100.0, 1.0, 0, None, 0.0, 0.0), TypeError, "must be real number, not NoneType"),
    ((None, 1.0, 0, 0.0, 0.0, 0.0), TypeError, "must be real number, not NoneType"),
    ((100.0, 1.0, "1", 0.0, 0.0, 0.0), TypeError, "an integer is required"),
    ((100.0, 1.0, None, 0.0, 0.0, 0.0), TypeError, "an integer is required"),
    ((100.0, 1.0, 2**31, 0.0, 0.0, 0.0), OverflowError,
     "Python int too large to convert to C int"),
])
def test_errors(module, args, exc, text):
    with pytest.raises(exc) as info:
        module.calculate_size(*args)
    assert str(info.value) == text
    assert info.traceback[-1].name == frame(module)


@pytest.mark.parametrize("count", [0, 5, 7])
def test_count_errors(module, count):
    with pytest.raises(TypeError) as info:
        module.calculate_size(*([1.0] * count))
    assert str(info.value) == COUNT.format(count)
    assert info.traceback[-1].name == frame(module)


def test_keyword_binding(module):
    assert module.calculate_size(close_price=4000.0, size=10000.0, size_type=1, init_cash=0.0,
                                 margin_rate=0.1, volume_multiple=10.0) == 2.0
    with pytest.raises(TypeError) as info:
        module.calculate_size(1.0, 1.0, 0, 1.0, margin_rate=0.1)
    assert str(info.value) == COUNT.format(5)
    with pytest.raises(TypeError) as info:
        module.calculate_size(1.0, 1.0, 0, 1.0, 0.1, 5.0, size=2.0)
    assert str(info.value) == "calculate_size() got multiple values for keyword argument 'size'"
    with pytest.raises(TypeError) as info:
        module.calculate_size(1.0, 1.0, 0, 1.0, 0.1, 5.0, lots=2.0)
    assert str(info.value) == "calculate_size() got an unexpected keyword argument 'lots'"
