"""Export: the rows of every session in scope as `show --json` gives them, in JSON
Lines, CSV or Parquet, streamed batch by batch so that memory stays bounded.

The logs in scope are the index's (commands.logs_in_scope): those in their places
and those gone from there whose archived copies the archive keeps, which are read
from those copies. Each log is read by the search reading (`_search.read`, on the
worker threads, the next batch read while this one is written), and each row is
written with the columns of `commands.row_json`: the log's path, agent, session id,
the session as `show` takes it, the row's place, role, kind, the sub-agent, whether
it is a sub-agent's conversation, the tool, the time stamp, the text, and whether
the log was read from the archive. A `RowFilter` keeps the rows of a role, of some
kinds, of a time range.

`export_raw` writes what the module itself gives instead (`_core`'s rows, or
`read_arrow`'s for Parquet), for the logs in their places, as earlier releases
exported them.

Every export file is its owner's only (0600) and appears whole or not at all: it is
written beside its target under a temporary name and renamed over it once complete;
a link at the target is refused, never written through."""

from __future__ import annotations

import contextlib
import csv
import itertools
import json
import os
import re
import secrets
import stat
from dataclasses import dataclass
from typing import IO, Callable, Dict, FrozenSet, Iterator, List, NamedTuple, Optional, Sequence, Tuple, cast

from .discovery import LogFile
from .reader import BATCH_FILES, Problem, Warn, read_batches, resolve_agents
from .sessions import KIND_NAMES, REWOUND, SUBAGENT

FORMATS = ("jsonl", "csv", "parquet")
# The columns of an export, as commands.row_json names them and in its order.
COLUMNS = ("path", "agent", "session_id", "session", "row", "role", "kind", "subagent", "sidechain", "rewound",
           "tool", "timestamp", "text", "archived")
_MARKS = SUBAGENT | REWOUND     # the flags a row is exported with, as two booleans


def _marks(lead: str, between: str, end: str) -> Dict[int, str]:
    """For each combination of the two flags: the sidechain and rewound fields, `lead`
    before the first, `between` the two and `end` after."""
    def word(on: int) -> str:
        return "true" if on else "false"
    return {f: lead + word(f & SUBAGENT) + between + word(f & REWOUND) + end for f in (0, SUBAGENT, REWOUND, _MARKS)}
# The columns of a raw export: the log's path and agent, and the module's row.
RAW_FIELDS = ("path", "agent", "role", "text", "timestamp", "source")
# CSV rows end as RFC 4180 has it, with CR LF: then a carriage return inside a text
# is quoted too (with a line feed alone as the end of a row, it is not, and breaks
# the row in two for any reader).
CSV_LINE_END = "\r\n"
# Logs read at a time (on the worker threads, the next batch while this one is written):
# enough to keep every processor busy, few enough that the rows of two batches held in
# Python are small (16 MB: as fast as 64 MB, 100 MB less at the peak).
BATCH_BYTES = 16 << 20
# Rows formatted at a time for a text export (a log of millions of rows is not held twice whole).
CHUNK_ROWS = 4096

Progress = Callable[[int, int], None]
Redact = Callable[[str], str]


class ExportError(Exception):
    """An export that cannot be made; the message is one line for a person."""


@dataclass
class ExportReport:
    files: int = 0          # logs read
    rows: int = 0           # rows written


class RowFilter(NamedTuple):
    """Which rows of a log are exported: those of `role` (for "user", what a person
    typed: not a prompt written for a sub-agent, as search has it), of the `kinds`
    (row kinds, sessions.TEXT...), with a time stamp from `since` (inclusive) to
    `until` (exclusive), UTC texts as when.parse_when gives them. Nothing set: every row."""

    role: Optional[str] = None
    since: Optional[str] = None
    until: Optional[str] = None
    kinds: Optional[FrozenSet[int]] = None

    @property
    def active(self) -> bool:
        return bool(self.role or self.since or self.until or self.kinds is not None)

    def passes(self, role: str, kind: int, flags: int, timestamp: str) -> bool:
        if self.role and (role != self.role or (self.role == "user" and flags & SUBAGENT)):
            return False
        if self.kinds is not None and kind not in self.kinds:
            return False
        if self.since and timestamp < self.since:
            return False
        return not self.until or ("" < timestamp < self.until)

    def rows(self, rows: Sequence[tuple]) -> Sequence[tuple]:
        """The rows (as the search reading gives them) that pass."""
        if not self.active:
            return rows
        passes = self.passes
        return [r for r in rows if passes(r[1], r[2], r[3], r[4])]


