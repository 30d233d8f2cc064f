"""What the command line prints on a terminal (or into a pipe): hits grouped by
session, a session as a transcript, the counts of `stats`. Every text from a log is
made harmless with `terminal.clean` before it is styled; `Printer` adds colour when
the output wants it. The interface's pager prints a transcript through here too."""

from __future__ import annotations

import os
from typing import List, Optional, Sequence

from .commands import Hit, SessionRow, SessionSummary, Stats, Transcript, group_by_session
from .sessions import REWOUND, THINKING, TOOL_CALL, TOOL_RESULT, role_name
from .terminal import (Printer, Segment, clean, counted, fit_command, home_relative, marked_spans, size_text,
                       strip_escapes)
from .when import local_time

ROLE_STYLES = {"user": "bold green", "assistant": "bold blue", "tool": "magenta"}


def _heading(title: str, agent: str, cwd: str, stamp: str, count: str, gone_since: str,
             subagent: str = "") -> Sequence[Segment]:
    """A session's heading: its title, then agent, project, time (its last
    activity), a count and whether its log is gone from its place, dimmed."""
    head: List[Segment] = [(clean(strip_escapes(title) or "(untitled)", True), "bold")]
    if subagent:
        head.append(("  (sub-agent %s)" % clean(subagent, True), "bold"))
    project = os.path.basename(cwd.rstrip("/")) if cwd else ""
    meta = [agent, clean(project, True), local_time(stamp), count]
    if gone_since:
        meta.append("archived: log gone since %s" % local_time(gone_since))
    head.append(("  " + " \u00b7 ".join(m for m in meta if m), "dim"))
    return head


def _resume(out: Printer, command: str, width: int) -> None:
    for line in fit_command(clean(command, True), width - 2):
        out.line(("  " + line, "cyan"))


def print_hits(out: Printer, hits: Sequence[Hit], width: int) -> None:
    """Hits under the heading of their session (title, agent, project, time), each
    with its row, who spoke and its snippet, then the command that resumes the
    session. The time is the session's own (its last activity), whatever the hits."""
    for group in group_by_session(hits):
        first = group.first
        out.line(*_heading(first.title, first.agent, first.cwd, first.last_ts or first.timestamp,
                           "%d hits" % len(group.hits) if len(group.hits) > 1 else "", first.gone_since,
                           first.subagent))
        for hit in group.hits:
            label = role_name(hit.role, hit.kind, hit.flags, hit.tool)
            tag = [("  row %d " % hit.row, "dim"), (clean(label, True), "dim")]
            if hit.injected:
                tag.append((" [injected]", "yellow"))
            if hit.flags & REWOUND:
                tag.append((" [rewound]", "yellow"))
            out.line(*tag)
            out.line("    ", *marked_spans(hit.snippet, hit.matches, "bold red"))
        where = "sessionrows show %s --around %d" % (first.session, first.row) if first.subagent else first.resume
        _resume(out, where or home_relative(first.path), width)
        out.line("")


def print_sessions(out: Printer, sessions: Sequence[SessionSummary], width: int) -> None:
    """Sessions, each a heading (title, agent, project, time of its last activity,
    rows) and the command that resumes it."""
    for s in sessions:
        out.line(*_heading(s.title, s.agent, s.cwd, s.last_ts or s.first_ts, counted(s.rows, "row"), s.gone_since))
        _resume(out, s.resume or "sessionrows show %s" % (s.session or s.path), width)
        out.line("")


