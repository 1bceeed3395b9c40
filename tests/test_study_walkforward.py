"""study.walk_forward against the same folds run by hand with sweep and
backtest: the windows, the choice of parameters, the out-of-sample runs that
trade only on their test bars, the chained value, the trades and the
statistics; anchored windows, folds where nothing ranks, Dask, progress."""

import math
import sys
import types

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from quorra.accel import demo, sample, study  # noqa: E402
from quorra.accel.study import walkforward  # noqa: E402

N = 700
GRID = {"fast": [3, 5, 10], "slow": [20, 40]}
SETTINGS = dict(volume_multiple=10.0, commission=2.0, init_cash=500_000.0)


@pytest.fixture(scope="module")
def close():
    return pd.DataFrame(sample.sample_bars(N), index=pd.bdate_range("2019-01-01", periods=N))


def crossover(close, fast, slow):
    return demo.crossover_strategy(close, fast, slow)


def walk_forward(close, strategy=crossover, train=200, test=100, **options):
    """study.walk_forward of GRID with no progress bar, on one worker unless told."""
    options = dict(dict(workers=1, progress=False), **options)
    return study.walk_forward(strategy, GRID, close, train=train, test=test, **options)


def by_hand(close, train, test, step=None, anchored=False, metric="Sharpe Ratio",
            grid=GRID, settings=SETTINGS):
    """Each fold: sweep the training bars, take the first row with the largest
    metric, backtest it on training + test bars trading from the test start."""
    step = test if step is None else step
    out, start = [], train
    while start + test <= len(close):
        first = 0 if anchored else start - train
        table = study.sweep(crossover, grid, close.iloc[first:start], settings=settings,
                            workers=1, progress=False)
        scores = pd.to_numeric(table[metric], errors="coerce")
        ok = scores.dropna()
        params = None
        if len(ok):
            pos = ok.index[ok.to_numpy().argmax()]  # argmax: first of the largest
            params = table.loc[pos, list(grid)].to_dict()
        run = None
        if params is not None:
            span = close.iloc[first:start + test]
            run = study.backtest(span, *crossover(span, **params), **settings,
                                 min_start_length=start - first + 1)
        out.append((first, start, start + test - 1, params, scores.max(), run))
        start += step
    return out


def chained(folds, cash):
    value, before = [], cash
    for first, start, end, _, _, run in folds:
        v = (np.full(end - start + 1, cash) if run is None
             else run.value.to_numpy()[start - first:])
        value.extend(x * before / cash for x in v)
        before = value[-1]
    return np.array(value)


@pytest.mark.parametrize("train, test, step, anchored", [
    (200, 100, None, False), (150, 120, 130, False), (200, 100, None, True), (300, 40, 60, True)])
def test_the_folds_are_the_ones_run_by_hand(close, train, test, step, anchored):
    wf = walk_forward(close, train=train, test=test, step=step, anchored=anchored,
                      settings=SETTINGS, workers=2)
    hand = by_hand(close, train, test, step, anchored)
    f = wf.folds
    assert list(f.columns) == ["fold", "train_start", "train_end", "test_start", "test_end",
                               "fast", "slow", "In-Sample Sharpe Ratio",
                               "Out-of-Sample Sharpe Ratio", "Out-of-Sample Total Return [%]"]
    assert f["fold"].tolist() == list(range(len(hand)))
    labels = close.index
    for k, (first, start, end, params, insample, run) in enumerate(hand):
        row = f.iloc[k]
        assert (row["train_start"], row["train_end"]) == (labels[first], labels[start - 1])
        assert (row["test_start"], row["test_end"]) == (labels[start], labels[end])
        assert row[["fast", "slow"]].to_dict() == params
        assert row["In-Sample Sharpe Ratio"] == insample
        test_value = run.value.iloc[start - first:]
        assert row["Out-of-Sample Total Return [%]"] == pytest.approx(
            (test_value.iloc[-1] / test_value.iloc[0] - 1) * 100, rel=1e-12, abs=1e-12)
        r = test_value.pct_change().dropna()
        assert row["Out-of-Sample Sharpe Ratio"] == pytest.approx(
            r.mean() / r.std() * math.sqrt(wf_periods(test_value.index)), rel=1e-9)
        # nothing trades on the training bars
        assert (run.trades["entry_bar"] >= start - first).all()
        np.testing.assert_array_equal(run.value.iloc[:start - first], SETTINGS["init_cash"])
    want = chained(hand, SETTINGS["init_cash"])
    np.testing.assert_allclose(wf.value.to_numpy(), want, rtol=1e-13)
    assert wf.value.index.equals(labels[np.concatenate(
        [np.arange(start, end + 1) for _, start, end, *_ in hand])])