# -- the logs in scope --------------------------------------------------------------


class Source(NamedTuple):
    """A log to export, and its archived copy when it is gone from its place (an
    archive.Entry, read instead)."""

    log: LogFile
    archived: Optional[object] = None


def sources_of(records: Sequence, warn: Warn) -> List[Source]:
    """The logs of index records (index.FileRecord), those gone from their places
    with the archived copies to read; a gone log that the archive does not hold
    (archiving was turned off since) is passed to `warn` and left out."""
    from . import archive
    gone = [r.path for r in records if r.gone_since]
    held: Dict[str, archive.Entry] = {}
    if gone and archive.enabled():
        kept = archive.Archive()
        if kept.exists():
            try:
                with kept:
                    held = kept.current(gone)
            except archive.ArchiveProblem as e:
                raise ExportError(str(e)) from None
    out = []
    for r in records:
        log = LogFile(r.path, r.size, r.mtime_ns, r.inode, r.agent)
        if not r.gone_since:
            out.append(Source(log))
        elif r.path in held:
            entry = held[r.path]
            out.append(Source(log._replace(size=entry.size), entry))
        else:
            warn(Problem(r.path, "gone from its place, and the archive holds no copy of it"))
    return out


def _batches(sources: Sequence[Source], batch_bytes: int) -> List[List[Source]]:
    out: List[List[Source]] = []
    size = 0
    for s in sources:
        if not out or size + s.log.size > batch_bytes or len(out[-1]) >= BATCH_FILES:
            out.append([])
            size = 0
        out[-1].append(s)
        size += s.log.size
    return out


def read_sources(sources: Sequence[Source], warn: Warn,
                 batch_bytes: Optional[int] = None) -> Iterator[List[Tuple[Source, tuple, list]]]:
    """The search reading of the logs, batch by batch: lists of (source, facts, rows),
    rows (place, role, kind, flags, timestamp, tool, text, None) as `show` has them.
    A gone log is read from its archived copy, checked by its digest. A log that
    cannot be read is passed to `warn` and left out."""
    from . import _search
    from .reader import _prefetched, _with_agent_id

    def job(s: Source) -> tuple:
        entry = s.archived
        archiving = None if entry is None else ("member", os.fsencode(entry.member), entry.size)  # type: ignore
        return (cast(str, s.log.agent), os.fsencode(s.log.path), 0, 0, archiving)

    def read(batch: List[Source]) -> list:
        return _search.read([job(s) for s in batch])

    pending = _batches(sources, batch_bytes or BATCH_BYTES)
    for batch, results in zip(pending, _prefetched(pending, read)):
        out = []
        for s, result in zip(batch, results):
            problem = None
            if isinstance(result, str):
                problem = result
            elif s.archived is not None and result[2][1] != s.archived.digest:  # type: ignore
                problem = "its digest does not match"
            if problem is not None:
                if s.archived is not None:
                    from .archive import damaged
                    problem = damaged(s.archived, problem)  # type: ignore
                warn(Problem(s.log.path, problem))
                continue
            out.append((s, _with_agent_id(result[0], s.log.path), result[1]))
        del results
        yield out


class Meta(NamedTuple):
    """What every row of a log is exported with."""

    path: str
    agent: str
    session_id: str
    session: str            # what `show` takes: the session id, or "agent-" + the sub-agent's id
    subagent: str           # the sub-agent's id ("" for none)
    archived: bool


def meta_of(source: Source, facts: tuple) -> Meta:
    """The facts of a log as `commands.transcript` makes them (a log that does not
    name its session is known by the id in its file name)."""
    from .commands import _id_from_name
    session_id = facts[0] or _id_from_name(source.log.path)
    agent_id = facts[2]
    return Meta(source.log.path, cast(str, source.log.agent), session_id,
                "agent-" + agent_id if agent_id else session_id, agent_id, source.archived is not None)


# -- the formats --------------------------------------------------------------------


def _kind_name(kind: int) -> str:
    return KIND_NAMES.get(kind, str(kind))


class _Quoted(dict):
    """Values as `quote` makes them, each made once (roles, kinds, tool names repeat)."""

    def __init__(self, quote: Callable[[str], str], empty: Optional[str] = None):
        super().__init__()
        self.quote = quote
        if empty is not None:
            self[""] = empty

    def __missing__(self, text: str) -> str:
        value = self[text] = self.quote(text)
        return value


