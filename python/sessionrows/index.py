"""The search index: SQLite databases with an FTS5 table over every row a person can
look for, kept up to date file by file.

The index is split in shards, one database file each (the first at the index path,
the others beside it), so that the full-text indexing of a large history runs on
every core: SQLite builds one database on one core. A log belongs to the shard of
its file id (id modulo the number of shards); a shard holds the records of its logs
and their rows, so each shard is a complete, consistent index of its logs, and a
search asks every shard and merges the answers.

In a shard, `files` has one record per log (its size, modification time and inode
as last read, kept also as the key the walk compares it with, and the facts that
name its session), `file_roles` its rows by role (for stats); `rows` the rows of
those logs in full, with their role, kind and time; `rows_fts` indexes their text in
three columns, what was said, tool calls and results, and injected text, so that ranking
puts a person's and an assistant's words before tool text for equally good matches
and a search leaves injected text out unless asked. The full-text table keeps no
copy of the text (contentless); `rows.ftext` holds the indexed form of a text where
it differs. A row's id is its file's id times 2**32 plus its place in the file's
rows, so the rows of a file are one range of ids.

Updating reads only the logs that are new or whose size, modification time or inode
changed; a log that only grew has its new rows added, any other change replaces its
rows; rows of logs that disappeared are dropped. Each batch is one transaction per
shard, and a log's record is written in the same transaction as its rows, so a run
that is killed leaves every log either done or still to do. One process updates at
a time (an advisory lock beside the database); readers are never blocked
(write-ahead log).
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import heapq
import json
import os
import sqlite3
import stat
import time
from typing import Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple

from . import _search
from .discovery import LogFile
from .reader import Problem, Warn, read_for_index, resolve_agents
from .sessions import CONTEXT, SUMMARY, TEXT, TOOL_CALL, TOOL_RESULT, SUBAGENT, title_of

SCHEMA_VERSION = 3
APPLICATION_ID = 0x73726F77  # "srow": marks a database as a sessionrows index
ROW_BITS = 32                # a row's id: file id << ROW_BITS | its place in the file
ROW_MASK = (1 << ROW_BITS) - 1
BUSY_SECONDS = 120
MAX_SHARDS = 4
# Large pages and a checkpoint every 128 MiB of written pages: building the full-text
# index writes long runs of pages, and this halves the time that smaller pages and
# more frequent checkpoints take (bench/cli.py).
PAGE_SIZE = 65536
CHECKPOINT_PAGES = 2048
FTS_PENDING_BYTES = 64 << 20
# FTS5 merges its segments as they pile up (automerge, 4 at a time). While a shard
# is built from nothing it merges none; the build ends with one merge of all of
# them into one ("optimize"): 11% less time for a first index, the same index.
# Such a build also does not wait for the disk at each checkpoint (synchronous
# off, 13-17% less time); it ends with one sync. A build cut short by a crash of
# the machine may have lost writes: the next run checks the shard and starts
# afresh if it is damaged (a build cut short otherwise goes on where it stopped).
AUTOMERGE = 4
# An update that reads less than this (a search after a session wrote a few lines)
# writes on the calling thread: starting writer threads, and importing what runs
# them, would cost more than they save.
SMALL_UPDATE_BYTES = 4 << 20
READ_CACHE_KIB = 65536
WRITE_CACHE_KIB = 2048
# Ranking: bm25 with what was said weighing more than tool text and injected text,
# so that for equally good matches a person's and an assistant's words come first.
# Queries call bm25 by name: FTS5's `rank` column fails ("SQL logic error") in a
# connection that used it before another connection changed the table's settings,
# as a first build does (SQLite 3.40).
RANK_WEIGHTS = "4.0, 1.0, 1.0"
RANK = "bm25(%s)" % RANK_WEIGHTS
RANK_SQL = "bm25(rows_fts, %s)" % RANK_WEIGHTS
# The full-text columns: what was said, tool calls and results, injected text.
_COLUMN_OF_KIND = {TEXT: 0, TOOL_CALL: 1, TOOL_RESULT: 1, CONTEXT: 2, SUMMARY: 2}
SAID_AND_TOOLS = "{said tool}"

_FILE_ROLES = """CREATE TABLE file_roles (
    file_id INTEGER NOT NULL,
    agent TEXT NOT NULL,
    role TEXT NOT NULL,
    n INTEGER NOT NULL,
    PRIMARY KEY (file_id, role)
) WITHOUT ROWID"""

_SCHEMA = """
CREATE TABLE files (
    id INTEGER PRIMARY KEY,
    path BLOB NOT NULL UNIQUE,
    agent TEXT NOT NULL,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    nrows INTEGER NOT NULL,
    digest INTEGER NOT NULL,
    session_id TEXT NOT NULL,
    cwd TEXT NOT NULL,
    agent_id TEXT NOT NULL,
    custom_title TEXT NOT NULL,
    ai_title TEXT NOT NULL,
    first_prompt TEXT NOT NULL,
    first_ts TEXT NOT NULL,
    last_ts TEXT NOT NULL,
    roles TEXT NOT NULL,
    known BLOB NOT NULL DEFAULT x''
);
CREATE INDEX files_session ON files(session_id, agent);
CREATE INDEX files_known ON files(known);
CREATE INDEX files_agent_id ON files(agent_id) WHERE agent_id != '';
%s;
CREATE TABLE rows (
    id INTEGER PRIMARY KEY,
    role TEXT NOT NULL,
    kind INTEGER NOT NULL,
    flags INTEGER NOT NULL,
    ts TEXT NOT NULL,
    tool TEXT NOT NULL,
    text TEXT NOT NULL,
    ftext TEXT
);
CREATE TABLE meta (key TEXT PRIMARY KEY, value);
CREATE VIRTUAL TABLE rows_fts USING fts5(
    said, tool, context, content='', tokenize='unicode61 remove_diacritics 2');
