"""The search index: SQLite databases with an FTS5 table over every row a person can
look for, kept up to date file by file.

The index is split in shards, one database file each (the first at the index path,
the others beside it), so that the full-text indexing of a large history runs on
every core: SQLite builds one database on one core. A log belongs to the shard of
its file id (id modulo the number of shards); a shard holds the records of its logs
and their rows, so each shard is a complete, consistent index of its logs, and a
search asks every shard and merges the answers.

`Index` holds the open shards; the work is done by the modules of the package:
`schema` (the format of a shard and its upgrade), `storage` (the files, what counts
as an index, opening and the update lock), `records` (what the index knows of each
log), `writing` (bringing it up to date) and `queries` (searching it).
"""

from __future__ import annotations

import contextlib
import errno
import os
import sqlite3
from typing import Callable, Iterator, List, Optional

from . import queries, writing
from . import records as known_records
from .queries import Hit, Matches
from .records import FileRecord, Filters, Scope, UpdateReport
from .schema import (APPLICATION_ID, AUTOMERGE, RANK, RANK_SQL, ROW_BITS, ROW_MASK, SAID_AND_TOOLS, SCHEMA_VERSION,
                     IndexProblem, _damaged, default_path, shard_path)
from .schema import _shard_count
from .storage import (_connect_all, _connect_read_only, _is_ours, _private_file, _private_folder, _update_lock,
                      remove_index)
from .writing import _Batch


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

    # -- what the index knows (records.py) ----------------------------------------

    known = known_records.known
    count_files = known_records.count_files
    counts = known_records.counts
    records = known_records.records
    record_by_path = known_records.record_by_path
    main_logs = known_records.main_logs
    find_sessions = known_records.find_sessions
    list_sessions = known_records.list_sessions
    stats = known_records.stats

    # -- updating (writing.py) ----------------------------------------------------

    update = writing.update
    forget = writing.forget
    _begin = staticmethod(writing._begin)
    _finish = staticmethod(writing._finish)

    # -- searching (queries.py) ----------------------------------------------------

    search = queries.search


# _Batch: bench/cli.py writes batches of its own.
__all__ = ["_Batch", "APPLICATION_ID", "AUTOMERGE", "FileRecord", "Filters", "Hit", "Index", "IndexProblem", "Matches",
           "RANK", "RANK_SQL", "ROW_BITS", "ROW_MASK", "SAID_AND_TOOLS", "SCHEMA_VERSION", "Scope", "UpdateReport",
           "default_path", "remove_index", "shard_path"]