class _JsonLines:
    """One JSON object per row, per line, as `show --json` prints it (the same bytes)."""

    def __init__(self, out: IO[str]):
        self.out = out
        self.quote = json.encoder.encode_basestring      # type: ignore[attr-defined]
        self.roles = _Quoted(self.quote)
        self.tools = _Quoted(self.quote, "null")
        self.kinds = _Quoted(lambda kind: self.quote(_kind_name(kind)))  # type: ignore[arg-type]

    def write(self, meta: Meta, rows: Sequence[tuple]) -> None:
        q = self.quote
        head = ('{"path":%s,"agent":%s,"session_id":%s,"session":%s,"row":'
                % (q(meta.path), q(meta.agent), q(meta.session_id), q(meta.session)))
        mid = ',"subagent":%s,"sidechain":' % (q(meta.subagent) if meta.subagent else "null")
        side = _marks(mid, ',"rewound":', ',"tool":')
        tail = ',"archived":%s}\n' % ("true" if meta.archived else "false")
        roles, kinds, tools = self.roles, self.kinds, self.tools
        for at in range(0, len(rows), CHUNK_ROWS):
            parts: List[str] = []
            add = parts.extend
            for r in rows[at:at + CHUNK_ROWS]:
                add((head, str(r[0]), ',"role":', roles[r[1]], ',"kind":', kinds[r[2]], side[r[3] & _MARKS],
                     tools[r[5]], ',"timestamp":', q(r[4]), ',"text":', q(r[6]), tail))
            self.out.write("".join(parts))

    def close(self) -> None:
        pass


_CSV_SPECIAL = re.compile('[",\r\n]')


def csv_field(text: str) -> str:
    """A field of CSV as RFC 4180 has it: quoted when it holds a quote, a comma, a
    carriage return or a line feed, its quotes doubled. (The csv module does the
    same, a character at a time: a third as fast on long texts.)"""
    if _CSV_SPECIAL.search(text) is None:
        return text
    return '"%s"' % text.replace('"', '""')


class _Csv:
    """A header, then a record per row; null as an empty field, true and false as words."""

    def __init__(self, out: IO[str]):
        self.out = out
        self.out.write(",".join(COLUMNS) + CSV_LINE_END)
        self.fields = _Quoted(csv_field)
        self.kinds = _Quoted(lambda kind: csv_field(_kind_name(kind)))  # type: ignore[arg-type]

    def write(self, meta: Meta, rows: Sequence[tuple]) -> None:
        head = ",".join(map(csv_field, meta[:4])) + ","
        mid = "," + csv_field(meta.subagent) + ","
        side = _marks(mid, ",", ",")
        tail = ",%s%s" % ("true" if meta.archived else "false", CSV_LINE_END)
        fields, kinds = self.fields, self.kinds
        for at in range(0, len(rows), CHUNK_ROWS):
            parts: List[str] = []
            add = parts.extend
            for r in rows[at:at + CHUNK_ROWS]:
                add((head, str(r[0]), ",", fields[r[1]], ",", kinds[r[2]], side[r[3] & _MARKS], fields[r[5]], ",",
                     csv_field(r[4]), ",", csv_field(r[6]), tail))
            self.out.write("".join(parts))

    def close(self) -> None:
        pass


# Rows gathered before they go to the Parquet file as one record batch (a row group):
# up to this many, or until they hold this many characters of text. Larger row groups
# were no faster to write and cost more memory (90 MB more at 16 MiB characters).
PARQUET_BATCH_ROWS = 1 << 14
PARQUET_BATCH_CHARS = 4 << 20


