"""The index's files: shard files readable by their owner only, what counts as a
sessionrows index (so that --index never touches another file), opening every shard
ready for use, removing an index, and the lock that lets one process update it at
a time (readers are never blocked: write-ahead log)."""

from __future__ import annotations

import contextlib
import fcntl
import os
import sqlite3
import stat
from typing import Callable, Iterator, List, Optional

from .schema import (APPLICATION_ID, BUSY_SECONDS, MAX_SHARDS, IndexProblem, _check_format, _damaged, _prepare,
                     _shard_count, default_path, shard_path)


def _private_file(path: str) -> None:
    """Creates `path` readable by its owner only, or narrows one that this tool made.
    Refuses anything that is not a regular file."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
        except FileExistsError:   # another process made it a moment ago: look at what it made
            st = os.lstat(path)
        else:
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


def _connect(path: str) -> sqlite3.Connection:
    return sqlite3.connect(path, timeout=BUSY_SECONDS, isolation_level=None, check_same_thread=False)


def _connect_read_only(path: str) -> sqlite3.Connection:
    db = sqlite3.connect("file:%s?mode=ro" % _uri_path(path), uri=True, timeout=BUSY_SECONDS,
                         isolation_level=None, check_same_thread=False)
    if _check_format(db, path) is None:
        db.close()
        raise IndexProblem("the index %s was written by an older sessionrows and is read-only, so it cannot be "
                           "brought to this release's format; give another --index file" % path)
    return db


def _uri_path(path: str) -> str:
    from urllib.parse import quote
    return quote(path)


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
