"""Transcripts as Markdown and HTML: what a log holds never becomes markup, Markdown
parses back to the rows of the session, tool inputs are shown exactly or not at all,
exported folders are private and complete, and a real browser draws the page."""

import html.parser
import os
import shutil
import stat
import struct
import subprocess
import sys
import zlib

import pytest

from conftest import REPO
from sessionrows import commands
from test_cli import env_for, home  # noqa: F401 (fixture)
from sessionrows.discovery import LogFile, find_logs
from sessionrows.sessions import INJECTED, TEXT, TOOL_CALL, TOOL_RESULT
from sessionrows.transcripts import render
from sessionrows.transcripts.export import export_folder
from sessionrows.transcripts.markdown import code, fenced, message
from sessionrows.transcripts.model import build_page
from sessionrows.transcripts.tools import tool_view

sys.path.insert(0, str(REPO / "examples"))
from make_sessions import Claude, text, tool_use  # noqa: E402

markdown_it = pytest.importorskip("markdown_it")

EXAMPLES = REPO / "examples" / "sessions"
SID = "0badc0de-1111-4222-8333-944455556666"
CWD = '/home/eve/"><script>alert("cwd")</script>'
HOSTILE_PROMPT = (
    'Look: <script>alert("s1")</script> <img src=x onerror=alert("i1")> <svg onload=alert(1)>\n'
    '[click](javascript:alert("j1")) <javascript:alert("j2")> [fine](https://example.com/a?b=1)\n'
    '</details></section></main> <a href="javascript:alert(5)" onclick="x()">a</a>\n'
    '![pixel](https://tracker.example/p.png) <iframe src="https://example.com"></iframe>\n'
    '<style>body{display:none}</style> <meta http-equiv="refresh" content="0;url=https://evil.example">\n\n'
    "<!-- an unclosed comment\n\n<details open><summary>x</summary>\n")
ANSWER = ('Here is code:\n\n```python\nprint("</pre><script>alert(6)</script>")\n```\n\n| a | b |\n|---|---|\n'
          '| <b onmouseover=x()>bold</b> | `code` |\n\nAnd an open fence:\n\n````\nstill code <script>\n```\n')
SECRET = "hunter2-secret"


def hostile_home(root):
    """A HOME whose one Claude session (and its sub-agent) holds hostile texts."""
    project = root / ".claude" / "projects" / "-home-eve"
    s = Claude(SID, CWD, 5 * 86400)
    s.user(HOSTILE_PROMPT)
    s.user("<system-reminder>\n<script>alert('injected')</script> %s\n</system-reminder>" % SECRET, seconds=1)
    s.assistant(text(ANSWER),
                tool_use("t1", "Bash", command="echo '</code></pre><script>alert(7)</script>' | cat\n"
                         "cat <<EOF\ndescription: inside the heredoc\nEOF", description='<img src=x onerror=alert(8)>'))
    s.tool_result("t1", "\x1b[31mred\x1b[0m done \x07\u202e\n</details><script>alert(9)</script>\n" + "line\n" * 60)
    s.assistant(tool_use("t2", "Edit", file_path="/w/<b>.py", old_string="a = '<script>'\nb = 1 %s" % SECRET,
                         new_string="a = '&lt;'\nb = 2\nreplace_all: true", replace_all=False))
    s.tool_result("t2", "The file /w/<b>.py has been updated.")
    s.assistant(tool_use("t3", "Write", file_path="/w/page.html", content="</textarea><script>alert(10)</script>\n"))
    s.tool_result("t3", "ok")
    s.assistant(tool_use("t4", "Task", description="look around", prompt="Find <script>alert(11)</script>",
                         subagent_type="Explore"))
    s.tool_result("t4", "Found it.\nagentId: e1e2e3 (for resuming)")
    s.raw({"type": "custom-title", "customTitle": '<script>alert("title")</script> & "%s"' % SECRET,
           "sessionId": SID})
    s.write(project / (SID + ".jsonl"))
    agent = Claude(SID, CWD, 5 * 86400 + 30, sidechain=True)
    agent.user("Find <script>alert(11)</script>")
    agent.assistant(text("Nothing but <img src=x onerror=alert(12)> here."))
    agent.write(project / SID / "subagents" / "agent-e1e2e3.jsonl")
    return project / (SID + ".jsonl")


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    return hostile_home(tmp_path_factory.mktemp("hostile"))


