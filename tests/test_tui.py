"""The terminal interface, driven headless with Textual's pilot on the example sessions
(in a temporary HOME, where the assistants keep their logs), and the plain functions
it draws with."""

import asyncio
import contextlib
import datetime
import io
import json
import os
import pathlib
import shutil
import stat

import pytest

from conftest import REPO

textual = pytest.importorskip("textual")

from rich.cells import cell_len  # noqa: E402

from sessionrows import cli, commands, printing, terminal, when  # noqa: E402
from sessionrows.tui import present  # noqa: E402
from sessionrows.tui.app import SessionrowsApp, TranscriptScreen  # noqa: E402
from sessionrows.tui.widgets import TextView, _indent, _starts  # noqa: E402

EXAMPLES = REPO / "examples" / "sessions"
UPLOAD = "7f3c1a52-6d0e-4b1a-9a53-2c8e5f0d41aa"
STAGING = "019a7c3e-5f21-7d40-b8e2-6c1f0a9d2b57"
NOTES = "c41d9e07-2b85-4f3e-8d61-95a7b2e0c3f6"
HOSTILE = "11111111-2222-3333-4444-555555555555"


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A HOME with the example sessions where Claude Code and Codex keep theirs."""
    home = tmp_path / "home"
    shutil.copytree(EXAMPLES / "claude", home / ".claude")
    shutil.copytree(EXAMPLES / "codex", home / ".codex")
    for name in ("CLAUDE_CONFIG_DIR", "CODEX_HOME", "GEMINI_CLI_HOME", "COPILOT_HOME", "PI_CODING_AGENT_DIR",
                 "PI_CODING_AGENT_SESSION_DIR", "XDG_CACHE_HOME", "XDG_DATA_HOME", "SESSIONROWS_ARCHIVE", "NO_COLOR"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("HOME", str(home))
    return home


def claude_log(home, sid, cwd, said, start="2026-10-01T08:00:00"):
    """A made-up Claude Code log: a user row for each text of `said`, a minute apart."""
    folder = home / ".claude" / "projects" / ("-" + cwd.strip("/").replace("/", "-"))
    folder.mkdir(parents=True, exist_ok=True)
    t = datetime.datetime.fromisoformat(start)
    lines = []
    for i, text in enumerate(said):
        lines.append({"parentUuid": None if i == 0 else "u%d" % (i - 1), "isSidechain": False, "type": "user",
                      "uuid": "u%d" % i, "sessionId": sid, "cwd": cwd,
                      "timestamp": (t + datetime.timedelta(minutes=i)).isoformat() + ".000Z",
                      "message": {"role": "user", "content": text}})
    path = folder / (sid + ".jsonl")
    path.write_text("".join(json.dumps(x) + "\n" for x in lines))
    return path


def drive(scenario, size=(100, 30), **kwargs):
    """Runs `scenario(app, pilot)` on a headless app once its index is up to date;
    returns the app (its return_value is what the person chose)."""
    async def main():
        app = SessionrowsApp(**kwargs)
        async with app.run_test(size=size) as pilot:
            for _ in range(400):
                if not app.indexing:
                    break
                await pilot.pause(0.025)
            assert not app.indexing, app._index_text
            await settle(pilot)
            await scenario(app, pilot)
        return app
    return asyncio.run(main())


async def settle(pilot):
    """Waits until the keystrokes and moves so far have had their effect: no query
    or preview waiting out its delay or running, and their results drawn."""
    idle = 0
    for _ in range(500):
        await pilot.pause(0.01)
        idle = 0 if pilot.app.busy() else idle + 1
        if idle == 3:
            break
    await pilot.pause()


async def search(pilot, text, typed=False):
    """Puts `text` in the box: typed key by key, or at once (as a paste does)."""
    box = pilot.app.box
    box.focus()
    box.value = ""
    if typed:
        await pilot.press(*text)
    else:
        box.value = text
    await settle(pilot)


def targets(app):
    return [e.target for e in app.results.entries if e.target is not None]


def drawn(widget):
    """The lines of a widget as they are on the screen."""
    return ["".join(s.text for s in widget.render_line(y)) for y in range(widget.size.height)]


def headings(app):
    return [present.plain(e.line) for e in app.results.entries if e.target is None or app._query is None]


def cursor_row(app):
    """The cursor's row on the screen of the list."""
    return app.results._offsets[app.results.highlighted] - int(app.results.scroll_offset.y)


def sessions_shown(app):
    return {t.session_id for t in targets(app)}


