"""The work behind each command, as functions that return records: the command line,
the terminal interface and the MCP server print or send them, and other programs and
the tests can call them directly."""

from __future__ import annotations

import os
import time
from typing import Callable, Dict, List, NamedTuple, Optional, Sequence, cast

from . import discovery
from .agents import NAMES
from .discovery import LogFile
from .index import FileRecord, Filters, Index, IndexProblem, Scope, UpdateReport
from .query import Query, parse
from .reader import NOT_A_LOG, Problem, Warn, archived_copy, read_session, resolve_agents
from .sessions import INJECTED, KIND_NAMES, REWOUND, SUBAGENT, TEXT, TITLE, resume_command, title_of
from .snippets import Span, snippet
from .terminal import counted

Progress = Callable[[int, int], None]
# A query that matches more rows than this in a shard ranks the newest of them.
BROAD_LIMIT = 10_000


class CommandError(Exception):
    """A failure to report as one line; the command exits with status 2."""


def _nothing(problem: Problem) -> None:
    pass


# -- the index, up to date ------------------------------------------------------


class Opened:
    """An open index and what bringing it up to date found (refresh renews it)."""

    def __init__(self, index: Index, report: UpdateReport, scope: Scope, found: int, where: List[str]):
        self.index = index
        self.report = report
        self.scope = scope
        self.found = found      # logs in scope
        self.where = where      # where they were looked for: the paths, or the default places


def open_index(paths: Optional[Sequence[str]] = None, index_path: Optional[str] = None, *, rebuild: bool = False,
               warn: Warn = _nothing, progress: Optional[Progress] = None,
               on_wait: Optional[Callable[[], None]] = None, update: bool = True) -> Opened:
    """Opens the index and brings it up to date with the logs below `paths` (or in
    the default places). The caller closes `Opened.index`.

    With `update` False the index is opened as it is, without a look at the logs:
    its scope is what it holds below `paths` (or the default places) and `found` is
    0. The terminal interface searches through such a one while another connection
    updates the index (readers see each batch once it is committed)."""
    paths = list(paths or [])
    index = Index.open(index_path, rebuild=rebuild, on_wait=on_wait)
    if not update:
        return Opened(index, UpdateReport(), Scope(_roots(paths), False), 0, paths or discovery.root_paths())
    opened = Opened(index, UpdateReport(), Scope([], True), 0, paths or discovery.root_paths())
    try:
        refresh(opened, paths, warn=warn, progress=progress)
    except BaseException:
        index.close()
        raise
    return opened


def refresh(opened: Opened, paths: Optional[Sequence[str]] = None, *, warn: Warn = _nothing,
            progress: Optional[Progress] = None) -> Opened:
    """Brings an open index up to date again with the logs below `paths` (or in the
    default places), for a caller that keeps it open between searches."""
    paths = list(paths or [])

    def on_error(e: OSError) -> None:
        warn(Problem(e.filename or "?", e.strerror or str(e)))

    index = opened.index
    try:
        changes = discovery.changes(paths or None, index.known(), on_error=on_error)
    except discovery.NotFound as e:
        raise CommandError("%s: no such file or folder" % e.filename) from None
    report = index.update(changes.fresh, changes.gone, warn, named=[os.path.abspath(p) for p in paths],
                          progress=progress)
    found = changes.found - report.left_out     # the walk counts every file named, logs or not, forgotten or not
    report = report._replace(files=found)
    whole = not paths and found == index.count_files()
    opened.report, opened.scope, opened.found = report, Scope(changes.where, whole), found
    opened.where = paths or discovery.root_paths()
    return opened


def _roots(paths: Sequence[str]) -> List[str]:
    """The folders and files a search of `paths` covers: the paths, else the default places."""
    return [os.path.abspath(p) for p in paths] if paths else [os.path.abspath(r.path) for r in discovery.default_roots()]


# -- search ----------------------------------------------------------------------