def load(path):
    return commands.load_session(str(path))


def sample_logs():
    return [p for p in sorted(EXAMPLES.rglob("*.jsonl")) if "subagents" not in p.parts]


# -- HTML: nothing from a log becomes markup ---------------------------------------------

class Collect(html.parser.HTMLParser):
    """Every start tag with its attributes, the text, and whether each tag that opens
    closes in order."""

    VOID = {"meta", "link", "br", "hr", "img", "input", "wbr", "col", "source", "area", "base", "embed"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags, self.text, self.stack, self.errors = [], [], [], []

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))
        if tag not in self.VOID:
            self.stack.append(tag)

    def handle_startendtag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))

    def handle_endtag(self, tag):
        if not self.stack or self.stack[-1] != tag:
            self.errors.append((tag, list(self.stack)))
        else:
            self.stack.pop()

    def handle_data(self, data):
        self.text.append(data)


def stdlib_parse(page):
    p = Collect()
    p.feed(page)
    p.close()
    assert not p.errors and not p.stack, (p.errors[:3], p.stack)
    return p.tags, "".join(p.text)


def html5lib_parse(page):
    html5lib = pytest.importorskip("html5lib")
    doc = html5lib.HTMLParser(strict=True, namespaceHTMLElements=False).parse(page)   # raises on a parse error
    tags = [(el.tag, dict(el.attrib)) for el in doc.iter() if isinstance(el.tag, str)]
    return tags, "".join(doc.itertext())


@pytest.mark.parametrize("parse", [stdlib_parse, html5lib_parse])
@pytest.mark.parametrize("context", [False, True])
def test_html_of_a_hostile_log_holds_no_markup_from_it(hostile, parse, context):
    page = render(load(hostile), "html", context=context)
    tags, shown = parse(page)
    names = [t for t, _ in tags]
    assert not {"script", "img", "iframe", "svg", "object", "embed", "form", "base", "link"} & set(names)
    assert names.count("style") == 1 and names.count("meta") == 6     # the page's own, in its head
    for tag, attrs in tags:
        assert not [a for a in attrs if a.lower().startswith("on")], (tag, attrs)
        href = attrs.get("href")
        if href is not None:
            assert href.startswith("#") or href.startswith("https://"), href
            if not href.startswith("#"):
                assert attrs.get("rel") == "noopener noreferrer"
        for value in attrs.values():
            assert "javascript:" not in (value or "").lower()
    # The texts are shown as they are, as text.
    for piece in ('<script>alert("s1")</script>', '<img src=x onerror=alert("i1")>', '</details></section></main>',
                  '[click](javascript:alert("j1"))', 'print("</pre><script>alert(6)</script>")',
                  "</details><script>alert(9)</script>", "</textarea><script>alert(10)</script>",
                  "<!-- an unclosed comment", CWD, '<script>alert("title")</script>', "alert(12)"):
        assert piece in shown, piece
    assert "\x1b" not in page and "[31m" not in page and "\\x07" in shown and "\\u202e" in shown
    assert ("alert('injected')" in shown) == context
    # http(s) links stay links; an image is a link to it, never loaded
    assert [a.get("href") for t, a in tags if t == "a" and a.get("href", "").startswith("http")] == [
        "https://example.com/a?b=1", "https://tracker.example/p.png"]


def test_html_page_is_self_contained(hostile):
    page = render(load(hostile), "html")
    assert "http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\"" in page
    assert "@media (prefers-color-scheme: dark)" in page and "@media print" in page
    for link in ("src=", "url(", "@import"):
        assert link not in page.split("<body>")[0]


# -- Markdown: parsed back, it is the session ------------------------------------------

OUR_HTML = ("<a id=", "</a>", "<details>", "</details>", "<summary>")


