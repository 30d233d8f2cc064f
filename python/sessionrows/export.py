"""Export: every row of every log, read straight from the logs (not from the index),
as JSON Lines, CSV or Parquet, streamed batch by batch so that memory stays bounded.

Each record holds `path`, `agent` and the four row fields `role`, `text`,
`timestamp`, `source`, exactly as the module gives them (title and meta rows
included). Parquet files are written from `read_arrow`'s record batches."""

from __future__ import annotations

import contextlib
import csv
import itertools
import json
import os
import secrets
from dataclasses import dataclass
from typing import Callable, Iterator, Optional, Sequence, TextIO, cast

from .discovery import LogFile
from .reader import Problem, Warn, read_batches, resolve_agents

FORMATS = ("jsonl", "csv")
FIELDS = ("path", "agent", "role", "text", "timestamp", "source")


class ExportError(Exception):
    """An export that cannot be made; the message is one line for a person."""


@dataclass
class ExportReport:
    files: int = 0
    rows: int = 0


@contextlib.contextmanager
def output_file(path: str) -> Iterator[TextIO]:
    """A text file to export into (made with the permissions any new file of the
    user's gets)."""
    if os.path.isdir(path):
        raise ExportError("%s is a folder; give a file to write with -o FILE" % path)
    try:
        stream = open(path, "w", encoding="utf-8", errors="backslashreplace", newline="")
    except OSError as e:
        raise ExportError("cannot write %s: %s" % (path, e.strerror or e)) from None
    with stream:
        yield stream


def export_rows(logs: Sequence[LogFile], named: Sequence[str], out: TextIO, fmt: str = "jsonl", *,
                include_tools: bool = False, warn: Warn = lambda p: None,
                progress: Optional[Callable[[int, int], None]] = None,
                redact: Optional[Callable[[str], str]] = None) -> ExportReport:
    """Writes the rows of the logs (as found by discovery; `named`, the paths given
    on the command line) to `out` (a text stream); `redact`, if given, is applied
    to each row's text."""
    if fmt not in FORMATS:
        raise ValueError("unknown export format %r (choose from %s)" % (fmt, ", ".join(FORMATS)))
    logs = resolve_agents(logs, warn, named)
    report = ExportReport()
    total = sum(log.size for log in logs)
    done = 0
    if fmt == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(FIELDS)
        write = writer.writerows
    else:
        dumps = json.JSONEncoder(ensure_ascii=False, check_circular=False).encode

        def write(records):
            out.writelines('{"path":%s,"agent":%s,"role":%s,"text":%s,"timestamp":%s,"source":%s}\n'
                           % tuple(map(dumps, record)) for record in records)
    for batch in read_batches(logs, include_tools, warn):
        for log, rows in batch:
            if redact is not None:
                rows = [(role, redact(text), ts, source) for role, text, ts, source in rows]
            write((log.path, log.agent) + row for row in rows)
            report.files += 1
            report.rows += len(rows)
            done += log.size
        if progress:
            progress(done, total)
    return report



def export_parquet(logs: Sequence[LogFile], named: Sequence[str], path: str, *, include_tools: bool = False,
                   warn: Warn = lambda p: None, progress: Optional[Callable[[int, int], None]] = None,
                   redact: Optional[Callable[[str], str]] = None) -> ExportReport:
    """Writes the rows of the logs in scope to a Parquet file at `path`, record batch
    by record batch as `read_arrow` gives them, with `path` and `agent` added. The
    file appears whole or not at all (it is written beside and renamed)."""
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        raise ExportError("--format parquet needs pyarrow: pip install 'sessionrows[arrow]'") from None
    from . import read_arrow

    if os.path.isdir(path):
        raise ExportError("%s is a folder; give a file to write with -o FILE" % path)
    logs = resolve_agents(logs, warn, named)
    schema = pa.schema([(name, pa.string(), False) for name in FIELDS])
    paths = pa.array([log.path for log in logs], pa.string())
    agents = pa.array([log.agent for log in logs], pa.string())
    ends = list(itertools.accumulate(log.size for log in logs))
    stream = read_arrow([(cast(str, log.agent), log.path) for log in logs], include_tools)
    report = ExportReport()
    folder = os.path.dirname(os.path.abspath(path))
    # Beside the target, with the permissions any new file of the user's gets (umask).
    partial = os.path.join(folder, ".%s.%s.partial" % (os.path.basename(path), secrets.token_hex(6)))
    os.close(os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666))
    try:
        with pq.ParquetWriter(partial, schema) as writer:
            for batch in pa.RecordBatchReader.from_stream(stream):
                job = batch.column(0)
                columns = [batch.column(i) for i in range(1, 5)]
                if redact is not None:
                    columns[1] = pa.array([redact(text) for text in columns[1].to_pylist()], pa.string())
                writer.write_batch(pa.record_batch([paths.take(job), agents.take(job)] + columns, schema=schema))
                report.rows += batch.num_rows
                if progress and batch.num_rows:
                    progress(ends[job[batch.num_rows - 1].as_py()], ends[-1])
        os.replace(partial, path)
    finally:
        if os.path.exists(partial):
            os.remove(partial)
    for job, message in sorted(stream.failures.items()):
        warn(Problem(logs[job].path, message))
    report.files = len(logs) - len(stream.failures)
    return report
