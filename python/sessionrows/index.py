"""The search index: an SQLite database with an FTS5 table over every row worth
finding, kept up to date file by file.

Layout: `files` has one record per indexed log (its size, modification time and
inode as last read, and the session it holds); `rows` the rows of those logs that a
search can find (the words of the conversation, tool calls and results, and the
text injected around a person's words, marked as such); `rows_fts` indexes their
text (external content: the text is stored once, in `rows`). A row's id is its
file's id times 2**32 plus its place in the file's rows, so the rows of a file are
one range of ids and need no index of their own.

Updating reads only the files that are new or whose size, modification time or
inode changed; a file that only grew has its new rows added, any other change
replaces its rows; rows of files that disappeared are dropped. Each batch of files
is one transaction, and a file's record is written in the same transaction as its
rows, so a run that is killed leaves every file either done or still to do. One
process updates at a time (an advisory lock beside the database); readers are never
blocked (write-ahead log).
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import fcntl
import os
import sqlite3
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterator, List, Optional, Sequence, cast

from .discovery import CLAUDE, LogFile
from .reader import Warn, read_batches, resolve_agents
from .sessions import CONTEXT, custom_title, row_kinds, search_role, session_info, title_of

SCHEMA_VERSION = 1
APPLICATION_ID = 0x73726F77  # "srow": marks a database as a sessionrows index
ROW_BITS = 32                # a row's id: file id << ROW_BITS | its place in the file
BUSY_SECONDS = 120
# Large pages and a checkpoint every 128 MiB of written pages: building the full-text
# index writes long runs of pages, and this halves the time that smaller pages and
# more frequent checkpoints take (bench/cli.py).
PAGE_SIZE = 65536
CHECKPOINT_PAGES = 2048
FTS_PENDING_BYTES = 64 << 20

_SCHEMA = """
CREATE TABLE files (
    id INTEGER PRIMARY KEY,
    path TEXT NOT NULL UNIQUE,
    agent TEXT NOT NULL,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    nrows INTEGER NOT NULL,
    session_id TEXT NOT NULL,
    cwd TEXT NOT NULL,
    custom_title TEXT,
    ai_title TEXT NOT NULL,
    first_prompt TEXT NOT NULL,
    first_ts TEXT NOT NULL,
    last_ts TEXT NOT NULL
);
CREATE INDEX files_session ON files(session_id);
CREATE TABLE rows (
    id INTEGER PRIMARY KEY,
    role TEXT NOT NULL,
    ts TEXT NOT NULL,
    context INTEGER NOT NULL,
    text TEXT NOT NULL
);
CREATE VIRTUAL TABLE rows_fts USING fts5(
    text, content='rows', content_rowid='id', tokenize='unicode61 remove_diacritics 2');
"""

# Marks around the matched words in a snippet (private-use characters, which the
# terminal output turns into highlighting and the JSON output into "**").
MATCH_START, MATCH_END = "\ue000", "\ue001"
SNIPPET_TOKENS = 20


class IndexProblem(Exception):
    """An index that cannot be used; the message is one line for a person."""


def default_path(environ: Optional[dict] = None) -> str:
    env = os.environ if environ is None else environ
    cache = env.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "sessionrows", "index.sqlite")


@dataclass
class UpdateReport:
    files: int = 0          # files in scope
    new: int = 0
    changed: int = 0
    appended: int = 0
    removed: int = 0
    rows: int = 0           # rows added to the index
    bytes_read: int = 0
    seconds: float = 0.0
    scope: List[int] = field(default_factory=list)   # the ids of the files in scope


@dataclass
class Hit:
    path: str
    agent: str
    session_id: str
    title: str
    cwd: str
    role: str
    timestamp: str
    text: str
    snippet: str            # with MATCH_START / MATCH_END around the matches
    row: int
    context: bool
    score: float


@dataclass
class Filters:
    agent: Optional[str] = None
    role: Optional[str] = None
    project: Optional[str] = None
    since: Optional[str] = None     # UTC time stamp text, inclusive
    until: Optional[str] = None     # UTC time stamp text, exclusive
    context: bool = False           # include injected text


@dataclass
class _Known:
    id: int
    agent: str
    size: int
    mtime_ns: int
    inode: int
    nrows: int
    custom_title: Optional[str]


def _private_file(path: str) -> None:
    """Creates `path` readable by its owner only, or narrows an existing one."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        if os.fstat(fd).st_mode & 0o077:
            os.fchmod(fd, 0o600)
    finally:
        os.close(fd)


