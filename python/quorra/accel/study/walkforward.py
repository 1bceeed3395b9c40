"""study.walk_forward: choose a strategy's parameters on a training window by
sweeping them, judge the choice on the bars that follow, and move on.

Each fold sweeps the grid on its training bars only; the chosen
configuration then runs on the training and test bars together (so its
indicators have their history) with trading held back until the test
window's first bar by the ledger's ``min_start_length``. The folds' test runs,
chained one after another, are the walk-forward's out-of-sample result.
"""

from __future__ import annotations

import dataclasses
import math
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np
import pandas as pd

from quorra.accel.study import inputs, metrics
from quorra.accel.study import progress as progress_bars
from quorra.accel.study import sweeps
from quorra.accel.study.backtests import backtest, pair_backtest
from quorra.accel.study.result import STATS, TRADE_COLUMNS as RESULT_TRADE_COLUMNS, Stats

INIT_CASH = 1e6  # the ledger's default starting cash


@dataclass(frozen=True)
class Fold:
    """Bar positions of one fold (ends inclusive)."""

    number: int
    train_start: int
    train_end: int
    test_start: int
    test_end: int


def folds(n: int, train, test, step=None, anchored=False) -> list[Fold]:
    """The folds over `n` bars: fold k tests the `test` bars from
    ``train + k * step`` while a whole test window fits; it trains on the
    `train` bars before (every bar from the first when `anchored`)."""
    for name, value, least in (("train", train, 2), ("test", test, 1)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < least:
            raise ValueError(f"{name} must be an integer >= {least}, got {value!r}")
    step = test if step is None else step
    if isinstance(step, bool) or not isinstance(step, (int, np.integer)) or step < test:
        raise ValueError(f"step must be an integer >= test ({test}) so that test windows do "
                         f"not overlap, got {step!r}")
    out = []
    start = train
    while start + test <= n:
        out.append(Fold(len(out), 0 if anchored else start - train, start - 1, start,
                        start + test - 1))
        start += step
    if not out:
        raise ValueError(f"no fold fits: {n} bars cannot hold train ({train}) + test ({test}) "
                         f"bars")
    return out


def window(x, first: int, last: int):
    """Bars first..last (inclusive) of a pandas object or an array."""
    if isinstance(x, (pd.DataFrame, pd.Series)):
        return x.iloc[first:last + 1]
    return np.asarray(x)[first:last + 1]


def check_metric(metric) -> None:
    if metric not in STATS:
        raise ValueError(f"metric must be a stats() entry, got {metric!r}; the entries are: "
                         f"{', '.join(STATS)}")


def chosen(table: sweeps.SweepResult, metric) -> int | None:
    """The position of the row with the largest `metric` (NaN never ranks,
    ties go to grid order), None when no row ranks."""
    best, best_score = None, -math.inf
    for pos, row in enumerate(table[list(STATS)].to_dict("records")):
        score = sweeps.score(row, metric)
        if not math.isnan(score) and (best is None or score > best_score):
            best, best_score = pos, score
    return best


class WalkForward:
    """The result of ``study.walk_forward``.

    - ``folds``: DataFrame, one row per fold: fold, train_start, train_end,
      test_start, test_end (index labels, ends inclusive), the chosen value
      of each grid parameter, ``In-Sample <metric>``, ``Out-of-Sample
      <metric>``, ``Out-of-Sample Total Return [%]`` (and ``error`` when a
      fold's out-of-sample run failed).
    - ``value``: the out-of-sample runs chained over the test windows' bars.
    - ``trades``: every fold's out-of-sample trades, ``fold`` first, bars
      counted from close's first bar.
    - ``runs``: the folds' out-of-sample Backtests (None where a fold has none).
    - ``stats(periods_per_year=None)``, ``plot(path=None)``, ``report(path)``.
    """

    def __init__(self, metric, folds_table, value, equity, trades, runs, run):
        self.metric = metric
        self.folds = folds_table
        self.value = value
        self.equity = equity
        self.trades = trades
        self.runs = runs
        self._run = run  # the chained run the statistics are computed from

    def __repr__(self) -> str:
        return (f"<WalkForward: {len(self.folds)} folds by {self.metric!r}, "
                f"{len(self.value)} test bars, {len(self.trades)} trades>")

    def stats(self, periods_per_year=None) -> Stats:
        """The statistics of the chained value and the out-of-sample trades,
        by the definitions of ``Backtest.stats()``."""
        run = dataclasses.replace(self._run, P=metrics.periods_per_year(self.value.index,
                                                                         periods_per_year))
        return Stats(metrics.figures(run), index=list(STATS), dtype=object)

    def plot(self, path=None):
        """A matplotlib Figure of the chained value with the folds'
        boundaries and each fold's parameters; saved as PNG with `path`."""
        try:
            from matplotlib.figure import Figure
        except ImportError:
            raise ImportError("plots need matplotlib: pip install 'quorra-accel[plot]' "
                              "(or pip install matplotlib)") from None
        from quorra.accel.study.plotting import png_target

        path = png_target(path)
        fig = Figure(figsize=(11, 4.5), layout="constrained")
        ax = fig.add_subplot()
        ax.plot(self.value.index, self.value.to_numpy(), lw=1.2, label="out-of-sample value")
        names = [c for c in self.folds.columns if c not in FOLD_FIXED
                 and not c.startswith(("In-Sample", "Out-of-Sample")) and c != "error"]
        for _, row in self.folds.iterrows():
            ax.axvline(row["test_start"], color="0.6", lw=0.8, ls="--")
            label = ", ".join(f"{k}={row[k]}" for k in names)
            ax.annotate(label, (row["test_start"], 1.0), xycoords=("data", "axes fraction"),
                        rotation=90, va="top", ha="right", fontsize=7, color="0.3")
        ax.set_title(f"Walk-forward: {len(self.folds)} folds chosen by {self.metric}")
        ax.legend(loc="lower left")
        if path is not None:
            fig.savefig(path, dpi=100, format="png")
        return fig

    def report(self, path):
        from quorra.accel.study.html_report import write_walk_forward

        return write_walk_forward(self, path)


FOLD_FIXED = ("fold", "train_start", "train_end", "test_start", "test_end")


def out_of_sample(job: sweeps.Job, params: dict, close, bars: dict, fold: Fold):
    """Fold's out-of-sample Backtest: the strategy on the training and test
    bars together, trading only from the test window's first bar."""
    first = fold.train_start
    span = window(close, first, fold.test_end)
    settings = dict(job.settings)
    settings.update({k: window(v, first, fold.test_end) for k, v in bars.items()})
    entries, exits, settings = sweeps.strategy_signals(job.strategy, params, span, settings)
    # Bars before min_start_length - 1 do not trade: the test window starts there.
    settings["min_start_length"] = max(int(settings.get("min_start_length", 1)),
                                       fold.test_start - first + 1)
    run = pair_backtest if job.pair else backtest
    return run(span, entries, exits, **settings)


def walk_forward(strategy, grid, close, *, train, test, step=None, anchored=False,
                 metric="Sharpe Ratio", settings=None, workers=None, client=None,
                 progress=True, constraint=None, pair=False, store=None, timeout=None,
                 **bars) -> WalkForward:
    """Walk-forward validation of `strategy` over `grid` (see the module).

    `strategy`, `grid`, `settings`, `workers`, `client`, `progress`,
    `constraint` and `pair` mean what they mean in ``sweep``; `**bars` are
    per-bar inputs of the backtest (a frame or array with close's rows, e.g.
    ``prices``), cut to each window with close. Fold k tests the `test` bars
    from ``train + k * step`` (step defaults to `test`, never less); its
    training window is the `train` bars before, or every bar from the first
    with `anchored`. The best configuration of a fold has the largest
    `metric` (a stats() entry; NaN never ranks, ties go to grid order); a
    fold where none ranks gets NaN parameters and no trades.

    `store` (a path) keeps each fold's training sweep in that results store
    as a study of its own (its training bars make its fingerprint), so a
    walk-forward started again reruns only what no earlier run finished;
    the out-of-sample runs, one backtest a fold, are run again. `timeout`
    bounds the connection to a scheduler address, as in ``sweep``.
    """
    check_metric(metric)
    frame = inputs.pandas_close(close)
    n = len(frame)
    for name, x in bars.items():
        if len(x) != n:
            raise ValueError(f"{name} has {len(x)} bars; close has {n}")
    plan = folds(n, train, test, step, anchored)
    configs = sweeps.configurations(grid)
    names = sweeps.parameter_names(grid, configs)
    sweeps.check_names(names)
    configs = sweeps.allowed(configs, constraint)
    job = sweeps.Job(strategy, close, dict(settings or {}), 0, metric, bool(pair))
    n_workers = sweeps.pool_size(workers, client)
    own = isinstance(client, str)
    if own:  # one connection for every fold's sweep
        client = sweeps.connect(client, timeout)
    bar = progress_bars.bar(len(configs) * len(plan), progress, "walk-forward")
    # A fold's out-of-sample run needs only its own choice: it runs on a
    # thread of its own while the next fold's sweep runs, so that the
    # sweeps' threads never wait for it.
    tests = ThreadPoolExecutor(max_workers=1, thread_name_prefix="quorra-walk-forward")
    rows, pending = [], []
    try:
        for fold in plan:
            train_close = window(close, fold.train_start, fold.train_end)
            fold_settings = dict(job.settings)
            fold_settings.update({k: window(v, fold.train_start, fold.train_end)
                                  for k, v in bars.items()})
            fold_job = sweeps.Job(strategy, train_close, fold_settings, 0, metric, bool(pair))
            table = sweeps.run_sweep(fold_job, names, configs, n_workers, client, bar,
                                     store=store)
            best = chosen(table, metric)
            params = None if best is None else dict(configs[best])  # as the grid gave them
            rows.append(_fold_row(params, table, best, names, metric, frame, fold))
            pending.append(None if params is None else
                           tests.submit(_tested, job, params, bars, fold))
        runs = []
        for row, future in zip(rows, pending):
            run, error = (None, None) if future is None else future.result()
            row["error"] = error
            runs.append(run)
    except BaseException:
        tests.shutdown(wait=False, cancel_futures=True)
        raise
    finally:
        bar.close()
        if own:
            client.close()
    tests.shutdown(wait=True)
    return _assemble(metric, names, frame, plan, rows, runs, job)


@dataclass
class Piece:
    """One fold's out-of-sample result over its test bars: value and equity,
    trades (bars counted from the test window's first bar), contract numbers,
    fees, refusals and the closes of the window's first and last bars."""

    fold: Fold
    index: pd.Index
    value: np.ndarray
    equity: np.ndarray
    trades: pd.DataFrame
    codes: np.ndarray
    total_fee: float
    refused: int
    close_ends: np.ndarray | None


def piece_of(run, fold: Fold, index: pd.Index) -> Piece:
    """The test bars of a fold's out-of-sample run (its training bars hold
    no trade)."""
    skip = fold.test_start - fold.train_start
    t = run.trades.copy()
    t["entry_bar"] -= skip
    t["exit_bar"] = np.where(t["exit_bar"] >= 0, t["exit_bar"] - skip, -1)
    labels = run.columns if run.kind == "solo" else pd.Index(["A", "B"])
    codes = labels.get_indexer(t.iloc[:, 0]).astype(np.intp)
    ends = None
    if run.kind == "solo":
        close = run.close
        ends = close.iloc[[skip, -1]].to_numpy(dtype=np.float64, na_value=np.nan).reshape(2, -1)
    return Piece(fold, index, run.value.to_numpy()[skip:], run.equity.to_numpy()[skip:], t,
                 codes, run.total_fee, int(run.refused.sum()), ends)


def flat_piece(fold: Fold, index: pd.Index, cash: float, template: pd.DataFrame) -> Piece:
    """A fold without a run: no trades, the account stays where it was."""
    n = len(index)
    return Piece(fold, index, np.full(n, cash), np.full(n, cash), template.iloc[:0].copy(),
                 np.empty(0, dtype=np.intp), 0.0, 0, None)


def chain(pieces: list[Piece], cash: float) -> tuple[np.ndarray, np.ndarray]:
    """The pieces' value and equity chained: each piece's curve times the
    chained value at the end of the one before, over the starting cash."""
    values, equities, before = [], [], cash
    for piece in pieces:
        values.append(piece.value * before / cash)
        equities.append(piece.equity * before / cash)
        before = float(values[-1][-1])
    return np.concatenate(values), np.concatenate(equities)


def chained_run(pieces: list[Piece], value: np.ndarray, equity: np.ndarray, index: pd.Index,
                P) -> metrics.Run:
    """A metrics.Run of pieces laid end to end: trade bars become positions
    in the chained series, and a position still open at the end of a piece
    stops being held where the next piece starts."""
    entry, exit_, held, offset = [], [], [], 0
    for piece in pieces:
        t = piece.trades
        e = t["entry_bar"].to_numpy(dtype=np.intp) + offset
        x = t["exit_bar"].to_numpy(dtype=np.intp)
        entry.append(e)
        exit_.append(np.where(x >= 0, x + offset, -1))
        held.append(np.where(x >= 0, x + offset, offset + len(piece.index)))
        offset += len(piece.index)
    trades = [p.trades for p in pieces]
    cat = (lambda xs: np.concatenate(xs) if xs else np.empty(0))
    net = cat([t["net_pnl"].to_numpy(dtype=np.float64) for t in trades])
    ret = cat([t["return"].to_numpy(dtype=np.float64) for t in trades])
    first, last = pieces[0].close_ends, pieces[-1].close_ends
    ends = None if first is None or last is None else np.vstack([first[0], last[1]])
    return metrics.Run(
        index=index, value=value, equity=equity, entry_bar=cat(entry).astype(np.intp),
        exit_bar=cat(exit_).astype(np.intp), contract=cat([p.codes for p in pieces]).astype(np.intp),
        pnl=net, ret=ret, total_fee=sum(p.total_fee for p in pieces),
        refused=sum(p.refused for p in pieces), close=ends, P=P,
        held_to=cat(held).astype(np.intp))


def piece_stats(piece: Piece, P=None) -> dict:
    run = chained_run([piece], piece.value, piece.equity, piece.index,
                      metrics.periods_per_year(piece.index, P))
    return metrics.figures(run)


def _tested(job, params, bars, fold):
    """(the fold's out-of-sample Backtest, None) or (None, its error text)."""
    try:
        return out_of_sample(job, params, job.close, bars, fold), None
    except Exception as exc:  # the fold's row reports it
        return None, sweeps.error_text(exc)


def _fold_row(params, table, best, names, metric, frame, fold) -> dict:
    labels = frame.index
    row = {"fold": fold.number, "train_start": labels[fold.train_start],
           "train_end": labels[fold.train_end], "test_start": labels[fold.test_start],
           "test_end": labels[fold.test_end]}
    row.update(dict.fromkeys(names, math.nan) if params is None else
               {k: params.get(k, math.nan) for k in names})
    row[f"In-Sample {metric}"] = math.nan
    row[f"Out-of-Sample {metric}"] = math.nan
    row["Out-of-Sample Total Return [%]"] = math.nan
    row["error"] = None
    if best is not None:
        row[f"In-Sample {metric}"] = table[metric].iloc[best]
    return row


def _assemble(metric, names, frame, plan, rows, runs, job) -> WalkForward:
    index = frame.index
    cash = float(job.settings.get("init_cash", INIT_CASH))
    template = next((r.trades for r in runs if r is not None), None)
    if template is None:
        template = pd.DataFrame(columns=["contract", *RESULT_TRADE_COLUMNS])
    pieces = []
    for fold, row, run in zip(plan, rows, runs):
        test_index = index[fold.test_start:fold.test_end + 1]
        if run is None:
            pieces.append(flat_piece(fold, test_index, cash, template))
            continue
        cash = float(run.value.iloc[0])  # nothing trades on the training bars
        piece = piece_of(run, fold, test_index)
        figures = piece_stats(piece)
        row[f"Out-of-Sample {metric}"] = figures[metric]
        row["Out-of-Sample Total Return [%]"] = figures["Total Return [%]"]
        pieces.append(piece)
    value, equity = chain(pieces, cash)
    test_index = index[np.concatenate([np.arange(f.test_start, f.test_end + 1) for f in plan])]
    table = pd.DataFrame(rows)
    if table["error"].isna().all():
        table = table.drop(columns="error")
    trades = _trades(pieces, plan, template)
    parts = chained_run(pieces, value, equity, test_index, None)
    return WalkForward(metric, table, pd.Series(value, index=test_index, name="value"),
                       pd.Series(equity, index=test_index, name="equity"), trades, runs,
                       parts)


def _trades(pieces: list[Piece], plan: list[Fold], template) -> pd.DataFrame:
    """Every piece's trades with `fold` first, bars counted from close's first bar."""
    frames = []
    for piece in pieces:
        t = piece.trades.copy()
        start = piece.fold.test_start
        t["entry_bar"] += start
        t["exit_bar"] = np.where(t["exit_bar"] >= 0, t["exit_bar"] + start, -1)
        t.insert(0, "fold", piece.fold.number)
        frames.append(t)
    out = pd.concat(frames, ignore_index=True) if frames else template
    return out.astype({"fold": np.int64, "entry_bar": np.int64, "exit_bar": np.int64})
