"""Throughput of solosim.from_signals in bar x contract cells per second.

Scenarios: (a) 1,000,000 bars x 10 contracts, (b) 10,000 bars x 1,000
contracts, both with 1 % entry and 1 % exit signal density and a fixed
stop-loss and take-profit; (c) scenario (a) with a native stop-loss callback
compiled from bench/stop_callback.c with cc at run time.

Run: python bench/bench_solosim.py [--repeat N]
"""

import argparse
import ctypes
import pathlib
import subprocess
import tempfile
import time

import numpy as np

from quorra.accel import solosim

HERE = pathlib.Path(__file__).resolve().parent


def make_inputs(n, m, seed=7, density=0.01):
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0, 2.0, size=(n, m))
    close = 4000.0 + np.cumsum(steps, axis=0)
    entries = np.where(rng.random((n, m)) < density, rng.choice([-1.0, 1.0], size=(n, m)), 0.0)
    exits = np.where(rng.random((n, m)) < density, rng.choice([-1.0, 1.0], size=(n, m)), 0.0)
    return close, entries, exits


def settings():
    # Scalars apply to every contract.
    return dict(size=1, size_type=0, margin_rate=0.1, price_tick=1.0, volume_multiple=10.0,
                commission=1.0, com_type=1, init_cash=1e9, sl_stop=20.0, tp_stop=40.0,
                stop_mode=0)


def compile_callback(workdir):
    src = HERE / "stop_callback.c"
    lib = pathlib.Path(workdir) / "stop_callback.so"
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", str(lib), str(src)], check=True)
    dll = ctypes.CDLL(str(lib))
    return dll, ctypes.cast(dll.tightening_stop, ctypes.c_void_p).value


def measure(label, close, entries, exits, repeat, **extra):
    n, m = close.shape
    kwargs = settings()
    kwargs.update(extra)
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        solosim.from_signals(close, entries, exits, **kwargs)
        best = min(best, time.perf_counter() - start)
    cells = n * m
    print(f"{label:<48} {n:>9} x {m:<5} {best * 1e3:9.1f} ms  {cells / best / 1e6:8.1f} M cells/s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    a = make_inputs(1_000_000, 10)
    measure("(a) 1e6 bars x 10, sl+tp", *a, args.repeat)
    b = make_inputs(10_000, 1_000)
    measure("(b) 1e4 bars x 1000, sl+tp", *b, args.repeat)
    with tempfile.TemporaryDirectory() as tmp:
        dll, address = compile_callback(tmp)
        measure("(c) (a) + native stop-loss callback", *a, args.repeat,
                sl_callback_addr=address, sl_callback_args=(20.0, 8.0, 30.0))
        del dll
    print(f"(best of {args.repeat}; numpy {np.__version__})")


if __name__ == "__main__":
    main()
