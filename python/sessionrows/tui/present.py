"""What the terminal interface shows, as plain functions: the query box read into a
query and filters, the result list, the preview and transcript lines, the status
line and the resume plan. They return lines of segments, `(text, style)` pairs
whose texts are made harmless with `terminal.clean` (nothing from a log reaches
the terminal as a control sequence, and no text is ever read as markup); the
widgets only draw them. Nothing here imports Textual."""

from __future__ import annotations

import os
import re
import shlex
import sys
from dataclasses import dataclass, field
from typing import List, Mapping, Optional, Sequence, TextIO, Tuple, Union

from rich.cells import cell_len, set_cell_size

from ..commands import Hit, SessionHits, SessionRow, SessionSummary, Transcript, rows_around
from ..agents import NAMES
from ..index import Filters
from ..query import Query
from ..sessions import ROLES, resume_command, role_name
from ..snippets import matches
from ..terminal import clean, counted, home_relative, size_text, strip_escapes
from ..when import local_time

Segment = Tuple[str, str]           # (text, style); the style a Textual style string, "" for none
Line = List[Segment]
ELLIPSIS = "\u2026"

# Styles. Matches are bold and underlined, so that they show without colour too.
MATCH = "bold underline $text-warning"
FOCUS_MATCH = "bold reverse $text-warning"
DIM = "dim"
TITLE = "bold"
COMMAND = "$text-accent"
ROLE_STYLES = {"user": "bold $text-success", "assistant": "bold $text-primary", "tool": "$text-secondary"}

# Rows of the preview: the hit and this many on each side, each cut to a few lines.
PREVIEW_ROWS = 4
PREVIEW_LINES = 6
PREVIEW_FOCUS_LINES = 40
SESSION_START_ROWS = 8


# -- the query box -------------------------------------------------------------------

_FILTER = re.compile(r'(?:(?<=\s)|^)(agent|role|project|since|until|context):("[^"]*"?|\S*)', re.IGNORECASE)
_ON = {"on", "yes", "true", "1", "shown", "show"}
_OFF = {"off", "no", "false", "0", "hidden", "hide"}


@dataclass
class KeyFilters:
    """The filters set by keys; filters typed in the box take precedence."""

    agent: Optional[str] = None
    role: Optional[str] = None
    context: bool = False


@dataclass
class Box:
    """The query box read: the words to search for, the filters in force, what is
    shown of them, and the filters that could not be read (with why)."""

    query: str
    filters: Filters
    shown: List[str] = field(default_factory=list)
    problems: List[str] = field(default_factory=list)

    @property
    def key(self) -> tuple:
        f = self.filters
        return (self.query.strip(), f.agent, f.role, f.project, f.since, f.until, f.context)


def cycle(value: Optional[str], choices: Sequence[str]) -> Optional[str]:
    """The next of None (any) and `choices`, after `value`."""
    order: List[Optional[str]] = [None, *choices]
    return order[(order.index(value) + 1) % len(order)] if value in order else None


def next_agent(agent: Optional[str]) -> Optional[str]:
    return cycle(agent, NAMES)


def next_role(role: Optional[str]) -> Optional[str]:
    return cycle(role, ROLES[:3])     # user, assistant, tool: the roles a person looks for


def read_box(text: str, keys: Optional[KeyFilters] = None) -> Box:
    """The query box's text as a query and filters. `agent:codex`, `role:user`,
    `project:TEXT`, `since:2w`, `until:2026-03-01` and `context:on` set filters (a
    value may be "quoted"); the rest is the query, in the language of `search`."""
    from ..when import WhenError, parse_when   # the dates as the command line reads them

    keys = keys or KeyFilters()
    chosen = dict(agent=keys.agent, role=keys.role, context=keys.context)
    problems: List[str] = []
    typed = set()
    for m in _FILTER.finditer(text):
        name, value = m.group(1).lower(), m.group(2)
        if value.startswith('"'):
            value = value[1:-1] if len(value) > 1 and value.endswith('"') else value[1:]
        if not value:
            continue    # still being typed
        typed.add(name)
        low = value.lower()
        if name == "agent":
            if low in NAMES:
                chosen["agent"] = low
            else:
                problems.append("agent: %s" % " or ".join(NAMES))
        elif name == "role":
            if low in ROLES:
                chosen["role"] = low
            else:
                problems.append("role: one of %s" % ", ".join(ROLES))
        elif name == "project":
            chosen["project"] = value
        elif name == "context":
            if low in _ON or low in _OFF:
                chosen["context"] = low in _ON
            else:
                problems.append("context: on or off")
        else:
            try:
                chosen[name] = parse_when(value, end=name == "until")
            except WhenError as e:      # a sentence for a person
                problems.append("%s: %s" % (name, e))
    if chosen.get("since") and chosen.get("until") and chosen["since"] >= chosen["until"]:
        problems.append("since is not before until")
        chosen["until"] = None
    filters = Filters(**chosen)
    query = _FILTER.sub(" ", text)
    shown = []
    if filters.agent:
        shown.append("agent:" + filters.agent)
    if filters.role:
        shown.append("role:" + filters.role)
    if filters.project:
        shown.append("project:" + filters.project)
    for name in ("since", "until"):
        if getattr(filters, name):
            shown.append("%s:%s" % (name, _typed_value(text, name)))
    if filters.context:
        shown.append("injected text shown")
    return Box(" ".join(query.split()), filters, [clean(s, True) for s in shown], problems)