def md_counts(md):
    tokens = markdown_it.MarkdownIt("commonmark").enable("table").parse(md)
    rows, tools, fences, foreign = [], 0, 0, []
    for i, t in enumerate(tokens):
        if t.type == "heading_open" and t.tag == "h3":
            label = "".join(c.content for c in tokens[i + 1].children if c.type in ("text", "code_inline"))
            rows.append(label)
            tools += label.startswith(("tool call", "tool result"))
        elif t.type in ("fence", "code_block"):
            fences += 1
        html_parts = [t.content] if t.type == "html_block" else \
            [c.content for c in (t.children or []) if c.type == "html_inline"]
        for part in html_parts:
            if not part.strip().startswith(OUR_HTML):
                foreign.append(part)
    return rows, tools, fences, foreign


def message_fences(s):
    return sum(t.type in ("fence", "code_block") for t in markdown_it.MarkdownIt("commonmark").parse(s))


@pytest.mark.parametrize("context", [False, True])
@pytest.mark.parametrize("which", ["hostile"] + [p.name for p in sample_logs()])
def test_markdown_parses_back_to_the_sessions_rows(hostile, which, context):
    path = hostile if which == "hostile" else next(p for p in sample_logs() if p.name == which)
    t = load(path)
    subs = build_page(t).subagents
    md = render(t, "markdown", context=context)
    rows, tools, fences, foreign = md_counts(md)
    assert not foreign, foreign
    shown = [r for r in t.rows if context or r.kind not in INJECTED]
    sub_rows = [e for s in subs for e in s.entries]
    assert len(rows) == len(shown) + len(sub_rows)
    said = [r for r in shown if r.kind == TEXT]
    assert sum(label.startswith(("user", "assistant")) for label in rows) >= len(said)
    assert tools == sum(r.kind in (TOOL_CALL, TOOL_RESULT) for r in shown) + \
        sum(e.kind in (TOOL_CALL, TOOL_RESULT) for e in sub_rows)
    # One block per tool call, result and injected text; messages keep their own.
    expected = sum(1 for r in shown if r.kind != TEXT) + sum(message_fences(r.text) for r in said) + \
        sum(1 for e in sub_rows if e.kind != TEXT) + sum(message_fences(e.text) for e in sub_rows if e.kind == TEXT)
    assert fences == expected
    # A viewer that renders raw HTML still shows no markup from the log.
    tags, _ = stdlib_parse("<div>%s</div>" % markdown_it.MarkdownIt("commonmark").render(md))
    assert not {"script", "img", "iframe", "style", "meta", "svg"} & {t for t, _ in tags}, tags
    assert all(not a.startswith("on") for _, attrs in tags for a in attrs)


@pytest.mark.parametrize("body", ["plain", "```\nfence inside\n```", "a ```` b", "````````", "`", "ends with `",
                                  "~~~\nx"])
def test_fenced_blocks_and_code_spans_hold_any_backticks(body):
    tokens = markdown_it.MarkdownIt("commonmark").parse(fenced(body) + "\nafter\n")
    assert [t.type for t in tokens][:2] == ["fence", "paragraph_open"]
    assert tokens[0].content == body + "\n"
    one_line = body.replace("\n", " ")
    inline = markdown_it.MarkdownIt("commonmark").parseInline(code(one_line))[0].children
    assert [c.type for c in inline] == ["code_inline"] and inline[0].content == one_line.strip(" ") or \
        inline[0].content == one_line


@pytest.mark.parametrize("s", ["```\nopen", "text\n~~~~ python\nopen", "> ```\n> quoted", "```\nclosed\n```",
                               "<div>\n\n*x*", "a <b>b</b> `<b>`", "<div>\n```\nopened once the div is text",
                               "</details>\n![x](https://t.example/p.png)", "<!--\n# hidden"])
def test_a_message_cannot_reach_past_itself(s):
    tokens = markdown_it.MarkdownIt("commonmark").parse(message(s) + "\n\n# next\n")
    assert tokens[-3].type == "heading_open"
    assert not [t for t in tokens if t.type == "html_block"]
    assert not [c for t in tokens for c in (t.children or []) if c.type in ("html_inline", "image")]


# -- tool inputs: exactly, or not at all --------------------------------------------------

EDIT = dict(file_path="/a.py", old_string="x = 1\n", new_string="x = 2\n")


