"""study.sweep: grid order, the same table on threads and on Dask, failing
configurations, the kept best runs, progress, Ctrl-C and the missing extra."""

import math
import pickle
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from quorra.accel import demo, study  # noqa: E402
from quorra.accel.study import progress as progress_bars  # noqa: E402
from quorra.accel.study import sweeps  # noqa: E402
from support import sample_close  # noqa: E402

N = 120


@pytest.fixture(scope="module")
def close():
    return sample_close(N)


def crossover(close, fast, slow):
    if fast >= slow:
        raise ValueError(f"fast {fast} is not below slow {slow}")
    return demo.crossover_strategy(close, fast, slow)


def with_override(close, fast, slow, stop):
    e, x = crossover(close, fast, slow)
    return e, x, {"sl_stop": stop}


GRID = {"fast": [3, 5, 30], "slow": [10, 20]}
SETTINGS = dict(volume_multiple=10.0, commission=2.0)


def test_configurations_of_a_grid():
    assert sweeps.configurations({"a": [1, 2], "b": "xy", "c": 0.5}) == [
        {"a": 1, "b": "xy", "c": 0.5}, {"a": 2, "b": "xy", "c": 0.5}]
    assert sweeps.configurations({"a": [1, 2], "b": (3, 4)}) == [
        {"a": 1, "b": 3}, {"a": 1, "b": 4}, {"a": 2, "b": 3}, {"a": 2, "b": 4}]
    listed = [{"fast": 5, "slow": 9}, {"slow": 20, "fast": 3}]
    assert sweeps.configurations(listed) == listed
    with pytest.raises(TypeError, match="list of dicts"):
        sweeps.configurations([("fast", 5)])


def test_rows_in_grid_order_with_params_then_stats(close):
    table = study.sweep(crossover, GRID, close, settings=SETTINGS, workers=2)
    assert isinstance(table, study.SweepResult)
    assert list(table.columns) == ["fast", "slow", *study.STATS, "error"]
    assert table[["fast", "slow"]].values.tolist() == [[3, 10], [3, 20], [5, 10], [5, 20],
                                                       [30, 10], [30, 20]]
    for k in range(4):
        params = table.loc[k, ["fast", "slow"]].to_dict()
        one = study.backtest(close, *crossover(close, **params), **SETTINGS).stats()
        got = table.loc[k, list(study.STATS)]
        for key in study.STATS:
            assert got[key] == one[key] or (got[key] != got[key] and one[key] != one[key]), key
    assert table["error"].isna().sum() == 4


def test_a_failing_configuration_gives_an_error_row(close):
    table = study.sweep(crossover, GRID, close, workers=2)
    failed = table[table["fast"] == 30]
    assert failed["error"].tolist() == ["ValueError: fast 30 is not below slow 10",
                                        "ValueError: fast 30 is not below slow 20"]
    figures = failed[[k for k in study.STATS if k not in ("Start", "End", "Period",
                                                          "Max Drawdown Duration")]]
    assert figures.isna().all().all()
    assert failed[["Start", "End", "Period", "Max Drawdown Duration"]].isna().all().all()
    ok = study.sweep(crossover, {"fast": [3], "slow": [10]}, close, workers=1)
    assert "error" not in ok.columns


@pytest.mark.parametrize("bad, text", [
    (lambda close, k: None, "TypeError: strategy must return"),
    (lambda close, k: (np.zeros((N, 2)),), "TypeError: strategy must return"),
    (lambda close, k: (np.zeros((N, 2)), np.zeros((N, 2)), 5), "TypeError: the strategy's settings"),
    (lambda close, k: (np.zeros((N, 3)), np.zeros((N, 2))), "ValueError: entries has shape"),
    (lambda close, k: (np.zeros((N, 2)), np.zeros((N, 2)), {"bogus": 1}), "TypeError: "),
])
def test_what_a_strategy_can_get_wrong(close, bad, text):
    table = study.sweep(bad, {"k": [1]}, close, workers=1)
    assert table.loc[0, "error"].startswith(text)


def test_the_strategy_settings_override_the_sweep_settings(close):
    grid = [{"fast": 3, "slow": 10, "stop": 5.0}, {"fast": 3, "slow": 10, "stop": 50.0}]
    table = study.sweep(with_override, grid, close, settings={"sl_stop": 1.0}, workers=1)
    for k, stop in enumerate((5.0, 50.0)):
        one = study.backtest(close, *crossover(close, 3, 10), sl_stop=stop).stats()
        assert table.loc[k, "Total Return [%]"] == one["Total Return [%]"]


