"""What the command line prints on a terminal (or into a pipe): hits grouped by
session, a session as a transcript, the counts of `stats`. Every text from a log is
made harmless with `terminal.clean` before it is styled; `Printer` adds colour when
the output wants it. The interface's pager prints a transcript through here too."""

from __future__ import annotations

import os
from typing import Optional, Sequence

from .commands import Hit, SessionRow, Stats, Transcript, group_by_session
from .sessions import REWOUND, THINKING, TOOL_CALL, TOOL_RESULT, role_name
from .terminal import Printer, clean, fit_command, home_relative, marked_spans, size_text
from .when import local_time

ROLE_STYLES = {"user": "bold green", "assistant": "bold blue", "tool": "magenta"}


def print_hits(out: Printer, hits: Sequence[Hit], width: int) -> None:
    """Hits under the heading of their session (title, agent, project, time), each
    with its row, who spoke and its snippet, then the command that resumes the
    session."""
    for group in group_by_session(hits):
        first = group.first
        title = clean(first.title or "(untitled)", True)
        head = [(title, "bold")]
        if first.subagent:
            head.append(("  (sub-agent %s)" % clean(first.subagent, True), "bold"))
        project = os.path.basename(first.cwd.rstrip("/")) if first.cwd else ""
        meta = [first.agent] + ([clean(project, True)] if project else []) + [local_time(first.timestamp)]
        if len(group.hits) > 1:
            meta.append("%d hits" % len(group.hits))
        if first.gone_since:
            meta.append("archived: log gone since %s" % local_time(first.gone_since))
        head.append(("  " + " \u00b7 ".join(m for m in meta if m), "dim"))
        out.line(*head)
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
        where = where or clean(home_relative(first.path), True)
        for line in fit_command(clean(where, True), width - 2):
            out.line(("  " + line, "cyan"))
        out.line("")


def print_transcript(out: Printer, t: Transcript, span: Sequence[SessionRow], width: int,
                     around: Optional[int] = None) -> None:
    """A session's facts (title, agent, id, folder, times, resume command, log, its
    sub-agents' logs), then its rows in `span` with their numbers, speakers and
    times; injected text dimmed and cut to its first line, but at `around`."""
    out.line((clean(t.title or "(untitled)", True), "bold"))
    out.line(("%s session %s" % (t.agent, clean(t.session_id or "(no id)", True)), "dim"),
             ("  sub-agent %s" % clean(t.agent_id, True) if t.agent_id else "", "dim"),
             ("  " + clean(home_relative(t.cwd), True) if t.cwd else "", "dim"))
    if t.first_ts:
        out.line(("%s to %s, %d rows" % (local_time(t.first_ts), local_time(t.last_ts), len(t.rows)), "dim"))
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
        lines = clean(row.text).split("\n")
        if row.injected and not focus and len(lines) > 1:
            lines = [lines[0], "\u2026 (%d more lines)" % (len(lines) - 1)]
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
            gone = "; %d session%s kept only there (their logs are gone), the oldest from %s" % (
                k.sessions, "" if k.sessions == 1 else "s", local_time(k.oldest))
        yield ("archive: %d logs (%s) in %s at %s%s" % (k.logs, size_text(k.bytes), size_text(k.stored),
                                                        clean(home_relative(k.folder), True), gone), "dim")
    for r in s.retention:
        if not r.present:
            continue
        if not r.writes_logs or k is None:
            yield (clean(r.sentence, True), "yellow" if r.warning else "dim")
            continue
        n = k.by_agent.get(r.agent, 0)
        yield ("%s; sessionrows keeps %d session%s it deleted" % (clean(r.sentence, True), n, "" if n == 1 else "s"),
               "yellow" if r.warning else "dim")
