"""The results store of long studies: an SQLite file (WAL mode) holding every
finished configuration's row of a sweep, so a sweep that was killed or
interrupted and is started again runs only what is missing.

- A study is one fingerprint (``fingerprint.of``: the strategy's name and
  code, the settings, the data). Rows are kept per study; a different
  fingerprint never reuses another's rows.
- The calling process is the only writer: rows arrive in its thread (from
  the thread pool's or Dask's futures) and are committed in batches, one
  transaction each, so a kill at any moment leaves every committed row
  readable and nothing half-written.
- A lock row per study names the writing process; a second writer of the
  same study is refused with that process id. The lock of a process that
  has died (killed, crashed) on this host is taken over.
- Readers (``study.load``) open the file read-only and see the committed
  rows while a sweep writes.
"""

from __future__ import annotations

import os
import pickle
import socket
import sqlite3
import threading
import time

from quorra.accel.study import fingerprint, sweeps

FORMAT = 1
HEADER = b"SQLite format 3\x00"
COMMIT_EVERY_ROWS = 256
COMMIT_EVERY_SECONDS = 0.25

SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS studies (
    fingerprint TEXT PRIMARY KEY, strategy TEXT NOT NULL, names BLOB NOT NULL,
    pair INTEGER NOT NULL, created REAL NOT NULL);
CREATE TABLE IF NOT EXISTS rows (
    fingerprint TEXT NOT NULL, key BLOB NOT NULL, position INTEGER NOT NULL,
    params BLOB NOT NULL, stats BLOB, error TEXT, PRIMARY KEY (fingerprint, key));
CREATE TABLE IF NOT EXISTS locks (
    fingerprint TEXT PRIMARY KEY, pid INTEGER NOT NULL, host TEXT NOT NULL,
    since REAL NOT NULL);
"""

_held: set = set()  # (path, fingerprint) this process writes now
_held_lock = threading.Lock()


class StoreBusy(RuntimeError):
    """Another process writes the same study into the store."""


def config_key(params: dict) -> bytes:
    """A configuration's identity in the store: its parameters, in order."""
    return pickle.dumps(list(params.items()), protocol=4)


def _check_file(path: str) -> None:
    """A file that exists must be an SQLite database (read before any run)."""
    try:
        with open(path, "rb") as f:
            head = f.read(len(HEADER))
    except FileNotFoundError:
        return
    except IsADirectoryError:
        raise ValueError(f"{path}: is a directory, not a results store") from None
    if head and head != HEADER:
        raise ValueError(f"{path}: not a results store (not an SQLite database)")


