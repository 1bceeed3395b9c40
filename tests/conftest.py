"""The test modules import support.py, property_support.py and the slow
models as plain modules from this directory, in any pytest import mode."""

import ctypes
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import c_callbacks  # noqa: E402  (found through the path set above)


@pytest.fixture(scope="session")
def c_stop_library(tmp_path_factory):
    """Path of the C stop callbacks compiled for this session, or None where
    there is no C compiler."""
    return c_callbacks.build(tmp_path_factory.mktemp("stop_callbacks"))


@pytest.fixture(scope="session")
def c_stops(c_stop_library):
    """The compiled C stop callbacks, loaded (skips where there is no compiler)."""
    if c_stop_library is None:
        pytest.skip("no C compiler")
    return ctypes.CDLL(str(c_stop_library))
