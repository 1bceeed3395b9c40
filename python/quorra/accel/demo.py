"""The package's main job: run the three engines on a sample and report.

``python -m quorra.accel`` trades a moving-average crossover on two futures
contracts with ``solosim.from_signals``, a z-score spread of the same two
contracts with ``spreadsim.pair_from_signals``, and measures the crossover
signals with ``holdreturn.calc_holdreturn``.
"""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass

import numpy as np

from quorra.accel import holdreturn, report, sample, solosim, spreadsim
from quorra.accel.bars_csv import BarsFileError, read_bars

HOLD_LENGTHS = [1, 5, 10, 20, 60]

# Contract terms shared by both strategies: tick 1.0, 10 units a lot,
# 10 % margin, 2.0 commission per lot.
TERMS = dict(margin_rate=0.1, price_tick=1.0, volume_multiple=10.0, commission=2.0, com_type=1)


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
                        help="save a figure of equity, drawdown and holding-return curves")
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
    if args.plot:
        save_plot(r, args.plot)
    return 0