def _typed_value(text: str, name: str) -> str:
    value = ""
    for m in _FILTER.finditer(text):
        if m.group(1).lower() == name and m.group(2):
            value = m.group(2).strip('"')
    return value


_LAST_WORD = re.compile(r"[^\W_]+(?=[^\w]*$)")


def typing_delay(query: str, quick: float, pause: float) -> float:
    """How long the query waits after a keystroke: `quick`, or `pause` while its
    last word is one letter (a word being typed; one letter matches so many rows
    that ranking them would hold up the next keystroke's query)."""
    last = _LAST_WORD.search(query)
    if last is not None and len(last.group()) == 1 and last.group().isascii():
        return pause
    return quick


def filter_line(box: Box, keys: KeyFilters) -> Line:
    """The filters in force and the keys that change them."""
    f = box.filters
    out: Line = [("F2 ", "bold"), ("agent ", DIM), (f.agent or "any", "bold" if f.agent else ""),
                 ("  F3 ", "bold"), ("role ", DIM), (f.role or "any", "bold" if f.role else ""),
                 ("  F4 ", "bold"), ("injected ", DIM), ("shown" if f.context else "hidden",
                                                        "bold" if f.context else "")]
    extra = [s for s in box.shown if s.split(":", 1)[0] in ("project", "since", "until")]
    if extra:
        out.append(("  " + "  ".join(extra), "bold"))
    else:
        out.append(("  project: since: until: in the box", DIM))
    if box.problems:
        out.append(("  " + clean("; ".join(box.problems), True), "bold $text-error"))
    return out


# -- the result list -----------------------------------------------------------------

Target = Union[Hit, SessionSummary]


@dataclass
class Entry:
    """A line of the result list: a session's heading (target None) or a hit (or,
    with no query, a recent session) to select."""

    line: Line
    target: Optional[Target] = None


def fit(line: Line, width: int) -> Line:
    """The segments cut to `width` cells, a cut marked with an ellipsis."""
    out: Line = []
    room = width
    for text, style in line:
        n = cell_len(text)
        if n <= room:
            out.append((text, style))
            room -= n
            continue
        if room > 1:
            out.append((set_cell_size(text, room - 1), style))
        out.append((ELLIPSIS, DIM))
        return out
    return out


def project_name(cwd: str) -> str:
    return os.path.basename(cwd.rstrip("/")) if cwd else ""


def _cut(text: str, most: int) -> str:
    return text if cell_len(text) <= most else set_cell_size(text, most - 1) + ELLIPSIS