QUERIES = [        # (query, typed key by key, the sessions it finds)
    ("flaky", True, {UPLOAD}),
    ("fix", True, {UPLOAD, STAGING}),
    ("containers restarting", False, {STAGING}),
    ('"notes-cli" README', False, {NOTES}),
    ("", False, {UPLOAD, STAGING, NOTES}),        # nothing typed: the newest sessions
]


def test_typing_a_query_shows_the_sessions_that_match(home):
    async def scenario(app, pilot):
        for query, typed, expected in QUERIES:
            await search(pilot, query, typed)
            assert sessions_shown(app) == expected, query
            if query:
                hits = targets(app)
                assert app._results_text.startswith("%d hit" % len(hits))
                headings = [e for e in app.results.entries if e.target is None]
                assert len(headings) == len({h.path for h in hits})      # one heading per log
    drive(scenario)


FILTERS = [         # (query and filters typed, keys pressed after, what every hit then is, what the filter line says)
    ("fix agent:codex", "", lambda t: t.agent == "codex", "agent codex"),
    ("fix", "f2", lambda t: t.agent == "claude", "agent claude"),        # F2: any -> claude
    ("fix", "f2 f2", lambda t: t.agent == "codex", "agent codex"),
    ("test role:user", "", lambda t: t.role == "user", "role user"),
    ("test", "f3", lambda t: t.role == "user", "role user"),             # F3: any -> user
    ("test", "f3 f3", lambda t: t.role == "assistant", "role assistant"),
    ("fix project:uploader", "", lambda t: t.cwd.endswith("/uploader"), "project:uploader"),
    ("fix until:2026-11-04", "", lambda t: t.timestamp < "2026-11-04T00:00", "until:2026-11-04"),
]


def test_a_filter_narrows_the_results_and_says_so(home):
    async def scenario(app, pilot):
        for typed, keys, check, says in FILTERS:
            app.keys = present.KeyFilters()
            await search(pilot, typed.split()[0])
            before = targets(app)
            await search(pilot, typed)
            for key in keys.split():
                await pilot.press(key)
                await settle(pilot)
            after = targets(app)
            assert after and all(check(t) for t in after) and len(after) < len(before), typed + keys
            assert says in str(app.query_one("#filters").render())
    drive(scenario, size=(160, 30))


def test_injected_text_is_searched_only_when_shown(home):
    async def scenario(app, pilot):
        await search(pilot, "instructions")
        assert targets(app) == []
        await pilot.press("f4")
        await settle(pilot)
        found = targets(app)
        assert found and all(t.injected for t in found) and sessions_shown(app) == {STAGING}
        assert "injected shown" in str(app.query_one("#filters").render())
    drive(scenario)


def test_moving_the_selection_shows_the_preview_at_the_hit(home):
    async def scenario(app, pilot):
        await search(pilot, "flaky")
        seen = []
        for step in range(len(targets(app))):
            if step:
                await pilot.press("down")
                await settle(pilot)
            hit = app.results.target
            view = app.preview
            focus = view.lines[view.focus_line]
            assert present.plain(focus).startswith("\u25b6 #%d " % hit.row)
            # the hit's words are marked in its row, and the view opens on it
            body = view.lines[view.focus_line + 1: view.focus_line + 4]
            assert any(style == present.FOCUS_MATCH and text.lower() == "flaky" for line in body
                       for text, style in line)
            assert view.scroll_offset.y <= view._offsets[view.focus_line] < view.scroll_offset.y + view.size.height
            seen.append(hit.row)
        assert len(set(seen)) == len(seen) > 1
    drive(scenario, size=(80, 24))


@pytest.mark.parametrize("size", [(80, 24), (100, 30), (120, 40)])
@pytest.mark.parametrize("how", ["given at the start", "typed"])
def test_the_preview_shows_the_hit_at_any_size(home, size, how):
    async def scenario(app, pilot):
        if how == "typed":
            await search(pilot, "flaky", typed=True)
        rows = []
        for hit in targets(app):
            if rows:
                await pilot.press("down")
                await settle(pilot)
            assert app.results.target == hit
            lines = drawn(app.preview)
            at = [i for i, line in enumerate(lines) if line.startswith("\u25b6 #%d " % hit.row)]
            assert at, lines
            assert any("flaky" in line.lower() for line in lines[at[0]:])     # its words, below its heading
            rows.append(hit.row)
        assert len(rows) == 2
    drive(scenario, size=size, query="flaky" if how != "typed" else "")


