"""Interactive reports of a backtest, a sweep or a walk-forward: one HTML file
with everything inline (plotly.js, the data, styles and scripts), so it opens
offline, from a mail attachment, without a server.

The page carries a Content-Security-Policy that allows nothing but its own
inline code and data: URLs, so the browser itself refuses any request that
would leave the page. Figures are plotly's (zoom, pan and hover come with
them); tables are plain HTML, sortable by a click on a column's header.
"""

from __future__ import annotations

import html
import math
import os
import pathlib

import numpy as np
import pandas as pd

from quorra.accel.study import heatmap as heatmaps
from quorra.accel.study.plotting import REASON_COLOURS, _x

REPORT_EXTRA = "pip install 'quorra-accel[report]'"

CSP = ("default-src 'none'; script-src 'unsafe-inline' 'unsafe-eval'; "
       "style-src 'unsafe-inline'; img-src data: blob:; font-src data:")

# The colours of the matplotlib figures, so both kinds of figure agree.
COLOURS = {"stop_loss": "#d62728", "take_profit": "#2ca02c", "max_hold": "#9467bd",
           "signal": "#1f77b4", "cascade": "#ff7f0e", "reverse": "#8c564b"}
assert set(COLOURS) == set(REASON_COLOURS)

# A report shows this many contracts' price panels at most (the trades table
# still lists every trade) and this many table rows.
MAX_PRICE_PANELS = 12
MAX_TABLE_ROWS = 20_000

STYLE = """
body { font-family: system-ui, sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; }
table { border-collapse: collapse; font-size: 0.85em; }
th, td { border: 1px solid #ccc; padding: 0.2em 0.5em; }
td.number { text-align: right; font-variant-numeric: tabular-nums; }
thead th { background: #f2f2f2; cursor: pointer; position: sticky; top: 0; }
.scroll { max-height: 32em; overflow: auto; display: inline-block; }
p.note { color: #666; font-size: 0.85em; }
"""

# Click a header to sort its table by that column (numbers by their exact
# value, the rest as text); a second click reverses the order.
SORT_SCRIPT = """
document.querySelectorAll("table.sortable thead th").forEach(function (th, col) {
  th.addEventListener("click", function () {
    var body = th.closest("table").tBodies[0];
    var rows = Array.from(body.rows);
    var up = th.dataset.order !== "up";
    th.dataset.order = up ? "up" : "down";
    function key(row) {
      var cell = row.cells[col], v = cell.dataset.value;
      var n = parseFloat(v);
      return isNaN(n) || cell.className !== "number" ? v : n;
    }
    rows.sort(function (a, b) {
      var x = key(a), y = key(b);
      var c = x < y ? -1 : x > y ? 1 : 0;
      return up ? c : -c;
    });
    rows.forEach(function (r) { body.appendChild(r); });
  });
});
"""


def _plotly():
    try:
        import plotly.graph_objects as go
        import plotly.offline
        from plotly.subplots import make_subplots
    except ImportError:
        raise ImportError(f"HTML reports need plotly: {REPORT_EXTRA} "
                          f"(or pip install plotly)") from None
    return go, make_subplots, plotly.offline.get_plotlyjs


def _target(path) -> pathlib.Path:
    p = pathlib.Path(os.fspath(path))
    if p.suffix.lower() not in (".html", ".htm"):
        raise ValueError(f"reports are HTML, so path must end in .html or .htm, got "
                         f"{os.fspath(path)!r}")
    return p


# -- values in tables ----------------------------------------------------------

def exact(v) -> str:
    """A value as the page stores it (data-value): floats by their shortest
    text that reads back to the same double."""
    if v is None or v is pd.NaT:
        return "NaN"
    if isinstance(v, (float, np.floating)):
        return repr(float(v)) if not math.isnan(v) else "NaN"
    if isinstance(v, (bool, np.bool_)):
        return str(bool(v))
    if isinstance(v, (int, np.integer)):
        return str(int(v))
    if isinstance(v, pd.Timestamp):
        return v.isoformat()
    return str(v)