def session_heading(title: str, agent: str, cwd: str, when: str, hits: int, width: int,
                    subagent: str = "", archived: bool = False) -> Line:
    """A session's line: its title, then agent, project folder, date (the
    session's last activity, whatever its hits) and hits. The
    title keeps its room: the time of day goes first, then the project folder is
    cut and left out, then the date, and only then is the title cut. A title too
    long for the line in any case is cut to about two thirds of it, or shorter
    where the date would not fit beside that, so that the date can stay. The
    agent, the sub-agent and archive marks and the hits stay."""
    title_text = clean(strip_escapes(title) or "(untitled)", True)
    project = clean(project_name(cwd), True)
    stamp = local_time(when)
    day = stamp[:10] if len(stamp) == 16 and stamp[10] == " " else stamp
    tail = (["sub-agent"] if subagent else []) + (["archived"] if archived else []) + \
        (["%d hits" % hits] if hits > 1 else [])

    def facts(project: str, date: str) -> str:
        return "  " + " \u00b7 ".join(m for m in [agent, project, date, *tail] if m)

    n = cell_len(title_text)
    least = cell_len(facts("", ""))
    wanted = n if n + least <= width else min(n, max(20, min(width * 2 // 3, width - cell_len(facts("", day)))))
    for p, d in ((project, stamp), (project, day), (_cut(project, 12), day), ("", day), ("", "")):
        shown = facts(p, d)
        if cell_len(shown) + wanted <= width:
            break
    room = max(10, width - cell_len(shown))
    if n > room:
        title_text = _cut(title_text, room)
    return fit([(title_text, TITLE), (shown, DIM)], width)


def hit_line(hit: Hit, width: int) -> Line:
    """A hit: who spoke, and the snippet with its matches marked."""
    label = role_name(hit.role, hit.kind, hit.flags, hit.tool)
    if cell_len(label) > 18:
        label = set_cell_size(label, 17) + ELLIPSIS
    line: Line = [("  ", ""), (clean(label, True), ROLE_STYLES.get(hit.role, DIM)), (" ", "")]
    if hit.injected:
        line.append(("[injected] ", "$text-warning"))
    line.extend(marked(hit.snippet, hit.matches, MATCH))
    return fit(line, width)


def marked(text: str, spans: Sequence[Tuple[int, int]], style: str, base: str = "") -> Line:
    """One line of text as segments, the characters in `spans` in `style`."""
    out: Line = []
    at = 0
    for start, end in spans:
        if start < at:
            continue
        if start > at:
            out.append((clean(text[at:start], True), base))
        out.append((clean(text[start:end], True), style))
        at = end
    if at < len(text):
        out.append((clean(text[at:], True), base))
    return out


def result_entries(groups: Sequence[SessionHits], width: int) -> List[Entry]:
    """The result list: each session's heading, then its hits."""
    out: List[Entry] = []
    for group in groups:
        first = group.first
        out.append(Entry(session_heading(first.title, first.agent, first.cwd, first.last_ts or first.timestamp, len(group.hits),
                                         width, first.subagent, bool(first.gone_since))))
        out.extend(Entry(hit_line(hit, width), hit) for hit in group.hits)
    return out


def recent_entries(sessions: Sequence[SessionSummary], width: int, gone: Mapping[str, str] = {}) -> List[Entry]:
    """With nothing typed: the newest sessions, one line each (`gone`: since when
    the log of each path in it is gone from its place, read from the archive)."""
    return [Entry(session_heading(s.title, s.agent, s.cwd, s.last_ts, 0, width, archived=s.path in gone), s)
            for s in sessions]


# -- the preview and the transcript -------------------------------------------------

@dataclass
class Page:
    """Lines to show, and the line of the hit (where the view opens)."""

    lines: List[Line]
    focus: int = 0


def _row_heading(row: SessionRow, focus: bool) -> Line:
    label = role_name(row.role, row.kind, row.flags, row.tool)
    style = DIM if row.injected else ROLE_STYLES.get(row.role, "bold")
    line: Line = [("\u25b6 " if focus else "  ", "bold $text-warning"), ("#%d " % row.row, DIM),
                  (clean(label, True), style), ("  " + local_time(row.timestamp), DIM)]
    if row.injected:
        line.append(("  [injected]", "$text-warning"))
    return line


def _body_lines(text: str) -> List[str]:
    return clean(strip_escapes(text).replace("\r\n", "\n")).expandtabs(4).split("\n")     # colour codes out


def _row_lines(row: SessionRow, q: Optional[Query], focus: bool, most: Optional[int]) -> List[Line]:
    """A row: its heading, then its text, indented; with `most`, cut to about that
    many lines (around the first match for the hit's row)."""
    out = [_row_heading(row, focus)]
    lines = _body_lines(row.text)
    base = DIM if row.injected or row.kind >= 3 else ""
    lo, hi = 0, len(lines)
    if most is not None and len(lines) > most:
        first = 0
        if focus and q is not None:
            first = next((i for i, line in enumerate(lines) if matches(line, q, 1)), 0)
        lo = max(0, first - most // 3)
        hi = min(len(lines), lo + most)
    if lo:
        out.append([("    \u2026 %s before" % counted(lo, "line"), DIM)])
    for line in lines[lo:hi]:
        spans = matches(line, q) if q is not None and focus else []
        out.append([("    ", "")] + marked(line, spans, FOCUS_MATCH, base) if spans else [("    " + line, base)])
    if hi < len(lines):
        out.append([("    \u2026 " + counted(len(lines) - hi, "more line"), DIM)])
    return out


def header_lines(t: Transcript, title: str = "") -> List[Line]:
    """What the transcript is: its title, agent and id, folder, dates, resume line, log."""
    out: List[Line] = [[(clean(strip_escapes(title or t.title) or "(untitled)", True), TITLE)]]
    facts = [t.agent, "session " + clean(t.session_id or "(no id)", True)]
    if t.agent_id:
        facts.append("sub-agent " + clean(t.agent_id, True))
    if t.cwd:
        facts.append(clean(home_relative(t.cwd), True))
    out.append([(" \u00b7 ".join(facts), DIM)])
    if t.first_ts:
        out.append([("%s to %s, %s" % (local_time(t.first_ts), local_time(t.last_ts), counted(len(t.rows), "row")),
                     DIM)])
    if t.resume:
        anywhere = resume_command(t.agent, t.session_id, "", t.path)
        if t.cwd and anywhere and not os.path.isdir(t.cwd):
            out.append([("resume (its folder is gone; from any folder): ", DIM), (clean(anywhere, True), COMMAND)])
        else:
            out.append([("resume: ", DIM), (clean(t.resume, True), COMMAND)])
    if t.archived:
        since = " since " + local_time(t.gone_since) if t.gone_since else ""
        out.append([("archived", "bold $text-warning"),
                    (": the log is gone from its place%s; read from the archive. To resume it, restore it first: "
                     % since, DIM), (clean(restore_command(t.session or t.path), True), COMMAND)])
    out.append([("log: " + clean(home_relative(t.path), True), DIM)])
    return out


def preview_page(t: Transcript, row: Optional[int], q: Optional[Query], title: str = "") -> Page:
    """The rows around the hit's row, each cut to a few lines, the hit's matches
    marked; without a row, the start of the session."""
    lines = header_lines(t, title)
    if row is None or row >= len(t.rows):
        span, focus_row = t.rows[:SESSION_START_ROWS], None
    else:
        span, focus_row = rows_around(t, row, PREVIEW_ROWS), row
    focus = 0
    for r in span:
        lines.append([])
        if r.row == focus_row:
            focus = len(lines)
        most = PREVIEW_FOCUS_LINES if r.row == focus_row else (1 if r.injected else PREVIEW_LINES)
        lines.extend(_row_lines(r, q, r.row == focus_row, most))
    if row is None and len(t.rows) > len(span):
        lines.append([])
        lines.append([("\u2026 %s (Enter shows them all)" % counted(len(t.rows) - len(span), "more row"), DIM)])
    return Page(lines, focus)


def transcript_page(t: Transcript, row: Optional[int], q: Optional[Query], title: str = "") -> Page:
    """The whole session, every row in full, the hit's row marked."""
    lines = header_lines(t, title)
    focus = 0
    for r in t.rows:
        lines.append([])
        if r.row == row:
            focus = len(lines)
        lines.extend(_row_lines(r, q, r.row == row, None))
    return Page(lines, focus)


def plain(line: Line) -> str:
    return "".join(text for text, _ in line)


def find(texts: Sequence[str], q: Query, start: int, backward: bool = False) -> Optional[int]:
    """The index of the next line (from `start` on, wrapping) whose text matches `q`."""
    n = len(texts)
    for step in range(n):
        i = (start - step) % n if backward else (start + step) % n
        if matches(texts[i], q, 1):
            return i
    return None


# -- the status line ---------------------------------------------------------------

MORE = "more at the end of the list"


def results_status(hits: int, sessions: int, seconds: float, bounded: Optional[int], more: bool,
                   paged: bool = False, most: Optional[int] = None) -> str:
    """What the list holds: its hits and sessions, and whether more are to come as
    the cursor reaches its end (`more`), or all are shown after pages of them
    (`paged`); `most`, when set, is as many as the list takes."""
    if not hits:
        return "no match (%.0f ms)" % (seconds * 1000)
    text = "%s in %s (%.0f ms)" % (counted(hits, "hit"), counted(sessions, "session"), seconds * 1000)
    if more and most is not None and hits >= most:
        text += ", the best %d (add words to narrow the search)" % hits
    elif more:
        text += ", the best %d: %s" % (hits, MORE)
    elif paged:
        text += ", all shown"
    if bounded:
        text += ", the newest %d matches ranked" % bounded
    return text


def recent_status(sessions: int, seconds: float, more: bool, paged: bool = False) -> str:
    if more:
        text = "the %d newest sessions (%.0f ms), %s" % (sessions, seconds * 1000, MORE)
    elif paged:
        text = "all %d sessions (%.0f ms)" % (sessions, seconds * 1000)
    else:
        text = "the %d newest session%s (%.0f ms)" % (sessions, "" if sessions == 1 else "s", seconds * 1000)
    return text + "; type to search"


def indexing_status(done: int, total: int) -> str:
    if total <= 0:
        return "indexing"
    return "indexing %d%% (%s of %s), searching what is indexed so far" % (
        100 * done // total, size_text(done), size_text(total))


# -- export ------------------------------------------------------------------------

_UNSAFE_NAME = re.compile(r"[^0-9A-Za-z._-]+")


def export_path(folder: str, session: str, log_path: str, suffix: str = ".html") -> str:
    """A new file in `folder` for a session's page, named after the session (or its
    log), never an existing file."""
    base = _UNSAFE_NAME.sub("_", session).strip("._")[:100] or \
        _UNSAFE_NAME.sub("_", os.path.splitext(os.path.basename(log_path))[0]).strip("._")[:100] or "session"
    path = os.path.join(folder, base + suffix)
    n = 2
    while os.path.lexists(path):
        path = os.path.join(folder, "%s-%d%s" % (base, n, suffix))
        n += 1
    return path


# -- resuming ------------------------------------------------------------------------

_SAFE_ID = re.compile(r"^[0-9A-Za-z][0-9A-Za-z._-]*$")


@dataclass
class Plan:
    """How to resume a session: the command line to run and where."""

    argv: List[str]
    cwd: str
    line: str           # the same as one shell line, to show or copy
    anywhere: str = ""  # the line without its cd: the assistant resumes the session from any folder
    restore: str = ""   # for a log gone from its place (read from the archive): what puts it back first

    @property
    def folder_gone(self) -> bool:
        return bool(self.cwd) and not os.path.isdir(self.cwd)

    @property
    def runnable(self) -> bool:
        """The session's folder is still there, and so is its log (and its id is an
        id, not an option)."""
        return bool(self.argv) and bool(self.cwd) and not self.restore and os.path.isdir(self.cwd)

    @property
    def copied(self) -> str:
        """The line to copy: the resume line (without its cd when the folder is
        gone), after the restore of its log when that is needed."""
        line = self.anywhere if self.folder_gone and self.anywhere else self.line
        return "%s && %s" % (self.restore, line) if self.restore else line


def restore_command(session: str) -> str:
    return "sessionrows restore %s" % shlex.quote(session)


def resume_plan(agent: str, session_id: str, cwd: str, path: str = "", archived: str = "") -> Optional[Plan]:
    """The plan that resumes a session, from `sessions.resume_command`; None for a
    session without an id. An id that is not one (it would read as an option, say)
    gives a plan that only shows its line. `archived` names the session of a log
    gone from its place (read from the archive): it is restored first."""
    line = resume_command(agent, session_id, cwd, path)
    if not line:
        return None
    anywhere = resume_command(agent, session_id, "", path)
    argv = shlex.split(anywhere) if _SAFE_ID.match(session_id) else []
    return Plan(argv, cwd, line, anywhere, restore_command(archived) if archived else "")


def run_plan(plan: Plan, err: Optional[TextIO] = None) -> int:
    """Resumes the session: changes to its folder and replaces this process with the
    assistant. When that folder is gone, says so and prints the line that resumes
    it from the folder the person is in; when its log is gone, the line that puts
    it back first (or, when the assistant cannot be started, the line). Returns an
    exit status when it returns."""
    err = err or sys.stderr
    if not plan.runnable:
        if plan.restore:
            err.write("sessionrows: the session's log is gone from its place; put it back from the archive "
                      "first, then resume it:\n")
        elif plan.folder_gone and plan.anywhere:
            err.write("sessionrows: the session's folder %s is gone; this resumes it from the folder you are in:\n"
                      % clean(plan.cwd, True))
        print(clean(plan.copied, True))
        return 0
    try:
        os.chdir(plan.cwd)
        os.execvp(plan.argv[0], plan.argv)
    except OSError as e:
        err.write("sessionrows: cannot run %s: %s; the line is:\n" % (clean(plan.argv[0], True),
                                                                     e.strerror or e))
        print(clean(plan.line, True))
        return 2
    return 0    # not reached: execvp replaced the process


def gone_since(target: Union[Target, Transcript]) -> Optional[str]:
    """For a log gone from its place (read from the archive): since when ("" when
    not noted); None for a log in its place."""
    if isinstance(target, Transcript):
        return target.gone_since if target.archived else None
    since = getattr(target, "gone_since", "")
    return since if since else None


def targets_plan(target: Union[Target, Transcript], archived: bool = False) -> Optional[Plan]:
    """The plan for the selected session, or the open transcript (`archived`: its
    log is known to be gone from its place, whatever the target says)."""
    archived = archived or gone_since(target) is not None
    return resume_plan(target.agent, target.session_id, target.cwd, target.path,
                       target.session if archived else "")
