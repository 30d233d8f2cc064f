"""The `sessionrows` command: parses arguments, calls the functions of `commands`
and `export`, and prints what they return.

Exit status, as grep and ripgrep use it: 0 when something was found, 1 when nothing
was, 2 on an error. Errors are one line on stderr."""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import re
import sys
from typing import Optional, Sequence, TextIO

from . import __version__, commands, export
from .discovery import AGENTS
from .index import MATCH_END, MATCH_START, Filters, IndexProblem
from .query import QueryError
from .reader import Problem
from .sessions import CONTEXT, SPECIAL, TWIN, resume_command, search_role
from .terminal import Printer, clean, marked, progress, wants_color

PROG = "sessionrows"
FOUND, NOTHING, ERROR = 0, 1, 2
KIND_NAMES = {0: "said", CONTEXT: "context", TWIN: "twin", SPECIAL: "special"}


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):
        self.exit(ERROR, "%s: error: %s (see: %s --help)\n" % (PROG, message, self.prog))


# -- arguments ---------------------------------------------------------------------

_RELATIVE = re.compile(r"^(\d+)\s*([hdwm])$")


def parse_when(text: str, end: bool = False) -> str:
    """A date or time as a person writes it (2026-03-01, 2026-03-01T14:00, 3d, 2w,
    12h, today, yesterday), in local time, as the UTC time stamp text that logs use.
    With `end`, a bare date or minute means its end (the bound is exclusive)."""
    now = dt.datetime.now().astimezone()
    value = text.strip().lower()
    unit_step = None
    m = _RELATIVE.match(value)
    if m:
        n, unit = int(m.group(1)), m.group(2)
        delta = {"h": dt.timedelta(hours=n), "d": dt.timedelta(days=n), "w": dt.timedelta(weeks=n),
                 "m": dt.timedelta(days=30 * n)}[unit]
        when = now - delta
    elif value in ("today", "yesterday"):
        when = now.replace(hour=0, minute=0, second=0, microsecond=0)
        if value == "yesterday":
            when -= dt.timedelta(days=1)
        unit_step = dt.timedelta(days=1)
    else:
        try:
            when = dt.datetime.fromisoformat(text.strip().replace("Z", "+00:00").replace(" ", "T", 1))
        except ValueError:
            raise argparse.ArgumentTypeError(
                "%r is not a date (try 2026-03-01, 2026-03-01T14:30, 3d, 2w or yesterday)" % text) from None
        if len(value) <= 10:
            unit_step = dt.timedelta(days=1)
        elif when.second == 0 and value.count(":") == 1:
            unit_step = dt.timedelta(minutes=1)
        else:
            unit_step = dt.timedelta(seconds=1) if when.microsecond == 0 else dt.timedelta(0)
        if when.tzinfo is None:
            when = when.astimezone()
    if end and unit_step:
        when += unit_step
    return when.astimezone(dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.") + \
        "%03dZ" % (when.microsecond // 1000)


def _number(least: int):
    """An argument type: a whole number of at least `least`."""
    def parse(text: str) -> int:
        try:
            n = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a number" % text) from None
        if n < least:
            raise argparse.ArgumentTypeError("must be at least %d" % least)
        return n
    return parse


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Search, read, export and count your Claude Code and Codex "
                     "session history.", epilog="Without PATHS, the logs are read from their default places: "
                     "$CLAUDE_CONFIG_DIR/projects (else ~/.claude/projects), $CODEX_HOME/sessions and "
                     "archived_sessions (else ~/.codex/...).")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    def common(p, paths=True, index=False):
        if paths:
            p.add_argument("paths", nargs="*", default=[], metavar="PATHS", help="session logs or folders of them")
        if index:
            p.add_argument("--index", metavar="FILE", help="the index file (default: "
                           "$XDG_CACHE_HOME/sessionrows/index.sqlite, else ~/.cache/sessionrows/...)")
        p.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                       help="colour and highlighting (default: auto, off when piped or NO_COLOR is set)")

    p = sub.add_parser("search", help="full-text search over every row",
                       description="Full-text search over your whole history. The index is brought up to "
                       "date first (only new and changed logs are read).")
    p.add_argument("query", metavar="QUERY", help='words, "exact phrases", identifiers, word* prefixes')
    common(p, index=True)
    p.add_argument("--agent", choices=AGENTS, help="only this agent's sessions")
    p.add_argument("--role", help="only rows of this role (user, assistant, tool, developer, ...)")
    p.add_argument("--project", metavar="TEXT", help="only sessions whose working directory contains TEXT")
    p.add_argument("--since", type=parse_when, metavar="DATE", help="only rows from DATE on (2026-03-01, 3d, ...)")
    p.add_argument("--until", type=lambda t: parse_when(t, end=True), metavar="DATE",
                   help="only rows up to and including DATE")
    p.add_argument("-n", "--limit", type=_number(1), default=20, metavar="N", help="at most N hits (default 20)")
    p.add_argument("--context", action="store_true",
                   help="also search the text the assistants inject around your words (instructions, "
                   "reminders, command wrappers)")
    p.add_argument("--fts", action="store_true", help="QUERY is raw SQLite FTS5 syntax")
    p.add_argument("--json", action="store_true", help="one JSON object per hit, per line")

    p = sub.add_parser("show", help="a session as a readable transcript",
                       description="A whole session as a readable transcript, in order.")
    p.add_argument("session", metavar="SESSION", help="a log's path, a session id, or a unique prefix of one")
    common(p, paths=False, index=True)
    p.add_argument("--around", type=_number(0), metavar="N", help="only the rows around row N (as search gives it)")
    p.add_argument("-C", "--context-rows", type=_number(0), default=3, metavar="ROWS", dest="context_rows",
                   help="with --around: rows shown before and after (default 3)")
    p.add_argument("--json", action="store_true", help="one JSON object per row, per line")

    p = sub.add_parser("export", help="every row of every log, as JSON Lines, CSV or Parquet",
                       description="Every row of every log, read straight from the logs.")
    common(p)
    p.add_argument("--include-tools", action="store_true", help="with tool calls and results")
    p.add_argument("--format", choices=("jsonl", "csv", "parquet"), default="jsonl",
                   help="(default jsonl; parquet needs pyarrow and -o)")
    p.add_argument("-o", "--output", metavar="FILE", help="write here instead of to standard output")

    p = sub.add_parser("stats", help="files, sessions and rows by agent and role",
                       description="Files, bytes, sessions and rows (with tool calls and results) by agent "
                       "and role, the date range, and how long reading them took.")
    common(p)
    p.add_argument("--json", action="store_true", help="one JSON object")

    p = sub.add_parser("index", help="bring the search index up to date",
                       description="Brings the search index up to date (search does this by itself).")
    common(p, index=True)
    p.add_argument("--rebuild", action="store_true", help="start the index afresh")
    return parser


