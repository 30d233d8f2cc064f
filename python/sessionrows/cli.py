"""The `sessionrows` command: parses arguments, calls the functions of `commands` and
`export`, and prints what they return.

Exit status, as grep and ripgrep use it: 0 when something was found, 1 when nothing
was, 2 on an error. Errors are one line on stderr."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
from typing import List, Optional, Sequence, TextIO

from . import __version__
from .agents import NAMES, labels, places_text
from .sessions import INJECTED, KIND_NAMES, ROLES, TITLE
from .terminal import (Printer, clean, counted, home_relative, pager, progress, size_text, terminal_width,
                       wants_color)
from .when import WHEN_HELP, WhenError, local_time, parse_when

PROG = "sessionrows"
FOUND, NOTHING, ERROR = 0, 1, 2
MOST_HITS = 10_000
MOST_SESSIONS = 100_000
KINDS = {name: kind for kind, name in KIND_NAMES.items() if kind != TITLE}


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):
        self.exit(ERROR, "%s: error: %s (see: %s --help)\n" % (PROG, message, self.prog))


class _Failure(Exception):
    pass


# -- arguments ---------------------------------------------------------------------

def _when(end: bool = False):
    """An argument type: a date or time in the date language of `when`."""
    def parse(text: str) -> str:
        try:
            return parse_when(text, end=end)
        except WhenError as e:
            raise argparse.ArgumentTypeError(str(e)) from None
    return parse


def _number(least: int, most: int = 10 ** 9):
    """An argument type: a whole number from `least` to `most`."""
    def parse(text: str) -> int:
        try:
            n = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a whole number" % text) from None
        if n < least:
            raise argparse.ArgumentTypeError("must be at least %d" % least)
        if n > most:
            raise argparse.ArgumentTypeError("must be at most %d" % most)
        return n
    return parse


def _kinds(text: str) -> List[int]:
    """An argument type: row kinds by name, comma-separated."""
    out = []
    for name in text.split(","):
        name = name.strip().lower().replace("-", "_")
        if name not in KINDS:
            raise argparse.ArgumentTypeError("%r is not a kind of row (choose from %s)" % (name, ", ".join(KINDS)))
        out.append(KINDS[name])
    return out


def _role(text: str) -> str:
    role = text.strip().lower()
    if role not in ROLES:
        raise argparse.ArgumentTypeError("%r is not a role (choose from %s)" % (text, ", ".join(ROLES)))
    return role


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Search, read, export and count your session history of %s. "
                     "Without a command, on a terminal: the interface to search as you type (sessionrows tui)."
                     % labels(), epilog="Without PATHS, the logs are read from their default places: %s."
                     % places_text())
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    def common(p, paths=True, index=False):
        if paths:
            p.add_argument("paths", nargs="*", default=[], metavar="PATHS", help="session logs or folders of them")
        if index:
            p.add_argument("--index", metavar="FILE", help="the index file (default: "
                           "$XDG_CACHE_HOME/sessionrows/index.sqlite, else ~/.cache/sessionrows/...)")
        p.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                       help="colour and highlighting (default: auto, off when piped or NO_COLOR is set)")

    def redact(p):
        p.add_argument("--redact", action="store_true", help="replace secrets (keys, tokens, passwords, private "
                       "keys) in the texts by [redacted: KIND]")
    def pages(p, target, output_help):
        p.add_argument("--format", choices=("text", "markdown", "html"), default="text",
                       help="text for the terminal (default), or a page: Markdown, or HTML in one file")
        p.add_argument("-o", "--output", metavar=target, help=output_help)
        p.add_argument("--context", action="store_true", help="markdown, html: include injected text, collapsed")

    def when(p):
        p.add_argument("--since", type=_when(), metavar="DATE",
                       help="only from DATE on: %s (local time)" % WHEN_HELP)
        p.add_argument("--until", type=_when(end=True), metavar="DATE",
                       help="only up to and including DATE")

    p = sub.add_parser("search", help="full-text search over every row",
                       description="Full-text search over your whole history, tool calls and results included. "
                       "The index is brought up to date first (only new and changed logs are read).")
    p.add_argument("query", metavar="QUERY", help='words, "exact phrases", identifiers, word* prefixes')
    common(p, index=True)
    p.add_argument("--agent", choices=NAMES, help="only this agent's sessions")
    p.add_argument("--role", type=_role, metavar="ROLE", help="only rows of this role: %s" % ", ".join(ROLES))
    p.add_argument("--project", metavar="TEXT", help="only sessions whose working directory contains TEXT")
    when(p)
    p.add_argument("-n", "--limit", type=_number(1, MOST_HITS), default=20, metavar="N",
                   help="at most N hits (default 20)")
    p.add_argument("--offset", type=_number(0, MOST_HITS), default=0, metavar="N",
                   help="leave out the best N hits: the next page (default 0)")
    p.add_argument("--context", action="store_true",
                   help="also search the text the assistants inject around your words (instructions, "
                   "reminders, command wrappers) and compact summaries")
    p.add_argument("--fts", action="store_true", help="QUERY is raw SQLite FTS5 syntax")
    p.add_argument("--json", action="store_true", help="one JSON object per hit, per line")
    redact(p)

    p = sub.add_parser("sessions", help="your sessions, newest first, with the commands that resume them",
                       description="Your sessions, newest first: title, agent, project, time of the last activity, "
                       "rows and the command that resumes each. From the index (brought up to date first).")
    common(p, index=True)
    p.add_argument("--agent", choices=NAMES, help="only this agent's sessions")
    p.add_argument("--project", metavar="TEXT", help="only sessions whose working directory contains TEXT")
    when(p)
    p.add_argument("-n", "--limit", type=_number(1, MOST_SESSIONS), default=20, metavar="N",
                   help="at most N sessions (default 20)")
    p.add_argument("--offset", type=_number(0), default=0, metavar="N",
                   help="leave out the newest N sessions: the next page (default 0)")
    p.add_argument("--json", action="store_true", help="one JSON object per session, per line")

    p = sub.add_parser("show", help="a session as a readable transcript",
                       description="A whole session as a readable transcript, in order.")
    p.add_argument("session", metavar="SESSION", help="a log's path, a session id or a unique prefix of one, "
                   "or agent-ID for a sub-agent's log")
    common(p, paths=False, index=True)
    p.add_argument("--around", type=_number(0), metavar="N", help="only the rows around row N (as search gives it)")
    p.add_argument("-C", "--context-rows", type=_number(0), default=3, metavar="ROWS", dest="context_rows",
                   help="with --around: rows shown before and after (default 3)")
    p.add_argument("--json", action="store_true", help="one JSON object per row, per line")
    redact(p)
    pages(p, "FILE", "write the page here instead of to standard output")

    p = sub.add_parser("export", help="the rows of every session (jsonl, csv, parquet), or a page per session "
                       "(markdown, html)",
                       description="The rows of every session in scope as show --json gives them, every row "
                       "unless filters pick some, or a page per session (--format markdown, html). The index is "
                       "brought up to date first; logs gone from their places are read from the archive.")
    common(p, index=True)
    p.add_argument("--format", choices=("jsonl", "csv", "parquet", "markdown", "html"), default="jsonl",
                   help="(default jsonl; parquet needs pyarrow and -o; markdown and html write a page per "
                   "session and an index page into -o FOLDER)")
    p.add_argument("-o", "--output", metavar="FILE", help="write here instead of to standard output (- for it); "
                   "markdown, html: the folder to write into")
    p.add_argument("--agent", choices=NAMES, help="only this agent's sessions")
    p.add_argument("--role", type=_role, metavar="ROLE", help="only rows of this role: %s (user: what the "
                   "person typed, not prompts written for sub-agents)" % ", ".join(ROLES))
    p.add_argument("--project", metavar="TEXT", help="only sessions whose working directory contains TEXT")
    when(p)
    p.add_argument("--kind", type=_kinds, action="extend", metavar="KINDS",
                   help="only rows of these kinds, comma-separated: %s" % ", ".join(KINDS))
    p.add_argument("--context", action="store_true", help="markdown, html: include injected text, collapsed "
                   "(the other formats always hold it; --kind picks kinds)")
    redact(p)
    p.add_argument("--raw", action="store_true", help="the module's own rows instead (extract_many; read_arrow "
                   "for parquet), of the logs in their places, as earlier releases exported them")
    p.add_argument("--include-tools", action="store_true", help="with --raw: with tool calls and results (the "
                   "other rows always hold them)")

    p = sub.add_parser("stats", help="logs, sessions and rows by agent and role",
                       description="Logs, bytes, sessions and rows by agent and role, and the date range, from the "
                       "index (brought up to date first).")
    common(p, index=True)
    p.add_argument("--fresh", action="store_true", help="read the logs themselves instead of the index")
    p.add_argument("--json", action="store_true", help="one JSON object")

    p = sub.add_parser("index", help="bring the search index up to date",
                       description="Brings the search index up to date (search does this by itself).")
    common(p, index=True)
    p.add_argument("--rebuild", action="store_true", help="start the index afresh")
    p.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors (what the assistants' "
                   "hooks run)")

    p = sub.add_parser("restore", help="put a session's logs back where the assistant keeps them, from the archive",
                       description="Writes a session's logs (its sub-agents' included) back where they were, byte "
                       "for byte as the archive holds them, and prints the command that resumes the session. A "
                       "file that is there already is never overwritten.")
    p.add_argument("session", metavar="SESSION", help="a session id or a unique prefix of one")
    p.add_argument("--to", metavar="PATH", help="write the session's log here instead (its sub-agents' logs stay)")
    p.add_argument("--index", metavar="FILE", help="the index file (default: as search)")

    p = sub.add_parser("forget", help="remove sessions from the archive and the index for good",
                       description="Removes sessions (their sub-agents' included) from the archive and the index "
                       "for good: a way to delete a conversation that held a secret. Asks first on a terminal. A log "
                       "still in its place is left there, and not read again.")
    p.add_argument("sessions", nargs="*", metavar="SESSION", help="session ids or unique prefixes of them")
    p.add_argument("--before", type=_when(), metavar="DATE", help="every session whose last activity is before "
                   "DATE: %s (local time)" % WHEN_HELP)
    p.add_argument("-y", "--yes", action="store_true", help="do not ask (needed without a terminal)")
    p.add_argument("--index", metavar="FILE", help="the index file (default: as search)")

    p = sub.add_parser("hooks", help="have Claude Code and Codex run sessionrows index by themselves",
                       description="Adds to (or removes from) the assistants' own settings what makes them run "
                       "sessionrows index quietly in the background: a SessionEnd hook in Claude Code's "
                       "settings.json, and Codex's notify in its config.toml when nothing else has it. Every "
                       "other setting is kept as it is, and a backup of each file is kept beside it.")
    p.add_argument("action", choices=("install", "uninstall"), help="install or uninstall")
    p.add_argument("--dry-run", action="store_true", help="show the change (a diff of each file) and write nothing")

    p = sub.add_parser("mcp", help="serve your history to Claude Code and Codex (MCP, over stdio)", add_help=False,
                       formatter_class=argparse.RawDescriptionHelpFormatter,
                       description="A Model Context Protocol server over standard input and output: tools that let\n"
                       "an assistant search and read your history (read-only). It needs the MCP SDK:\n"
                       "pip install 'sessionrows[mcp]' (Python 3.10 or later).")
    p.add_argument("-h", "--help", action=_McpHelp, nargs=0, help="show this help, with the lines that add the "
                   "server to Claude Code and Codex")
    p.add_argument("--index", metavar="FILE", help="the index file (default: as search)")
    p.add_argument("--no-redact", action="store_true", help="send texts as they are, secrets included (by default "
                   "secrets are replaced by [redacted: KIND] before they leave the server)")

    p = sub.add_parser("tui", help="search as you type, read and resume sessions (what sessionrows alone "
                       "opens on a terminal)",
                       description="A terminal interface: search as you type, read a session, resume it. "
                       "Also what sessionrows without a command opens on a terminal.")
    common(p, index=True)
    p.add_argument("-q", "--query", default="", metavar="QUERY", help="start with this query in the box")
    return parser


class _McpHelp(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        from .mcp_server import install_help
        parser.epilog = install_help()
        parser.print_help()
        parser.exit()


# -- output helpers ----------------------------------------------------------------


class Session:
    """What one run prints to: stdout (colour decided once) and stderr."""

    def __init__(self, color_mode: str, stream: Optional[TextIO] = None):
        self.color_mode = color_mode
        self.out = Printer(stream or sys.stdout, wants_color(stream or sys.stdout, color_mode))

    def warn(self, problem) -> None:
        sys.stderr.write("%s: warning: %s: %s\n" % (PROG, clean(problem.path, True), clean(problem.message, True)))

    def note(self, message: str) -> None:
        sys.stderr.write("%s: %s\n" % (PROG, message))

    def waiting(self) -> None:
        self.note("waiting for another sessionrows process to finish updating the index")

    def nothing_found(self, where: Sequence[str]) -> None:
        self.note("no session logs found (looked in %s)" % clean(", ".join(map(home_relative, where)), True))

    def read_only(self, report) -> None:
        if report.read_only:
            self.note("the index is read-only: it was searched as it is, without the latest changes to the logs")


def json_line(obj) -> str:
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))


def _filters_in_force(args) -> List[str]:
    shown = []
    for name in ("agent", "role", "project"):
        value = getattr(args, name, None)
        if value:
            shown.append("--%s %s" % (name, value))
    for name in ("since", "until"):
        if getattr(args, name, None):
            shown.append("--%s %s" % (name, getattr(args, "_%s_text" % name, "")))
    return shown


# -- commands ----------------------------------------------------------------------


def _check_range(args) -> None:
    if args.since and args.until and args.since >= args.until:
        raise _Failure("the date range is empty: --since %s is not before --until %s"
                       % (args._since_text, args._until_text))


def run_search(args, session: Session) -> int:
    from .commands import hit_json, search
    from .index import Filters
    filters = Filters(agent=args.agent, role=args.role, project=args.project, since=args.since,
                      until=args.until, context=args.context)
    _check_range(args)
    width = terminal_width(sys.stdout)
    snippet_width = 200 if args.json else max(40, 2 * (width - 4) - 10)
    with progress("indexing") as bar:
        result = search(args.query, args.paths, filters=filters, limit=args.limit, fts=args.fts,
                        index_path=args.index, warn=session.warn, progress=bar, on_wait=session.waiting,
                        snippet_width=snippet_width, part=_redactor(args, part=True), offset=args.offset)
    session.read_only(result.report)
    if not args.json:
        _first_index_notes(session, result)
    if args.redact:
        result = result._replace(hits=_redacted_hits(result.hits))
    if not result.found:
        session.nothing_found(result.where)
        return NOTHING
    if not result.hits:
        if not args.json:
            session.note(_no_match(args, result))
        return NOTHING
    if args.json:
        for hit in result.hits:
            sys.stdout.write(json_line(hit_json(hit)) + "\n")
        return FOUND
    from .printing import print_hits
    print_hits(session.out, result.hits, width)
    if result.more:
        session.note(_more_hits(args, len(result.hits)))
    if result.bounded:
        session.note("the query matched more than %d rows; the newest %d of them were ranked (add words to narrow it)"
                     % (result.bounded, result.bounded))
    return FOUND


def _no_match(args, result) -> str:
    """What a search that shows nothing says: where it looked and with which filters,
    whether injected text matches, or that the matches end before --offset."""
    if result.context_sessions is None:     # rows matched, all of them before the offset
        return "no more hits past --offset %d" % args.offset
    shown = _filters_in_force(args)
    where = "in %s%s" % (counted(result.found, "session log"),
                         (" with " + " ".join(clean(s, True) for s in shown)) if shown else "")
    if result.context_sessions:
        return "no match for %s outside injected text %s; --context finds %s" % (
            clean(repr(args.query), True), where, counted(result.context_sessions, "session"))
    return "no match for %s %s" % (clean(repr(args.query), True), where)


def _span(word: str, first: int, last: int) -> str:
    """Places `first` to `last` of a list: "hit 5", "hits 5 to 7"."""
    return "%s %d" % (word, first) if first == last else "%ss %d to %d" % (word, first, last)


def _more_hits(args, shown: int) -> str:
    """The note that more rows match than were shown, and how to see them."""
    following = args.offset + shown
    if args.offset:
        return "showed %s; more rows match (--offset %d shows the next)" % (
            _span("hit", args.offset + 1, following), following)
    best = "the best hit" if shown == 1 else "the best %d hits" % shown
    return "showed %s; more rows match (-n %d shows more, --offset %d the next)" % (
        best, min(MOST_HITS, 5 * args.limit), following)


def run_sessions(args, session: Session) -> int:
    from .commands import list_sessions, open_index, summary_json
    from .index import Filters
    if args.since and args.until and args.since >= args.until:
        raise _Failure("the date range is empty: --since %s is not before --until %s"
                       % (args._since_text, args._until_text))
    filters = Filters(agent=args.agent, project=args.project, since=args.since, until=args.until)
    with progress("indexing") as bar:
        opened = open_index(args.paths, args.index, warn=session.warn, progress=bar, on_wait=session.waiting)
    try:
        found = list_sessions(filters, args.limit + 1, args.offset, opened=opened)
    finally:
        opened.index.close()
    session.read_only(opened.report)
    if not opened.found:
        session.nothing_found(opened.where)
        return NOTHING
    shown = found[:args.limit]
    if args.json:
        for s in shown:
            sys.stdout.write(json_line(summary_json(s)) + "\n")
        return FOUND if shown else NOTHING
    if not shown:
        named = _filters_in_force(args)
        session.note("no sessions %s%s" % ("past --offset %d" % args.offset if args.offset else
                                           "in %s" % counted(opened.found, "session log"),
                                           " with " + " ".join(clean(s, True) for s in named) if named else ""))
        return NOTHING
    from .printing import print_sessions
    print_sessions(session.out, shown, terminal_width(sys.stdout))
    if len(found) > len(shown):
        following = args.offset + len(shown)
        if args.offset:
            which = _span("session", args.offset + 1, following)
        else:
            which = "the newest session" if len(shown) == 1 else "the newest %d sessions" % len(shown)
        session.note("showed %s; there are more (--offset %d shows the next)" % (which, following))
    return FOUND


def run_show(args, session: Session) -> int:
    from .commands import load_session, row_json, rows_around
    with progress("indexing") as bar:
        t = load_session(args.session, index_path=args.index, warn=session.warn, progress=bar,
                         on_wait=session.waiting)
    if args.format != "text" and not args.json:
        return _show_page(args, t)
    span = t.rows if args.around is None else rows_around(t, args.around, args.context_rows)
    if args.redact:
        t, span = _redacted_transcript(t, span)
    if args.json:
        for row in span:
            sys.stdout.write(json_line(row_json(t, row)) + "\n")
        return FOUND
    from .printing import print_transcript
    with pager(sys.stdout, session.color_mode) as stream:
        print_transcript(Printer(stream, session.out.color), t, span, terminal_width(stream), args.around)
    return FOUND


def _redacted_hits(hits):
    """The hits with the secrets in their texts redacted (their snippets are already)."""
    from .redact import redact_text
    return [h._replace(text=redact_text(h.text), title=redact_text(h.title), cwd=redact_text(h.cwd),
                       resume=redact_text(h.resume)) for h in hits]


def _redacted_transcript(t, span):
    from .redact import redact_text
    t = t._replace(title=redact_text(t.title), cwd=redact_text(t.cwd), resume=redact_text(t.resume))
    return t, [row._replace(text=redact_text(row.text)) for row in span]


def _redaction(args):
    """The redaction to apply to log texts, when asked for."""
    if not getattr(args, "redact", False):
        return None
    from .redact import redact_text
    return redact_text


def _show_page(args, t) -> int:
    from . import transcripts
    if args.around is not None:
        raise _Failure("--around shows rows on the terminal; --format %s writes the whole session" % args.format)
    if args.output and args.output != "-":
        from .transcripts.export import private_file
        if os.path.isdir(args.output):
            raise _Failure("%s is a folder; give a file to write with -o FILE" % args.output)
        with private_file(args.output) as out:
            transcripts.render(t, args.format, out, redact=_redaction(args), context=args.context)
    else:
        transcripts.render(t, args.format, sys.stdout, redact=_redaction(args), context=args.context)
    return FOUND


def _export_pages(args, session: Session, logs, named, select) -> int:
    from .transcripts.export import export_folder
    context = args.context or bool(select.kinds and select.kinds & set(INJECTED))
    with progress("exporting") as bar:
        report = export_folder(logs, named, args.output, args.format, context=context, select=select,
                               redact=_redaction(args), warn=session.warn, progress=bar)
    session.note("wrote %s and %s" % (counted(len(report.pages), "page"), clean(report.index, True)))
    return FOUND if report.pages else NOTHING


def run_export(args, session: Session) -> int:
    from . import export
    from .commands import logs_in_scope, open_index
    from .index import Filters
    to_stdout = not args.output or args.output == "-"
    pages = args.format in ("markdown", "html")
    if pages and to_stdout:
        raise _Failure("--format %s writes a folder: give it with -o FOLDER" % args.format)
    if args.format == "parquet":
        if to_stdout:
            raise _Failure("--format parquet writes a file: give it with -o FILE")
        export.needs_pyarrow()
    if args.raw:
        return _export_raw(args, session, to_stdout)
    _check_range(args)
    filters = Filters(agent=args.agent, project=args.project, since=args.since, until=args.until)
    select = export.RowFilter(args.role, args.since, args.until, frozenset(args.kind) if args.kind else None)
    with progress("indexing") as bar:
        opened = open_index(args.paths, args.index, warn=session.warn, progress=bar, on_wait=session.waiting)
    try:
        records = logs_in_scope(opened, filters)
    finally:
        opened.index.close()
    session.read_only(opened.report)
    if not records and not opened.found:
        session.nothing_found(opened.where)
        return NOTHING
    sources = export.sources_of(records, session.warn)
    if pages:
        return _export_pages(args, session, [s.log for s in sources], list(args.paths), select)
    if to_stdout:
        report = export.export(sources, sys.stdout, args.format, select=select, redact=_redactor(args),
                               warn=session.warn)
    else:
        with export.output_file(args.output, binary=args.format == "parquet") as stream, \
                progress("exporting") as bar:
            report = export.export(sources, stream, args.format, select=select, redact=_redactor(args),
                                   warn=session.warn, progress=bar)
    return FOUND if report.rows else NOTHING


def _export_raw(args, session: Session, to_stdout: bool) -> int:
    """export --raw: the module's rows of the logs in their places, as earlier releases wrote them."""
    from . import export
    from .commands import CommandError
    from .discovery import NotFound, find_logs
    from .reader import Problem, resolve_agents
    refused = [name for name in ("role", "project", "since", "until", "kind", "context") if getattr(args, name)]
    if refused:
        raise _Failure("--raw writes the module's rows as they are; of the filters it takes --agent only, "
                       "not --%s" % refused[0])
    if args.format in ("markdown", "html"):
        raise _Failure("--raw writes rows: give --format jsonl, csv or parquet")
    try:
        logs = find_logs(args.paths or None,
                         on_error=lambda e: session.warn(Problem(e.filename or "?", e.strerror or str(e))))
    except NotFound as e:
        raise CommandError("%s: no such file or folder" % e.filename) from None
    named = list(args.paths)
    if not logs:
        session.nothing_found(args.paths or _default_places())
        return NOTHING
    logs = resolve_agents(logs, session.warn, named)
    if args.agent:
        logs = [log for log in logs if log.agent == args.agent]
    if to_stdout:
        report = export.export_raw(logs, named, sys.stdout, args.format, include_tools=args.include_tools,
                                   warn=session.warn, redact=_redactor(args))
    else:
        with export.output_file(args.output, binary=args.format == "parquet") as stream, \
                progress("exporting") as bar:
            report = export.export_raw(logs, named, stream, args.format, include_tools=args.include_tools,
                                       warn=session.warn, progress=bar, redact=_redactor(args))
    return FOUND if report.rows else NOTHING


