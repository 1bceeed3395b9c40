"""The HTML reports without a browser: one file with nothing to fetch, the
tables holding the exact figures, the sweep's heatmap the pivot of each
metric, the walk-forward's folds, and the paths and extras refused."""

import html
import re
import sys
import types

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("plotly")
from quorra.accel import study  # noqa: E402
from quorra.accel.study import heatmap as heatmaps  # noqa: E402
from quorra.accel.study import html_report  # noqa: E402
from support import random_walk  # noqa: E402

N = 160


def flips(close, every, offset=0):
    """Long, then short, turning every `every` bars; a strategy for sweeps."""
    if every == 13:
        raise RuntimeError("13 fails on purpose")
    n, m = np.shape(close)
    side = np.where(((np.arange(n) + offset) // every) % 2 == 0, 1.0, -1.0)
    entries = np.repeat(side[:, None], m, axis=1)
    entries[1:][entries[1:] == entries[:-1]] = 0.0
    return entries, np.zeros_like(entries)


@pytest.fixture(scope="module")
def close():
    return pd.DataFrame(random_walk(N, 2, seed=11, step=1.5), index=pd.date_range("2024-01-01", periods=N, freq="D"),
                        columns=["cu", "al"])


@pytest.fixture(scope="module")
def run(close):
    e, x = flips(close, 9)
    return study.backtest(close, e, x, volume_multiple=10.0, commission=1.0, sl_stop=4.0,
                          tp_stop=6.0)


@pytest.fixture(scope="module")
def table(close):
    return study.sweep(flips, {"every": [5, 9, 13], "offset": [0, 2, 3]}, close,
                       settings=dict(volume_multiple=10.0), workers=1, progress=False)


class StandIn:
    """What a walk-forward hands its report: the chained value, the folds,
    the trades and the statistics."""

    def __init__(self, bt, close):
        self.value = bt.value.iloc[40:]
        idx = close.index
        self.folds = pd.DataFrame({
            "fold": [0, 1, 2], "train_start": idx[[0, 40, 80]], "train_end": idx[[39, 79, 119]],
            "test_start": idx[[40, 80, 120]], "test_end": idx[[79, 119, 159]],
            "every": [5, 9, 5], "offset": [0, 2, 0],
            "In-Sample Sharpe Ratio": [1.5, 0.25, np.nan],
            "Out-of-Sample Sharpe Ratio": [-0.5, 0.75, 2.0],
            "Out-of-Sample Total Return [%]": [-1.0, 0.5, 3.25]})
        self.trades = bt.trades.assign(fold=0)[["fold", *bt.trades.columns]]
        self._stats = bt.stats()

    def stats(self, periods_per_year=None):
        return self._stats


def ms_time(ms):
    return pd.Timestamp(0) + pd.Timedelta(milliseconds=ms)


def cells(text, table_class):
    """(data-value, shown text) of every cell of the first table of that class."""
    part = text[text.index(f'class="{table_class}') if f'class="{table_class}' in text
                else text.index(f'{table_class}"'):]
    part = part[:part.index("</table>")]
    return [(html.unescape(v), html.unescape(s))
            for v, s in re.findall(r'<td[^>]*data-value="([^"]*)">([^<]*)</td>', part)]


def written(writer, obj, tmp_path):
    path = writer(obj, tmp_path / "report.html")
    assert path == tmp_path / "report.html"
    return path.read_text(encoding="utf-8")


def test_a_backtest_report_is_one_file_with_nothing_to_fetch(run, tmp_path):
    text = written(html_report.write_backtest, run, tmp_path)
    assert text.startswith("<!DOCTYPE html>")
    assert html_report.CSP in text and "default-src 'none'" in html_report.CSP
    # Every script is inline, no stylesheet or frame is linked.
    assert not re.search(r"<(script|img|iframe)[^>]*\ssrc=", text)
    assert "<link" not in text
    assert text.count("Plotly.newPlot(") == 1
    import plotly.offline
    assert plotly.offline.get_plotlyjs() in text


@pytest.mark.parametrize("report", ["backtest", "walk_forward"])
def test_the_statistics_table_holds_the_exact_figures(run, close, tmp_path, report):
    obj = run if report == "backtest" else StandIn(run, close)
    text = written(getattr(html_report, f"write_{report}"), obj, tmp_path)
    stats = obj.stats()
    values = cells(text, "stats")
    assert len(values) == len(stats)
    names = re.findall(r'<tr><th scope="row">([^<]*)</th>', text)
    assert [html.unescape(n) for n in names] == list(stats.index)
    for (exact, shown), v in zip(values, stats):
        if isinstance(v, float):
            assert (np.isnan(v) and exact == "NaN") or float(exact) == v
            assert shown == ("n/a" if np.isnan(v) else html_report.shown(v))
        else:
            assert exact == html_report.exact(v)
            assert shown == (f"{v:,}" if isinstance(v, int) else str(v))


def test_the_trades_table_lists_every_trade(run, tmp_path):
    text = written(html_report.write_backtest, run, tmp_path)
    trades = run.trades
    values = cells(text, "sortable trades")
    assert len(values) == trades.size and len(trades) > 3
    got = np.array([v for v, _ in values], dtype=object).reshape(trades.shape)
    assert [float(p) for p in got[:, list(trades.columns).index("pnl")]] == \
        pytest.approx(trades["pnl"].to_numpy(), nan_ok=True, rel=0, abs=0)
    assert list(got[:, 0]) == list(trades["contract"])


@pytest.mark.parametrize("value, exact, shown", [
    (1234.5, "1234.5", "1,234.5000"), (0.1 + 0.2, "0.30000000000000004", "0.3000"),
    (-2.5e-7, "-2.5e-07", "-2.5e-07"), (0.0, "0.0", "0.0000"), (float("nan"), "NaN", "n/a"),
    (np.int64(12000), "12000", "12,000"), (True, "True", "True"), (None, "NaN", "n/a"),
    (pd.Timestamp("2024-03-01 09:30"), "2024-03-01T09:30:00", "2024-03-01 09:30:00"),
    (pd.Timedelta(days=3), "3 days 00:00:00", "3 days 00:00:00"), ("<b>", "<b>", "<b>"),
])
def test_values_keep_their_exact_text_and_show_rounded(value, exact, shown):
    assert html_report.exact(value) == exact and html_report.shown(value) == shown


def test_labels_are_escaped(tmp_path):
    close = pd.DataFrame({"<b>cu</b> & co": [10.0, 11.0, 12.0, 11.0]})
    bt = study.backtest(close, [[1.0], [0], [0], [0]], [[0.0]] * 4)
    text = written(html_report.write_backtest, bt, tmp_path)
    tables = text[text.index("<h2>Statistics"):]
    assert "<b>" not in tables and "&lt;b&gt;cu&lt;/b&gt; &amp; co" in tables


@pytest.mark.parametrize("metric", ["Total Return [%]", "Sharpe Ratio", "Max Drawdown [%]"])
def test_the_sweep_heatmap_is_the_pivot_of_each_metric(table, metric):
    fig = html_report.sweep_figure(table)
    names = heatmaps.parameters(table)
    assert names == ["every", "offset"]
    button = next(b for b in fig.layout.updatemenus[0].buttons if b.label == metric)
    grid = heatmaps.pivot(table, "every", "offset", metric)
    z = button.args[0]["z"][0]
    expected = [[None if np.isnan(v) else v for v in row] for row in grid.to_numpy()]
    assert [list(r) for r in z] == expected
    assert fig.data[0].x == ("5", "9", "13") and fig.data[0].y == ("0", "2", "3")
    assert [b.label for b in fig.layout.updatemenus[0].buttons] == heatmaps.metrics(table)
    assert fig.layout.updatemenus[0].buttons[fig.layout.updatemenus[0].active].label == \
        "Total Return [%]"


def test_a_sweep_report_holds_the_table_and_says_what_failed(table, tmp_path):
    text = written(html_report.write_sweep, table, tmp_path)
    failed = int(table["error"].notna().sum())
    assert failed == 3 and f"{failed:,} failed configuration(s) left out." in text
    values = cells(text, "sortable sweep")
    assert len(values) == table.size
    errors = [v for v, _ in values[list(table.columns).index("error")::table.shape[1]]]
    assert errors.count("RuntimeError: 13 fails on purpose") == 3


def test_a_sweep_of_one_parameter_is_one_row(close, tmp_path):
    one = study.sweep(flips, {"every": [4, 8, 16]}, close, workers=1, progress=False)
    fig = html_report.sweep_figure(one)
    assert fig.data[0].y == ("all",) and fig.data[0].x == ("4", "8", "16")
    assert fig.data[0].z[0][1] == one["Total Return [%]"].iloc[1]


def test_the_walk_forward_shows_each_fold(run, close, tmp_path):
    wf = StandIn(run, close)
    fig = html_report.walk_forward_figure(wf)
    assert list(fig.data[0].y) == list(wf.value)
    assert html_report.fold_parameters(wf.folds) == ["every", "offset"]
    assert [(ms_time(s.x0), ms_time(s.x1)) for s in fig.layout.shapes] == \
        list(zip(wf.folds["test_start"], wf.folds["test_end"]))
    assert fig.layout.xaxis.type == "date"
    assert [a.text for a in fig.layout.annotations] == [
        "fold 0<br>every = 5<br>offset = 0", "fold 1<br>every = 9<br>offset = 2",
        "fold 2<br>every = 5<br>offset = 0"]
    text = written(html_report.write_walk_forward, wf, tmp_path)
    assert len(cells(text, "sortable folds")) == wf.folds.size
    assert len(cells(text, "sortable trades")) == wf.trades.size


@pytest.mark.parametrize("name", ["write_backtest", "write_sweep", "write_walk_forward"])
@pytest.mark.parametrize("path", ["report.png", "report", "report.html.txt"])
def test_a_path_that_is_not_html_is_refused(run, table, close, tmp_path, name, path):
    obj = {"write_backtest": run, "write_sweep": table,
           "write_walk_forward": StandIn(run, close)}[name]
    with pytest.raises(ValueError, match="reports are HTML, so path must end in .html or "
                                         ".htm, got '.*report"):
        getattr(html_report, name)(obj, tmp_path / path)
    assert list(tmp_path.iterdir()) == []


def test_the_methods_delegate(run, table, tmp_path):
    assert run.report(tmp_path / "a.htm").read_text().count("Plotly.newPlot(") == 1
    assert table.report(str(tmp_path / "b.HTML")).is_file()


def test_without_plotly_the_extra_is_named(run, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "plotly", None)
    monkeypatch.setitem(sys.modules, "plotly.graph_objects", None)
    with pytest.raises(ImportError, match=r"HTML reports need plotly: pip install "
                                          r"'quorra-accel\[report\]' \(or pip install plotly\)"):
        run.report(tmp_path / "r.html")


@pytest.mark.parametrize("anchored", [False, True])
def test_a_real_walk_forward_report(close, tmp_path, anchored):
    wf = study.walk_forward(flips, {"every": [4, 9], "offset": [0, 3]}, close, train=60,
                            test=30, anchored=anchored, workers=1, progress=False)
    assert len(wf.folds) == 3
    text = written(html_report.write_walk_forward, wf, tmp_path)
    assert wf.report(tmp_path / "again.html").read_text(encoding="utf-8") == text
    stats = wf.stats()
    exact = [v for v, _ in cells(text, "stats")]
    assert exact == [html_report.exact(v) for v in stats]
    fig = html_report.walk_forward_figure(wf)
    assert [(ms_time(s.x0), ms_time(s.x1)) for s in fig.layout.shapes] == \
        list(zip(wf.folds["test_start"], wf.folds["test_end"]))
    assert [a.text.split("<br>")[1:] for a in fig.layout.annotations] == [
        [f"every = {html_report.shown(e)}", f"offset = {html_report.shown(o)}"]
        for e, o in zip(wf.folds["every"], wf.folds["offset"])]
    assert len(cells(text, "sortable folds")) == wf.folds.size


@pytest.mark.parametrize("index, expected", [
    (pd.date_range("2024-03-01 09:30", periods=3, freq="min"),
     [1709285400000.0, 1709285460000.0, 1709285520000.0]),
    (pd.date_range("2024-03-01 09:30", periods=2, freq="ms", tz="Asia/Shanghai"),
     [1709285400000.0, 1709285400001.0]),  # wall-clock times
    (pd.DatetimeIndex(["1969-12-31 23:59:59.9995"]).as_unit("us"), [-0.5]),
    (pd.Index([3, 5, 9]), [3, 5, 9]),
    (pd.Index(["a", "b"]), [0, 1]),
])
def test_axis_values(index, expected):
    x, dated = html_report.axis_values(index)
    assert list(x) == expected and dated == isinstance(index, pd.DatetimeIndex)


def test_the_backtest_figure_draws_trades_where_they_happened(run):
    fig = html_report.backtest_figure(run)
    x, _ = html_report.axis_values(run.index)
    assert list(fig.data[0].x) == list(x) and fig.layout.xaxis.type == "date"
    t = run.trades
    entries = [d for d in fig.data if d.name and d.name.endswith(" entry")]
    exits = [d for d in fig.data if d.name and d.name.startswith("exit: ")]
    assert sum(len(d.x) for d in entries) == len(t)
    assert sum(len(d.x) for d in exits) == int((t["exit_bar"] >= 0).sum())
    for reason in set(d.name[len("exit: "):] for d in exits):
        drawn = [d for d in exits if d.name == f"exit: {reason}"]  # one per price panel
        assert {d.marker.color for d in drawn} == {html_report.COLOURS[reason]}
        assert [d.showlegend for d in drawn] == [True] + [False] * (len(drawn) - 1)
        rows = t[t["exit_reason"] == reason]
        assert sorted(v for d in drawn for v in d.x) == sorted(x[rows["exit_bar"]])
        assert sorted(v for d in drawn for v in d.y) == sorted(rows["exit_price"])
