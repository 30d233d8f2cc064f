"""The terminal interface: a query box searched as the person types, the results
grouped by session, a preview at the selected hit, the whole transcript on Enter,
and keys to resume a session, copy its resume line, page it and quit.

The index is opened once for reading and stays open; a second connection brings it
up to date in the background (the first run on a large history indexes it, batch
by batch, and each committed batch is searchable at once). Queries and previews run
on worker threads, the newest one winning: a query that a keystroke made stale is
interrupted in SQLite."""

from __future__ import annotations

import os
import sqlite3
import sys
import threading
import time
from collections import OrderedDict
from functools import partial
from typing import Callable, Dict, List, Optional, Sequence

from textual import events
from textual.app import App, ComposeResult
from textual.binding import Binding
from textual.containers import Container
from textual.css.query import NoMatches
from textual.screen import Screen
from textual.timer import Timer
from textual.widgets import Footer, Input, Static

from .. import commands
from ..commands import CommandError, Opened, SessionHits, SessionSummary, Transcript
from ..index import IndexProblem
from ..query import Query, QueryError, parse
from ..reader import Problem
from ..terminal import clean, counted
from . import present
from .present import Box, Entry, KeyFilters, Plan, Target
from .widgets import ResultsList, TextView, content

DEBOUNCE = 0.04         # seconds of quiet typing before a query runs
PAUSE = 0.3             # ... when its last word is one letter so far
PREVIEW_DELAY = 0.05     # after a move, or after the results are drawn
LIMIT = 50              # hits a page of results holds: the best, grouped by session (more cost more snippets)
# While the person types, a query that matches more rows than this ranks the newest
# of them (bm25 over as many as `search` ranks, for a broad
# word such as "src" or "use", takes about 0.1 s on the benchmark's history); once
# typing stops, it is ranked as `search` ranks it.
QUICK_BROAD = 4_000
REFINE_DELAY = 0.4
RECENT = 60             # sessions a page holds with nothing typed
MOST = 5_000            # hits or sessions the list takes, page after page
REFRESH_WHILE_INDEXING = 1.5    # seconds between re-runs of the query while the index fills
TRANSCRIPTS_KEPT = 6
WIDE = 120              # from this width on, the preview stands beside the results


def _set_line(widget: Static, line: present.Line) -> None:
    """Shows a line in a one-line widget, if it changed (without a new layout: the
    widget keeps its size)."""
    if getattr(widget, "_shown", None) != line:
        widget._shown = line        # type: ignore[attr-defined]
        widget.update(content(line), layout=False)


class _Stopped(Exception):
    """Raised in the update's progress callback once the person has quit."""


class QueryBox(Input):
    """The query box; the arrows and page keys move through the results."""

    BINDINGS = [
        Binding("enter", "app.open", "transcript"),
        Binding("down", "app.move('cursor_down')", show=False),
        Binding("up", "app.move('cursor_up')", show=False),
        Binding("pagedown", "app.move('page_down')", show=False),
        Binding("pageup", "app.move('page_up')", show=False),
        Binding("escape", "clear", "clear", show=False),
    ]

    def action_clear(self) -> None:
        self.value = ""


