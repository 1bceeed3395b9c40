"""Argument binding, conversion and validation shared by every function."""

import inspect
import sys
import warnings

import numpy as np
import pytest

from quorra.accel import holdreturn, solosim, spreadsim

COUNT = "{}() takes {} {} positional argument{} ({} given)"
ARG_TYPE = "Argument '{}' has incorrect type (expected {}, got {})"
SIZE_ARGS = (100.0, 1.0, 0, 1000.0, 0.1, 5.0)


def raises_exactly(exc_type, text, f, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        f(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == text
    return info


@pytest.mark.parametrize("f", [solosim.calculate_size, spreadsim.calculate_size,
                               solosim.calculate_commission], ids=lambda f: f.__module__)
@pytest.mark.parametrize("n", [0, 5, 7])
def test_exact_count_errors(f, n):
    raises_exactly(TypeError, COUNT.format(f.__name__, "exactly", 6, "s", n), f, *([1.0] * n))


def test_missing_parameter_reports_its_position():
    raises_exactly(TypeError, COUNT.format("calculate_size", "exactly", 6, "s", 5),
                   solosim.calculate_size, 100.0, 1.0, 0, 1000.0, margin_rate=0.1)
    raises_exactly(TypeError, COUNT.format("from_signals", "at least", 3, "s", 1),
                   solosim.from_signals, None, exits=None)


@pytest.mark.parametrize("f, name, low, high", [
    (solosim.from_signals, "from_signals", 3, 23),
    (spreadsim.pair_from_signals, "pair_from_signals", 3, 20),
])
def test_range_count_errors(f, name, low, high):
    raises_exactly(TypeError, COUNT.format(name, "at least", low, "s", 1), f, None)
    raises_exactly(TypeError, COUNT.format(name, "at most", high, "s", high + 1),
                   f, *([None] * (high + 1)))
    raises_exactly(TypeError, COUNT.format(name, "at most", high, "s", high + 1),
                   f, *([None] * (high + 1)), close=None)


def test_keyword_errors():
    f = solosim.calculate_size
    raises_exactly(TypeError, "calculate_size() got multiple values for keyword argument 'size'",
                   f, *SIZE_ARGS, size=2.0)
    raises_exactly(TypeError, "calculate_size() got an unexpected keyword argument 'lots'",
                   f, *SIZE_ARGS, lots=2.0)


class StrSubclass(str):
    pass


def test_keywords_match_by_text_and_subclass():
    f = solosim.calculate_size
    names = ["close_price", "size", "size_type", "init_cash", "margin_rate", "volume_multiple"]
    by_built_name = {"".join(list(n)): v for n, v in zip(names, SIZE_ARGS)}
    assert f(**by_built_name) == f(*SIZE_ARGS)
    by_subclass = {StrSubclass(n): v for n, v in zip(names, SIZE_ARGS)}
    assert f(**by_subclass) == f(*SIZE_ARGS)
    assert f(100.0, 1.0, volume_multiple=5.0, size_type=0, init_cash=1.0, margin_rate=0.1) == 1.0


def test_keyword_dictionary_path_needs_string_keys():
    with pytest.raises(TypeError, match="keywords must be strings"):
        solosim.calculate_size(*SIZE_ARGS[:5], **{1: 5.0})


class IntLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class IntSubclass(int):
    pass


@pytest.mark.parametrize("size_type, lots", [(1.9, 2.0), (True, 2.0), (np.int8(1), 2.0),
                                             (IntLike(1), 2.0), (0, 5.0), (-1, 1.0)])
def test_int32_conversion_accepts_ints_and_int_like(size_type, lots):
    assert solosim.calculate_size(4000.0, 10000.0 if lots == 2.0 else 5.0, size_type, 0.0,
                                  0.1, 10.0) == lots


@pytest.mark.parametrize("value, exc, text", [
    ("1", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (IntLike(1.5), TypeError, "__int__ returned non-int (type float)"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    (2**31, OverflowError, "Python int too large to convert to C int"),
    (-2**31 - 1, OverflowError, "Python int too large to convert to C int"),
    (2**70, OverflowError, "Python int too large to convert to C int"),
])
def test_int32_conversion_errors(value, exc, text):
    raises_exactly(exc, text, solosim.calculate_size, 100.0, 1.0, value, 0.0, 0.1, 5.0)


def test_int_subclass_from_int_warns():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert solosim.calculate_size(100.0, 3.0, IntLike(IntSubclass(0)), 0.0, 0.1, 5.0) == 3.0
    assert [str(w.message) for w in caught] == [
        "__int__ returned non-int (type IntSubclass).  The ability to return an instance of a "
        "strict subclass of int is deprecated, and may be removed in a future version of Python."]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning):
            solosim.calculate_size(100.0, 3.0, IntLike(IntSubclass(0)), 0.0, 0.1, 5.0)


def test_int64_range():
    close = np.zeros((0, 1))
    # The largest address converts; it is then refused as no code at all.
    raises_exactly(ValueError, "sl_callback_addr 0x7fffffffffffffff is not the address of "
                   "executable code",
                   solosim.from_signals, close, close, close, sl_callback_addr=2**63 - 1)
    raises_exactly(OverflowError, "Python int too large to convert to C long",
                   solosim.from_signals, close, close, close, sl_callback_addr=2**63)


def test_double_conversion_uses_the_interpreters_errors():
    raises_exactly(TypeError, "must be real number, not NoneType",
                   solosim.calculate_size, None, *SIZE_ARGS[1:])
    raises_exactly(TypeError, "must be real number, not str",
                   solosim.calculate_commission, "1", 1.0, 1.0, 1.0, 1, 1.0)
    assert solosim.calculate_size(np.float32(100.0), 2.5, 0, 0.0, 0.1, 5.0) == 2.0
    assert solosim.calculate_commission(100, 2, 5, 1, 2, 1) == 1000.0


def test_float32_parameters_are_rounded():
    close = np.array([[100.0], [100.0]])
    entries = np.array([[1.0], [0.0]])
    (hist,) = solosim.from_signals(close, entries, np.zeros((2, 1)), init_cash=123456789.0)
    # The account starts at the single-precision value and pays the 1.0 fee.
    assert hist[0, 0] == float(np.float32(123456789.0)) - 1.0 == 123456791.0


@pytest.mark.parametrize("f, args, param, expected, got", [
    (solosim.from_signals, ([[1.0]], None, None), "close", "numpy.ndarray", "list"),
    (solosim.from_signals, (None, None, None, 1.0, 0, [0.1], [1.0], [5.0], 3), "prices",
     "numpy.ndarray", "int"),
    (spreadsim.pair_from_signals, (None, (1,), None), "entries", "numpy.ndarray", "tuple"),
    (holdreturn.calc_holdreturn, (None, None, (1,)), "bars", "list", "tuple"),
    (holdreturn.calc_single_holdreturn, ([1.0], None, 3), "signal", "numpy.ndarray", "list"),
])
def test_argument_type_errors(f, args, param, expected, got):
    raises_exactly(TypeError, ARG_TYPE.format(param, expected, got), f, *args)


class TupleSubclass(tuple):
    pass


class ListSubclass(list):
    pass


@pytest.mark.parametrize("value, got", [([1.0], "list"), (TupleSubclass(), "TupleSubclass")])
def test_tuple_parameters_refuse_lists_and_subclasses(value, got):
    close = np.zeros((0, 1))
    raises_exactly(TypeError, ARG_TYPE.format("sl_callback_args", "tuple", got),
                   solosim.from_signals, close, close, close, sl_callback_args=value)


def test_list_parameter_refuses_subclass():
    raises_exactly(TypeError, ARG_TYPE.format("bars", "list", "ListSubclass"),
                   holdreturn.calc_holdreturn, np.zeros(3), np.zeros(3), ListSubclass([1]))


def test_ndarray_subclasses_pass_the_type_test():
    class Sub(np.ndarray):
        pass

    signals = np.array([0.0, 1.0, 0.0]).view(Sub)
    out = holdreturn.calc_holdreturn(signals, np.array([1.0, 2.0, 3.0]).view(Sub), [1])
    assert out["signal_indices"] == [1]


def test_conversions_come_before_type_tests():
    raises_exactly(TypeError, "an integer is required", solosim.from_signals,
                   [[1.0]], None, None, size_type="x")
    raises_exactly(TypeError, "an integer is required", holdreturn.calc_single_holdreturn,
                   [1.0], None, "3")


@pytest.mark.parametrize("array, text", [
    (np.zeros(3, np.float32), "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.zeros(3, bool), "Buffer dtype mismatch, expected 'double' but got 'bool'"),
    (np.zeros(3, np.int8), "Buffer dtype mismatch, expected 'double' but got 'signed char'"),
    (np.zeros(3, np.uint16), "Buffer dtype mismatch, expected 'double' but got 'unsigned short'"),
    (np.zeros(3, np.int64), "Buffer dtype mismatch, expected 'double' but got 'long'"),
    (np.zeros(3, np.complex128),
     "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    (np.zeros(3, object), "Buffer dtype mismatch, expected 'double' but got Python object"),
    (np.zeros(3, ">f8"), "Big-endian buffer not supported on little-endian compiler"),
    (np.zeros((3, 2)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.zeros(()), "Buffer has wrong number of dimensions (expected 1, got 0)"),
])
def test_typed_view_checks(array, text):
    raises_exactly(ValueError, text, holdreturn.calc_holdreturn, array, np.zeros(3), [1])
    raises_exactly(ValueError, text, holdreturn.calc_holdreturn, np.zeros(3), array, [1])


def test_typed_view_accepts_strided_reversed_and_read_only():
    base = np.array([0.0, 9.0, 1.0, 9.0, 0.0, 9.0])
    ro = base.copy()
    ro.flags.writeable = False
    for signals in (base[::2], base[4::-2], ro[::2]):
        out = holdreturn.calc_holdreturn(signals, np.ones(3), [1])
        assert len(out["signal_indices"]) == 1


def test_failing_call_adds_a_traceback_entry_named_after_the_function():
    with pytest.raises(TypeError) as info:
        solosim.calculate_size(1.0)
    assert info.traceback[-1].name == "quorra.accel.solosim.calculate_size"
    with pytest.raises(ZeroDivisionError) as info:
        spreadsim.calculate_size(100.0, 1.0, 1, 1000.0, 0.0, 5.0)
    assert info.traceback[-1].name == "quorra.accel.spreadsim.calculate_size"


def test_failing_calls_do_not_leak_references():
    obj = IntLike(1.5)
    before = sys.getrefcount(obj)
    for _ in range(100):
        with pytest.raises(TypeError):
            solosim.calculate_size(100.0, 1.0, obj, 0.0, 0.1, 5.0)
    assert sys.getrefcount(obj) == before


@pytest.mark.parametrize("f", [solosim.calculate_size, solosim.from_signals,
                               spreadsim.pair_from_signals, holdreturn.calc_holdreturn,
                               holdreturn.calc_single_holdreturn])
def test_signature_matches_the_defaults(f):
    sig = inspect.signature(f)
    params = list(sig.parameters.values())
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    defaults = tuple(p.default for p in params if p.default is not inspect.Parameter.empty)
    assert defaults == (f.__defaults__ or ())
    assert f.__kwdefaults__ is None


def test_functions_do_not_bind_as_methods():
    class Holder:
        size = solosim.calculate_size

    assert Holder().size is solosim.calculate_size
    assert Holder().size(*SIZE_ARGS) == 1.0
