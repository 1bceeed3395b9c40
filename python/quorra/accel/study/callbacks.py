"""Native stop callbacks handed to the ledger as addresses.

A callback may be a numba ``cfunc`` (its ``.address``), a ctypes function
object (the address of its code) or a plain integer address. The backtest
keeps the object referenced for as long as its result lives, so a callback
made inline is not collected while the engine may call it.
"""

from __future__ import annotations

import ctypes
import math
import numbers
import threading
from _ctypes import CFuncPtr  # the base of every ctypes function object

# double callback(int64 bar, int64 direction, double entry_price,
#                 double current_price, double ref_price, double current_distance,
#                 double price_tick, double volume_multiple, double size,
#                 const double* args, int64 n_args)
_STOP_PROTOTYPE = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_int64, ctypes.c_int64,
                                   *[ctypes.c_double] * 7, ctypes.POINTER(ctypes.c_double),
                                   ctypes.c_int64)


class _Guard:
    """Calls the Python function of a stop callback so that nothing it raises
    reaches ctypes (which would print it, hand the engine an undefined number
    and let the run go on): the first exception on a thread is recorded,
    that call and every later one returns NaN at once, so the rest of the
    run is native work only, and its result is thrown away.

    (Raising the interrupt again for the engine to end the run sooner does
    not work from here: the engines check for interrupts only once a
    millisecond has passed, and a signal still pending at the next
    callback's entry is handled there, where ctypes can only print it.)"""

    def __init__(self, function):
        self.function = function
        self.local = threading.local()

    def __call__(self, *args):
        if getattr(self.local, "error", None) is not None:
            return math.nan
        try:
            value = self.function(*args)
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError(f"a stop callback must return a number, not "
                                f"{type(value).__name__}")
            return float(value)
        except BaseException as exc:  # every kind, Ctrl-C included, ends the run
            self.local.error = exc
            return math.nan


class _Guarded:
    """The methods of the stop-callback type (see STOP_CALLBACK)."""

    __slots__ = ()

    def __new__(cls, *args):
        if len(args) == 1 and callable(args[0]) and not isinstance(args[0], (int, CFuncPtr)):
            guard = _Guard(args[0])
            self = super().__new__(cls, guard)
            self._guard = guard
            return self
        return super().__new__(cls, *args)

    @property
    def error(self):
        """The exception recorded on this thread since the last ``clear()``."""
        guard = getattr(self, "_guard", None)
        return None if guard is None else getattr(guard.local, "error", None)

    def clear(self) -> None:
        guard = getattr(self, "_guard", None)
        if guard is not None:
            guard.local.error = None


# Made by its metaclass rather than a class statement, so that type checkers
# (and the stub checker) see a ctypes function type, as they do for a
# CFUNCTYPE, not a class of their own.
STOP_CALLBACK: type[CFuncPtr] = type(_STOP_PROTOTYPE)(
    "STOP_CALLBACK", (_Guarded, _STOP_PROTOTYPE), {
        "__doc__": """The ctypes type of a stop callback. Made from a Python function
    (``STOP_CALLBACK(fn)``), it guards the function: what the function
    raises (KeyboardInterrupt included), or a result that is not a number,
    is kept in ``.error`` (of the calling thread) and the callback answers
    NaN from then on; ``study.backtest`` and sweeps raise it with nothing of
    the run kept. Passed as an address to an engine directly, the run
    returns, made with NaN answers after the failure: check ``.error``
    after the call.""",
        "__module__": __name__,
        "_flags_": _STOP_PROTOTYPE._flags_,
        "_restype_": _STOP_PROTOTYPE._restype_,
        "_argtypes_": _STOP_PROTOTYPE._argtypes_,
    })


def clear_errors(objects) -> None:
    for cb in objects:
        if isinstance(cb, _Guarded):
            cb.clear()


def raise_recorded(objects, during=None) -> None:
    """Raises the first exception a guarded callback recorded on this thread
    (clearing it), so the run's result or the engine's own exception (the
    interrupt the guard raised) gives way to it."""
    for cb in objects:
        if isinstance(cb, _Guarded) and cb.error is not None:
            exc = cb.error
            cb.clear()
            raise exc.with_traceback(exc.__traceback__) from None

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


_STOP_KINDS = ([_kind(_STOP_PROTOTYPE._restype_)],
               [_kind(t) for t in _STOP_PROTOTYPE._argtypes_])


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
