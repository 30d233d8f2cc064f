"""Transcript pages: rendering a session of 1,000 rows as HTML and Markdown, exporting
a whole history to HTML pages (MB of logs per second, in the process and in worker
processes), and where the time of a page goes.

    python bench/transcripts.py --report bench/out/transcripts.md     # about 10 minutes
    python bench/transcripts.py --quick                               # the real logs only

The history is the command benchmark's HOME of replicated logs (bench/cli.py lays it
out: 6,062 logs, 2.1 GB), or with --quick, or when it is missing and cannot be made,
the real logs of ../shared/corpus. MB means 10**6 bytes; figures are medians.
"""

import argparse
import io
import os
import pathlib
import resource
import shutil
import statistics
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from sessionrows import commands  # noqa: E402
from sessionrows.commands import Transcript  # noqa: E402
from sessionrows.discovery import find_logs  # noqa: E402
from sessionrows.reader import resolve_agents  # noqa: E402
from sessionrows.transcripts import html as html_page  # noqa: E402
from sessionrows.transcripts import markdown as md_page  # noqa: E402
from sessionrows.transcripts.export import export_folder  # noqa: E402
from sessionrows.transcripts.model import build_page  # noqa: E402

HOME = pathlib.Path("/tmp/sessionrows-bench/cli-full/home")
T0 = time.perf_counter()


def log(msg):
    print("[%6.1fs] %s" % (time.perf_counter() - T0, msg), file=sys.stderr, flush=True)


def corpus():
    env = os.environ.get("SESSIONROWS_CORPUS")
    for root in ([pathlib.Path(env)] if env else []) + [HERE.parent.parent / "shared" / "corpus"]:
        if root.is_dir():
            return root
    return None


def history(quick):
    """The folder of logs to export, and what it is."""
    if not quick and not (HOME / ".done").exists():
        try:
            import cli as cli_bench
            import datagen
            data_dir = pathlib.Path("/tmp/sessionrows-bench/%s-full" % ("corpus" if datagen.corpus_dir() else
                                                                         "synthetic"))
            datagen.ensure(data_dir, quick=False, log=log)
            cli_bench.layout(data_dir, HOME)
        except Exception as e:      # no corpus and no generator: fall back to the real logs
            log("could not lay out the replicated logs (%s)" % e)
    if not quick and (HOME / ".done").exists():
        return [str(HOME / ".claude" / "projects"), str(HOME / ".codex" / "sessions")], "replicated logs"
    root = corpus() or HERE.parent / "examples" / "sessions"
    return [str(root)], "real logs (%s)" % root


def thousand_rows(paths):
    """A session of 1,000 real rows: the rows of the logs in order, from log to log."""
    rows, first = [], None
    for lf in resolve_agents(find_logs(paths), lambda p: None):
        t = commands.transcript(lf)
        first = first or t
        rows.extend(t.rows)
        if len(rows) >= 1000:
            break
    rows = [r.__class__(i, *(getattr(r, f) for f in ("role", "kind", "flags", "timestamp", "tool", "text")))
            for i, r in enumerate(rows[:1000])]
    return Transcript(first.path, first.agent, first.session_id, "", first.title, first.cwd, rows[0].timestamp,
                      rows[-1].timestamp, rows, first.resume)


def time_render(t, repeat):
    out = {}
    for name, module in (("html", html_page), ("markdown", md_page)):
        started = time.perf_counter()
        module.write_page(build_page(t, subagents=[]), io.StringIO())
        cold = time.perf_counter() - started
        warm = []
        for _ in range(repeat):
            started = time.perf_counter()
            module.write_page(build_page(t, subagents=[]), io.StringIO())
            warm.append(time.perf_counter() - started)
        out[name] = (cold, statistics.median(warm), min(warm), max(warm))
    return out


def where_time_goes(paths, limit_bytes):
    """Each part of writing HTML pages alone, on the first `limit_bytes` of logs."""
    logs, size = [], 0
    for lf in resolve_agents(find_logs(paths), lambda p: None):
        if size > limit_bytes:
            break
        logs.append(lf)
        size += lf.size
    parts = {"read the logs": 0.0, "build the pages (model, tool views)": 0.0}
    started = time.perf_counter()
    ts = [commands.transcript(lf) for lf in logs]
    parts["read the logs"] = time.perf_counter() - started
    started = time.perf_counter()
    pages = [build_page(t, subagents=[]) for t in ts]
    parts["build the pages (model, tool views)"] = time.perf_counter() - started
    spent = {"markdown-it-py (messages, fenced code inside them excluded)": 0.0, "Pygments": 0.0}
    real_message, real_highlight = html_page.message_html, html_page.highlighted

    def message(text):
        before = spent["Pygments"]
        t = time.perf_counter()
        try:
            return real_message(text)
        finally:
            spent["markdown-it-py (messages, fenced code inside them excluded)"] += \
                time.perf_counter() - t - (spent["Pygments"] - before)

    def highlight(code, lexer):
        t = time.perf_counter()
        try:
            return real_highlight(code, lexer)
        finally:
            spent["Pygments"] += time.perf_counter() - t

    html_page.message_html, html_page.highlighted = message, highlight
    try:
        started = time.perf_counter()
        for page in pages:
            html_page.write_page(page, io.StringIO())
        whole = time.perf_counter() - started
    finally:
        html_page.message_html, html_page.highlighted = real_message, real_highlight
    parts.update(spent)
    parts["the rest of the HTML (escaping, layout, tool results)"] = whole - sum(spent.values())
    return size, parts