def _private_folder(folder: str) -> None:
    if not os.path.isdir(folder):
        os.makedirs(folder, mode=0o700, exist_ok=True)
        os.chmod(folder, 0o700)
    elif os.path.basename(folder) == "sessionrows" and os.stat(folder).st_mode & 0o077:
        os.chmod(folder, 0o700)   # our own cache folder, made by an older release or by hand


def _damaged(path: str, error: Exception) -> IndexProblem:
    return IndexProblem("the index %s is damaged (%s); rebuild it with: sessionrows index --rebuild%s"
                        % (path, error, "" if path == default_path() else " --index " + path))


@dataclass
class _FileUpdate:
    new: bool
    start: int           # the first row written (rows before it are kept)
    record: tuple        # the files record, its id first
    rows: list           # (id, role, ts, context, text) of the rows to index


def _prepare_file(file_id: int, log: LogFile, rows, k: Optional[_Known], report: UpdateReport,
                  indexed: Callable[[int, int], list]) -> _FileUpdate:
    """What to write for one file that is new or changed. A file that only grew (same
    inode, larger, and every row indexed before still there, unchanged) keeps its
    indexed rows and adds the new ones; any other change replaces them.
    `indexed(file_id, nrows)` gives the (row, text) pairs indexed for a file."""
    agent = cast(str, log.agent)
    appended = (k is not None and k.agent == agent and k.inode == log.inode and log.size > k.size
                and k.nrows <= len(rows)
                and all(rows[i][1] == text for i, text in indexed(file_id, k.nrows)))
    if k is None:
        report.new += 1
    elif appended:
        report.appended += 1
    else:
        report.changed += 1
    kinds = row_kinds(agent, rows)
    info = session_info(agent, log.path, rows, kinds)
    grown = k if appended else None     # what was indexed of a file that only grew
    start = grown.nrows if grown else 0
    title = None
    if agent == CLAUDE:
        title = custom_title(log.path, grown.size if grown else 0)
        if title is None and grown:
            title = grown.custom_title
    base = file_id << ROW_BITS
    new_rows = [(base + i, search_role(agent, role, text), ts, kind, text)
                for i, (role, text, ts, _), kind in zip(range(start, len(rows)), rows[start:], kinds[start:])
                if kind <= CONTEXT]
    report.rows += len(new_rows)
    record = (file_id, log.path, agent, log.size, log.mtime_ns, log.inode, len(rows), info.session_id, info.cwd,
              title, info.ai_title, info.first_prompt, info.first_ts, info.last_ts)
    return _FileUpdate(k is None, start, record, new_rows)


def _remove_database(path: str) -> None:
    for suffix in ("", "-wal", "-shm", "-journal"):
        with contextlib.suppress(FileNotFoundError):
            os.remove(path + suffix)


