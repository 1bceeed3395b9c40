"""Names the engine looks up in the module namespace at every use:
calculate_size, calculate_commission and np."""

import builtins

import numpy as np
import pytest

from quorra.accel import solosim

import solosim_model as model
from support import assert_same_arrays, same_bits
from test_solosim_model import scenario

PNL = 3


def one_trade():
    close = np.array([[100.0], [101.0], [110.0]])
    return close, np.array([[1.0], [0.0], [0.0]]), np.array([[0.0], [0.0], [-1.0]])


class TestSizingLookup:
    def test_replacement_runs_with_python_arguments(self, monkeypatch):
        seen = []

        def size(*args):
            seen.append(args)
            return 3

        monkeypatch.setattr(solosim, "calculate_size", size)
        got = solosim.from_signals(*one_trade(), size=2, size_type=7, margin_rate=[0.5])
        assert got[0][0, 2] == 3.0
        assert seen == [(100.0, 2.0, 7, 1000000.0, 0.5, 5.0)]
        assert [type(x) for x in seen[0]] == [float, float, int, float, float, float]

    def test_commission_replacement(self, monkeypatch):
        seen = []

        def commission(*args):
            seen.append(args)
            return np.float32(0.5)

        monkeypatch.setattr(solosim, "calculate_commission", commission)
        got = solosim.from_signals(*one_trade(), com_type=-4, commission=(2.5,))
        assert seen == [(100.0, 1.0, 5.0, 2.5, -4, 1.0), (110.0, 1.0, 5.0, 2.5, -4, 1.0)]
        assert [type(x) for x in seen[0]] == [float, float, float, float, int, float]
        assert got[0][2, PNL] == 10.0 * 5.0 - 0.5

    @pytest.mark.parametrize("name", ["calculate_size", "calculate_commission"])
    def test_deleted_name(self, monkeypatch, name):
        monkeypatch.delattr(solosim, name)
        with pytest.raises(NameError) as info:
            solosim.from_signals(*one_trade())
        assert str(info.value) == f"name '{name}' is not defined"
        # no entry signal, no lookup
        close, entries, exits = one_trade()
        solosim.from_signals(close, np.zeros_like(entries), exits)

    def test_builtins_are_the_fallback(self, monkeypatch):
        monkeypatch.delattr(solosim, "calculate_size")
        monkeypatch.setattr(builtins, "calculate_size", lambda *a: 4.0, raising=False)
        assert solosim.from_signals(*one_trade())[0][0, 2] == 4.0

    def test_looked_up_at_every_use(self, monkeypatch):
        calls = []

        def commission(*args):
            calls.append(args)
            monkeypatch.delattr(solosim, "calculate_commission")
            return 1.0

        monkeypatch.setattr(solosim, "calculate_commission", commission)
        with pytest.raises(NameError, match="calculate_commission"):
            solosim.from_signals(*one_trade())
        assert len(calls) == 1  # the entry; the close-out found the name gone

    @pytest.mark.parametrize("result, exc, text", [
        ("2", TypeError, "must be real number, not str"),
        (None, TypeError, "must be real number, not NoneType"),
        (2**1100, OverflowError, "int too large to convert to float"),
    ])
    def test_result_read_by_float_conversion(self, monkeypatch, result, exc, text):
        monkeypatch.setattr(solosim, "calculate_size", lambda *a: result)
        with pytest.raises(exc) as info:
            solosim.from_signals(*one_trade())
        assert str(info.value) == text

    def test_replacement_error_propagates(self, monkeypatch):
        def size(*args):
            raise KeyError("sizing")

        monkeypatch.setattr(solosim, "calculate_size", size)
        with pytest.raises(KeyError, match="sizing") as info:
            solosim.from_signals(*one_trade())
        assert info.traceback[-1].name == "size"

    def test_own_function_rebound(self, monkeypatch):
        own = solosim.calculate_size
        monkeypatch.setattr(solosim, "calculate_size", own)
        assert solosim.from_signals(*one_trade(), size=2.0)[0][0, 2] == 2.0

    def test_tiny_size_fails_the_money_stop(self, monkeypatch):
        monkeypatch.setattr(solosim, "calculate_size", lambda *a: 1e-200)
        with pytest.raises(ZeroDivisionError, match="^float division$") as info:
            solosim.from_signals(*one_trade(), volume_multiple=[1e-200], sl_stop=5, stop_mode=1)
        names = [entry.name for entry in info.traceback[-2:]]
        assert names == ["quorra.accel.solosim.from_signals",
                         "quorra.accel.solosim.calc_stop_distance"]

    @pytest.mark.parametrize("seed", range(0, 120, 7))
    def test_python_rules_give_native_results(self, monkeypatch, seed):
        close, entries, exits, kwargs = scenario(seed)
        native = solosim.from_signals(close, entries, exits, **kwargs)
        monkeypatch.setattr(solosim, "calculate_size", model.calculate_size)
        monkeypatch.setattr(solosim, "calculate_commission", model.calculate_commission)
        python = solosim.from_signals(close, entries, exits, **kwargs)
        assert_same_arrays(native, python)


