"""What a transcript page shows, built from a `commands.Transcript`: the session's
facts, each row with its label, local time and anchor, tool calls in a readable form
(`tools`), injected text left out or marked, and the sub-agents' transcripts with the
row that started each. Every text from the log goes through `redact` (when given),
loses its terminal escape sequences and has its other control characters written as
visible escapes; the writers then only escape for their format."""

from __future__ import annotations

import datetime as dt
import os
import re
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence

from ..commands import CommandError, Transcript, transcript
from ..agents import agent
from ..discovery import LogFile
from ..sessions import INJECTED, SUBAGENT, TEXT, TOOL_CALL, TOOL_RESULT, first_sentence, role_name
from ..terminal import clean
from .tools import ToolView, raw_inputs, tool_view

Redact = Callable[[str], str]

# Terminal escape sequences (colours, cursor moves, window titles): a reader wants the
# text they decorate, not their codes.
_ESCAPES = re.compile(r"\x1b(?:\[[0-?]*[ -/]*[@-~]|\][^\x07\x1b]*(?:\x07|\x1b\\)?|[PX^_][^\x1b]*(?:\x1b\\)?|[@-Z\\-_])")
# What clean() would change: control characters (tab and line feed aside) and the
# invisible controls of bidirectional text.
_UNSAFE = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]")
# A result this long is shown collapsed, with its size.
LONG_LINES = 25
LONG_CHARS = 3000
SUBAGENT_TOOLS = ("Task", "Agent")
_SAFE_ID = re.compile(r"[^A-Za-z0-9_-]")
_AGENT_ID_LINE = re.compile(r"^agentId: ([0-9A-Za-z_-]+)", re.M)


def readable(text: str, redact: Optional[Redact] = None) -> str:
    """A text from a log as a page may show it: redacted, without terminal escape
    sequences, line ends as line feeds, other control characters as visible escapes."""
    if redact is not None:
        text = redact(text)
    if "\x1b" in text:
        text = _ESCAPES.sub("", text)
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    return clean(text) if _UNSAFE.search(text) else text


def local_time(stamp: str) -> Optional[dt.datetime]:
    if not stamp:
        return None
    try:
        when = dt.datetime.fromisoformat(stamp.replace("Z", "+00:00"))
        return when.astimezone() if when.tzinfo is not None else when
    except (ValueError, OverflowError, OSError):
        return None


def when_text(stamp: str, with_date: bool = True) -> str:
    when = local_time(stamp)
    if when is None:
        return clean(stamp, True)
    return when.strftime("%Y-%m-%d %H:%M:%S" if with_date else "%H:%M:%S")


