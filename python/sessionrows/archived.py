"""What a person does with the archive (archive.py), as functions for the command
line: put a session's logs back where the assistant keeps them (`restore`), and
remove sessions for good (`forget`)."""

from __future__ import annotations

import os
import time
from typing import Callable, Dict, List, NamedTuple, Optional, Sequence

from . import archive as archives
from .commands import CommandError, Opened, open_index, session_matches
from .index import FileRecord
from .reader import Warn
from .sessions import resume_command


def _nothing(problem) -> None:
    pass


def _archive() -> archives.Archive:
    if not archives.enabled():
        raise CommandError("the archive is turned off ($SESSIONROWS_ARCHIVE); nothing is kept to restore or forget")
    return archives.Archive()


def session_logs(opened: Opened, key: str) -> List[FileRecord]:
    """The logs of the session that `key` names (an id, a unique prefix of one, or
    agent-ID for a sub-agent's log): its main log first, then its sub-agents'."""
    return sorted(session_matches(opened, key), key=lambda r: (bool(r.agent_id), r.path))


# -- restore -------------------------------------------------------------------------


class Restored(NamedTuple):
    path: str           # where the log now is
    written: bool       # False: the same file was there already
    subagent: bool


class Restore(NamedTuple):
    logs: List[Restored]
    resume: str         # the command that resumes the session


def restore(key: str, to: Optional[str] = None, *, index_path: Optional[str] = None, warn: Warn = _nothing,
            progress: Optional[Callable[[int, int], None]] = None,
            on_wait: Optional[Callable[[], None]] = None) -> Restore:
    """Writes a session's logs back where they were (or its main log to `to`), byte
    for byte as the archive holds them, checked by their digest. A file that is
    there already is left as it is: the same file is no change, a different one an
    error (CommandError)."""
    kept = _archive()
    opened = open_index(None, index_path, warn=warn, progress=progress, on_wait=on_wait)
    try:
        records = session_logs(opened, key)
    finally:
        opened.index.close()
    if to is not None:
        records = records[:1]
    with kept:
        held = kept.current([r.path for r in records]) if kept.exists() else {}
        plans = []
        for record in records:
            entry = held.get(record.path)
            target = os.path.abspath(to) if to is not None else record.path
            if entry is None:
                if os.path.exists(record.path) and to is None:
                    plans.append((record, None, target))      # in place, never archived: nothing to do
                    continue
                raise CommandError("the archive holds no copy of %s; it cannot be restored" % record.path)
            same = _same_file(target, entry)
            if same is False:
                raise CommandError("%s is there already and is not this session's log as the archive holds it; "
                                   "it was left as it is (give another place with --to PATH)" % target)
            plans.append((record, None if same else entry, target))
        done = []
        for record, entry, target in plans:
            if entry is not None:
                _write_back(target, kept.unpack(entry))
            done.append(Restored(target, entry is not None, bool(record.agent_id)))
    main = records[0]
    return Restore(done, resume_command(main.agent, main.session_id, main.cwd, done[0].path))


def _same_file(path: str, entry: archives.Entry) -> Optional[bool]:
    """None: nothing is at `path`; True: the file there is the archived copy; False: another file."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    if not os.path.isfile(path) or st.st_size != entry.size:
        return False
    return archives.file_digest(path) == (entry.size, entry.digest)


def _write_back(path: str, data: bytes) -> None:
    """Writes a log where it was: its folders made as the assistant makes them (with
    the umask's modes), the file readable by its owner only, never over a file
    that is there (a temporary file beside it, linked into place)."""
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    temporary = os.path.join(folder, ".%s.%d.restoring" % (os.path.basename(path), os.getpid()))
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        try:
            os.link(temporary, path)
        except FileExistsError:
            raise CommandError("%s appeared while it was being restored; it was left as it is" % path) from None
    finally:
        try:
            os.unlink(temporary)
        except OSError:
            pass


# -- forget ---------------------------------------------------------------------------


class Forgotten(NamedTuple):
    sessions: List[FileRecord]      # the main log (or only log) of each session forgotten
    logs: int
    bytes_freed: int
    in_place: List[str]             # their logs still in place (not read again)
    seconds: float


def to_forget(opened: Opened, keys: Sequence[str] = (), before: Optional[str] = None) -> List[FileRecord]:
    """The logs of the sessions named by `keys`, or of every session whose last
    activity is before `before` (a UTC time stamp text)."""
    chosen: Dict[str, FileRecord] = {}
    for key in keys:
        for r in session_logs(opened, key):
            chosen[r.path] = r
    if before is not None:
        ended = {r.session_id or r.path for r in opened.index.records("last_ts != '' AND last_ts < ?", (before,))}
        for r in opened.index.records():
            if (r.session_id or r.path) in ended and r.last_ts < before:
                chosen[r.path] = r
    return sorted(chosen.values(), key=lambda r: (r.session_id, bool(r.agent_id), r.path))


def forget(opened: Opened, records: Sequence[FileRecord]) -> Forgotten:
    """Removes these logs from the archive and the index for good; their paths are
    kept as forgotten, so that a log still in place is not read again."""
    started = time.perf_counter()
    freed = 0
    paths = [r.path for r in records]
    if archives.enabled():
        kept = archives.Archive()
        with kept, kept.writing():
            freed = kept.forget(paths)
    opened.index.forget(list(records))
    return Forgotten([r for r in records if not r.agent_id], len(records), freed,
                     [p for p in paths if os.path.lexists(p)], time.perf_counter() - started)