class TranscriptScreen(Screen):
    """A whole session, opened at the hit, with a search within it."""

    BINDINGS = [
        Binding("escape,q", "back", "back"),
        Binding("slash", "find", "find"),
        Binding("n", "find_next", "next", show=False),
        Binding("N", "find_next(True)", "previous", show=False),
    ]

    def __init__(self, t: Transcript, page: present.Page) -> None:
        super().__init__()
        self.transcript = t
        self.page = page
        self.found: Optional[Query] = None
        self.found_line: Optional[int] = None

    def compose(self) -> ComposeResult:
        yield TextView(id="transcript")
        yield Input(placeholder="find in this session (Enter: next, Escape: close)", id="find", compact=True)
        yield Static(id="where")
        yield Footer()

    def on_mount(self) -> None:
        self.query_one("#find", Input).display = False
        view = self.query_one(TextView)
        view.show(self.page)
        view.focus()
        self._say(counted(len(self.transcript.rows), "row"))

    def _say(self, text: str) -> None:
        self.query_one("#where", Static).update(content([(clean(text, True), "dim")]), layout=False)

    def action_back(self) -> None:
        find = self.query_one("#find", Input)
        if find.display and find.has_focus:
            find.display = False
            self.query_one(TextView).focus()
            return
        self.app.pop_screen()

    def action_find(self) -> None:
        find = self.query_one("#find", Input)
        find.display = True
        find.focus()

    def on_input_submitted(self, event: Input.Submitted) -> None:
        event.stop()
        try:
            q = parse(event.value)
        except QueryError as e:
            self._say(str(e))
            return
        view = self.query_one(TextView)
        if self.found is None or self.found.text != q.text:
            self.found = q
            self.found_line = None
            view.set_find(q)
        self.action_find_next()
        view.focus()

    def action_find_next(self, backward: bool = False) -> None:
        if self.found is None:
            self.action_find()
            return
        view = self.query_one(TextView)
        if self.found_line is None:
            start = view.visible_line()
        else:
            start = self.found_line + (-1 if backward else 1)
        at = present.find(view.texts, self.found, start % max(1, len(view.texts)), backward)
        if at is None:
            self._say("no match for %s" % clean(self.found.text, True))
            return
        self.found_line = at
        view.scroll_to_line(at)
        self._say("line %d of %d: n next, N previous" % (at + 1, len(view.texts)))


