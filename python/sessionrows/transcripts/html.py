"""A transcript as one self-contained HTML page: inline CSS, no script, nothing loaded
from the network (a Content-Security-Policy says so to the browser too), light and
dark after the reader's setting, printable.

Every text from a log is escaped here or rendered by markdown-it-py with raw HTML
off, images off and links kept only for http and https (with rel="noopener
noreferrer"); code is coloured by Pygments, whose output is escaped text in spans."""

from __future__ import annotations

import difflib
import html
from typing import Dict, List, Optional, TextIO

from .. import __version__
from ..sessions import TEXT, TOOL_CALL, TOOL_RESULT
from ..terminal import counted
from .model import Entry, Page, size_text
from .tools import ToolView

# Code longer than this is shown without colours (Pygments takes about a second per MB).
HIGHLIGHT_CHARS = 20_000
# A message longer than this is shown as it is (markdown-it-py lays out about 1 MB a second).
MARKDOWN_CHARS = 200_000
# An edit this large is shown as its old and new text rather than a computed diff.
DIFF_CHARS = 100_000
ROLE_CLASSES = {"user": "user", "assistant": "assistant", "tool": "tool", "developer": "developer",
                "system": "system"}

esc = html.escape


# -- Pygments ------------------------------------------------------------------------

_LEXERS: Dict[str, object] = {}


def _lexer(name: str = "", filename: str = ""):
    """A Pygments lexer by language name or file name (by its extension), cached;
    None if there is none."""
    base = filename.rsplit("/", 1)[-1]
    key = ("n:" + name.lower()) if name else ("f:" + ("*" + base[base.rfind("."):] if "." in base else base)).lower()
    if key in _LEXERS:
        return _LEXERS[key]
    from pygments.lexers import get_lexer_by_name, get_lexer_for_filename
    from pygments.util import ClassNotFound
    try:
        lexer = get_lexer_by_name(name) if name else get_lexer_for_filename(base)
    except ClassNotFound:
        lexer = None
    except Exception:      # a lexer whose plugin fails to load
        lexer = None
    if len(_LEXERS) < 500:
        _LEXERS[key] = lexer
    return lexer


_CLASSES: Dict[object, str] = {}


def _css_class(ttype) -> str:
    """The class of a token type: its own short name, else its nearest parent's (the
    classes that the style sheet colours)."""
    cls = _CLASSES.get(ttype)
    if cls is None:
        from pygments.token import STANDARD_TYPES
        t = ttype
        while t not in STANDARD_TYPES and t.parent is not None:
            t = t.parent
        cls = _CLASSES[ttype] = STANDARD_TYPES.get(t, "")
    return cls


def highlighted(code: str, lexer) -> str:
    """`code` as escaped HTML, in coloured spans when a lexer is given and it is not
    too long. (Pygments' own HTML formatter does the same at three times the cost.)"""
    if lexer is None or len(code) > HIGHLIGHT_CHARS:
        return esc(code, False)
    parts = []
    last, run = "", []
    for ttype, value in lexer.get_tokens(code):   # type: ignore[attr-defined]
        cls = _css_class(ttype)
        if cls == "w":
            cls = ""
        if cls != last and run:
            text = esc("".join(run), False)
            parts.append('<span class="%s">%s</span>' % (last, text) if last else text)
            run = []
        last = cls
        run.append(value)
    if run:
        text = esc("".join(run), False)
        parts.append('<span class="%s">%s</span>' % (last, text) if last else text)
    return "".join(parts)


def code_block(code: str, lexer=None, cls: str = "") -> str:
    body = highlighted(code, lexer)
    if body.endswith("\n"):
        body = body[:-1]
    return '<pre class="hl%s"><code>%s</code></pre>\n' % (" " + cls if cls else "", body)


def _style_defs(style: str, fallback: str) -> str:
    from pygments.formatters import HtmlFormatter
    from pygments.util import ClassNotFound
    try:
        formatter = HtmlFormatter(style=style)
    except ClassNotFound:
        formatter = HtmlFormatter(style=fallback)
    lines = formatter.get_style_defs(".hl").splitlines()
    # Only the token colours: the page sets the blocks' own background and spacing.
    return "\n".join(line for line in lines if line.startswith(".hl .") and not line.startswith(".hl .hll"))


# -- Markdown ------------------------------------------------------------------------

_MD = None


def _http_only(url: str) -> bool:
    return url.strip().lower().startswith(("http://", "https://"))


def _link_open(self, tokens, idx, options, env):
    tokens[idx].attrSet("rel", "noopener noreferrer")
    return self.renderToken(tokens, idx, options, env)


