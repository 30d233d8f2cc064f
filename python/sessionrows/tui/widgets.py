"""The interface's own widgets: a view of many lines (the preview, the transcript)
that lays out and draws only what is on screen, and the result list, such a view
with a cursor on the lines that can be chosen."""

from __future__ import annotations

from bisect import bisect_right
from typing import List, Optional, Sequence, Tuple

from rich.cells import get_character_cell_size

from textual import events
from textual.binding import Binding
from textual.cache import LRUCache
from textual.content import Content
from textual.geometry import Size
from textual.message import Message
from textual.scroll_view import ScrollView
from textual.strip import Strip
from textual.visual import Visual

from ..query import Query
from ..snippets import matches
from .present import Entry, Line, Page, Target, plain

FIND = "bold reverse $text-accent"


def content(line: Line) -> Content:
    """A line of segments as Content; the texts are plain text (never markup)."""
    return Content.assemble(*line)


class TextView(ScrollView, can_focus=True):
    """Lines of segments, each folded to the width, drawn line by line: a transcript
    of any length opens at once. `find` marks the matches of a query."""

    BINDINGS = [
        Binding("up", "scroll_up", "Up", show=False),
        Binding("down", "scroll_down", "Down", show=False),
        Binding("pageup,b", "page_up", "Page up", show=False),
        Binding("pagedown,space", "page_down", "Page down", show=False),
        Binding("home,g", "scroll_home", "Top", show=False),
        Binding("end,G", "scroll_end", "End", show=False),
    ]

    DEFAULT_CSS = """
    TextView {
        overflow-x: hidden;
        overflow-y: auto;
        scrollbar-gutter: stable;   /* the width stays when the scroll bar comes: one layout */
        background: $surface;
    }
    """

    def __init__(self, **kwargs) -> None:
        super().__init__(**kwargs)
        self.lines: List[Line] = []
        self.texts: List[str] = []
        self.focus_line = 0
        self._opening = False           # shown before it had a size: open at the focus once it has one
        self.find_query: Optional[Query] = None
        self._offsets: List[int] = [0]
        self._laid_width = 0
        self._pieces: LRUCache[int, List[Tuple[Content, int, int]]] = LRUCache(2048)
        self._strips: LRUCache[tuple, Strip] = LRUCache(1024)

    # -- what is shown -------------------------------------------------------------

    def show(self, page: Page) -> None:
        self.lines = page.lines
        self.texts = [plain(line) for line in page.lines]
        self.focus_line = page.focus
        self._pieces.clear()
        self._strips.clear()
        self._laid_width = 0
        self._opening = True
        if self.size.height:
            self._open_at_focus()
        else:                           # not laid out yet: once it is
            self.call_after_refresh(self._open_at_focus)

    def _open_at_focus(self) -> None:
        if self._opening and self.size.height:
            self._opening = False
            self._layout()
            self.scroll_to_line(self.focus_line)

    def set_find(self, query: Optional[Query]) -> None:
        self.find_query = query
        self._strips.clear()
        self.refresh()

    def scroll_to_line(self, index: int, at: float = 0.25) -> None:
        """Scrolls so that line `index` shows a quarter of the way down."""
        if not self._offsets or index >= len(self._offsets):
            return
        top = max(0, self._offsets[index] - int(self.scrollable_content_region.height * at))
        self._scroll_top(top)

    def _scroll_top(self, top: int) -> None:
        # force: a view whose lines came a moment ago has no scroll bar yet (Textual
        # allows no scrolling until the next layout), yet it opens at its focus.
        self.scroll_to(y=top, animate=False, immediate=True, force=True)

    def visible_line(self) -> int:
        """The line at the top of the view."""
        return max(0, bisect_right(self._offsets, int(self.scroll_offset.y)) - 1)

    # -- layout and drawing ----------------------------------------------------------

    def _width(self) -> int:
        return max(10, self.scrollable_content_region.width)

    def _layout(self) -> None:
        width = self._width()
        if width == self._laid_width and len(self._offsets) == len(self.lines) + 1:
            return
        self._laid_width = width
        self._pieces.clear()
        self._strips.clear()
        offsets = [0]
        total = 0
        for text in self.texts:
            total += 1 if len(text) <= width and text.isascii() else len(_starts(text, width))
            offsets.append(total)
        self._offsets = offsets
        self.virtual_size = Size(width, total)

    def on_resize(self) -> None:
        if self._opening:
            self._open_at_focus()
        elif self.lines:
            top = self.visible_line()
            self._layout()
            self.scroll_to_line(top, 0)

    def _pieces_of(self, index: int) -> List[Tuple[Content, int, int]]:
        """The pieces of line `index` on screen: (content, where its text starts in
        the line, the indent put before it)."""
        pieces = self._pieces.get(index)
        if pieces is None:
            text = self.texts[index]
            line = content(self.lines[index])
            starts = _starts(text, self._laid_width)
            indent = _indent(text, self._laid_width)
            ends = starts[1:] + [len(text)]
            pieces = [(line[a:b] if k == 0 else Content(" " * indent) + line[a:b], a, indent if k else 0)
                      for k, (a, b) in enumerate(zip(starts, ends))]
            self._pieces[index] = pieces
        return pieces

    def _line_content(self, index: int, piece: int) -> Content:
        pieces = self._pieces_of(index)
        if piece >= len(pieces):
            return Content("")
        part, start, indent = pieces[piece]
        if self.find_query is not None:
            end = start + len(part.plain) - indent
            for s, e in matches(self.texts[index], self.find_query):
                if e > start and s < end:
                    part = part.stylize(FIND, indent + max(s, start) - start, indent + min(e, end) - start)
        return part

    def _line_style(self, index: int, style):
        """The style a line is drawn on."""
        return style

    def render_line(self, y: int) -> Strip:
        width = self._width()
        if width != self._laid_width:
            self._layout()
        row = int(self.scroll_offset.y) + y
        index = bisect_right(self._offsets, row) - 1
        style = self.visual_style
        if row >= self._offsets[-1] or index < 0 or index >= len(self.lines):
            return Strip.blank(width, style.rich_style)
        style = self._line_style(index, style)
        key = (index, row - self._offsets[index], width, style)
        strip = self._strips.get(key)
        if strip is None:
            part = self._line_content(index, key[1])
            strips = Visual.to_strips(self, part, width, 1, style, pad=True)
            strip = strips[0] if strips else Strip.blank(width, style.rich_style)
            self._strips[key] = strip
        return strip