def shown(v) -> str:
    """A value as the page shows it."""
    if v is None or v is pd.NaT:
        return "n/a"
    if isinstance(v, (bool, np.bool_)):
        return str(bool(v))
    if isinstance(v, (int, np.integer)):
        return f"{int(v):,}"
    if isinstance(v, (float, np.floating)):
        v = float(v)
        if math.isnan(v):
            return "n/a"
        if v == 0 or math.isinf(v) or abs(v) >= 1e-3:
            return f"{v:,.4f}"
        return f"{v:.4g}"
    return str(v)


def _is_number(v) -> bool:
    return isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(
        v, (bool, np.bool_))


def _cell(v, tag="td") -> str:
    cls = ' class="number"' if _is_number(v) else ""
    return (f'<{tag}{cls} data-value="{html.escape(exact(v))}">'
            f'{html.escape(shown(v))}</{tag}>')


def stats_table(stats: pd.Series) -> str:
    rows = "".join(f'<tr><th scope="row">{html.escape(str(k))}</th>{_cell(v)}</tr>'
                   for k, v in stats.items())
    return f'<table class="stats"><tbody>{rows}</tbody></table>'


def frame_table(frame: pd.DataFrame, cls: str) -> str:
    """A DataFrame as a sortable table (the first MAX_TABLE_ROWS rows, said
    so under the table)."""
    head = "".join(f"<th>{html.escape(str(c))}</th>" for c in frame.columns)
    shown_rows = frame.iloc[:MAX_TABLE_ROWS]
    body = "".join("<tr>" + "".join(_cell(v) for v in row) + "</tr>"
                   for row in shown_rows.itertuples(index=False, name=None))
    note = ""
    if len(frame) > len(shown_rows):
        note = (f'<p class="note">The first {len(shown_rows):,} of {len(frame):,} rows.</p>')
    return (f'<div class="scroll"><table class="sortable {cls}"><thead><tr>{head}</tr>'
            f'</thead><tbody>{body}</tbody></table></div>{note}')


# -- the page ------------------------------------------------------------------

def _figure_div(fig, div_id: str) -> str:
    return fig.to_html(full_html=False, include_plotlyjs=False, div_id=div_id,
                       config={"displaylogo": False, "responsive": True})


def _page(title: str, sections: list[tuple[str, str]], plotlyjs: str) -> str:
    body = "".join(f"<section><h2>{html.escape(h)}</h2>{content}</section>"
                   for h, content in sections)
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<meta http-equiv=\"Content-Security-Policy\" content=\"{CSP}\">"
            f"<title>{html.escape(title)}</title><style>{STYLE}</style>"
            f"<script type=\"text/javascript\">{plotlyjs}</script></head>"
            f"<body><h1>{html.escape(title)}</h1>{body}"
            f"<script type=\"text/javascript\">{SORT_SCRIPT}</script></body></html>\n")


def _write(path, title, sections, plotlyjs) -> pathlib.Path:
    target = _target(path)
    target.write_text(_page(title, sections, plotlyjs()), encoding="utf-8")
    return target


def axis_values(index: pd.Index) -> tuple[np.ndarray, bool]:
    """(x values, whether the axis is a date axis): a DatetimeIndex as
    milliseconds since the epoch of its wall-clock times (plotly reads them
    on a date axis, and numbers travel as compact typed arrays where date
    strings would cost some 26 bytes a bar and trace), else what the
    matplotlib figure uses."""
    if isinstance(index, pd.DatetimeIndex):
        wall = index.tz_localize(None) if index.tz is not None else index
        ms = (wall - pd.Timestamp(0)) / pd.Timedelta(milliseconds=1)
        return np.asarray(ms, dtype=np.float64), True
    return np.asarray(_x(index)), False


def _params_text(params) -> str:
    return ", ".join(f"{k} = {v}" for k, v in params.items()) if params else ""


