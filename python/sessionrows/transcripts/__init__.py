"""Transcripts for people: a session as Markdown or as one self-contained HTML page,
and a folder of them with an index page.

`model` turns a `commands.Transcript` into what a page shows (rows with their labels,
times, anchors, tool inputs in a readable form, sub-agents); `markdown` and `html`
write it; `export` writes a page per session and the index page, streaming.
markdown-it-py and Pygments are imported by `markdown` and `html` only, so that the
other commands never pay for them."""

from __future__ import annotations

from typing import Callable, Optional

FORMATS = ("markdown", "html")
SUFFIX = {"markdown": ".md", "html": ".html"}

Redact = Callable[[str], str]


def writer(fmt: str) -> Callable:
    """The page writer of a format: write(page, out) with `out` a text stream."""
    if fmt == "markdown":
        from .markdown import write_page
    elif fmt == "html":
        from .html import write_page
    else:
        raise ValueError("unknown transcript format %r (choose from %s)" % (fmt, ", ".join(FORMATS)))
    return write_page


def render(t, fmt: str, out=None, *, redact: Optional[Redact] = None, context: bool = False,
           subagents=None) -> Optional[str]:
    """Writes the transcript `t` (a `commands.Transcript`) as Markdown or HTML to `out`
    (a text stream), or returns it as a string without `out`. `redact` is applied to
    every text from the log first; `context` includes injected text (collapsed);
    `subagents` are the sub-agents' transcripts (None: read those beside the log)."""
    import io

    from .model import build_page
    write = writer(fmt)
    page = build_page(t, redact=redact, context=context, subagents=subagents)
    if out is not None:
        write(page, out)
        return None
    buffer = io.StringIO()
    write(page, buffer)
    return buffer.getvalue()
