"""The index's format: the schema of a shard, the marks that say a file is a
sessionrows index of this format, its upgrade from the format before, and the
settings a shard is prepared with.

In a shard, `files` has one record per log (its size, modification time and inode
as last read, kept also as the key the walk compares it with, and the facts that
name its session), `file_roles` its rows by role (for stats); `rows` the rows of
those logs in full, with their role, kind and time; `rows_fts` indexes their text in
three columns, what was said, tool calls and results, and injected text, so that
ranking puts a person's and an assistant's words before tool text for equally good
matches and a search leaves injected text out unless asked. The full-text table
keeps no copy of the text (contentless); `rows.ftext` holds the indexed form of a
text where it differs. A row's id is its file's id times 2**32 plus its place in the
file's rows, so the rows of a file are one range of ids.
"""

from __future__ import annotations

import os
import sqlite3
from typing import Optional

SCHEMA_VERSION = 4
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
RANK_WEIGHTS = "4.0, 1.0, 1.0, 1.0, 1.0"
RANK = "bm25(%s)" % RANK_WEIGHTS
RANK_SQL = "bm25(rows_fts, %s)" % RANK_WEIGHTS
# The full-text columns: what was said, tool calls and results, injected text, an
# assistant's thinking, the names of sessions. A search without --context looks in
# all but injected text.
SAID_AND_TOOLS = "{said tool thinking title}"
# A log's title row: the names the person and the assistant gave its session, found
# by a search for their words; its place is past every row's.
TITLE_PLACE = (1 << 32) - 1

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
    known BLOB NOT NULL DEFAULT x'',
    gone_since TEXT NOT NULL DEFAULT ''
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
    said, tool, context, thinking, title, content='', tokenize='unicode61 remove_diacritics 2');
""" % _FILE_ROLES

# The five full-text columns of a row, from its kind (sessions.py) and its indexed text.
FTS_COLUMNS = "said, tool, context, thinking, title"
_FTS_VALUES = ("CASE WHEN kind = 0 THEN coalesce(ftext, text) END, "
               "CASE WHEN kind IN (3, 4) THEN coalesce(ftext, text) END, "
               "CASE WHEN kind IN (1, 2) THEN coalesce(ftext, text) END, "
               "CASE WHEN kind = 5 THEN coalesce(ftext, text) END, "
               "CASE WHEN kind = 6 THEN coalesce(ftext, text) END")

_FILE_COLUMNS = ("id, path, agent, size, mtime_ns, inode, nrows, digest, session_id, cwd, agent_id, "
                 "custom_title, ai_title, first_prompt, first_ts, last_ts, roles, gone_since")
# What the walk compares a log with, as it reads it: `path NUL size mtime_ns inode NUL`.
# Kept with each record, and in an index of its own, so that handing every record
# to the walk reads one narrow index instead of formatting the wide table's numbers
# (at 24,000 logs: 8 ms instead of 50).
_KNOWN = "CAST(%s || x'00' || %s || ' ' || %s || ' ' || %s || x'00' AS BLOB)"
# A log gone from its place (its rows kept from the archive) has no key: the walk
# has nothing to compare it with.
_INSERT_FILE = "INSERT OR REPLACE INTO files(%s, known) VALUES (%s, CASE WHEN ?18 = '' THEN %s ELSE x'' END)" % (
    _FILE_COLUMNS, ",".join("?%d" % i for i in range(1, 19)), _KNOWN % ("?2", "?4", "?5", "?6"))
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


def _rebuild_hint(path: str) -> str:
    return "sessionrows index --rebuild" + ("" if path == default_path() else " --index " + path)


def _damaged(path: str, error: Exception) -> IndexProblem:
    return IndexProblem("the index %s is damaged (%s); rebuild it with: %s" % (path, error, _rebuild_hint(path)))


def _build_cut_short(db: sqlite3.Connection) -> bool:
    row = db.execute("SELECT v FROM rows_fts_config WHERE k = 'automerge'").fetchone()
    return row is not None and row[0] == 0


def _shard_count(db: sqlite3.Connection) -> int:
    row = db.execute("SELECT value FROM meta WHERE key = 'shards'").fetchone()
    return int(row[0]) if row else 1


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


def _sound(db: sqlite3.Connection) -> bool:
    try:
        return db.execute("PRAGMA quick_check").fetchone()[0] == "ok"
    except sqlite3.DatabaseError:
        return False


def _prepare(db: sqlite3.Connection, path: str) -> Optional[bool]:
    """Checks what the file holds and creates the schema in an empty file. Returns
    None for an index to be rebuilt (of an older format, or a first build that a
    crash left damaged), False for a new one, True for an existing one."""
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