@pytest.mark.parametrize("size", [(80, 24), (120, 40)])
@pytest.mark.parametrize("query", ["", "fix", "flaky"])
def test_the_list_gives_the_titles_their_room(home, size, query):
    async def scenario(app, pilot):
        await search(pilot, query)
        entries = app.results.entries
        on_screen = drawn(app.results)
        width = app.results.scrollable_content_region.width
        for i, e in enumerate(entries):
            if query and e.target is not None:
                continue
            title = (e.target or entries[i + 1].target).title
            hits = [x.target for x in entries[i + 1:] if x.target is not None and x.target.path ==
                    entries[i + 1].target.path] if query else []
            line = on_screen[i]
            assert line.startswith(title + "  ") and "\u2026" not in line, line
            assert line.rstrip().endswith("%d hits" % len(hits) if len(hits) > 1 else "")
            assert cell_len(line.rstrip()) <= width
    drive(scenario, size=size)


def many_sessions(home, n):
    """`n` made-up sessions with a made-up word in two rows each, of lengths that rank each hit apart."""
    for i in range(n):
        claude_log(home, "00000000-0000-4000-8000-%012d" % i, "/home/ada/src/many",
                   ["zeppelin " + "filler " * i, "again zeppelin " + "filler " * (i + n)],
                   start=(datetime.datetime(2026, 10, 1) + datetime.timedelta(hours=i)).isoformat())


async def to_the_end(app, pilot):
    """Moves the cursor down a page at a time until it is on the last entry of the
    list (or the list grew meanwhile, as the cursor reached its end)."""
    entries = app.results.entries
    for _ in range(100):
        if app.results.at_end() or app.results.entries is not entries:
            break
        await pilot.press("pagedown")
    await settle(pilot)


def test_the_list_loads_more_as_the_cursor_reaches_its_end(home):
    many_sessions(home, 70)

    async def scenario(app, pilot):
        rows = []       # where on the screen the cursor was when the list was drawn anew
        draw = app.results.show

        def show(entries, *args):
            rows.append(cursor_row(app) if app.results.highlighted is not None else None)
            draw(entries, *args)
        app.results.show = show
        for query, pages, last_says in [("", [60, 73], "all 73 sessions"), ("zeppelin", [50, 100, 140], "all shown")]:
            await search(pilot, query)
            seen = set()
            for k, count in enumerate(pages):
                shown = [(t.path, getattr(t, "row", None)) for t in targets(app)]
                assert len(shown) == count and seen <= set(shown), (query, k)     # nothing lost, nothing twice
                seen = set(shown)
                if k == len(pages) - 1:
                    assert last_says in app._results_text and present.MORE not in app._results_text
                    break
                assert present.MORE in app._results_text and last_says not in app._results_text
                await to_the_end(app, pilot)
                # the next page came; the cursor is where it was, on the same entry
                was = shown[-1]
                assert (app.results.target.path, getattr(app.results.target, "row", None)) == was
                assert cursor_row(app) == rows[-1] > 0
                assert not app.results.at_end()
                await pilot.press("down")
                await settle(pilot)
                assert (app.results.target.path, getattr(app.results.target, "row", None)) not in seen
        # other results, after the cursor went far down these: shown from their top, the first heading in view
        await search(pilot, "again zeppelin")
        assert app.results.scroll_offset.y == 0 and app.results.highlighted == 1
        assert drawn(app.results)[0].rstrip() == present.plain(app.results.entries[0].line).rstrip()
    drive(scenario, size=(80, 24))


def test_the_cursor_goes_over_the_hits_only_by_keys_and_by_mouse(home):
    async def scenario(app, pilot):
        await search(pilot, "fix")          # a heading and a hit for each of two sessions
        kinds = [e.target is not None for e in app.results.entries]
        assert kinds == [False, True, False, True] and app.results.highlighted == 1
        for key, expected in [("down", 3), ("down", 3), ("up", 1), ("up", 1), ("pagedown", 3), ("pageup", 1)]:
            await pilot.press(key)
            await settle(pilot)
            assert app.results.highlighted == expected, key
            assert app.preview.texts[app.preview.focus_line].startswith("\u25b6 #%d " % app.results.target.row)
        await pilot.click("#results", offset=(4, 1 + 2))        # a heading (below the border): nothing
        assert app.results.highlighted == 1
        await pilot.click("#results", offset=(4, 1 + 3))
        await settle(pilot)
        assert app.results.highlighted == 3 and not isinstance(app.screen, TranscriptScreen)
        second = app.results.entries[3].target.path
        await pilot.click("#results", offset=(4, 1 + 3), times=2)
        await settle(pilot)
        assert isinstance(app.screen, TranscriptScreen) and app.screen.transcript.path == second
    drive(scenario, size=(80, 24))


