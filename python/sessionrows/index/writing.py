"""Bringing the index up to date: only the logs that are new or whose size,
modification time or inode changed are read; a log that only grew has its new rows
added, any other change replaces its rows; rows of logs that disappeared are
dropped. Each batch is one transaction per shard, and a log's record is written in
the same transaction as its rows, so a run that is killed leaves every log either
done or still to do.

Three things run at once: the native reading of the next batch (a helper thread),
the binding of this batch's rows (the calling thread), and the full-text indexing of
the previous batch, one writer thread per shard (SQLite runs without the
interpreter lock). A shard built from nothing merges its full-text segments once,
at the end; a small update writes on the calling thread.
"""

from __future__ import annotations

import contextlib
import json
import os
import sqlite3
import time
from typing import Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from .. import _search
from ..discovery import LogFile
from ..archive import ArchiveProblem
from ..reader import IndexJob, Problem, Warn, read_for_index, resolve_agents
from ..sessions import TITLE
from .keeping import Keeper, member_job
from .records import FileRecord, UpdateReport, record_by_path, records
from .schema import (_FTS_VALUES, _INSERT_FILE, _ROLES_OF, AUTOMERGE, FTS_COLUMNS, READ_CACHE_KIB, ROW_BITS,
                     SMALL_UPDATE_BYTES, TITLE_PLACE, WRITE_CACHE_KIB, IndexProblem, _build_cut_short, _rollback)
from .storage import _update_lock


class _Batch:
    """What one batch writes into one shard."""

    def __init__(self) -> None:
        self.gone: List[FileRecord] = []            # logs to drop
        self.replace: List[Tuple[int, int]] = []    # (file id, first row to drop)
        self.records: List[tuple] = []
        self.rows: List[tuple] = []
        self.spans: List[Tuple[int, int]] = []      # row id ranges written
        self.marks: List[Tuple[int, str]] = []      # (file id, since when): logs gone, their rows kept

    @property
    def empty(self) -> bool:
        return not (self.gone or self.records or self.marks)


