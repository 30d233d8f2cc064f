"""Reading many session logs batch by batch, so that memory stays bounded for a
history of any size: the rows of `extract_many` for exports, and the search reading
(`_search.read`: every row in full, with its kind) for the index and the commands.
The next batch is read on a helper thread while the caller works on the current one
(the native reading runs without the interpreter lock)."""

from __future__ import annotations

import os
import re
from typing import Callable, Iterable, Iterator, List, NamedTuple, Optional, Sequence, cast

from . import _core, _search
from .agents import AGENTS, labels
from .discovery import LogFile, detect_agent

BATCH_BYTES = 64 << 20
BATCH_FILES = 2000
NOT_A_LOG = "not a session log of %s" % labels(last="or")


class Problem(NamedTuple):
    """A file that could not be read, or a named file that is no session log."""

    path: str
    message: str


Warn = Callable[[Problem], None]


def resolve_agents(logs: Iterable[LogFile], warn: Warn, named: Sequence[str] = ()) -> List[LogFile]:
    """The logs with their agent settled; files of no agent are dropped, with a
    warning for those named on the command line (`named`)."""
    named_set = set(named)
    out = []
    for log in logs:
        agent = log.agent
        if agent is None:
            try:
                agent = detect_agent(log.path)
            except OSError as e:
                warn(Problem(log.path, e.strerror or str(e)))
                continue
            if agent is None:
                if log.path in named_set:
                    warn(Problem(log.path, NOT_A_LOG))
                continue
        out.append(LogFile(log.path, log.size, log.mtime_ns, log.inode, agent))
    return out


def batches(logs: Sequence[LogFile], batch_bytes: Optional[int] = None) -> Iterator[List[LogFile]]:
    """The logs in order, in batches of about BATCH_BYTES bytes (at most BATCH_FILES files)."""
    batch_bytes = batch_bytes or BATCH_BYTES
    batch: List[LogFile] = []
    size = 0
    for log in logs:
        if batch and (size + log.size > batch_bytes or len(batch) >= BATCH_FILES):
            yield batch
            batch, size = [], 0
        batch.append(log)
        size += log.size
    if batch:
        yield batch


def _read_batch(batch: List[LogFile], include_tools: bool):
    return _core.extract_many([(cast(str, log.agent), log.path) for log in batch], include_tools)


def _failure(log: LogFile, include_tools: bool) -> Optional[str]:
    """Why a file gave no rows, if it could not be read (extract_many gives [] both
    for an unreadable file and for one without rows): a single call says, whatever
    the rules it reads the file by."""
    try:
        _core.extract_claude(log.path, include_tools)
    except OSError as e:
        return str(e)
    return None


def read_batches(logs: Sequence[LogFile], include_tools: bool, warn: Warn,
                 batch_bytes: Optional[int] = None) -> Iterator[List[tuple]]:
    """Lists of (log, rows), batch by batch, for every readable log in order; each log
    must have its agent. A file that cannot be read is passed to `warn` and left out."""
    pending = list(batches(logs, batch_bytes))
    for batch, results in zip(pending, _prefetched(pending, lambda b: _read_batch(b, include_tools))):
        out = []
        for log, rows in zip(batch, results):
            if not rows:
                message = _failure(log, include_tools)
                if message is not None:
                    warn(Problem(log.path, message))
                    continue
            out.append((log, rows))
        del results
        yield out


def read_logs(logs: Sequence[LogFile], include_tools: bool, warn: Warn,
              batch_bytes: Optional[int] = None) -> Iterator[tuple]:
    """(log, rows) for every readable log, in order (see read_batches)."""
    for batch in read_batches(logs, include_tools, warn, batch_bytes):
        yield from batch


def _prefetched(pending: Sequence, read: Callable) -> Iterator:
    """read(item) for each item, the next one read on a helper thread while the
    caller works on this one's result."""
    if len(pending) <= 1:        # nothing to read ahead: no thread (nor its import)
        for item in pending:
            yield read(item)
        return
    import concurrent.futures
    with concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="sessionrows-read") as pool:
        future = pool.submit(read, pending[0])
        for i in range(len(pending)):
            result = future.result()
            if i + 1 < len(pending):
                future = pool.submit(read, pending[i + 1])
            yield result
            del result


