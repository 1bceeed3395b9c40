"""calculate_commission called directly, and the module's namespace and function
attributes (calculate_size has its own tests in test_calculate_size.py)."""

import math
import subprocess
import sys

import pytest

from quorra.accel import solosim

import solosim_model as model

COUNT = "{}() takes exactly 6 positional arguments ({} given)"


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


@pytest.mark.parametrize("count", [0, 5, 7])
def test_count_errors(count):
    with pytest.raises(TypeError) as info:
        solosim.calculate_commission(*([1.0] * count))
    assert str(info.value) == COUNT.format("calculate_commission", count)
    assert info.traceback[-1].name == "quorra.accel.solosim.calculate_commission"


def test_keyword_binding():
    assert solosim.calculate_commission(4000.0, 3.0, 10.0, 2.0, com_type=0, price_tick=1.0) == 60.0


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
