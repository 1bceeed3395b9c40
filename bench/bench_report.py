"""The HTML reports' costs: writing them and loading them in a browser.

(1) Backtest.report of 100,000 hourly bars x 2 contracts, random signals on
    1 % of the bars, stops: time to write, file size, and the time headless Chromium
    takes from navigation to every figure drawn (network off).
(2) SweepResult.report of a 20 x 10 grid (200 configurations, 19 metrics in
    the menu): time to write, size, time to draw.

Run: python bench/bench_report.py [--small]
(--small shrinks every size, to check the script, not to measure.)
"""

import argparse
import pathlib
import sys
import tempfile
import time

import numpy as np
import pandas as pd

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
import browser_support  # noqa: E402

from quorra.accel import study  # noqa: E402

READY = ("document.querySelectorAll('.js-plotly-plot').length > 0 && Array.from("
         "document.querySelectorAll('.js-plotly-plot')).every(d => d.querySelector('.main-svg'))")


def flips(close, every, offset=0):
    n, m = np.shape(close)
    side = np.where(((np.arange(n) + offset) // every) % 2 == 0, 1.0, -1.0)
    entries = np.repeat(side[:, None], m, axis=1)
    entries[1:][entries[1:] == entries[:-1]] = 0.0
    return entries, np.zeros_like(entries)


def make_close(n, m=2, seed=5):
    rng = np.random.default_rng(seed)
    prices = np.round(1000.0 + np.cumsum(rng.normal(0.0, 2.0, (n, m)), axis=0))
    return pd.DataFrame(prices, index=pd.date_range("2000-01-03", periods=n, freq="h"),
                        columns=[f"c{j}" for j in range(m)])


def measure(label, write, path):
    start = time.perf_counter()
    write(path)
    wrote = time.perf_counter() - start
    start = time.perf_counter()
    if browser_support.CHROMIUM is not None:
        page = browser_support.open_page(path, "document.title", ready=READY, timeout=300)
        drawn = f"{time.perf_counter() - start:.2f} s to draw (browser start included)"
        assert not page.errors, page.errors
    else:
        drawn = "no chromium to draw it"
    print(f"{label}: {wrote:.2f} s to write, {path.stat().st_size / 1e6:.1f} MB, {drawn}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--small", action="store_true")
    args = parser.parse_args()
    n, every = (2_000, 20) if args.small else (100_000, 100)
    close = make_close(n)
    rng = np.random.default_rng(9)
    signs = lambda: np.where(rng.random(close.shape) < 1.0 / every,
                             rng.choice([-1.0, 1.0], close.shape), 0.0)
    bt = study.backtest(close, signs(), signs(), volume_multiple=10.0, commission=1.0,
                        sl_stop=20.0, tp_stop=40.0)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        measure(f"(1) backtest of {n:,} x 2 bars, {len(bt.trades):,} trades", bt.report,
                tmp / "bt.html")
        grid = {"every": list(range(5, 25)) if not args.small else [5, 9],
                "offset": list(range(10)) if not args.small else [0, 1]}
        table = study.sweep(flips, grid, close.iloc[:20_000], progress=False)
        measure(f"(2) sweep of {len(table)} configurations", table.report, tmp / "sweep.html")


if __name__ == "__main__":
    main()