def zone_name(stamp: str = "") -> str:
    """The local time zone at `stamp` (else now), as "UTC" or "UTC+01:00"."""
    when = local_time(stamp) or dt.datetime.now().astimezone()
    offset = when.utcoffset() or dt.timedelta(0)
    if not offset:
        return "UTC"
    minutes = int(offset.total_seconds() // 60)
    return "UTC%s%02d:%02d" % ("+" if minutes >= 0 else "-", abs(minutes) // 60, abs(minutes) % 60)


def size_text(n: int) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return ("%d %s" if unit == "B" else "%.1f %s") % (n, unit)
        n /= 1000  # type: ignore[assignment]
    return ""


@dataclass
class Entry:
    """One row as a page shows it."""

    row: int
    anchor: str             # "row-42", or "agent-ID-row-42" in a sub-agent's section
    role: str
    kind: int
    label: str              # "user", "tool call Bash", ...
    tool: str
    timestamp: str          # as in the log (UTC)
    when: str               # local time, with the date when it differs from the row before's
    text: str               # readable (see `readable`)
    injected: bool
    subagent_row: bool      # a row of a sub-agent's conversation inside the main log
    view: Optional[ToolView] = None         # a tool call's input, in a form to show
    starts: List["Page"] = field(default_factory=list)   # sub-agents this row started

    @property
    def lines(self) -> int:
        return self.text.count("\n") + 1 if self.text else 0

    @property
    def long(self) -> bool:
        return len(self.text) > LONG_CHARS or self.lines > LONG_LINES

    @property
    def size(self) -> str:
        return "%d line%s, %s" % (self.lines, "" if self.lines == 1 else "s", size_text(len(self.text.encode())))


@dataclass
class Page:
    """A session (or a sub-agent's conversation) as a page shows it."""

    title: str
    agent: str
    session_id: str
    agent_id: str
    cwd: str
    path: str
    resume: str
    first: str              # local times
    last: str
    first_ts: str
    last_ts: str
    zone: str
    entries: List[Entry]
    left_out: int           # injected rows left out
    anchor: str = ""        # "agent-ID" for a sub-agent's section
    subagents: List["Page"] = field(default_factory=list)
    started_by: Optional[Entry] = None     # for a sub-agent: the row that started it

    @property
    def session(self) -> str:
        return "agent-" + self.agent_id if self.agent_id else self.session_id


def _agent_id_of(t: Transcript) -> str:
    if t.agent_id:
        return t.agent_id
    name = os.path.basename(t.path)
    prefix = agent(t.agent).subagent_prefix
    return name[len(prefix):-len(".jsonl")] if prefix and name.startswith(prefix) and name.endswith(".jsonl") else ""


def subagent_logs(t: Transcript) -> List[LogFile]:
    """The sub-agents' logs of a session whose assistant writes them beside its log
    (Claude Code: `SESSION/subagents/*.jsonl`): those the index knows, and those in
    that folder."""
    where = agent(t.agent).subagent_folder
    if not where or t.agent_id or not t.path.endswith(".jsonl"):
        return []
    paths = {os.path.abspath(r.path) for r in t.subagents}
    folder = os.path.join(os.path.dirname(t.path), where.format(stem=os.path.basename(t.path)[:-len(".jsonl")],
                                                                session=t.session_id))
    try:
        with os.scandir(folder) as it:
            paths.update(os.path.abspath(e.path) for e in it if e.name.endswith(".jsonl") and e.is_file())
    except OSError:
        pass
    return [LogFile(p, 0, 0, 0, t.agent) for p in sorted(paths)]


def read_subagents(t: Transcript) -> List[Transcript]:
    out = []
    for log in subagent_logs(t):
        try:
            out.append(transcript(log))
        except CommandError:
            continue
    return out


def _label(role: str, kind: int, flags: int, in_subagent: bool) -> str:
    """Who speaks, as a row's heading says it (a tool's name is shown beside)."""
    if in_subagent:
        flags |= SUBAGENT
    if kind in (TOOL_CALL, TOOL_RESULT):
        name = "tool call" if kind == TOOL_CALL else "tool result"
        return name + (" (sub-agent)" if flags & SUBAGENT and not in_subagent else "")
    name = role_name(role, kind, flags)
    return name.replace(" (sub-agent)", "") if in_subagent else name


def build_page(t: Transcript, *, redact: Optional[Redact] = None, context: bool = False,
               subagents: Optional[Sequence[Transcript]] = None, _agent: str = "") -> Page:
    """The page of `t`. `subagents`: the sub-agents' transcripts (None: read the logs
    beside `t`'s; [] for none). Injected rows are left out unless `context`."""
    prefix = "agent-%s-" % _agent if _agent else ""
    entries: List[Entry] = []
    left_out = 0
    day = ""
    pending: List[Entry] = []
    for r in t.rows:
        injected = r.kind in INJECTED
        if injected and not context:
            left_out += 1
            continue
        when = local_time(r.timestamp)
        if when is not None:
            this_day = when.strftime("%Y-%m-%d")
            shown = when.strftime("%H:%M:%S" if this_day == day else "%Y-%m-%d %H:%M:%S")
            day = this_day
        else:
            shown = clean(r.timestamp, True)
        label = _label(r.role, r.kind, r.flags, bool(_agent))
        e = Entry(r.row, "%srow-%d" % (prefix, r.row), r.role, r.kind, clean(label, True), clean(r.tool, True),
                  r.timestamp,
                  shown, readable(r.text, redact), injected, bool(r.flags & SUBAGENT))
        if r.kind == TOOL_CALL:
            e.view = tool_view(r.tool, r.text)
            if e.view is not None and e.view.form == "unsure":
                pending.append(e)
            elif e.view is not None:
                e.view = e.view.cleaned(lambda s: readable(s, redact))
        entries.append(e)
    if pending:
        _settle(t, pending, redact)
    page = Page(readable(t.title, redact) if t.title else "", t.agent, clean(t.session_id, True),
                clean(t.agent_id, True), readable(t.cwd, redact) if t.cwd else "", readable(t.path, redact),
                readable(t.resume, redact) if t.resume else "", when_text(t.first_ts), when_text(t.last_ts),
                t.first_ts, t.last_ts, zone_name(t.first_ts), entries, left_out)
    if _agent:
        return page
    if subagents is None:
        subagents = read_subagents(t)
    _add_subagents(page, t, subagents, redact, context)
    return page


def _settle(t: Transcript, pending: List[Entry], redact: Optional[Redact]) -> None:
    """Tool calls whose text does not tell their fields apart for certain: their
    input as the log line holds it, when it can be found and matches the row."""
    inputs = raw_inputs(t.path, t.agent, {e.timestamp for e in pending})
    calls = {r.row: r for r in t.rows if r.kind == TOOL_CALL}
    for e in pending:
        r = calls[e.row]
        view = tool_view(r.tool, r.text, inputs.get((r.timestamp, r.tool), []))
        e.view = view.cleaned(lambda s: readable(s, redact)) if view is not None and view.form != "unsure" else None


def _first_prompt(t: Transcript) -> str:
    for r in t.rows:
        if r.kind == TEXT and r.role == "user":
            return r.text
    return ""


def _add_subagents(page: Page, t: Transcript, subagents: Sequence[Transcript], redact: Optional[Redact],
                   context: bool) -> None:
    """Each sub-agent's page, tied to the row that started it: the Task call whose
    prompt is the sub-agent's first prompt, else the result that names its id."""
    by_row: Dict[int, Entry] = {e.row: e for e in page.entries}
    taken = set()
    raw = {r.row: r for r in t.rows}
    named: Optional[Dict[str, Entry]] = None      # the results that name a sub-agent's id
    for sub in subagents:
        agent = _agent_id_of(sub) or "%d" % len(page.subagents)
        child = build_page(sub, redact=redact, context=context, subagents=[], _agent=_SAFE_ID.sub("_", agent))
        child.anchor = "agent-" + _SAFE_ID.sub("_", agent)
        if not child.agent_id:
            child.agent_id = clean(agent, True)
        prompt = _first_prompt(sub)
        start = None
        if prompt:
            needle = "prompt: " + prompt
            for e in page.entries:
                if e.row not in taken and e.kind == TOOL_CALL and e.tool in SUBAGENT_TOOLS and \
                        needle in raw[e.row].text:
                    start = e
                    break
        if start is None:
            if named is None:
                named = {}
                for r in t.rows:
                    if r.kind == TOOL_RESULT and r.tool in SUBAGENT_TOOLS and r.row in by_row:
                        for found in _AGENT_ID_LINE.findall(r.text):
                            named.setdefault(found, by_row[r.row])
            start = named.get(agent)
            if start is not None and start.row in taken:
                start = None
        if start is not None:
            taken.add(start.row)
            start.starts.append(child)
            child.started_by = start
        if not child.title:
            child.title = first_sentence(readable(prompt, redact)) if prompt else ""
        page.subagents.append(child)
