"""from_signals: binding, conversions, defaults, shape checks and the
per-contract settings lists."""

import inspect

import numpy as np
import pytest

from quorra.accel import solosim

from support import same_bits

DEFAULTS = (1.0, 0, [0.1], [1.0], [5.0], None, 1, 1000000.0, [1], 1, 0.0, 0.0, 0.0, 0, 0, 0, 0,
            (), (), 0)
PARAMS = ["close", "entries", "exits", "size", "size_type", "margin_rate", "price_tick",
          "volume_multiple", "prices", "min_start_length", "init_cash", "commission", "com_type",
          "slip_point", "sl_stop", "tp_stop", "stop_mode", "sl_trail", "sl_callback_addr",
          "tp_callback_addr", "sl_callback_args", "tp_callback_args", "max_hold_bars"]


def one_trade(n=4, m=1):
    """A long entry at bar 0 and an exit signal at bar 2 on every column."""
    close = np.tile(np.array([[100.0], [101.0], [110.0], [105.0]])[:n], (1, m))
    entries = np.zeros((n, m))
    entries[0] = 1.0
    exits = np.zeros((n, m))
    exits[min(2, n - 1)] = -1.0
    return close, entries, exits


SCALARS = dict(margin_rate=0.1, price_tick=1.0, volume_multiple=5.0, commission=1)


def message(info):
    return str(info.value)


class TestSignature:
    def test_defaults_exact_and_shared(self):
        first = solosim.from_signals.__defaults__
        assert first == DEFAULTS
        assert [type(x) for x in first] == [type(x) for x in DEFAULTS]
        assert solosim.from_signals.__kwdefaults__ is None
        second = solosim.from_signals.__defaults__
        for k in (2, 3, 4, 8):  # the list defaults are the same objects each time
            assert first[k] is second[k]
        assert first[8][0] == 1 and type(first[8][0]) is int

    def test_signature(self):
        sig = inspect.signature(solosim.from_signals)
        assert list(sig.parameters) == PARAMS
        for p in sig.parameters.values():
            assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        defaults = [p.default for p in sig.parameters.values()]
        assert defaults[:3] == [inspect.Parameter.empty] * 3
        assert tuple(defaults[3:]) == DEFAULTS

    def test_default_lists_never_change(self):
        before = [list(x) for x in solosim.from_signals.__defaults__ if type(x) is list]
        close, entries, exits = one_trade()
        solosim.from_signals(close, entries, exits)
        with pytest.raises(IndexError):  # two columns against the one-element defaults
            solosim.from_signals(*one_trade(m=2))
        after = [list(x) for x in solosim.from_signals.__defaults__ if type(x) is list]
        assert before == after == [[0.1], [1.0], [5.0], [1]]