def _redactor(args, part: bool = False):
    """The redaction --redact asks for: of a text, or of a part of one."""
    if not args.redact:
        return None
    from .redact import redact_part, redact_text
    return redact_part if part else redact_text


def run_mcp(args, session: Session) -> int:
    import importlib.util
    if importlib.util.find_spec("mcp") is None:
        raise _Failure("the MCP server needs the MCP SDK (Python 3.10 or later): pip install 'sessionrows[mcp]'")
    from .mcp_server import serve
    serve(args.index, redact=not args.no_redact)
    return FOUND


def _default_places() -> List[str]:
    from .discovery import root_paths
    return root_paths()


def run_stats(args, session: Session) -> int:
    from .commands import stats, stats_json
    with progress("reading" if args.fresh else "indexing") as bar:
        s = stats(args.paths, fresh=args.fresh, index_path=args.index, warn=session.warn, progress=bar,
                  on_wait=session.waiting)
    if args.json:
        sys.stdout.write(json_line(stats_json(s)) + "\n")
        return FOUND if s.files else NOTHING
    if not s.files:
        session.nothing_found(s.where)
        return NOTHING
    from .printing import print_stats
    print_stats(session.out, s)
    return FOUND


def run_index(args, session: Session) -> int:
    from .commands import open_index
    if args.quiet:      # nothing but errors, which main prints
        session.note = session.warn = lambda *_: None
    with progress("indexing", enabled=False if args.quiet else None) as bar:
        opened = open_index(args.paths, args.index, rebuild=args.rebuild, warn=session.warn, progress=bar,
                            on_wait=session.waiting)
    with opened.index as index:
        files, rows = index.counts()
        path = index.path
    r = opened.report
    session.read_only(r)
    if not opened.found:
        session.nothing_found(opened.where)
    _first_index_notes(session, opened)
    session.note("%s in scope: %d new, %d grown, %d changed, %d removed; %s added in %.2f s. "
                 "The index (%s) holds %s, %s." % (counted(opened.found, "log"), r.new, r.appended, r.changed,
                                                   r.removed, counted(r.rows, "row"), r.seconds, clean(path, True),
                                                   counted(files, "log"), counted(rows, "row")))
    return FOUND if opened.found else NOTHING