# -- a backtest ----------------------------------------------------------------

def _contracts(bt):
    """(position in close, label, positional mask of its trades) of every
    contract (pair: both legs)."""
    record = bt.record["trades"]
    if bt.kind == "pair":
        return [(pos, f"leg {leg} ({bt.columns[pos]})" if str(bt.columns[pos]) != leg
                 else f"leg {leg}", np.asarray(record["leg"]) == pos)
                for pos, leg in enumerate("AB")]
    codes = np.asarray(record["contract"])
    return [(pos, str(label), codes == pos) for pos, label in enumerate(bt.columns)]


def price_traces(go, x, prices, label):
    """The price panel's line of closes. Bars with open, high and low would
    draw a candlestick here instead (go.Candlestick on the same x)."""
    return [go.Scatter(x=x, y=prices, name=f"close of {label}", mode="lines",
                       line={"color": "#595959", "width": 1}, showlegend=False,
                       hovertemplate=f"{html.escape(label)}: %{{y}}<extra></extra>")]


def trade_traces(go, xs, trades, seen: set):
    """Entries (triangles by direction) and exits (dots by exit reason) at
    their fills, one legend entry per kind over every panel."""
    out = []

    def marker_trace(name, bars, prices, text, **marker):
        out.append(go.Scatter(x=xs[bars], y=prices, mode="markers", name=name,
                              legendgroup=name, showlegend=name not in seen, marker=marker,
                              text=text, hovertemplate="%{text}<extra>" + name + "</extra>"))
        seen.add(name)

    for side, symbol in (("long", "triangle-up"), ("short", "triangle-down")):
        t = trades[trades["direction"] == side]
        if len(t):
            text = [f"{side} {lots:g} lots at {p:g}" for lots, p in
                    zip(t["lots"], t["entry_price"])]
            marker_trace(f"{side} entry", t["entry_bar"].to_numpy(), t["entry_price"], text,
                         symbol=symbol, size=9, color="black")
    closed = trades[trades["exit_bar"] >= 0]
    for reason, colour in COLOURS.items():
        t = closed[closed["exit_reason"] == reason]
        if len(t):
            text = [f"exit at {p:g}, pnl {pnl:,.2f}" for p, pnl in zip(t["exit_price"], t["pnl"])]
            marker_trace(f"exit: {reason}", t["exit_bar"].to_numpy(), t["exit_price"], text,
                         symbol="circle", size=8, color=colour,
                         line={"color": "white", "width": 0.5})
    return out


def backtest_figure(bt):
    go, make_subplots, _ = _plotly()
    if bt.close is None:
        raise ValueError("this Backtest has no close prices attached")
    x, dated = axis_values(bt.index)
    xs = x
    contracts = _contracts(bt)[:MAX_PRICE_PANELS]
    titles = ["Account", "Drawdown of value [%]"] + [f"Price of {label}"
                                                      for _, label, _ in contracts]
    rows = len(titles)
    fig = make_subplots(rows=rows, cols=1, shared_xaxes=True, vertical_spacing=0.06 / rows * 3,
                        subplot_titles=titles, row_heights=[3, 1.4] + [3] * len(contracts))
    fig.add_trace(go.Scatter(x=x, y=bt.value.to_numpy(), name="value (marked to market)",
                             mode="lines", line={"width": 1.2}), row=1, col=1)
    fig.add_trace(go.Scatter(x=x, y=bt.equity.to_numpy(), name="realised equity", mode="lines",
                             line={"width": 1.2}), row=1, col=1)
    fig.add_trace(go.Scatter(x=x, y=bt.drawdown.to_numpy() * 100.0, name="drawdown [%]",
                             mode="lines", fill="tozeroy", line={"color": "#d62728", "width": 0.8},
                             showlegend=False), row=2, col=1)
    close = bt.close
    trades = bt.trades
    seen: set = set()
    for row, (pos, label, mask) in enumerate(contracts, start=3):
        column = close.iloc[:, pos] if isinstance(close, pd.DataFrame) else close
        prices = column.to_numpy(dtype=np.float64)
        for trace in price_traces(go, x, prices, label) + trade_traces(go, xs, trades[mask], seen):
            fig.add_trace(trace, row=row, col=1)
    if dated:
        fig.update_xaxes(type="date")
    fig.update_layout(height=260 + 230 * rows, hovermode="closest", template="plotly_white",
                      legend={"orientation": "h", "y": 1.02, "yanchor": "bottom"},
                      margin={"t": 60, "l": 60, "r": 20, "b": 40})
    return fig