class TestBindingErrors:
    @pytest.mark.parametrize("count, text", [
        (0, "from_signals() takes at least 3 positional arguments (0 given)"),
        (1, "from_signals() takes at least 3 positional arguments (1 given)"),
        (2, "from_signals() takes at least 3 positional arguments (2 given)"),
        (24, "from_signals() takes at most 23 positional arguments (24 given)"),
    ])
    def test_counts(self, count, text):
        close, entries, exits = one_trade()
        args = [close, entries, exits, *DEFAULTS, 0][:count]
        with pytest.raises(TypeError) as info:
            solosim.from_signals(*args)
        assert message(info) == text
        assert info.traceback[-1].name == "quorra.accel.solosim.from_signals"

    def test_missing_required_with_keywords(self):
        close, entries, exits = one_trade()
        with pytest.raises(TypeError) as info:
            solosim.from_signals(close, exits=exits)
        assert message(info) == "from_signals() takes at least 3 positional arguments (1 given)"

    @pytest.mark.parametrize("name, value, expected", [
        ("close", [[1.0]], "list"),
        ("entries", 1.0, "float"),
        ("exits", "x", "str"),
        ("prices", (1.0,), "tuple"),
    ])
    def test_array_types(self, name, value, expected):
        kwargs = dict(zip(("close", "entries", "exits"), one_trade()))
        kwargs[name] = value
        with pytest.raises(TypeError) as info:
            solosim.from_signals(**kwargs)
        assert message(info) == (f"Argument '{name}' has incorrect type "
                                 f"(expected numpy.ndarray, got {expected})")

    @pytest.mark.parametrize("name", ["sl_callback_args", "tp_callback_args"])
    @pytest.mark.parametrize("value, expected", [
        ([1.0], "list"),
        (type("Args", (tuple,), {})((1.0,)), "Args"),
        (np.array([1.0]), "numpy.ndarray"),
    ])
    def test_callback_args_must_be_tuples(self, name, value, expected):
        with pytest.raises(TypeError) as info:
            solosim.from_signals(*one_trade(), **{name: value})
        assert message(info) == (f"Argument '{name}' has incorrect type "
                                 f"(expected tuple, got {expected})")

    def test_ndarray_subclass_accepted(self):
        close, entries, exits = one_trade()
        sub = type("Sub", (np.ndarray,), {})
        got = solosim.from_signals(close.view(sub), entries.view(sub), exits.view(sub))
        want = solosim.from_signals(close, entries, exits)
        assert same_bits(got[0], want[0])

    @pytest.mark.parametrize("kwargs, exc, text", [
        # the first failing conversion wins, before the type tests
        (dict(size_type="x", close=[1.0]), TypeError, "an integer is required"),
        (dict(min_start_length=None, init_cash="x"), TypeError, "an integer is required"),
        (dict(init_cash=None, com_type="x"), TypeError, "must be real number, not NoneType"),
        (dict(sl_trail=2**31, close=None), OverflowError,
         "Python int too large to convert to C int"),
        (dict(sl_callback_addr=2**63), OverflowError, "Python int too large to convert to C long"),
        (dict(max_hold_bars=1.5, sl_callback_args=[1]), TypeError,
         "Argument 'sl_callback_args' has incorrect type (expected tuple, got list)"),
        (dict(exits=[0], prices=[0]), TypeError,
         "Argument 'exits' has incorrect type (expected numpy.ndarray, got list)"),
    ])
    def test_conversion_order(self, kwargs, exc, text):
        call = dict(zip(("close", "entries", "exits"), one_trade()))
        call.update(kwargs)
        with pytest.raises(exc) as info:
            solosim.from_signals(**call)
        assert message(info) == text


class TestClose:
    @pytest.mark.parametrize("close, exc, text", [
        (None, TypeError, "Argument 'close' must not be None"),
        (np.zeros(4), ValueError,
         "from_signals() argument 'close' must be two-dimensional, got 1 dimension(s)"),
        (np.zeros((2, 2, 2)), ValueError,
         "from_signals() argument 'close' must be two-dimensional, got 3 dimension(s)"),
        (np.array(1.0), ValueError,
         "from_signals() argument 'close' must be two-dimensional, got 0 dimension(s)"),
    ])
    def test_rejected_before_other_work(self, close, exc, text):
        # `size` would fail first if the settings lists were built.
        with pytest.raises(exc) as info:
            solosim.from_signals(close, None, None, size=object(), sl_callback_args=("x",))
        assert message(info) == text
        assert info.traceback[-1].name == "quorra.accel.solosim.from_signals"

    @pytest.mark.parametrize("shape, what", [((2**31, 1), "bars"), ((1, 2**31), "contracts")])
    def test_too_many_bars_or_contracts(self, shape, what):
        close = np.broadcast_to(np.zeros((1, 1)), shape)
        with pytest.raises(OverflowError) as info:
            solosim.from_signals(close, None, None, size=object())
        assert what in message(info)

    def test_largest_counts_pass_the_check(self):
        # 2**31 - 1 contracts are accepted by the check; the run then fails on
        # the object size, proving it got past the shape.
        close = np.broadcast_to(np.zeros((0, 1)), (0, 2**31 - 1))
        with pytest.raises(TypeError, match="'object' object is not iterable"):
            solosim.from_signals(close, None, None, size=object())

    def test_no_bars(self):
        got = solosim.from_signals(np.zeros((0, 3)), None, None, **SCALARS)
        assert len(got) == 3 and all(a.shape == (0, 6) and a.dtype == np.float64 for a in got)

    def test_no_contracts(self):
        assert solosim.from_signals(np.zeros((5, 0)), None, None) == []