def update(ix, fresh: Sequence[LogFile], gone: Sequence[str], warn: Warn, *, named: Sequence[str] = (),
           progress: Optional[Callable[[int, int], None]] = None) -> UpdateReport:
    """Brings the index up to date: `fresh` are the logs that are new or changed
    (as the walk found them), `gone` the indexed logs that no longer exist. Logs
    read are packed into the archive (keeping.py); a gone log that the archive
    holds keeps its rows.

    Three things run at once: the native reading of the next batch (a helper
    thread), the binding of this batch's rows (here), and the full-text indexing
    of the previous batch, one writer thread per shard (SQLite runs without the
    interpreter lock)."""
    started = time.perf_counter()
    keeper = Keeper.for_index(ix.path)
    if not fresh and not gone and keeper.unseen(_seen(ix)) is None:
        return UpdateReport()
    if not ix.writable:
        return UpdateReport(read_only=True)
    count = dict.fromkeys(("new", "changed", "appended", "rows", "bytes_read", "kept"), 0)
    with _update_lock(ix.path, ix.on_wait), ix._guard(), _small_caches(ix.shards), _archive_errors():
        identity = keeper.unseen(_seen(ix))
        fresh = keeper.remembered(fresh)
        previous = record_by_path(ix, [log.path for log in fresh] + list(gone))
        held = keeper.keeps([p for p in gone if p in previous and not previous[p].gone_since])
        dropped = [previous[p] for p in gone if p in previous and p not in held]
        todo = []
        for log in fresh:
            k = previous.get(log.path)
            if k is not None and (k.size, k.mtime_ns, k.inode) == (log.size, log.mtime_ns, log.inode):
                continue    # another process indexed it meanwhile
            if k is not None and log.agent is None:
                log = LogFile(log.path, log.size, log.mtime_ns, log.inode, k.agent)
            todo.append(log)
        todo = resolve_agents(todo, warn, named)
        # New logs get ids in the order of their modification times, so that the
        # ids of rows grow with time (a broad query ranks the newest matches).
        todo.sort(key=lambda log: (previous.get(log.path) is not None, log.mtime_ns))
        archived = keeper.missing_from_index(_paths(ix)) if identity else []
        total = sum(log.size for log in todo) + sum(log.size for log, _ in archived)
        next_id = 1 + max([0] + [db.execute("SELECT coalesce(max(id), 0) FROM files").fetchone()[0]
                                 for db in ix.shards])
        n = len(ix.shards)
        batches: Dict[int, _Batch] = {}

        def batch_of(file_id: int) -> _Batch:
            return batches.setdefault(file_id % n, _Batch())

        for record in dropped:
            batch_of(record.id).gone.append(record)
        for p, entry in held.items():
            batch_of(previous[p].id).marks.append((previous[p].id, entry.gone_since))
            count["kept"] += 1
        packing = keeper.packing(todo)
        jobs = []
        for log in todo:
            k = previous.get(log.path)
            if k is None:
                file_id, next_id = next_id, next_id + 1
                start = 0
            else:
                file_id = k.id
                grown = k.agent == log.agent and k.inode == log.inode and log.size > k.size
                start = k.nrows if grown else 0
            jobs.append(IndexJob(log, file_id, start, packing.get(log.path)))
        gone_since: Dict[str, str] = {}
        for log, entry in archived:
            jobs.append(IndexJob(log, next_id, 0, member_job(entry)))
            gone_since[log.path] = entry.gone_since
            next_id += 1
        done = 0
        building = [_building(db, total) for db in ix.shards]
        for db, b in zip(ix.shards, building):
            if b:
                db.execute("PRAGMA synchronous = OFF")
        with _writers(n, total) as writers:
            pending: list = [None] * n
            if batches:
                _write_batches(ix, batches, writers, pending)
                batches = {}
            for results in read_for_index(jobs, warn):
                keeper.record(results)
                for job, facts, rows, digest, _ in results:
                    log, file_id, start = job.log, job.file_id, job.start
                    k = previous.get(log.path)
                    b = batch_of(file_id)
                    if k is None:
                        count["new"] += 1
                    elif start and digest == k.digest:
                        count["appended"] += 1
                        b.replace.append((file_id, start))
                    else:
                        if start:   # grew, but what was indexed changed: read it whole
                            rows, facts, digest = _reread(log, file_id, warn)
                            if rows is None:
                                continue
                            start = 0
                        count["changed"] += 1
                        b.replace.append((file_id, 0))
                    b.records.append((file_id, os.fsencode(log.path), log.agent, log.size, log.mtime_ns,
                                      log.inode, facts[8], digest) + facts[:8] + (
                                          json.dumps(dict(facts[9]), separators=(",", ":")),
                                          gone_since.get(log.path, "")))
                    b.rows.extend(rows)
                    b.rows.extend(_title_row(file_id, facts))
                    b.spans.append(((file_id << ROW_BITS) + start, (file_id + 1) << ROW_BITS))
                    count["rows"] += len(rows)
                    done += log.size
                _write_batches(ix, batches, writers, pending)
                batches = {}
                if progress:
                    progress(done, total)
            for future in pending:
                if future is not None:
                    future.result()
            for future in [writers.submit(_built, db) for db, b in zip(ix.shards, building) if b]:
                future.result()
        keeper.back([log.path for log in todo if log.path in previous and previous[log.path].gone_since])
        if identity:
            keeper.take_in(records(ix, "gone_since = ''"), warn)
            _saw(ix, keeper.unseen("") or "")
        count["bytes_read"] = done
        for db in ix.shards:
            db.execute("PRAGMA synchronous = NORMAL")
            db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    return UpdateReport(removed=len(dropped), seconds=time.perf_counter() - started, **count)