def export(paths, workers):
    logs = find_logs(paths)
    total = sum(lf.size for lf in logs)
    folder = tempfile.mkdtemp(prefix="sessionrows-pages-")
    try:
        cpu_before = cpu_seconds()
        started = time.perf_counter()
        report = export_folder(logs, [], os.path.join(folder, "out"), "html", workers=workers)
        elapsed = time.perf_counter() - started
        cpu = cpu_seconds() - cpu_before
        out_bytes = sum(f.stat().st_size for f in pathlib.Path(folder, "out").iterdir())
    finally:
        shutil.rmtree(folder)
    return total, len(logs), len(report.pages), elapsed, out_bytes, cpu


def cpu_seconds():
    """Processor time of this process and of its finished worker processes."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def peak_mb(who):
    return resource.getrusage(who).ru_maxrss / 1024


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeat", type=int, default=9, help="renders of the 1,000-row session (default 9)")
    ap.add_argument("--exports", type=int, default=1, help="exports of the history per layout (default 1)")
    ap.add_argument("--report", metavar="PATH")
    a = ap.parse_args(argv)
    paths, what = history(a.quick)
    lines = ["# Transcript pages", "", "History: %s." % what, ""]

    t = thousand_rows(paths)
    log("1,000-row session: %d bytes of row text" % sum(len(r.text) for r in t.rows))
    lines += ["## A session of 1,000 rows (%.1f MB of row text), in the process" % (
        sum(len(r.text.encode()) for r in t.rows) / 1e6), "",
        "| format | first (imports, lexers) | median of %d | min-max | target |" % a.repeat, "|---|---|---|---|---|"]
    for name, (cold, med, lo, hi) in time_render(t, a.repeat).items():
        lines.append("| %s | %.3f s | %.3f s | %.3f-%.3f s | at most 0.5 s |" % (name, cold, med, lo, hi))
        log("%s: first %.3f s, median %.3f s" % (name, cold, med))

    size, parts = where_time_goes(paths, 60e6 if not a.quick else 1e9)
    total_time = sum(parts.values())
    lines += ["", "## Where the time of HTML pages goes (%.0f MB of logs, one process)" % (size / 1e6), "",
              "| part | seconds | share | MB of logs/s for this part alone |", "|---|---|---|---|"]
    for name, seconds in parts.items():
        lines.append("| %s | %.2f | %.0f%% | %.0f |" % (name, seconds, 100 * seconds / total_time,
                                                      size / 1e6 / seconds if seconds else 0))
    lines.append("| all | %.2f | 100%% | %.1f |" % (total_time, size / 1e6 / total_time))
    log("parts: %s" % {k: round(v, 2) for k, v in parts.items()})

    lines += ["", "## Export to HTML (a page per session and the index)", "",
              "| layout | logs | pages | MB of logs | seconds | MB of logs/s | processor seconds | MB of logs per "
              "processor second | output MB | target |",
              "|---|---|---|---|---|---|---|---|---|---|"]
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    runs = {}
    for _ in range(a.exports):
        for workers in ([1, cpus] if cpus > 1 else [1]):
            total, nlogs, npages, elapsed, out_bytes, cpu = export(paths, workers)
            runs.setdefault(workers, []).append((elapsed, total, nlogs, npages, out_bytes, cpu))
            log("export, %d process%s: %.1f MB/s" % (workers, "" if workers == 1 else "es", total / 1e6 / elapsed))
    for workers, results in runs.items():
        elapsed = statistics.median(r[0] for r in results)
        cpu = statistics.median(r[5] for r in results)
        total, nlogs, npages, out_bytes = results[0][1:5]
        lines.append("| %s | %d | %d | %.0f | %.1f | %.1f | %.1f | %.1f | %.0f | at least 50 |" % (
            "in the process" if workers == 1 else "%d worker processes" % workers, nlogs, npages, total / 1e6,
            elapsed, total / 1e6 / elapsed, cpu, total / 1e6 / cpu, out_bytes / 1e6))
    lines += ["", "Load average while it ran (other work on the machine shares its %d processors): %s." % (
        cpus, " ".join("%.1f" % x for x in os.getloadavg()))]
    lines += ["", "Peak resident size: this process %.0f MB, a worker process %.0f MB." % (
        peak_mb(resource.RUSAGE_SELF), peak_mb(resource.RUSAGE_CHILDREN))]
    text = "\n".join(lines) + "\n"
    print(text)
    if a.report:
        pathlib.Path(a.report).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(a.report).write_text(text)


if __name__ == "__main__":
    main()
