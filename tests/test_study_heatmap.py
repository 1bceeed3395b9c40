"""SweepResult.heatmap and the pivot under it: each cell against the
configurations it aggregates, failed configurations left out, the figure's
annotations and colour bar, names refused, PNG only."""

import io
import re

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("matplotlib")
from quorra.accel import study  # noqa: E402
from quorra.accel.study import heatmap as heatmaps  # noqa: E402
from support import random_walk  # noqa: E402

N = 150


def crossover(close, fast, slow, size=1.0):
    if fast == 7:
        raise RuntimeError("fast 7 is broken on purpose")
    prices = np.asarray(close, dtype=np.float64)
    kernel = lambda w: np.vstack([np.full((w - 1, prices.shape[1]), np.nan),
                                  np.lib.stride_tricks.sliding_window_view(prices, w, axis=0)
                                  .mean(axis=-1)])
    up = kernel(fast) > kernel(slow)
    entries = np.where(up, 1.0, -1.0)
    return entries, np.zeros_like(entries), {"size": size}


@pytest.fixture(scope="module")
def table():
    close = pd.DataFrame(random_walk(N, 2, seed=3, step=1.5),
                         index=pd.date_range("2024-01-01", periods=N), columns=["a", "b"])
    grid = {"fast": [3, 5, 7, 9], "slow": [20, 40, 30], "size": [1.0, 2.0]}
    return study.sweep(crossover, grid, close, settings=dict(volume_multiple=10.0), workers=1,
                       progress=False)


@pytest.mark.parametrize("agg, reduce", [("mean", np.mean), ("max", np.max),
                                         (np.min, np.min), ("median", np.median)])
@pytest.mark.parametrize("metric", ["Total Return [%]", "Sharpe Ratio", "Total Trades"])
def test_each_cell_aggregates_its_successful_configurations(table, agg, reduce, metric):
    grid = heatmaps.pivot(table, "fast", "slow", metric, agg)
    assert list(grid.columns) == [3, 5, 7, 9] and list(grid.index) == [20, 30, 40]
    ok = table[table["error"].isna()]
    for slow in grid.index:
        for fast in grid.columns:
            rows = ok[(ok["fast"] == fast) & (ok["slow"] == slow)]
            values = rows[metric].astype(float).to_numpy()
            if len(values):
                assert grid.loc[slow, fast] == reduce(values)
            else:
                assert np.isnan(grid.loc[slow, fast])
    assert grid[7].isna().all()  # every fast 7 configuration failed


def test_durations_are_shown_in_days(table):
    grid = heatmaps.pivot(table, "slow", "size", "Max Drawdown Duration", "max")
    ok = table[table["error"].isna()]
    days = ok[(ok["slow"] == 20) & (ok["size"] == 1.0)]["Max Drawdown Duration"].max().days
    assert grid.loc[1.0, 20] == days


@pytest.mark.parametrize("kw, text", [
    (dict(x="fasts", y="slow"), "x must be a grid parameter of the sweep, one of "
                                "['fast', 'slow', 'size'], got 'fasts'"),
    (dict(x="fast", y="Sharpe Ratio"), "y must be a grid parameter"),
    (dict(x="fast", y="fast"), "x and y must be two different parameters, got 'fast' twice"),
    (dict(x="fast", y="slow", metric="Sharp Ratio"),
     "metric must be a statistic column of the sweep, got 'Sharp Ratio'"),
    (dict(x="fast", y="slow", metric="size"), "metric must be a statistic column"),
    (dict(x="fast", y="slow", metric="error"), "metric must be a statistic column"),
    (dict(x="fast", y="slow", metric="Start"), "metric 'Start' is not a number"),
])
def test_names_that_are_not_parameters_or_metrics_are_refused(table, kw, text):
    with pytest.raises(ValueError, match=re.escape(text)):
        table.heatmap(**kw)


def texts(fig):
    return [t.get_text() for t in fig.axes[0].texts]


def test_the_figure_is_annotated_with_a_colour_bar(table, tmp_path):
    path = tmp_path / "heat.png"
    fig = table.heatmap("fast", "slow", metric="Sharpe Ratio", path=path)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    ax, bar = fig.axes  # the heatmap and its colour bar
    assert bar.get_ylabel() == "Sharpe Ratio"
    assert [t.get_text() for t in ax.get_xticklabels()] == ["3", "5", "7", "9"]
    assert [t.get_text() for t in ax.get_yticklabels()] == ["20", "30", "40"]
    assert ax.get_title() == "Sharpe Ratio (mean over size)"
    grid = heatmaps.pivot(table, "fast", "slow", "Sharpe Ratio")
    expected = [f"{v:.3g}" if np.isfinite(v) else "n/a" for v in grid.to_numpy().ravel()]
    assert texts(fig) == expected


def test_a_large_grid_is_not_annotated():
    rows = [{"a": i, "b": j, "Total Return [%]": float(i - j)} for i in range(20)
            for j in range(10)]
    table = study.SweepResult(rows)
    assert len(texts(table.heatmap("a", "b"))) == 0
    assert len(texts(table.iloc[:heatmaps.ANNOTATE_CELLS].heatmap("a", "b"))) == \
        heatmaps.ANNOTATE_CELLS


@pytest.mark.parametrize("path", ["heat.html", "heat.svg", "heat.PDF"])
def test_a_suffix_that_is_not_png_is_refused(table, tmp_path, path):
    with pytest.raises(ValueError, match="figures are saved as PNG, so path must end in .png"):
        table.heatmap("fast", "slow", path=tmp_path / path)
    assert not (tmp_path / path).exists()


@pytest.mark.parametrize("path", ["heat.png", "heat.PNG", "heat"])
def test_png_or_no_suffix_is_written(table, tmp_path, path):
    table.heatmap("fast", "slow", path=tmp_path / path)
    assert (tmp_path / path).read_bytes()[:4] == b"\x89PNG"


def test_a_file_object_receives_the_png(table):
    out = io.BytesIO()
    table.heatmap("slow", "size", path=out)
    assert out.getvalue()[:4] == b"\x89PNG"