class Hit(NamedTuple):
    """A row that matched, as every surface shows it."""

    path: str
    agent: str
    session_id: str
    session: str            # what `show` takes to open this log: the session id, or "agent-" + a sub-agent's id
    subagent: str           # the sub-agent's id, for a hit in a sub-agent's log
    title: str
    cwd: str
    row: int
    role: str
    kind: int
    flags: int
    tool: str
    timestamp: str
    text: str
    snippet: str
    matches: List[Span]     # [start, end) of each match in the snippet
    score: float
    resume: str
    gone_since: str = ""    # when the log was found gone from its place (it is read from the archive)
    last_ts: str = ""       # the log's last activity: the time of its session, whatever the hit

    @property
    def injected(self) -> bool:
        return self.kind in INJECTED


class SearchResult(NamedTuple):
    query: Query
    hits: List[Hit]
    report: UpdateReport
    index_path: str
    found: int              # logs in scope
    where: List[str]
    bounded: Optional[int] = None   # set when a broad query ranked only this many newest matches
                                    # (of those that pass the filters)
    seconds: float = 0.0            # the query itself
    more: bool = False              # more rows matched than the limit let through
    context_sessions: Optional[int] = None  # nothing matched outside injected text: the sessions
                                            # a search of it finds (when counted)


def hit_json(hit: Hit) -> dict:
    """A hit as `search --json` prints it (one object per line)."""
    return {"path": hit.path, "agent": hit.agent, "session_id": hit.session_id, "session": hit.session,
            "subagent": hit.subagent or None, "title": hit.title, "cwd": hit.cwd, "row": hit.row, "role": hit.role,
            "kind": KIND_NAMES.get(hit.kind, str(hit.kind)), "tool": hit.tool or None, "timestamp": hit.timestamp,
            "text": hit.text, "snippet": hit.snippet, "matches": [list(s) for s in hit.matches],
            "context": hit.injected, "sidechain": bool(hit.flags & SUBAGENT), "rewound": bool(hit.flags & REWOUND),
            "score": round(hit.score, 4),
            "resume": hit.resume, "archived": bool(hit.gone_since), "gone_since": hit.gone_since or None}


def session_key(record: FileRecord) -> str:
    """What `show` takes to open this log."""
    return "agent-" + record.agent_id if record.agent_id else (record.session_id or record.path)


def search(query: str, paths: Optional[Sequence[str]] = None, *, filters: Optional[Filters] = None,
           limit: int = 20, fts: bool = False, index_path: Optional[str] = None, warn: Warn = _nothing,
           progress: Optional[Progress] = None, on_wait: Optional[Callable[[], None]] = None,
           snippet_width: int = 200, opened: Optional[Opened] = None,
           part: Optional[Callable[[str, int, int], str]] = None, offset: int = 0) -> SearchResult:
    """Updates the index for the logs in scope and returns the best hits of `query`
    (as a person types it, or raw FTS5 syntax with `fts`), from the `offset`-th on.
    With `opened`, searches that index as it is (the caller keeps it open between
    searches). `part`, if given, gives the text a snippet shows (redacted, say; see
    snippets.snippet). When nothing matches outside injected text, the sessions
    where it does are counted."""
    q = parse(query, raw=fts)
    own = opened is None
    if opened is None:
        opened = open_index(paths, index_path, warn=warn, progress=progress, on_wait=on_wait)
    try:
        return search_opened(opened, q, filters or Filters(), limit, snippet_width, part, offset=offset,
                             count_context=True)
    finally:
        if own:
            opened.index.close()