@pytest.mark.parametrize("tool, inputs, form", [
    ("Bash", dict(command="ls -la", description="list"), "command"),
    ("Bash", dict(command="cat <<EOF\nname: x\ndescription: y\nEOF", description="write"), "command"),
    ("Bash", dict(command="git commit -m 'feat: a\n\ntimeout: 3'"), "command"),
    ("Edit", EDIT, "edit"),
    ("Edit", dict(EDIT, replace_all=True), "edit"),
    ("Edit", dict(replace_all=False, **EDIT), "edit"),
    ("Edit", dict(EDIT, new_string="x = 2\nreplace_all: true"), "edit"),       # a line that looks like a field
    ("Edit", dict(EDIT, old_string="old_string: 1\nnew_string: 2"), "edit"),
    ("MultiEdit", dict(file_path="/a", edits=[dict(old_string="a\nb", new_string="c"),
                                              dict(old_string="d", new_string="e\n  - old_string: f")]), "edit"),
    ("Write", dict(file_path="/a.md", content="# t\n\nfile_path: b\n"), "write"),
    ("Task", dict(description="look", prompt="Find it.\n\nmodel: this line is the prompt's", subagent_type="x"),
     "task"),
    ("Grep", dict(pattern="x"), None),
])
def test_tool_views_are_exact(write, tool, inputs, form):
    path = write([{"type": "assistant", "sessionId": "s", "cwd": "/w", "timestamp": "2026-01-01T00:00:00Z",
                   "message": {"role": "assistant", "content": [{"type": "tool_use", "id": "t", "name": tool,
                                                                 "input": inputs}]}}])
    t = commands.transcript(LogFile(path, 0, 0, 0, "claude"))
    view = build_page(t, subagents=[]).entries[0].view
    if form is None:
        assert view is None
        return
    assert view is not None and view.form == form
    if form == "command":
        assert view.command == inputs["command"]
        assert view.notes == [(k, v) for k, v in inputs.items() if k != "command"]
    elif form == "edit":
        edits = inputs.get("edits") or [inputs]
        assert view.path == inputs["file_path"] and view.edits == [(e["old_string"], e["new_string"]) for e in edits]
    elif form == "task":
        assert view.content == inputs["prompt"] and view.notes == [("description", "look"), ("subagent_type", "x")]
    else:
        assert (view.path, view.content) == (inputs["file_path"], inputs["content"])


@pytest.mark.parametrize("text", ["command: ls\ndescription: a\ndescription: b", "cmd: ls", "description: x"])
def test_tool_text_that_does_not_settle_the_fields_is_left_unsure(text):
    assert tool_view("Bash", text).form == "unsure"
    assert tool_view("Bash", text, []) is None


# -- the page's content ----------------------------------------------------------------

def test_redaction_reaches_every_text(hostile):
    t = load(hostile)
    redact = lambda s: s.replace(SECRET, "[redacted]")      # noqa: E731
    for fmt in ("markdown", "html"):
        page = render(t, fmt, context=True, redact=redact)
        assert SECRET not in page and "[redacted]" in page


def test_subagents_are_linked_from_the_row_that_started_them(hostile):
    t = load(hostile)
    page = build_page(t)
    (sub,) = page.subagents
    start = sub.started_by
    assert start is not None and start.tool == "Task" and start.kind == TOOL_CALL and start.starts == [sub]
    html_page = render(t, "html")
    assert 'href="#agent-e1e2e3"' in html_page and 'id="agent-e1e2e3"' in html_page
    assert 'id="agent-e1e2e3-row-1"' in html_page and 'href="#%s"' % start.anchor in html_page
    md = render(t, "markdown")
    assert '## <a id="agent-e1e2e3"></a>Sub-agent' in md and "](#agent-e1e2e3)" in md