def wf_periods(index):
    return (len(index) - 1) / ((index[-1] - index[0]) / pd.Timedelta(days=365.25))


@pytest.mark.parametrize("as_array", [False, True])
def test_numbered_bars_and_arrays_choose_the_grids_own_values(close, as_array):
    numbered = close.reset_index(drop=True)
    given = numbered.to_numpy() if as_array else numbered
    wf = walk_forward(given, settings=SETTINGS, workers=2)
    hand = by_hand(numbered, 200, 100)
    assert "error" not in wf.folds.columns and all(run is not None for run in wf.runs)
    assert (wf.folds[list(GRID)].dtypes == np.int64).all()
    for k, ((_, _, _, params, _, run), ours) in enumerate(zip(hand, wf.runs)):
        assert {name: wf.folds.loc[k, name] for name in GRID} == params
        np.testing.assert_array_equal(ours.value.to_numpy(), run.value.to_numpy())
    np.testing.assert_allclose(wf.value.to_numpy(), chained(hand, SETTINGS["init_cash"]),
                               rtol=1e-13)
    assert len(wf.trades) > 10


@pytest.fixture(scope="module")
def wf(close):
    """The walk-forward of 200 training and 100 test bars with SETTINGS."""
    return walk_forward(close, settings=SETTINGS, workers=2)


def test_the_trades_are_every_folds_counted_from_the_first_bar(close, wf):
    hand = by_hand(close, 200, 100)
    frames = []
    for k, (first, start, end, _, _, run) in enumerate(hand):
        t = run.trades.copy()
        t["entry_bar"] += first
        t["exit_bar"] = np.where(t["exit_bar"] >= 0, t["exit_bar"] + first, -1)
        t.insert(0, "fold", k)
        frames.append(t)
    want = pd.concat(frames, ignore_index=True)
    pd.testing.assert_frame_equal(wf.trades, want, check_dtype=False)
    assert list(wf.trades.columns)[:2] == ["fold", "contract"]
    for (first, start, end, *_), (_, t) in zip(hand, wf.trades.groupby("fold")):
        assert t["entry_bar"].between(start, end).all()
        assert ((t["exit_bar"] == -1) | t["exit_bar"].between(start, end)).all()


def test_the_statistics_are_those_of_the_chained_value_and_trades(close, wf):
    got, v = wf.stats(), wf.value
    r = v.pct_change().dropna()
    closed = wf.trades[wf.trades["exit_bar"] >= 0]
    net = closed["pnl"] - closed["entry_fee"]
    P = wf_periods(v.index)
    assert got["Start"] == v.index[0] and got["End Value"] == v.iloc[-1]
    assert got["Total Return [%]"] == pytest.approx((v.iloc[-1] / v.iloc[0] - 1) * 100)
    assert got["Sharpe Ratio"] == pytest.approx(r.mean() / r.std() * math.sqrt(P), rel=1e-9)
    assert got["CAGR [%]"] == pytest.approx(
        ((v.iloc[-1] / v.iloc[0]) ** (P / (len(v) - 1)) - 1) * 100, rel=1e-9)
    assert got["Total Trades"] == len(wf.trades) and got["Closed Trades"] == len(closed)
    assert got["Expectancy"] == pytest.approx(net.mean())
    assert got["Win Rate [%]"] == pytest.approx((net > 0).mean() * 100)
    assert got["Total Fees"] == pytest.approx(sum(run.total_fee for run in wf.runs))
    assert got["Open Trade PnL"] == pytest.approx(v.iloc[-1] - wf.equity.iloc[-1])
    assert got["Buy & Hold Return [%]"] == pytest.approx(
        ((close.loc[v.index[-1]] / close.loc[v.index[0]] - 1).mean()) * 100)
    # a position open at a fold's end is held up to that end only
    held = np.zeros(len(v), dtype=bool)
    position = {label: k for k, label in enumerate(v.index)}
    for _, t in wf.trades.iterrows():
        a = position[t["entry_time"]]
        fold_end = position[wf.folds.loc[t["fold"], "test_end"]]
        b = position[t["exit_time"]] if t["exit_bar"] >= 0 else fold_end + 1
        held[a:b] = True
    assert got["Exposure [%]"] == pytest.approx(held.mean() * 100)
    assert wf.stats(periods_per_year=12)["Sharpe Ratio"] == pytest.approx(
        r.mean() / r.std() * math.sqrt(12), rel=1e-9)


