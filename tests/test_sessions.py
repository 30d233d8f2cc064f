"""What rows mean to a person (kinds, titles, the custom title found by a byte search),
queries as people type them, and texts made harmless for a terminal."""

import json

import pytest

from sessionrows import sessions
from sessionrows.cli import parse_when
from sessionrows.query import QueryError, to_fts
from sessionrows.sessions import CONTEXT, SAID, SPECIAL, TWIN, row_kinds, session_info, title_of
from sessionrows.terminal import clean

U, A = "user", "assistant"


@pytest.mark.parametrize("rows, kinds", [
    # the later copy of a message stored twice is the twin, whichever family comes first
    ([(U, "hi", "", "response_item"), (U, "hi", "", "event_msg")], [SAID, TWIN]),
    ([(A, "ok", "", "event_msg"), (A, "ok", "", "response_item")], [SAID, TWIN]),
    # pairs are counted: a message said twice is two pairs, not one
    ([(U, "go", "", "response_item"), (U, "go", "", "event_msg")] * 2, [SAID, TWIN] * 2),
    ([(U, "go", "", "response_item"), (U, "go", "", "response_item"), (U, "go", "", "event_msg")],
     [SAID, SAID, TWIN]),
    # same text from another role, or from tool rows, is no twin
    ([(U, "x", "", "response_item"), (A, "x", "", "event_msg"), (A, "x", "", "tool")], [SAID, SAID, SAID]),
    ([("__meta__", "/", "", "id"), ("developer", "rules", "", "response_item")], [SPECIAL, CONTEXT]),
    ([(U, "<environment_context>\n<cwd>/</cwd>", "", "response_item"),
      (U, "# AGENTS.md instructions for /x", "", "response_item"),
      (U, "  <user_instructions>x", "", "response_item"), (A, "<environment_context>", "", "response_item"),
      (U, "<div>markup</div>", "", "response_item"), (U, "<bash-input>ls</bash-input>", "", "response_item")],
     [CONTEXT, CONTEXT, CONTEXT, SAID, SAID, SAID]),
])
def test_codex_row_kinds(rows, kinds):
    assert row_kinds("codex", rows) == kinds


def test_claude_rows_have_no_twins():
    rows = [(U, "hi", "", "\t/\ts"), (U, "hi", "", "\t/\ts"), ("__title__", "t", "", ""),
            (U, "<command-name>/clear</command-name>", "", ""), (U, "[Request interrupted by user]", "", "")]
    assert row_kinds("claude", rows) == [SAID, SAID, SPECIAL, CONTEXT, CONTEXT]


@pytest.mark.parametrize("agent, rows, expected", [
    ("claude", [(U, "<system-reminder>x</system-reminder>", "2026-01-02T00:00:00Z", "\t/a\ts1"),
                (U, "[tool_result] out", "2026-01-01T00:00:00Z", "\t/a\ts1"),
                (U, "\n\n  Fix   the\tbuild  \nmore", "2026-01-03T00:00:00Z", "m\t/a\ts1"),
                ("__title__", "Old", "", ""), ("__title__", "New", "", ""), ("__title__", "", "", "")],
     ("s1", "/a", "New", "Fix the build", "2026-01-01T00:00:00Z", "2026-01-03T00:00:00Z")),
    ("codex", [("__meta__", "/w", "", "019a"), (U, "# Context from my IDE setup:\n\n## Open tabs:\n- a.py\n\n"
                                                   "## My request for Codex:\nrename foo\n", "T", "response_item")],
     ("019a", "/w", "", "rename foo", "T", "T")),
    ("codex", [(U, "x" * 200, "", "event_msg")], ("5b1c0d2e-1111-4a2b-9c3d-000000000001", "", "",
                                                    "x" * 79 + "\u2026", "", "")),
])
def test_session_info(agent, rows, expected):
    info = session_info(agent, "/logs/rollout-2026-5b1c0d2e-1111-4a2b-9c3d-000000000001.jsonl", rows,
                        row_kinds(agent, rows))
    assert (info.session_id, info.cwd, info.ai_title, info.first_prompt, info.first_ts, info.last_ts) == expected