def run_restore(args, session: Session) -> int:
    from .archived import restore
    with progress("indexing") as bar:
        done = restore(args.session, args.to, index_path=args.index, warn=session.warn, progress=bar,
                       on_wait=session.waiting)
    for log in done.logs:
        what = ("restored " if log.written else "already in place: ") + ("sub-agent log " if log.subagent else "")
        session.out.line((what, "dim"), clean(home_relative(log.path), True))
    if done.resume:
        session.out.line(("resume: ", "dim"), (clean(done.resume, True), "cyan"))
    return FOUND


def run_forget(args, session: Session) -> int:
    from .archived import forget, to_forget
    from .commands import open_index
    if not args.sessions and args.before is None:
        raise _Failure("name the sessions to forget, or give --before DATE")
    with progress("indexing") as bar:
        opened = open_index(None, args.index, warn=session.warn, progress=bar, on_wait=session.waiting)
    with opened.index:
        records = to_forget(opened, args.sessions, args.before)
        if not records:
            session.note("no session to forget%s" % (" before %s" % args._before_text if args.before else ""))
            return NOTHING
        mains = [r for r in records if not r.agent_id] or records
        for r in mains:
            session.out.line(clean(r.title or "(untitled)", True),
                             ("  %s \u00b7 %s \u00b7 %s" % (r.agent, clean(r.session_id or r.path, True),
                                                            local_time(r.last_ts)), "dim"))
        question = "Forget %s for good (%s)? [y/N] " % (
            "this session" if len(mains) == 1 else "these %d sessions" % len(mains), counted(len(records), "log"))
        if not args.yes:
            if not (sys.stdin.isatty() and sys.stderr.isatty()):
                raise _Failure("forget asks before it removes anything, and there is no terminal to ask on; "
                               "give --yes to forget without asking")
            sys.stderr.write(question)
            sys.stderr.flush()
            if sys.stdin.readline().strip().lower() not in ("y", "yes"):
                session.note("nothing was forgotten")
                return NOTHING
        done = forget(opened, records)
    session.note("forgot %s (%s); %s freed in the archive, the index rewritten in %.1f s"
                 % (counted(len(done.sessions), "session"), counted(done.logs, "log"), size_text(done.bytes_freed),
                    done.seconds))
    for path in done.in_place:
        session.note("its log %s is still in its place: sessionrows will not read it again (delete it to remove it "
                     "from the disk)" % clean(home_relative(path), True))
    return FOUND