def test_keep_gives_the_best_runs_first_and_it_survives_pandas(close):
    table = study.sweep(crossover, GRID, close, workers=2, keep=3)
    ranked = table.dropna(subset=["Total Return [%]"]).sort_values(
        "Total Return [%]", ascending=False, kind="stable")
    best = table.best
    assert len(best) == 3 and all(isinstance(b, study.Backtest) for b in best)
    assert [b.params for b in best] == ranked[["fast", "slow"]].head(3).to_dict("records")
    for b, (_, row) in zip(best, ranked.head(3).iterrows()):
        assert b.stats()["Total Return [%]"] == row["Total Return [%]"]
        assert b.close is close
    for derived in (table.head(2), table.sort_values("Sharpe Ratio"), table[["fast"]],
                    table.copy(), table.query("fast > 3"), pickle.loads(pickle.dumps(table))):
        assert isinstance(derived, study.SweepResult)
        assert [b.params for b in derived.best] == [b.params for b in best]
    assert table.head(2).best is best  # copies of attrs do not copy the runs
    assert study.sweep(crossover, GRID, close, workers=2).best == ()
    assert pd.DataFrame(table).attrs.get("best", ()) in ((), best)


@pytest.mark.parametrize("name, bad", [("keep", -1), ("keep", 1.5), ("keep", True),
                                       ("workers", 0), ("workers", 1.5), ("workers", True)])
def test_bad_keep_and_workers_are_refused(close, name, bad):
    with pytest.raises(ValueError, match=name):
        study.sweep(crossover, GRID, close, **{name: bad})


def test_threads_and_one_worker_and_dask_give_identical_tables(close, dask_client):
    local = study.sweep(crossover, GRID, close, settings=SETTINGS, workers=2, keep=2)
    serial = study.sweep(crossover, GRID, close, settings=SETTINGS, workers=1, keep=2)
    dist = study.sweep(crossover, GRID, close, settings=SETTINGS, client=dask_client, keep=2)
    pd.testing.assert_frame_equal(local, serial)
    pd.testing.assert_frame_equal(local, dist)
    for a, b in zip(local.best, dist.best):
        assert a.params == b.params
        pd.testing.assert_frame_equal(a.trades, b.trades)
        assert b.close is close  # the local close, re-attached
    assert len(dist.best) == 2
    with pytest.raises(ValueError, match="not both"):
        study.sweep(crossover, GRID, close, workers=2, client=dask_client)


def test_the_best_runs_rank_by_total_return_then_grid_order():
    best = sweeps._Best(2)
    offers = [(0, 1.0), (1, math.nan), (2, 3.0), (3, 1.0), (4, None), (5, 3.0), (6, 0.5)]
    dropped = []
    for pos, score in offers:
        stats = None if score is None else {"Total Return [%]": score}
        dropped += best.offer(pos, stats, f"run {pos}")
    assert best.payloads() == ["run 2", "run 5"]
    assert sorted(dropped) == sorted(f"run {k}" for k in (0, 1, 3, 4, 6))


def test_a_dask_sweep_leaves_nothing_on_the_cluster(close, dask_client):
    table = study.sweep(crossover, GRID, close, client=dask_client, keep=2)
    assert len(table.best) == 2

    def left(dask_scheduler):
        return [str(k) for k in dask_scheduler.tasks if "quorra-sweep" in str(k)]

    deadline = time.monotonic() + 10
    while dask_client.run_on_scheduler(left) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert dask_client.run_on_scheduler(left) == []


def test_a_scheduler_address_works_as_client(close, dask_client):
    table = study.sweep(crossover, {"fast": [3], "slow": [10, 20]}, close,
                        client=dask_client.scheduler.address)
    pd.testing.assert_frame_equal(
        table, study.sweep(crossover, {"fast": [3], "slow": [10, 20]}, close, workers=1))


def test_a_dask_sweep_scatters_close_once(close, dask_client, monkeypatch):
    scattered, submitted = [], []
    real_scatter, real_submit = dask_client.scatter, dask_client.submit

    def scatter(data, **kw):
        scattered.append(data)
        return real_scatter(data, **kw)

    def submit(fn, *args, **kw):
        submitted.append(args)
        return real_submit(fn, *args, **kw)

    monkeypatch.setattr(dask_client, "scatter", scatter)
    monkeypatch.setattr(dask_client, "submit", submit)
    study.sweep(crossover, GRID, close, client=dask_client)
    assert len(scattered) == 1 and scattered[0][0] is close
    assert len(submitted) == 6
    assert not any(isinstance(a, pd.DataFrame) for args in submitted for a in args)


