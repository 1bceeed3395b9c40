"""Callback addresses: 0 is no callback, executable code is called, anything
else is refused before the run instead of being jumped to."""

import ctypes
import re

import numpy as np
import pytest

import c_callbacks
from quorra.accel import solosim
from support import STOP_CALLBACK

# A long entered at 100.0 on bar 0; the prices fall to 96.0 on bar 3.
CLOSE = np.array([[100.0], [99.5], [99.0], [96.0], [95.0]])
ENTRIES = np.array([[1.0], [0.0], [0.0], [0.0], [0.0]])
EXITS = np.zeros((5, 1))
SETTINGS = dict(margin_rate=0.1, price_tick=1.0, volume_multiple=5.0, commission=1.0)


def position_column(**kwargs):
    (hist,) = solosim.from_signals(CLOSE, ENTRIES, EXITS, **SETTINGS, **kwargs)
    return hist[:, 1].tolist()


@pytest.mark.parametrize("param", ["sl_callback_addr", "tp_callback_addr"])
@pytest.mark.parametrize("address", [1, True, -1, 2**63 - 1, "object id", "array data"])
def test_an_address_that_is_not_code_is_refused(param, address):
    keep = np.zeros(4)
    if address == "object id":
        address = id(object())
    elif address == "array data":
        address = keep.ctypes.data
    shown = f"0x{address % 2**64:x}"
    text = f"{param} {shown} is not the address of executable code"
    with pytest.raises(ValueError, match=f"^{re.escape(text)}$"):
        solosim.from_signals(CLOSE, ENTRIES, EXITS, **SETTINGS, **{param: address})


def test_zero_is_no_callback():
    assert position_column(sl_callback_addr=0, tp_callback_addr=0) == [1.0] * 5


def test_a_c_function_from_a_shared_library(c_stops):
    address = c_callbacks.address(c_stops, "fixed_stop")
    # A stop 2 ticks below the reference closes the long at 98.0 on bar 3.
    got = position_column(sl_callback_addr=address, sl_callback_args=(2.0,))
    assert got == [1.0, 1.0, 1.0, 0.0, 0.0]


def test_a_ctypes_callback():
    calls = []

    @STOP_CALLBACK
    def stop(bar, direction, entry, price, ref, distance, tick, multiple, size, args, n):
        calls.append(bar)
        return 2.0 * tick

    address = ctypes.cast(stop, ctypes.c_void_p).value
    assert position_column(sl_callback_addr=address) == [1.0, 1.0, 1.0, 0.0, 0.0]
    assert calls == [1, 2, 3]


def test_a_numba_cfunc():
    numba = pytest.importorskip("numba")
    t = numba.types
    signature = t.double(t.int64, t.int64, t.double, t.double, t.double, t.double, t.double,
                         t.double, t.double, t.CPointer(t.double), t.int64)

    @numba.cfunc(signature)
    def stop(bar, direction, entry, price, ref, distance, tick, multiple, size, args, n):
        return 2.0 * tick

    assert position_column(sl_callback_addr=stop.address) == [1.0, 1.0, 1.0, 0.0, 0.0]


# ---- the known executable ranges ----

@pytest.mark.parametrize("engine", ["from_signals", "ledger.solo"])
def test_mappings_made_after_earlier_checks_are_judged_by_their_own_rights(c_stops, engine):
    import mmap

    from quorra.accel import ledger
    run = solosim.from_signals if engine == "from_signals" else ledger.solo
    no_entries = np.zeros_like(ENTRIES)  # the address is checked, never called
    # A check of code already mapped: its ranges are known from then on.
    run(CLOSE, no_entries, EXITS, **SETTINGS,
        sl_callback_addr=c_callbacks.address(c_stops, "fixed_stop"))
    pages, keep = [], []
    try:
        for extra in (mmap.PROT_EXEC, 0):
            pages.append(mmap.mmap(-1, mmap.PAGESIZE,
                                   prot=mmap.PROT_READ | mmap.PROT_WRITE | extra))
            keep.append(ctypes.c_char.from_buffer(pages[-1]))
        code, data = (ctypes.addressof(k) for k in keep)
        run(CLOSE, no_entries, EXITS, **SETTINGS, sl_callback_addr=code)
        text = f"sl_callback_addr 0x{data:x} is not the address of executable code"
        with pytest.raises(ValueError, match=f"^{re.escape(text)}$"):
            run(CLOSE, no_entries, EXITS, **SETTINGS, sl_callback_addr=data)
    finally:
        del keep[:]
        for page in pages:
            page.close()