@pytest.mark.parametrize("task_prompt, result, linked", [
    ("Count the files.", "Done.", "call"),                          # the task's prompt is the sub-agent's first
    ("Count them, please.", "Done.\nagentId: c0ffee (resume)", "result"),   # the result names the sub-agent
    ("Count them, please.", "Done.", None),                          # nothing ties them: a section of its own
])
def test_subagent_is_tied_to_its_task(tmp_path, task_prompt, result, linked):
    sid = "5e55101d-0000-4000-8000-000000000001"
    s = Claude(sid, "/w", 86400)
    s.user("Go.")
    s.assistant(tool_use("t1", "Task", description="count", prompt=task_prompt))
    s.tool_result("t1", result)
    s.write(tmp_path / (sid + ".jsonl"))
    agent = Claude(sid, "/w", 86400 + 5, sidechain=True)
    agent.user("Count the files.")
    agent.assistant(text("12 files."))
    agent.write(tmp_path / sid / "subagents" / "agent-c0ffee.jsonl")
    page = build_page(load(tmp_path / (sid + ".jsonl")))
    (sub,) = page.subagents
    assert sub.anchor == "agent-c0ffee" and [e.text for e in sub.entries] == ["Count the files.", "12 files."]
    kinds = {"call": TOOL_CALL, "result": TOOL_RESULT}
    assert (sub.started_by.kind if sub.started_by else None) == kinds.get(linked)


def test_edit_shows_as_a_diff(hostile):
    page = render(load(hostile), "html")
    assert '<span class="gd">-b = 1 %s</span>' % SECRET in page
    assert '<span class="gi">+replace_all: true</span>' in page


# -- export: a private folder, a page per session, the index -------------------------

@pytest.mark.parametrize("fmt, suffix", [("html", ".html"), ("markdown", ".md")])
def test_export_writes_a_private_page_per_session_and_an_index(tmp_path, hostile, fmt, suffix):
    home = tmp_path / "home"
    shutil.copytree(EXAMPLES / "claude", home / ".claude")
    shutil.copytree(EXAMPLES / "codex", home / ".codex")
    shutil.copytree(hostile.parent, home / ".claude" / "projects" / "-home-eve")
    logs = find_logs([str(home)])
    out = tmp_path / "out"
    problems = []
    report = export_folder(logs, [], str(out), fmt, warn=problems.append)
    assert not problems
    assert stat.S_IMODE(out.stat().st_mode) == 0o700
    files = sorted(p.name for p in out.iterdir())
    assert all(stat.S_IMODE((out / f).stat().st_mode) == 0o600 for f in files)
    # Sub-agents' logs are in their session's page, not pages of their own.
    assert len(files) == 5 and len(logs) == 6 and "index" + suffix in files
    assert report.logs == 6 and {p.subagents for p in report.pages} == {0, 1}
    index = (out / ("index" + suffix)).read_text()
    for p in report.pages:
        assert (out / p.file).exists() and p.file in index
    projects = [line for line in index.splitlines() if line.startswith(("## ", "<h2>"))]
    assert [p.replace("<h2>", "## ")[3:8] for p in projects] == [
        "notes", "infra", "scrip", "uploa"]                         # newest activity first
    if fmt == "html":
        stdlib_parse(index)


def test_export_again_overwrites_and_keeps_files_private(tmp_path):
    out = tmp_path / "out"
    out.mkdir(mode=0o755)
    stale = out / "7f3c1a52-6d0e-4b1a-9a53-2c8e5f0d41aa.html"
    stale.write_text("old")
    stale.chmod(0o644)
    export_folder(find_logs([str(EXAMPLES / "claude")]), [], str(out), "html")
    assert stat.S_IMODE(stale.stat().st_mode) == 0o600 and "old" != stale.read_text()[:3]


# -- the command --------------------------------------------------------------------

def run(home, *args):
    return subprocess.run([sys.executable, "-m", "sessionrows", *args], capture_output=True, text=True,
                          env=env_for(home), timeout=120)


def test_show_and_export_pages_from_the_command(home, tmp_path):
    p = run(home, "show", "7f3c1a52", "--format", "markdown")
    assert p.returncode == 0 and p.stdout.startswith("# Fix the flaky upload test\n")
    target = tmp_path / "t.html"
    p = run(home, "show", "c41d9e07", "--format", "html", "-o", str(target))
    assert p.returncode == 0 and stat.S_IMODE(target.stat().st_mode) == 0o600
    assert 'id="agent-a3f9c2e"' in target.read_text()
    p = run(home, "export", "--format", "html", "-o", str(tmp_path / "pages"))
    assert p.returncode == 0 and "wrote 3 pages" in p.stderr
    for args, says in [(("export", "--format", "markdown"), "-o FOLDER"),
                       (("show", "7f3c1a52", "--format", "html", "--around", "3"), "--around")]:
        p = run(home, *args)
        assert p.returncode == 2 and says in p.stderr


