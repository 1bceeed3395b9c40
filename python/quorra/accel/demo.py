"""The package's main job: run the three engines on a sample and report.

``python -m quorra.accel`` trades a moving-average crossover on two futures
contracts with ``solosim.from_signals``, a z-score spread of the same two
contracts with ``spreadsim.pair_from_signals``, and measures the crossover
signals with ``holdreturn.calc_holdreturn``; then sweeps the crossover over a
grid of window pairs with ``study.sweep`` (local threads, or a Dask scheduler),
shows the best run's statistics and first trades, and ends with a
walk-forward of the same sweep (parameters chosen on each training window,
judged on the bars after it). On the built-in sample the sweep trades the
bars (stops inside the bar, gaps filled at the open) and the best run is set
beside the same run on closes only and filled at the next open.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
from dataclasses import dataclass

import numpy as np

from quorra.accel import holdreturn, report, sample, solosim, spreadsim
from quorra.accel.bars_csv import BarsFileError, read_bars

HOLD_LENGTHS = [1, 5, 10, 20, 60]

# Contract terms shared by both strategies: tick 1.0, 10 units a lot,
# 10 % margin, 2.0 commission per lot.
TERMS = dict(margin_rate=0.1, price_tick=1.0, volume_multiple=10.0, commission=2.0, com_type=1)


# The sweep: crossover window pairs, traded with the same terms and stops.
SWEEP_GRID = {"fast": [5, 10, 20, 30], "slow": [40, 80, 120]}
SWEEP_SETTINGS = dict(size=1.0, sl_stop=60.0, tp_stop=150.0, sl_trail=1, **TERMS)
SWEEP_START = "2016-01-04"  # the sample's first (daily) bar
TOP_COLUMNS = ["fast", "slow", "Total Return [%]", "Max Drawdown [%]", "Sharpe Ratio",
               "Total Trades", "Win Rate [%]", "Profit Factor"]
TRADE_COLUMNS = ["contract", "entry_time", "exit_time", "direction", "lots", "entry_price",
                 "exit_price", "pnl", "return", "bars_held", "exit_reason"]
# The best run under the three ways of filling it, and what is compared.
RULES = {"closes only": {}, "bars": {"bars": True},
         "bars, next open": {"bars": True, "fill": "next_open"}}
COMPARED = ["Total Return [%]", "Max Drawdown [%]", "Sharpe Ratio", "Total Trades"]


@dataclass
class DemoRun:
    bars: dict
    solo: list
    pair: list
    hold: dict


def run(bars: dict[str, np.ndarray]) -> DemoRun:
    a, b = bars["A"], bars["B"]
    close = np.column_stack([a, b])
    signals = [sample.crossover_signals(x) for x in (a, b)]
    entries = np.column_stack([s[0] for s in signals])
    exits = np.column_stack([s[1] for s in signals])
    solo = solosim.from_signals(close, entries, exits, size=1.0, sl_stop=60.0, tp_stop=150.0,
                                sl_trail=1, **TERMS)
    pair_entries, pair_exits = sample.zscore_signals(a, b)
    pair = spreadsim.pair_from_signals(close, pair_entries, pair_exits, size=1.0,
                                       leg_size_ratio=[1, 2], sl_stop=0.04, stop_mode=2,
                                       max_hold_bars=60, **TERMS)
    hold = holdreturn.calc_holdreturn(entries[:, 0].copy(), a, list(HOLD_LENGTHS))
    return DemoRun(bars, solo, pair, hold)


def holding_table(hold: dict) -> str:
    directions = np.array(hold["signal_directions"])
    lines = ["Holding returns of the crossover signals on A",
             "---------------------------------------------",
             "Each ratio is the product, over the held bars, of every bar's ratio to the",
             "entry price (1.0 = unchanged), not the price ratio at the end of the hold.",
             f"{'bars held':>9}  {'signals':>7}  {'mean long':>10}  {'mean short':>10}  "
             f"{'hit rate':>8}"]
    for k, length in enumerate(hold["bars"]):
        longs = hold["long_profits"][directions == 1, k]
        shorts = hold["short_profits"][directions == -1, k]
        own = np.concatenate([longs, shorts])
        own = own[~np.isnan(own)]
        mean = lambda x: f"{np.nanmean(x):10.4f}" if len(x) else f"{'n/a':>10}"
        hit = f"{np.mean(own > 1.0):8.1%}" if len(own) else f"{'n/a':>8}"
        lines.append(f"{length:>9}  {len(directions):>7}  {mean(longs)}  {mean(shorts)}  {hit}")
    lines += ["signals: all signals, long and short; mean long / mean short: mean ratio of",
              "the long / short signals; hit rate: share of signals whose ratio in their",
              "own direction is above 1.0."]
    return "\n".join(lines)


def print_report(r: DemoRun, source: str) -> None:
    n = len(r.bars["A"])
    print(f"Bars: {n} from {source}; A {r.bars['A'][0]:.0f} -> {r.bars['A'][-1]:.0f}, "
          f"B {r.bars['B'][0]:.0f} -> {r.bars['B'][-1]:.0f}\n")
    print(report.format_summary("Crossover on A and B (from_signals)", report.summary(r.solo)))
    print()
    print(report.format_summary("Z-score spread A/B (pair_from_signals)", report.summary(r.pair)))
    print()
    print(holding_table(r.hold))


def crossover_strategy(close, fast: int, slow: int):
    """The sweep's strategy: crossover entries and exits on every column of
    `close` (a DataFrame or an (n, m) array)."""
    prices = np.asarray(close, dtype=np.float64)
    signals = [sample.crossover_signals(prices[:, j], fast, slow) for j in range(prices.shape[1])]
    return np.column_stack([s[0] for s in signals]), np.column_stack([s[1] for s in signals])


def sweep_close(bars: dict, dated: bool):
    """A and B as a DataFrame: on a daily calendar for the built-in sample,
    numbered bars for a CSV file (its rows carry no dates)."""
    import pandas as pd

    n = len(bars["A"])
    index = (pd.date_range(SWEEP_START, periods=n, freq="D", name="date") if dated
             else pd.RangeIndex(n, name="bar"))
    return pd.DataFrame({"A": bars["A"], "B": bars["B"]}, index=index)


def sweep_bars(ohlc: dict, close) -> dict:
    """The sample's open, high and low as frames like the sweep's close."""
    import pandas as pd

    return {name: pd.DataFrame({c: ohlc[c][name] for c in close.columns}, index=close.index)
            for name in ("open", "high", "low")}


def _figure(x) -> str:
    if isinstance(x, float):
        return "NaN" if x != x else f"{x:,.4f}"
    return str(x)


def run_sweep(bars: dict, dated: bool, workers: int | None, scheduler: str | None,
              ohlc: dict | None = None):
    """The sweep's table (a SweepResult with the best run kept), or None when
    pandas is missing (said on stderr). With `ohlc` (the sample's bars) the
    runs trade the bars."""
    try:
        from quorra.accel.study import sweep
    except ImportError as e:
        print(f"\nThe sweep is skipped: {e}", file=sys.stderr)
        return None
    close = sweep_close(bars, dated)
    settings = dict(SWEEP_SETTINGS, **(sweep_bars(ohlc, close) if ohlc else {}))
    return sweep(crossover_strategy, SWEEP_GRID, close, settings=settings,
                 workers=workers, client=scheduler, keep=1)


def rules_table(best) -> str:
    """The best run's figures and exits on closes only, with the bars, and
    with the bars filled at the next open."""
    import pandas as pd

    from quorra.accel import study

    entries, exits = crossover_strategy(best.close, **best.params)
    columns = {}
    for name, rule in RULES.items():
        given = best.bars if rule.get("bars") else {}
        bt = study.backtest(best.close, entries, exits, fill=rule.get("fill", "close"),
                            **SWEEP_SETTINGS, **given)
        reasons = bt.trades["exit_reason"].value_counts()
        columns[name] = [*bt.stats()[COMPARED], *(int(reasons.get(r, 0)) for r in
                                                    ("stop_loss", "take_profit", "signal"))]
    rows = COMPARED + ["stop-loss exits", "take-profit exits", "signal exits"]
    table = pd.DataFrame({name: [_figure(v) for v in values] for name, values in columns.items()},
                         index=rows)
    return table.to_string()


def print_sweep(table, dated: bool, where: str) -> None:
    count = len(table)
    title = f"Sweep of the crossover over {count} window pairs (fast x slow), {where}"
    print(f"\n{title}\n{'-' * len(title)}")
    top = table.sort_values("Total Return [%]", ascending=False, kind="stable").head(5)
    print("Top five by total return:")
    print(top[TOP_COLUMNS].to_string(index=False, float_format=lambda v: f"{v:,.4f}"))
    best = table.best[0]
    print(f"\nStatistics of the best run (fast {best.params['fast']}, slow "
          f"{best.params['slow']}){'' if dated else '; the bars carry no dates, so ratios are per bar'}:")
    stats = best.stats()
    width = max(len(k) for k in stats.index)
    print("\n".join(f"{k:<{width}}  {_figure(v):>24}" for k, v in stats.items()))
    if best.bars is not None:
        print("\nThe best run with its stops on closes only, inside the bars (as swept), and "
              "filled at the\nnext open (see the README's Study section, Bars):")
        print(rules_table(best))
    print("\nFirst trades of the best run:")
    trades = best.trades[TRADE_COLUMNS].head(8)
    print(trades.to_string(index=False, float_format=lambda v: f"{v:,.4f}"))


WALK_COLUMNS = ["fold", "test_start", "test_end", "fast", "slow", "In-Sample Sharpe Ratio",
                "Out-of-Sample Sharpe Ratio", "Out-of-Sample Total Return [%]"]
WALK_FIGURES = ["Total Return [%]", "CAGR [%]", "Sharpe Ratio", "Max Drawdown [%]",
                "Total Trades", "Win Rate [%]", "SQN"]


def walk_windows(n: int) -> tuple[int, int]:
    """Training and test lengths for n bars: 30 % of them to train, then
    folds of a tenth (750 and 250 daily bars on the built-in sample)."""
    return max(2, n * 3 // 10), max(1, n // 10)


def run_walk_forward(bars: dict, dated: bool, workers: int | None, scheduler: str | None):
    from quorra.accel import study

    close = sweep_close(bars, dated)
    train, test = walk_windows(len(close))
    return study.walk_forward(crossover_strategy, SWEEP_GRID, close, train=train, test=test,
                              metric="Sharpe Ratio", settings=SWEEP_SETTINGS,
                              workers=workers, client=scheduler)


def print_walk_forward(wf) -> None:
    folds = wf.folds
    title = (f"Walk-forward of the sweep: {len(folds)} folds, each choosing by Sharpe Ratio on "
             f"its training bars and trading the next ones")
    print(f"\n{title}\n{'-' * len(title)}")
    print(folds[WALK_COLUMNS].to_string(index=False, float_format=lambda v: f"{v:,.4f}"))
    stats = wf.stats()
    print("\nOut of sample, the folds chained:")
    width = max(len(k) for k in WALK_FIGURES)
    print("\n".join(f"{k:<{width}}  {_figure(stats[k]):>24}" for k in WALK_FIGURES))


def save_sweep_plot(table, path: str) -> None:
    p = pathlib.Path(path)
    best_path = p.with_name(f"{p.stem}-sweep-best{p.suffix or '.png'}")
    table.best[0].plot(path=str(best_path))
    print(f"Figure of the best sweep run saved to {best_path}")


def save_plot(r: DemoRun, path: str) -> bool:
    try:
        import matplotlib
    except ImportError:
        print("\nPlots need matplotlib: pip install 'quorra-accel[plot]' (or pip install matplotlib).",
              file=sys.stderr)
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(3, 1, figsize=(10, 10), sharex=True)
    for name, hist in (("crossover", r.solo), ("spread", r.pair)):
        eq = report.equity_curve(hist)
        axes[0].plot(eq, label=name)
        axes[1].plot(-report.drawdown(eq), label=name)
    axes[0].set_title("Realised equity")
    axes[1].set_title("Drawdown")
    # The longer holds are mostly NaN (the next signal comes before they
    # settle), so the panel shows the short ones.
    for length, curve in zip(r.hold["bars"], r.hold["cum_profit"]):
        if length <= 20:
            axes[2].plot(curve, label=f"{length} bars", linewidth=0.8)
    axes[2].set_title("Holding-return curves of the crossover signals on A")
    axes[2].set_xlabel("bar")
    for ax in axes:
        ax.legend(loc="best", fontsize="small")
        ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"\nFigure saved to {path}")
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m quorra.accel",
        description="Run the holdreturn, solosim and spreadsim engines on a built-in sample of "
                    "two related futures (or your own bars) and print summary tables.")
    parser.add_argument("--csv", metavar="PATH",
                        help="your own bars: a CSV file with a header and columns A and B "
                             "(closing prices of the two contracts, one row per bar)")
    parser.add_argument("--plot", metavar="PATH.png",
                        help="save a figure of equity, drawdown and holding-return curves, and "
                             "the best sweep run's figure as PATH-sweep-best.png")
    parser.add_argument("--report", metavar="PATH.html", type=_html_path,
                        help="write the best sweep run's interactive report: one self-contained "
                             "HTML file (needs pip install 'quorra-accel[report]')")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", metavar="N", type=_positive,
                       help="run the sweep on N local threads (default: the machine's cores)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run the sweep on a Dask cluster, given its scheduler's address "
                            "(e.g. tcp://127.0.0.1:8786; needs pip install 'quorra-accel[dask]')")
    args = parser.parse_args(argv)
    if args.csv:
        try:
            bars = read_bars(args.csv)
        except BarsFileError as e:
            print(f"error: {e}", file=sys.stderr)
            return 2
        source = args.csv
    else:
        bars = sample.sample_bars()
        source = f"the built-in sample (seed {sample.SEED})"
    r = run(bars)
    print_report(r, source)
    dated = not args.csv
    try:
        table = run_sweep(bars, dated, args.workers, args.scheduler,
                          None if args.csv else sample.sample_ohlc(len(bars["A"])))
    except ImportError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    except (OSError, TimeoutError) as e:
        print(f"error: cannot run the sweep on the Dask scheduler at {args.scheduler}: {e}",
              file=sys.stderr)
        return 2
    if table is not None:
        where = (f"on the Dask scheduler at {args.scheduler}" if args.scheduler else
                 f"on {args.workers or os.cpu_count() or 1} local thread(s)")
        print_sweep(table, dated, where)
        print_walk_forward(run_walk_forward(bars, dated, args.workers, args.scheduler))
    if args.plot:
        if save_plot(r, args.plot) and table is not None:
            save_sweep_plot(table, args.plot)
    if args.report and table is not None:
        try:
            path = table.best[0].report(args.report)
        except ImportError as e:
            print(f"error: {e}", file=sys.stderr)
            return 2
        print(f"Report of the best sweep run written to {path}")
    return 0


def _html_path(text: str) -> str:
    if pathlib.PurePath(text).suffix.lower() not in (".html", ".htm"):
        raise argparse.ArgumentTypeError(f"must end in .html or .htm, got {text!r}")
    return text


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text!r}")
    return value