def test_enter_opens_the_whole_transcript_with_a_search_within(home):
    async def scenario(app, pilot):
        await search(pilot, "flaky")
        hit = app.results.target
        await pilot.press("enter")
        await settle(pilot)
        screen = app.screen
        assert isinstance(screen, TranscriptScreen)
        view = screen.query_one(TextView)
        t = commands.load_session(hit.path)
        text = "\n".join(view.texts)
        for row in t.rows:          # every row, in full
            assert "#%d " % row.row in text
            for line in row.text.split("\n"):
                assert line.strip() in text
        assert view.texts[view.focus_line].startswith("\u25b6 #%d " % hit.row)
        assert view.visible_line() < view.focus_line and view.focus_line - view.visible_line() < view.size.height
        await pilot.press("slash")
        screen.query_one("#find").value = "clock"
        await pilot.press("enter")
        await settle(pilot)
        found = []
        for key in "nN":
            found.append(screen.found_line)
            top = view.visible_line()
            assert "clock" in view.texts[found[-1]].lower() and top <= found[-1] < top + view.size.height
            await pilot.press(key)
            await settle(pilot)
        assert found[0] != found[1] and screen.found_line == found[0]    # n: the next match, N: back
        await pilot.press("escape", "escape")
        await settle(pilot)
        assert not isinstance(app.screen, TranscriptScreen)
    drive(scenario, size=(80, 24))


@pytest.mark.parametrize("query, argv, cwd", [
    ("flaky", ["claude", "--resume", UPLOAD], "/home/ada/src/uploader"),
    ("containers restarting", ["codex", "resume", STAGING], "/home/ada/src/infra"),
])
@pytest.mark.parametrize("where", ["list", "transcript"])
def test_the_resume_key_leaves_with_the_command_and_its_folder(home, query, argv, cwd, where):
    async def scenario(app, pilot):
        await search(pilot, query)
        if where == "transcript":
            await pilot.press("enter")
            await settle(pilot)
        await pilot.press("ctrl+r")
        await settle(pilot)
    app = drive(scenario)
    plan = app.return_value
    assert (plan.argv, plan.cwd) == (argv, cwd)
    assert plan.line == "cd %s && %s" % (cwd, " ".join(argv))


@pytest.mark.parametrize("folder", ["there", "gone"])
def test_the_copy_key_sends_the_resume_line_that_can_work(home, tmp_path, folder):
    cwd = str(tmp_path / "work")
    if folder == "there":
        os.mkdir(cwd)
    claude_log(home, HOSTILE, cwd, ["where is the quokka config"])
    line = "claude --resume " + HOSTILE

    async def scenario(app, pilot):
        await search(pilot, "quokka")
        await pilot.press("ctrl+y")
        await settle(pilot)
        assert app.clipboard == ("cd %s && %s" % (cwd, line) if folder == "there" else line)
        # the preview says so too
        assert any(text.endswith(app.clipboard) for text in app.preview.texts)
    drive(scenario)


@pytest.mark.parametrize("where", ["list", "transcript"])
def test_a_sub_agents_log_is_shown_under_the_title_the_list_gives_it(home, monkeypatch, where):
    paged = []
    monkeypatch.setattr(printing, "print_transcript", lambda out, t, rows, width, around=None: paged.append(t.title))
    monkeypatch.setattr(terminal, "pager", lambda stream, *args: contextlib.nullcontext(io.StringIO()))
    monkeypatch.setattr(SessionrowsApp, "suspend", lambda self: contextlib.nullcontext())

    async def scenario(app, pilot):
        await search(pilot, "notes grep")
        for _ in range(len(app.results.entries)):
            if app.results.target.subagent:
                break
            await pilot.press("down")
            await settle(pilot)
        assert app.results.target.subagent, [present.plain(e.line) for e in app.results.entries]
        i = app.results.highlighted
        heading = next(present.plain(e.line) for e in reversed(app.results.entries[:i]) if e.target is None)
        title = app.results.target.title
        assert title == "Writing the notes-cli README" and heading.startswith(title + "  ")
        assert drawn(app.preview)[0].startswith(title) or app.preview.texts[0] == title
        if where == "transcript":
            await pilot.press("enter")
            await settle(pilot)
            assert isinstance(app.screen, TranscriptScreen) and app.screen.query_one(TextView).texts[0] == title
        await pilot.press("ctrl+o")
        await settle(pilot)
        assert paged == [title]
    drive(scenario)


GEMINI = "9692a100-69d1-495c-a62c-f4835a92360b"
COPILOT = "f3799dbd-0001-4a4a-9b9b-123456789abc"
PI = "b7c1d2e3-0000-4000-8000-000000000001"