# -- output helpers ----------------------------------------------------------------


class Session:
    """What one run prints to: stdout (colour decided once) and stderr."""

    def __init__(self, color_mode: str):
        self.out = Printer(sys.stdout, wants_color(sys.stdout, color_mode))
        self.err_color = wants_color(sys.stderr, color_mode)

    def warn(self, problem: Problem) -> None:
        sys.stderr.write("%s: warning: %s: %s\n" % (PROG, clean(problem.path, True), clean(problem.message, True)))

    def note(self, message: str) -> None:
        sys.stderr.write("%s: %s\n" % (PROG, message))

    def waiting(self) -> None:
        self.note("waiting for another sessionrows process to finish updating the index")

    def nothing_found(self, where: Sequence[str]) -> None:
        self.note("no session logs found (looked in %s)" % clean(", ".join(map(_home, where)), True))


def local_time(stamp: str) -> str:
    if not stamp:
        return ""
    try:
        when = dt.datetime.fromisoformat(stamp.replace("Z", "+00:00"))
    except ValueError:
        return stamp
    if when.tzinfo is None:
        return when.strftime("%Y-%m-%d %H:%M")
    return when.astimezone().strftime("%Y-%m-%d %H:%M")


def _home(path: str) -> str:
    home = os.path.expanduser("~")
    return "~" + path[len(home):] if home not in ("", "/") and (path == home or path.startswith(home + "/")) else path


def _json_line(obj) -> str:
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))


# -- commands ----------------------------------------------------------------------


