"""Native stop callbacks written in C, compiled once per test session with the
system's C compiler (tests that need them skip where there is none)."""

import ctypes
import pathlib
import shutil
import subprocess

SOURCE = r"""
#include <errno.h>
#include <stdint.h>
#include <time.h>
#include <unistd.h>

/* A stop args[0] ticks from the reference (none without arguments). */
double fixed_stop(int64_t bar, int64_t direction, double entry_price, double price,
                  double ref_price, double distance, double tick, double multiple,
                  double size, const double *args, int64_t n_args) {
  return n_args > 0 ? args[0] * tick : 0.0;
}

/* Sleeps args[0] microseconds (100 without arguments) and keeps the stop
   far away. */
double sleepy_stop(int64_t bar, int64_t direction, double entry_price, double price,
                   double ref_price, double distance, double tick, double multiple,
                   double size, const double *args, int64_t n_args) {
  usleep(n_args > 0 ? (useconds_t)args[0] : 100);
  return 1000.0 * tick;
}

/* Sleeps args[0] microseconds whatever signals arrive meanwhile (a signal
   cuts usleep short), keeps the stop far away, and counts its calls in
   sleepy_calls, for a test to read while a run is under way. */
int64_t sleepy_calls = 0;

double counted_sleepy_stop(int64_t bar, int64_t direction, double entry_price, double price,
                           double ref_price, double distance, double tick, double multiple,
                           double size, const double *args, int64_t n_args) {
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  const long long ns = until.tv_nsec + 1000LL * (long long)(n_args > 0 ? args[0] : 100);
  until.tv_sec += ns / 1000000000LL;
  until.tv_nsec = ns % 1000000000LL;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
  }
  __atomic_add_fetch(&sleepy_calls, 1, __ATOMIC_SEQ_CST);
  return 1000.0 * tick;
}
"""


def build(directory):
    """Compiles the callbacks into `directory`; returns the library's path, or
    None when no C compiler is found."""
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if cc is None:
        return None
    directory = pathlib.Path(directory)
    src = directory / "stop_callbacks.c"
    lib = directory / "stop_callbacks.so"
    src.write_text(SOURCE)
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", str(lib), str(src)], check=True)
    return lib


def address(lib, name):
    """The address of function `name` in the loaded library `lib`."""
    return ctypes.cast(getattr(lib, name), ctypes.c_void_p).value