def _write_lines(path, lines):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("".join(json.dumps(x) + "\n" for x in lines))
    return path


def three_more_assistants(home):
    """A made-up session of Gemini CLI, Copilot CLI and Pi, each where it keeps its logs."""
    _write_lines(home / ".gemini" / "tmp" / "abc123" / "chats" / "session-2026-11-07T10-00-9692a100.jsonl", [
        {"sessionId": GEMINI, "projectHash": "abc123", "startTime": "2026-11-07T10:00:00.000Z",
         "lastUpdated": "2026-11-07T10:01:00.000Z", "kind": "main"},
        {"id": "m1", "timestamp": "2026-11-07T10:00:01.000Z", "type": "user",
         "content": [{"text": "Gemini, rename the widget module"}]},
        {"id": "m2", "timestamp": "2026-11-07T10:00:05.000Z", "type": "gemini", "content": "Renamed it."}])

    def ev(kind, data, id, ts):
        return {"type": kind, "data": data, "id": id, "timestamp": "2026-11-08T10:00:%02d.000Z" % ts, "parentId": None}
    _write_lines(home / ".copilot" / "session-state" / COPILOT / "events.jsonl", [
        ev("session.start", {"sessionId": COPILOT, "version": 1, "producer": "copilot-agent",
                             "context": {"cwd": "/home/ada/src/gadgets"}}, "e0", 0),
        ev("user.message", {"content": "Copilot, rename the gadget module", "attachments": []}, "u1", 1),
        ev("assistant.message", {"messageId": "m1", "content": "Renamed it.", "toolRequests": []}, "a1", 3)])
    return _write_lines(home / ".pi" / "agent" / "sessions" / "--home-ada-src-gizmos--" /
                        ("2026-11-09T10-00-00-000Z_%s.jsonl" % PI), [
        {"type": "session", "version": 3, "id": PI, "timestamp": "2026-11-09T10:00:00.000Z",
         "cwd": "/home/ada/src/gizmos"},
        {"type": "message", "id": "e1", "parentId": None, "timestamp": "2026-11-09T10:00:01.000Z",
         "message": {"role": "user", "content": "Pi, rename the gizmo module"}},
        {"type": "message", "id": "e2", "parentId": "e1", "timestamp": "2026-11-09T10:00:02.000Z",
         "message": {"role": "assistant", "content": [{"type": "text", "text": "Renamed it."}]}}])


@pytest.mark.parametrize("agent, presses, resumes", [     # (F2 pressed this often from "any", the line that resumes it)
    ("claude", 1, "claude --resume " + UPLOAD),
    ("codex", 2, "codex resume " + STAGING),
    ("gemini", 3, "gemini --resume " + GEMINI),
    ("copilot", 4, "copilot --resume=" + COPILOT),
    ("pi", 5, "pi --session {pi}"),
])
def test_the_agent_key_knows_every_assistant_and_each_resumes(home, agent, presses, resumes):
    pi_log = three_more_assistants(home)
    resumes = resumes.format(pi=pi_log)
    found = []

    async def scenario(app, pilot):
        await search(pilot, "")
        assert {t.agent for t in targets(app)} == {"claude", "codex", "gemini", "copilot", "pi"}
        for _ in range(presses):
            await pilot.press("f2")
            await settle(pilot)
        assert "agent %s" % agent in str(app.query_one("#filters").render())
        found.extend(targets(app))
        assert found and {t.agent for t in found} == {agent}
        for _ in found:
            if app.results.target.session_id in resumes:
                break
            await pilot.press("down")
            await settle(pilot)
        await pilot.press("ctrl+y")
        await settle(pilot)
        # the example sessions' folders are not on this machine: the line without its cd
        assert app.clipboard == resumes
        assert any(text.endswith(resumes) for text in app.preview.texts)
        await pilot.press("f2")                # and on from pi to any
        await settle(pilot)
    app = drive(scenario)
    if agent == "pi":
        assert app.keys.agent is None


