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


@pytest.fixture(scope="session")
def dask_client():
    """A Dask client of a 2-worker LocalCluster for the session: workers are
    threads of this process, reached over TCP on the loopback address (so a
    command-line run can use the scheduler too)."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                       protocol="tcp://", host="127.0.0.1",
                                       dashboard_address=":0")
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()
