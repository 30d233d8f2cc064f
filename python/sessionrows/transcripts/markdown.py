"""A transcript as Markdown (CommonMark, with the `<details>` blocks and anchors that
GitHub and most Markdown viewers show).

Messages stay the Markdown they are, except what would reach beyond them: raw HTML
in a message is escaped so that it shows as text, an image shows as a link to it
(nothing is loaded from wherever it points), a link or autolink to anything but http,
https or a place without a scheme (javascript:, vbscript:, data:, however spelled) is
escaped so that it shows as text, as the HTML page shows it, and a code fence a
message leaves open is closed at its end. Everything else from a log goes into code spans and fenced
blocks longer than any run of backticks inside, or is escaped as text."""

from __future__ import annotations

import html
import re
from urllib.parse import unquote
from typing import List, Optional, TextIO

from .. import __version__
from ..sessions import TEXT, TOOL_CALL, TOOL_RESULT
from .html import _diff, _is_long
from ..terminal import counted
from .model import Entry, Page, size_text

_INLINE = re.compile(r"([\\`*_\[\]<>&~#|])")
_ORDERED = re.compile(r"^(\d+)([.)])")
_BLOCK_START = set("-+=>!:.")
_BACKTICKS = re.compile(r"`+")
_FENCE_LINE = re.compile(r"^ {0,3}(`{3,}|~{3,})")


def text(s: str) -> str:
    """Inline text that shows as it is, on one line: the marks that mean something
    inline are escaped, and so is a first character that could start a block."""
    s = _INLINE.sub(r"\\\1", " ".join(s.split()))
    s = _ORDERED.sub(r"\1\\\2", s, 1)
    return "\\" + s if s[:1] in _BLOCK_START else s


def code(s: str) -> str:
    """An inline code span of `s` (one line), fenced by more backticks than it holds."""
    s = " ".join(s.split("\n"))
    if not s:
        return ""
    longest = max((len(m) for m in _BACKTICKS.findall(s)), default=0)
    ticks = "`" * (longest + 1)
    pad = " " if s.startswith("`") or s.endswith("`") or (s.startswith(" ") and s.endswith(" ")) else ""
    return ticks + pad + s + pad + ticks


def fenced(body: str, info: str = "text") -> str:
    """A fenced code block of `body`, its fence longer than any run of backticks in it."""
    if body.endswith("\n"):
        body = body[:-1]
    longest = max((len(m) for m in _BACKTICKS.findall(body)), default=0)
    fence = "`" * max(3, longest + 1)
    return "%s%s\n%s\n%s\n" % (fence, info, body, fence)


_PARSER = None


def _parser():
    """CommonMark as viewers read it, raw HTML and links to anything included: to
    find what in a message would be taken as HTML or as a link."""
    global _PARSER
    if _PARSER is None:
        from markdown_it import MarkdownIt
        _PARSER = MarkdownIt("commonmark").enable(["table", "strikethrough"])
        _PARSER.validateLink = lambda url: True      # type: ignore[method-assign]
    return _PARSER


_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.-]*):")
_HIDDEN = re.compile(r"[\x00-\x20\x7f]+")          # what browsers drop from a URL: tabs, new lines, controls


def unsafe_link(url: str) -> bool:
    """Whether a link's destination has a scheme other than http and https, read as
    a browser would: character references and %-escapes decoded, white space and
    control characters dropped, in any case (`JaVa&#x09;Script:`)."""
    url = _HIDDEN.sub("", unquote(html.unescape(url)))
    m = _SCHEME.match(url)
    return m is not None and m.group(1).lower() not in ("http", "https")


# A link's destination after its text, an autolink, a reference's definition.
_DESTINATION = re.compile(r"(?<!\\)\]\([ \t]*\n?[ \t]*(<(?:[^<>\n\\]|\\.)*>|(?:[^\s()\\]|\\.|\((?:[^\s()\\]|\\.)*\))+)")
_AUTOLINK = re.compile(r"(?<!\\)<([A-Za-z][A-Za-z0-9+.-]{1,31}:[^<>\s]*)>")
_DEFINITION = re.compile(r"^([ \t>]*)\[((?:[^\\\[\]]|\\.){1,999})\]:[ \t]*\n?[ \t>]*(<[^<>\n]*>|\S+)", re.M)