class IndexJob(NamedTuple):
    log: LogFile
    file_id: int
    start: int                          # the first row wanted
    archiving: Optional[tuple] = None   # pack the log for the archive, or read its archived copy (_search.read)


def read_for_index(jobs: Sequence[IndexJob], warn: Warn,
                   batch_bytes: Optional[int] = None) -> Iterator[List[tuple]]:
    """The search reading of logs for the index, batch by batch: lists of
    (job, facts, rows, digest of the rows before the first one wanted, packed),
    rows with their ids (file id << 32 | place) and the text the index gets, packed
    what `_search.read` packed of the log (None unless the job asked). A log that
    cannot be read is passed to `warn` and left out."""
    batch_bytes = batch_bytes or BATCH_BYTES
    pending: List[List[IndexJob]] = []
    size = 0
    for job in jobs:
        if not pending or size + job[0].size > batch_bytes or len(pending[-1]) >= BATCH_FILES:
            pending.append([])
            size = 0
        pending[-1].append(job)
        size += job[0].size

    def read(batch: List[IndexJob]):
        return _search.read([(cast(str, j.log.agent), os.fsencode(j.log.path), j.file_id << 32, j.start, j.archiving)
                             for j in batch], True)

    for batch, results in zip(pending, _prefetched(pending, read)):
        out = []
        for job, result in zip(batch, results):
            if isinstance(result, str):
                warn(Problem(job.log.path, result))
                continue
            facts, rows = result[:2]
            out.append((job, _with_agent_id(facts, job.log.path), rows, facts[11], result[2] if len(result) > 2 else None))
        yield out


def archived_copy(path: str):
    """The archive's latest copy of a log that is gone from its place (an
    archive.Entry), or None: the log is in place, or the archive does not hold it."""
    from . import archive
    if os.path.lexists(path) or not archive.enabled():
        return None
    kept = archive.Archive()
    if not kept.exists():
        return None
    with kept:
        return kept.current([path]).get(path)


def open_log(path: str):
    """A log's bytes as a binary file: from its place, or from the archive when it is
    gone from there (OSError if neither has it)."""
    entry = archived_copy(path)
    if entry is None:
        return open(path, "rb")
    import io

    from .archive import Archive, ArchiveProblem
    try:
        return io.BytesIO(Archive().unpack(entry))
    except ArchiveProblem as e:
        raise OSError(str(e)) from None


def read_session(log: LogFile, archived=None):
    """The search reading of one log: (facts, rows) with rows (place, role, kind,
    flags, timestamp, tool, text, None); with `archived` (an archive.Entry), from
    that archived copy, checked by its digest. Raises OSError if it cannot be read."""
    job = None if archived is None else ("member", os.fsencode(archived.member), archived.size)
    result = _search.read([(cast(str, log.agent), os.fsencode(log.path), 0, 0, job)])[0]
    if isinstance(result, str):
        if archived is not None:
            from .archive import damaged
            raise OSError(damaged(archived, result))
        raise OSError(result)
    if archived is not None and result[2][1] != archived.digest:
        from .archive import damaged
        raise OSError(damaged(archived, "its digest does not match"))
    return _with_agent_id(result[0], log.path), result[1]


# (the last folder of a sub-agent's log, the start of its name) of the assistants whose
# sub-agents have logs of their own.
_SUBAGENT_LOGS = [(os.path.basename(a.subagent_folder), a.subagent_prefix) for a in AGENTS if a.subagent_prefix]


_UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\Z", re.I)


def _with_agent_id(facts: tuple, path: str) -> tuple:
    """A sub-agent's log whose lines do not name the sub-agent (older Claude Code
    versions) is known by its file name: <session>/subagents/agent-<id>.jsonl; one
    whose lines do not name its session (Gemini CLI's) lies in a folder named after
    the session's id."""
    folder, name = os.path.split(path)
    if facts[2] and not facts[0] and _UUID.match(os.path.basename(folder)):
        return (os.path.basename(folder),) + facts[1:]
    if facts[2] or not path.endswith(".jsonl"):
        return facts
    for last, prefix in _SUBAGENT_LOGS:
        if os.path.basename(folder) == last and name.startswith(prefix) and len(name) > len(prefix) + 6:
            return facts[:2] + (name[len(prefix):-6],) + facts[3:]
    return facts
