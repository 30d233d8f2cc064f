"""Human output: texts from logs made harmless for a terminal, colour when the output
is a terminal that wants it, and a progress bar for long work. Colour and the
progress bar come from rich, which is imported only when they are used."""

from __future__ import annotations

import contextlib
import os
import re
import sys
import time
from typing import Callable, Iterator, List, Optional, Sequence, TextIO, Tuple, Union

# Characters that a terminal would act on rather than show: C0 controls (tab and line
# feed are decided by the caller), DEL, C1 controls, and the invisible controls of
# bidirectional text, which can make a line read differently from what it holds.
_UNSAFE = [*range(0x00, 0x20), 0x7F, *range(0x80, 0xA0),
           *range(0x202A, 0x202F), *range(0x2066, 0x206A), 0x200E, 0x200F, 0x061C]
_ESCAPES = {c: ("\\x%02x" % c if c < 0x100 else "\\u%04x" % c) for c in _UNSAFE}
_MULTI_LINE = {**_ESCAPES, 0x09: "\t", 0x0A: "\n"}
_ONE_LINE = {**_ESCAPES, 0x09: " ", 0x0A: " ", 0x0D: " ", 0x2028: " ", 0x2029: " "}


def clean(text: str, one_line: bool = False) -> str:
    """`text` with every character that a terminal would act on written as a visible
    escape (ESC becomes \\x1b). With `one_line`, line breaks and tabs become spaces."""
    return text.translate(_ONE_LINE if one_line else _MULTI_LINE)


# Terminal escape sequences (colours, cursor moves, window titles), taken out as the
# index takes them out (src/search/index_text.cpp): CSI up to its final byte; OSC, DCS,
# SOS, PM and APC up to BEL or ST (an unterminated one ends with its line); ESC and one
# other ASCII character. A reader wants the text they decorate, not their codes.
_STRING_BODY = r"(?:[^\x07\x1b\x9c\n]|\x1b(?!\\))*(?:\x07|\x1b\\|\x9c)?"
_SEQUENCES = re.compile(r"\x1b(?:\[[ -?]*[@-~]?|[\]PX^_]" + _STRING_BODY + r"|[^\n\x80-\U0010ffff]?)")
_C1_SEQUENCES = re.compile(r"\x9b[ -?]*[@-~]?|[\x90\x98\x9d\x9e\x9f]" + _STRING_BODY + "|" + _SEQUENCES.pattern)


def strip_escapes(text: str) -> str:
    """`text` without its terminal escape sequences (their C1 forms included)."""
    if not text.isascii() and ("\x9b" in text or "\x9d" in text):
        return _C1_SEQUENCES.sub("", text)
    return _SEQUENCES.sub("", text) if "\x1b" in text else text


def wants_color(stream: TextIO, mode: str = "auto") -> bool:
    """Colour for `mode` "always" or "never"; for "auto", when `stream` is a terminal
    and NO_COLOR is not set (https://no-color.org)."""
    if mode != "auto":
        return mode == "always"
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("TERM") == "dumb":
        return False
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


Segment = Union[str, Tuple[str, str]]   # text, or (text, style) with a rich style name


class Printer:
    """Writes lines of segments to a stream, styled when colour is on. The segments'
    texts must already be clean()."""

    def __init__(self, stream: TextIO, color: bool):
        self.stream = stream
        self.color = color
        self._console = None
        if color:
            from rich.console import Console
            self._console = Console(file=stream, force_terminal=True, no_color=False, highlight=False,
                                    markup=False, emoji=False, soft_wrap=True)

    def line(self, *segments: Segment) -> None:
        if self._console is None:
            self.stream.write("".join(s if isinstance(s, str) else s[0] for s in segments) + "\n")
            return
        from rich.text import Text
        text = Text()
        for s in segments:
            if isinstance(s, str):
                text.append(s)
            else:
                text.append(s[0], style=s[1] or None)
        self._console.print(text, soft_wrap=True, crop=False)


def marked_spans(snippet: str, spans: Sequence[Tuple[int, int]], style: str) -> Sequence[Segment]:
    """A snippet as clean one-line segments, the characters in `spans` ([start, end)
    offsets, in order) in `style`."""
    out: List[Segment] = []
    at = 0
    for start, end in spans:
        if start < at:
            continue
        if start > at:
            out.append(clean(snippet[at:start], one_line=True))
        out.append((clean(snippet[start:end], one_line=True), style))
        at = end
    if at < len(snippet):
        out.append(clean(snippet[at:], one_line=True))
    return out


