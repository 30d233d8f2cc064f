"""What the index knows of each log: its record (size, modification time, inode,
the walk's key, the facts that name its session), its rows by role, and the
questions asked of the records: the walk's keys, records by path, a session's logs,
sessions newest first, stats."""

from __future__ import annotations

import os
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple

from ..sessions import title_of
from .schema import _FILE_COLUMNS


class UpdateReport(NamedTuple):
    files: int = 0          # logs in scope
    new: int = 0
    changed: int = 0
    appended: int = 0
    removed: int = 0
    rows: int = 0           # rows added to the index
    bytes_read: int = 0
    seconds: float = 0.0
    read_only: bool = False  # the index could not be written; it was searched as it was
    kept: int = 0           # logs gone from their places whose rows were kept (read from the archive)
    left_out: int = 0       # files the walk found that are no session logs, could not be read, or were
                            # forgotten (`forget`): not counted among the logs in scope


class Filters(NamedTuple):
    agent: Optional[str] = None
    role: Optional[str] = None
    project: Optional[str] = None
    since: Optional[str] = None     # UTC time stamp text, inclusive
    until: Optional[str] = None     # UTC time stamp text, exclusive
    context: bool = False           # include injected text and summaries

    @property
    def on_rows(self) -> bool:
        return bool(self.agent or self.role or self.project or self.since or self.until)


class FileRecord(NamedTuple):
    id: int
    path: str
    agent: str
    size: int
    mtime_ns: int
    inode: int
    nrows: int
    digest: int
    session_id: str
    cwd: str
    agent_id: str
    custom_title: str
    ai_title: str
    first_prompt: str
    first_ts: str
    last_ts: str
    roles: str
    gone_since: str = ""    # when its log was found gone from its place (its rows come from the archive)

    @property
    def title(self) -> str:
        return title_of(self.custom_title, self.ai_title, self.first_prompt)

    @property
    def archived(self) -> bool:
        """Whether the log is gone from its place and read from the archive."""
        return bool(self.gone_since)


def _record(row: tuple) -> FileRecord:
    return FileRecord(row[0], os.fsdecode(row[1]), *row[2:])


class Scope(NamedTuple):
    """Which indexed logs a search looks at: all of them, or those below `roots`
    (folders, every log below them; files, that log)."""

    roots: Sequence[str] = ()
    whole: bool = True


def _file_conditions(filters: Filters, scope: Optional[Scope]) -> Tuple[List[str], list]:
    """SQL conditions on `files f` for the agent, the project and the scope."""
    conditions: List[str] = []
    args: list = []
    if filters.agent:
        conditions.append("f.agent = ?")
        args.append(filters.agent)
    if filters.project:
        conditions.append("instr(lower(f.cwd), lower(?)) > 0")
        args.append(filters.project)
    if scope is not None and not scope.whole:
        parts = []
        for root in scope.roots:
            key = os.fsencode(root.rstrip(os.sep) or os.sep)
            parts.append("f.path = ? OR (f.path > ? AND f.path < ?)")
            prefix = key if key.endswith(b"/") else key + b"/"
            args += [key, prefix, prefix[:-1] + b"0"]
        conditions.append("(%s)" % " OR ".join(parts) if parts else "0")
    return conditions, args


def known(ix) -> List[bytes]:
    """Per shard, the path, size, modification time and inode of every log, as one
    blob of records `path NUL size mtime_ns inode NUL` (for the walk to compare)."""
    out = []
    with ix._guard():
        for db in ix.shards:
            blob = db.execute("SELECT CAST(group_concat(known, '') AS BLOB) FROM files").fetchone()[0]
            out.append(blob or b"")
    return out


def count_files(ix) -> int:
    with ix._guard():
        return sum(db.execute("SELECT count(*) FROM files WHERE gone_since = ''").fetchone()[0] for db in ix.shards)


def counts(ix) -> Tuple[int, int]:
    with ix._guard():
        files = rows = 0
        for db in ix.shards:
            f, r = db.execute("SELECT count(*), coalesce(sum(nrows), 0) FROM files").fetchone()
            files += f
            rows += r
        return files, rows


def records(ix, where: str = "", args: Sequence = (), order: str = "") -> List[FileRecord]:
    """The file records of every shard that meet an SQL condition on `files`."""
    sql = "SELECT %s FROM files%s%s" % (_FILE_COLUMNS, " WHERE " + where if where else "",
                                       " ORDER BY " + order if order else "")
    with ix._guard():
        return [_record(r) for db in ix.shards for r in db.execute(sql, args)]


