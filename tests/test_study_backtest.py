"""study.backtest and study.pair_backtest: pandas and NumPy in, labels kept
and checked (never aligned), boolean signals, trades against the ledger's
own records, stop callbacks as objects, copies, pickling and the figure."""

import copy
import ctypes
import gc
import math
import pickle
import weakref

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from quorra.accel import ledger, study  # noqa: E402
from support import random_walk  # noqa: E402

N, M = 40, 3


def random_signals(n=N, m=M, seed=8, rate=0.15):
    rng = np.random.default_rng(seed)
    entries = np.where(rng.random((n, m)) < rate, rng.choice([-1.0, 1.0], (n, m)), 0.0)
    exits = np.where(rng.random((n, m)) < rate, rng.choice([-1.0, 1.0], (n, m)), 0.0)
    return entries, exits


@pytest.fixture
def frame():
    index = pd.date_range("2023-05-01", periods=N, freq="D", name="day")
    return pd.DataFrame(random_walk(N, M, seed=7, step=2.0), index=index,
                        columns=["cu", "al", "zn"])


def like(frame, values):
    return pd.DataFrame(values, index=frame.index, columns=frame.columns)


# ---- inputs --------------------------------------------------------------

def test_labels_come_out_on_every_result(frame):
    e, x = random_signals()
    bt = study.backtest(frame, like(frame, e), like(frame, x))
    for s in (bt.equity, bt.value, bt.drawdown):
        assert s.index.equals(frame.index) and s.index.name == "day"
    assert set(bt.trades["contract"]) <= {"cu", "al", "zn"}
    t = bt.trades
    assert (t["entry_time"] == frame.index[t["entry_bar"]]).all()
    closed = t["exit_bar"] >= 0
    assert (t.loc[closed, "exit_time"] == frame.index[t.loc[closed, "exit_bar"]]).all()
    assert t.loc[~closed, "exit_time"].isna().all()
    assert t["exit_time"].dtype.kind == "M"  # NaT while open on a DatetimeIndex
    assert bt.stats()["Start"] == frame.index[0]


def test_arrays_and_frames_give_the_same_run(frame):
    e, x = random_signals()
    a = study.backtest(frame.to_numpy(), e, x)
    b = study.backtest(frame, like(frame, e), like(frame, x))
    c = study.backtest(frame, e, x)  # arrays of close's shape are fine with a frame
    assert a.index.equals(pd.RangeIndex(N)) and list(a.columns) == [0, 1, 2]
    for other in (b, c):
        assert a.value.to_numpy().tobytes() == other.value.to_numpy().tobytes()
        assert a.record["trades"].tobytes() == other.record["trades"].tobytes()
    assert set(a.trades["contract"]) <= {0, 1, 2}


LABEL_CHANGES = {
    "shuffled index": lambda f: f.iloc[::-1],
    "other dates": lambda f: f.set_axis(f.index + pd.Timedelta(days=1)),
    "shorter": lambda f: f.iloc[:-1],
    "column order": lambda f: f[["al", "cu", "zn"]],
    "column names": lambda f: f.set_axis(["cu", "al", "sn"], axis=1),
}


@pytest.mark.parametrize("change", list(LABEL_CHANGES))
@pytest.mark.parametrize("which", ["entries", "exits", "prices"])
def test_mismatched_labels_are_refused_not_aligned(frame, change, which):
    e, x = random_signals()
    other = LABEL_CHANGES[change](like(frame, np.zeros((N, M))))
    inputs = {"entries": like(frame, e), "exits": like(frame, x)}
    inputs[which] = other + 100.0 if which == "prices" else other
    with pytest.raises(ValueError, match=f"{which}'s (index|columns) differs from close's"):
        study.backtest(frame, **inputs)


def test_series_inputs_and_their_checks(frame):
    close = frame["cu"]
    e, x = random_signals(m=1)
    bt = study.backtest(close, pd.Series(e[:, 0], index=close.index), x[:, 0])
    assert set(bt.trades["contract"]) <= {"cu"} and bt.value.index.equals(close.index)
    unnamed = study.backtest(close.to_numpy(), e[:, 0], x[:, 0])
    assert set(unnamed.trades["contract"]) <= {0}
    assert unnamed.record["trades"].tobytes() == bt.record["trades"].tobytes()
    with pytest.raises(ValueError, match="entries's index differs"):
        study.backtest(close, pd.Series(e[:, 0]), x[:, 0])
    with pytest.raises(ValueError, match="Series or a 1-D array"):
        study.backtest(close, like(frame, np.zeros((N, M))), x[:, 0])
    with pytest.raises(ValueError, match="shape"):
        study.backtest(frame, e, x)  # (N, 1) signals for (N, 3) close


def test_per_contract_series_settings_must_match_the_columns(frame):
    e, x = random_signals()
    vm = pd.Series([10.0, 5.0, 2.0], index=frame.columns)
    bt = study.backtest(frame, e, x, volume_multiple=vm)
    ref = study.backtest(frame, e, x, volume_multiple=[10.0, 5.0, 2.0])
    assert bt.record["trades"].tobytes() == ref.record["trades"].tobytes()
    with pytest.raises(ValueError, match="volume_multiple's index differs"):
        study.backtest(frame, e, x, volume_multiple=vm.iloc[::-1])