def test_a_session_whose_log_is_gone_shows_as_archived_and_is_restored_first(home):
    commands.open_index().index.close()         # reads the logs, and so archives them
    (home / ".claude" / "projects" / "-home-ada-src-uploader" / (UPLOAD + ".jsonl")).unlink()
    commands.open_index().index.close()         # notes the log gone
    restore = "sessionrows restore " + UPLOAD

    async def scenario(app, pilot):
        for query in ("", "flaky"):
            await search(pilot, query)
            for _ in range(len(app.results.entries)):
                if app.results.target.session_id == UPLOAD:
                    break
                await pilot.press("down")
                await settle(pilot)
            i = app.results.highlighted
            heading = [present.plain(e.line) for e in app.results.entries[:i + 1]
                       if e.target is None or query == ""][-1]
            assert heading.startswith("Fix the flaky upload test  ") and "archived" in heading
            others = [present.plain(e.line) for e in app.results.entries if e.target is None or query == ""]
            assert sum("archived" in h for h in others) == 1
            header = app.preview.texts[:app.preview.texts.index("")]
            assert any(line.startswith("archived: the log is gone") and line.endswith(restore) for line in header)
        await pilot.press("ctrl+r")             # does not leave: the assistant would not find the log
        await settle(pilot)
        assert app.is_running and app.return_value is None
        await pilot.press("ctrl+y")
        await settle(pilot)
        assert app.clipboard == restore + " && claude --resume " + UPLOAD
        await pilot.press("enter")
        await settle(pilot)
        assert app.screen.transcript.archived
        await pilot.press("ctrl+r")
        await settle(pilot)
        assert app.is_running
    app = drive(scenario)
    assert app.return_value is None


@pytest.mark.parametrize("where", ["list", "transcript"])
def test_the_export_key_writes_the_session_as_a_private_html_page(home, tmp_path, monkeypatch, where):
    out = tmp_path / "out"
    out.mkdir()
    (out / (UPLOAD + ".html")).write_text("someone else's page")
    monkeypatch.chdir(out)

    async def scenario(app, pilot):
        await search(pilot, "flaky")
        if where == "transcript":
            await pilot.press("enter")
            await settle(pilot)
        await pilot.press("ctrl+s")
        for _ in range(200):
            if app.exported:
                break
            await pilot.pause(0.02)
    app = drive(scenario)
    page = pathlib.Path(app.exported)
    assert page == out / (UPLOAD + "-2.html")                   # an existing file is left alone
    assert (out / (UPLOAD + ".html")).read_text() == "someone else's page"
    assert stat.S_IMODE(page.stat().st_mode) == 0o600
    text = page.read_text()
    assert text.lstrip().lower().startswith("<!doctype html") and "Fix the flaky upload test" in text


def _hostile_log(home, cwd):
    folder = home / ".claude" / "projects" / "-hostile"
    folder.mkdir(parents=True)
    said = ("Why does the \x1b[31mred\x1b[0m banner [bold]blink[/bold] \x1b]0;pwned\x07 here?\r\n"
            "\u202e [link=http://x]markup[/link] \x1b[2J\x9b1m")
    lines = [{"parentUuid": None, "isSidechain": False, "type": "user", "uuid": "u1", "sessionId": HOSTILE,
              "cwd": cwd, "timestamp": "2026-11-20T10:00:00.000Z",
              "message": {"role": "user", "content": said}},
             {"type": "custom-title", "customTitle": "[reverse]ti\x1b[7mtle[/reverse]", "sessionId": HOSTILE}]
    (folder / (HOSTILE + ".jsonl")).write_text("".join(json.dumps(x) + "\n" for x in lines))


def test_a_log_holding_escape_sequences_and_markup_shows_them_harmlessly(home):
    _hostile_log(home, "/home/ada/src/x\x1b]0;t\x07")

    async def scenario(app, pilot):
        await search(pilot, "banner")
        assert sessions_shown(app) == {HOSTILE}
        await pilot.press("enter")
        await settle(pilot)
        screen_text = []
        for screen in (app.screen, app.screen_stack[0]):
            for widget in screen.query("*"):
                if hasattr(widget, "render_line") and widget.size.height:
                    for y in range(widget.size.height):
                        screen_text.append("".join(s.text for s in widget.render_line(y)))
        drawn = "\n".join(screen_text)
        for raw in ("\x1b", "\x07", "\x9b", "\u202e", "\r"):
            assert raw not in drawn
        # escape sequences are taken out (the words they colour stay), other controls shown as escapes
        assert "Why does the red banner" in drawn and "\\x1b[31m" not in drawn and "\\u202e" in drawn
        assert "[bold]blink[/bold]" in drawn and "[link=http://x]markup[/link]" in drawn
        titles = [present.plain(e.line) for e in app.results.entries if e.target is None]
        assert titles[0].startswith("[reverse]title[/reverse]")
    drive(scenario, size=(200, 40))


