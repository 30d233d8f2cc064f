"""The archive: a compressed copy of every log sessionrows reads, kept as data (not
cache) under $XDG_DATA_HOME/sessionrows/ (else ~/.local/share/sessionrows/), so that
a person's history outlives the assistants' own cleanup.

A log's copy is a member: a file of zstd frames whose contents, one after the other,
are the log's bytes. A log that grew gets one more frame with its new bytes; a log
rewritten in place (its first bytes are no longer those archived) gets a new
version, a member of its own, and the earlier one stays. The catalog (an SQLite
database) says, per version, where the log was, how many of its bytes the member
holds and their XXH64 digest, how many bytes of the member count, and since when
the log is gone from its place. The frames are made natively, by the worker that
reads the log for the index (`_search.read` with packing), so a log is read once.

Writing is ordered so that nothing is half-counted: frames are appended to members
first, then the catalog records them in one transaction; bytes a killed process
appended past what the catalog counts are cut off before the next append. One
process writes at a time (an advisory lock beside the catalog). The folder is 0700
and every file in it 0600, whatever the umask; nothing is followed through a link,
and only logs of the user who runs sessionrows are kept.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import secrets
import sqlite3
import stat
import time
from typing import Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

from . import _search

LEVEL = 3                   # zstd's level: 540 MB/s a core, 13% of Claude's logs (bench/cli.py)
FORMAT = 1
APPLICATION_ID = 0x73726172  # "srar": marks a database as a sessionrows archive catalog
BUSY_SECONDS = 120
OFF_VALUES = ("0", "off", "no", "false")

_SCHEMA = """
CREATE TABLE logs (
    id INTEGER PRIMARY KEY,
    path BLOB NOT NULL,
    version INTEGER NOT NULL,
    agent TEXT NOT NULL,
    member TEXT NOT NULL,
    size INTEGER NOT NULL,
    stored INTEGER NOT NULL,
    digest INTEGER NOT NULL,
    first_archived TEXT NOT NULL,
    last_archived TEXT NOT NULL,
    gone_since TEXT NOT NULL DEFAULT '',
    UNIQUE (path, version)
);
CREATE TABLE forgotten (path BLOB PRIMARY KEY, at TEXT NOT NULL);
CREATE TABLE meta (key TEXT PRIMARY KEY, value);
"""


class ArchiveProblem(Exception):
    """An archive that cannot be used or written; the message is one line for a person."""


class Entry(NamedTuple):
    """One version of a log in the archive."""

    id: int
    path: str
    version: int
    agent: str
    member: str             # the member's file, absolute
    size: int               # bytes of the log it holds
    stored: int             # bytes of the member that hold them
    digest: int             # XXH64 of those bytes
    first_archived: str
    last_archived: str
    gone_since: str         # when the log was found gone from its place ("" while it is there)

    @property
    def gone(self) -> bool:
        return bool(self.gone_since)


class Packed(NamedTuple):
    """What a reading packed of a log: the bytes read and their digest, whether the
    start of the log is what was archived, and the frame of the rest."""

    bytes: int
    digest: int
    prefix_same: bool
    frame: Optional[bytes]
    error: Optional[str]


def enabled(environ: Optional[dict] = None) -> bool:
    """Whether logs are archived ($SESSIONROWS_ARCHIVE=off turns it off)."""
    env = os.environ if environ is None else environ
    return env.get("SESSIONROWS_ARCHIVE", "").strip().lower() not in OFF_VALUES


def default_folder(environ: Optional[dict] = None) -> str:
    env = os.environ if environ is None else environ
    data = env.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(data, "sessionrows")


def now() -> str:
    t = time.time()
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".%03dZ" % (int(t * 1000) % 1000)


def _signed(digest: int) -> int:
    """An unsigned 64-bit digest as SQLite's signed integer."""
    return digest - (1 << 64) if digest >= 1 << 63 else digest


def _unsigned(value: int) -> int:
    return value + (1 << 64) if value < 0 else value


