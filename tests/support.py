"""Helpers shared by the test modules: the outcome of a call, exact bit
comparison of float64 arrays, native stop callbacks made with ctypes, random
closes and the sample bars, and scripts run in a fresh interpreter."""

import ctypes
import signal
import subprocess
import sys

import numpy as np

# double callback(int64 bar, int64 direction, double entry_price,
#                 double current_price, double ref_price, double current_distance,
#                 double price_tick, double volume_multiple, double size,
#                 const double* args, int64 n_args)
STOP_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_int64, ctypes.c_int64,
                                 *[ctypes.c_double] * 7, ctypes.POINTER(ctypes.c_double),
                                 ctypes.c_int64)


def native_callback(fn):
    """(ctypes callback around `fn`, its address). Keep the callback alive
    while the engine may call the address."""
    cfunc = STOP_CALLBACK(fn)
    return cfunc, ctypes.cast(cfunc, ctypes.c_void_p).value


def random_walk(n, m, seed, step, start=100.0):
    """(n, m) closes: a random walk from `start` by normal steps of deviation
    `step`, rounded to whole points."""
    rng = np.random.default_rng(seed)
    return np.round(start + np.cumsum(rng.normal(0.0, step, (n, m)), axis=0))


def sample_close(n, start="2021-01-01", freq="D"):
    """The package's sample bars of `n` periods from `start`, as a frame
    (for the study tests: pandas is imported here)."""
    import pandas as pd
    from quorra.accel import sample

    return pd.DataFrame(sample.sample_bars(n), index=pd.date_range(start, periods=n, freq=freq))


def outcome(fn, *args, **kwargs):
    """("ok", result) or ("raised", exception type, text)."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as exc:  # every exception is compared, none expected
        return ("raised", type(exc), str(exc))


def same_bits(a, b):
    """Equal shapes and equal bytes as float64, NaN payloads and the sign of
    zero included."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    b = np.ascontiguousarray(b, dtype=np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def assert_same_outcome(got, want, compare):
    """Both raised the same exception type with the same text, or both
    returned and `compare(got, want)` holds."""
    if got[0] == "raised" or want[0] == "raised":
        assert got[0] == want[0] == "raised", (got, want)
        assert got[1:] == want[1:]
        return
    compare(got[1], want[1])


def assert_same_arrays(got, want):
    """`got` is a list of C-contiguous float64 ndarrays, as many as `want`
    has, each bit for bit equal to its counterpart."""
    assert type(got) is list and len(got) == len(want)
    for g, w in zip(got, want):
        assert type(g) is np.ndarray and g.dtype == np.float64 and g.flags.c_contiguous
        assert same_bits(g, w)


# First lines of a script that is to be interrupted: a process started with
# SIGINT ignored (under nohup, or as a background job of a shell) inherits
# that and would never raise KeyboardInterrupt.
RESTORE_SIGINT = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"


def run_script(script, *argv, sigint_ignored=False, timeout=120):
    """Runs `script` with `argv` in a fresh interpreter, SIGINT ignored when
    asked (as a nohup or background start leaves it); the CompletedProcess,
    its output as text."""
    def ignore_sigint():
        signal.signal(signal.SIGINT, signal.SIG_IGN)

    return subprocess.run([sys.executable, "-c", script, *map(str, argv)], capture_output=True,
                          text=True, timeout=timeout,
                          preexec_fn=ignore_sigint if sigint_ignored else None)