def run_search(args, session: Session) -> int:
    filters = Filters(agent=args.agent, role=args.role, project=args.project, since=args.since,
                      until=args.until, context=args.context)
    scope = commands.find(args.paths, session.warn)
    if scope.empty:
        session.nothing_found(scope.where)
        return NOTHING
    with progress("indexing") as bar:
        result = commands.search(args.query, filters=filters, limit=args.limit, fts=args.fts, index_path=args.index,
                        warn=session.warn, progress=bar, scope=scope, on_wait=session.waiting)
    if not result.hits:
        if not args.json:
            n = len(result.report.scope)
            session.note("no match for %s in %d session log%s" % (clean(repr(args.query), True), n,
                                                                  "" if n == 1 else "s"))
        return NOTHING
    out = session.out
    for hit in result.hits:
        resume = resume_command(hit.agent, hit.session_id, hit.cwd)
        if args.json:
            sys.stdout.write(_json_line({
                "path": hit.path, "agent": hit.agent, "session_id": hit.session_id, "title": hit.title,
                "cwd": hit.cwd, "role": hit.role, "timestamp": hit.timestamp, "text": hit.text,
                "snippet": hit.snippet.replace(MATCH_START, "**").replace(MATCH_END, "**"), "row": hit.row,
                "context": hit.context, "score": round(hit.score, 4), "resume": resume}) + "\n")
            continue
        head = [(clean(hit.title or "(untitled)", True), "bold")]
        head.append(("  %s · %s · %s · row %d" % (hit.agent, local_time(hit.timestamp), clean(hit.role, True),
                                                  hit.row), "dim"))
        if hit.context:
            head.append(("  [injected]", "yellow"))
        out.line(*head)
        out.line("  ", *marked(hit.snippet, MATCH_START, MATCH_END, "bold red"))
        if resume:
            out.line(("  " + clean(resume, True), "cyan"))
        else:
            out.line(("  " + clean(_home(hit.path), True), "cyan"))
        out.line("")
    return FOUND


def _transcript_rows(transcript, around: Optional[int], context_rows: int):
    n = len(transcript.rows)
    if around is None:
        return range(n)
    if around >= n:
        raise IndexError("row %d is past the end of the session (%d rows)" % (around, n))
    return range(max(0, around - context_rows), min(n, around + context_rows + 1))


def run_show(args, session: Session) -> int:
    with progress("indexing") as bar:
        t = commands.load_session(args.session, index_path=args.index, warn=session.warn, progress=bar,
                                  on_wait=session.waiting)
    try:
        span = _transcript_rows(t, args.around, args.context_rows)
    except IndexError as e:
        raise _Failure(str(e)) from None
    if args.json:
        for i in span:
            role, text, ts, source = t.rows[i]
            sys.stdout.write(_json_line({"path": t.path, "agent": t.agent, "session_id": t.session_id, "row": i,
                                         "role": role, "timestamp": ts, "text": text, "source": source,
                                         "kind": KIND_NAMES[t.kinds[i]]}) + "\n")
        return FOUND
    out = session.out
    out.line((clean(t.title or "(untitled)", True), "bold"))
    out.line(("%s session %s" % (t.agent, clean(t.session_id or "(no id)", True)), "dim"),
             ("  " + clean(_home(t.cwd), True) if t.cwd else "", "dim"))
    resume = resume_command(t.agent, t.session_id, t.cwd)
    if resume:
        out.line(("resume: " + clean(resume, True), "cyan"))
    out.line(("log: " + clean(t.path, True), "dim"))
    role_style = {"user": "bold green", "assistant": "bold blue", "tool": "magenta"}
    for i in span:
        kind = t.kinds[i]
        if kind in (TWIN, SPECIAL) and i != args.around:
            continue
        role, text, ts, _ = t.rows[i]
        focus = args.around == i
        is_tool = text.startswith(("[tool_call", "[tool_result", "[tool_use"))
        out.line("")
        role = search_role(t.agent, role, text)
        out.line((">" if focus else " ", "bold yellow"), ("#%d " % i, "dim"),
                 (clean(role, True), "dim" if kind == CONTEXT else role_style.get(role, "bold")),
                 ("  " + local_time(ts), "dim"), ("  [injected]" if kind == CONTEXT else "", "yellow"))
        body = clean(text)
        lines = body.split("\n")
        if kind == CONTEXT and not focus and len(lines) > 1:
            lines = [lines[0], "… (%d more lines)" % (len(lines) - 1)]
        style = "dim" if kind == CONTEXT or is_tool else ""
        for line in lines:
            out.line(("    " + line, style))
    return FOUND