def test_a_fold_where_nothing_ranks_has_nan_parameters_and_stays_flat(close):
    def silent_first(close_, fast, slow):
        e, x = crossover(close_, fast, slow)
        if close_.index[0] == close.index[0] and len(close_) == 200:
            return np.zeros_like(e), np.zeros_like(x)
        return e, x

    wf = walk_forward(close, silent_first)
    first = wf.folds.iloc[0]
    assert math.isnan(first["fast"]) and math.isnan(first["In-Sample Sharpe Ratio"])
    assert wf.runs[0] is None and (wf.trades["fold"] != 0).all()
    np.testing.assert_array_equal(wf.value.iloc[:100], 1e6)
    assert not math.isnan(wf.folds.iloc[1]["fast"])


@pytest.mark.parametrize("kwargs, text", [
    ({"train": 1, "test": 10}, "train must be an integer >= 2"),
    ({"train": 2.5, "test": 10}, "train must be an integer >= 2"),
    ({"train": 100, "test": 0}, "test must be an integer >= 1"),
    ({"train": 100, "test": True}, "test must be an integer >= 1"),
    ({"train": 100, "test": 50, "step": 20}, "step must be an integer >= test"),
    ({"train": 600, "test": 101}, r"no fold fits: 700 bars cannot hold train \(600\) \+ test "
                                  r"\(101\)"),
    ({"train": 100, "test": 50, "metric": "sharpe"}, r"metric must be a stats\(\) entry.*CAGR"),
    ({"train": 100, "test": 50, "prices": np.ones((5, 2))}, "prices has 5 bars; close has 700"),
])
def test_bad_windows_and_metrics_are_refused(close, kwargs, text):
    with pytest.raises(ValueError, match=text):
        study.walk_forward(crossover, GRID, close, **kwargs)


def test_the_folds_plan():
    plan = walkforward.folds(10, 4, 2)
    assert [(f.train_start, f.train_end, f.test_start, f.test_end) for f in plan] == [
        (0, 3, 4, 5), (2, 5, 6, 7), (4, 7, 8, 9)]
    anchored = walkforward.folds(10, 4, 3, step=3, anchored=True)
    assert [(f.train_start, f.train_end, f.test_start, f.test_end) for f in anchored] == [
        (0, 3, 4, 6), (0, 6, 7, 9)]


def test_dask_threads_and_one_worker_agree(close, dask_client):
    runs = [walk_forward(close, train=250, test=150, metric="SQN", settings=SETTINGS, **how)
            for how in ({"workers": 1}, {"workers": 2}, {"workers": None, "client": dask_client})]
    for other in runs[1:]:
        pd.testing.assert_frame_equal(runs[0].folds, other.folds)
        pd.testing.assert_series_equal(runs[0].value, other.value)
        pd.testing.assert_frame_equal(runs[0].trades, other.trades)


def test_a_constraint_and_a_metric_of_any_entry(close):
    seen = set()

    def counted(close_, fast, slow):
        seen.add((fast, slow))
        return crossover(close_, fast, slow)

    wf = walk_forward(close, counted, metric="Win Rate [%]",
                      constraint=lambda p: p["slow"] == 40)
    assert seen == {(3, 40), (5, 40), (10, 40)} and (wf.folds["slow"] == 40).all()
    assert "In-Sample Win Rate [%]" in wf.folds.columns