def _title_row(file_id: int, facts: tuple) -> List[tuple]:
    """The row that makes a log's names found: the name the person gave its session
    and the title the assistant made, when it has either (a sub-agent's log takes
    its session's)."""
    names = [t for t in dict.fromkeys((facts[3].strip(), facts[4].strip())) if t]
    if not names or facts[2]:
        return []
    text = "\n".join(names)
    return [((file_id << ROW_BITS) | TITLE_PLACE, "title", TITLE, 0, facts[6], "", text, _search.index_text(text))]


def _seen(ix) -> str:
    """The archive as the index last saw it ("" for none)."""
    row = ix.shards[0].execute("SELECT value FROM meta WHERE key = 'archive'").fetchone()
    return str(row[0]) if row else ""


def _saw(ix, identity: str) -> None:
    ix.shards[0].execute("INSERT OR REPLACE INTO meta VALUES ('archive', ?)", (identity,))


def _paths(ix) -> List[str]:
    return [os.fsdecode(p) for db in ix.shards for p, in db.execute("SELECT path FROM files")]


@contextlib.contextmanager
def _archive_errors() -> Iterator[None]:
    """An archive that cannot be written stops the update before the batch it
    failed on is written to the index too."""
    try:
        yield
    except ArchiveProblem as e:
        raise IndexProblem(str(e)) from None


def _write_batches(ix, batches: Dict[int, _Batch], writers, pending) -> None:
    for shard, batch in sorted(batches.items()):
        if batch.empty:
            continue
        if pending[shard] is not None:
            pending[shard].result()
            pending[shard] = None
        ix._begin(ix.shards[shard], batch)
        pending[shard] = writers.submit(ix._finish, ix.shards[shard], batch.spans)


def _drop_rows(db: sqlite3.Connection, lo: int, hi: int) -> None:
    db.execute("INSERT INTO rows_fts(rows_fts, rowid, %s) SELECT 'delete', id, %s "
               "FROM rows WHERE id >= ? AND id < ?" % (FTS_COLUMNS, _FTS_VALUES), (lo, hi))
    db.execute("DELETE FROM rows WHERE id >= ? AND id < ?", (lo, hi))


def _begin(db: sqlite3.Connection, batch: _Batch) -> None:
    """Opens a transaction and writes a batch: logs dropped, rows replaced, new
    rows and records, all but their full-text entries, which _finish adds. The
    rows are bound here, on the calling thread: binding is Python work, and a
    writer thread would wait for the interpreter lock at every row."""
    db.execute("BEGIN IMMEDIATE")
    try:
        for record in batch.gone:
            _drop_rows(db, record.id << ROW_BITS, (record.id + 1) << ROW_BITS)
            db.execute("DELETE FROM files WHERE id = ?", (record.id,))
            db.execute("DELETE FROM file_roles WHERE file_id = ?", (record.id,))
        for file_id, since in batch.marks:
            db.execute("UPDATE files SET gone_since = ?, known = x'' WHERE id = ?", (since, file_id))
        for file_id, start in batch.replace:
            _drop_rows(db, (file_id << ROW_BITS) + start, (file_id + 1) << ROW_BITS)
        db.executemany(_INSERT_FILE, batch.records)
        ids = [(record[0],) for record in batch.records]
        db.executemany("DELETE FROM file_roles WHERE file_id = ?", ids)
        db.executemany(_ROLES_OF + " WHERE f.id = ?", ids)
        db.executemany("INSERT INTO rows(id, role, kind, flags, ts, tool, text, ftext) VALUES (?,?,?,?,?,?,?,?)",
                       batch.rows)
    except BaseException:
        _rollback(db)
        raise


def _finish(db: sqlite3.Connection, spans: Sequence[Tuple[int, int]]) -> None:
    """Indexes the text of the rows _begin wrote and commits: statements that
    SQLite runs without the interpreter lock, so they may run on another thread
    while the next batch is prepared."""
    try:
        for lo, hi in spans:
            db.execute("INSERT INTO rows_fts(rowid, %s) SELECT id, %s FROM rows "
                       "WHERE id >= ? AND id < ?" % (FTS_COLUMNS, _FTS_VALUES), (lo, hi))
        db.execute("COMMIT")
    except BaseException:
        _rollback(db)
        raise