class ResultsList(TextView):
    """Sessions and their hits, a line each, with a cursor on the lines that can be
    chosen (the hits; the headings are not). Only the lines on screen are drawn,
    however many there are."""

    COMPONENT_CLASSES = {"results--cursor"}
    BINDINGS = [
        Binding("up", "cursor_up", "Up", show=False),
        Binding("down", "cursor_down", "Down", show=False),
        Binding("pageup", "page_up", "Page up", show=False),
        Binding("pagedown", "page_down", "Page down", show=False),
        Binding("home", "first", "First", show=False),
        Binding("end", "last", "Last", show=False),
        Binding("enter", "select", "transcript", show=False),
    ]
    DEFAULT_CSS = """
    ResultsList > .results--cursor {
        background: $block-cursor-background;
        color: $block-cursor-foreground;
        text-style: $block-cursor-text-style;
    }
    """

    class Highlighted(Message):
        """The cursor moved (to a target, or to none)."""

    class Selected(Message):
        """Enter or a double click on the target under the cursor."""

    def __init__(self, **kwargs) -> None:
        super().__init__(**kwargs)
        self.entries: List[Entry] = []
        self.highlighted: Optional[int] = None
        self._keep_row: Optional[int] = None    # where on screen the cursor stays when the entries change
        self._fresh = False                     # other results: they are shown from their top

    def show(self, entries: Sequence[Entry], keep: Optional[Target] = None,  # type: ignore[override]
             stay: bool = False) -> None:
        """Shows `entries`, the cursor on `keep` if it is among them, else on the
        first entry that can be chosen. With `stay` (the entries are the same
        results again, or with another page of them) the cursor stays where it was
        on the screen, and on an entry of the same log if `keep` is gone. Without
        it (other results) they are shown from their top, the cursor on the first."""
        row = None
        i = self.highlighted
        if not stay:
            keep = None
        if keep is not None and i is not None and i < len(self._offsets) - 1 and not self._opening:
            row = self._offsets[i] - int(self.scroll_offset.y)
        self.entries = list(entries)
        first = same = log = None
        for i, e in enumerate(self.entries):
            if e.target is None:
                continue
            if first is None:
                first = i
            if keep is not None and _same(e.target, keep):
                same = i
                break
            if keep is not None and log is None and e.target.path == keep.path:
                log = i
        chosen = same if same is not None else log if log is not None else first
        self.highlighted = chosen
        self._keep_row = row if chosen is not None and chosen in (same, log) else None
        self._fresh = not stay
        super().show(Page([e.line for e in self.entries], chosen or 0))
        self.post_message(self.Highlighted())

    def _open_at_focus(self) -> None:
        row, self._keep_row = self._keep_row, None
        if not (self._opening and self.size.height):
            self._keep_row = row
            return
        if row is None or not 0 <= row < self.scrollable_content_region.height:
            if self._fresh:
                self._scroll_top(0)     # the first heading in view, not where the last results were
            super()._open_at_focus()
            return
        self._opening = False
        self._layout()
        if self.focus_line < len(self._offsets) - 1:
            self._scroll_top(max(0, self._offsets[self.focus_line] - row))

    def at_end(self) -> bool:
        """Whether the cursor is on the last entry that can be chosen."""
        i = self.highlighted
        return i is not None and self._choosable(len(self.entries) - 1, -1) == i

    def scroll_to_line(self, index: int, at: float = 0.25) -> None:
        """Scrolls as little as keeps line `index` in view."""
        if index >= len(self._offsets) - 1:
            return
        top, height = int(self.scroll_offset.y), self.scrollable_content_region.height
        line = self._offsets[index]
        if line < top:
            self._scroll_top(line)
        elif height and line >= top + height:
            self._scroll_top(line - height + 1)

    @property
    def target(self) -> Optional[Target]:
        i = self.highlighted
        return self.entries[i].target if i is not None and i < len(self.entries) else None

    def _line_style(self, index: int, style):
        return self.get_visual_style("results--cursor") if index == self.highlighted else style

    def _move_to(self, index: Optional[int]) -> None:
        if index is None or index == self.highlighted:
            return
        self.highlighted = index
        self.scroll_to_line(index)
        self.refresh()
        self.post_message(self.Highlighted())

    def _choosable(self, start: int, step: int) -> Optional[int]:
        """The first line from `start` on, going by `step`, that can be chosen."""
        i = start
        while 0 <= i < len(self.entries):
            if self.entries[i].target is not None:
                return i
            i += step
        return None

    def _step(self, lines: int) -> None:
        if self.highlighted is None:
            self._move_to(self._choosable(0, 1))
            return
        step = 1 if lines > 0 else -1
        start = min(max(self.highlighted + lines, 0), len(self.entries) - 1)
        found = self._choosable(start, step)
        self._move_to(found if found is not None else self._choosable(start, -step))

    def action_cursor_down(self) -> None:
        self._step(1)

    def action_cursor_up(self) -> None:
        self._step(-1)

    def action_page_down(self) -> None:
        self._step(max(1, self.scrollable_content_region.height - 1))

    def action_page_up(self) -> None:
        self._step(-max(1, self.scrollable_content_region.height - 1))

    def action_first(self) -> None:
        self._move_to(self._choosable(0, 1))

    def action_last(self) -> None:
        self._move_to(self._choosable(len(self.entries) - 1, -1))

    def action_select(self) -> None:
        if self.target is not None:
            self.post_message(self.Selected())

    def on_click(self, event: events.Click) -> None:
        offset = event.get_content_offset(self)
        if offset is None:
            return
        index = bisect_right(self._offsets, int(self.scroll_offset.y) + offset.y) - 1
        if 0 <= index < len(self.entries) and self.entries[index].target is not None:
            self._move_to(index)
            if event.chain >= 2:
                self.action_select()