def search_opened(opened: Opened, q: Query, filters: Filters, limit: int, snippet_width: int = 200,
                  part: Optional[Callable[[str, int, int], str]] = None, *,
                  broad_limit: int = BROAD_LIMIT, offset: int = 0, count_context: bool = False) -> SearchResult:
    """The best hits of `q` in an open index, from the `offset`-th on (at most
    `limit`). A query with more than `broad_limit` rows that pass the filters ranks
    about the newest `broad_limit` of them (the terminal interface ranks fewer while
    the person types). With `count_context`, a search that finds nothing outside
    injected text counts the sessions where injected text matches (one more query,
    only then)."""
    started = time.perf_counter()
    matches = opened.index.search(q.fts, filters, offset + limit, opened.scope, broad_limit=broad_limit,
                                  literals=q.literals)
    # A match of a session's title stands for the session only when nothing else in it matched.
    said = {h.file.path for h in matches.hits if h.kind != TITLE}
    found = [h for h in matches.hits if h.kind != TITLE or h.file.path not in said]
    hits = []
    for h in found[offset:]:
        r = h.file
        text, spans = snippet(h.text, q, snippet_width, part)
        row = 0 if h.kind == TITLE else h.row      # a title's match opens the session at its start
        hits.append(Hit(r.path, r.agent, r.session_id, session_key(r), r.agent_id, h.title, r.cwd, row, h.role,
                        h.kind, h.flags, h.tool, h.timestamp, h.text, text, spans, h.score,
                        resume_command(r.agent, r.session_id, r.cwd, r.path), r.gone_since, r.last_ts))
    context_sessions = None
    if count_context and not found and not filters.context:
        context_sessions = opened.index.count_sessions(q.fts, filters._replace(context=True), opened.scope)
    return SearchResult(q, hits, opened.report, opened.index.path, opened.found, opened.where, matches.ranked,
                        time.perf_counter() - started, matches.more, context_sessions)


class SessionHits(NamedTuple):
    """The hits of one log, best first, under the facts of the log."""

    hits: List[Hit]

    @property
    def first(self) -> Hit:
        return self.hits[0]


def group_by_session(hits: Sequence[Hit]) -> List[SessionHits]:
    """Hits grouped by the log they are in, the groups in the order of their best
    hit, the hits of a group in conversation order."""
    groups: Dict[str, List[Hit]] = {}
    for hit in hits:
        groups.setdefault(hit.path, []).append(hit)
    return [SessionHits(sorted(found, key=lambda h: h.row)) for found in groups.values()]


# -- show ------------------------------------------------------------------------


class SessionRow(NamedTuple):
    row: int
    role: str
    kind: int
    flags: int
    timestamp: str
    tool: str
    text: str

    @property
    def injected(self) -> bool:
        return self.kind in INJECTED


class Transcript(NamedTuple):
    path: str
    agent: str
    session_id: str
    agent_id: str           # a sub-agent's log: the sub-agent's id
    title: str
    cwd: str
    first_ts: str
    last_ts: str
    rows: List[SessionRow]
    resume: str
    subagents: Sequence[FileRecord] = ()    # the session's sub-agent logs, from the index
    archived: bool = False  # the log is gone from its place: it was read from the archive
    gone_since: str = ""    # since when it is known to be gone ("" if not yet noted)

    @property
    def session(self) -> str:
        return "agent-" + self.agent_id if self.agent_id else self.session_id


def row_json(t: Transcript, row: SessionRow) -> dict:
    """A row of a session as `show --json` prints it (one object per line)."""
    return {"path": t.path, "agent": t.agent, "session_id": t.session_id, "session": t.session, "row": row.row,
            "role": row.role, "kind": KIND_NAMES.get(row.kind, str(row.kind)),
            "subagent": t.agent_id or None, "sidechain": bool(row.flags & SUBAGENT),
            "rewound": bool(row.flags & REWOUND), "tool": row.tool or None,
            "timestamp": row.timestamp, "text": row.text, "archived": t.archived}


def _is_path(key: str) -> bool:
    return os.sep in key or key.endswith(".jsonl") or os.path.isfile(key)


def session_matches(opened: Opened, key: str) -> List[FileRecord]:
    """The logs of the one session that `key` names (an id, a unique prefix of one,
    or agent-ID for a sub-agent's log); CommandError if none or several do."""
    matches = opened.index.find_sessions(key)
    if not matches:
        raise CommandError("no session %r in the index (looked in %s)" % (key, ", ".join(opened.where)))
    keys = sorted({session_key(r) if key.startswith("agent-") else r.session_id for r in matches})
    if len(keys) > 1:
        shown = ", ".join(keys[:5]) + (", ..." if len(keys) > 5 else "")
        raise CommandError("%r is the start of %d session ids (%s); give more of it" % (key, len(keys), shown))
    return matches


