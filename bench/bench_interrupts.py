"""How soon Ctrl-C ends a long call: SIGINT sent by another process half a
second into each run, and the time from the signal to KeyboardInterrupt.

Runs: from_signals on 20,000,000 bars x 2 contracts; from_signals and
ledger.solo with a native stop-loss callback that sleeps 1 ms a bar, and one
that sleeps 200 ms (the signal comes during a callback: the figure is the
rest of that callback and the check after it); pair_from_signals and
ledger.pair on 20,000,000 bars; ledger.solo on 20,000,000 x 2;
calc_holdreturn on 4,000,000 bars with a 20,000-bar holding length. Each run
is a fresh process.

Run: python bench/bench_interrupts.py [--repeat N]
"""

import argparse
import pathlib
import subprocess
import sys
import tempfile
import textwrap

HERE = pathlib.Path(__file__).resolve().parent

PRELUDE = """
import ctypes, os, signal, subprocess, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started with it ignored
import numpy as np
from quorra.accel import holdreturn, ledger, solosim, spreadsim

def interrupt_after(delay):
    code = ("import os, signal, sys, time; time.sleep(float(sys.argv[1])); "
            "print(time.monotonic(), flush=True); os.kill(int(sys.argv[2]), signal.SIGINT)")
    return subprocess.Popen([sys.executable, "-c", code, str(delay), str(os.getpid())],
                            stdout=subprocess.PIPE, text=True)

flat = dict(margin_rate=0.1, price_tick=1.0, volume_multiple=5.0, commission=1.0)
n = 20_000_000
"""

RUNS = {
    "from_signals 2e7 x 2": """
        close = np.broadcast_to(np.array([100.0, 50.0]), (n, 2))
        signals = np.zeros((n, 2)); signals[::50] = 1.0; signals[25::50] = -1.0
        call = lambda: solosim.from_signals(close, signals, signals, **flat, sl_stop=5.0)
    """,
    "from_signals, 1 ms native callback": """
        lib = ctypes.CDLL(sys.argv[1])
        address = ctypes.cast(lib.slow_stop, ctypes.c_void_p).value
        close = np.full((100_000, 1), 100.0)
        entries = np.zeros((100_000, 1)); entries[0] = 1.0
        call = lambda: solosim.from_signals(close, entries, entries * 0, **flat,
                                            sl_callback_addr=address)
    """,
    "from_signals, 200 ms native callback": """
        lib = ctypes.CDLL(sys.argv[1])
        address = ctypes.cast(lib.slower_stop, ctypes.c_void_p).value
        close = np.full((1000, 1), 100.0)
        entries = np.zeros((1000, 1)); entries[0] = 1.0
        call = lambda: solosim.from_signals(close, entries, entries * 0, **flat,
                                            sl_callback_addr=address)
    """,
    "ledger.solo, 1 ms native callback": """
        lib = ctypes.CDLL(sys.argv[1])
        address = ctypes.cast(lib.slow_stop, ctypes.c_void_p).value
        close = np.full((100_000, 1), 100.0)
        entries = np.zeros((100_000, 1)); entries[0] = 1.0
        call = lambda: ledger.solo(close, entries, entries * 0, sl_callback_addr=address)
    """,
    "ledger.solo, 200 ms native callback": """
        lib = ctypes.CDLL(sys.argv[1])
        address = ctypes.cast(lib.slower_stop, ctypes.c_void_p).value
        close = np.full((1000, 1), 100.0)
        entries = np.zeros((1000, 1)); entries[0] = 1.0
        call = lambda: ledger.solo(close, entries, entries * 0, sl_callback_addr=address)
    """,
    "pair_from_signals 2e7": """
        pair = np.broadcast_to(np.array([100.0, 50.0]), (n, 2))
        entries = np.zeros(n); entries[::50] = 1.0
        exits = -entries
        call = lambda: spreadsim.pair_from_signals(pair, entries, exits, sl_stop=5.0, sl_trail=1)
    """,
    "ledger.solo 2e7 x 2": """
        close = np.broadcast_to(np.array([100.0, 50.0]), (n, 2))
        signals = np.zeros((n, 2)); signals[::50] = 1.0; signals[25::50] = -1.0
        call = lambda: ledger.solo(close, signals, signals, sl_stop=5.0)
    """,
    "ledger.pair 2e7": """
        pair = np.broadcast_to(np.array([100.0, 50.0]), (n, 2))
        entries = np.zeros(n); entries[::50] = 1.0
        exits = -entries
        call = lambda: ledger.pair(pair, entries, exits, sl_stop=5.0, sl_trail=1)
    """,
    "calc_holdreturn 4e6, hold 20,000": """
        close = 100.0 + np.sin(np.arange(4_000_000) / 50.0)
        signals = np.zeros(4_000_000); signals[::100] = 1.0
        call = lambda: holdreturn.calc_holdreturn(signals, close, [20_000])
    """,
}

MAIN = """
sender = interrupt_after(0.5)
try:
    call()
except KeyboardInterrupt:
    caught = time.monotonic()
    print(caught - float(sender.communicate()[0]))
else:
    print("finished")
"""

# The callbacks sleep through signals (a signal cuts usleep short, which
# would end a callback at the signal and hide the delay being measured).
SLOW_STOP = r"""
#include <errno.h>
#include <stdint.h>
#include <time.h>
static void sleep_through(long us) {
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  long long ns = until.tv_nsec + 1000LL * us;
  until.tv_sec += ns / 1000000000LL;
  until.tv_nsec = ns % 1000000000LL;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
  }
}
double slow_stop(int64_t bar, int64_t direction, double entry_price, double price,
                 double ref_price, double distance, double tick, double multiple,
                 double size, const double *args, int64_t n_args) {
  sleep_through(1000);
  return 1000.0 * tick;
}
double slower_stop(int64_t bar, int64_t direction, double entry_price, double price,
                   double ref_price, double distance, double tick, double multiple,
                   double size, const double *args, int64_t n_args) {
  sleep_through(200000);
  return 1000.0 * tick;
}
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        src, lib = pathlib.Path(tmp) / "slow.c", pathlib.Path(tmp) / "slow.so"
        src.write_text(SLOW_STOP)
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", str(lib), str(src)], check=True)
        for name, body in RUNS.items():
            script = PRELUDE + textwrap.dedent(body) + MAIN
            seen = []
            for _ in range(args.repeat):
                out = subprocess.run([sys.executable, "-c", script, str(lib)],
                                     capture_output=True, text=True, check=True).stdout.strip()
                seen.append(out if out == "finished" else f"{float(out) * 1e3:.1f} ms")
            print(f"{name:<38} SIGINT to KeyboardInterrupt: {', '.join(seen)}")


if __name__ == "__main__":
    main()