def _private_folder(path: str) -> None:
    """Makes `path` a folder readable by its owner only, or narrows one of ours;
    refuses a link or anything else that is not a folder of this user."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        try:
            os.mkdir(path, 0o700)
        except FileExistsError:
            pass
        st = os.lstat(path)
    if not stat.S_ISDIR(st.st_mode):
        raise ArchiveProblem("%s is not a folder (a link or a file is there); the archive needs a folder of its own"
                             % path)
    if st.st_uid != os.getuid():
        raise ArchiveProblem("%s belongs to another user; the archive needs a folder of its own" % path)
    if st.st_mode & 0o077:
        os.chmod(path, 0o700)


def _open_private(path: str, flags: int) -> int:
    """Opens (or creates) a file of the archive: never through a link, 0600."""
    fd = os.open(path, flags | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise ArchiveProblem("%s is not a regular file; it was left as it is" % path)
        if st.st_mode & 0o077:
            os.fchmod(fd, 0o600)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _entry(folder: str, row: tuple) -> Entry:
    return Entry(row[0], os.fsdecode(row[1]), row[2], row[3], os.path.join(folder, "logs", row[4]), row[5], row[6],
                 _unsigned(row[7]), row[8], row[9], row[10])


_COLUMNS = ("id, path, version, agent, member, size, stored, digest, first_archived, last_archived, gone_since")


class Archive:
    """The archive in `folder` (default: default_folder()). Use as a context manager."""

    def __init__(self, folder: Optional[str] = None, *, read_only: bool = False):
        self.folder = os.path.abspath(folder or default_folder())
        self.read_only = read_only
        self.db: Optional[sqlite3.Connection] = None

    # -- opening -----------------------------------------------------------------

    @property
    def catalog_path(self) -> str:
        return os.path.join(self.folder, "archive.sqlite")

    def exists(self) -> bool:
        return os.path.isfile(self.catalog_path)

    def open(self) -> "Archive":
        if self.db is not None:
            return self
        if self.read_only:
            if not self.exists():
                raise ArchiveProblem("there is no archive at %s" % self.folder)
            self.db = sqlite3.connect("file:%s?mode=ro" % _uri(self.catalog_path), uri=True, timeout=BUSY_SECONDS,
                                      isolation_level=None, check_same_thread=False)
            self._check()
            return self
        try:
            _private_folder(self.folder)
            _private_folder(os.path.join(self.folder, "logs"))
            os.close(_open_private(self.catalog_path, os.O_RDWR | os.O_CREAT))
        except OSError as e:
            raise ArchiveProblem("cannot make the archive in %s: %s" % (self.folder, e.strerror or e)) from None
        db = sqlite3.connect(self.catalog_path, timeout=BUSY_SECONDS, isolation_level=None, check_same_thread=False)
        self.db = db
        try:
            if not db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]:
                db.execute("BEGIN IMMEDIATE")
                if not db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]:
                    for statement in _SCHEMA.split(";"):
                        if statement.strip():
                            db.execute(statement)
                    db.execute("INSERT INTO meta VALUES ('id', ?), ('generation', 0)", (secrets.token_hex(8),))
                    db.execute("PRAGMA application_id = %d" % APPLICATION_ID)
                    db.execute("PRAGMA user_version = %d" % FORMAT)
                db.execute("COMMIT")
            self._check()
            db.execute("PRAGMA journal_mode = WAL")
            db.execute("PRAGMA synchronous = NORMAL")
            for suffix in ("-wal", "-shm"):
                with contextlib.suppress(FileNotFoundError):
                    if os.lstat(self.catalog_path + suffix).st_mode & 0o077:
                        os.chmod(self.catalog_path + suffix, 0o600)
        except sqlite3.DatabaseError as e:
            self.close()
            raise ArchiveProblem("the archive's catalog %s is damaged (%s); the archive was left as it is"
                                 % (self.catalog_path, e)) from None
        return self

    def _check(self) -> None:
        assert self.db is not None
        app_id = self.db.execute("PRAGMA application_id").fetchone()[0]
        version = self.db.execute("PRAGMA user_version").fetchone()[0]
        if app_id != APPLICATION_ID:
            raise ArchiveProblem("%s is not a sessionrows archive; it was left as it is" % self.catalog_path)
        if version > FORMAT:
            raise ArchiveProblem("the archive %s was written by a newer sessionrows (format %d, this release reads "
                                 "%d); upgrade sessionrows" % (self.folder, version, FORMAT))

    def close(self) -> None:
        if self.db is not None:
            self.db.close()
            self.db = None

    def __enter__(self) -> "Archive":
        return self.open()

    def __exit__(self, *exc) -> None:
        self.close()

    @contextlib.contextmanager
    def writing(self) -> Iterator[None]:
        """One writing process at a time: the lock is held until the block ends."""
        self.open()
        fd = _open_private(os.path.join(self.folder, "archive.lock"), os.O_RDWR | os.O_CREAT)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)

    # -- what it holds -------------------------------------------------------------

    @property
    def identity(self) -> Tuple[str, int]:
        """The archive's id and the count of its changes, for an index to tell whether
        it has seen the archive as it is."""
        self.open()
        assert self.db is not None
        values = dict(self.db.execute("SELECT key, value FROM meta WHERE key IN ('id', 'generation')"))
        return str(values.get("id", "")), int(values.get("generation", 0))

    def _rows(self, where: str = "", args: Sequence = ()) -> List[Entry]:
        self.open()
        assert self.db is not None
        sql = "SELECT %s FROM logs%s" % (_COLUMNS, " WHERE " + where if where else "")
        return [_entry(self.folder, r) for r in self.db.execute(sql, args)]

    def current(self, paths: Iterable[str]) -> Dict[str, Entry]:
        """The latest version of each of these logs that the archive holds."""
        out: Dict[str, Entry] = {}
        keys = [os.fsencode(p) for p in paths]
        for i in range(0, len(keys), 500):
            chunk = keys[i:i + 500]
            for e in self._rows("path IN (%s) ORDER BY version" % ",".join("?" * len(chunk)), chunk):
                out[e.path] = e
        return out

    def versions(self, path: str) -> List[Entry]:
        return self._rows("path = ? ORDER BY version", (os.fsencode(path),))

    def latest(self) -> List[Entry]:
        """The latest version of every log the archive holds."""
        return self._rows("version = (SELECT max(version) FROM logs l WHERE l.path = logs.path)")

    def forgotten(self) -> set:
        self.open()
        assert self.db is not None
        return {os.fsdecode(p) for p, in self.db.execute("SELECT path FROM forgotten")}

    def totals(self) -> Tuple[int, int, int]:
        """(logs, bytes of the logs, bytes stored)."""
        self.open()
        assert self.db is not None
        n, size, stored = self.db.execute("SELECT count(DISTINCT path), coalesce(sum(size), 0), "
                                          "coalesce(sum(stored), 0) FROM logs").fetchone()
        return n, size, stored

    # -- reading -------------------------------------------------------------------

    def job(self, entry: Entry) -> tuple:
        """The archive part of a `_search.read` job that reads this version instead of the log in place."""
        return ("member", os.fsencode(entry.member), entry.size)

    def unpack(self, entry: Entry) -> bytes:
        """The log's bytes as this version holds them, checked by their digest."""
        try:
            data = _search.unpack(os.fsencode(entry.member), entry.size)
        except OSError as e:
            raise ArchiveProblem(damaged(entry, str(e))) from None
        if _search.digest(data) != entry.digest:
            raise ArchiveProblem(damaged(entry, "its digest does not match"))
        return data

    # -- writing -------------------------------------------------------------------

    def plan(self, paths: Sequence[str]) -> Dict[str, tuple]:
        """The packing each log's reading is to do: (from, prefix_digest, level)
        after what the archive holds of it (its latest version)."""
        have = self.current(paths)
        return {p: ((have[p].size, have[p].digest, LEVEL) if p in have else (0, 0, LEVEL)) for p in paths}

    def record(self, packed: Sequence[Tuple[str, str, int, Packed]]) -> int:
        """Adds what readings packed, (path, agent, from, packed) each with `from` as
        planned, to the members and then to the catalog, in one transaction. A log
        whose start changed (or that is shorter than what was archived) is packed
        whole again as a new version; a packing made after what another process has
        archived since is left out (that process archived those bytes). Returns the
        bytes added to members. Must run inside writing()."""
        assert self.db is not None
        stamp = now()
        have = self.current([p for p, _, _, _ in packed])
        again = [p for p, _, _, k in packed if not k.prefix_same]
        repacked = {}
        if again:
            for p, result in zip(again, _search.pack([(os.fsencode(p), 0, 0) for p in again], LEVEL)):
                if not isinstance(result, str):
                    repacked[p] = Packed(*result)
        written: List[Tuple[str, int]] = []      # (member, length before) to cut back on failure
        changes: List[tuple] = []
        added = 0
        try:
            for path, agent, planned, k in packed:
                e = have.get(path)
                if (e.size if e is not None else 0) != planned and k.prefix_same:
                    continue            # archived by another process meanwhile
                if not k.prefix_same:
                    k = repacked.get(path)
                    if k is None or k.frame is None or k.error:
                        continue        # gone or unreadable meanwhile: what is archived stays
                    if e is not None and (k.bytes, k.digest) == (e.size, e.digest):
                        continue
                    version = max([v.version for v in self.versions(path)] + [0]) + 1
                    e = None
                elif k.frame is None or k.error or (e is not None and k.bytes <= e.size):
                    continue            # nothing new (or nothing that could be packed)
                else:
                    version = e.version if e is not None else 1
                member = e.member if e is not None else self._new_member()
                before = e.stored if e is not None else 0
                self._append(member, before, k.frame)
                written.append((member, before))
                added += len(k.frame)
                changes.append((path, agent, version, member, k.bytes, before + len(k.frame), k.digest, e))
            self.db.execute("BEGIN IMMEDIATE")
            try:
                for path, agent, version, member, size, stored, digest, e in changes:
                    if e is None:
                        self.db.execute("INSERT INTO logs (path, version, agent, member, size, stored, digest, "
                                        "first_archived, last_archived) VALUES (?,?,?,?,?,?,?,?,?)",
                                        (os.fsencode(path), version, agent, os.path.relpath(member, self._logs),
                                         size, stored, _signed(digest), stamp, stamp))
                    else:
                        self.db.execute("UPDATE logs SET size = ?, stored = ?, digest = ?, last_archived = ?, "
                                        "gone_since = '' WHERE id = ?", (size, stored, _signed(digest), stamp, e.id))
                if changes:
                    self._changed()
                self.db.execute("COMMIT")
            except BaseException:
                if self.db.in_transaction:
                    self.db.execute("ROLLBACK")
                raise
        except (OSError, sqlite3.Error) as e:
            for member, before in written:
                _cut(member, before)
            raise _problem(self.folder, e) from None
        return added

    def mark_gone(self, paths: Sequence[str], when: Optional[str] = None) -> None:
        """Notes that these logs are gone from their places (their copies stay)."""
        self._set_gone(paths, when or now())

    def mark_back(self, paths: Sequence[str]) -> None:
        self._set_gone(paths, "")

    def _set_gone(self, paths: Sequence[str], value: str) -> None:
        assert self.db is not None
        with self._transaction():
            for p in paths:
                self.db.execute("UPDATE logs SET gone_since = ? WHERE path = ? AND (gone_since = '') != (? = '')",
                                (value, os.fsencode(p), value))
            self._changed()

    def forget(self, paths: Sequence[str]) -> int:
        """Removes every version of these logs for good and keeps their paths as
        forgotten (their logs in place are not read again). Returns the bytes freed."""
        assert self.db is not None
        entries = [e for p in paths for e in self.versions(p)]
        stamp = now()
        with self._transaction():
            for p in paths:
                self.db.execute("DELETE FROM logs WHERE path = ?", (os.fsencode(p),))
                self.db.execute("INSERT OR REPLACE INTO forgotten VALUES (?, ?)", (os.fsencode(p), stamp))
            self._changed()
        freed = 0
        for e in entries:
            with contextlib.suppress(FileNotFoundError):
                freed += os.lstat(e.member).st_size
                os.remove(e.member)
        self.db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        return freed

    def remember(self, paths: Sequence[str]) -> None:
        """Takes these paths off the forgotten list (a log restored or written anew there)."""
        assert self.db is not None
        with self._transaction():
            for p in paths:
                self.db.execute("DELETE FROM forgotten WHERE path = ?", (os.fsencode(p),))

    # -- the parts -------------------------------------------------------------------

    @property
    def _logs(self) -> str:
        return os.path.join(self.folder, "logs")

    def _new_member(self) -> str:
        sub = os.path.join(self._logs, secrets.token_hex(1))
        _private_folder(sub)
        return os.path.join(sub, secrets.token_hex(8) + ".zst")

    @staticmethod
    def _append(member: str, counted: int, frame: bytes) -> None:
        """Appends a frame to a member after its first `counted` bytes (what a killed
        process wrote past them is cut off first)."""
        fd = _open_private(member, os.O_WRONLY | os.O_CREAT)
        try:
            if os.fstat(fd).st_size != counted:
                os.ftruncate(fd, counted)
            os.lseek(fd, counted, os.SEEK_SET)
            view = memoryview(frame)
            while view:
                view = view[os.write(fd, view):]
        finally:
            os.close(fd)

    def _changed(self) -> None:
        assert self.db is not None
        self.db.execute("UPDATE meta SET value = value + 1 WHERE key = 'generation'")

    @contextlib.contextmanager
    def _transaction(self) -> Iterator[None]:
        assert self.db is not None
        self.db.execute("BEGIN IMMEDIATE")
        try:
            yield
            self.db.execute("COMMIT")
        except BaseException:
            if self.db.in_transaction:
                self.db.execute("ROLLBACK")
            raise


def file_digest(path: str) -> Optional[Tuple[int, int]]:
    """(size, XXH64) of a file as it is now, or None if it cannot be read."""
    result = _search.pack([(os.fsencode(path), 0, 0)], 0)[0]
    return None if isinstance(result, str) else (result[0], result[1])


def damaged(entry: Entry, why: str) -> str:
    return ("the archived copy of %s (version %d, %s) is damaged: %s; it was left as it is"
            % (entry.path, entry.version, os.path.basename(entry.member), why))


def _cut(member: str, length: int) -> None:
    with contextlib.suppress(OSError):
        if length:
            os.truncate(member, length)
        else:
            os.remove(member)


def _problem(folder: str, e: Exception) -> ArchiveProblem:
    if isinstance(e, OSError) and e.errno == errno.ENOSPC or "full" in str(e):
        return ArchiveProblem("the disk holding the archive %s is full; the index and the archive were left as "
                              "they were before this batch" % folder)
    return ArchiveProblem("cannot write the archive %s: %s" % (folder, getattr(e, "strerror", None) or e))


def _uri(path: str) -> str:
    from urllib.parse import quote
    return quote(path)