def load_session(key: str, *, index_path: Optional[str] = None, warn: Warn = _nothing,
                 progress: Optional[Progress] = None, on_wait: Optional[Callable[[], None]] = None,
                 opened: Optional[Opened] = None) -> Transcript:
    """The session that `key` names: a path to a log, a session id or a prefix of one
    that is unique among the indexed sessions, or "agent-" and a sub-agent's id."""
    if _is_path(key):
        path = os.path.abspath(key)
        if not os.path.exists(path):
            kept = archived_copy(path)
            if kept is None:
                raise CommandError("%s: no such file or folder" % key)
            return transcript(LogFile(path, kept.size, 0, 0, kept.agent))
        if not os.path.isfile(path):
            raise CommandError("%s is not a regular file" % key)
        logs = resolve_agents([LogFile(path, 0, 0, 0, None)], warn, named=[path])
        if not logs:
            raise CommandError("%s is %s" % (key, NOT_A_LOG))
        return transcript(logs[0])
    own = opened is None
    if opened is None:
        opened = open_index(None, index_path, warn=warn, progress=progress, on_wait=on_wait)
    try:
        index = opened.index
        matches = session_matches(opened, key)
        mains = [r for r in matches if not r.agent_id] if not key.startswith("agent-") else []
        record = max(mains, key=lambda r: r.size) if mains else matches[0]
        t = transcript(LogFile(record.path, record.size, record.mtime_ns, record.inode, record.agent))
        if record.agent_id:
            main = index.main_logs([record.session_id]).get(record.session_id)
            if main is not None:
                t = t._replace(title=main.title)
        else:
            t = t._replace(subagents=[r for r in index.find_sessions(record.session_id)
                                      if r.agent_id and r.session_id == record.session_id])
        return t
    finally:
        if own:
            opened.index.close()


def transcript(log: LogFile) -> Transcript:
    """A log read whole, as a transcript: from its place, or from the archive when
    it is gone from there."""
    kept = archived_copy(log.path)
    try:
        facts, rows = read_session(log, kept)
    except OSError as e:
        raise CommandError("%s: %s" % (log.path, e)) from None
    session_id, cwd, agent_id, custom, ai_title, first_prompt, first_ts, last_ts = facts[:8]
    if not session_id:
        session_id = _id_from_name(log.path)
    agent = cast(str, log.agent)
    return Transcript(log.path, agent, session_id, agent_id, title_of(custom, ai_title, first_prompt), cwd,
                      first_ts, last_ts, [SessionRow(*r[:7]) for r in rows],
                      resume_command(agent, session_id, cwd, log.path), (), kept is not None,
                      kept.gone_since if kept is not None else "")


def _id_from_name(path: str) -> str:
    import re
    found = re.findall(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}", os.path.basename(path))
    return found[-1] if found else ""


def rows_around(t: Transcript, row: int, context_rows: int) -> List[SessionRow]:
    """The row `row` and `context_rows` rows on each side."""
    if row >= len(t.rows):
        raise CommandError("row %d is past the end of the session (%s)" % (row, counted(len(t.rows), "row")))
    return t.rows[max(0, row - context_rows):row + context_rows + 1]


# -- the logs in scope -----------------------------------------------------------


def logs_in_scope(opened: Opened, filters: Optional[Filters] = None) -> List[FileRecord]:
    """The records of the logs in an open index's scope, those in their places and
    those gone from there whose rows the archive keeps (`gone_since` set), in the
    order of their paths (a session's log before its sub-agents'): of the agent and
    the project that `filters` name, and with rows in its time range. What export
    reads."""
    from .index.records import _file_conditions, _record
    from .index.schema import _FILE_COLUMNS
    filters = filters or Filters()
    conditions, args = _file_conditions(filters, opened.scope)
    if filters.since:           # first_ts and last_ts: the earliest and the latest of the log's rows
        conditions.append("f.last_ts >= ?")
        args.append(filters.since)
    if filters.until:
        conditions.append("f.first_ts != '' AND f.first_ts < ?")
        args.append(filters.until)
    sql = "SELECT %s FROM files f%s" % (_FILE_COLUMNS, " WHERE " + " AND ".join(conditions) if conditions else "")
    index = opened.index
    with index._guard():
        found = [_record(r) for db in index.shards for r in db.execute(sql, args)]
    found.sort(key=lambda r: os.fsencode(r.path))
    return found