class TestWarmup:
    @pytest.mark.parametrize("length", [-(2**31), -5, 0, 1])
    def test_no_warmup(self, length):
        close, entries, exits = one_trade()
        got = solosim.from_signals(close, entries, exits, min_start_length=length)
        want = solosim.from_signals(close, entries, exits)
        assert same_bits(got[0], want[0])
        assert got[0][0, 1] == 1.0

    @pytest.mark.parametrize("length", [5, 100, 2**31 - 1])
    def test_longer_than_run(self, length):
        got = solosim.from_signals(np.zeros((4, 2)), None, None, min_start_length=length,
                                   **SCALARS)
        for a in got:
            assert a.tolist() == [[1000000.0, 0.0, 0.0, 0.0, 0.0, 0.0]] * 4

    def test_warmup_reads_nothing(self):
        close = np.full((3, 1), 100.0)
        entries = np.ones((2, 1))  # too short, but only bar 2 reads it
        with pytest.raises(IndexError, match="index 2 is out of bounds for axis 0 with size 2"):
            solosim.from_signals(close, entries, None, min_start_length=3)
        got = solosim.from_signals(close, entries, None, min_start_length=4)
        assert got[0][:, 1].tolist() == [0.0, 0.0, 0.0]


class TestInputReads:
    def test_entries_none_fails_at_first_traded_bar(self):
        with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
            solosim.from_signals(np.ones((2, 1)), None, None)

    def test_exits_none_fails_only_in_position(self):
        close, entries, _ = one_trade()
        flat = np.zeros_like(entries)
        solosim.from_signals(close, flat, None)
        with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
            solosim.from_signals(close, entries, None)

    @pytest.mark.parametrize("settings", [dict(sl_stop=1), dict(tp_stop=1), dict(max_hold_bars=1)])
    def test_exits_not_read_when_another_exit_fires(self, settings):
        close = np.array([[100.0], [99.0 if "sl_stop" in settings else 101.0]])
        got = solosim.from_signals(close, np.array([[1.0], [0.0]]), None, **settings)
        assert got[0][:, 1].tolist() == [1.0, 0.0]

    # entries are read only while flat (bars 0 and 3), exits while held.
    @pytest.mark.parametrize("which, bar", [("entries", 3), ("exits", 1), ("prices", 1)])
    def test_short_input_fails_at_first_read_beyond(self, which, bar):
        close, entries, exits = one_trade()
        kwargs = dict(close=close, entries=entries, exits=exits, prices=close)
        kwargs[which] = kwargs[which][:1]
        with pytest.raises(IndexError) as info:
            solosim.from_signals(**kwargs)
        assert message(info) == f"index {bar} is out of bounds for axis 0 with size 1"

    @pytest.mark.parametrize("dtype", [np.float64, np.int8, object])
    def test_one_dimensional_input(self, dtype):
        close, entries, exits = one_trade()
        with pytest.raises(IndexError, match="too many indices for array"):
            solosim.from_signals(close, entries[:, 0].astype(dtype), exits)

    def test_narrow_input(self):
        close, entries, exits = one_trade(m=2)
        with pytest.raises(IndexError) as info:
            solosim.from_signals(close, entries[:, :1], exits, **SCALARS)
        assert message(info) == "index 1 is out of bounds for axis 1 with size 1"