@pytest.mark.parametrize("folder, session_id, runs", [
    ("exists", UPLOAD, True),
    ("gone", UPLOAD, False),
    ("exists", "--dangerously-skip-permissions", False),     # an "id" that would read as an option
])
def test_resuming_runs_the_assistant_in_its_folder_or_prints_the_line(tmp_path, monkeypatch, capsys, folder,
                                                                       session_id, runs):
    cwd = str(tmp_path) if folder == "exists" else str(tmp_path / "gone")
    ran = []

    def execvp(file, argv):
        ran.append((os.getcwd(), file, argv))
        raise SystemExit(0)

    monkeypatch.setattr(os, "execvp", execvp)
    monkeypatch.chdir(REPO)
    plan = present.resume_plan("claude", session_id, cwd)
    if runs:
        with pytest.raises(SystemExit):
            present.run_plan(plan)
        assert ran == [(cwd, "claude", ["claude", "--resume", session_id])]
    else:
        assert present.run_plan(plan) == 0 and ran == []
        printed = capsys.readouterr()
        if folder == "gone":        # what resumes it from here: the line without its cd
            assert printed.out.strip() == "claude --resume " + session_id
            assert "folder %s is gone" % cwd in printed.err and "cd " not in printed.err + printed.out
        else:
            assert printed.out.strip() == plan.line


@pytest.mark.parametrize("typed, query, filters, problems", [
    ("docker compose", "docker compose", {}, 0),
    ("agent:codex docker", "docker", {"agent": "codex"}, 0),
    ("docker AGENT:Claude role:user", "docker", {"agent": "claude", "role": "user"}, 0),
    ('project:"my app" x', "x", {"project": "my app"}, 0),
    ("context:on x", "x", {"context": True}, 0),
    ("agent: x", "x", {}, 0),                             # still being typed
    ("agent:gemini x", "x", {"agent": "gemini"}, 0),
    ("agent:cursor x", "x", {}, 1),
    ("role:robot x", "x", {}, 1),
    ("since:someday x", "x", {"since": None}, 1),
    ('"agent:codex" x', '"agent:codex" x', {}, 0),        # quoted: words to look for
    ("notagent:codex", "notagent:codex", {}, 0),
])
def test_the_box_reads_filters_and_leaves_the_query(typed, query, filters, problems):
    box = present.read_box(typed)
    assert box.query == query
    for name, value in filters.items():
        assert getattr(box.filters, name) == value
    assert len(box.problems) == problems


@pytest.mark.parametrize("query, waits", [
    ("docker", False), ("docker c", True), ("d", True), ('"pytest -', False), ("src/a", True),
    ("x1", False), ("\u6587", False), ("", False), ("c++", True),
])
def test_a_query_whose_last_word_is_one_letter_waits_for_a_pause(query, waits):
    assert present.typing_delay(query, 0.04, 0.3) == (0.3 if waits else 0.04)


def test_box_dates_and_keys():
    box = present.read_box("since:2026-03-01 until:2026-03-01 x", present.KeyFilters(agent="codex", context=True))
    assert box.filters.since == when.parse_when("2026-03-01") and box.filters.until == when.parse_when("2026-03-01", True)
    assert (box.filters.agent, box.filters.context) == ("codex", True)
    assert present.read_box("agent:claude x", present.KeyFilters(agent="codex")).filters.agent == "claude"
    assert present.read_box("since:2026-03-02 until:2026-03-01 x").problems == ["since is not before until"]
    assert [present.next_agent(a) for a in (None, "claude", "codex", "pi")] == ["claude", "codex", "gemini", None]


@pytest.mark.parametrize("text", [
    "x" * 500,
    "word " * 200,
    "    " + "indented words that go on " * 30,
    "\u4e2d\u6587" * 150 + "abc",                        # wide characters: never split
    "caf\u00e9 \u2014 " * 80,                             # not ASCII: cut between words too
    ("\u4e2d " * 7 + "\u6587" * 30) * 5,
    "a\u0301" * 300,                                     # combining marks
    "        " + "y" * 300,
    "",
])
@pytest.mark.parametrize("width", [10, 37, 80])
def test_a_long_line_is_folded_without_losing_a_character(text, width):
    from rich.cells import cell_len
    starts = _starts(text, width)
    ends = starts[1:] + [len(text)]
    pieces = [text[a:b] for a, b in zip(starts, ends)]
    assert "".join(pieces) == text and starts == sorted(set(starts))
    indent = _indent(text, width)
    assert all(cell_len(p) <= (width if k == 0 else width - indent) for k, p in enumerate(pieces))


FIX = "Fix the flaky upload test"
LONG = "a very long title " * 10