def run_export(args, session: Session) -> int:
    scope = commands.find(args.paths, session.warn)
    if scope.empty:
        session.nothing_found(scope.where)
    if args.format == "parquet":
        if not args.output:
            raise _Failure("--format parquet writes a file: give it with -o FILE")
        with progress("exporting") as bar:
            report = export.export_parquet(scope, args.output, include_tools=args.include_tools, warn=session.warn,
                                    progress=bar)
        return FOUND if report.rows else NOTHING
    stream: TextIO = sys.stdout
    if args.output:
        stream = open(args.output, "w", encoding="utf-8", errors="backslashreplace", newline="")
    try:
        with progress("exporting", enabled=bool(args.output) and sys.stderr.isatty()) as bar:
            report = export.export_rows(scope, stream, args.format, include_tools=args.include_tools,
                                 warn=session.warn, progress=bar)
    finally:
        if stream is not sys.stdout:
            stream.close()
    return FOUND if report.rows else NOTHING


def _size(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB", "TB"):
        if n < 1000 or unit == "TB":
            return ("%d %s" if unit == "B" else "%.1f %s") % (n, unit)
        n /= 1000
    return ""


def run_stats(args, session: Session) -> int:
    with progress("reading") as bar:
        s = commands.stats(args.paths, warn=session.warn, progress=bar)
    if args.json:
        sys.stdout.write(_json_line({
            "where": s.where, "seconds": round(s.seconds, 4), "unreadable": s.unreadable,
            "agents": {name: {"files": a.files, "bytes": a.bytes, "sessions": a.sessions, "rows": a.rows,
                              "roles": a.roles, "first": a.first, "last": a.last}
                       for name, a in s.agents.items()}}) + "\n")
        return FOUND if s.files else NOTHING
    if not s.files:
        session.nothing_found(s.where)
        return NOTHING
    out = session.out
    out.line(("Session logs in " + clean(", ".join(map(_home, s.where)), True), "bold"))
    out.line(("%-8s %8s %10s %9s %10s" % ("agent", "files", "size", "sessions", "rows"), "dim"))
    for name, a in s.agents.items():
        out.line("%-8s %8d %10s %9d %10d" % (name, a.files, _size(a.bytes), a.sessions, a.rows))
    for name, a in s.agents.items():
        if a.roles:
            out.line(("%s rows by role: " % name, "dim"),
                     ", ".join("%s %d" % (clean(role, True), n) for role, n in a.roles.items()))
    firsts = [a.first for a in s.agents.values() if a.first]
    lasts = [a.last for a in s.agents.values() if a.last]
    if firsts:
        out.line(("dates: ", "dim"), "%s to %s" % (local_time(min(firsts)), local_time(max(lasts))))
    total = sum(a.bytes for a in s.agents.values())
    out.line(("read in %.2f s (%s/s)" % (s.seconds, _size(total / s.seconds if s.seconds else 0)), "dim"))
    return FOUND


def run_index(args, session: Session) -> int:
    scope = commands.find(args.paths, session.warn)
    with progress("indexing") as bar:
        index, r = commands.update_index(scope, args.index, rebuild=args.rebuild, warn=session.warn, progress=bar,
                                         on_wait=session.waiting)
    with index:
        files, rows = index.counts()
    if scope.empty:
        session.nothing_found(scope.where)
    session.note("%d logs in scope: %d new, %d grown, %d changed, %d removed; %d rows added in %.2f s. "
                 "The index (%s) holds %d logs, %d rows." % (r.files, r.new, r.appended, r.changed, r.removed,
                                                             r.rows, r.seconds, clean(index.path, True),
                                                             files, rows))
    return FOUND


class _Failure(Exception):
    pass


COMMANDS = {"search": run_search, "show": run_show, "export": run_export, "stats": run_stats, "index": run_index}


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    reconfigure = getattr(sys.stdout, "reconfigure", None)
    if reconfigure is not None:
        reconfigure(errors="backslashreplace")   # a file name that is not UTF-8 is printed escaped
    session = Session(args.color)
    try:
        return COMMANDS[args.command](args, session)
    except (commands.CommandError, export.ExportError, IndexProblem, QueryError, _Failure) as e:
        sys.stderr.write("%s: error: %s\n" % (PROG, clean(str(e), True)))
    except KeyboardInterrupt:
        sys.stderr.write("%s: interrupted\n" % PROG)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except OSError:
            pass
        return FOUND
    except OSError as e:
        sys.stderr.write("%s: error: %s\n" % (PROG, clean(str(e), True)))
    return ERROR


def entry() -> None:
    sys.exit(main())

