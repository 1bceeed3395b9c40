"""Shared pieces of the differential property tests: the Hypothesis profile,
array layouts and the drawn signals and prices (the comparisons are in
support.py).

HYPOTHESIS_PROFILE=long (or soak) runs many more examples per property:

    HYPOTHESIS_PROFILE=long python -m pytest -q tests/test_properties_*.py
"""

import math
import os

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

settings.register_profile(
    "quick", max_examples=150, deadline=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("long", parent=settings.get_profile("quick"), max_examples=5000)
settings.register_profile("soak", parent=settings.get_profile("quick"), max_examples=100000)
PROFILE = settings.get_profile(os.environ.get("HYPOTHESIS_PROFILE", "quick"))

NAN = math.nan
INF = math.inf


class Row(np.ndarray):
    """An ndarray subclass: the engines read it through Python indexing."""


def laid_out(values, dtype, layout):
    """`values` (an array or nested list) as an array of `dtype` in
    `layout`, holding the same logical elements in every layout."""
    with np.errstate(invalid="ignore"):
        base = np.array(values, dtype=dtype)
    if layout == "C":
        return base
    if layout == "F":
        return np.asfortranarray(base)
    if layout == "strided":  # every second row of a twice as long array
        big = np.repeat(base, 2, axis=0) if base.ndim else base
        return big[::2]
    if layout == "reversed":
        return base[::-1].copy()[::-1]
    if layout == "readonly":
        base.setflags(write=False)
        return base
    if layout == "unaligned":  # a field of a packed record array
        rec = np.zeros(base.shape, dtype=[("pad", "u1"), ("v", base.dtype)])
        rec["v"] = base
        return rec["v"]
    if layout == "swapped":  # non-native byte order: read through Python
        return base.astype(base.dtype.newbyteorder()) if base.dtype.itemsize > 1 else base
    if layout == "subclass":
        return base.view(Row)
    if layout == "object":
        out = np.empty(base.shape, dtype=object)
        for index in np.ndindex(base.shape):
            out[index] = base[index].item()
        return out
    raise ValueError(layout)


LAYOUTS = st.sampled_from(["C", "C", "C", "F", "strided", "reversed", "readonly", "unaligned",
                           "swapped", "subclass", "object"])

# Signal element types and the values each can hold.
SIGNAL_VALUES = {
    "f8": [0.0, 0.0, 0.0, 1.0, -1.0, 2.0, 0.5, -0.5, NAN, INF, -INF],
    "f4": [0.0, 0.0, 1.0, -1.0, 2.0, NAN, -INF],
    "f2": [0.0, 0.0, 1.0, -1.0, 0.5, NAN],
    "i8": [0, 0, 0, 1, -1, 2],
    "i1": [0, 0, 1, -1, -2],
    "u1": [0, 0, 1, 2, 255],
    "?": [False, False, True],
}
SIGNAL_DTYPES = st.sampled_from(["f8", "f8", "f8", "f4", "f2", "i8", "i1", "u1", "?"])


@st.composite
def signal_matrix(draw, shape, signal_weight=0.25):
    """A signal array of `shape`: mostly zeros, some of the dtype's values."""
    dtype = draw(SIGNAL_DTYPES)
    values = SIGNAL_VALUES[dtype]
    size = int(np.prod(shape)) if shape else 1
    flat = draw(st.lists(st.sampled_from(values), min_size=size, max_size=size))
    return laid_out(np.array(flat, dtype=dtype).reshape(shape), dtype, draw(LAYOUTS))


@st.composite
def price_path(draw, n, edges=True):
    """n prices around 100 that wander enough to reach stops, sometimes with
    a 0, negative, NaN or infinite price."""
    start = draw(st.sampled_from([100.0, 50.0, 4000.0, 7.5]))
    steps = draw(st.lists(st.sampled_from([-3.0, -1.0, -0.5, 0.0, 0.5, 1.0, 2.5, 4.0]),
                          min_size=n, max_size=n))
    path, p = [], start
    for s in steps:
        p = p + s * start / 100.0
        path.append(p)
    if edges and n and draw(st.integers(0, 9)) == 0:
        path[draw(st.integers(0, n - 1))] = draw(st.sampled_from([0.0, -1.0, NAN, INF, -INF]))
    return path
