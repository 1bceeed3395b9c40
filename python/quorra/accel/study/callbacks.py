"""Native stop callbacks handed to the ledger as addresses.

A callback may be a numba ``cfunc`` (its ``.address``), a ctypes function
object (the address of its code) or a plain integer address. The backtest
keeps the object referenced for as long as its result lives, so a callback
made inline is not collected while the engine may call it.
"""

from __future__ import annotations

import ctypes
from _ctypes import CFuncPtr  # the base of every ctypes function object

# double callback(int64 bar, int64 direction, double entry_price,
#                 double current_price, double ref_price, double current_distance,
#                 double price_tick, double volume_multiple, double size,
#                 const double* args, int64 n_args)
STOP_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_int64, ctypes.c_int64,
                                 *[ctypes.c_double] * 7, ctypes.POINTER(ctypes.c_double),
                                 ctypes.c_int64)

# The same type as a numba signature: numba.cfunc(STOP_SIGNATURE)(fn).
STOP_SIGNATURE = ("float64(int64, int64, float64, float64, float64, float64, float64, "
                  "float64, float64, CPointer(float64), int64)")


def _kind(t):
    """A ctypes type reduced to what the call depends on: integer, float or
    pointer, and the width."""
    if issubclass(t, ctypes._Pointer):
        return ("pointer", _kind(t._type_))
    code = getattr(t, "_type_", None)
    if not isinstance(code, str):
        return ("other", t)
    family = "float" if code in "fdg" else "int" if code in "bBhHiIlLqQ?" else code
    return (family, ctypes.sizeof(t))


_STOP_KINDS = ([_kind(STOP_CALLBACK._restype_)], [_kind(t) for t in STOP_CALLBACK._argtypes_])


def _check_prototype(name: str, restype, argtypes) -> None:
    # A foreign function with no declared argument types (a CDLL export)
    # is taken at its word; a declared prototype has to be the stop type.
    if argtypes is None:
        return
    kinds = ([_kind(restype)] if restype is not None else [None],
             [_kind(t) for t in argtypes])
    if kinds != _STOP_KINDS:
        raise TypeError(f"{name} has the wrong prototype for a stop callback; expected "
                        f"double(int64, int64, 7 x double, double*, int64), as "
                        f"study.STOP_CALLBACK or numba's study.STOP_SIGNATURE")


def address(name: str, callback) -> int:
    """The code address of `callback` (0 for None)."""
    if callback is None:
        return 0
    if isinstance(callback, bool):
        raise TypeError(f"{name} must be a numba cfunc, a ctypes function or an address, "
                        f"not bool")
    if isinstance(callback, int):
        if callback < 0:
            raise ValueError(f"{name} address must not be negative, got {callback}")
        return callback
    if isinstance(callback, CFuncPtr):
        _check_prototype(name, callback.restype, callback.argtypes)
        return ctypes.cast(callback, ctypes.c_void_p).value or 0
    if hasattr(callback, "address") and hasattr(callback, "ctypes"):  # numba cfunc
        proto = callback.ctypes
        _check_prototype(name, proto.restype, proto.argtypes)
        return int(callback.address)
    raise TypeError(f"{name} must be a numba cfunc, a ctypes function or an address, not "
                    f"{type(callback).__name__}")
