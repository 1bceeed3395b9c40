"""The results store: a sweep killed in the middle and started again gives
the table of an uninterrupted run (threads and Dask), readers see committed
rows while it writes, bad files are refused before any run, another study
never reuses rows, one writer per study."""

import os
import pickle
import signal
import sqlite3
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
from quorra.accel import demo, study  # noqa: E402
from quorra.accel.study import store as stores  # noqa: E402
from support import sample_close  # noqa: E402

SCRIPT = textwrap.dedent("""
    import pickle, sys, time
    import pandas as pd
    from quorra.accel import demo, sample, study

    path, mode, out, calls, delay = sys.argv[1:6]
    close = pd.DataFrame(sample.sample_bars(150),
                         index=pd.date_range("2021-01-01", periods=150, freq="D"))

    def strategy(close, fast, slow):
        with open(calls, "a") as f:
            f.write(f"{fast},{slow}\\n")
        time.sleep(float(delay))
        return demo.crossover_strategy(close, fast, slow)

    grid = {"fast": [2, 3, 4, 5, 6, 7], "slow": [12, 15, 20, 30, 40]}
    options = dict(workers=2)
    if mode == "dask":
        from distributed import Client, LocalCluster
        cluster = LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                               dashboard_address=None)
        options = dict(client=Client(cluster))
    table = study.sweep(strategy, grid, close, store=path, progress=False, keep=2, **options)
    with open(out, "wb") as f:
        pickle.dump((table, [b.params for b in table.best]), f)
""")
CONFIGS = 30


def _sweep_process(tmp_path, store, mode, name, delay):
    script = tmp_path / "sweep_script.py"
    script.write_text(SCRIPT)
    out, calls = tmp_path / f"{name}.pkl", tmp_path / f"{name}.calls"
    proc = subprocess.Popen([sys.executable, str(script), str(store), mode, str(out),
                             str(calls), str(delay)])
    return proc, out, calls


def _finish(proc, out):
    assert proc.wait(timeout=240) == 0
    with open(out, "rb") as f:
        return pickle.load(f)


def _calls(path) -> int:
    return len(path.read_text().splitlines()) if path.exists() else 0


def _stored_rows(store) -> int:
    try:
        tables = study.load(store)
    except (ValueError, FileNotFoundError):
        return 0
    return sum(len(t) for t in tables.values())


@pytest.mark.parametrize("mode", ["threads", "dask"])
def test_a_killed_sweep_started_again_gives_the_uninterrupted_table(tmp_path, mode):
    if mode == "dask":
        pytest.importorskip("distributed")
    whole, out, _ = _sweep_process(tmp_path, tmp_path / "whole.db", mode, "whole", 0)
    want, want_best = _finish(whole, out)

    store = tmp_path / "killed.db"
    proc, _, calls = _sweep_process(tmp_path, store, mode, "killed", 0.15)
    seen, deadline = [], time.monotonic() + 120
    while time.monotonic() < deadline:  # a reader beside the writer
        seen.append(_stored_rows(store))
        if seen[-1] >= 8:
            break
        time.sleep(0.05)
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    assert seen == sorted(seen) and 8 <= seen[-1] < CONFIGS
    stored = _stored_rows(store)
    partial = next(iter(study.load(store).values()))
    pd.testing.assert_frame_equal(partial, want.loc[partial.index])

    again, out, calls_again = _sweep_process(tmp_path, store, mode, "again", 0)
    got, got_best = _finish(again, out)
    pd.testing.assert_frame_equal(got, want)
    assert got_best == want_best
    # the missing configurations ran, and the stored ones among the best
    # again for their Backtests
    before = partial[["fast", "slow"]].to_dict("records")
    assert _calls(calls_again) == CONFIGS - stored + sum(p in before for p in want_best)
    loaded = study.load(store)
    assert len(loaded) == 1
    pd.testing.assert_frame_equal(next(iter(loaded.values())), want, check_index_type=False)


N = 120


@pytest.fixture(scope="module")
def close():
    return sample_close(N)


def crossover(close, fast, slow):
    return demo.crossover_strategy(close, fast, slow)