class SessionrowsApp(App, inherit_bindings=False):
    """`sessionrows tui`. Returns a Plan when the person chose to resume a session."""

    TITLE = "sessionrows"
    ENABLE_COMMAND_PALETTE = False
    CSS = """
    Screen { layout: vertical; }
    #box { height: 1; margin: 0 1; }
    #filters { height: 1; padding: 0 1; color: $text-muted; }
    #main { height: 1fr; layout: vertical; }
    #main.wide { layout: horizontal; }
    #results { height: 1fr; border-top: solid $primary; border-title-color: $text; }
    #preview { height: 1fr; border-top: solid $primary; border-title-color: $text; }
    #main.wide #results { width: 50%; height: 1fr; }
    #main.wide #preview { width: 50%; height: 1fr; border-left: solid $primary; }
    #status { height: 1; padding: 0 1; background: $panel; }
    #transcript { height: 1fr; }
    #find { height: 1; margin: 0 1; }
    #where { height: 1; padding: 0 1; background: $panel; }
    """
    BINDINGS = [
        Binding("ctrl+r", "resume", "resume", priority=True),
        Binding("ctrl+y", "copy", "copy resume line", priority=True),
        Binding("ctrl+o", "pager", "pager", priority=True),
        Binding("ctrl+s", "export", "export", priority=True),
        Binding("f2", "agent", "agent", show=False, priority=True),
        Binding("f3", "role", "role", show=False, priority=True),
        Binding("f4", "injected", "injected", show=False, priority=True),
        Binding("ctrl+q", "quit", "quit", priority=True),
        Binding("ctrl+c", "help_quit", show=False, system=True),
    ]

    def __init__(self, paths: Sequence[str] = (), index_path: Optional[str] = None, query: str = "") -> None:
        super().__init__()
        self.paths = list(paths)
        self.index_path = index_path
        self.initial_query = query
        self.keys = KeyFilters()
        self.reader: Optional[Opened] = None
        self.indexing = True
        self.problems: List[Problem] = []
        self._stopping = threading.Event()      # the person quit: the update stops after its batch
        self._db = threading.Lock()             # one statement at a time on the reading connection
        self._busy = False                      # a query holds the reading connection
        self._seq = 0                           # the newest query
        self._preview_seq = 0
        self._previewed: Optional[tuple] = None    # what the preview shows: log, row, query
        self._last_key: Optional[tuple] = None
        self._query: Optional[Query] = None     # the query of the results shown
        self._groups: List[SessionHits] = []
        self._recent: List[SessionSummary] = []
        self._gone: Dict[str, str] = {}         # the recent sessions whose logs are gone: since when
        self._pages = 1                         # pages of results asked for (the cursor reached the end)
        self._more = False                      # the results shown have more after them
        self._paging = False                    # the next page is being read
        self._broad = QUICK_BROAD               # how the results shown ranked a broad query
        self._shown_key: Optional[tuple] = None  # the query and filters of the results shown
        self._timer: Optional[Timer] = None
        self._preview_timer: Optional[Timer] = None
        self._refine_timer: Optional[Timer] = None
        self._last_refresh = 0.0
        self._transcripts: "OrderedDict[str, tuple]" = OrderedDict()
        self._transcripts_lock = threading.Lock()
        self._results_text = ""
        self._index_text = "opening the index"
        self._typed_at = 0.0
        self.exported: Optional[str] = None     # the last page written by the export key
        # Called after the results of a query are drawn, with the query's number, when
        # it started and when the key that made it was typed (bench/tui.py).
        self.drawn: Optional[Callable[[int, float, float], None]] = None

    # -- layout ------------------------------------------------------------------

    def compose(self) -> ComposeResult:
        yield QueryBox(value=self.initial_query, placeholder="search your sessions: words, \"a phrase\", "
                       "prefix*, agent:codex role:user project:NAME since:2w", id="box", compact=True)
        yield Static(id="filters")
        with Container(id="main"):
            yield ResultsList(id="results")
            yield TextView(id="preview")
        yield Static(id="status")
        yield Footer()

    @property
    def box(self) -> QueryBox:
        return self.query_one("#box", QueryBox)

    @property
    def results(self) -> ResultsList:
        return self.query_one("#results", ResultsList)

    @property
    def preview(self) -> TextView:
        return self.query_one("#preview", TextView)

    def on_mount(self) -> None:
        theme = os.environ.get("SESSIONROWS_THEME")
        if theme in self.available_themes:
            self.theme = theme      # textual-light, ansi-dark (the terminal's own colours), ...
        self.query_one("#results").border_title = "sessions"
        self.preview.border_title = "preview"
        self._layout(self.size.width)
        self._show_filters(present.read_box(self.box.value, self.keys))
        self._show_status()
        self.box.focus()
        self.run_worker(self._open, thread=True, group="index", name="index")

    def on_resize(self, event: events.Resize) -> None:
        self._layout(event.size.width)
        if self._groups or self._recent:
            self._draw_results(self.results.target, stay=True)

    def _layout(self, width: int) -> None:
        self.query_one("#main").set_class(width >= WIDE, "wide")

    # -- the index, opened and updated -----------------------------------------------

    def _open(self) -> None:
        """On a worker thread: opens the index for reading, then brings it up to date
        on a connection of its own."""
        def waiting() -> None:
            self.call_from_thread(self._set_index_text, "waiting for another sessionrows process to finish "
                                  "updating the index")

        def progress(done: int, total: int) -> None:
            if self._stopping.is_set():
                raise _Stopped()    # each batch is a transaction: the next run goes on from here
            try:
                self.call_from_thread(self._indexing, done, total)
            except RuntimeError:    # the app has ended meanwhile
                raise _Stopped() from None

        def warn(problem: Problem) -> None:
            self.problems.append(problem)

        try:
            reader = commands.open_index(self.paths, self.index_path, update=False, on_wait=waiting)
        except (CommandError, IndexProblem, OSError) as e:
            self.call_from_thread(self._failed, str(e))
            return
        if self._stopping.is_set():
            reader.index.close()
            return
        self.call_from_thread(self._reader_ready, reader)
        try:
            writer = commands.open_index(self.paths, self.index_path, warn=warn, progress=progress, on_wait=waiting)
        except _Stopped:
            return
        except (CommandError, IndexProblem, OSError) as e:
            if not self._stopping.is_set():
                self.call_from_thread(self._failed, str(e))
            return
        writer.index.close()
        if not self._stopping.is_set():
            self.call_from_thread(self._updated, writer)

    def exit(self, *args, **kwargs) -> None:
        # The worker threads are waited for when the app ends: a first index stops
        # after the batch it is writing, a query is interrupted.
        self._stopping.set()
        if self.reader is not None and self._busy:
            for db in self.reader.index.shards:
                db.interrupt()
        super().exit(*args, **kwargs)

    def _reader_ready(self, reader: Opened) -> None:
        self.reader = reader
        self._set_index_text("checking the logs for changes")
        self._run_query()

    def _indexing(self, done: int, total: int) -> None:
        self._set_index_text(present.indexing_status(done, total))
        if time.monotonic() - self._last_refresh > REFRESH_WHILE_INDEXING:
            self._run_query(force=True)

    def _updated(self, writer: Opened) -> None:
        reader = self.reader
        if reader is None:
            return
        reader.report, reader.scope, reader.found = writer.report, writer.scope, writer.found
        self.indexing = False
        r = writer.report
        text = "%d log%s" % (writer.found, "" if writer.found == 1 else "s")
        if r.new or r.changed or r.appended:
            text += ", %d indexed now in %.1f s" % (r.new + r.changed + r.appended, r.seconds)
        if r.read_only:
            text += ", the index is read-only: the latest changes are not in it"
        if self.problems:
            text += ", %d could not be read" % len(self.problems)
        if not writer.found:
            text = "no session logs found (looked in %s)" % ", ".join(map(present.home_relative, writer.where))
        self._set_index_text(text)
        self._run_query(force=True)

    def _failed(self, message: str) -> None:
        self.indexing = False
        self._set_index_text("error: " + message)

    def _set_index_text(self, text: str) -> None:
        self._index_text = text
        self._show_status()

    def _show_status(self) -> None:
        parts: List[present.Segment] = []
        if self._results_text:
            parts.append((self._results_text, ""))
            parts.append(("  \u00b7  ", "dim"))
        parts.append((clean(self._index_text, True), "dim"))
        _set_line(self.query_one("#status", Static), present.fit(parts, max(10, self.size.width - 2)))

    def _show_filters(self, box: Box) -> None:
        line = present.filter_line(box, self.keys)
        _set_line(self.query_one("#filters", Static), present.fit(line, max(10, self.size.width - 2)))

    # -- searching as the person types ------------------------------------------------

    def on_input_changed(self, event: Input.Changed) -> None:
        if event.input.id != "box":
            return
        self._typed_at = time.perf_counter()
        self._stop_refine()
        if self._timer is not None:
            self._timer.stop()
        delay = present.typing_delay(present.read_box(event.value, self.keys).query, DEBOUNCE, PAUSE)
        self._timer = self.set_timer(delay, self._debounced)

    def _debounced(self) -> None:
        self._timer = None
        try:
            self._run_query()
        except NoMatches:       # the app is closing
            pass

    def _stop_refine(self) -> None:
        if self._refine_timer is not None:
            self._refine_timer.stop()
            self._refine_timer = None

    def _refine(self, seq: int) -> None:
        self._refine_timer = None
        if seq == self._seq and not self._stopping.is_set():     # nothing typed since: rank it in full
            self._run_query(force=True, broad=commands.BROAD_LIMIT)

    def _run_query(self, force: bool = False, broad: int = QUICK_BROAD) -> None:
        """Starts the query in the box on a worker thread, unless it is the one shown."""
        box = present.read_box(self.box.value, self.keys)
        self._show_filters(box)
        if self.reader is None:
            return
        if box.key == self._last_key and not force:
            return
        if box.key != self._last_key:
            self._pages = 1
            self._more = self._paging = False
        self._last_key = box.key
        self._last_refresh = time.monotonic()
        self._seq += 1
        if self._busy:
            for db in self.reader.index.shards:
                db.interrupt()       # the query running is stale
        width = self.results.scrollable_content_region.width or max(20, self.size.width - 2)
        self._stop_refine()
        self.run_worker(partial(self._query_work, self._seq, box, width, broad, self._pages, time.perf_counter(),
                                self._typed_at), thread=True, group="query")

    def _load_more(self) -> None:
        """The next page of the results: asked for as the cursor reaches their end."""
        if not self._more or self._paging or self.reader is None:
            return
        self._paging = True
        self._pages += 1
        self._run_query(force=True, broad=self._broad)

    def _query_work(self, seq: int, box: Box, width: int, broad: int, pages: int, started: float,
                    typed: float) -> None:
        """On a worker thread: the query, its hits grouped and shaped for the list
        (as many pages of them as asked for)."""
        reader = self.reader
        assert reader is not None
        groups: List[SessionHits] = []
        recent: List[SessionSummary] = []
        gone: Dict[str, str] = {}
        q = None
        refine = more = False
        with self._db:
            if seq != self._seq:
                return
            self._busy = True
            try:
                if box.query:
                    q = parse(box.query)
                    snippet_width = max(30, width - 14)
                    limit = min(MOST, LIMIT * pages)
                    result = commands.search_opened(reader, q, box.filters, limit, snippet_width, broad_limit=broad)
                    groups = commands.group_by_session(result.hits)
                    refine = bool(result.bounded) and broad < commands.BROAD_LIMIT
                    more = result.more and limit < MOST
                    status = present.results_status(len(result.hits), len(groups), result.seconds, result.bounded,
                                                     result.more, pages > 1, MOST)
                else:
                    t = time.perf_counter()
                    limit = min(MOST, RECENT * pages)
                    records = reader.index.list_sessions(box.filters, limit + 1, reader.scope)
                    more = len(records) > limit
                    recent = [commands.summary_of(r) for r in records[:limit]]
                    gone = {r.path: r.gone_since for r in records[:limit] if r.gone_since}
                    status = present.recent_status(len(recent), time.perf_counter() - t, more, pages > 1)
            except QueryError as e:
                status = str(e)
                if seq == self._seq:
                    self.call_from_thread(self._results_problem, seq, status)
                return
            except sqlite3.OperationalError as e:
                if "interrupted" not in str(e):
                    self.call_from_thread(self._results_problem, seq, "error: %s" % e)
                return
            except IndexProblem as e:
                self.call_from_thread(self._results_problem, seq, "error: %s" % e)
                return
            finally:
                self._busy = False
        if seq == self._seq:
            self.call_from_thread(self._show_results, seq, groups, recent, gone, q, status, started, typed, refine,
                                  more, broad)

    def _results_problem(self, seq: int, text: str) -> None:
        if seq == self._seq:
            self._paging = False
            self._results_text = clean(text, True)
            self._show_status()

    def _show_results(self, seq: int, groups: List[SessionHits], recent: List[SessionSummary], gone: Dict[str, str],
                      q: Optional[Query], status: str, started: float, typed: float, refine: bool = False,
                      more: bool = False, broad: int = QUICK_BROAD) -> None:
        if seq != self._seq:
            return
        if refine:
            self._refine_timer = self.set_timer(REFINE_DELAY, partial(self._refine, seq))
        keep = self.results.target
        stay = self._shown_key == self._last_key      # the same results again, or with more of them
        self._groups, self._recent, self._gone, self._query = groups, recent, gone, q
        self._more, self._paging, self._broad, self._shown_key = more, False, broad, self._last_key
        self._draw_results(keep, stay)
        self._results_text = status
        self._show_status()
        if self.drawn is not None:
            self.call_after_refresh(self.drawn, seq, started, typed)

    def _draw_results(self, keep: Optional[Target] = None, stay: bool = False) -> None:
        width = self.results.scrollable_content_region.width or max(20, self.size.width - 2)
        entries: List[Entry] = (present.result_entries(self._groups, width) if self._query is not None
                                else present.recent_entries(self._recent, width, self._gone))
        self.results.show(entries, keep, stay)
        self.results.border_title = "sessions" if self._query is None else "hits by session"
        if not entries:
            self.preview.show(present.Page([]))
            self._previewed = None

    # -- the preview -----------------------------------------------------------------

    def on_results_list_highlighted(self, event: ResultsList.Highlighted) -> None:
        if self._more and self.results.at_end():
            self._load_more()
        if self._preview_timer is not None:
            self._preview_timer.stop()
        self._preview_timer = self.set_timer(PREVIEW_DELAY, self._load_preview)

    def busy(self) -> bool:
        """Whether a keystroke or a move still has work pending: a query or preview
        waiting out its delay, or running (the tests and bench/tui.py wait on it)."""
        return (self._timer is not None or self._preview_timer is not None or self._refine_timer is not None
                or any(w.is_running for w in self.workers if w.group != "index"))

    def on_results_list_selected(self, event: ResultsList.Selected) -> None:
        self.action_open()

    def _load_preview(self) -> None:
        self._preview_timer = None
        try:
            target = self.results.target
        except NoMatches:       # the app is closing
            return
        self._preview_seq += 1
        if target is None:
            return
        shown = (target.path, getattr(target, "row", None), self._query.text if self._query else None)
        if shown == self._previewed:
            return      # the same hit, drawn again (the results refreshed as the index fills)
        self._previewed = shown
        self.run_worker(partial(self._preview_work, self._preview_seq, target, self._query), thread=True,
                        group="preview")

    def transcript_of(self, target: Target) -> Transcript:
        """The transcript of the target's log, read again only when the log changed,
        under the title the list gives it (a sub-agent's log: its session's)."""
        t = self._read_transcript(target)
        return t._replace(title=target.title) if target.title and target.title != t.title else t

    def _read_transcript(self, target: Target) -> Transcript:
        try:
            st = os.stat(target.path)
            stamp = (st.st_size, st.st_mtime_ns)
        except OSError:
            stamp = None
        with self._transcripts_lock:
            kept = self._transcripts.get(target.path)
            if kept is not None and kept[0] == stamp:
                self._transcripts.move_to_end(target.path)
                return kept[1]
        t = commands.load_session(target.path)
        with self._transcripts_lock:
            self._transcripts[target.path] = (stamp, t)
            while len(self._transcripts) > TRANSCRIPTS_KEPT:
                self._transcripts.popitem(last=False)
        return t

    def _preview_work(self, seq: int, target: Target, q: Optional[Query]) -> None:
        try:
            t = self.transcript_of(target)
            page = present.preview_page(t, getattr(target, "row", None), q, target.title)
        except (CommandError, OSError) as e:
            page = present.Page([[(clean(str(e), True), "bold")]])
        if seq == self._preview_seq:
            self.call_from_thread(self._show_preview, seq, page, target)

    def _show_preview(self, seq: int, page: present.Page, target: Target) -> None:
        if seq != self._preview_seq:
            return
        self.preview.show(page)

    # -- keys --------------------------------------------------------------------------

    def action_move(self, how: str) -> None:
        getattr(self.results, "action_" + how)()

    def action_agent(self) -> None:
        self.keys.agent = present.next_agent(self.keys.agent)
        self._run_query()

    def action_role(self) -> None:
        self.keys.role = present.next_role(self.keys.role)
        self._run_query()

    def action_injected(self) -> None:
        self.keys.context = not self.keys.context
        self._run_query()

    def _current(self):
        """What the keys act on: the open transcript, else the selected entry."""
        if isinstance(self.screen, TranscriptScreen):
            return self.screen.transcript
        return self.results.target

    def action_open(self) -> None:
        target = self.results.target
        if target is None:
            return
        self.run_worker(partial(self._open_work, target, self._query), thread=True, group="transcript")

    def _open_work(self, target: Target, q: Optional[Query]) -> None:
        try:
            t = self.transcript_of(target)
        except (CommandError, OSError) as e:
            self.call_from_thread(self.notify, clean(str(e), True), severity="error", markup=False)
            return
        page = present.transcript_page(t, getattr(target, "row", None), q, target.title)
        self.call_from_thread(self._push_transcript, t, page)

    def _push_transcript(self, t: Transcript, page: present.Page) -> None:
        self.push_screen(TranscriptScreen(t, page))     # widgets are made on the app's thread

    def _plan(self) -> Optional[Plan]:
        target = self._current()
        plan = None
        if target is not None:
            plan = present.targets_plan(target, archived=getattr(target, "path", None) in self._gone)
        if plan is None:
            self.notify("no session selected" if target is None else "this session has no id to resume it by",
                        severity="warning", markup=False)
        return plan

    def action_resume(self) -> None:
        plan = self._plan()
        if plan is None:
            return
        if plan.restore:        # the assistant would not find its log
            self.notify("Its log is gone from its place (it is read from the archive). Restore it first:\n%s\n"
                        "then resume it (^y copies both as one line)." % clean(plan.restore, True),
                        title="resume", severity="warning", markup=False, timeout=10)
            return
        self.exit(plan)

    def action_copy(self) -> None:
        plan = self._plan()
        if plan is None:
            return
        line = plan.copied
        self.copy_to_clipboard(line)
        why = ""
        if plan.restore:
            why = "Its log is gone from its place: the line restores it from the archive first.\n"
        elif plan.folder_gone and plan.anywhere:
            why = "Its folder %s is gone: the line resumes it from the folder you are in.\n" % clean(plan.cwd, True)
        self.notify(why + "Sent to the clipboard (OSC 52). If your terminal does not take it, the line is:\n"
                    + clean(line, True), title="resume line", markup=False, timeout=8)

    def action_pager(self) -> None:
        target = self._current()
        if target is None:
            return
        from ..printing import print_transcript
        from ..terminal import Printer, pager, terminal_width, wants_color
        # less stays open even when the transcript fits the screen (the command's
        # default, LESS=FRX, would quit at once and hand the screen straight back).
        less = os.environ.setdefault("LESS", "RX")
        try:
            t = target if isinstance(target, Transcript) else self.transcript_of(target)
            with self.suspend(), pager(sys.stdout) as stream:
                print_transcript(Printer(stream, wants_color(sys.stdout)), t, t.rows, terminal_width(sys.stdout))
        except CommandError as e:
            self.notify("cannot open the session: %s" % clean(str(e), True), severity="warning", markup=False)
        except Exception as e:      # SuspendNotSupported, or the pager failed to start
            self.notify("cannot open the pager here: %s" % clean(str(e), True), severity="warning", markup=False)
        finally:
            if less == "RX" and os.environ.get("LESS") == "RX":
                del os.environ["LESS"]

    def action_export(self) -> None:
        target = self._current()
        if target is None:
            self.notify("no session selected", severity="warning", markup=False)
            return
        self.run_worker(partial(self._export_work, target, os.getcwd()), thread=True, group="export")

    def _export_work(self, target, folder: str) -> None:
        """On a worker thread: the session as one self-contained HTML page, in the
        folder the interface was started in, readable by its owner only."""
        from .. import transcripts
        from ..transcripts.export import private_file
        try:
            t = target if isinstance(target, Transcript) else self.transcript_of(target)
            path = present.export_path(folder, t.session, t.path)
            with private_file(path) as out:
                transcripts.render(t, "html", out)
        except (CommandError, OSError) as e:
            self.call_from_thread(self.notify, "cannot export: %s" % clean(str(e), True), severity="error",
                                  markup=False)
            return
        self.exported = path
        self.call_from_thread(self.notify, "Wrote %s (as Markdown: sessionrows show %s --format markdown -o FILE)"
                              % (clean(present.home_relative(path), True), clean(t.session, True)),
                              title="export", markup=False, timeout=8)

