"""Searching the index: an FTS5 query over every shard, ranked by bm25 with what
was said weighing more than tool text, rows that hold the query's identifiers and
paths as typed first; a query that matches very many rows ranks the newest of them
that pass its filters; the matches become hits with the facts of their logs and
their sessions' titles."""

from __future__ import annotations

import contextlib
import heapq
import sqlite3
from typing import Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple

from ..sessions import SUBAGENT
from .records import FileRecord, Filters, Scope, _file_conditions, _record, main_logs
from .schema import _FILE_COLUMNS, RANK_SQL, ROW_BITS, ROW_MASK, SAID_AND_TOOLS


class Hit(NamedTuple):
    """One row that matched, with the facts of its log."""

    file: FileRecord
    row: int
    role: str
    kind: int
    flags: int
    timestamp: str
    tool: str
    text: str
    score: float
    title: str = ""         # the session's title (a sub-agent's: its session's)


class Matches(NamedTuple):
    hits: List[Hit]
    bounded: bool = False           # some shard matched more rows than were ranked
    ranked: Optional[int] = None    # how many of the newest matches were ranked
    more: bool = False              # more rows matched than were asked for


# An identifier or a path is found by its tokens (hello_world as "hello world"), so
# rows that only hold the tokens may rank first; this many of the best are looked at
# for the identifier itself.
LITERAL_CANDIDATES = 200

_QUERY_FAULTS = ("fts5", "syntax error", "unterminated string", "no such column", "unknown special query")


@contextlib.contextmanager
def _query_errors() -> Iterator[None]:
    """A full-text query that SQLite cannot run is the query's fault, not the index's."""
    try:
        yield
    except sqlite3.OperationalError as e:
        if any(fault in str(e) for fault in _QUERY_FAULTS):
            from ..query import QueryError
            raise QueryError("the query cannot be run: %s" % e) from None
        raise


def _where(fts_query: str, filters: Filters, scope: Optional[Scope]) -> Tuple[str, str, list]:
    """The joins, the WHERE clause and its parameters of a full-text query with its filters."""
    expression = fts_query if filters.context else "%s : (%s)" % (SAID_AND_TOOLS, fts_query)
    conditions: List[str] = []
    args: list = []
    if filters.role:
        conditions.append("r.role = ?")
        args.append(filters.role)
        if filters.role == "user":
            conditions.append("r.flags & %d = 0" % SUBAGENT)
    if filters.since:
        conditions.append("r.ts >= ?")
        args.append(filters.since)
    if filters.until:
        conditions.append("r.ts < ? AND r.ts != ''")
        args.append(filters.until)
    file_conditions, file_args = _file_conditions(filters, scope)
    joins = "JOIN rows r ON r.id = rows_fts.rowid " if conditions else ""
    if file_conditions:
        # The logs that pass are looked up once; each match then costs a lookup
        # in that set, not in the files table.
        conditions.insert(0, "rows_fts.rowid >> %d IN (SELECT id FROM files f WHERE %s)"
                          % (ROW_BITS, " AND ".join(file_conditions)))
        args[:0] = file_args
    return joins, " AND ".join(["rows_fts MATCH ?"] + conditions), [expression] + args


def count_sessions(ix, fts_query: str, filters: Filters, scope: Optional[Scope] = None) -> int:
    """How many sessions hold a row that matches, unranked (a sub-agent's log counts
    as its session)."""
    joins, where, params = _where(fts_query, filters, scope)
    sessions = set()
    with ix._guard(), _query_errors():
        for db in ix.shards:
            sql = ("SELECT session_id, path FROM files WHERE id IN "
                   "(SELECT rows_fts.rowid >> %d FROM rows_fts %sWHERE %s)" % (ROW_BITS, joins, where))
            sessions.update(session_id or path for session_id, path in db.execute(sql, params))
    return len(sessions)