def test_other_commands_do_not_import_the_page_libraries(home):
    code = ("import sys; from sessionrows import cli; cli.main(%r); "
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('markdown_it', 'pygments')))")
    for argv in (["search", "flaky"], ["show", "7f3c1a52"], ["stats"]):
        env = dict(os.environ, HOME=str(home))
        out = subprocess.run([sys.executable, "-c", code % argv], capture_output=True, text=True, env=env).stdout
        assert out.strip().splitlines()[-1] == "[]", argv


# -- a real browser ---------------------------------------------------------------------

def png_facts(data):
    """(width, height, the first row's pixels as RGB(A) bytes, the share of the filtered
    image data that is not zero) of an 8-bit RGB or RGBA PNG. A blank image filters to
    zeros (each row the same as the one above it); a drawn page does not."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat, head = 8, b"", None
    while at < len(data):
        n, kind = struct.unpack(">I4s", data[at:at + 8])
        if kind == b"IHDR":
            head = struct.unpack(">IIBBBBB", data[at + 8:at + 8 + n])
        elif kind == b"IDAT":
            idat += data[at + 8:at + 8 + n]
        at += 12 + n
    width, height, depth, color = head[:4]
    assert depth == 8 and color in (2, 6)
    bpp = 3 if color == 2 else 4
    raw = zlib.decompress(idat)
    f, line = raw[0], bytearray(raw[1:1 + width * bpp])      # the row above the first is zeros
    for i in range(bpp, len(line)):
        a = line[i - bpp]
        line[i] = (line[i] + (a if f in (1, 4) else a // 2 if f == 3 else 0)) & 255
    return width, height, bytes(line), 1 - raw.count(0) / len(raw)


@pytest.mark.parametrize("dark", [False, True])
def test_chromium_draws_the_page(hostile, tmp_path, dark):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("chromium is not installed")
    page = tmp_path / "t.html"
    page.write_text(render(load(hostile), "html", context=True), encoding="utf-8")
    shot = tmp_path / "t.png"
    args = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
            "--window-size=900,1400", "--screenshot=%s" % shot, "--enable-logging=stderr", "--v=0"]
    if dark:
        args.append("--force-dark-mode")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}     # not the sanitizers' runtime
    p = subprocess.run(args + [page.as_uri()], capture_output=True, text=True, timeout=120, env=env)
    assert p.returncode == 0, p.stderr[-2000:]
    assert "Content Security Policy" not in p.stderr and "Uncaught" not in p.stderr
    if os.environ.get("SESSIONROWS_KEEP_SCREENSHOTS"):
        shutil.copy(shot, os.path.join(os.environ["SESSIONROWS_KEEP_SCREENSHOTS"], "dark.png" if dark else "light.png"))
    width, height, first_row, ink = png_facts(shot.read_bytes())
    assert (width, height) == (900, 1400)
    assert (sum(first_row[:3]) < 100) == dark              # the page follows the reader's colour scheme
    assert ink > 0.01                                      # text, code, borders: not a blank page


# -- every assistant's real logs ---------------------------------------------------------

def corpus_by_agent():
    from conftest import corpus_files
    out = {}
    for p in corpus_files():
        out.setdefault(p.parent.name, []).append(p)
    return out


@pytest.mark.parametrize("agent, shell", [("claude", "Bash"), ("codex", None), ("gemini", "run_shell_command"),
                                          ("copilot", "bash"), ("pi", "bash")])
def test_every_assistants_real_logs_make_pages_with_their_commands_as_shell(agent, shell):
    logs = corpus_by_agent().get(agent)
    if not logs:
        pytest.skip("no corpus of real logs (set SESSIONROWS_CORPUS)")
    from sessionrows import commands, transcripts
    from sessionrows.discovery import LogFile
    shells = 0
    for path in logs:
        t = commands.transcript(LogFile(str(path), 0, 0, 0, agent))
        page = transcripts.render(t, "markdown")
        html = transcripts.render(t, "html")
        assert page and "<html" in html
        if shell:
            calls = sum(1 for r in t.rows if r.kind == 3 and r.tool == shell)
            shells += calls
            assert page.count("```sh\n") >= calls or calls == 0, path
    assert shell is None or shells