def test_progress_counts_configurations_over_all_folds(close, capsys):
    walk_forward(close, progress="always")
    err = capsys.readouterr().err
    assert "30/30" in err  # 6 configurations x 5 folds


def test_pairs_walk_forward(close):
    def spread(close_, window):
        z = close_.iloc[:, 0] / close_.iloc[:, 1]
        mean = z.rolling(window, min_periods=1).mean()
        return ((z < mean).astype(float) - (z > mean).astype(float),
                pd.Series(0.0, index=close_.index))

    wf = study.walk_forward(spread, {"window": [5, 20]}, close, train=300, test=200, pair=True,
                            workers=1, progress=False)
    assert {r.kind for r in wf.runs} == {"pair"} and "leg" in wf.trades.columns
    assert math.isnan(wf.stats()["Buy & Hold Return [%]"])


def test_plot_and_report(close, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    wf = walk_forward(close, train=300, test=200)
    fig = wf.plot(tmp_path / "wf.png")
    assert (tmp_path / "wf.png").read_bytes()[:4] == b"\x89PNG" and fig.axes
    fake = types.ModuleType("quorra.accel.study.html_report")
    fake.write_walk_forward = lambda result, path: (result, path)
    monkeypatch.setitem(sys.modules, "quorra.accel.study.html_report", fake)
    assert wf.report("x.html") == (wf, "x.html")


def test_a_failing_out_of_sample_run_is_reported_in_its_row(close):
    def fails_on_long_windows(close_, fast, slow):
        if len(close_) > 250 and close_.index[0] == close.index[100]:
            raise ValueError("no history here")
        return crossover(close_, fast, slow)

    wf = walk_forward(close, fails_on_long_windows, workers=2)
    errors = wf.folds["error"].tolist()
    assert errors[1] == "ValueError: no history here"
    assert all(pd.isna(e) for k, e in enumerate(errors) if k != 1)
    assert wf.runs[1] is None and (wf.trades["fold"] != 1).all()
    end_of_first = wf.value.iloc[99]
    np.testing.assert_array_equal(wf.value.iloc[100:200], end_of_first)  # flat


def test_a_metric_that_is_a_duration_keeps_its_values(close):
    wf = walk_forward(close, metric="Max Drawdown Duration")
    for (first, start, end, params, _, run), (_, row) in zip(
            by_hand(close, 200, 100, metric="Max Drawdown Duration", settings={}),
            wf.folds.iterrows()):
        assert isinstance(row["In-Sample Max Drawdown Duration"], pd.Timedelta)
        assert {k: row[k] for k in GRID} == params
        assert row["Out-of-Sample Max Drawdown Duration"] == pd.Series(
            run.value.iloc[start - first:]).pipe(longest_under_water)


def longest_under_water(v):
    peak, since, longest = -math.inf, None, pd.Timedelta(0)
    for label, x in v.items():
        if x >= peak:
            peak, since = x, label
        else:
            longest = max(longest, label - since)
    return longest


CALLS = []  # module state, not a closure value: the store's fingerprint reads those


def counted(close, fast, slow):
    CALLS.append(len(close))
    return crossover(close, fast, slow)


def test_a_stored_walk_forward_runs_again_only_its_out_of_sample_runs(close, tmp_path):
    calls = CALLS
    calls.clear()
    store = tmp_path / "walk.db"
    terms = dict(train=300, test=100, settings=SETTINGS, workers=2, progress=False)
    first = study.walk_forward(counted, GRID, close, store=store, **terms)
    folds = len(first.folds)
    assert len(calls) == folds * (len(GRID["fast"]) * len(GRID["slow"]) + 1)
    calls.clear()
    again = study.walk_forward(counted, GRID, close, store=store, **terms)
    assert len(calls) == folds  # every training row read back from the store
    pd.testing.assert_frame_equal(again.folds, first.folds)
    pd.testing.assert_series_equal(again.value, first.value)
    assert len(study.load(store)) == folds  # one study per fold's training bars