class _Parquet:
    """Record batches of the rows of many logs, each written as a row group."""

    def __init__(self, out: IO[bytes]):
        import pyarrow as pa
        import pyarrow.parquet as pq
        self.pa = pa
        text = pa.string()
        self.schema = pa.schema([("path", text, False), ("agent", text, False), ("session_id", text, False),
                                 ("session", text, False), ("row", pa.int64(), False), ("role", text, False),
                                 ("kind", text, False), ("subagent", text), ("sidechain", pa.bool_(), False),
                                 ("rewound", pa.bool_(), False), ("tool", text), ("timestamp", text, False), ("text", text, False),
                                 ("archived", pa.bool_(), False)])
        self.writer = pq.ParquetWriter(out, self.schema)
        self.kinds = _Quoted(_kind_name)      # kind -> its name, made once
        self._clear()

    def _clear(self) -> None:
        self.metas: List[Meta] = []
        self.log_of: List[int] = []       # per row: its log's place in metas
        self.rows: List[tuple] = []
        self.chars = 0

    def write(self, meta: Meta, rows: Sequence[tuple]) -> None:
        start, n = 0, len(rows)
        while start < n:
            end, chars, room = start, self.chars, start + PARQUET_BATCH_ROWS - len(self.rows)
            while end < n and end < room and chars < PARQUET_BATCH_CHARS:
                chars += len(rows[end][6])
                end += 1
            self.log_of.extend(itertools.repeat(len(self.metas), end - start))
            self.metas.append(meta)
            self.rows.extend(rows[start:end])
            self.chars = chars
            if len(self.rows) >= PARQUET_BATCH_ROWS or chars >= PARQUET_BATCH_CHARS:
                self.flush()
            start = end

    def flush(self) -> None:
        if not self.rows:
            return
        pa = self.pa
        text = pa.string()
        logs = pa.array(self.log_of, pa.int32())
        per_log = [pa.array(column, text).take(logs) for column in list(zip(*self.metas))[:4]]
        subagent = pa.array([m.subagent or None for m in self.metas], text).take(logs)
        archived = pa.array([m.archived for m in self.metas], pa.bool_()).take(logs)
        place, role, kind, flags, timestamp, tool, texts = list(zip(*self.rows))[:7]
        columns = per_log + [pa.array(place, pa.int64()), pa.array(role, text),
                             pa.array(list(map(self.kinds.__getitem__, kind)), text), subagent,
                             pa.array([bool(f & SUBAGENT) for f in flags], pa.bool_()),
                             pa.array([bool(f & REWOUND) for f in flags], pa.bool_()),
                             pa.array([t or None for t in tool], text), pa.array(timestamp, text),
                             pa.array(texts, text), archived]
        self.writer.write_batch(pa.record_batch(columns, schema=self.schema))
        self._clear()

    def close(self) -> None:
        self.flush()
        self.writer.close()


def _writer(fmt: str, out: IO):
    if fmt == "jsonl":
        return _JsonLines(out)
    if fmt == "csv":
        return _Csv(out)
    if fmt == "parquet":
        return _Parquet(out)
    raise ValueError("unknown export format %r (choose from %s)" % (fmt, ", ".join(FORMATS)))


def needs_pyarrow() -> None:
    """Fails with a sentence for a person when pyarrow is missing."""
    try:
        import pyarrow  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise ExportError("--format parquet needs pyarrow: pip install 'sessionrows[arrow]'") from None


def export(sources: Sequence[Source], out: IO, fmt: str = "jsonl", *, select: RowFilter = RowFilter(),
           redact: Optional[Redact] = None, warn: Warn = lambda p: None,
           progress: Optional[Progress] = None, batch_bytes: Optional[int] = None) -> ExportReport:
    """Writes the rows of the logs (see sources_of) that pass `select` to `out`: a text
    stream for jsonl and csv, a binary one for parquet. `redact`, if given, is
    applied to each row's text."""
    if fmt == "parquet":
        needs_pyarrow()
    writer = _writer(fmt, out)
    report = ExportReport()
    total, done = sum(s.log.size for s in sources), 0
    for batch in read_sources(sources, warn, batch_bytes):
        for source, facts, found in batch:
            kept = select.rows(found)
            if redact is not None:
                kept = [r[:6] + (redact(r[6]),) for r in kept]
            writer.write(meta_of(source, facts), kept)
            report.files += 1
            report.rows += len(kept)
            done += source.log.size
        del batch
        if progress:
            progress(done, total)
    writer.close()
    return report


# -- files --------------------------------------------------------------------------