def crossover_changed(close, fast, slow):
    return demo.crossover_strategy(close, fast, slow + 1)


GRID = {"fast": [3, 5], "slow": [10, 20]}


def sweep(close, store, strategy=crossover, **options):
    """study.sweep of GRID with no progress bar, on one worker unless told."""
    options.setdefault("workers", 1)
    return study.sweep(strategy, GRID, close, store=store, progress=False, **options)


CALLS = []  # a global: the strategy's closure stays the same as it counts


def counting(strategy, pair=False):
    def counted(close, fast, slow):
        CALLS.append((fast, slow))
        e, x = strategy(close, fast, slow)
        return (e[:, 0], x[:, 0]) if pair else (e, x)
    return counted


def one_value_changed(close):
    data = close.copy()
    data.iloc[60, 1] += 1.0
    return data


CHANGES = {
    "strategy": dict(strategy=crossover_changed),
    "values": dict(data=one_value_changed),
    "index": dict(data=lambda c: c.set_axis(c.index + pd.Timedelta(hours=1))),
    "shape": dict(data=lambda c: c.iloc[:-1]),
    "dtype": dict(data=lambda c: c.astype(np.float32)),
    "settings": dict(settings={"commission": 2.0}),
    "pair": dict(pair=True),
}


@pytest.mark.parametrize("change", list(CHANGES))
def test_a_changed_study_never_reuses_rows(tmp_path, close, change):
    store = tmp_path / "s.db"
    first = sweep(close, store, counting(crossover))
    changed = dict(dict(strategy=crossover, data=lambda c: c, settings={}, pair=False),
                   **CHANGES[change])
    CALLS.clear()
    sweep(changed["data"](close), store, counting(changed["strategy"], changed["pair"]),
          settings=changed["settings"], pair=changed["pair"])
    assert len(CALLS) == 4
    assert len(study.load(store)) == 2
    again = sweep(close, store, counting(crossover))
    pd.testing.assert_frame_equal(again, first)
    assert len(CALLS) == 4  # the first study read back, none rerun


def _execute(path, sql, params=()):
    db = sqlite3.connect(path)
    db.execute(sql, params)
    db.commit()
    db.close()


def _newer(path):
    stores.Writer(path, "f" * 64, "s", [], False).close()
    _execute(path, "UPDATE meta SET value='99' WHERE key='format'")


@pytest.mark.parametrize("make, text", [
    (lambda p: p.write_text("fast,slow\n3,10\n"), "not a results store (not an SQLite"),
    (lambda p: p.write_bytes(b"SQLite format 3\x00" + b"\xff" * 3000), "not a readable results"),
    (lambda p: _execute(p, "CREATE TABLE prices (x REAL)"),
     "an SQLite database but not a results store"),
    (_newer, "written by a newer results store (format 99)"),
    (lambda p: p.mkdir(), "is a directory"),
])
def test_a_bad_store_is_refused_naming_the_file_before_any_run(tmp_path, close, make, text):
    path = tmp_path / "bad.db"
    make(path)
    ran = []

    def strategy(c, fast, slow):
        ran.append(1)
        return crossover(c, fast, slow)

    with pytest.raises(ValueError, match="bad.db") as info:
        sweep(close, path, strategy)
    assert text in str(info.value)
    assert ran == []
    if not path.is_dir():
        with pytest.raises(ValueError, match="bad.db"):
            study.load(path)


@pytest.mark.parametrize("holder", ["alive", "dead", "this process"])
def test_one_writer_per_study(tmp_path, close, holder):
    store = tmp_path / "s.db"
    sweep(close, store)
    fp = next(iter(study.load(store)))
    other = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    if holder == "dead":
        other.kill()
        other.wait()
    try:
        if holder == "this process":
            writer = stores.Writer(store, fp, "s", [], False)
        else:
            _execute(store, "INSERT INTO locks VALUES (?, ?, ?, 0)",
                     (fp, other.pid, __import__("socket").gethostname()))
        if holder == "dead":  # the dead writer's lock is taken over
            assert len(sweep(close, store)) == 4
            return
        pid = other.pid if holder == "alive" else os.getpid()
        with pytest.raises(study.StoreBusy, match=f"being written by.*process {pid}"):
            sweep(close, store)
        # another study in the same file is not held up
        sweep(close.iloc[:-2], store)
        if holder == "this process":
            writer.close()
    finally:
        other.kill()
        other.wait()


