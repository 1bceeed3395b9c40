"""Sweeps on Dask under faults: every worker restarting, a client closed
during the sweep, a scheduler that does not answer, and workers started
for sweeps after a default LocalCluster."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

pd = pytest.importorskip("pandas")
distributed = pytest.importorskip("distributed")
from quorra.accel import demo, study  # noqa: E402
from support import sample_close  # noqa: E402

N = 150


@pytest.fixture(scope="module")
def close():
    return sample_close(N)


GRID = {"fast": [2, 3, 4, 5], "slow": [12, 20, 30, 40]}


@pytest.mark.parametrize("with_store", [False, True])
def test_a_sweep_finishes_when_every_worker_restarts(tmp_path, close, with_store):
    def slow(c, fast, slow):
        import time
        time.sleep(0.25)
        return demo.crossover_strategy(c, fast, slow)

    want = study.sweep(slow, GRID, close, workers=2, progress=False)
    store = tmp_path / "s.db" if with_store else None
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        client.wait_for_workers(2)
        pids = list(client.run(os.getpid).values())
        killed = []

        def kill_all():
            time.sleep(1.5)  # a few batches in
            for pid in pids:
                os.kill(pid, signal.SIGKILL)
            killed.append(True)

        killer = threading.Thread(target=kill_all)
        killer.start()
        got = study.sweep(slow, GRID, close, client=client, progress=False, store=store)
        killer.join()
    assert killed
    pd.testing.assert_frame_equal(got, want)
    if with_store:
        pd.testing.assert_frame_equal(next(iter(study.load(store).values())), want,
                                      check_index_type=False)


def test_a_client_closed_during_the_sweep_reports_it(close, monkeypatch):
    real = distributed.as_completed
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster:
        client = distributed.Client(cluster)

        class closing:
            def __init__(self, futures, **kw):
                self.it = real(futures, **kw)
                self.add = self.it.add

            def __iter__(self):
                yield next(self.it)
                client.close()
                yield from self.it

        monkeypatch.setattr(distributed, "as_completed", closing)
        with pytest.raises(RuntimeError, match="the Dask client was closed during the sweep"):
            study.sweep(demo.crossover_strategy, GRID, close, client=client, progress=False)


def test_a_scheduler_that_does_not_answer_is_a_timeout_naming_it(close):
    address = "tcp://127.0.0.1:9"
    with pytest.raises(TimeoutError, match=f"no Dask scheduler answered at {address} within"):
        study.sweep(demo.crossover_strategy, GRID, close, client=address, timeout=0.5,
                    progress=False)


@pytest.mark.parametrize("timeout", [0, -1, True, "5"])
def test_a_timeout_must_be_positive_seconds(close, timeout):
    with pytest.raises(ValueError, match="timeout must be a positive number"):
        study.sweep(demo.crossover_strategy, GRID, close, client="tcp://127.0.0.1:9",
                    timeout=timeout)


ORDER = textwrap.dedent("""
    import os
    import dask
    from distributed import Client, LocalCluster
    from quorra.accel import study

    TRIM = "MALLOC_TRIM_THRESHOLD_"

    def main():
        # a default cluster first: its nanny writes the trim threshold here
        with LocalCluster(n_workers=1, threads_per_worker=1, dashboard_address=None) as c, \\
                Client(c) as client:
            seen = list(client.run(lambda: os.environ.get(TRIM)).values())
        print("default", seen[0], os.environ.get(TRIM))
        with study.local_cluster(n_workers=1, dashboard_address=None) as c, \\
                Client(c) as client:
            env = list(client.run(lambda: os.environ.get(TRIM)).values())
            prof = list(client.run(
                lambda: dask.config.get("distributed.worker.profile.enabled")).values())
        print("sweeps", env[0], prof[0])

    if __name__ == "__main__":
        main()
""")


def test_workers_for_sweeps_have_no_trim_threshold_after_a_default_cluster(tmp_path):
    script = tmp_path / "order.py"
    script.write_text(ORDER)
    env = {k: v for k, v in os.environ.items() if k != "MALLOC_TRIM_THRESHOLD_"}
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         timeout=240, env=env, cwd=tmp_path).stdout.splitlines()
    assert "default 65536 65536" in out  # the fault the helper has to get round
    assert "sweeps None False" in out


def test_an_interrupted_sweep_cancels_dependents_first(close, monkeypatch):
    real = distributed.as_completed
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        groups = []
        real_cancel = client.cancel

        def interrupted(futures, **kw):
            it = real(futures, **kw)

            class Interrupted:
                add = it.add

                def __iter__(self):
                    yield next(it)
                    raise KeyboardInterrupt
            return Interrupted()

        def cancel(futures, **kw):
            groups.append([f.key for f in futures])
            return real_cancel(futures, **kw)

        monkeypatch.setattr(distributed, "as_completed", interrupted)
        monkeypatch.setattr(client, "cancel", cancel)
        with pytest.raises(KeyboardInterrupt):
            study.sweep(demo.crossover_strategy, GRID, close, client=client, keep=2,
                        progress=False)
    rows, runs, shared = groups
    assert all("-run-" not in k and k.startswith("quorra-sweep-") for k in rows)
    assert all("-run-" in k for k in runs) and len(rows) == len(runs)
    assert len(shared) == 3