class Index:
    """An open index. Use as a context manager, or call close()."""

    def __init__(self, path: str, db: sqlite3.Connection, on_wait: Optional[Callable[[], None]] = None):
        self.path = path
        self.db = db
        self.on_wait = on_wait     # called when another process is updating the index
        self._reader: Optional[sqlite3.Connection] = None

    # -- opening ---------------------------------------------------------------

    @classmethod
    def open(cls, path: Optional[str] = None, *, rebuild: bool = False,
             on_wait: Optional[Callable[[], None]] = None) -> "Index":
        path = os.path.abspath(path or default_path())
        _private_folder(os.path.dirname(path))
        with _update_lock(path, on_wait):
            if rebuild:
                _remove_database(path)
            db = _connect(path)
            if db is None:   # an index of an older format: it is only a cache, so start afresh
                _remove_database(path)
                db = _connect(path)
        if db is None:
            raise IndexProblem("the index %s cannot be created afresh" % path)
        return cls(path, db, on_wait)

    def close(self) -> None:
        if self._reader is not None:
            self._reader.close()
        self.db.close()

    def __enter__(self) -> "Index":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @contextlib.contextmanager
    def _guard(self) -> Iterator[None]:
        """Turns SQLite's damage reports into an IndexProblem."""
        try:
            yield
        except sqlite3.OperationalError as e:
            if "locked" in str(e) or "busy" in str(e):
                raise IndexProblem("the index %s is busy: another process holds it (%s)" % (self.path, e)) from None
            if "malformed" in str(e) or "corrupt" in str(e):
                raise _damaged(self.path, e) from None
            raise
        except sqlite3.DatabaseError as e:
            raise _damaged(self.path, e) from None

    # -- updating --------------------------------------------------------------

    def update(self, logs: Sequence[LogFile], warn: Warn, *, named: Sequence[str] = (),
               progress: Optional[Callable[[int, int], None]] = None) -> UpdateReport:
        """Brings the index up to date with `logs` (the files in scope, as found by
        discovery); files that no longer exist anywhere are dropped.

        Three things run at once: the native reading of the next batch (a helper
        thread of read_batches), the preparation of this batch's rows (here), and
        the database writes of the previous batch (a writer thread; SQLite runs
        without the interpreter lock)."""
        started = time.perf_counter()
        report = UpdateReport(files=len(logs))
        with _update_lock(self.path, self.on_wait), self._guard():
            known = self._known()
            todo: List[LogFile] = []
            previous: Dict[str, _Known] = {}
            in_scope = set()
            for log in logs:
                in_scope.add(log.path)
                k = known.get(log.path)
                if k is not None and (k.size, k.mtime_ns, k.inode) == (log.size, log.mtime_ns, log.inode):
                    continue
                if k is not None:
                    previous[log.path] = k
                    if log.agent is None:
                        log = LogFile(log.path, log.size, log.mtime_ns, log.inode, k.agent)
                todo.append(log)
            gone = [k.id for path, k in known.items() if path not in in_scope and not os.path.lexists(path)]
            report.removed = len(gone)
            todo = resolve_agents(todo, warn, named)
            total = sum(log.size for log in todo)
            next_id = 1 + max((k.id for k in known.values()), default=0)
            done = 0
            with concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="sessionrows-write") as writer:
                if gone:
                    self._begin([], gone)
                    self._finish()
                pending = None
                for batch in read_batches(todo, True, warn):
                    updates = []
                    for log, rows in batch:
                        k = previous.get(log.path)
                        if k is None:
                            file_id, next_id = next_id, next_id + 1
                        else:
                            file_id = k.id
                        updates.append(_prepare_file(file_id, log, rows, k, report, self._indexed_rows))
                        done += log.size
                    if pending is not None:
                        pending.result()
                    self._begin(updates, ())
                    pending = writer.submit(self._finish)
                    if progress:
                        progress(done, total)
                if pending is not None:
                    pending.result()
            report.bytes_read = done
            if todo or gone:
                self.db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
            ids = dict(self.db.execute("SELECT path, id FROM files"))
            report.scope = [ids[path] for path in in_scope if path in ids]
        report.seconds = time.perf_counter() - started
        return report

    def _indexed_rows(self, file_id: int, nrows: int) -> list:
        """(row, text) of the rows of a file as last committed. Read through a
        connection of its own: the main one may be busy on the writer thread."""
        if self._reader is None:
            self._reader = sqlite3.connect(self.path, timeout=BUSY_SECONDS, check_same_thread=False)
        base = file_id << ROW_BITS
        return self._reader.execute("SELECT id - ?, text FROM rows WHERE id >= ? AND id < ?",
                                    (base, base, base + nrows)).fetchall()

    def _known(self) -> Dict[str, _Known]:
        return {row[0]: _Known(*row[1:]) for row in self.db.execute(
            "SELECT path, id, agent, size, mtime_ns, inode, nrows, custom_title FROM files")}

    def _drop_rows(self, file_id: int, from_row: int = 0) -> None:
        span = ((file_id << ROW_BITS) + from_row, (file_id + 1) << ROW_BITS)
        self.db.execute("INSERT INTO rows_fts(rows_fts, rowid, text) "
                        "SELECT 'delete', id, text FROM rows WHERE id >= ? AND id < ?", span)
        self.db.execute("DELETE FROM rows WHERE id >= ? AND id < ?", span)

    def _begin(self, updates: List["_FileUpdate"], gone: Sequence[int]) -> None:
        """Opens a transaction and writes the files that disappeared and a batch of
        prepared files, all but their full-text entries, which _finish adds. The
        rows are bound here, on the calling thread: binding is Python work, and a
        writer thread would wait for the interpreter lock at every row."""
        db = self.db
        db.execute("BEGIN IMMEDIATE")
        try:
            for file_id in gone:
                self._drop_rows(file_id)
                db.execute("DELETE FROM files WHERE id = ?", (file_id,))
            for u in updates:
                if not u.new:
                    self._drop_rows(u.record[0], u.start)
            db.executemany("INSERT OR REPLACE INTO files(id, path, agent, size, mtime_ns, inode, nrows, "
                           "session_id, cwd, custom_title, ai_title, first_prompt, first_ts, last_ts) "
                           "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)", [u.record for u in updates])
            for u in updates:
                db.executemany("INSERT INTO rows(id, role, ts, context, text) VALUES (?,?,?,?,?)", u.rows)
            db.execute("CREATE TEMP TABLE IF NOT EXISTS fresh(lo INTEGER, hi INTEGER)")
            db.execute("DELETE FROM temp.fresh")
            db.executemany("INSERT INTO temp.fresh VALUES (?, ?)",
                           [((u.record[0] << ROW_BITS) + u.start, (u.record[0] + 1) << ROW_BITS) for u in updates])
        except BaseException:
            db.execute("ROLLBACK")
            raise

    def _finish(self) -> None:
        """Indexes the text of the rows _begin wrote and commits: one statement that
        SQLite runs without the interpreter lock, so it may run on another thread
        while the next batch is prepared."""
        try:
            self.db.execute("INSERT INTO rows_fts(rowid, text) SELECT r.id, r.text FROM temp.fresh f "
                            "JOIN rows r ON r.id >= f.lo AND r.id < f.hi")
            self.db.execute("COMMIT")
        except BaseException:
            self.db.execute("ROLLBACK")
            raise

    # -- reading ---------------------------------------------------------------

    def search(self, fts_query: str, filters: Filters, limit: int,
               scope: Optional[Sequence[int]] = None) -> List[Hit]:
        """The best `limit` hits of an FTS5 query: best match first (bm25), newest
        first among equals. `scope` limits them to these file ids."""
        where = ["rows_fts MATCH ?"] + ([] if filters.context else ["r.context = 0"])
        args: list = [fts_query]
        for condition, value in (("r.role = ?", filters.role), ("r.ts >= ?", filters.since),
                                 ("r.ts < ? AND r.ts != ''", filters.until), ("f.agent = ?", filters.agent),
                                 ("instr(lower(f.cwd), lower(?)) > 0", filters.project)):
            if value:
                where.append(condition)
                args.append(value)
        with self._guard():
            if scope is not None:
                self._set_scope(scope)
                where.append("(r.id >> %d) IN (SELECT id FROM temp.scope)" % ROW_BITS)
            sql = ("SELECT r.id, rows_fts.rank FROM rows_fts JOIN rows r ON r.id = rows_fts.rowid "
                   "JOIN files f ON f.id = (r.id >> %d) WHERE %s ORDER BY rows_fts.rank, r.ts DESC LIMIT ?"
                   % (ROW_BITS, " AND ".join(where)))
            try:
                top = self.db.execute(sql, args + [limit]).fetchall()
            except sqlite3.OperationalError as e:
                if "fts5" in str(e) or "syntax" in str(e) or "no such column" in str(e):
                    from .query import QueryError
                    raise QueryError("the query cannot be run: %s" % e) from None
                raise
            if not top:
                return []
            ids = [row_id for row_id, _ in top]
            marks = ",".join("?" * len(ids))
            snippets = dict(self.db.execute(
                "SELECT rowid, snippet(rows_fts, 0, ?, ?, '\u2026', ?) FROM rows_fts "
                "WHERE rows_fts MATCH ? AND rowid IN (%s)" % marks,
                [MATCH_START, MATCH_END, SNIPPET_TOKENS, fts_query] + ids))
            # A sub-agent's log (<session>/subagents/...) shares its session's id: its
            # hits carry the title of the session's main log.
            details = {row[0]: row[1:] for row in self.db.execute(
                "SELECT r.id, f.path, f.agent, f.session_id, f.custom_title, f.ai_title, f.first_prompt, f.cwd, "
                "r.role, r.ts, r.text, r.id & %d, r.context, m.custom_title, m.ai_title, m.first_prompt "
                "FROM rows r JOIN files f ON f.id = (r.id >> %d) "
                "LEFT JOIN files m ON instr(f.path, '/subagents/') > 0 AND m.id = (SELECT id FROM files "
                "WHERE session_id = f.session_id AND session_id != '' AND instr(path, '/subagents/') = 0 LIMIT 1) "
                "WHERE r.id IN (%s)" % ((1 << ROW_BITS) - 1, ROW_BITS, marks), ids)}
        hits = []
        for row_id, score in top:
            (path, agent, session_id, custom, ai, prompt, cwd, role, ts, text, row, context,
             main_custom, main_ai, main_prompt) = details[row_id]
            title = title_of(custom, ai, prompt)
            if main_ai is not None:
                title = title_of(main_custom, main_ai, main_prompt) + " (sub-agent)"
            hits.append(Hit(path, agent, session_id, title, cwd, role, ts, text, snippets.get(row_id, ""), row,
                            bool(context), score))
        return hits

    def _set_scope(self, file_ids: Sequence[int]) -> None:
        self.db.execute("CREATE TEMP TABLE IF NOT EXISTS scope(id INTEGER PRIMARY KEY)")
        self.db.execute("DELETE FROM temp.scope")
        self.db.executemany("INSERT INTO temp.scope(id) VALUES (?)", ((i,) for i in file_ids))

    def sessions(self, key: str, scope: Optional[Sequence[int]] = None) -> List[tuple]:
        """(path, agent, session_id) of the files whose session id is `key` or begins
        with it, main logs before sub-agent logs."""
        with self._guard():
            pattern = key.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
            rows = self.db.execute(
                "SELECT id, path, agent, session_id FROM files WHERE session_id LIKE ? ESCAPE '\\' "
                "ORDER BY session_id, path", (pattern,)).fetchall()
        if scope is not None:
            allowed = set(scope)
            rows = [r for r in rows if r[0] in allowed]
        return [r[1:] for r in rows]

    def counts(self) -> tuple:
        with self._guard():
            return self.db.execute("SELECT (SELECT count(*) FROM files), (SELECT count(*) FROM rows)").fetchone()