# -- sessions and stats ----------------------------------------------------------


class SessionSummary(NamedTuple):
    session: str
    path: str
    agent: str
    session_id: str
    title: str
    cwd: str
    first_ts: str
    last_ts: str
    rows: int
    resume: str
    gone_since: str = ""    # when the log was found gone from its place (it is read from the archive)


def summary_of(record: FileRecord) -> SessionSummary:
    return SessionSummary(session_key(record), record.path, record.agent, record.session_id, record.title,
                          record.cwd, record.first_ts, record.last_ts, record.nrows,
                          resume_command(record.agent, record.session_id, record.cwd, record.path),
                          record.gone_since)


def summary_json(s: SessionSummary) -> dict:
    """A session as `sessions --json` prints it (one object per line)."""
    return {"session": s.session, "path": s.path, "agent": s.agent, "session_id": s.session_id, "title": s.title,
            "cwd": s.cwd, "first_timestamp": s.first_ts, "last_timestamp": s.last_ts, "rows": s.rows,
            "resume": s.resume, "archived": bool(s.gone_since), "gone_since": s.gone_since or None}


def list_sessions(filters: Optional[Filters] = None, limit: int = 20, offset: int = 0, *,
                  opened: Optional[Opened] = None, index_path: Optional[str] = None,
                  warn: Warn = _nothing) -> List[SessionSummary]:
    """Sessions (their main logs), newest first."""
    own = opened is None
    if opened is None:
        opened = open_index(None, index_path, warn=warn)
    try:
        return [summary_of(r) for r in opened.index.list_sessions(filters or Filters(), limit, opened.scope, offset)]
    finally:
        if own:
            opened.index.close()


class AgentStats:
    """One agent's logs, bytes, sessions, rows, rows by role and time range."""

    def __init__(self, files: int = 0, bytes: int = 0, sessions: int = 0, rows: int = 0,
                 roles: Optional[Dict[str, int]] = None, first: str = "", last: str = ""):
        self.files = files
        self.bytes = bytes
        self.sessions = sessions
        self.rows = rows
        self.roles: Dict[str, int] = {} if roles is None else roles
        self.first = first
        self.last = last


class Kept(NamedTuple):
    """What the archive keeps of the history in scope."""

    sessions: int           # sessions kept only in the archive (their logs are gone from their places)
    oldest: str             # the first time of the oldest of them
    by_agent: Dict[str, int]
    logs: int               # logs the archive holds (all of them, in or out of scope)
    bytes: int              # their bytes
    stored: int             # the archive's size
    folder: str


class Stats(NamedTuple):
    where: List[str]
    agents: Dict[str, AgentStats]
    unreadable: int
    seconds: float
    fresh: bool = False     # read from the logs rather than the index
    kept: Optional[Kept] = None         # None: read from the logs, or the archive is off
    retention: Sequence = ()            # how long the assistants keep their logs (retention.Retention)

    @property
    def files(self) -> int:
        return sum(a.files for a in self.agents.values())


def stats_json(s: Stats) -> dict:
    """Stats as `stats --json` prints them and the MCP server's history_stats answers."""
    k = s.kept
    return {"where": s.where, "seconds": round(s.seconds, 4), "unreadable": s.unreadable, "fresh": s.fresh,
            "agents": {name: {"files": a.files, "bytes": a.bytes, "sessions": a.sessions, "rows": a.rows,
                              "roles": a.roles, "first": a.first, "last": a.last}
                       for name, a in s.agents.items()},
            "archive": None if k is None else {
                "sessions_kept": k.sessions, "oldest_kept": k.oldest or None, "kept_by_agent": k.by_agent,
                "logs": k.logs, "bytes": k.bytes, "stored": k.stored, "folder": k.folder},
            "retention": [{"agent": r.agent, "deletes": r.deletes, "after_days": r.after_days,
                           "keeps_newest": r.keeps_newest, "writes_logs": r.writes_logs, "says": r.sentence}
                          for r in s.retention]}