def _check_format(path: str, db: sqlite3.Connection) -> None:
    tables = {r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type='table'")}
    if not tables:
        return
    if "meta" not in tables:
        raise ValueError(f"{path}: an SQLite database but not a results store")
    row = db.execute("SELECT value FROM meta WHERE key='format'").fetchone()
    version = int(row[0]) if row else 0
    if version > FORMAT:
        raise ValueError(f"{path}: written by a newer results store (format {version}); "
                         f"this version reads format {FORMAT}: upgrade quorra-accel")
    if version < 1:
        raise ValueError(f"{path}: an SQLite database but not a results store")


def connect(path, readonly: bool = False) -> sqlite3.Connection:
    """The store's connection, its file and format checked (ValueError naming
    the file otherwise); `readonly` for readers, who never create it."""
    path = os.fspath(path)
    _check_file(path)
    try:
        if readonly:
            if not os.path.exists(path):
                raise FileNotFoundError(f"{path}: no such results store")
            db = sqlite3.connect(f"file:{path}?mode=ro", uri=True, isolation_level=None,
                                 check_same_thread=False, timeout=30)
        else:
            db = sqlite3.connect(path, isolation_level=None, check_same_thread=False,
                                 timeout=30)
            db.execute("PRAGMA journal_mode=WAL")
            db.execute("PRAGMA synchronous=NORMAL")  # a killed process loses no commit
        _check_format(path, db)
        if not readonly:
            db.executescript(SCHEMA)
            db.execute("INSERT OR IGNORE INTO meta VALUES ('format', ?)", (str(FORMAT),))
    except sqlite3.DatabaseError as exc:
        raise ValueError(f"{path}: not a readable results store ({exc})") from None
    return db


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    try:  # a killed child not yet reaped is a zombie: it writes no more
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return True


class Writer:
    """The writing side of one study: its stored rows, new rows committed in
    batches, the study's lock held from open to close."""

    def __init__(self, path, study: str, strategy: str, names: list, pair: bool):
        self.path = os.fspath(path)
        self.study = study
        self.db = connect(self.path)
        self.pending: list = []
        self.last_commit = time.monotonic()
        self._lock(strategy, names, pair)

    def _lock(self, strategy, names, pair) -> None:
        me = (os.path.realpath(self.path), self.study)
        with _held_lock:
            if me in _held:
                raise StoreBusy(f"{self.path}: study {self.study[:12]} is being written by "
                                f"this process (process {os.getpid()}) already")
            db, host = self.db, socket.gethostname()
            db.execute("BEGIN IMMEDIATE")
            try:
                row = db.execute("SELECT pid, host FROM locks WHERE fingerprint=?",
                                 (self.study,)).fetchone()
                if row is not None and row[0] != os.getpid() and (
                        row[1] != host or _alive(row[0])):
                    raise StoreBusy(f"{self.path}: study {self.study[:12]} is being written "
                                    f"by process {row[0]} on {row[1]}; one writer at a time")
                db.execute("INSERT OR REPLACE INTO locks VALUES (?, ?, ?, ?)",
                           (self.study, os.getpid(), host, time.time()))
                known = db.execute("SELECT names FROM studies WHERE fingerprint=?",
                                   (self.study,)).fetchone()
                if known is None:
                    db.execute("INSERT INTO studies VALUES (?, ?, ?, ?, ?)",
                               (self.study, strategy, pickle.dumps(list(names)), int(pair),
                                time.time()))
                else:
                    merged = pickle.loads(known[0])
                    merged += [n for n in names if n not in merged]
                    db.execute("UPDATE studies SET names=? WHERE fingerprint=?",
                               (pickle.dumps(merged), self.study))
                db.execute("COMMIT")
            except BaseException:
                db.execute("ROLLBACK")
                db.close()
                raise
            _held.add(me)

    def stored(self) -> dict:
        """The study's rows already in the store: key -> Outcome."""
        rows = self.db.execute("SELECT key, stats, error FROM rows WHERE fingerprint=?",
                               (self.study,))
        return {key: sweeps.Outcome(pickle.loads(stats) if stats is not None else None, error)
                for key, stats, error in rows}

    def add(self, key: bytes, position: int, params: dict, outcome) -> None:
        stats = None if outcome.stats is None else pickle.dumps(outcome.stats, protocol=5)
        self.pending.append((self.study, key, position, pickle.dumps(params, protocol=5),
                             stats, outcome.error))
        if (len(self.pending) >= COMMIT_EVERY_ROWS
                or time.monotonic() - self.last_commit >= COMMIT_EVERY_SECONDS):
            self.commit()

    def commit(self) -> None:
        """The pending rows in one transaction."""
        if self.pending:
            db = self.db
            db.execute("BEGIN")
            db.executemany("INSERT OR REPLACE INTO rows VALUES (?, ?, ?, ?, ?, ?)", self.pending)
            db.execute("COMMIT")
            self.pending.clear()
        self.last_commit = time.monotonic()

    def close(self) -> None:
        """Commits what is pending and releases the lock."""
        try:
            self.commit()
            self.db.execute("DELETE FROM locks WHERE fingerprint=? AND pid=?",
                            (self.study, os.getpid()))
        finally:
            self.db.close()
            with _held_lock:
                _held.discard((os.path.realpath(self.path), self.study))


class Rerun:
    """What a stored table needs to run one of its configurations again: the
    study's fingerprint and, for a table made in this process, its job."""

    def __init__(self, study: str, configs: dict, job=None, pair: bool = False):
        self.study = study
        self.configs = configs  # table index label -> parameters
        self.job = job
        self.pair = pair

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self

    def __getstate__(self):
        # A pickled table travels without the job (its strategy and data):
        # after unpickling it reruns like a loaded one.
        return {**self.__dict__, "job": None}

    def run(self, label, strategy=None, close=None, settings=None):
        job = self.job
        if job is None or strategy is not None or close is not None:
            if strategy is None or close is None:
                raise ValueError("this table was loaded from a store: give the strategy and "
                                 "close (and the settings) it was swept with")
            job = sweeps.Job(strategy, close, dict(settings or {}), 1, pair=self.pair)
            if fingerprint.of(job.strategy, job.close, job.settings, job.pair) != self.study:
                raise ValueError(f"the strategy, close and settings given are not study "
                                 f"{self.study[:12]} this table was stored from")
        if label not in self.configs:
            raise KeyError(f"no configuration labelled {label!r} in this table")
        params = self.configs[label]
        outcome = sweeps.run_configuration(job.strategy, params, job.close, job.settings, True,
                                           pair=job.pair)
        if outcome.error is not None:
            raise RuntimeError(f"configuration {params} failed: {outcome.error}")
        return outcome.run


def _ranked_runs(job, configs, outcomes, fresh_runs, todo) -> list:
    """The `job.keep` best runs of the whole table, best first: the fresh
    runs where the sweep made them, stored configurations run again."""
    best = sweeps._Best(job.keep, job.rank_by)
    for pos, o in enumerate(outcomes):
        best.offer(pos, o.stats, pos)
    fresh = iter(fresh_runs)  # the best of `todo`, in the same order
    new = set(todo)
    out = []
    for pos in best.payloads():
        if pos in new:
            out.append(next(fresh))
        else:
            out.append(sweeps.run_configuration(job.strategy, configs[pos], job.close,
                                                job.settings, True, pair=job.pair).run)
    return out


def stored_sweep(job, names: list, configs: list, run, path) -> "sweeps.SweepResult":
    """The sweep of `configs` with its rows in the store at `path`: the stored
    ones read back, the others run by ``run(configs, sink)`` (which returns
    outcomes and kept runs and hands each finished outcome to `sink`)."""
    study = fingerprint.of(job.strategy, job.close, job.settings, job.pair)
    writer = Writer(path, study, fingerprint.strategy_name(job.strategy), names, job.pair)
    try:
        have = writer.stored()
        keys = [config_key(c) for c in configs]
        todo = [pos for pos, k in enumerate(keys) if k not in have]

        def sink(k, outcome):
            pos = todo[k]
            writer.add(keys[pos], pos, configs[pos], outcome)

        fresh, fresh_runs = run([configs[pos] for pos in todo], sink, len(configs) - len(todo))
    finally:
        writer.close()
    outcomes = [have.get(k) for k in keys]
    for k, pos in enumerate(todo):
        outcomes[pos] = fresh[k]
    kept = _ranked_runs(job, configs, outcomes, fresh_runs, todo) if job.keep else []
    table = sweeps._table(names, configs, outcomes, kept)
    table.attrs["rerun"] = Rerun(study, dict(enumerate(configs)), job, job.pair)
    return table


def _load_study(db, study: str, strategy: str, names: bytes, pair: int):
    rows = db.execute("SELECT position, params, stats, error FROM rows WHERE fingerprint=? "
                      "ORDER BY position, rowid", (study,)).fetchall()
    labels = [r[0] for r in rows]
    configs = [pickle.loads(r[1]) for r in rows]
    outcomes = [sweeps.Outcome(pickle.loads(r[2]) if r[2] is not None else None, r[3])
                for r in rows]
    table = sweeps._table(pickle.loads(names), configs, outcomes, [])
    table.index = labels
    table.attrs["study"] = study
    table.attrs["strategy"] = strategy
    table.attrs["rerun"] = Rerun(study, dict(zip(labels, configs)), None, bool(pair))
    return table


def load(path, study=None):
    """The tables in the store at `path`: a dict fingerprint -> SweepResult
    (in the order the studies were first written), or the one study whose
    fingerprint is or starts with `study`. Rows are in grid order; a reader
    sees every row committed so far, also while a sweep writes."""
    path = os.fspath(path)
    db = connect(path, readonly=True)
    try:
        try:
            db.execute("BEGIN")  # one snapshot for every table read
            studies = db.execute("SELECT fingerprint, strategy, names, pair FROM studies "
                                 "ORDER BY created, fingerprint").fetchall()
        except sqlite3.OperationalError:  # a new database, no table yet
            studies = []
        if study is not None:
            chosen = [s for s in studies if s[0].startswith(str(study))]
            if len(chosen) != 1:
                have = ", ".join(s[0][:12] for s in studies) or "none"
                raise KeyError(f"{path}: {'no' if not chosen else 'more than one'} study "
                               f"{study!r} (studies: {have})")
            return _load_study(db, *chosen[0])
        return {s[0]: _load_study(db, *s) for s in studies}
    except sqlite3.DatabaseError as exc:
        raise ValueError(f"{path}: not a readable results store ({exc})") from None
    finally:
        db.close()