@pytest.mark.parametrize("workers", [1, 2])
def test_rerun_gives_the_backtest_of_a_stored_row(tmp_path, close, workers):
    store = tmp_path / "s.db"
    table = sweep(close, store, workers=workers, keep=1)
    want = study.backtest(close, *crossover(close, 5, 10))
    ranked = table.sort_values("Total Return [%]", ascending=False)
    assert table.rerun(2).stats().equals(want.stats())
    assert ranked.rerun(2).stats().equals(want.stats())
    loaded = study.load(store, next(iter(study.load(store)))[:8])
    bt = loaded.rerun(2, crossover, close)
    assert bt.stats().equals(want.stats()) and bt.params == {"fast": 5, "slow": 10}
    with pytest.raises(ValueError, match="give the strategy and close"):
        loaded.rerun(2)
    with pytest.raises(ValueError, match="are not study"):
        loaded.rerun(2, crossover, close.iloc[:-1])
    with pytest.raises(KeyError, match="no configuration labelled 9"):
        table.rerun(9)
    # resumed, the best come back too: the stored one is run again
    again = sweep(close, store, workers=workers, keep=2)
    plain = sweep(close, None, workers=workers, keep=2)
    assert [b.params for b in again.best] == [b.params for b in plain.best]
    assert [b.stats().equals(p.stats()) for b, p in zip(again.best, plain.best)] == [True] * 2


def test_load_of_one_study_and_of_missing_ones(tmp_path, close):
    store = tmp_path / "s.db"
    with pytest.raises(FileNotFoundError, match="no such results store"):
        study.load(store)
    sweep(close, store)
    sweep(close.iloc[:-1], store)
    tables = study.load(store)
    assert len(tables) == 2
    for fp, t in tables.items():
        assert t.attrs["study"] == fp and t.attrs["strategy"].endswith(".crossover")
        assert list(t.columns[:2]) == ["fast", "slow"] and len(t) == 4
    with pytest.raises(KeyError, match="no study 'zz'"):
        study.load(store, "zz")
    with pytest.raises(KeyError, match="more than one study ''"):
        study.load(store, "")


def test_the_readme_long_studies_example_runs(tmp_path):
    import pathlib
    import re

    readme = pathlib.Path(__file__).resolve().parent.parent / "README.md"
    if not readme.is_file():
        pytest.skip("README.md is not next to the tests")
    text = readme.read_text(encoding="utf-8")
    section = text[text.index("\n### Long studies\n"):text.index("\n## Research\n")]
    (code,) = re.findall(r"^```python\n(.*?)^```", section, re.S | re.M)
    (tmp_path / "example.py").write_text(code)
    r = subprocess.run([sys.executable, "example.py"], capture_output=True, text=True,
                       cwd=tmp_path, timeout=300)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[0].startswith("6 ") and r.stdout.splitlines()[1] == "True"


def _stop_near(bar, direction, entry, price, ref, distance, tick, multiple, size, args, n):
    return 5.0 * tick


def _stop_far(bar, direction, entry, price, ref, distance, tick, multiple, size, args, n):
    return 50.0 * tick


@pytest.mark.parametrize("numba_cfunc", [False, True])
def test_a_stop_callback_of_another_function_is_another_study(tmp_path, close, numba_cfunc):
    if numba_cfunc:
        numba = pytest.importorskip("numba")
        make = numba.cfunc(study.STOP_SIGNATURE)
    else:
        make = study.STOP_CALLBACK
    store = tmp_path / "s.db"
    tables = [sweep(close, store, settings={"sl_callback": make(stop)})
              for stop in (_stop_near, _stop_far, _stop_near)]
    assert len(study.load(store)) == 2
    pd.testing.assert_frame_equal(tables[2], tables[0])
    assert not tables[1].equals(tables[0])