def _fence(code: str, lang: str, attrs: str) -> str:
    lexer = _lexer(lang.split()[0]) if lang.strip() else None
    return code_block(code, lexer) if lexer is not None else ""


def markdown() -> "object":
    """The Markdown renderer of messages: CommonMark with tables and strikethrough,
    raw HTML and images off, links for http and https only."""
    global _MD
    if _MD is None:
        from markdown_it import MarkdownIt
        md = MarkdownIt("commonmark", {"html": False, "highlight": _fence})
        md.enable(["table", "strikethrough"])
        md.disable("image")
        md.validateLink = _http_only     # type: ignore[method-assign]
        md.add_render_rule("link_open", _link_open)
        _MD = md
    return _MD


def message_html(text: str) -> str:
    if len(text) > MARKDOWN_CHARS:
        return _collapsed("<pre>%s</pre>\n" % esc(text, False), "a message too long to lay out", text)
    return markdown().render(text)   # type: ignore[attr-defined]


# -- the page -------------------------------------------------------------------------

CSS = """
:root { color-scheme: light dark; --bg: #ffffff; --fg: #1f2328; --muted: #636c76; --line: #d0d7de;
  --code: #f6f8fa; --user: #1a7f37; --assistant: #0969da; --tool: #8250df; --injected: #9a6700;
  --link: #0969da; --add: #e6ffec; --del: #ffebe9; }
@media (prefers-color-scheme: dark) {
  :root { --bg: #0d1117; --fg: #e6edf3; --muted: #8d96a0; --line: #30363d; --code: #161b22;
    --user: #3fb950; --assistant: #58a6ff; --tool: #bc8cff; --injected: #d29922; --link: #58a6ff;
    --add: #12261e; --del: #25171c; }
}
* { box-sizing: border-box; }
html { background: var(--bg); color: var(--fg); }
body { max-width: 62rem; margin: 0 auto; padding: 1.5rem 1rem 4rem;
  font: 15px/1.55 system-ui, -apple-system, "Segoe UI", Roboto, "Noto Sans", sans-serif; }
a { color: var(--link); }
h1 { font-size: 1.6rem; line-height: 1.25; margin: 0 0 .6rem; overflow-wrap: anywhere; }
h2 { font-size: 1.25rem; margin: 2.5rem 0 .5rem; padding-top: .8rem; border-top: 2px solid var(--line); }
code, pre, .mono { font-family: ui-monospace, SFMono-Regular, Menlo, Consolas, "Liberation Mono", monospace;
  font-size: .88em; }
pre { background: var(--code); border: 1px solid var(--line); border-radius: 6px; padding: .6rem .75rem;
  margin: .5rem 0; overflow-x: auto; white-space: pre-wrap; overflow-wrap: anywhere; line-height: 1.45; }
:not(pre) > code { background: var(--code); border-radius: 4px; padding: .1em .3em; overflow-wrap: anywhere; }
dl.facts { display: grid; grid-template-columns: max-content 1fr; gap: .15rem 1rem; margin: 0 0 1rem;
  color: var(--muted); font-size: .9rem; }
dl.facts dt { font-weight: 600; }
dl.facts dd { margin: 0; overflow-wrap: anywhere; }
.row { border-left: 3px solid var(--line); padding: .1rem 0 .1rem .9rem; margin: 1.1rem 0; }
.row.user { border-color: var(--user); }
.row.assistant { border-color: var(--assistant); }
.row.call, .row.result { border-color: var(--tool); }
.row.injected { border-color: var(--injected); border-left-style: dashed; }
.meta { color: var(--muted); font-size: .82rem; display: flex; gap: .6rem; align-items: baseline; flex-wrap: wrap; }
.meta .who { font-weight: 650; color: var(--fg); }
.user > .meta .who { color: var(--user); }
.assistant > .meta .who { color: var(--assistant); }
.call > .meta .who, .result > .meta .who { color: var(--tool); }
.meta a.n { color: var(--muted); text-decoration: none; }
.meta a.n:hover { text-decoration: underline; }
.md > :first-child { margin-top: .3rem; }
.md > :last-child { margin-bottom: .3rem; }
.md h1, .md h2, .md h3, .md h4, .md h5, .md h6 { font-size: 1.05rem; margin: 1rem 0 .4rem; border: 0; padding: 0; }
.md table { border-collapse: collapse; display: block; overflow-x: auto; }
.md th, .md td { border: 1px solid var(--line); padding: .25rem .6rem; }
.md blockquote { margin: .5rem 0; padding: 0 .9rem; color: var(--muted); border-left: 3px solid var(--line); }
.md img { max-width: 100%; }
.note { margin: .3rem 0; }
.prompt { border-left: 2px solid var(--line); padding-left: .8rem; }
.fields { color: var(--muted); font-size: .85rem; margin: .2rem 0; }
.fields > span + span::before { content: "\\00a0\\00b7\\00a0"; }
.file { font-weight: 600; margin: .3rem 0 0; overflow-wrap: anywhere; }
details { margin: .4rem 0; }
summary { cursor: pointer; color: var(--muted); font-size: .88rem; }
.sub { margin: .4rem 0; font-size: .92rem; }
.left-out { color: var(--muted); font-size: .85rem; }
section.project h2 { margin: 1.6rem 0 .1rem; padding-top: .6rem; border-top: 1px solid var(--line); }
section.project > .fields { margin: 0 0 .4rem; overflow-wrap: anywhere; }
table.sessions { border-collapse: collapse; width: 100%; table-layout: fixed; }
table.sessions td { padding: .15rem .8rem .15rem 0; vertical-align: top; text-align: left; overflow-wrap: anywhere; }
table.sessions td:first-child { width: 9.5rem; white-space: nowrap; color: var(--muted); }
table.sessions td:last-child { width: 13rem; }
footer { margin-top: 3rem; color: var(--muted); font-size: .8rem; }
.hl .gi { background: var(--add); }
.hl .gd { background: var(--del); }
@media print {
  html { background: #fff; color: #000; }
  body { max-width: none; padding: 0; font-size: 11pt; }
  pre { white-space: pre-wrap; border-color: #bbb; break-inside: auto; }
  .row { break-inside: avoid-page; }
  a { color: inherit; }
  .meta a.n { display: none; }
}
"""

