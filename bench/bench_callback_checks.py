"""What the check of a callback address costs a small call: ledger.solo and
solosim.from_signals on 100 bars x 1 contract, without a callback and with
a native stop-loss callback (C, built by the script), with numba imported
(its compiler's libraries make the process's memory map long), in
microseconds per call.

Run: python bench/bench_callback_checks.py [--calls N]
"""

import argparse
import tempfile
import time

import numpy as np

from bench_solosim import compile_callback  # this folder is on the path
from quorra.accel import ledger, solosim

try:
    import numba  # noqa: F401  (loaded for its memory map only)
    WITH = "numba loaded"
except ImportError:
    WITH = "numba not installed"


def per_call(f, calls, *args, **kwargs):
    f(*args, **kwargs)
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(calls):
            f(*args, **kwargs)
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()
    close = 100.0 + np.sin(np.arange(100.0))[:, None]
    entries = np.zeros((100, 1))
    entries[::10] = 1.0
    exits = np.zeros((100, 1))
    flat = dict(margin_rate=0.1, price_tick=1.0, volume_multiple=5.0, commission=1.0)
    with tempfile.TemporaryDirectory() as tmp:
        dll, address = compile_callback(tmp)
        for name, f in (("ledger.solo", ledger.solo), ("from_signals", solosim.from_signals)):
            bare = per_call(f, args.calls, close, entries, exits, **flat)
            with_cb = per_call(f, args.calls, close, entries, exits, **flat,
                               sl_callback_addr=address, sl_callback_args=(20.0, 8.0, 30.0))
            print(f"{name:<13} 100 x 1: {bare * 1e6:8.1f} us without a callback, "
                  f"{with_cb * 1e6:8.1f} us with one ({WITH})")
        del dll


if __name__ == "__main__":
    main()
