"""The work behind each command, as functions that return records: the command line
prints them, and other programs and the tests can call them directly."""

from __future__ import annotations

import collections
import os
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, cast

from . import _core
from .discovery import AGENTS, CODEX, LogFile, NotFound, find_logs, root_paths
from .index import Filters, Hit, Index, UpdateReport
from .query import to_fts
from .reader import Problem, Warn, read_batches, resolve_agents
from .sessions import META, TITLE, custom_title, row_kinds, session_info, title_of

Progress = Callable[[int, int], None]


class CommandError(Exception):
    """A failure to report as one line; the command exits with status 2."""


@dataclass
class Scope:
    """The logs a command works on."""

    logs: List[LogFile]
    named: List[str]        # the paths given on the command line ([] for the default places)
    where: List[str]        # where they were looked for: the paths, or the default places

    @property
    def empty(self) -> bool:
        return not self.logs


def find(paths: Optional[Sequence[str]] = None, warn: Warn = lambda p: None) -> Scope:
    """The logs below `paths`, or in the default places when `paths` is empty."""
    paths = list(paths or [])

    def on_error(e: OSError) -> None:
        warn(Problem(e.filename or "?", e.strerror or str(e)))

    try:
        logs = find_logs(paths or None, on_error=on_error)
    except NotFound as e:
        raise CommandError("%s: no such file or folder" % e.filename) from None
    return Scope(logs, paths, paths or root_paths())


# -- index and search ----------------------------------------------------------


def update_index(scope: Scope, index_path: Optional[str] = None, *, rebuild: bool = False,
                 warn: Warn = lambda p: None, progress: Optional[Progress] = None,
                 on_wait: Optional[Callable[[], None]] = None):
    """Opens the index and brings it up to date with the scope: (Index, UpdateReport).
    `on_wait` is called if another process is updating it. The caller closes it."""
    index = Index.open(index_path, rebuild=rebuild, on_wait=on_wait)
    try:
        report = index.update(scope.logs, warn, named=scope.named, progress=progress)
    except BaseException:
        index.close()
        raise
    return index, report


@dataclass
class SearchResult:
    hits: List[Hit]
    report: UpdateReport
    index_path: str


def search(query: str, paths: Optional[Sequence[str]] = None, *, filters: Optional[Filters] = None,
           limit: int = 20, fts: bool = False, index_path: Optional[str] = None, warn: Warn = lambda p: None,
           progress: Optional[Progress] = None, scope: Optional[Scope] = None,
           on_wait: Optional[Callable[[], None]] = None) -> SearchResult:
    """Updates the index for the logs in scope and returns the best hits of `query`
    (as a person types it, or raw FTS5 syntax with `fts`)."""
    fts_query = query if fts else to_fts(query)
    scope = scope or find(paths, warn)
    index, report = update_index(scope, index_path, warn=warn, progress=progress, on_wait=on_wait)
    with index:
        # Without paths the scope is everything in the default places; other files
        # the index still holds (from searches over other paths) are left out too.
        hits = index.search(fts_query, filters or Filters(), limit, scope=report.scope)
    return SearchResult(hits, report, index.path)


# -- show ------------------------------------------------------------------------


@dataclass
class Transcript:
    path: str
    agent: str
    session_id: str
    title: str
    cwd: str
    rows: List[tuple]       # every row of the log, with tool calls and results
    kinds: List[int]        # the kind of each row (sessions.SAID, CONTEXT, TWIN, SPECIAL)


def _is_path(key: str) -> bool:
    return os.sep in key or key.endswith(".jsonl") or os.path.isfile(key)