def _inert_links(s: str) -> str:
    """`s` with the links to unsafe places escaped: the `](` of a link, the `<` of an
    autolink, the `[` of a reference's definition."""
    s = _DESTINATION.sub(lambda m: "\\" + m.group(0) if unsafe_link(m.group(1).strip("<>")) else m.group(0), s)
    s = _AUTOLINK.sub(lambda m: "\\" + m.group(0) if unsafe_link(m.group(1)) else m.group(0), s)
    return _DEFINITION.sub(lambda m: m.group(1) + "\\" + m.group(0)[len(m.group(1)):]
                           if unsafe_link(m.group(3).strip("<>")) else m.group(0), s)


def _no_links(s: str) -> str:
    """`s` with no link, autolink or HTML left: every backslash, [ and < shown as it is."""
    return s.replace("\\", "\\\\").replace("<", "\\<").replace("[", "\\[")


def message(s: str) -> str:
    """A message as Markdown that cannot reach beyond itself."""
    s = s.rstrip("\n")
    if "<" not in s and "`" not in s and "~" not in s and "![" not in s and "](" not in s and "]:" not in s:
        return s
    for _ in range(16):
        tokens = _parser().parse(s)
        escaped = _escape_html(s.split("\n"), tokens)
        if escaped is None:
            break
        s = escaped          # what was HTML is text now, and may read differently: again
    else:
        s = _no_links(s)
        tokens = _parser().parse(s)
    lines = s.split("\n")
    last = tokens[-1] if tokens else None
    if last is not None and last.type == "fence" and last.level == 0 and last.map and last.map[1] >= len(lines):
        closing = _FENCE_LINE.match(lines[-1]) if last.map[1] - last.map[0] > 1 else None
        if closing is None or closing.group(1)[0] != last.markup[0] or len(closing.group(1)) < len(last.markup) \
                or lines[-1].strip() != closing.group(1):
            lines.append(last.markup)
    return "\n".join(lines)


def _escape_html(lines: List[str], tokens) -> Optional[str]:
    """The lines with what the tokens show to be raw HTML, an image or a link to an
    unsafe place escaped, or None if there is none."""
    if any(c.type == "link_open" and unsafe_link(c.attrGet("href") or "")
           for t in tokens if t.type == "inline" and t.children for c in t.children):
        whole = "\n".join(lines)
        inert = _inert_links(whole)
        return inert if inert != whole else _no_links(whole)     # the HTML, if any, once this is read again
    changed = False
    for t in tokens:
        if t.type == "html_block" and t.map:
            for i in range(t.map[0], min(t.map[1], len(lines))):
                lines[i] = lines[i].replace("<", "\\<")
            changed = True
        elif t.type == "inline" and t.map and t.children:
            tags = {c.content for c in t.children if c.type == "html_inline"}
            if any(c.type == "image" for c in t.children):
                tags.add("![")      # an image would be loaded from wherever it points: it shows as a link
            for i in range(t.map[0], min(t.map[1], len(lines))):
                for tag in tags:
                    lines[i] = lines[i].replace(tag, "\\" + tag if tag != "![" else "!\\[")
            changed = changed or bool(tags)
    return "\n".join(lines) if changed else None


def _details(what: str, body: str, s: str) -> str:
    lines = s.count("\n") + 1 if s else 0
    return "<details><summary>%s: %d line%s, %s</summary>\n\n%s\n</details>\n" % (
        what, lines, "" if lines == 1 else "s", size_text(len(s.encode())), body)


def _tool_call(e: Entry) -> str:
    v = e.view
    if v is None:
        return fenced(e.text)
    out = []
    for key, value in v.notes:
        if key == "description":
            out.append(text(value) + "\n\n")
    if v.form == "command":
        out.append(fenced(v.command, "sh"))
    elif v.form == "edit":
        out.append(code(v.path) + "\n\n")
        out.extend(fenced(_diff(v.path, old, new), "diff") for old, new in v.edits)
    elif v.form == "write":
        out.append(code(v.path) + "\n\n")
        block = fenced(v.content, _info_for(v.path))
        out.append(_details("content", block, v.content) if _is_long(v.content) else block)
    elif v.form == "patch":
        block = fenced(v.content, "diff")
        out.append(_details("patch", block, v.content) if _is_long(v.content) else block)
    elif v.form == "task":
        block = fenced(v.content)
        out.append(_details("prompt", block, v.content) if _is_long(v.content) else block)
    others = [(k, val) for k, val in v.notes if k != "description"]
    if others:
        out.append("\n" + " \u00b7 ".join("%s: %s" % (text(k), code(val) or "\u2014") for k, val in others) + "\n")
    return "".join(out)


