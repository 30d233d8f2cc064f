"""A folder of transcripts: one page per session (its sub-agents' conversations in it),
and an index page listing the sessions by project and date.

Streaming: one session is read (on a helper thread, while the one before is written)
and written at a time, so memory holds a session or two and the index's list, however
large the history. The folder is made with mode 0700 and every file 0600."""

from __future__ import annotations

import concurrent.futures
import os
import re
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from ..commands import CommandError, transcript
from ..discovery import LogFile
from ..reader import Problem, Warn, resolve_agents
from . import SUFFIX, ExportFolderError, Redact, writer
from .model import build_page

_UNSAFE_NAME = re.compile(r"[^A-Za-z0-9._-]+")


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
        raise ExportFolderError("%s is a file; give a folder to write into with -o FOLDER" % folder)
    if not os.path.isdir(folder):
        try:
            os.makedirs(folder, mode=0o700)
            os.chmod(folder, 0o700)
        except OSError as e:
            raise ExportFolderError("cannot make %s: %s" % (folder, e.strerror or e)) from None


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


def _read(group: Tuple[LogFile, List[LogFile]]):
    log, sub_logs = group
    try:
        main = transcript(log)
    except CommandError as e:
        return log, None, [], [Problem(log.path, str(e).split(": ", 1)[-1])]
    subs, problems = [], []
    for s in sub_logs:
        try:
            subs.append(transcript(s))
        except CommandError as e:
            problems.append(Problem(s.path, str(e).split(": ", 1)[-1]))
    return log, main, subs, problems


def _prefetched(groups: Sequence[Tuple[LogFile, List[LogFile]]]) -> Iterator[tuple]:
    if not groups:
        return
    with concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="sessionrows-read") as pool:
        future = pool.submit(_read, groups[0])
        for i in range(len(groups)):
            result = future.result()
            if i + 1 < len(groups):
                future = pool.submit(_read, groups[i + 1])
            yield result
            del result


def export_folder(logs: Sequence[LogFile], named: Sequence[str], folder: str, fmt: str, *,
                  context: bool = False, redact: Optional[Redact] = None, warn: Warn = lambda p: None,
                  progress: Optional[Callable[[int, int], None]] = None) -> FolderReport:
    """Writes a page per session of `logs` (as found by discovery; `named`, the paths
    given on the command line) into `folder`, and the index page."""
    write = writer(fmt)
    suffix = SUFFIX[fmt]
    logs = resolve_agents(logs, warn, named)
    make_folder(folder)
    groups = group_logs(logs)
    sizes = [log.size + sum(s.size for s in subs) for log, subs in groups]
    total, done = sum(sizes), 0
    report = FolderReport(folder)
    taken: set = set()
    for (log, main, subs, problems), size in zip(_prefetched(groups), sizes):
        for problem in problems:
            warn(problem)
        done += size
        if main is None:
            continue
        page = build_page(main, redact=redact, context=context, subagents=subs)
        name = _name(main.session, main.path, taken, suffix)
        with private_file(os.path.join(folder, name)) as out:
            write(page, out)
        report.pages.append(Listed(name, page.title, page.agent, page.session_id, page.cwd, main.first_ts,
                                   main.last_ts, len(page.entries), len(page.subagents)))
        report.logs += 1 + len(subs)
        report.bytes += size
        if progress:
            progress(done, total)
    from .index_page import write_index
    report.index = os.path.join(folder, "index" + suffix)
    with private_file(report.index) as out:
        write_index(report.pages, fmt, out)
    return report