class NumpyProxy:
    """numpy with every attribute read logged, and chosen replacements. A
    `zeros` replacement serves the (n, 6) histories; the empty callback
    blocks, np.zeros(0, dtype=np.float64), keep the real one."""

    def __init__(self, zeros=None, **replacements):
        self.log = []
        self.replacements = replacements
        if zeros is not None:
            self.replacements["zeros"] = lambda shape, dtype: (
                zeros(shape, dtype) if isinstance(shape, tuple) else np.zeros(shape, dtype))

    def __getattr__(self, name):
        self.log.append(name)
        return self.replacements.get(name, getattr(np, name))


class TestNumpyLookup:
    def test_np_looked_up_at_each_use(self, monkeypatch):
        proxy = NumpyProxy()
        monkeypatch.setattr(solosim, "np", proxy)
        close = np.full((2, 2), 100.0)
        solosim.from_signals(close, close * 0, close * 0, margin_rate=0.1, price_tick=1.0,
                             volume_multiple=5.0, commission=1, sl_callback_args=(1, [2, 3]))
        assert proxy.log == (["asarray", "float64", "atleast_1d"] * 2 + ["array", "float64"]
                             + ["zeros", "float64"] * 3)

    def test_deleted_np(self, monkeypatch):
        monkeypatch.delattr(solosim, "np")
        with pytest.raises(NameError, match="^name 'np' is not defined$"):
            solosim.from_signals(*one_trade())

    @pytest.mark.parametrize("make", [
        lambda shape, dtype: np.zeros(shape, dtype, order="F"),
        lambda shape, dtype: np.zeros((shape[0], 12), dtype)[:, ::2],
        lambda shape, dtype: np.zeros(shape, dtype).view(type("Sub", (np.ndarray,), {})),
        lambda shape, dtype: np.zeros(shape, ">f8"),
        lambda shape, dtype: np.zeros(shape, object),
        lambda shape, dtype: np.zeros((shape[0] + 2, 7), dtype),
    ], ids=["fortran", "strided", "subclass", "big-endian", "object", "larger"])
    def test_other_result_arrays_are_filled(self, monkeypatch, make):
        close, entries, exits, kwargs = scenario(11)
        want = solosim.from_signals(close, entries, exits, **kwargs)
        monkeypatch.setattr(solosim, "np", NumpyProxy(zeros=make))
        got = solosim.from_signals(close, entries, exits, **kwargs)
        for a, b in zip(got, want):
            assert same_bits(np.asarray(a, dtype=np.float64)[:b.shape[0], :6], b)

    def test_single_precision_results_round(self, monkeypatch):
        monkeypatch.setattr(solosim, "np", NumpyProxy(
            zeros=lambda shape, dtype: np.zeros(shape, np.float32)))
        got = solosim.from_signals(*one_trade(), init_cash=1000.1)
        assert got[0].dtype == np.float32 and got[0][0, 0] == np.float32(999.1000061035156)

    @pytest.mark.parametrize("zeros, exc, text", [
        (lambda shape, dtype: np.broadcast_to(np.zeros(6), shape), ValueError,
         "assignment destination is read-only"),
        (lambda shape, dtype: [[0.0] * 6], TypeError,
         "list indices must be integers or slices, not tuple"),
        (lambda shape, dtype: np.zeros((1, 6)), IndexError,
         "index 1 is out of bounds for axis 0 with size 1"),
    ])
    def test_unusable_result_arrays(self, monkeypatch, zeros, exc, text):
        monkeypatch.setattr(solosim, "np", NumpyProxy(zeros=zeros))
        with pytest.raises(exc) as info:
            solosim.from_signals(*one_trade())
        assert str(info.value) == text

    def test_empty_blocks_made_by_zeros(self, monkeypatch):
        monkeypatch.setattr(solosim, "np", NumpyProxy())
        monkeypatch.setitem(solosim.np.replacements, "zeros",
                            lambda shape, dtype: np.zeros(shape, np.float32))
        with pytest.raises(ValueError, match="Buffer dtype mismatch, expected 'double_t' but "
                                             "got 'float'"):
            solosim.from_signals(*one_trade())