def test_non_numeric_close_and_bad_direction_are_refused(frame):
    e, x = random_signals()
    with pytest.raises(TypeError, match="close column 'al'"):
        study.backtest(frame.assign(al="x"), e, x)
    with pytest.raises(ValueError, match="direction must be 'long' or 'short'"):
        study.backtest(frame, e, x, direction="both")


@pytest.mark.parametrize("direction, entry, exit_value", [("long", 1, -1), ("short", -1, 1)])
def test_boolean_signals_enter_and_exit_the_chosen_direction(frame, direction, entry, exit_value):
    enter = like(frame, False)
    leave = like(frame, False)
    enter.iloc[2] = True
    leave.iloc[6] = True
    bt = study.backtest(frame, enter, leave, direction=direction)
    want = ledger.solo(frame.to_numpy(), np.where(enter, entry, 0), np.where(leave, exit_value, 0))
    assert bt.record["trades"].tobytes() == want["trades"].tobytes()
    t = bt.trades
    assert list(t["direction"]) == [direction] * M
    assert list(t["exit_reason"]) == ["signal"] * M and list(t["exit_bar"]) == [6] * M


def test_numeric_signals_pass_through_whatever_the_direction(frame):
    e, x = random_signals()
    a = study.backtest(frame, e, x, direction="short")
    assert a.record["trades"].tobytes() == ledger.solo(frame.to_numpy(), e, x)["trades"].tobytes()


def test_pair_inputs(frame):
    close = frame[["cu", "al"]]
    e = pd.Series(0.0, index=close.index)
    x = pd.Series(0.0, index=close.index)
    e.iloc[3], x.iloc[9] = 1.0, -1.0
    bt = study.pair_backtest(close, e, x)
    assert list(bt.trades["leg"]) == ["A", "B"] and "contract" not in bt.trades
    assert list(bt.trades["direction"]) == ["long", "short"]
    assert bt.value.index.equals(close.index)
    short = study.pair_backtest(close, e != 0, x != 0, direction="short")
    assert list(short.trades["direction"]) == ["short", "long"]
    assert list(short.trades["exit_bar"]) == [9, 9]
    with pytest.raises(ValueError, match="entries's index differs"):
        study.pair_backtest(close, e.iloc[::-1], x)
    with pytest.raises(ValueError, match="two columns"):
        study.pair_backtest(frame, e, x)
    with pytest.raises(ValueError, match="Series or a 1-D array"):
        study.pair_backtest(close, like(close, 0.0), x)


# ---- trades against the ledger's records ----------------------------------

SETTINGS = dict(volume_multiple=[5.0, 10.0, 2.0], commission=[1.0, 2.0, 0.5], sl_stop=5.0,
                tp_stop=6.0, max_hold_bars=8, slip_point=0.5)


def test_trades_are_the_ledger_records_with_labels(frame):
    e, x = random_signals(seed=11, rate=0.25)  # every exit reason and open trades
    bt = study.backtest(frame, e, x, **SETTINGS)
    rec = ledger.solo(frame.to_numpy(), e, x, **SETTINGS)
    t, r = bt.trades, rec["trades"]
    assert list(t.columns) == ["contract", "entry_time", "exit_time", "entry_bar", "exit_bar",
                               "direction", "lots", "entry_price", "exit_price", "entry_fee",
                               "exit_fee", "pnl", "net_pnl", "return", "bars_held",
                               "exit_reason"]
    assert len(t) == len(r) > 5
    assert list(t["contract"]) == [frame.columns[c] for c in r["contract"]]
    for name in ("entry_bar", "exit_bar", "lots", "entry_price", "exit_price", "entry_fee",
                 "exit_fee", "pnl"):
        assert np.array_equal(t[name].to_numpy(), r[name], equal_nan=True), name
    assert list(t["direction"]) == ["long" if d == 1 else "short" for d in r["direction"]]
    assert list(t["exit_reason"]) == [ledger.EXIT_REASONS[k] for k in r["exit_reason"]]
    assert {"open", "stop_loss", "take_profit", "max_hold", "signal"} == set(t["exit_reason"])
    vm = np.array(SETTINGS["volume_multiple"])[r["contract"]]
    net = r["pnl"] - r["entry_fee"]
    assert np.array_equal(t["net_pnl"].to_numpy(), net, equal_nan=True)
    want = net / (r["entry_price"] * r["lots"] * vm)
    assert np.array_equal(t["return"].to_numpy(), want, equal_nan=True)
    held = np.where(r["exit_bar"] >= 0, r["exit_bar"] - r["entry_bar"], N - 1 - r["entry_bar"])
    assert t["bars_held"].tolist() == held.tolist()
    assert bt.equity.to_numpy().tobytes() == rec["equity"].tobytes()
    assert bt.value.to_numpy().tobytes() == rec["value"].tobytes()
    assert bt.total_fee == rec["total_fee"]
    assert bt.stats()["Total Fees"] == rec["total_fee"]