""" % _FILE_ROLES

# The three full-text columns of a row, from its kind and its indexed text.
_FTS_VALUES = ("CASE WHEN kind = 0 THEN coalesce(ftext, text) END, "
               "CASE WHEN kind IN (3, 4) THEN coalesce(ftext, text) END, "
               "CASE WHEN kind IN (1, 2) THEN coalesce(ftext, text) END")

_FILE_COLUMNS = ("id, path, agent, size, mtime_ns, inode, nrows, digest, session_id, cwd, agent_id, "
                 "custom_title, ai_title, first_prompt, first_ts, last_ts, roles")
# What the walk compares a log with, as it reads it: `path NUL size mtime_ns inode NUL`.
# Kept with each record, and in an index of its own, so that handing every record
# to the walk reads one narrow index instead of formatting the wide table's numbers
# (at 24,000 logs: 8 ms instead of 50).
_KNOWN = "CAST(%s || x'00' || %s || ' ' || %s || ' ' || %s || x'00' AS BLOB)"
_INSERT_FILE = "INSERT OR REPLACE INTO files(%s, known) VALUES (%s, %s)" % (
    _FILE_COLUMNS, ",".join("?%d" % i for i in range(1, 18)), _KNOWN % ("?2", "?4", "?5", "?6"))
# Each log's rows by role, also as rows of a narrow table, so that stats add them up
# without parsing every record's JSON (at 24,000 logs: 20 ms instead of 110).
_ROLES_OF = "INSERT INTO file_roles SELECT f.id, f.agent, j.key, j.value FROM files f, json_each(f.roles) j"


class IndexProblem(Exception):
    """An index that cannot be used; the message is one line for a person."""


def default_path(environ: Optional[dict] = None) -> str:
    env = os.environ if environ is None else environ
    cache = env.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "sessionrows", "index.sqlite")


def shard_path(path: str, shard: int) -> str:
    return path if shard == 0 else "%s.part%d" % (path, shard)


class UpdateReport(NamedTuple):
    files: int = 0          # logs in scope
    new: int = 0
    changed: int = 0
    appended: int = 0
    removed: int = 0
    rows: int = 0           # rows added to the index
    bytes_read: int = 0
    seconds: float = 0.0
    read_only: bool = False  # the index could not be written; it was searched as it was


class Filters(NamedTuple):
    agent: Optional[str] = None
    role: Optional[str] = None
    project: Optional[str] = None
    since: Optional[str] = None     # UTC time stamp text, inclusive
    until: Optional[str] = None     # UTC time stamp text, exclusive
    context: bool = False           # include injected text and summaries

    @property
    def on_rows(self) -> bool:
        return bool(self.agent or self.role or self.project or self.since or self.until)


class FileRecord(NamedTuple):
    id: int
    path: str
    agent: str
    size: int
    mtime_ns: int
    inode: int
    nrows: int
    digest: int
    session_id: str
    cwd: str
    agent_id: str
    custom_title: str
    ai_title: str
    first_prompt: str
    first_ts: str
    last_ts: str
    roles: str

    @property
    def title(self) -> str:
        return title_of(self.custom_title, self.ai_title, self.first_prompt)


def _record(row: tuple) -> FileRecord:
    return FileRecord(row[0], os.fsdecode(row[1]), *row[2:])


class Hit(NamedTuple):
    """One row that matched, with the facts of its log."""

    file: FileRecord
    row: int
    role: str
    kind: int
    flags: int
    timestamp: str
    tool: str
    text: str
    score: float
    title: str = ""         # the session's title (a sub-agent's: its session's)


class Scope(NamedTuple):
    """Which indexed logs a search looks at: all of them, or those below `roots`
    (folders, every log below them; files, that log)."""

    roots: Sequence[str] = ()
    whole: bool = True


def _private_file(path: str) -> None:
    """Creates `path` readable by its owner only, or narrows one that this tool made.
    Refuses anything that is not a regular file."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
        os.close(fd)
        return
    if not stat.S_ISREG(st.st_mode):
        raise IndexProblem("%s is not a regular file; give an index file with --index FILE" % path)
    if st.st_mode & 0o077 and st.st_uid == os.getuid():
        os.chmod(path, 0o600)


def _private_folder(folder: str) -> None:
    if not os.path.isdir(folder):
        os.makedirs(folder, mode=0o700, exist_ok=True)
        os.chmod(folder, 0o700)
    elif os.path.basename(folder) == "sessionrows" and os.stat(folder).st_mode & 0o077:
        os.chmod(folder, 0o700)   # our own cache folder, made by an older release or by hand


