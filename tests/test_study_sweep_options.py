"""study.sweep's choices: ranking the kept runs by any entry or a function,
a constraint that leaves configurations out before they run, pair
strategies, and parameter names that would collide with the table's."""

import math

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from quorra.accel import demo, study  # noqa: E402
from quorra.accel.study import sweeps  # noqa: E402
from support import sample_close  # noqa: E402

N = 150
GRID = {"fast": [2, 3, 5, 8], "slow": [10, 20, 40]}


@pytest.fixture(scope="module")
def close():
    return sample_close(N, "2022-01-03", freq="B")


def crossover(close, fast, slow):
    return demo.crossover_strategy(close, fast, slow)


def spread(close, window):
    z = close.iloc[:, 0] - close.iloc[:, 1]
    mean = z.rolling(window, min_periods=1).mean()
    return (z < mean).astype(float) - (z > mean).astype(float), pd.Series(0.0, index=close.index)


def ranked(table, key):
    """Rows by `key` descending, NaN left out, ties in grid order."""
    scores = table.apply(key, axis=1) if callable(key) else table[key]
    ok = table[scores.notna()].assign(_score=scores[scores.notna()])
    return ok.sort_values("_score", ascending=False, kind="stable").drop(columns="_score")


@pytest.mark.parametrize("rank_by", ["Sharpe Ratio", "Win Rate [%]", "Max Drawdown [%]",
                                     lambda row: -row["Max Drawdown [%]"],
                                     lambda row: row["Total Trades"] - row["Total Fees"]])
@pytest.mark.parametrize("workers", [1, 2])
def test_keep_ranks_by_any_entry_or_function(close, rank_by, workers):
    table = study.sweep(crossover, GRID, close, workers=workers, keep=4, rank_by=rank_by)
    want = ranked(table, rank_by)[["fast", "slow"]].head(4).to_dict("records")
    assert [b.params for b in table.best] == want


def test_nan_never_ranks_and_ties_go_to_grid_order():
    best = sweeps._Best(3, rank_by=lambda row: row["x"])
    for pos, x in enumerate([1.0, math.nan, 2.0, 2.0, None, "high", 1.0]):
        best.offer(pos, {"x": x}, pos)
    assert best.payloads() == [2, 3, 0]
    assert sweeps.score({"x": pd.Timedelta(2)}, "x") == 2.0


def test_a_bad_rank_by_lists_the_entries(close):
    with pytest.raises(ValueError, match=r"rank_by must be a stats\(\) entry .*Sharpe Ratio"):
        study.sweep(crossover, GRID, close, rank_by="sharpe")


@pytest.mark.parametrize("workers", [1, 2])
def test_a_constraint_leaves_configurations_out_before_they_run(close, workers):
    seen = []

    def counted(close, fast, slow):
        seen.append((fast, slow))
        return crossover(close, fast, slow)

    table = study.sweep(counted, GRID, close, workers=workers,
                        constraint=lambda p: p["fast"] * 4 <= p["slow"])
    kept = [(f, s) for f in GRID["fast"] for s in GRID["slow"] if f * 4 <= s]
    assert table[["fast", "slow"]].apply(tuple, axis=1).tolist() == kept
    assert sorted(seen) == sorted(kept)
    full = study.sweep(crossover, GRID, close, workers=1).set_index(["fast", "slow"])
    pd.testing.assert_frame_equal(table.set_index(["fast", "slow"]), full.loc[kept])


def test_a_constraint_rejecting_everything_gives_an_empty_table(close):
    table = study.sweep(crossover, GRID, close, constraint=lambda p: False)
    assert len(table) == 0 and list(table.columns) == ["fast", "slow", *study.STATS]
    with pytest.raises(TypeError, match="constraint must be a function"):
        study.sweep(crossover, GRID, close, constraint=True)


def test_pair_sweeps_run_pair_backtests(close, dask_client):
    legs = close.iloc[:, :2]
    grid = {"window": [3, 5, 9]}
    for how in ({"workers": 2}, {"client": dask_client}):
        table = study.sweep(spread, grid, legs, pair=True, keep=1, **how)
        assert "error" not in table.columns
        for k, window in enumerate(grid["window"]):
            one = study.pair_backtest(legs, *spread(legs, window)).stats()
            assert table.loc[k, "Total Return [%]"] == one["Total Return [%]"]
        assert table.best[0].kind == "pair" and table.best[0].close is legs
    solo = study.sweep(spread, grid, legs, workers=1)
    assert solo["error"].str.startswith("ValueError").all()


@pytest.mark.parametrize("names", [["Sharpe Ratio"], ["error"], ["fast", "Total Trades"]])
def test_parameters_named_like_columns_are_refused(close, names):
    grid = {name: [1] for name in names}
    with pytest.raises(ValueError, match="grid parameters .*" + names[-1]):
        study.sweep(crossover, grid, close)
    with pytest.raises(ValueError, match="grid parameters"):
        study.sweep(crossover, [{names[-1]: 1}], close)


def test_kept_runs_are_new_objects_carrying_their_parameters(close):
    table = study.sweep(crossover, GRID, close, workers=1, keep=1)
    bt = table.best[0]
    plain = study.backtest(close, *crossover(close, **bt.params))
    assert plain.params is None and bt.record is not plain.record
    assert bt.replaced(params={"x": 1}).record is bt.record
    np.testing.assert_array_equal(bt.value, plain.value)