def print_transcript(out: Printer, t: Transcript, span: Sequence[SessionRow], width: int,
                     around: Optional[int] = None) -> None:
    """A session's facts (title, agent, id, folder, times, resume command, log, its
    sub-agents' logs), then its rows in `span` with their numbers, speakers and
    times; injected text dimmed and cut to its first line, but at `around`."""
    out.line((clean(strip_escapes(t.title) or "(untitled)", True), "bold"))
    out.line(("%s session %s" % (t.agent, clean(t.session_id or "(no id)", True)), "dim"),
             ("  sub-agent %s" % clean(t.agent_id, True) if t.agent_id else "", "dim"),
             ("  " + clean(home_relative(t.cwd), True) if t.cwd else "", "dim"))
    if t.first_ts:
        out.line(("%s to %s, %s" % (local_time(t.first_ts), local_time(t.last_ts), counted(len(t.rows), "row")), "dim"))
    if t.resume:
        for i, line in enumerate(fit_command(clean(t.resume, True), width - 8)):
            out.line(("resume: " if i == 0 else "        ", "dim"), (line, "cyan"))
    if t.archived:
        gone = " since %s" % local_time(t.gone_since) if t.gone_since else ""
        out.line(("log: %s (gone from there%s; read from the archive: sessionrows restore %s puts it back)"
                  % (clean(t.path, True), gone, clean(t.session or t.path, True)), "dim"))
    else:
        out.line(("log: " + clean(t.path, True), "dim"))
    for agent in t.subagents:
        out.line(("sub-agent: sessionrows show agent-%s" % clean(agent.agent_id, True), "dim"))
    for row in span:
        focus = around == row.row
        out.line("")
        label = role_name(row.role, row.kind, row.flags, row.tool)
        rewound = bool(row.flags & REWOUND)
        quiet = row.injected or rewound or row.kind == THINKING
        style = "dim" if quiet else ROLE_STYLES.get(row.role, "bold")
        out.line((">" if focus else " ", "bold yellow"), ("#%d " % row.row, "dim"), (clean(label, True), style),
                 ("  " + local_time(row.timestamp), "dim"), ("  [injected]" if row.injected else "", "yellow"),
                 ("  [rewound]" if rewound else "", "yellow"))
        lines = clean(strip_escapes(row.text)).split("\n")     # colour codes out, other controls shown
        if row.injected and not focus and len(lines) > 1:
            lines = [lines[0], "\u2026 (%s)" % counted(len(lines) - 1, "more line")]
        body_style = "dim" if quiet or row.kind in (TOOL_CALL, TOOL_RESULT) else ""
        for line in lines:
            out.line(("    " + line, body_style))


def print_stats(out: Printer, s: Stats) -> None:
    """Logs, size, sessions and rows of each agent that has logs, its rows by role,
    and the dates the history spans."""
    shown = {name: a for name, a in s.agents.items() if a.files}
    out.line(("Session logs in " + clean(", ".join(map(home_relative, s.where)), True), "bold"))
    out.line(("%-8s %8s %10s %9s %10s" % ("agent", "logs", "size", "sessions", "rows"), "dim"))
    for name, a in shown.items():
        out.line("%-8s %8d %10s %9d %10d" % (name, a.files, size_text(a.bytes), a.sessions, a.rows))
    for name, a in shown.items():
        if a.roles:
            out.line(("%s rows by role: " % name, "dim"),
                     ", ".join("%s %d" % (clean(role, True), n) for role, n in a.roles.items()))
    firsts = [a.first for a in shown.values() if a.first]
    lasts = [a.last for a in shown.values() if a.last]
    if firsts:
        out.line(("dates: ", "dim"), "%s to %s" % (local_time(min(firsts)), local_time(max(lasts))))
    for line, style in kept_lines(s):
        out.line((line, style))
    if s.fresh:
        total = sum(a.bytes for a in shown.values())
        out.line(("read in %.2f s (%s/s)" % (s.seconds, size_text(total / s.seconds if s.seconds else 0)), "dim"))


def kept_lines(s: Stats):
    """What the archive keeps, and what the assistants' own cleanup means for the
    person: (line, style) pairs."""
    k = s.kept
    if k is not None and k.logs:
        gone = ""
        if k.sessions:
            gone = "; %s kept only there (%s gone), the oldest from %s" % (
                counted(k.sessions, "session"), "its log is" if k.sessions == 1 else "their logs are",
                local_time(k.oldest))
        yield ("archive: %s (%s) in %s at %s%s" % (counted(k.logs, "log"), size_text(k.bytes), size_text(k.stored),
                                                        clean(home_relative(k.folder), True), gone), "dim")
    for r in s.retention:
        if not r.present:
            continue
        if not r.writes_logs or k is None:
            yield (clean(r.sentence, True), "yellow" if r.warning else "dim")
            continue
        n = k.by_agent.get(r.agent, 0)
        yield ("%s; sessionrows keeps %s it deleted" % (clean(r.sentence, True), counted(n, "session")),
               "yellow" if r.warning else "dim")