_CSS_FULL: Optional[str] = None


def css() -> str:
    global _CSS_FULL
    if _CSS_FULL is None:
        _CSS_FULL = (CSS + _style_defs("default", "default") + "\n@media (prefers-color-scheme: dark) {\n"
                     + _style_defs("github-dark", "monokai") + "\n}\n@media print {\n"
                     + _style_defs("default", "default") + "\n}\n")
    return _CSS_FULL


HEAD = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'">
<meta name="referrer" content="no-referrer">
<meta name="generator" content="sessionrows %s">
<title>%s</title>
<style>%s</style>
</head>
<body>
"""


def page_start(title: str) -> str:
    return HEAD % (esc(__version__), esc(title), css())


def page_end() -> str:
    return '<footer>Written by sessionrows %s.</footer>\n</body>\n</html>\n' % esc(__version__)


def _facts(page: Page, main: bool) -> str:
    rows = []
    if main:
        rows.append(("agent", esc(page.agent)))
    if page.session_id and main:
        rows.append(("session", "<code>%s</code>" % esc(page.session_id)))
    if page.agent_id:
        rows.append(("sub-agent", "<code>%s</code>" % esc(page.agent_id)))
    if page.cwd and main:
        rows.append(("directory", "<code>%s</code>" % esc(page.cwd)))
    if page.first_ts:
        rows.append(("time", '<time datetime="%s">%s</time> to <time datetime="%s">%s</time> (%s)' % (
            esc(page.first_ts), esc(page.first), esc(page.last_ts), esc(page.last), esc(page.zone))))
    shown = len(page.entries)
    rows.append(("rows", "%d shown" % shown + (", %d injected left out" % page.left_out if page.left_out else "")))
    if page.resume and main:
        rows.append(("resume", "<code>%s</code>" % esc(page.resume)))
    rows.append(("log", "<code>%s</code>" % esc(page.path)))
    return '<dl class="facts">\n%s</dl>\n' % "".join("<dt>%s</dt><dd>%s</dd>\n" % r for r in rows)


def _fields(notes) -> str:
    if not notes:
        return ""
    return '<div class="fields">%s</div>\n' % "".join(
        '<span>%s: <span class="mono">%s</span></span>' % (esc(k), esc(v)) for k, v in notes)


def _diff(path: str, old: str, new: str) -> str:
    if len(old) + len(new) > DIFF_CHARS:
        lines = ["-" + line for line in old.split("\n")] + ["+" + line for line in new.split("\n")]
    else:
        lines = list(difflib.unified_diff(old.split("\n"), new.split("\n"), lineterm="", n=3))[2:]
    return "\n".join(lines)


def _tool_call(e: Entry) -> str:
    v: Optional[ToolView] = e.view
    if v is None:
        return "<pre>%s</pre>\n" % esc(e.text, False)
    notes = [(k, val) for k, val in v.notes if k != "description"]
    description = next((val for k, val in v.notes if k == "description"), "")
    out = ['<p class="note">%s</p>\n' % esc(description)] if description else []
    if v.form == "command":
        out.append(code_block(v.command, _lexer("bash"), "sh"))
    elif v.form == "edit":
        out.append('<p class="file mono">%s</p>\n' % esc(v.path))
        for old, new in v.edits:
            out.append(code_block(_diff(v.path, old, new), _lexer("diff"), "diff"))
    elif v.form == "write":
        out.append('<p class="file mono">%s</p>\n' % esc(v.path))
        block = code_block(v.content, _lexer(filename=v.path))
        out.append(_collapsed(block, "content", v.content) if _is_long(v.content) else block)
    elif v.form == "patch":
        block = code_block(v.content, _lexer("diff"), "diff")
        out.append(_collapsed(block, "patch", v.content) if _is_long(v.content) else block)
    elif v.form == "task":
        block = '<div class="md prompt">\n%s</div>\n' % message_html(v.content)
        out.append(_collapsed(block, "prompt", v.content) if _is_long(v.content) else block)
    out.append(_fields(notes))
    return "".join(out)


def _is_long(text: str) -> bool:
    from .model import LONG_CHARS, LONG_LINES
    return len(text) > LONG_CHARS or text.count("\n") >= LONG_LINES


def _collapsed(inner: str, what: str, text: str) -> str:
    lines = text.count("\n") + 1 if text else 0
    return "<details><summary>%s: %d line%s, %s</summary>\n%s</details>\n" % (
        what, lines, "" if lines == 1 else "s", size_text(len(text.encode())), inner)


def _entry(e: Entry, parts: List[str]) -> None:
    if e.injected:
        cls = "injected"
    elif e.kind == TOOL_CALL:
        cls = "call"
    elif e.kind == TOOL_RESULT:
        cls = "result"
    else:
        cls = ROLE_CLASSES.get(e.role, "other")
    who = '<span class="who">%s</span>' % esc(e.label)
    if e.kind in (TOOL_CALL, TOOL_RESULT) and e.tool:
        who += ' <code>%s</code>' % esc(e.tool)
    parts.append('<section class="row %s" id="%s">\n<div class="meta"><a class="n" href="#%s">#%d</a> %s '
                 '<time datetime="%s">%s</time>%s</div>\n' % (
                     cls, e.anchor, e.anchor, e.row, who, esc(e.timestamp), esc(e.when),
                     " <span>injected</span>" if e.injected else ""))
    if e.injected:
        parts.append(_collapsed("<pre>%s</pre>\n" % esc(e.text, False), "injected text", e.text))
    elif e.kind == TOOL_CALL:
        parts.append(_tool_call(e))
    elif e.kind == TOOL_RESULT or e.role == "tool":
        block = "<pre>%s</pre>\n" % esc(e.text, False)
        parts.append(_collapsed(block, "output", e.text) if e.long else block)
    elif e.kind == TEXT:
        parts.append('<div class="md">\n%s</div>\n' % message_html(e.text))
    else:
        parts.append("<pre>%s</pre>\n" % esc(e.text, False))
    for sub in e.starts:
        parts.append('<p class="sub">Sub-agent: <a href="#%s">%s</a> (%s)</p>\n' % (
            sub.anchor, esc(sub.title or sub.agent_id), counted(len(sub.entries), "row")))
    parts.append("</section>\n")


def write_rows(page: Page, out: TextIO) -> None:
    for e in page.entries:
        parts: List[str] = []
        _entry(e, parts)
        out.write("".join(parts))


def write_page(page: Page, out: TextIO) -> None:
    """Writes the whole page of a session, its sub-agents' sections after its rows."""
    title = page.title or "(untitled)"
    out.write(page_start(title + " \u00b7 " + page.agent + " session"))
    out.write("<header>\n<h1>%s</h1>\n%s</header>\n<main>\n" % (esc(title), _facts(page, True)))
    if not page.entries:
        out.write('<p class="left-out">No rows to show.</p>\n')
    write_rows(page, out)
    for sub in page.subagents:
        out.write('<section class="agent" id="%s">\n<h2>Sub-agent %s</h2>\n' % (sub.anchor, esc(sub.agent_id)))
        if sub.title:
            out.write('<p class="note"><strong>%s</strong></p>\n' % esc(sub.title))
        if sub.started_by is not None:
            out.write('<p class="note">Started by <a href="#%s">row %d</a>.</p>\n' % (
                sub.started_by.anchor, sub.started_by.row))
        out.write(_facts(sub, False))
        write_rows(sub, out)
        out.write("</section>\n")
    out.write("</main>\n")
    out.write(page_end())