def _rebuild_hint(path: str) -> str:
    return "sessionrows index --rebuild" + ("" if path == default_path() else " --index " + path)


def _damaged(path: str, error: Exception) -> IndexProblem:
    return IndexProblem("the index %s is damaged (%s); rebuild it with: %s" % (path, error, _rebuild_hint(path)))


def _is_ours(path: str) -> bool:
    """True if `path` is a regular file that holds a sessionrows index (or nothing),
    or any regular file in sessionrows' own cache folder (a damaged index there is
    still ours to rebuild)."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return True
    if not stat.S_ISREG(st.st_mode):
        return False
    if st.st_size == 0 or os.path.dirname(path) == os.path.dirname(default_path()):
        return True
    try:
        with open(path, "rb") as f:
            header = f.read(100)
    except OSError:
        return False
    # SQLite's header: the magic text, and the application id at byte 68 (written
    # when the index is made, before it goes over to its write-ahead log).
    return header[:16] == b"SQLite format 3\x00" and int.from_bytes(header[68:72], "big") == APPLICATION_ID


def remove_index(path: str) -> None:
    """Deletes the index at `path` and its shards, only if they are sessionrows indexes."""
    shards = [path] + [shard_path(path, k) for k in range(1, MAX_SHARDS + 8)]
    for p in shards:
        if not _is_ours(p):
            raise IndexProblem("%s is not a sessionrows index; it was left as it is" % p)
    for p in shards:
        for suffix in ("", "-wal", "-shm", "-journal"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(p + suffix)


def _processors() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


class _Batch:
    """What one batch writes into one shard."""

    def __init__(self) -> None:
        self.gone: List[FileRecord] = []            # logs to drop
        self.replace: List[Tuple[int, int]] = []    # (file id, first row to drop)
        self.records: List[tuple] = []
        self.rows: List[tuple] = []
        self.spans: List[Tuple[int, int]] = []      # row id ranges written

    @property
    def empty(self) -> bool:
        return not (self.gone or self.records)


class Index:
    """An open index. Use as a context manager, or call close()."""

    def __init__(self, path: str, shards: List[sqlite3.Connection], on_wait: Optional[Callable[[], None]] = None,
                 writable: bool = True):
        self.path = path
        self.shards = shards
        self.on_wait = on_wait     # called when another process is updating the index
        self.writable = writable

    # -- opening ---------------------------------------------------------------

    @classmethod
    def open(cls, path: Optional[str] = None, *, rebuild: bool = False,
             on_wait: Optional[Callable[[], None]] = None, shards: Optional[int] = None) -> "Index":
        """Opens the index at `path` (default: in the user's cache folder), making it
        if there is none. An index that cannot be written (a read-only folder or
        file) is opened for reading, with `writable` False."""
        path = os.path.abspath(path or default_path())
        if os.path.isdir(path):
            raise IndexProblem("%s is a folder; give an index file with --index FILE" % path)
        if not _is_ours(path):
            raise IndexProblem("%s is not a sessionrows index; give another --index file" % path)
        try:
            _private_folder(os.path.dirname(path))
            _private_file(path)
        except PermissionError:
            return cls._open_read_only(path, rebuild)
        except OSError as e:
            if e.errno == errno.EROFS:
                return cls._open_read_only(path, rebuild)
            raise IndexProblem("cannot create the index %s: %s" % (path, e.strerror or e)) from None
        with _update_lock(path, on_wait):
            if rebuild:
                remove_index(path)
                _private_file(path)
            conns = _connect_all(path, shards)
            if conns is None:   # an older format, or a damaged first build: it is only a cache
                remove_index(path)
                _private_file(path)
                conns = _connect_all(path, shards)
        if conns is None:
            raise IndexProblem("the index %s cannot be created afresh" % path)
        return cls(path, conns, on_wait)

    @classmethod
    def _open_read_only(cls, path: str, rebuild: bool) -> "Index":
        if rebuild:
            raise IndexProblem("the index %s is read-only; it cannot be rebuilt" % path)
        if not os.path.exists(path) or os.path.getsize(path) == 0:
            raise IndexProblem("cannot create the index %s: its folder is read-only" % path)
        conns = []
        try:
            first = _connect_read_only(path)
            conns.append(first)
            count = _shard_count(first)
            for k in range(1, count):
                conns.append(_connect_read_only(shard_path(path, k)))
        except sqlite3.DatabaseError as e:
            for c in conns:
                c.close()
            raise _damaged(path, e) from None
        return cls(path, conns, None, writable=False)

    def close(self) -> None:
        for db in self.shards:
            db.close()

    def __enter__(self) -> "Index":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @contextlib.contextmanager
    def _guard(self) -> Iterator[None]:
        """Turns SQLite's reports into an IndexProblem with a sentence for a person."""
        try:
            yield
        except sqlite3.OperationalError as e:
            text = str(e)
            if "locked" in text or "busy" in text:
                raise IndexProblem("the index %s is busy: another process holds it (%s)" % (self.path, e)) from None
            if "disk is full" in text or "disk I/O error" in text:
                raise IndexProblem("the disk holding the index %s is full or failing (%s); the index was left as "
                                   "it was" % (self.path, e)) from None
            if "readonly" in text or "read-only" in text:
                raise IndexProblem("the index %s is read-only (%s)" % (self.path, e)) from None
            if "interrupted" in text:
                raise
            raise _damaged(self.path, e) from None
        except sqlite3.DatabaseError as e:
            raise _damaged(self.path, e) from None
        except UnicodeDecodeError as e:
            raise _damaged(self.path, e) from None

    # -- what the index knows -------------------------------------------------------

    def known(self) -> List[bytes]:
        """Per shard, the path, size, modification time and inode of every log, as one
        blob of records `path NUL size mtime_ns inode NUL` (for the walk to compare)."""
        out = []
        with self._guard():
            for db in self.shards:
                try:
                    blob = db.execute("SELECT CAST(group_concat(known, '') AS BLOB) FROM files").fetchone()[0]
                except sqlite3.OperationalError:     # a read-only index of format 2
                    blob = db.execute("SELECT CAST(group_concat(%s, '') AS BLOB) FROM files"
                                      % _KNOWN % ("path", "size", "mtime_ns", "inode")).fetchone()[0]
                out.append(blob or b"")
        return out

    def count_files(self) -> int:
        with self._guard():
            return sum(db.execute("SELECT count(*) FROM files").fetchone()[0] for db in self.shards)

    def counts(self) -> Tuple[int, int]:
        with self._guard():
            files = rows = 0
            for db in self.shards:
                f, r = db.execute("SELECT count(*), coalesce(sum(nrows), 0) FROM files").fetchone()
                files += f
                rows += r
            return files, rows

    def records(self, where: str = "", args: Sequence = (), order: str = "") -> List[FileRecord]:
        """The file records of every shard that meet an SQL condition on `files`."""
        sql = "SELECT %s FROM files%s%s" % (_FILE_COLUMNS, " WHERE " + where if where else "",
                                           " ORDER BY " + order if order else "")
        with self._guard():
            return [_record(r) for db in self.shards for r in db.execute(sql, args)]

    def record_by_path(self, paths: Sequence[str]) -> Dict[str, FileRecord]:
        out: Dict[str, FileRecord] = {}
        keys = [os.fsencode(p) for p in paths]
        for i in range(0, len(keys), 500):
            chunk = keys[i:i + 500]
            for r in self.records("path IN (%s)" % ",".join("?" * len(chunk)), chunk):
                out[r.path] = r
        return out

    # -- updating --------------------------------------------------------------

    def update(self, fresh: Sequence[LogFile], gone: Sequence[str], warn: Warn, *, named: Sequence[str] = (),
               progress: Optional[Callable[[int, int], None]] = None) -> UpdateReport:
        """Brings the index up to date: `fresh` are the logs that are new or changed
        (as the walk found them), `gone` the indexed logs that no longer exist.

        Three things run at once: the native reading of the next batch (a helper
        thread), the binding of this batch's rows (here), and the full-text indexing
        of the previous batch, one writer thread per shard (SQLite runs without the
        interpreter lock)."""
        started = time.perf_counter()
        if not fresh and not gone:
            return UpdateReport()
        if not self.writable:
            return UpdateReport(read_only=True)
        count = dict.fromkeys(("new", "changed", "appended", "rows", "bytes_read"), 0)
        with _update_lock(self.path, self.on_wait), self._guard(), _small_caches(self.shards):
            previous = self.record_by_path([log.path for log in fresh] + list(gone))
            dropped = [previous[p] for p in gone if p in previous]
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
            total = sum(log.size for log in todo)
            next_id = 1 + max([0] + [db.execute("SELECT coalesce(max(id), 0) FROM files").fetchone()[0]
                                     for db in self.shards])
            n = len(self.shards)
            batches: Dict[int, _Batch] = {}

            def batch_of(file_id: int) -> _Batch:
                return batches.setdefault(file_id % n, _Batch())

            for record in dropped:
                batch_of(record.id).gone.append(record)
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
                jobs.append((log, file_id, start))
            done = 0
            building = [_building(db, total) for db in self.shards]
            for db, b in zip(self.shards, building):
                if b:
                    db.execute("PRAGMA synchronous = OFF")
            with _writers(n, total) as writers:
                pending: list = [None] * n
                if batches:
                    self._write_batches(batches, writers, pending)
                    batches = {}
                for results in read_for_index(jobs, warn):
                    for (log, file_id, start), facts, rows, digest in results:
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
                                              json.dumps(dict(facts[9]), separators=(",", ":")),))
                        b.rows.extend(rows)
                        b.spans.append(((file_id << ROW_BITS) + start, (file_id + 1) << ROW_BITS))
                        count["rows"] += len(rows)
                        done += log.size
                    self._write_batches(batches, writers, pending)
                    batches = {}
                    if progress:
                        progress(done, total)
                for future in pending:
                    if future is not None:
                        future.result()
                for future in [writers.submit(_built, db) for db, b in zip(self.shards, building) if b]:
                    future.result()
            count["bytes_read"] = done
            for db in self.shards:
                db.execute("PRAGMA synchronous = NORMAL")
                db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        return UpdateReport(removed=len(dropped), seconds=time.perf_counter() - started, **count)

    def _write_batches(self, batches: Dict[int, _Batch], writers, pending) -> None:
        for shard, batch in sorted(batches.items()):
            if batch.empty:
                continue
            if pending[shard] is not None:
                pending[shard].result()
                pending[shard] = None
            self._begin(self.shards[shard], batch)
            pending[shard] = writers.submit(self._finish, self.shards[shard], batch.spans)

    @staticmethod
    def _drop_rows(db: sqlite3.Connection, lo: int, hi: int) -> None:
        db.execute("INSERT INTO rows_fts(rows_fts, rowid, said, tool, context) SELECT 'delete', id, %s "
                   "FROM rows WHERE id >= ? AND id < ?" % _FTS_VALUES, (lo, hi))
        db.execute("DELETE FROM rows WHERE id >= ? AND id < ?", (lo, hi))

    def _begin(self, db: sqlite3.Connection, batch: _Batch) -> None:
        """Opens a transaction and writes a batch: logs dropped, rows replaced, new
        rows and records, all but their full-text entries, which _finish adds. The
        rows are bound here, on the calling thread: binding is Python work, and a
        writer thread would wait for the interpreter lock at every row."""
        db.execute("BEGIN IMMEDIATE")
        try:
            for record in batch.gone:
                self._drop_rows(db, record.id << ROW_BITS, (record.id + 1) << ROW_BITS)
                db.execute("DELETE FROM files WHERE id = ?", (record.id,))
                db.execute("DELETE FROM file_roles WHERE file_id = ?", (record.id,))
            for file_id, start in batch.replace:
                self._drop_rows(db, (file_id << ROW_BITS) + start, (file_id + 1) << ROW_BITS)
            db.executemany(_INSERT_FILE, batch.records)
            ids = [(record[0],) for record in batch.records]
            db.executemany("DELETE FROM file_roles WHERE file_id = ?", ids)
            db.executemany(_ROLES_OF + " WHERE f.id = ?", ids)
            db.executemany("INSERT INTO rows(id, role, kind, flags, ts, tool, text, ftext) VALUES (?,?,?,?,?,?,?,?)",
                           batch.rows)
        except BaseException:
            _rollback(db)
            raise

    @staticmethod
    def _finish(db: sqlite3.Connection, spans: Sequence[Tuple[int, int]]) -> None:
        """Indexes the text of the rows _begin wrote and commits: statements that
        SQLite runs without the interpreter lock, so they may run on another thread
        while the next batch is prepared."""
        try:
            for lo, hi in spans:
                db.execute("INSERT INTO rows_fts(rowid, said, tool, context) SELECT id, %s FROM rows "
                           "WHERE id >= ? AND id < ?" % _FTS_VALUES, (lo, hi))
            db.execute("COMMIT")
        except BaseException:
            _rollback(db)
            raise

    # -- searching -------------------------------------------------------------

    def search(self, fts_query: str, filters: Filters, limit: int, scope: Optional[Scope] = None,
               broad_limit: Optional[int] = None) -> "Matches":
        """The best `limit` hits of an FTS5 query (bm25, what was said weighing more),
        from every shard. A query with more than `broad_limit` rows that pass the
        filters ranks about the newest `broad_limit` of them, an equal share from
        each shard (`Matches.bounded` says so, `Matches.ranked` how many)."""
        expression = fts_query if filters.context else "%s : (%s)" % (SAID_AND_TOOLS, fts_query)
        conditions: List[str] = []
        args: list = []
        if filters.role:
            conditions.append("r.role = ?")
            args.append(filters.role)
            if filters.role == "user":
                conditions.append("r.flags & %d = 0" % SUBAGENT)
        if filters.since:
            conditions.append("r.ts >= ?")
            args.append(filters.since)
        if filters.until:
            conditions.append("r.ts < ? AND r.ts != ''")
            args.append(filters.until)
        file_conditions, file_args = _file_conditions(filters, scope)
        joins = "JOIN rows r ON r.id = rows_fts.rowid " if conditions else ""
        if file_conditions:
            # The logs that pass are looked up once; each match then costs a lookup
            # in that set, not in the files table.
            conditions.insert(0, "rows_fts.rowid >> %d IN (SELECT id FROM files f WHERE %s)"
                              % (ROW_BITS, " AND ".join(file_conditions)))
            args[:0] = file_args
        where = " AND ".join(["rows_fts MATCH ?"] + conditions)
        params = [expression] + args
        share = -(-broad_limit // len(self.shards)) if broad_limit else 0
        if share:
            # One pass over the matches, newest first, that stops after the newest
            # that pass the filters; they are ranked here. Row ids grow with time
            # and logs are dealt to the shards in turn, so the newest share of each
            # shard are about the newest of all.
            sql = ("SELECT %s, rows_fts.rowid FROM rows_fts %sWHERE %s ORDER BY rows_fts.rowid DESC LIMIT ?"
                   % (RANK_SQL, joins, where))
            params.append(share + 1)
        else:
            sql = ("SELECT %s, rows_fts.rowid FROM rows_fts %sWHERE %s ORDER BY 1 LIMIT ?"
                   % (RANK_SQL, joins, where))
            params.append(limit + 1)
        top: List[Tuple[float, int, int]] = []    # (rank, shard, row id)
        bounded = False
        with self._guard(), _query_errors():
            for shard, db in enumerate(self.shards):
                found = db.execute(sql, params).fetchall()
                if share and len(found) > share:
                    bounded = True
                    del found[share:]
                top.extend((rank, shard, row_id) for rank, row_id in found)
            best = heapq.nsmallest(limit + 1, top)
            hits = self._hits(best[:limit])
        return Matches(hits, bounded, len(top) if bounded else None, len(best) > limit)

    def _hits(self, best: Sequence[Tuple[float, int, int]]) -> List[Hit]:
        by_shard: Dict[int, List[int]] = {}
        for _, shard, row_id in best:
            by_shard.setdefault(shard, []).append(row_id)
        rows: Dict[Tuple[int, int], tuple] = {}
        files: Dict[int, FileRecord] = {}
        for shard, ids in by_shard.items():
            db = self.shards[shard]
            marks = ",".join("?" * len(ids))
            for row in db.execute("SELECT id, role, kind, flags, ts, tool, text FROM rows WHERE id IN (%s)" % marks, ids):
                rows[(shard, row[0])] = row
            file_ids = sorted({i >> ROW_BITS for i in ids})
            for r in db.execute("SELECT %s FROM files WHERE id IN (%s)" % (_FILE_COLUMNS, ",".join("?" * len(file_ids))),
                                file_ids):
                files[r[0]] = _record(r)
        titles = self._titles(list(files.values()))
        hits = []
        for rank, shard, row_id in best:
            row = rows.get((shard, row_id))
            record = files.get(row_id >> ROW_BITS)
            if row is None or record is None:
                continue    # dropped by an update since the query ran
            hits.append(Hit(record, row_id & ROW_MASK, row[1], row[2], row[3], row[4], row[5], row[6], rank,
                            titles.get(record.id, record.title)))
        return hits

    def _titles(self, records: Sequence[FileRecord]) -> Dict[int, str]:
        """The title of each log's session: a sub-agent's log takes its session's."""
        out = {}
        parents = self.main_logs([r.session_id for r in records if r.agent_id and r.session_id])
        for r in records:
            main = parents.get(r.session_id) if r.agent_id else None
            out[r.id] = main.title if main is not None else r.title
        return out

    def main_logs(self, session_ids: Sequence[str]) -> Dict[str, FileRecord]:
        """The main log (not a sub-agent's) of each session id."""
        ids = sorted(set(session_ids))
        if not ids:
            return {}
        out: Dict[str, FileRecord] = {}
        for r in self.records("session_id IN (%s) AND agent_id = ''" % ",".join("?" * len(ids)), ids,
                              order="size"):
            out[r.session_id] = r    # the largest log of the session last
        return out

    def find_sessions(self, key: str) -> List[FileRecord]:
        """The logs that `key` names: a session id or a prefix of one (the session's
        logs, sub-agents' included), or "agent-" and a sub-agent's id (its log)."""
        pattern = key.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
        if key.startswith("agent-") and len(key) > 6:
            agent = key[6:].replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
            found = self.records("agent_id LIKE ? ESCAPE '\\'", (agent,))
            if found:
                return found
        return self.records("session_id LIKE ? ESCAPE '\\'", (pattern,), order="session_id")

    def list_sessions(self, filters: Filters, limit: int, scope: Optional[Scope] = None,
                      offset: int = 0) -> List[FileRecord]:
        """The main logs of sessions, newest first (by their last row's time)."""
        conditions, args = _file_conditions(filters, scope)
        conditions.append("agent_id = ''")
        if filters.since:
            conditions.append("last_ts >= ?")
            args.append(filters.since)
        if filters.until:
            conditions.append("first_ts < ? AND first_ts != ''")
            args.append(filters.until)
        sql = ("SELECT %s FROM files f WHERE %s ORDER BY last_ts DESC LIMIT ?"
               % (_FILE_COLUMNS, " AND ".join(conditions)))
        with self._guard():
            found = [_record(r) for db in self.shards for r in db.execute(sql, args + [limit + offset])]
        found.sort(key=lambda r: r.last_ts, reverse=True)
        return found[offset:offset + limit]

    def stats(self, scope: Optional[Scope] = None) -> List[tuple]:
        """Per agent: (agent, files, bytes, sessions, rows, roles dict, first, last)."""
        conditions, args = _file_conditions(Filters(), scope)
        where = " WHERE " + " AND ".join(conditions) if conditions else ""
        also = "".join(" AND " + c for c in conditions)
        per_agent: Dict[str, list] = {}
        sessions: Dict[str, set] = {}
        loose: Dict[str, int] = {}
        with self._guard():
            for db in self.shards:
                for agent, files, size, rows, first, last in db.execute(
                        "SELECT agent, count(*), sum(size), sum(nrows), min(nullif(first_ts, '')), max(last_ts) "
                        "FROM files f%s GROUP BY agent" % where, args):
                    a = per_agent.setdefault(agent, [0, 0, 0, {}, "", ""])
                    a[0] += files
                    a[1] += size
                    a[2] += rows
                    if first and (not a[4] or first < a[4]):
                        a[4] = first
                    if last and last > a[5]:
                        a[5] = last
                for agent, role, n in db.execute(
                        "SELECT agent, role, sum(n) FROM file_roles%s GROUP BY 1, 2"
                        % (" WHERE file_id IN (SELECT id FROM files f%s)" % where if where else ""), args):
                    roles = per_agent[agent][3]
                    roles[role] = roles.get(role, 0) + n
                # A session's logs may lie in several shards; a log without a
                # session id is a session of its own.
                for agent, session in db.execute(
                        "SELECT agent, session_id FROM files f WHERE session_id != ''%s GROUP BY session_id, agent"
                        % also, args):
                    sessions.setdefault(agent, set()).add(session)
                for agent, n in db.execute(
                        "SELECT agent, count(*) FROM files f WHERE session_id = ''%s GROUP BY 1"
                        % also, args):
                    loose[agent] = loose.get(agent, 0) + n
        return [(agent, a[0], a[1], len(sessions.get(agent, ())) + loose.get(agent, 0), a[2],
                 dict(sorted(a[3].items(), key=lambda kv: -kv[1])), a[4], a[5])
                for agent, a in sorted(per_agent.items())]


class Matches(NamedTuple):
    hits: List[Hit]
    bounded: bool = False           # some shard matched more rows than were ranked
    ranked: Optional[int] = None    # how many of the newest matches were ranked
    more: bool = False              # more rows matched than were asked for


_QUERY_FAULTS = ("fts5", "syntax error", "unterminated string", "no such column", "unknown special query")


@contextlib.contextmanager
def _query_errors() -> Iterator[None]:
    """A full-text query that SQLite cannot run is the query's fault, not the index's."""
    try:
        yield
    except sqlite3.OperationalError as e:
        if any(fault in str(e) for fault in _QUERY_FAULTS):
            from .query import QueryError
            raise QueryError("the query cannot be run: %s" % e) from None
        raise


def _file_conditions(filters: Filters, scope: Optional[Scope]) -> Tuple[List[str], list]:
    """SQL conditions on `files f` for the agent, the project and the scope."""
    conditions: List[str] = []
    args: list = []
    if filters.agent:
        conditions.append("f.agent = ?")
        args.append(filters.agent)
    if filters.project:
        conditions.append("instr(lower(f.cwd), lower(?)) > 0")
        args.append(filters.project)
    if scope is not None and not scope.whole:
        parts = []
        for root in scope.roots:
            key = os.fsencode(root.rstrip(os.sep) or os.sep)
            parts.append("f.path = ? OR (f.path > ? AND f.path < ?)")
            prefix = key if key.endswith(b"/") else key + b"/"
            args += [key, prefix, prefix[:-1] + b"0"]
        conditions.append("(%s)" % " OR ".join(parts) if parts else "0")
    return conditions, args


def _reread(log: LogFile, file_id: int, warn: Warn):
    """A log read whole again: (rows, facts, digest), or (None, None, None)."""
    result = _search.read([(log.agent or "claude", os.fsencode(log.path), file_id << ROW_BITS, 0)], True)[0]
    if isinstance(result, str):
        warn(Problem(log.path, result))
        return None, None, None
    facts, rows = result
    return rows, facts, facts[10]


def _build_cut_short(db: sqlite3.Connection) -> bool:
    row = db.execute("SELECT v FROM rows_fts_config WHERE k = 'automerge'").fetchone()
    return row is not None and row[0] == 0


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


def _connect(path: str) -> sqlite3.Connection:
    return sqlite3.connect(path, timeout=BUSY_SECONDS, isolation_level=None, check_same_thread=False)


def _connect_read_only(path: str) -> sqlite3.Connection:
    db = sqlite3.connect("file:%s?mode=ro" % _uri_path(path), uri=True, timeout=BUSY_SECONDS,
                         isolation_level=None, check_same_thread=False)
    _check_format(db, path)
    return db


def _uri_path(path: str) -> str:
    from urllib.parse import quote
    return quote(path)


def _shard_count(db: sqlite3.Connection) -> int:
    row = db.execute("SELECT value FROM meta WHERE key = 'shards'").fetchone()
    return int(row[0]) if row else 1


def _connect_all(path: str, shards: Optional[int]) -> Optional[List[sqlite3.Connection]]:
    """Every shard of the index at `path`, ready for use, or None if the index is to
    be rebuilt (see _prepare). A new index gets `shards` shards (default: one per
    processor, at most MAX_SHARDS)."""
    first = _connect(path)
    conns = [first]
    try:
        state = _prepare(first, path)
        if state is None:
            first.close()
            return None
        count = _shard_count(first) if state else min(MAX_SHARDS, max(1, shards or _processors()))
        if not state:
            first.execute("INSERT OR REPLACE INTO meta VALUES ('shards', ?)", (count,))
        for k in range(1, count):
            p = shard_path(path, k)
            if not _is_ours(p):
                raise IndexProblem("%s is not a sessionrows index; it was left as it is" % p)
            _private_file(p)
            db = _connect(p)
            conns.append(db)
            if _prepare(db, p) is None:
                for c in conns:
                    c.close()
                return None
        return conns
    except sqlite3.DatabaseError as e:
        for db in conns:
            db.close()
        raise _damaged(path, e) from None
    except BaseException:
        for db in conns:
            db.close()
        raise


def _check_format(db: sqlite3.Connection, path: str) -> Optional[bool]:
    """None for an index of an older format; False for an empty file; True for an
    index of this format. Raises IndexProblem for anything else."""
    app_id = db.execute("PRAGMA application_id").fetchone()[0]
    version = db.execute("PRAGMA user_version").fetchone()[0]
    tables = db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
    if tables and app_id != APPLICATION_ID:
        raise IndexProblem("%s is not a sessionrows index; give another --index file" % path)
    if version > SCHEMA_VERSION:
        raise IndexProblem("the index %s was written by a newer sessionrows (index format %d, this release "
                           "reads %d); upgrade sessionrows, or rebuild it with: %s"
                           % (path, version, SCHEMA_VERSION, _rebuild_hint(path)))
    if tables and version < SCHEMA_VERSION:
        return None
    if tables:
        for table in ("files", "rows", "rows_fts", "meta"):
            if not db.execute("SELECT 1 FROM sqlite_master WHERE name = ?", (table,)).fetchone():
                raise _damaged(path, Exception("its table %s is missing" % table))
    return bool(tables)


def _upgrade(db: sqlite3.Connection) -> None:
    """Brings an index of format 2 to this one in place (format 2 lacked the walk's
    key of each log and the table of rows by role); older formats are rebuilt."""
    def version() -> int:
        return db.execute("PRAGMA user_version").fetchone()[0]
    if version() != 2 or db.execute("PRAGMA application_id").fetchone()[0] != APPLICATION_ID:
        return
    db.execute("BEGIN IMMEDIATE")
    try:
        if version() == 2:
            db.execute("ALTER TABLE files ADD COLUMN known BLOB NOT NULL DEFAULT x''")
            db.execute("UPDATE files SET known = " + _KNOWN % ("path", "size", "mtime_ns", "inode"))
            db.execute("CREATE INDEX files_known ON files(known)")
            db.execute("DROP INDEX files_session")
            db.execute("CREATE INDEX files_session ON files(session_id, agent)")
            db.execute(_FILE_ROLES)
            db.execute(_ROLES_OF)
            db.execute("PRAGMA user_version = %d" % SCHEMA_VERSION)
        db.execute("COMMIT")
    except BaseException:
        _rollback(db)
        raise


def _sound(db: sqlite3.Connection) -> bool:
    try:
        return db.execute("PRAGMA quick_check").fetchone()[0] == "ok"
    except sqlite3.DatabaseError:
        return False


def _prepare(db: sqlite3.Connection, path: str) -> Optional[bool]:
    """Checks what the file holds and creates the schema in an empty file. Returns
    None for an index to be rebuilt (of an older format, or a first build that a
    crash left damaged), False for a new one, True for an existing one."""
    _upgrade(db)
    state = _check_format(db, path)
    if state is None:
        return None
    if state and _build_cut_short(db) and not _sound(db):
        return None     # a first build that a crash of the machine cut short: start afresh
    db.execute("PRAGMA synchronous = NORMAL")
    db.execute("PRAGMA cache_size = %d" % -READ_CACHE_KIB)
    db.execute("PRAGMA temp_store = MEMORY")
    db.execute("PRAGMA wal_autocheckpoint = %d" % CHECKPOINT_PAGES)
    if state:
        db.execute("PRAGMA journal_mode = WAL")
        return True
    # The schema and the application id are written straight into the file (not
    # its write-ahead log), so the file says what it is from the start.
    db.execute("PRAGMA page_size = %d" % PAGE_SIZE)
    db.execute("BEGIN IMMEDIATE")
    try:
        for statement in _SCHEMA.split(";"):
            if statement.strip():
                db.execute(statement)
        # Pending full-text entries are written out as a segment when they reach
        # this size: fewer, larger segments mean less merging while a large
        # history is indexed (bench/cli.py).
        db.execute("INSERT INTO rows_fts(rows_fts, rank) VALUES ('hashsize', %d)" % FTS_PENDING_BYTES)
        db.execute("INSERT INTO rows_fts(rows_fts, rank) VALUES ('rank', ?)", (RANK,))
        db.execute("PRAGMA application_id = %d" % APPLICATION_ID)
        db.execute("PRAGMA user_version = %d" % SCHEMA_VERSION)
        db.execute("COMMIT")
    except sqlite3.OperationalError as e:
        _rollback(db)
        if "fts5" in str(e):
            raise IndexProblem("this Python's SQLite has no full-text search (FTS5): %s" % e) from None
        raise
    except BaseException:
        _rollback(db)
        raise
    db.execute("PRAGMA journal_mode = WAL")
    return False


def _rollback(db: sqlite3.Connection) -> None:
    """Rolls back the open transaction, if SQLite has not rolled it back itself (as
    it does when the disk is full)."""
    if db.in_transaction:
        db.execute("ROLLBACK")


@contextlib.contextmanager
def _update_lock(path: str, on_wait: Optional[Callable[[], None]] = None) -> Iterator[None]:
    """One updating process at a time; the kernel lets go if the process dies.
    `on_wait` is called once if another process holds the lock."""
    lock_path = path + ".lock"
    _private_file(lock_path)
    fd = os.open(lock_path, os.O_RDWR | os.O_CLOEXEC | os.O_NOFOLLOW)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            if on_wait:
                on_wait()
            fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)