class TestSettingLists:
    def test_scalars_apply_to_every_contract(self):
        got = solosim.from_signals(*one_trade(m=3), size=2, **SCALARS)
        assert [a[0, 2] for a in got] == [2.0, 2.0, 2.0]

    def test_missing_size_element(self):
        close, entries, exits = one_trade(m=3)
        with pytest.raises(IndexError) as info:
            solosim.from_signals(close, entries, exits, size=[1, 2], **SCALARS)
        assert message(info) == "list index out of range"
        entries[:, 2] = 0.0  # contract 2 never needs its size
        got = solosim.from_signals(close, entries, exits, size=[1, 2], **SCALARS)
        assert [a[0, 2] for a in got] == [1.0, 2.0, 0.0]

    @pytest.mark.parametrize("name", ["margin_rate", "price_tick", "volume_multiple",
                                      "commission"])
    def test_list_default_serves_one_contract(self, name):
        kwargs = dict(SCALARS)
        del kwargs[name]
        with pytest.raises(IndexError, match="list index out of range"):
            solosim.from_signals(*one_trade(m=2), **kwargs)

    @pytest.mark.parametrize("size, lots", [
        ((3, 4.0), [3.0, 4.0]),
        ([True, 2.9], [1.0, 2.0]),
        (np.array([5, 6]), [5.0, 6.0]),
        (iter([7, 8, 9]), [7.0, 8.0]),  # surplus ignored
        ((x for x in ("2.5", b"3")), [2.0, 3.0]),  # float() parses text
        ("34", [3.0, 4.0]),  # a str is iterated
        ({9: "a", 8: "b"}, [9.0, 8.0]),
        (2.7, [2.0, 2.0]),
        (np.float64(3.0), [3.0, 3.0]),  # a float subclass is a scalar
    ])
    def test_size_forms(self, size, lots):
        got = solosim.from_signals(*one_trade(m=2), size=size, **SCALARS)
        assert [a[0, 2] for a in got] == lots

    @pytest.mark.parametrize("size, exc, text", [
        (object(), TypeError, "'object' object is not iterable"),
        (["x"], ValueError, "could not convert string to float: 'x'"),
        ([None], TypeError, "float() argument must be a string or a real number, not 'NoneType'"),
        (np.int64(2), TypeError, "'numpy.int64' object is not iterable"),
    ])
    def test_size_errors(self, size, exc, text):
        with pytest.raises(exc) as info:
            solosim.from_signals(*one_trade(), size=size, **SCALARS)
        assert message(info) == text

    def test_list_order(self):
        # size is built first, commission last
        with pytest.raises(ValueError, match="'s'"):
            solosim.from_signals(*one_trade(), size=["s"], commission=["c"])
        with pytest.raises(ValueError, match="'p'"):
            solosim.from_signals(*one_trade(), margin_rate=[1], price_tick=["p"],
                                 volume_multiple=["v"])


class TestSinglePrecision:
    # rounded to single precision, infinite beyond it
    @pytest.mark.parametrize("cash, kept", [(123456789.0, 123456792.0), (1e39, np.inf)])
    def test_init_cash(self, cash, kept):
        got = solosim.from_signals(np.zeros((1, 1)), np.zeros((1, 1)), None, init_cash=cash)
        assert got[0][0, 0] == kept

    def test_slip_point_rounded(self):
        close, entries, exits = one_trade()
        got = solosim.from_signals(close, entries, exits, slip_point=0.1, com_type=3)
        slip = float(np.float32(0.1))
        assert got[0][2, 3] == ((110.0 - slip) - (100.0 + slip)) * 1.0 * 5.0
        assert slip != 0.1

    def test_tiny_stop_counts_as_unset(self):
        close, entries, exits = one_trade()
        got = solosim.from_signals(close, entries, exits, sl_stop=1e-50)
        want = solosim.from_signals(close, entries, exits)
        assert same_bits(got[0], want[0])