def test_open_trades_on_numbered_bars_have_no_exit_time():
    close = np.array([[100.0], [101.0], [102.0]])
    bt = study.backtest(close, np.array([[0.0], [1.0], [0.0]]), np.zeros((3, 1)))
    t = bt.trades
    assert t["exit_time"].tolist() == [None] and t["exit_bar"].tolist() == [-1]
    assert math.isnan(t["pnl"][0]) and math.isnan(t["return"][0])
    assert t["exit_reason"].tolist() == ["open"] and t["bars_held"].tolist() == [1]


def test_histories_only_when_asked(frame):
    e, x = random_signals()
    assert study.backtest(frame, e, x).histories is None
    h = study.backtest(frame, e, x, histories=True).histories
    assert len(h) == M and all(a.shape == (N, 6) for a in h)


# ---- stop callbacks ---------------------------------------------------------

def fixed_stop(bar, direction, entry, price, ref, distance, tick, multiple, size, args, n):
    return args[0] * tick if n > 0 else 0.0


def stop_trades(frame, **kw):
    e, x = random_signals()
    return study.backtest(frame, e, x, **kw).record["trades"]


def test_ctypes_callbacks_and_addresses_match_a_plain_stop(frame, c_stops):
    want = stop_trades(frame, sl_stop=3.0)
    cb = study.STOP_CALLBACK(fixed_stop)
    address = ctypes.cast(cb, ctypes.c_void_p).value
    for given in (cb, address, c_stops.fixed_stop):
        got = stop_trades(frame, sl_callback=given, sl_callback_args=(3.0,))
        assert got.tobytes() == want.tobytes()
    assert (want["exit_reason"] == 1).any()  # the stop did trigger


def test_the_backtest_keeps_an_inline_callback_alive(frame):
    e, x = random_signals()
    cb = study.STOP_CALLBACK(fixed_stop)
    ref = weakref.ref(cb)
    bt = study.backtest(frame, e, x, tp_callback=cb, tp_stop=5.0, tp_callback_args=(2.0,))
    del cb
    gc.collect()
    assert ref() is not None
    assert pickle.loads(pickle.dumps(bt)).record["trades"].tobytes() == \
        bt.record["trades"].tobytes()  # the callback is not pickled
    del bt
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("given, error, text", [
    (True, TypeError, "not bool"),
    (-5, ValueError, "must not be negative"),
    ("0x10", TypeError, "not str"),
    (ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int)(lambda a: 0), TypeError, "wrong prototype"),
])
def test_callbacks_that_cannot_be_stop_callbacks_are_refused(frame, given, error, text):
    with pytest.raises(error, match=text):
        stop_trades(frame, sl_callback=given)


def test_a_callback_object_and_its_address_setting_together_are_refused(frame):
    cb = study.STOP_CALLBACK(fixed_stop)
    with pytest.raises(ValueError, match="not both"):
        stop_trades(frame, sl_callback=cb, sl_callback_addr=ctypes.cast(cb, ctypes.c_void_p).value)


def test_a_numba_cfunc_is_a_stop_callback(frame):
    numba = pytest.importorskip("numba")

    @numba.cfunc(study.STOP_SIGNATURE)
    def stop(bar, direction, entry, price, ref, distance, tick, multiple, size, args, n):
        return args[0] * tick if n > 0 else 0.0

    want = stop_trades(frame, sl_stop=3.0)
    got = stop_trades(frame, sl_callback=stop, sl_callback_args=(3.0,))
    assert got.tobytes() == want.tobytes()
    assert stop_trades(frame, sl_callback=stop.address, sl_callback_args=(3.0,)).tobytes() == \
        want.tobytes()


# ---- copies, pickling, the figure -----------------------------------------------

def test_copies_are_the_object_and_pickles_keep_everything(frame):
    e, x = random_signals()
    bt = study.backtest(frame, e, x)
    assert copy.copy(bt) is bt and copy.deepcopy(bt) is bt
    bt.trades  # computed once, not pickled
    back = pickle.loads(pickle.dumps(bt))
    pd.testing.assert_frame_equal(back.trades, bt.trades)
    pd.testing.assert_series_equal(back.stats(), bt.stats())
    pd.testing.assert_frame_equal(back.close, frame)


def test_plot_returns_a_figure_and_saves_a_png(frame, tmp_path):
    pytest.importorskip("matplotlib")
    e, x = random_signals()
    bt = study.backtest(frame, e, x, sl_stop=3.0, tp_stop=4.0)
    path = tmp_path / "bt.png"
    fig = bt.plot(path=path, contract="al")
    assert type(fig).__name__ == "Figure" and len(fig.axes) == 3
    assert "al" in fig.axes[2].get_title()
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with pytest.raises(ValueError, match="no contract labelled"):
        bt.plot(contract="sn")
    pair = study.pair_backtest(frame[["cu", "al"]], e[:, 0], x[:, 0])
    assert "leg B" in pair.plot(contract="B").axes[2].get_title()