def test_an_interrupted_dask_sweep_cancels_its_futures(close, dask_client, monkeypatch):
    import distributed

    real = distributed.as_completed
    cancelled = []

    def interrupted(futures, **kw):
        it = real(futures, **kw)
        yield next(it)
        raise KeyboardInterrupt

    def cancel(futures, **kw):
        cancelled.extend(futures)
        return real_cancel(futures, **kw)

    real_cancel = dask_client.cancel
    monkeypatch.setattr(distributed, "as_completed", interrupted)
    monkeypatch.setattr(dask_client, "cancel", cancel)
    with pytest.raises(KeyboardInterrupt):
        study.sweep(crossover, {"fast": [3, 5], "slow": [10, 20]}, close, client=dask_client,
                    keep=1)
    # the 3 scattered inputs, the 4 rows and the 4 runs (the first to come
    # back ranks, so none has been released yet)
    keys = {f.key for f in cancelled}
    assert sum("-run-" in k for k in keys) == 4 and len(keys) == 4 * 2 + 3


def test_process_workers_get_everything_by_pickle(close):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        grid = {"fast": [3, 5], "slow": [10]}
        dist = study.sweep(demo.crossover_strategy, grid, close, client=client, keep=1)
    local = study.sweep(demo.crossover_strategy, grid, close, workers=1, keep=1)
    pd.testing.assert_frame_equal(dist, local)
    pd.testing.assert_frame_equal(dist.best[0].trades, local.best[0].trades)
    pd.testing.assert_frame_equal(dist.best[0].close, close)


def test_client_without_dask_names_the_extra(close, monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=r"pip install 'quorra-accel\[dask\]'"):
        study.sweep(crossover, GRID, close, client="tcp://127.0.0.1:1")


# ---- progress ----------------------------------------------------------------

class Stream:
    def __init__(self, tty):
        self.tty = tty

    def isatty(self):
        return self.tty

    def write(self, s):
        pass

    def flush(self):
        pass


@pytest.mark.parametrize("progress, tty, shown", [
    (True, False, False), (True, True, True), ("always", False, True), (False, True, False),
    (None, True, False)])
def test_when_the_bar_is_shown(monkeypatch, progress, tty, shown):
    monkeypatch.setattr(sys, "stderr", Stream(tty))
    assert progress_bars.wanted(progress) is shown


def test_a_forced_bar_counts_configurations(close, capsys):
    pytest.importorskip("tqdm")
    study.sweep(crossover, GRID, close, workers=2, progress="always")
    err = capsys.readouterr().err
    assert "sweep" in err and "6/6" in err and "config" in err
    study.sweep(crossover, GRID, close, workers=2)  # stderr is no terminal here
    assert capsys.readouterr().err == ""


def test_a_forced_bar_without_tqdm_names_the_extra(close, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(ImportError, match=r"quorra-accel\[study\]"):
        study.sweep(crossover, GRID, close, progress="always")
    with pytest.raises(TypeError, match="progress"):
        study.sweep(crossover, GRID, close, progress="yes")


# ---- Ctrl-C ------------------------------------------------------------------

INTERRUPTED = textwrap.dedent("""
    import sys, time
    import numpy as np
    from quorra.accel import study

    def slow(close, k):
        print("started", k, flush=True)
        time.sleep(0.4)
        return np.zeros(close.shape), np.zeros(close.shape)

    try:
        study.sweep(slow, {"k": range(40)}, np.full((4, 1), 100.0), workers=WORKERS,
                    progress=False)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        sys.exit(3)
    print("finished", flush=True)
""")


@pytest.mark.parametrize("workers", [1, 2])
def test_ctrl_c_stops_a_local_sweep_promptly(workers):
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED.replace("WORKERS", str(workers))],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().startswith("started")
        time.sleep(0.1)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        elapsed = time.monotonic() - sent
    finally:
        proc.kill()
    assert proc.returncode == 3, err
    assert "interrupted" in out and "finished" not in out
    assert elapsed < 3.0
    assert out.count("started") + 1 <= 2 * workers + 1  # the rest never started