def kept(opened: Opened) -> Optional[Kept]:
    """What the archive keeps of the history in scope, or None with the archive off."""
    from . import archive
    if not archive.enabled():
        return None
    gone = opened.index.records("gone_since != '' AND agent_id = ''")
    if not opened.scope.whole:
        roots = [root.rstrip(os.sep) for root in opened.scope.roots]
        gone = [r for r in gone if any(r.path == root or r.path.startswith(root + os.sep) for root in roots)]
    by_agent: Dict[str, int] = {}
    for r in gone:
        by_agent[r.agent] = by_agent.get(r.agent, 0) + 1
    store = archive.Archive()
    logs = size = stored = 0
    if store.exists():
        with store:
            logs, size, stored = store.totals()
    return Kept(len(gone), min((r.first_ts for r in gone if r.first_ts), default=""), by_agent, logs, size, stored,
                store.folder)


def stats(paths: Optional[Sequence[str]] = None, *, fresh: bool = False, index_path: Optional[str] = None,
          warn: Warn = _nothing, progress: Optional[Progress] = None,
          on_wait: Optional[Callable[[], None]] = None, opened: Optional[Opened] = None) -> Stats:
    """Logs, bytes, sessions and rows by agent and role, and the date range: from
    the index (brought up to date first; with `opened`, that index as it is), or
    read from the logs with `fresh`."""
    problems: List[Problem] = []

    def note(problem: Problem) -> None:
        problems.append(problem)
        warn(problem)

    started = time.perf_counter()
    agents = {agent: AgentStats() for agent in NAMES}
    if not fresh:
        own = opened is None
        if opened is None:
            opened = open_index(paths, index_path, warn=note, progress=progress, on_wait=on_wait)
        try:
            for agent, files, size, sessions, rows, roles, first, last in opened.index.stats(opened.scope):
                agents[agent] = AgentStats(files, size, sessions, rows, roles, first or "", last or "")
            keeping = kept(opened)
        finally:
            if own:
                opened.index.close()
        from .retention import retention
        return Stats(opened.where, agents, len(problems), time.perf_counter() - started, kept=keeping,
                     retention=retention())
    where = list(paths or []) or discovery.root_paths()
    try:
        logs = discovery.find_logs(list(paths) if paths else None,
                                   on_error=lambda e: note(Problem(e.filename or "?", e.strerror or str(e))))
    except discovery.NotFound as e:
        raise CommandError("%s: no such file or folder" % e.filename) from None
    logs = resolve_agents(logs, note, list(paths or []))
    sessions: Dict[str, set] = {agent: set() for agent in NAMES}
    total, done = sum(log.size for log in logs), 0
    from .reader import IndexJob, read_for_index
    for batch in read_for_index([IndexJob(log, 0, 0) for log in logs], note):
        for job, facts, _rows, _, _ in batch:
            log = job.log
            a = agents[cast(str, log.agent)]
            a.files += 1
            a.bytes += log.size
            a.rows += facts[8]
            for role, n in facts[9]:
                a.roles[role] = a.roles.get(role, 0) + n
            first, last = facts[6], facts[7]
            if first and (not a.first or first < a.first):
                a.first = first
            if last > a.last:
                a.last = last
            sessions[cast(str, log.agent)].add(facts[0] or "path:" + log.path)
            done += log.size
        if progress:
            progress(done, total)
    for agent in NAMES:
        agents[agent].sessions = len(sessions[agent])
        agents[agent].roles = dict(sorted(agents[agent].roles.items(), key=lambda kv: -kv[1]))
    return Stats(where, agents, len(problems), time.perf_counter() - started, fresh=True)


__all__ = ["CommandError", "hit_json", "row_json", "stats_json", "Filters", "Hit", "IndexProblem", "Opened", "SearchResult",
           "SessionHits", "SessionRow", "SessionSummary", "Stats", "Transcript", "group_by_session",
           "list_sessions", "load_session", "open_index", "refresh", "rows_around", "search", "search_opened", "session_key",
           "stats", "summary_json", "summary_of", "transcript", "TEXT", "SUBAGENT"]