def home_relative(path: str) -> str:
    """A path under the home folder as ~/..., others as they are."""
    home = os.path.expanduser("~")
    return "~" + path[len(home):] if home not in ("", "/") and (path == home or path.startswith(home + "/")) else path


def counted(n: int, word: str, plural: str = "") -> str:
    """A count and its noun, singular for 1: "1 session log", "2 session logs"."""
    return "%d %s" % (n, word if n == 1 else plural or word + "s")


def size_text(n: float) -> str:
    """A number of bytes as a person reads it: 812 B, 4.2 kB, 1.3 GB."""
    for unit in ("B", "kB", "MB", "GB", "TB"):
        if n < 1000 or unit == "TB":
            return ("%d %s" if unit == "B" else "%.1f %s") % (n, unit)
        n /= 1000
    return ""


def terminal_width(stream: TextIO, default: int = 100) -> int:
    """The width of the terminal `stream` writes to, else `default`."""
    try:
        if stream.isatty():
            return max(20, os.get_terminal_size(stream.fileno()).columns)
    except (AttributeError, ValueError, OSError):
        pass
    return default


def fit_command(command: str, width: int) -> List[str]:
    """A shell command in lines of at most `width` characters where it can be: broken
    only between words, preferably before "&&", each line but the last ending in
    " \\\\" so that the lines still paste as one command. A word longer than a line
    keeps a line of its own."""
    if len(command) <= width:
        return [command]
    # Pieces to keep together: "cd DIR", "&& claude --resume ID".
    pieces: List[str] = []
    for word in command.split(" "):
        if pieces and word != "&&" and not pieces[-1].endswith("&&") and len(pieces[-1]) + 1 + len(word) <= width - 4:
            pieces[-1] += " " + word
        else:
            pieces.append(word)
    lines: List[str] = []
    line = ""
    for piece in pieces:
        candidate = piece if not line else line + " " + piece
        if line and len(candidate) > width - 2:
            lines.append(line + " \\")
            line = "  " + piece
        else:
            line = candidate
    lines.append(line)
    return lines


@contextlib.contextmanager
def pager(stream: TextIO, color_mode: str = "auto") -> Iterator[TextIO]:
    """Long output on a terminal goes through the pager, as git does it: $PAGER (else
    less), with LESS=FRX unless LESS is set, so output that fits the screen is
    simply printed. Off when `stream` is not a terminal or the pager cannot start."""
    command = os.environ.get("SESSIONROWS_PAGER") or os.environ.get("PAGER") or "less"
    if not stream.isatty() or command in ("", "cat") or os.environ.get("TERM") == "dumb":
        yield stream
        return
    import subprocess    # here: output to a pipe does without it
    env = dict(os.environ)
    env.setdefault("LESS", "FRX")
    env.setdefault("LV", "-c")
    try:
        proc = subprocess.Popen(command, shell=True, stdin=subprocess.PIPE, env=env, encoding="utf-8",
                                errors="backslashreplace")
    except OSError:
        yield stream
        return
    assert proc.stdin is not None
    try:
        yield proc.stdin
    except BrokenPipeError:
        pass
    finally:
        try:
            proc.stdin.close()
        except BrokenPipeError:
            pass
        proc.wait()


@contextlib.contextmanager
def progress(label: str, stream: Optional[TextIO] = None, delay: float = 1.0,
             enabled: Optional[bool] = None) -> Iterator[Callable[[int, int], None]]:
    """A callback update(done, total) that shows a progress bar on `stream` (stderr)
    once the work has taken `delay` seconds, if the stream is a terminal."""
    stream = stream or sys.stderr
    if enabled is None:
        enabled = stream.isatty() and os.environ.get("TERM") != "dumb"
    started = time.monotonic()
    state: dict = {"bar": None, "task": None}

    def update(done: int, total: int) -> None:
        if not enabled or total <= 0:
            return
        if state["bar"] is None:
            if time.monotonic() - started < delay or done >= total:
                return
            from rich.console import Console
            from rich.progress import BarColumn, DownloadColumn, Progress, TextColumn, TimeRemainingColumn
            bar = Progress(TextColumn(label), BarColumn(), DownloadColumn(), TimeRemainingColumn(),
                           console=Console(file=stream, no_color=not wants_color(stream)), transient=True)
            bar.start()
            state["bar"], state["task"] = bar, bar.add_task(label, total=total)
        state["bar"].update(state["task"], completed=done, total=total)

    try:
        yield update
    finally:
        if state["bar"] is not None:
            state["bar"].stop()
