"""What the study layer adds to a backtest with bars.

  (a) ledger.solo with open/high/low, 1,000,000 bars x 10 contracts, 1 %
      entries and exits, stop-loss, take-profit and trailing;
  (b) ledger.solo on the same values as DataFrames hold them: pandas keeps
      a frame's columns apart (column-major), which a loop over bars reads
      with a stride of one column;
  (c) study.backtest on those DataFrames (labels checked, the bars kept for
      the figure) against (b): what the study layer adds;
  (d) study.backtest(fill="next_open") against (c): the signals moved one
      bar on (two copies) and the fills at the opens.

Run: python bench/bench_study_bars.py [--repeat N]
"""

import argparse

import numpy as np
import pandas as pd

from bench_holdreturn import best_of  # this folder is on the path
from bench_ledger import N, M, SETTINGS, show, solo_inputs
from quorra.accel import ledger, study

BAR_SETTINGS = dict(SETTINGS, sl_trail=1)


def with_bars(close, seed=11):
    """Open near the previous close; high and low beyond open and close."""
    rng = np.random.default_rng(seed)
    before = np.vstack([close[:1], close[:-1]])
    open_ = before * (1.0 + rng.normal(0.0, 2e-4, close.shape))
    reach = np.abs(rng.normal(0.0, 3e-4, (2, *close.shape)))
    high = np.maximum(open_, close) * (1.0 + reach[0])
    low = np.minimum(open_, close) * (1.0 - reach[1])
    return open_, high, low


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    close, entries, exits = solo_inputs()
    open_, high, low = with_bars(close)
    bars = dict(open=open_, high=high, low=low)
    t_ledger = best_of(args.repeat, lambda: ledger.solo(close, entries, exits, **bars,
                                                       **BAR_SETTINGS))
    show("(a) ledger.solo 1e6 x 10 with bars, sl+tp+trail", t_ledger,
         f"{N * M / t_ledger / 1e6:7.1f} M cells/s")
    index = pd.date_range("2000-01-01", periods=N, freq="min")
    frame = lambda a: pd.DataFrame(a, index=index, columns=[f"c{j}" for j in range(M)])
    frames = {k: frame(v) for k, v in bars.items()}
    c, e, x = frame(close), frame(entries), frame(exits)
    held = {k: v.to_numpy() for k, v in frames.items()}
    t_held = best_of(args.repeat, lambda: ledger.solo(c.to_numpy(), e.to_numpy(), x.to_numpy(),
                                                     **held, **BAR_SETTINGS))
    show("(b) ledger.solo on the DataFrames' column-major values", t_held,
         f"{t_held / t_ledger:5.2f}x (a)")
    t_study = best_of(args.repeat, lambda: study.backtest(c, e, x, **frames, **BAR_SETTINGS))
    show("(c) study.backtest on the DataFrames", t_study, f"{t_study / t_held:5.2f}x (b)")
    t_next = best_of(args.repeat, lambda: study.backtest(c, e, x, fill="next_open", **frames,
                                                         **BAR_SETTINGS))
    show("(d) study.backtest(fill='next_open')", t_next, f"{t_next / t_study:5.2f}x (c)")

if __name__ == "__main__":
    main()
