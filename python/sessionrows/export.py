"""Export: every row of every log, read straight from the logs (not from the index),
as JSON Lines or CSV, streamed batch by batch so that memory stays bounded.

Each record holds `path`, `agent` and the four row fields `role`, `text`,
`timestamp`, `source`, exactly as the module gives them (title and meta rows
included)."""

from __future__ import annotations

import csv
import json
from dataclasses import dataclass
from typing import Callable, Optional, TextIO

from .commands import Scope
from .reader import Warn, read_batches, resolve_agents

FORMATS = ("jsonl", "csv")
FIELDS = ("path", "agent", "role", "text", "timestamp", "source")


@dataclass
class ExportReport:
    files: int = 0
    rows: int = 0


def export_rows(scope: Scope, out: TextIO, fmt: str = "jsonl", *, include_tools: bool = False,
                warn: Warn = lambda p: None,
                progress: Optional[Callable[[int, int], None]] = None) -> ExportReport:
    """Writes the rows of the logs in scope to `out` (a text stream)."""
    if fmt not in FORMATS:
        raise ValueError("unknown export format %r (choose from %s)" % (fmt, ", ".join(FORMATS)))
    logs = resolve_agents(scope.logs, warn, scope.named)
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
            write((log.path, log.agent) + row for row in rows)
            report.files += 1
            report.rows += len(rows)
            done += log.size
        if progress:
            progress(done, total)
    return report