def _connect(path: str) -> Optional[sqlite3.Connection]:
    """The database at `path`, ready for use, or None if it is of an older format."""
    _private_file(path)
    db = sqlite3.connect(path, timeout=BUSY_SECONDS, isolation_level=None, check_same_thread=False)
    try:
        if _prepare(db, path):
            return db
    except sqlite3.DatabaseError as e:
        db.close()
        raise _damaged(path, e) from None
    except BaseException:
        db.close()
        raise
    db.close()
    return None


def _prepare(db: sqlite3.Connection, path: str) -> bool:
    """Checks what the file holds and creates the schema in an empty file. Returns
    False for an index of an older format, which is to be rebuilt."""
    app_id = db.execute("PRAGMA application_id").fetchone()[0]
    version = db.execute("PRAGMA user_version").fetchone()[0]
    tables = db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
    if tables and app_id != APPLICATION_ID:
        raise IndexProblem("%s is not a sessionrows index; give another --index file" % path)
    if version > SCHEMA_VERSION:
        raise IndexProblem("the index %s was written by a newer sessionrows (index format %d, this release "
                           "reads %d); upgrade sessionrows, or rebuild it with: sessionrows index --rebuild"
                           % (path, version, SCHEMA_VERSION))
    if tables and version < SCHEMA_VERSION:
        return False
    if not tables:
        db.execute("PRAGMA page_size = %d" % PAGE_SIZE)
    db.execute("PRAGMA journal_mode = WAL")
    db.execute("PRAGMA synchronous = NORMAL")
    db.execute("PRAGMA cache_size = -65536")
    db.execute("PRAGMA temp_store = MEMORY")
    db.execute("PRAGMA wal_autocheckpoint = %d" % CHECKPOINT_PAGES)
    if tables:
        return True
    db.execute("BEGIN IMMEDIATE")
    try:
        for statement in _SCHEMA.split(";"):
            if statement.strip():
                db.execute(statement)
        # Pending full-text entries are written out as a segment when they reach
        # this size: fewer, larger segments mean less merging while a large
        # history is indexed (bench/cli.py).
        db.execute("INSERT INTO rows_fts(rows_fts, rank) VALUES ('hashsize', %d)" % FTS_PENDING_BYTES)
        db.execute("PRAGMA application_id = %d" % APPLICATION_ID)
        db.execute("PRAGMA user_version = %d" % SCHEMA_VERSION)
        db.execute("COMMIT")
    except sqlite3.OperationalError as e:
        db.execute("ROLLBACK")
        if "fts5" in str(e):
            raise IndexProblem("this Python's SQLite has no full-text search (FTS5): %s" % e) from None
        raise
    except BaseException:
        db.execute("ROLLBACK")
        raise
    return True


@contextlib.contextmanager
def _update_lock(path: str, on_wait: Optional[Callable[[], None]] = None) -> Iterator[None]:
    """One updating process at a time; the kernel lets go if the process dies.
    `on_wait` is called once if another process holds the lock."""
    lock_path = path + ".lock"
    _private_file(lock_path)
    fd = os.open(lock_path, os.O_RDWR | os.O_CLOEXEC)
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
