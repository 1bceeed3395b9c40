"""What a study refuses before it runs, and what it protects: out-of-order
dates, nullable signals, misspelt settings, a read-only Backtest and the
close a sweep's strategy receives."""

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from quorra.accel import demo, study  # noqa: E402
from support import sample_close  # noqa: E402

N = 60


@pytest.fixture(scope="module")
def close():
    return sample_close(N)


def signals(close):
    """Crossover entries and exits as frames on close's labels."""
    e, x = demo.crossover_strategy(close, 3, 10)
    return (pd.DataFrame(e, index=close.index, columns=close.columns),
            pd.DataFrame(x, index=close.index, columns=close.columns))


def _reordered(index, how):
    stamps = list(index)
    if how == "decreasing":
        return pd.DatetimeIndex(stamps[::-1]), 1
    if how == "swapped":
        stamps[7], stamps[8] = stamps[8], stamps[7]
        return pd.DatetimeIndex(stamps), 8
    stamps[20] = stamps[19]  # a repeated label
    return pd.DatetimeIndex(stamps), 20


@pytest.mark.parametrize("how", ["decreasing", "swapped", "repeated"])
@pytest.mark.parametrize("kind", ["solo", "pair"])
def test_a_date_index_out_of_order_names_the_first_offending_position(close, how, kind):
    index, bad = _reordered(close.index, how)
    moved = close.set_axis(index)
    e, x = signals(moved)
    if kind == "solo":
        call = lambda: study.backtest(moved, e, x)  # noqa: E731
    else:
        call = lambda: study.pair_backtest(moved, e.iloc[:, 0], x.iloc[:, 0])  # noqa: E731
    with pytest.raises(ValueError, match=f"must be increasing: position {bad} "):
        call()


@pytest.mark.parametrize("dtype", ["Int8", "Int16", "Int64", "Float64"])
def test_nullable_signals_without_missing_values_read_as_numbers(close, dtype):
    e, x = signals(close)
    want = study.backtest(close, e, x).stats()
    got = study.backtest(close, e.astype(dtype), x.astype(dtype)).stats()
    assert got.equals(want)
    one = study.backtest(close.iloc[:, 0], e.iloc[:, 0].astype(dtype),
                         x.iloc[:, 0].astype(dtype)).stats()
    assert one.equals(study.backtest(close.iloc[:, 0], e.iloc[:, 0], x.iloc[:, 0]).stats())


def test_nullable_signals_with_missing_values_are_refused(close):
    e, x = signals(close)
    e = e.astype("Int8")
    e.iloc[4, 1] = pd.NA
    with pytest.raises(ValueError, match="entries has missing values"):
        study.backtest(close, e, x)


@pytest.mark.parametrize("call, text", [
    (lambda c, e, x: study.backtest(c, e, x, sl_stp=1.0), "'sl_stp' (did you mean 'sl_stop'?)"),
    (lambda c, e, x: study.backtest(c, e, x, comission=1.0, zzz=1),
     "settings of backtest: 'comission' (did you mean 'commission'?), 'zzz'"),
    (lambda c, e, x: study.pair_backtest(c, e.iloc[:, 0], x.iloc[:, 0], leg_size=2.0),
     "'leg_size' (did you mean 'leg_size_ratio'?)"),
    (lambda c, e, x: study.pair_backtest(c, e.iloc[:, 0], x.iloc[:, 0], sl_callback_addr=0),
     "'sl_callback_addr'"),
])
def test_a_misspelt_setting_names_itself_and_the_nearest_name(close, call, text):
    e, x = signals(close)
    with pytest.raises(ValueError, match="unknown setting") as info:
        call(close, e, x)
    assert text in str(info.value)


@pytest.mark.parametrize("pair", [False, True])
def test_a_sweep_refuses_a_misspelt_setting_before_any_configuration_runs(close, pair):
    ran = []

    def strategy(close, k):
        ran.append(k)
        return signals(close)

    with pytest.raises(ValueError, match=r"'sl_stp' \(did you mean 'sl_stop'\?\)"):
        study.sweep(strategy, {"k": [1, 2]}, close, settings={"sl_stp": 1.0}, workers=1,
                    pair=pair)
    with pytest.raises(ValueError, match="'sl_stp'"):
        study.walk_forward(strategy, {"k": [1]}, close, train=30, test=10,
                           settings={"sl_stp": 1.0}, workers=1, progress=False)
    assert ran == []


@pytest.mark.parametrize("name", ["kind", "record", "params", "index", "trades", "_close",
                                  "anything"])
def test_backtest_attributes_cannot_be_set_or_deleted(close, name):
    bt = study.backtest(close, *signals(close))
    with pytest.raises(AttributeError, match=f"read-only: cannot set '{name}'"):
        setattr(bt, name, None)
    with pytest.raises(AttributeError, match=f"read-only: cannot delete '{name}'"):
        delattr(bt, name)
    assert bt.trades is bt.trades and bt.params is None


def _write_into(close, how):
    if how == "iloc":
        close.iloc[0, 0] = -1.0
    elif how == "values":
        close.values[0, 0] = -1.0
    elif how == "numpy":
        close.to_numpy()[0] = -1.0
    elif how == "array":
        close[0] = -1.0


@pytest.mark.parametrize("form, how", [("frame", "iloc"), ("frame", "values"),
                                       ("series", "numpy"), ("array", "array")])
def test_a_strategy_that_writes_into_close_fails_at_once(close, form, how):
    given = {"frame": close, "series": close.iloc[:, 0],
             "array": close.to_numpy().copy()}[form]
    before = np.array(given, copy=True)

    def strategy(c, k):
        _write_into(c, how)
        return signals(close)

    table = study.sweep(strategy, {"k": [1, 2]}, given, workers=1)
    assert table["error"].str.contains("read-only").all()
    np.testing.assert_array_equal(np.asarray(given), before)


def test_a_column_a_strategy_replaces_is_not_seen_by_the_next_configuration(close):
    seen = []

    def strategy(c, k):
        seen.append(float(c.iloc[0, 0]))
        c[0] = 0.0  # a new column on this call's frame only
        return signals(close)

    study.sweep(strategy, {"k": [1, 2, 3]}, close, workers=1)
    assert seen == [float(close.iloc[0, 0])] * 3


def test_a_strategy_override_with_an_unknown_name_is_a_row_error(close):
    def strategy(c, k):
        return (*signals(close), {"sl_stp": 1.0})

    table = study.sweep(strategy, {"k": [1]}, close, workers=1)
    assert table.loc[0, "error"] == ("TypeError: the strategy's settings name no setting of "
                                     "a backtest: ['sl_stp']")
