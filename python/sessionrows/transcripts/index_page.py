"""The index page of an exported folder: the sessions by project (working directory),
the most recently active project first, and within a project by date, newest first,
each with its title, agent, size and a link to its page."""

from __future__ import annotations

import os
from typing import Dict, List, Sequence, TextIO

from ..terminal import counted
from .model import local_time, zone_name


def _project_name(cwd: str) -> str:
    return os.path.basename(cwd.rstrip("/")) or cwd or "(no working directory)"


def by_project(pages: Sequence) -> List[tuple]:
    """[(cwd, [pages newest first])], the project with the newest session first."""
    groups: Dict[str, list] = {}
    for p in pages:
        groups.setdefault(p.cwd, []).append(p)
    out = []
    for cwd, items in groups.items():
        items.sort(key=lambda p: (p.first_ts or "", p.file), reverse=True)
        out.append((cwd, items))
    out.sort(key=lambda g: (max(p.last_ts or p.first_ts or "" for p in g[1]), g[0]), reverse=True)
    return out


def _when(stamp: str) -> str:
    when = local_time(stamp)
    return when.strftime("%Y-%m-%d %H:%M") if when is not None else ""


def write_index(pages: Sequence, fmt: str, out: TextIO) -> None:
    groups = by_project(pages)
    if fmt == "html":
        _html(groups, len(pages), out)
    else:
        _markdown(groups, len(pages), out)


def _html(groups, count: int, out: TextIO) -> None:
    from .html import esc, page_end, page_start
    out.write(page_start("Sessions"))
    out.write('<header>\n<h1>Sessions</h1>\n<p class="left-out">%d session%s in %d project%s; times in %s.</p>\n'
              '</header>\n<main>\n' % (count, "" if count == 1 else "s", len(groups), "" if len(groups) == 1 else "s",
                                       esc(zone_name())))
    for cwd, items in groups:
        out.write('<section class="project">\n<h2>%s</h2>\n<p class="fields mono">%s</p>\n<table class="sessions">\n'
                  % (esc(_project_name(cwd)), esc(cwd)))
        for p in items:
            extra = " \u00b7 %d sub-agent%s" % (p.subagents, "" if p.subagents == 1 else "s") if p.subagents else ""
            out.write('<tr><td class="mono"><time datetime="%s">%s</time></td><td><a href="%s">%s</a></td>'
                      '<td class="fields">%s \u00b7 %s%s</td></tr>\n' % (
                          esc(p.first_ts), esc(_when(p.first_ts)), esc(p.file), esc(p.title or "(untitled)"),
                          esc(p.agent), counted(p.rows, "row"), extra))
        out.write("</table>\n</section>\n")
    out.write("</main>\n")
    out.write(page_end())


def _markdown(groups, count: int, out: TextIO) -> None:
    from .markdown import code, text
    out.write("# Sessions\n\n%d session%s in %d project%s; times in %s.\n\n" % (
        count, "" if count == 1 else "s", len(groups), "" if len(groups) == 1 else "s", zone_name()))
    for cwd, items in groups:
        out.write("## %s\n\n%s\n\n" % (text(_project_name(cwd)), code(cwd) if cwd else ""))
        for p in items:
            extra = " \u00b7 %d sub-agent%s" % (p.subagents, "" if p.subagents == 1 else "s") if p.subagents else ""
            out.write("- %s \u00b7 [%s](%s) \u00b7 %s \u00b7 %s%s\n" % (
                _when(p.first_ts) or "\u2014", text(p.title or "(untitled)"), p.file, p.agent,
                counted(p.rows, "row"), extra))
        out.write("\n")
