"""A folder of transcripts: one page per session (its sub-agents' conversations in it),
and an index page listing the sessions by project and date.

The logs are those the index holds in scope (commands.logs_in_scope), a log gone
from its place read from its archived copy (commands.transcript). A `RowFilter`
keeps a page to the rows that pass it (of a role, kinds, a time range); a session
none of whose rows passes gets no page.

Streaming: a session is read and its page written, then the next, so memory holds a
session (two per worker process, for a large export) and the index's list, however
large the history. Each page is written under a temporary name and renamed when whole.
The folder is made with mode 0700 and every file 0600."""

from __future__ import annotations

import collections
import concurrent.futures
import functools
import os
import pickle
import re
import secrets
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from ..commands import CommandError, transcript
from ..discovery import LogFile
from ..reader import Problem, Warn, resolve_agents
from ..export import ExportError, RowFilter
from . import SUFFIX, Redact, writer
from .model import build_page

_UNSAFE_NAME = re.compile(r"[^A-Za-z0-9._-]+")
# An export of fewer bytes of logs than this is written in the process itself.
PARALLEL_BYTES = 64 << 20
# Jobs queued per worker process ahead of the one whose result is awaited.
WINDOW = 32


@dataclass
class Listed:
    """A written page, as the index lists it."""

    file: str
    title: str
    agent: str
    session_id: str
    cwd: str
    first_ts: str
    last_ts: str
    rows: int
    subagents: int


@dataclass
class FolderReport:
    folder: str
    index: str = ""
    pages: List[Listed] = field(default_factory=list)
    logs: int = 0
    bytes: int = 0


def group_logs(logs: Sequence[LogFile]) -> List[Tuple[LogFile, List[LogFile]]]:
    """Each log with the sub-agents' logs that lie beside it (`SESSION/subagents/*.jsonl`
    next to `SESSION.jsonl`); those go into their session's page, not a page of their own."""
    by_path = {os.path.abspath(log.path): log for log in logs}
    subs: Dict[str, List[LogFile]] = {}
    owned = set()
    for path, log in by_path.items():
        folder = os.path.dirname(path)
        if os.path.basename(folder) == "subagents":
            parent = os.path.dirname(folder) + ".jsonl"
            if parent in by_path and parent != path:
                subs.setdefault(parent, []).append(log)
                owned.add(path)
    return [(log, sorted(subs.get(path, []), key=lambda s: s.path))
            for path, log in by_path.items() if path not in owned]


def make_folder(folder: str) -> None:
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise ExportError("%s is a file; give a folder to write into with -o FOLDER" % folder)
    if not os.path.isdir(folder):
        try:
            os.makedirs(folder, mode=0o700)
            os.chmod(folder, 0o700)
        except OSError as e:
            raise ExportError("cannot make %s: %s" % (folder, e.strerror or e)) from None