def _same(a: Target, b: Target) -> bool:
    return a.path == b.path and getattr(a, "row", None) == getattr(b, "row", None)


def _indent(text: str, width: int) -> int:
    """The hanging indent of a folded line: its own indent, at most 8 cells and less
    than half the width."""
    n = len(text) - len(text.lstrip(" "))
    return min(n, 8) if n < width // 2 else 0


def _starts(text: str, width: int) -> List[int]:
    """Where each piece of a line folded to `width` cells starts. A piece ends after
    the last blank in its last third where there is one, else at the width; the
    pieces after the first are indented as the line is. Every character is in a
    piece: nothing is cut."""
    indent = _indent(text, width)
    starts = [0]
    if text.isascii():
        pos, room = 0, width
        while len(text) - pos > room:
            end = pos + room
            blank = text.rfind(" ", pos + room * 2 // 3, end)
            pos = blank + 1 if blank >= 0 else end
            starts.append(pos)
            room = width - indent
        return starts
    cells, room = 0, width
    blank, cells_to_blank = -1, 0       # just after the last blank of the piece, and its cells so far
    for i, ch in enumerate(text):
        size = get_character_cell_size(ch)
        if cells + size > room:
            if blank > starts[-1] and cells_to_blank > room * 2 // 3:
                starts.append(blank)
                cells -= cells_to_blank
            else:
                starts.append(i)
                cells = 0
            room, blank = width - indent, -1
        cells += size
        if ch == " ":
            blank, cells_to_blank = i + 1, cells
    return starts