def write_backtest(bt, path) -> pathlib.Path:
    """Writes the report of a Backtest to `path` (.html): value and realised
    equity, drawdown, each contract's price with entries and exits (exits
    coloured by reason), the statistics and the trades. Returns the path."""
    _, _, plotlyjs = _plotly()
    target = _target(path)
    fig = backtest_figure(bt)
    what = "contract" if bt.kind == "solo" else "leg"
    m = len(bt.columns) if bt.kind == "solo" else 2
    title = f"Backtest ({bt.kind}): {len(bt.index):,} bars x {m} {what}s"
    if bt.params:
        title += f"; {_params_text(bt.params)}"
    sections = [("Account, drawdown and trades", _figure_div(fig, "backtest-figure"))]
    if bt.kind == "solo" and len(bt.columns) > MAX_PRICE_PANELS:
        sections[0] = (sections[0][0], sections[0][1] + f'<p class="note">Prices of the first '
                       f'{MAX_PRICE_PANELS} of {len(bt.columns)} contracts.</p>')
    sections += [("Statistics", stats_table(bt.stats())),
                 ("Trades", frame_table(bt.trades, "trades"))]
    return _write(target, title, sections, plotlyjs)


# -- a sweep -------------------------------------------------------------------

def sweep_figure(table):
    """The heatmap of the metrics over the two first grid parameters (one
    parameter: a single row), a menu choosing the metric; None when the
    table has no parameter or no metric."""
    go, _, _ = _plotly()
    names = heatmaps.parameters(table)
    metrics = heatmaps.metrics(table)
    if not names or not metrics or len(table) == 0:
        return None
    first = "Total Return [%]" if "Total Return [%]" in metrics else metrics[0]
    x = names[0]
    if len(names) >= 2:
        y = names[1]
        grids = {m: heatmaps.pivot(table, x, y, m) for m in metrics}
    else:
        y = None  # one parameter: its values across, one row
        grids = {m: _one_row(table, x, m) for m in metrics}
    grid = grids[first]
    labels_x = [str(v) for v in grid.columns]
    labels_y = [str(v) for v in grid.index]
    small = grid.size <= heatmaps.ANNOTATE_CELLS

    def z(m):
        g = grids[m].to_numpy()
        return [[None if not math.isfinite(v) else float(v) for v in r] for r in g]

    hover = f"{html.escape(str(x))} = %{{x}}<br>"
    if y is not None:
        hover += f"{html.escape(str(y))} = %{{y}}<br>"
    fig = go.Figure(go.Heatmap(z=z(first), x=labels_x, y=labels_y, colorscale="Viridis",
                               colorbar={"title": {"text": first}},
                               texttemplate="%{z:.3g}" if small else None,
                               hovertemplate=hover + "%{z}<extra></extra>"))
    others = names[2:]
    how = f" (mean over {', '.join(map(str, others))})" if others else ""
    buttons = [{"label": m, "method": "update",
                "args": [{"z": [z(m)], "colorbar.title.text": m}, {"title.text": f"{m}{how}"}]}
               for m in metrics]
    fig.update_layout(title={"text": f"{first}{how}"}, template="plotly_white",
                      xaxis={"title": {"text": str(x)}, "type": "category"},
                      yaxis={"title": {"text": str(y) if y is not None else ""},
                             "type": "category"},
                      height=max(380, 140 + 34 * len(labels_y)),
                      updatemenus=[{"buttons": buttons, "active": metrics.index(first),
                                    "x": 1.0, "xanchor": "right", "y": 1.18,
                                    "yanchor": "top"}])
    return fig