def _first_index_notes(session: Session, opened) -> None:
    """On a first index: what the assistants' own cleanup means for the person."""
    r = opened.report
    if not r.new or r.new < opened.found or r.appended or r.changed:
        return
    from .retention import retention
    for kept in retention():
        if kept.present and (kept.deletes or kept.warning):
            session.note(clean(kept.sentence, True) + ("" if kept.warning else
                                                       "; sessionrows keeps every log it reads from now on"))


def run_hooks(args, session: Session) -> int:
    from .hooks import HookError, run
    try:
        run(args.action, dry_run=args.dry_run, write=lambda text: sys.stdout.write(clean(text) + "\n"))
    except HookError as e:
        raise _Failure(str(e)) from None
    return FOUND


def run_tui(args, session: Session) -> int:
    from . import tui
    if args.color == "never":
        os.environ["NO_COLOR"] = "1"
    return tui.run(args.paths, args.index, args.query)


COMMANDS = {"search": run_search, "show": run_show, "export": run_export, "stats": run_stats, "index": run_index,
            "restore": run_restore, "forget": run_forget, "mcp": run_mcp, "tui": run_tui, "hooks": run_hooks,
            "sessions": run_sessions}


def _keep_date_texts(parser: argparse.ArgumentParser, argv: Sequence[str], args) -> None:
    """The dates as typed, for messages (the parsed values are UTC time stamps)."""
    for name in ("since", "until", "before"):
        text = ""
        for i, a in enumerate(argv):
            if a == "--" + name and i + 1 < len(argv):
                text = argv[i + 1]
            elif a.startswith("--%s=" % name):
                text = a.split("=", 1)[1]
        setattr(args, "_%s_text" % name, text)


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    if not argv:
        from .tui import NEEDS_TEXTUAL, available
        on_terminal = sys.stdin.isatty() and sys.stdout.isatty()
        if on_terminal and available():
            argv = ["tui"]      # on a terminal, with Textual installed: the interface
        else:
            parser.print_help()
            if on_terminal:
                sys.stderr.write("%s: %s\n" % (PROG, NEEDS_TEXTUAL))
            return FOUND
    args = parser.parse_args(argv)
    if not args.command:
        parser.print_help()
        return FOUND
    _keep_date_texts(parser, argv, args)
    reconfigure = getattr(sys.stdout, "reconfigure", None)
    if reconfigure is not None:
        reconfigure(errors="backslashreplace")   # a file name that is not UTF-8 is printed escaped
    session = Session(getattr(args, "color", "never"))
    from .commands import CommandError
    from .index import IndexProblem
    from .query import QueryError
    from .archive import ArchiveProblem
    failures: tuple = (CommandError, IndexProblem, QueryError, ArchiveProblem, _Failure)
    if args.command == "export":     # the export module only for the command that uses it
        from .export import ExportError
        failures += (ExportError,)
    try:
        with _announcing_new_index(args, session):
            return COMMANDS[args.command](args, session)
    except failures as e:
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
        sys.stderr.write("%s: error: %s\n" % (PROG, clean(_os_error_text(e), True)))
    return ERROR


@contextlib.contextmanager
def _announcing_new_index(args, session: Session):
    """Says so when the command made the index that --index names: a mistyped path
    would otherwise give a new index (and its folders) without a word. (Not after
    an error, which stays one line; the MCP server says it itself, when it has
    opened the index.)"""
    path = getattr(args, "index", None)
    path = os.path.abspath(path) if path and args.command != "mcp" else None
    new = path is not None and not os.path.lexists(path)
    yield
    if new and os.path.isfile(path):
        session.note("created a new index at %s" % clean(path, True))


def _os_error_text(e: OSError) -> str:
    """An operating-system failure in a person's terms."""
    what = e.strerror or str(e)
    name = e.filename if isinstance(e.filename, str) else None
    return "%s: %s" % (name, what) if name else what


def entry() -> None:
    sys.exit(main())