def load_session(key: str, *, index_path: Optional[str] = None, warn: Warn = lambda p: None,
                 progress: Optional[Progress] = None, on_wait: Optional[Callable[[], None]] = None) -> Transcript:
    """The session that `key` names: a path to a log, a session id, or a prefix of one
    that is unique among the indexed sessions."""
    if _is_path(key):
        if not os.path.exists(key):
            raise CommandError("%s: no such file or folder" % key)
        logs = resolve_agents([LogFile(key, 0, 0, 0, None)], warn, named=[key])
        if not logs:
            raise CommandError("%s is not a Claude or Codex session log" % key)
        return _transcript(logs[0].path, cast(str, logs[0].agent))
    index, _ = update_index(find(None, warn), index_path, warn=warn, progress=progress, on_wait=on_wait)
    with index:
        matches = index.sessions(key)
    ids = sorted({session_id for _, _, session_id in matches})
    if not ids:
        raise CommandError("no session %r in the index (looked in %s)" % (key, ", ".join(root_paths())))
    if len(ids) > 1:
        shown = ", ".join(ids[:5]) + (", ..." if len(ids) > 5 else "")
        raise CommandError("%r is the start of %d session ids (%s); give more of it" % (key, len(ids), shown))
    files = [(path, agent) for path, agent, _ in matches]
    # A Claude session's sub-agents log beside it under the same session id: the
    # session is its main log, the one named after the id.
    main = [f for f in files if os.path.basename(f[0]) == ids[0] + ".jsonl"] or \
        [f for f in files if os.sep + "subagents" + os.sep not in f[0]] or files
    return _transcript(*main[0])


def _transcript(path: str, agent: str) -> Transcript:
    extract = _core.extract_codex if agent == CODEX else _core.extract_claude
    try:
        rows = extract(path, True)
    except OSError as e:
        raise CommandError("%s: %s" % (path, e)) from None
    kinds = row_kinds(agent, rows)
    info = session_info(agent, path, rows, kinds)
    custom = custom_title(path) if agent != CODEX else None
    return Transcript(path, agent, info.session_id, title_of(custom, info.ai_title, info.first_prompt),
                      info.cwd, rows, kinds)


# -- stats -----------------------------------------------------------------------


@dataclass
class AgentStats:
    files: int = 0
    bytes: int = 0
    sessions: int = 0
    rows: int = 0
    roles: Dict[str, int] = field(default_factory=dict)
    first: str = ""
    last: str = ""


@dataclass
class Stats:
    where: List[str]
    agents: Dict[str, AgentStats]
    unreadable: int
    seconds: float          # reading the logs (the native extraction and this count)

    @property
    def files(self) -> int:
        return sum(a.files for a in self.agents.values())


def stats(paths: Optional[Sequence[str]] = None, *, warn: Warn = lambda p: None,
          progress: Optional[Progress] = None) -> Stats:
    """Files, bytes, sessions and rows (with tool calls and results) by agent and
    role, read straight from the logs."""
    problems = []

    def note(problem: Problem) -> None:
        problems.append(problem)
        warn(problem)

    scope = find(paths, note)
    logs = resolve_agents(scope.logs, note, scope.named)
    agents = {agent: AgentStats() for agent in AGENTS}
    sessions: Dict[str, set] = {agent: set() for agent in AGENTS}
    roles: Dict[str, collections.Counter] = {agent: collections.Counter() for agent in AGENTS}
    total = sum(log.size for log in logs)
    done = 0
    started = time.perf_counter()
    for batch in read_batches(logs, True, note):
        for log, rows in batch:
            a = agents[log.agent]
            a.files += 1
            a.bytes += log.size
            a.rows += len(rows)
            roles[log.agent].update(row[0] for row in rows)
            stamps = [row[2] for row in rows if row[2]]
            if stamps:
                lo, hi = min(stamps), max(stamps)
                a.first = min(a.first, lo) if a.first else lo
                a.last = max(a.last, hi)
            sessions[log.agent].update(_session_ids(log.agent, log.path, rows))
            done += log.size
        if progress:
            progress(done, total)
    for agent in AGENTS:
        agents[agent].sessions = len(sessions[agent])
        agents[agent].roles = dict(roles[agent].most_common())
    return Stats(scope.where, agents, len(problems), time.perf_counter() - started)


def _session_ids(agent: str, path: str, rows) -> set:
    """The sessions a log holds: Codex names them in its meta rows, Claude in the
    last part of every row's source; a log that names none counts as one."""
    if agent == CODEX:
        ids = {row[3] for row in rows if row[0] == META}
    else:
        ids = {row[3].rpartition("\t")[2] for row in rows if row[0] != TITLE}
    ids.discard("")
    return ids or {path}
