"""A Dask LocalCluster for numerical sweeps.

Dask's nanny starts worker processes with ``MALLOC_TRIM_THRESHOLD_`` set
(its pre-spawn environment), which turns off glibc's adaptive mmap
threshold: every large NumPy temporary becomes a fresh mapping whose pages
fault in again. It also writes that value into the calling process's own
``os.environ``, so after any default LocalCluster in a process, later
workers inherit it even when the cluster's configuration leaves it out.
"""

from __future__ import annotations

import os

TRIM = "MALLOC_TRIM_THRESHOLD_"


def sweep_settings() -> dict:
    """The Dask configuration of workers for sweeps: no trim threshold in
    the pre-spawn environment, no sampling profiler (it takes the
    interpreter lock every 10 ms)."""
    import dask

    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
    environ.pop(TRIM, None)
    return {"distributed.nanny.pre-spawn-environ": environ,
            "distributed.worker.profile.enabled": False}


def _forget_dask_trim() -> None:
    # The value Dask's nanny wrote here; a value set by hand stays.
    import dask

    dasks = dask.config.get("distributed.nanny.pre-spawn-environ", {}).get(TRIM)
    if dasks is not None and os.environ.get(TRIM) == str(dasks):
        del os.environ[TRIM]


def local_cluster(n_workers=None, threads_per_worker=1, **kwargs):
    """A ``dask.distributed.LocalCluster`` of worker processes for sweeps:
    started with ``sweep_settings()`` and without the trim threshold that
    an earlier default cluster left in ``os.environ``. Keyword arguments are
    LocalCluster's."""
    try:
        import dask
        from distributed import LocalCluster
    except ImportError:
        raise ImportError("a Dask cluster needs dask.distributed: "
                          "pip install 'quorra-accel[dask]'") from None
    _forget_dask_trim()
    with dask.config.set(sweep_settings()):
        return LocalCluster(n_workers=n_workers, threads_per_worker=threads_per_worker,
                            **kwargs)