def _reread(log: LogFile, file_id: int, warn: Warn):
    """A log read whole again: (rows, facts, digest), or (None, None, None)."""
    result = _search.read([(log.agent or "claude", os.fsencode(log.path), file_id << ROW_BITS, 0)], True)[0]
    if isinstance(result, str):
        warn(Problem(log.path, result))
        return None, None, None
    facts, rows = result
    return rows, facts, facts[10]


class _Done:
    """A piece of writing done on the calling thread, as a future that has its result."""

    def __init__(self, value) -> None:
        self.value = value

    def result(self):
        return self.value


class _OnThisThread:
    """Writes each shard's batch at once, on the calling thread."""

    @staticmethod
    def submit(fn: Callable, *args) -> _Done:
        return _Done(fn(*args))


@contextlib.contextmanager
def _writers(n: int, total: int) -> Iterator:
    """What runs each shard's writing: a thread per shard, or for a small update the
    calling thread."""
    if total <= SMALL_UPDATE_BYTES:
        yield _OnThisThread()
        return
    import concurrent.futures    # here: a search with little or nothing to update does without it
    with concurrent.futures.ThreadPoolExecutor(n, thread_name_prefix="sessionrows-write") as pool:
        yield pool


def _building(db: sqlite3.Connection, total: int) -> bool:
    """Whether this update builds the shard from nothing (or goes on with such a
    build that was cut short): then its segments are merged once, at the end."""
    if _build_cut_short(db):
        return True
    if not total or db.execute("SELECT 1 FROM files LIMIT 1").fetchone():
        return False
    db.execute("INSERT INTO rows_fts(rows_fts, rank) VALUES ('automerge', 0)")
    return True


def _built(db: sqlite3.Connection) -> None:
    """Merges the segments of a shard that was built from nothing into one, and
    turns the merging as segments pile up back on."""
    db.execute("BEGIN IMMEDIATE")
    try:
        db.execute("INSERT INTO rows_fts(rows_fts) VALUES ('optimize')")
        db.execute("INSERT INTO rows_fts(rows_fts, rank) VALUES ('automerge', %d)" % AUTOMERGE)
        db.execute("COMMIT")
    except BaseException:
        _rollback(db)
        raise


@contextlib.contextmanager
def _small_caches(shards: Sequence[sqlite3.Connection]) -> Iterator[None]:
    """A small page cache while the index is written: the full-text indexing of a
    large batch otherwise grows each writer by hundreds of MB (bench/cli.py: a first
    index peaked at 780 MB with 64 MiB caches and at 290 MB with these, in the same
    time), while searches keep the larger cache."""
    for db in shards:
        db.execute("PRAGMA cache_size = %d" % -WRITE_CACHE_KIB)
    try:
        yield
    finally:
        for db in shards:
            with contextlib.suppress(sqlite3.Error):
                db.execute("PRAGMA cache_size = %d" % -READ_CACHE_KIB)


def forget(ix, gone: Sequence[FileRecord]) -> None:
    """Removes these logs and their rows for good: the text is overwritten where it
    lay (secure_delete), and the full-text index of each shard it touched is
    rewritten, so that none of its words stays in the index files."""
    if not gone:
        return
    n = len(ix.shards)
    by_shard: Dict[int, List[FileRecord]] = {}
    for record in gone:
        by_shard.setdefault(record.id % n, []).append(record)
    with _update_lock(ix.path, ix.on_wait), ix._guard():
        for shard, records_of in sorted(by_shard.items()):
            db = ix.shards[shard]
            db.execute("PRAGMA secure_delete = ON")
            try:
                batch = _Batch()
                batch.gone.extend(records_of)
                _begin(db, batch)
                db.execute("COMMIT")
                db.execute("INSERT INTO rows_fts(rows_fts) VALUES ('optimize')")
                db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
            finally:
                db.execute("PRAGMA secure_delete = OFF")