def _one_row(table, x, metric) -> pd.DataFrame:
    frame = pd.DataFrame({"x": table[x], "y": "all", "v": heatmaps.numeric(table[metric])})
    if "error" in table.columns:
        frame = frame[table["error"].isna().to_numpy()]
    return frame.pivot_table(index="y", columns="x", values="v", aggfunc="mean",
                             dropna=False).astype(np.float64)


def write_sweep(table, path) -> pathlib.Path:
    """Writes the report of a sweep's table to `path` (.html): the heatmap
    of the two first grid parameters with a menu for the metric, and the
    table (sortable). Returns the path."""
    _, _, plotlyjs = _plotly()
    target = _target(path)
    fig = sweep_figure(table)
    failed = int(table["error"].notna().sum()) if "error" in table.columns else 0
    title = f"Sweep of {len(table):,} configurations"
    sections = []
    if fig is not None:
        note = (f'<p class="note">{failed:,} failed configuration(s) left out.</p>'
                if failed else "")
        sections.append(("Heatmap", _figure_div(fig, "sweep-heatmap") + note))
    sections.append(("Table", frame_table(table, "sweep")))
    return _write(target, title, sections, plotlyjs)


# -- a walk-forward ------------------------------------------------------------

def fold_parameters(folds: pd.DataFrame) -> list:
    """The grid parameters' columns of a walk-forward's folds table: those
    between the windows and the in-sample metric."""
    windows = ("fold", "train_start", "train_end", "test_start", "test_end")
    return [c for c in folds.columns if c not in windows
            and not str(c).startswith(("In-Sample ", "Out-of-Sample "))]


def walk_forward_figure(wf):
    go, _, _ = _plotly()
    value = wf.value
    x, dated = axis_values(value.index)
    fig = go.Figure(go.Scatter(x=x, y=value.to_numpy(), mode="lines", name="chained value",
                               line={"width": 1.2}))
    names = fold_parameters(wf.folds)
    positions = pd.Index(value.index)
    for k, row in enumerate(wf.folds.itertuples(index=False, name=None)):
        fold = dict(zip(wf.folds.columns, row))
        # The test window's ends where the value's axis has them.
        start, end = (float(x[positions.get_loc(fold[c])]) for c in ("test_start", "test_end"))
        text = f"fold {fold['fold']}<br>" + "<br>".join(
            f"{html.escape(str(p))} = {html.escape(shown(fold[p]))}" for p in names)
        fig.add_vrect(x0=start, x1=end, fillcolor="#1f77b4" if k % 2 else "#ff7f0e",
                      opacity=0.08, line_width=0, annotation_text=text,
                      annotation_position="top left", annotation_font_size=10)
    if dated:
        fig.update_xaxes(type="date")
    fig.update_layout(title={"text": "Out-of-sample value, folds chained"},
                      template="plotly_white", height=520, hovermode="x",
                      margin={"t": 110, "l": 60, "r": 20, "b": 40})
    return fig


def write_walk_forward(wf, path) -> pathlib.Path:
    """Writes the report of a walk-forward to `path` (.html): the chained
    out-of-sample value with the folds and their parameters, the statistics,
    the folds table and the out-of-sample trades. Returns the path."""
    _, _, plotlyjs = _plotly()
    target = _target(path)
    fig = walk_forward_figure(wf)
    title = f"Walk-forward: {len(wf.folds):,} folds, {len(wf.value):,} out-of-sample bars"
    sections = [("Chained value", _figure_div(fig, "walk-forward-figure")),
                ("Statistics", stats_table(wf.stats())),
                ("Folds", frame_table(wf.folds, "folds")),
                ("Trades", frame_table(wf.trades, "trades"))]
    return _write(target, title, sections, plotlyjs)