def private_file(path: str):
    """A text file readable by its owner only (an existing file is emptied and made so)."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_NOFOLLOW", 0) | os.O_CLOEXEC, 0o600)
    try:
        os.fchmod(fd, 0o600)
    except OSError:
        pass
    return os.fdopen(fd, "w", encoding="utf-8", errors="backslashreplace", newline="\n", buffering=1 << 16)


def _name(session: str, path: str, taken: set, suffix: str) -> str:
    base = _UNSAFE_NAME.sub("_", session).strip("._")[:120]
    if not base:
        stem = os.path.basename(path)
        base = _UNSAFE_NAME.sub("_", stem[:-6] if stem.endswith(".jsonl") else stem).strip("._")[:120] or "session"
    name, n = base, 1
    while (name + suffix).lower() in taken or (name + suffix).lower() == "index" + suffix:
        n += 1
        name = "%s-%d" % (base, n)
    taken.add((name + suffix).lower())
    return name + suffix


def _render(folder: str, fmt: str, context: bool, redact: Optional[Redact], select: RowFilter, token: str,
            number: int, group: Tuple[LogFile, List[LogFile]]):
    """Reads a session's logs and writes its page under a temporary name; returns
    (what the index lists, the temporary file, the session's key and log) or None,
    and the problems met. Runs in the exporting process or in a worker process."""
    log, sub_logs = group
    problems = []
    try:
        main = transcript(log)
    except CommandError as e:
        return None, [Problem(log.path, str(e).split(": ", 1)[-1])]
    subs = []
    for s in sub_logs:
        try:
            subs.append(transcript(s))
        except CommandError as e:
            problems.append(Problem(s.path, str(e).split(": ", 1)[-1]))
    if select.active:
        main, subs = _selected(main, select), [_selected(s, select) for s in subs]
        if not main.rows and not any(s.rows for s in subs):
            return None, problems
    page = build_page(main, redact=redact, context=context, subagents=subs)
    partial = os.path.join(folder, ".partial-%s-%d%s" % (token, number, SUFFIX[fmt]))
    with private_file(partial) as out:
        writer(fmt)(page, out)
    listed = Listed("", page.title, page.agent, page.session_id, page.cwd, main.first_ts, main.last_ts,
                    len(page.entries), len(page.subagents))
    return (listed, partial, main.session, main.path, 1 + len(subs)), problems


def _selected(t, select: RowFilter):
    """The transcript with the rows that pass `select` (each keeps its number)."""
    return t._replace(rows=[r for r in t.rows if select.passes(r.role, r.kind, r.flags, r.timestamp)])


def _workers(total: int, redact: Optional[Redact]) -> int:
    """Worker processes for an export of `total` bytes of logs: one per processor for a
    large one (the pages are written by Python code, one processor per process), none
    for a small one, where starting them would cost more than they save."""
    if total < PARALLEL_BYTES:
        return 1
    try:
        cpus = len(os.sched_getaffinity(0))      # type: ignore[attr-defined]
    except AttributeError:
        cpus = os.cpu_count() or 1
    if cpus > 1 and redact is not None:
        try:
            pickle.dumps(redact)
        except Exception:
            return 1
    return cpus


def _pages(jobs: Sequence[Tuple[LogFile, List[LogFile]]], workers: int, render: Callable) -> Iterator[tuple]:
    """render(number, group) for each job, in order; with workers > 1 in that many
    processes. Jobs are queued a window ahead, so that a long session does not leave
    the other workers idle while its result is awaited; a queued job is only its list
    of logs, and a worker holds one session at a time."""
    if workers <= 1:
        for number, group in enumerate(jobs):
            yield render(number, group)
        return
    import multiprocessing
    with concurrent.futures.ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("spawn")) as pool:
        pending: collections.deque = collections.deque()
        todo = iter(enumerate(jobs))
        try:
            for number, group in todo:
                pending.append(pool.submit(render, number, group))
                if len(pending) >= WINDOW * workers:
                    yield pending.popleft().result()
            while pending:
                yield pending.popleft().result()
        except BaseException:
            for future in pending:
                future.cancel()
            raise


def export_folder(logs: Sequence[LogFile], named: Sequence[str], folder: str, fmt: str, *,
                  context: bool = False, redact: Optional[Redact] = None, warn: Warn = lambda p: None,
                  progress: Optional[Callable[[int, int], None]] = None, workers: Optional[int] = None,
                  select: RowFilter = RowFilter()) -> FolderReport:
    """Writes a page per session of `logs` (as the index lists them, or as found by
    discovery; `named`, the paths given on the command line) into `folder`, and the
    index page. A log gone from its place is read from the archive. Pages hold the
    rows that pass `select`. A large export is shared among worker processes
    (`workers`: their number; 1 for none)."""
    writer(fmt)         # an unknown format fails here, before anything is written
    suffix = SUFFIX[fmt]
    logs = resolve_agents(logs, warn, named)
    make_folder(folder)
    groups = group_logs(logs)
    sizes = [log.size + sum(s.size for s in subs) for log, subs in groups]
    total, done = sum(sizes), 0
    report = FolderReport(folder)
    taken: set = set()
    token = secrets.token_hex(6)
    render = functools.partial(_render, folder, fmt, context, redact, select, token)
    try:
        for (result, problems), size in zip(_pages(groups, workers or _workers(total, redact), render), sizes):
            for problem in problems:
                warn(problem)
            done += size
            if result is not None:
                listed, partial, session, path, nlogs = result
                listed.file = _name(session, path, taken, suffix)
                os.replace(partial, os.path.join(folder, listed.file))
                report.pages.append(listed)
                report.logs += nlogs
                report.bytes += size
            if progress:
                progress(done, total)
    finally:
        for name in _partials(folder, token):       # left by a failure or an interruption
            os.remove(os.path.join(folder, name))
    from .index_page import write_index
    report.index = os.path.join(folder, "index" + suffix)
    partial = os.path.join(folder, ".partial-%s-index%s" % (token, suffix))
    try:
        with private_file(partial) as out:
            write_index(report.pages, fmt, out)
        os.replace(partial, report.index)
    finally:
        if os.path.lexists(partial):
            os.remove(partial)
    return report


def _partials(folder: str, token: str) -> List[str]:
    try:
        return [n for n in os.listdir(folder) if n.startswith(".partial-%s-" % token)]
    except OSError:
        return []
