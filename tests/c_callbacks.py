"""Native stop callbacks written in C, compiled once per test session with the
system's C compiler (tests that need them skip where there is none)."""

import ctypes
import pathlib
import shutil
import subprocess

SOURCE = r"""
#include <stdint.h>
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