@contextlib.contextmanager
def output_file(path: str, binary: bool = False) -> Iterator[IO]:
    """A file to export into: readable by its owner only (0600, whatever the umask)
    and written whole or not at all, under a temporary name beside `path` that is
    renamed over it once complete (and removed if the export fails). A link at
    `path` is refused, never written through, as is anything but a regular file."""
    target = os.path.abspath(path)
    try:
        st: Optional[os.stat_result] = os.lstat(target)
    except FileNotFoundError:
        st = None
    except OSError as e:
        raise ExportError("cannot write %s: %s" % (path, e.strerror or e)) from None
    if st is not None:
        if stat.S_ISDIR(st.st_mode):
            raise ExportError("%s is a folder; give a file to write with -o FILE" % path)
        if stat.S_ISLNK(st.st_mode):
            raise ExportError("%s is a link; an export is never written through one: give another -o FILE" % path)
        if not stat.S_ISREG(st.st_mode):
            raise ExportError("%s is not a regular file; give a file to write with -o FILE (- for standard output)"
                              % path)
    folder, name = os.path.split(target)
    partial = os.path.join(folder, ".%s.%s.partial" % (name[:100], secrets.token_hex(6)))
    try:
        fd = os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | getattr(os, "O_NOFOLLOW", 0),
                     0o600)
    except OSError as e:
        raise ExportError("cannot write %s: %s" % (path, e.strerror or e)) from None
    try:
        os.fchmod(fd, 0o600)
        if binary:
            stream: IO = os.fdopen(fd, "wb", buffering=1 << 20)
        else:
            stream = os.fdopen(fd, "w", encoding="utf-8", errors="backslashreplace", newline="", buffering=1 << 20)
    except BaseException:
        os.close(fd)
        with contextlib.suppress(OSError):
            os.remove(partial)
        raise
    try:
        with stream:
            yield stream
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(partial, target)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(partial)


# -- the module's own rows ------------------------------------------------------------


def export_raw(logs: Sequence[LogFile], named: Sequence[str], out: IO, fmt: str = "jsonl", *,
               include_tools: bool = False, warn: Warn = lambda p: None, progress: Optional[Progress] = None,
               redact: Optional[Redact] = None) -> ExportReport:
    """Writes the rows the module gives for the logs in their places (as found by
    discovery; `named`, the paths given on the command line) to `out`: `_core`'s rows
    (extract_many) as JSON Lines or CSV, with `path` and `agent` added, or
    `read_arrow`'s record batches as Parquet (`out` a binary stream then). `redact`,
    if given, is applied to each row's text."""
    if fmt == "parquet":
        return _raw_parquet(logs, named, out, include_tools, warn, progress, redact)
    if fmt not in ("jsonl", "csv"):
        raise ValueError("unknown export format %r (choose from %s)" % (fmt, ", ".join(FORMATS)))
    logs = resolve_agents(logs, warn, named)
    report = ExportReport()
    total = sum(log.size for log in logs)
    done = 0
    if fmt == "csv":
        writer = csv.writer(out, lineterminator=CSV_LINE_END)
        writer.writerow(RAW_FIELDS)
        write = writer.writerows
    else:
        dumps = json.JSONEncoder(ensure_ascii=False, check_circular=False).encode

        def write(records):
            out.writelines('{"path":%s,"agent":%s,"role":%s,"text":%s,"timestamp":%s,"source":%s}\n'
                           % tuple(map(dumps, record)) for record in records)
    for batch in read_batches(logs, include_tools, warn):
        for log, found in batch:
            if redact is not None:
                found = [(role, redact(text), ts, source) for role, text, ts, source in found]
            write((log.path, log.agent) + row for row in found)
            report.files += 1
            report.rows += len(found)
            done += log.size
        if progress:
            progress(done, total)
    return report


def _raw_parquet(logs: Sequence[LogFile], named: Sequence[str], out: IO, include_tools: bool, warn: Warn,
                 progress: Optional[Progress], redact: Optional[Redact]) -> ExportReport:
    needs_pyarrow()
    import pyarrow as pa
    import pyarrow.parquet as pq

    from . import read_arrow

    logs = resolve_agents(logs, warn, named)
    schema = pa.schema([(name, pa.string(), False) for name in RAW_FIELDS])
    paths = pa.array([log.path for log in logs], pa.string())
    agents = pa.array([log.agent for log in logs], pa.string())
    ends = list(itertools.accumulate(log.size for log in logs))
    stream = read_arrow([(cast(str, log.agent), log.path) for log in logs], include_tools)
    report = ExportReport()
    with pq.ParquetWriter(out, schema) as writer:
        for batch in pa.RecordBatchReader.from_stream(stream):
            job = batch.column(0)
            columns = [batch.column(i) for i in range(1, 5)]
            if redact is not None:
                columns[1] = pa.array([redact(text) for text in columns[1].to_pylist()], pa.string())
            writer.write_batch(pa.record_batch([paths.take(job), agents.take(job)] + columns, schema=schema))
            report.rows += batch.num_rows
            if progress and batch.num_rows:
                progress(ends[job[batch.num_rows - 1].as_py()], ends[-1])
    for job, message in sorted(stream.failures.items()):
        warn(Problem(logs[job].path, message))
    report.files = len(logs) - len(stream.failures)
    return report
