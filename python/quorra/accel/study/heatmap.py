"""A sweep's metric over two of its grid parameters: the pivot table and its
matplotlib figure (one cell per pair of values, annotated when the grid is
small, with a colour bar)."""

from __future__ import annotations

import numpy as np
import pandas as pd

from quorra.accel.study.plotting import figure_class, png_target
from quorra.accel.study.result import STATS

# Cells are written into the figure up to this many (beyond, they would not
# be readable and the colour bar tells the values).
ANNOTATE_CELLS = 150


def parameters(table: pd.DataFrame) -> list:
    """The grid parameters of a sweep table: every column that is neither a
    statistic nor the error text."""
    return [c for c in table.columns if c not in STATS and c != "error"]


def metrics(table: pd.DataFrame) -> list:
    """The statistics of the table that a heatmap can colour: numbers, or
    durations (shown in days)."""
    return [c for c in table.columns if c in STATS and numeric(table[c]) is not None]


def numeric(column: pd.Series) -> pd.Series | None:
    """`column` as float64 (durations in days), or None when it holds
    anything else (labels, mixed types)."""
    values = column.dropna()
    if len(values) and all(isinstance(v, pd.Timedelta) for v in values):
        return pd.to_timedelta(column) / pd.Timedelta(days=1)
    if len(values) and all(isinstance(v, pd.Timestamp) for v in values):
        return None
    try:
        return pd.to_numeric(column, errors="raise").astype(np.float64)
    except (TypeError, ValueError):
        return None


def pivot(table: pd.DataFrame, x, y, metric="Total Return [%]", agg="mean") -> pd.DataFrame:
    """`metric` with one row per value of `y` and one column per value of
    `x` (sorted), the configurations of the other parameters aggregated by
    `agg` (a pandas aggregation: a name like "mean" or "max", or a function);
    failed configurations are left out."""
    names = parameters(table)
    for role, name in (("x", x), ("y", y)):
        if name not in names:
            raise ValueError(f"{role} must be a grid parameter of the sweep, one of {names}, "
                             f"got {name!r}")
    if x == y:
        raise ValueError(f"x and y must be two different parameters, got {x!r} twice")
    if metric not in table.columns or metric in names or metric == "error":
        raise ValueError(f"metric must be a statistic column of the sweep, got {metric!r}")
    values = numeric(table[metric])
    if values is None:
        raise ValueError(f"metric {metric!r} is not a number in the sweep's table")
    ok = table["error"].isna() if "error" in table.columns else np.ones(len(table), bool)
    frame = pd.DataFrame({"x": table[x], "y": table[y], "v": values})
    out = frame[np.asarray(ok)].pivot_table(index="y", columns="x", values="v", aggfunc=agg,
                                            dropna=False, sort=True)
    # Every value of the grid keeps its row and column, failed or not (a
    # cell without a successful configuration is NaN).
    out = out.reindex(index=_sorted(frame["y"]), columns=_sorted(frame["x"]))
    out.index.name, out.columns.name = y, x
    return out.astype(np.float64)


def _sorted(values: pd.Series) -> pd.Index:
    unique = pd.Index(values.unique())
    try:
        return unique.sort_values()
    except TypeError:  # values that do not compare: grid order
        return unique


def heatmap(table: pd.DataFrame, x, y, metric="Total Return [%]", agg="mean", path=None):
    """The matplotlib Figure of ``pivot(table, x, y, metric, agg)``, saved as
    PNG when `path` is given."""
    Figure = figure_class()
    path = png_target(path)
    grid = pivot(table, x, y, metric, agg)
    z = grid.to_numpy()
    rows, cols = z.shape
    fig = Figure(figsize=(min(3 + 0.8 * cols, 16), min(2.5 + 0.5 * rows, 12)),
                 layout="constrained")
    ax = fig.subplots()
    image = ax.imshow(np.ma.masked_invalid(z), origin="lower", aspect="auto",
                      cmap="viridis", interpolation="nearest")
    ax.set_xticks(range(cols), [str(v) for v in grid.columns])
    ax.set_yticks(range(rows), [str(v) for v in grid.index])
    ax.set_xlabel(str(x))
    ax.set_ylabel(str(y))
    others = [p for p in parameters(table) if p not in (x, y)]
    how = f" ({_agg_name(agg)} over {', '.join(map(str, others))})" if others else ""
    ax.set_title(f"{metric}{how}")
    fig.colorbar(image, ax=ax, label=str(metric))
    if rows * cols <= ANNOTATE_CELLS:
        _annotate(ax, image, z)
    if path is not None:
        fig.savefig(path, dpi=100, format="png")
    return fig


def _agg_name(agg) -> str:
    return agg if isinstance(agg, str) else getattr(agg, "__name__", "aggregated")


def _annotate(ax, image, z):
    finite = z[np.isfinite(z)]
    middle = (finite.min() + finite.max()) / 2.0 if len(finite) else 0.0
    for i, j in np.ndindex(z.shape):
        v = z[i, j]
        if np.isfinite(v):
            # Dark text on the bright end of the colour map, light on the dark.
            colour = "black" if v > middle else "white"
            ax.text(j, i, f"{v:.3g}", ha="center", va="center", fontsize="small", color=colour)
        else:
            ax.text(j, i, "n/a", ha="center", va="center", fontsize="small", color="0.5")