def search(ix, fts_query: str, filters: Filters, limit: int, scope: Optional[Scope] = None,
           broad_limit: Optional[int] = None, literals: Sequence[str] = ()) -> "Matches":
    """The best `limit` hits of an FTS5 query (bm25, what was said weighing more),
    from every shard. A query with more than `broad_limit` rows that pass the
    filters ranks about the newest `broad_limit` of them, an equal share from
    each shard (`Matches.bounded` says so, `Matches.ranked` how many). Of the best
    LITERAL_CANDIDATES (or `limit`, if more), those whose text holds more of
    `literals` (ignoring case) come first, in the order of their ranks."""
    joins, where, params = _where(fts_query, filters, scope)
    share = -(-broad_limit // len(ix.shards)) if broad_limit else 0
    if share:
        # One pass over the matches, newest first, that stops after the newest
        # that pass the filters; they are ranked here. Row ids grow with time
        # and logs are dealt to the shards in turn, so the newest share of each
        # shard are about the newest of all.
        sql = ("SELECT %s, rows_fts.rowid FROM rows_fts %sWHERE %s ORDER BY rows_fts.rowid DESC LIMIT ?"
               % (RANK_SQL, joins, where))
        params.append(share + 1)
    else:
        sql = ("SELECT %s, rows_fts.rowid FROM rows_fts %sWHERE %s ORDER BY 1 LIMIT ?"
               % (RANK_SQL, joins, where))
        params.append(max(limit, LITERAL_CANDIDATES) + 1 if literals else limit + 1)
    top: List[Tuple[float, int, int]] = []    # (rank, shard, row id)
    bounded = False
    with ix._guard(), _query_errors():
        for shard, db in enumerate(ix.shards):
            found = db.execute(sql, params).fetchall()
            if share and len(found) > share:
                bounded = True
                del found[share:]
            top.extend((rank, shard, row_id) for rank, row_id in found)
        if literals:
            best = _literals_first(ix, heapq.nsmallest(max(limit, LITERAL_CANDIDATES) + 1, top), literals)
        else:
            best = heapq.nsmallest(limit + 1, top)
        hits = _hits(ix, best[:limit])
    return Matches(hits, bounded, len(top) if bounded else None, len(best) > limit)


def _literals_first(ix, best: List[Tuple[float, int, int]], literals: Sequence[str]) -> List[Tuple[float, int, int]]:
    """`best` (in rank order) with the rows that hold more of `literals` first.
    SQLite's lower() folds ASCII letters only, and identifiers and paths are
    mostly ASCII: the check runs in SQLite, without handing texts to Python. The
    text looked in is the one indexed (escape sequences out)."""
    holds = " + ".join(["(instr(lower(coalesce(ftext, text)), ?) > 0)"] * len(literals))
    wanted = [literal.lower() for literal in literals]
    by_shard: Dict[int, List[int]] = {}
    for _, shard, row_id in best:
        by_shard.setdefault(shard, []).append(row_id)
    held: Dict[Tuple[int, int], int] = {}
    for shard, ids in by_shard.items():
        sql = "SELECT id, %s FROM rows WHERE id IN (%s)" % (holds, ",".join("?" * len(ids)))
        for row_id, n in ix.shards[shard].execute(sql, wanted + ids):
            held[(shard, row_id)] = n
    return sorted(best, key=lambda b: -held.get((b[1], b[2]), 0))


def _hits(ix, best: Sequence[Tuple[float, int, int]]) -> List[Hit]:
    by_shard: Dict[int, List[int]] = {}
    for _, shard, row_id in best:
        by_shard.setdefault(shard, []).append(row_id)
    rows: Dict[Tuple[int, int], tuple] = {}
    files: Dict[int, FileRecord] = {}
    for shard, ids in by_shard.items():
        db = ix.shards[shard]
        marks = ",".join("?" * len(ids))
        for row in db.execute("SELECT id, role, kind, flags, ts, tool, text FROM rows WHERE id IN (%s)" % marks, ids):
            rows[(shard, row[0])] = row
        file_ids = sorted({i >> ROW_BITS for i in ids})
        for r in db.execute("SELECT %s FROM files WHERE id IN (%s)" % (_FILE_COLUMNS, ",".join("?" * len(file_ids))),
                            file_ids):
            files[r[0]] = _record(r)
    titles = _titles(ix, list(files.values()))
    hits = []
    for rank, shard, row_id in best:
        row = rows.get((shard, row_id))
        record = files.get(row_id >> ROW_BITS)
        if row is None or record is None:
            continue    # dropped by an update since the query ran
        hits.append(Hit(record, row_id & ROW_MASK, row[1], row[2], row[3], row[4], row[5], row[6], rank,
                        titles.get(record.id, record.title)))
    return hits


def _titles(ix, records: Sequence[FileRecord]) -> Dict[int, str]:
    """The title of each log's session: a sub-agent's log takes its session's."""
    out = {}
    parents = main_logs(ix, [r.session_id for r in records if r.agent_id and r.session_id])
    for r in records:
        main = parents.get(r.session_id) if r.agent_id else None
        out[r.id] = main.title if main is not None else r.title
    return out