@pytest.mark.parametrize("title, width, marks, shown", [
    (FIX, 200, (), FIX + "  claude \u00b7 uploader-service-v2 \u00b7 2026-11-03 09:02 \u00b7 2 hits"),
    (FIX, 80, (), FIX + "  claude \u00b7 uploader-service-v2 \u00b7 2026-11-03 \u00b7 2 hits"),   # the time of day first
    (FIX, 70, (), FIX + "  claude \u00b7 uploader-se\u2026 \u00b7 2026-11-03 \u00b7 2 hits"),   # then the project
    (FIX, 56, (), FIX + "  claude \u00b7 2026-11-03 \u00b7 2 hits"),
    (FIX, 44, (), FIX + "  claude \u00b7 2 hits"),                                      # then the date
    (FIX, 30, (), "Fix the flak\u2026  claude \u00b7 2 hits"),                            # only then the title
    (LONG, 98, (), LONG[:67] + "\u2026  claude \u00b7 2026-11-03 \u00b7 2 hits"),        # a title that cannot fit
    (LONG, 58, (), LONG[:27] + "\u2026  claude \u00b7 2026-11-03 \u00b7 2 hits"),        # ... nor two thirds of it
    (FIX, 80, ("a3f9", True), FIX + "  claude \u00b7 2026-11-03 \u00b7 sub-agent \u00b7 archived \u00b7 2 hits"),
])
def test_a_heading_cuts_the_project_and_the_date_before_the_title(title, width, marks, shown):
    line = present.plain(present.session_heading(title, "claude", "/home/ada/src/uploader-service-v2",
                                                 "2026-11-03T09:02:00", 2, width, *marks))
    assert line == shown and cell_len(line) <= width
    assert cell_len(present.plain(present.fit([("\u4e2d" * 50, "")], 21))) <= 21


@pytest.mark.parametrize("query", ["flaky upload", "FakeClock", "pytest"])
def test_a_session_heading_shows_its_own_time_whatever_the_hit(home, query):
    group = next(g for g in commands.group_by_session(commands.search(query).hits) if g.first.session_id == UPLOAD)
    heading = present.plain(present.result_entries([group], 200)[0].line)
    assert when.local_time(group.first.last_ts) in heading                 # its last activity
    assert when.local_time(group.first.timestamp) not in heading


@pytest.mark.parametrize("shown, says", [
    (present.results_status(1, 1, 0.004, None, False), "1 hit in 1 session (4 ms)"),
    (present.results_status(3, 2, 0.004, None, False), "3 hits in 2 sessions (4 ms)"),
    (present.plain(present._row_lines(commands.SessionRow(0, "tool", 4, 0, "", "", "a\nb\nc"), None, False, 2)[-1]),
     "    \u2026 1 more line"),
])
def test_counts_read_in_the_singular_for_one(shown, says):
    assert shown == says


def test_the_index_opened_without_update_sees_what_another_connection_commits(home, tmp_path):
    index = str(tmp_path / "index.sqlite")
    q = commands.parse("flaky")
    reader = commands.open_index(None, index, update=False)
    try:
        assert commands.search_opened(reader, q, commands.Filters(), 10).hits == []
        writer = commands.open_index(None, index)
        writer.index.close()
        hits = commands.search_opened(reader, q, commands.Filters(), 10).hits
        assert {h.session_id for h in hits} == {UPLOAD}
        assert not reader.scope.whole and reader.found == 0
    finally:
        reader.index.close()


@pytest.mark.parametrize("stdin, stdout, installed, opens", [
    (True, True, True, True),
    (False, True, True, False),
    (True, False, True, False),
    (True, True, False, False),
])
def test_no_command_opens_the_interface_only_on_a_terminal(monkeypatch, capsys, stdin, stdout, installed, opens):
    from sessionrows import tui
    opened = []
    monkeypatch.setattr(tui, "run", lambda paths, index, query: opened.append(paths) or 0)
    monkeypatch.setattr(tui, "available", lambda: installed)
    monkeypatch.setattr("sys.stdin.isatty", lambda: stdin, raising=False)
    monkeypatch.setattr("sys.stdout.isatty", lambda: stdout, raising=False)
    assert cli.main([]) == 0
    assert opened == ([[]] if opens else [])
    printed = capsys.readouterr()
    assert ("usage: sessionrows" in printed.out) != opens
    # on a terminal without Textual: a line that says how to get the interface
    assert ("needs Textual: pip install" in printed.err) == (stdin and stdout and not installed)


def test_the_help_says_what_sessionrows_alone_does_and_every_export_format():
    text = " ".join(cli.build_parser().format_help().split())
    assert "Without a command, on a terminal: the interface to search as you type (sessionrows tui)" in text
    export = text[text.index(" export "):text.index(" stats ")]
    assert all(name in export for name in ("jsonl", "csv", "parquet", "markdown", "html")), export