def test_the_title_a_person_recognises():
    assert title_of("Named\nby me", "Generated", "first prompt") == "Named"
    assert title_of(None, "Generated", "first prompt") == "Generated"
    assert title_of("", "", "first prompt") == "first prompt"


@pytest.mark.parametrize("chunk", [7, 13, 64, 1 << 20])
def test_custom_title_is_the_last_one_wherever_chunks_end(tmp_path, chunk, monkeypatch):
    monkeypatch.setattr(sessions, "_CHUNK", chunk)
    lines = [{"type": "user", "pad": "p" * n} for n in range(12)]
    lines.insert(2, {"type": "custom-title", "customTitle": "first"})
    lines.insert(9, {"type": "custom-title", "customTitle": "second \u00e9"})
    lines.append({"type": "user", "text": 'quoted "custom-title" in a message'})
    lines.append({"x": "custom-title"})
    path = tmp_path / "s.jsonl"
    data = "".join(json.dumps(x) + "\n" for x in lines).encode()
    path.write_bytes(data + b'{"type":"custom-title","customTitle":"torn')
    assert sessions.custom_title(str(path)) == "second \u00e9"
    second = data.index(b'{"type": "custom-title", "customTitle": "second')
    assert sessions.custom_title(str(path), start=second) == "second \u00e9"     # a search from where a log grew
    assert sessions.custom_title(str(path), start=data.index(b"\"customTitle\": \"second")) is None
    assert sessions.custom_title(str(tmp_path / "missing")) is None


@pytest.mark.parametrize("query, fts", [
    ("flaky upload", '"flaky" "upload"'),
    ('"exact phrase" word', '"exact phrase" "word"'),
    ("Foo.bar_baz()", '"Foo.bar_baz()"'),
    ('say "hi', '"say" " hi"'),                 # a stray quote is a blank
    ('a""b', '"a  b"'),
    ("deploy* x*y", '"deploy"* "x*y"'),
    ("OR NOT AND NEAR(a b)", '"OR" "NOT" "AND" "NEAR(a"  "b)"'.replace("  ", " ")),
    ("() [] -- \u00e9t\u00e9", '"\u00e9t\u00e9"'),
])
def test_queries_as_people_type_them(query, fts):
    assert to_fts(query) == fts


@pytest.mark.parametrize("query", ["", "   ", "()", '"" ""', "*"])
def test_a_query_with_nothing_to_search_for(query):
    with pytest.raises(QueryError):
        to_fts(query)


@pytest.mark.parametrize("text, one_line, shown", [
    ("a\x1b]0;title\x07b", False, "a\\x1b]0;title\\x07b"),
    ("clear\x1b[2J\x1b[H", False, "clear\\x1b[2J\\x1b[H"),
    ("csi\x9b31m del\x7f", False, "csi\\x9b31m del\\x7f"),
    ("tab\tand\nline\r\n", False, "tab\tand\nline\\x0d\n"),
    ("tab\tand\nline\r\n", True, "tab and line  "),
    ("\u202eevil\u2066x\u2069", False, "\\u202eevil\\u2066x\\u2069"),
    ("caf\u00e9 \u2014 \U0001F600", True, "caf\u00e9 \u2014 \U0001F600"),
])
def test_clean_makes_terminal_controls_visible(text, one_line, shown):
    assert clean(text, one_line) == shown


@pytest.mark.parametrize("text, end, utc", [
    ("2026-03-01", False, "2026-03-01T00:00:00.000Z"),
    ("2026-03-01", True, "2026-03-02T00:00:00.000Z"),
    ("2026-03-01T14:30", True, "2026-03-01T14:31:00.000Z"),
    ("2026-03-01 14:30:05", False, "2026-03-01T14:30:05.000Z"),
    ("2026-03-01T14:30:05.250+02:00", False, "2026-03-01T12:30:05.250Z"),
    ("2026-03-01T14:30:05Z", True, "2026-03-01T14:30:06.000Z"),
])
def test_dates_as_people_write_them(text, end, utc, monkeypatch):
    monkeypatch.setenv("TZ", "UTC")
    import time
    time.tzset()
    assert parse_when(text, end) == utc