_EXTENSIONS = {"py": "python", "js": "javascript", "ts": "typescript", "tsx": "tsx", "jsx": "jsx", "rs": "rust",
               "go": "go", "rb": "ruby", "sh": "sh", "md": "markdown", "json": "json", "yml": "yaml",
               "yaml": "yaml", "toml": "toml", "html": "html", "css": "css", "c": "c", "h": "c", "cpp": "cpp",
               "java": "java", "kt": "kotlin", "swift": "swift", "sql": "sql", "ex": "elixir", "exs": "elixir"}


def _info_for(path: str) -> str:
    ext = path.rsplit(".", 1)[-1].lower() if "." in path.rsplit("/", 1)[-1] else ""
    return _EXTENSIONS.get(ext, "text")


def _entry(e: Entry, out: List[str]) -> None:
    label = text(e.label) + (" " + code(e.tool) if e.tool and e.kind in (TOOL_CALL, TOOL_RESULT) else "")
    out.append('### <a id="%s"></a>%s \u00b7 %s%s\n\n' % (e.anchor, label, text(e.when),
                                                           " \u00b7 injected" if e.injected else ""))
    if e.injected:
        out.append(_details("injected text", fenced(e.text), e.text))
    elif e.kind == TOOL_CALL:
        out.append(_tool_call(e))
    elif e.kind == TOOL_RESULT or e.role == "tool":
        block = fenced(e.text)
        out.append(_details("output", block, e.text) if e.long else block)
    elif e.kind == TEXT:
        out.append(message(e.text) + "\n")
    else:
        out.append(fenced(e.text))
    for sub in e.starts:
        out.append("\nSub-agent: [%s](#%s) (%s)\n" % (text(sub.title or sub.agent_id), sub.anchor,
                                                        counted(len(sub.entries), "row")))
    out.append("\n")


def _facts(page: Page, main: bool) -> str:
    rows = []
    if main:
        rows.append(("Agent", text(page.agent)))
        if page.session_id:
            rows.append(("Session", code(page.session_id)))
    if page.agent_id:
        rows.append(("Sub-agent", code(page.agent_id)))
    if page.cwd and main:
        rows.append(("Directory", code(page.cwd)))
    if page.first_ts:
        rows.append(("Time", "%s to %s (%s)" % (text(page.first), text(page.last), page.zone)))
    rows.append(("Rows", "%d shown" % len(page.entries) +
                 (", %d injected left out" % page.left_out if page.left_out else "")))
    if page.resume and main:
        rows.append(("Resume", code(page.resume)))
    rows.append(("Log", code(page.path)))
    return "".join("- **%s:** %s\n" % r for r in rows) + "\n"


def write_page(page: Page, out: TextIO) -> None:
    """Writes the whole transcript; each sub-agent's conversation is a section after
    the session's rows."""
    out.write("# %s\n\n" % text(page.title or "(untitled)"))
    out.write(_facts(page, True))
    for e in page.entries:
        parts: List[str] = []
        _entry(e, parts)
        out.write("".join(parts))
    for sub in page.subagents:
        out.write('## <a id="%s"></a>Sub-agent %s\n\n' % (sub.anchor, code(sub.agent_id)))
        if sub.title:
            out.write("**%s**\n\n" % text(sub.title))
        if sub.started_by is not None:
            out.write("Started by [row %d](#%s).\n\n" % (sub.started_by.row, sub.started_by.anchor))
        out.write(_facts(sub, False))
        for e in sub.entries:
            parts = []
            _entry(e, parts)
            out.write("".join(parts))
    out.write("---\n\n*Written by sessionrows %s.*\n" % __version__)