def record_by_path(ix, paths: Sequence[str]) -> Dict[str, FileRecord]:
    out: Dict[str, FileRecord] = {}
    keys = [os.fsencode(p) for p in paths]
    for i in range(0, len(keys), 500):
        chunk = keys[i:i + 500]
        for r in records(ix, "path IN (%s)" % ",".join("?" * len(chunk)), chunk):
            out[r.path] = r
    return out

# -- updating --------------------------------------------------------------


def main_logs(ix, session_ids: Sequence[str]) -> Dict[str, FileRecord]:
    """The main log (not a sub-agent's) of each session id."""
    ids = sorted(set(session_ids))
    if not ids:
        return {}
    out: Dict[str, FileRecord] = {}
    for r in records(ix, "session_id IN (%s) AND agent_id = ''" % ",".join("?" * len(ids)), ids,
                          order="size"):
        out[r.session_id] = r    # the largest log of the session last
    return out


def find_sessions(ix, key: str) -> List[FileRecord]:
    """The logs that `key` names: a session id or a prefix of one (the session's
    logs, sub-agents' included), or "agent-" and a sub-agent's id (its log)."""
    pattern = key.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
    if key.startswith("agent-") and len(key) > 6:
        agent = key[6:].replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
        found = records(ix, "agent_id LIKE ? ESCAPE '\\'", (agent,))
        if found:
            return found
    return records(ix, "session_id LIKE ? ESCAPE '\\'", (pattern,), order="session_id")


def list_sessions(ix, filters: Filters, limit: int, scope: Optional[Scope] = None,
                  offset: int = 0) -> List[FileRecord]:
    """The main logs of sessions, newest first (by their last row's time)."""
    conditions, args = _file_conditions(filters, scope)
    conditions.append("agent_id = ''")
    if filters.since:
        conditions.append("last_ts >= ?")
        args.append(filters.since)
    if filters.until:
        conditions.append("first_ts < ? AND first_ts != ''")
        args.append(filters.until)
    sql = ("SELECT %s FROM files f WHERE %s ORDER BY last_ts DESC LIMIT ?"
           % (_FILE_COLUMNS, " AND ".join(conditions)))
    with ix._guard():
        found = [_record(r) for db in ix.shards for r in db.execute(sql, args + [limit + offset])]
    found.sort(key=lambda r: r.last_ts, reverse=True)
    return found[offset:offset + limit]


def stats(ix, scope: Optional[Scope] = None) -> List[tuple]:
    """Per agent: (agent, files, bytes, sessions, rows, roles dict, first, last)."""
    conditions, args = _file_conditions(Filters(), scope)
    where = " WHERE " + " AND ".join(conditions) if conditions else ""
    also = "".join(" AND " + c for c in conditions)
    per_agent: Dict[str, list] = {}
    sessions: Dict[str, set] = {}
    loose: Dict[str, int] = {}
    with ix._guard():
        for db in ix.shards:
            for agent, files, size, rows, first, last in db.execute(
                    "SELECT agent, count(*), sum(size), sum(nrows), min(nullif(first_ts, '')), max(last_ts) "
                    "FROM files f%s GROUP BY agent" % where, args):
                a = per_agent.setdefault(agent, [0, 0, 0, {}, "", ""])
                a[0] += files
                a[1] += size
                a[2] += rows
                if first and (not a[4] or first < a[4]):
                    a[4] = first
                if last and last > a[5]:
                    a[5] = last
            for agent, role, n in db.execute(
                    "SELECT agent, role, sum(n) FROM file_roles%s GROUP BY 1, 2"
                    % (" WHERE file_id IN (SELECT id FROM files f%s)" % where if where else ""), args):
                roles = per_agent[agent][3]
                roles[role] = roles.get(role, 0) + n
            # A session's logs may lie in several shards; a log without a
            # session id is a session of its own.
            for agent, session in db.execute(
                    "SELECT agent, session_id FROM files f WHERE session_id != ''%s GROUP BY session_id, agent"
                    % also, args):
                sessions.setdefault(agent, set()).add(session)
            for agent, n in db.execute(
                    "SELECT agent, count(*) FROM files f WHERE session_id = ''%s GROUP BY 1"
                    % also, args):
                loose[agent] = loose.get(agent, 0) + n
    return [(agent, a[0], a[1], len(sessions.get(agent, ())) + loose.get(agent, 0), a[2],
             dict(sorted(a[3].items(), key=lambda kv: -kv[1])), a[4], a[5])
            for agent, a in sorted(per_agent.items())]
