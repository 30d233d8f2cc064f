"""The Pi rules: made-up lines through the search reading and read_arrow, and the
real logs of the corpus (skipped when it is absent)."""

import json
import re

import pytest

import sessionrows
import arrow_c
from conftest import corpus_files
from sessionrows import _search


TEXT, CONTEXT, SUMMARY, CALL, RESULT, THINKING = range(6)
REWOUND = 2
HEAD = {"type": "session", "version": 3, "id": "sess-1", "timestamp": "2026-01-02T03:04:05.000Z", "cwd": "/w/app"}


def entry(id, parent, kind="message", **fields):
    return {"type": kind, "id": id, "parentId": parent, "timestamp": f"2026-01-02T03:04:{int(id[1:]):02}.000Z",
            **fields}


def say(id, parent, role, content, **more):
    return entry(id, parent, message={"role": role, "content": content, **more})


def search(write, lines):
    facts, rows = _search.read([("pi", write(lines), 0, 0)])[0]
    return facts, [(role, kind, flags, tool, text) for _, role, kind, flags, _, tool, text, _ in rows]


def arrow(write, lines, tools):
    table = arrow_c.table(sessionrows.read_arrow([("pi", write(lines))], tools))
    return [(r["role"], r["text"], r["source"]) for r in table.to_pylist()]


CALL_PART = {"type": "toolCall", "id": "c1", "name": "bash", "arguments": {"command": "ls -la"}, "partialJson": "{"}


@pytest.mark.parametrize("line, rows", [
    (say("e1", None, "user", "plain words"), [("user", TEXT, 0, "", "plain words")]),
    (say("e1", None, "user", [{"type": "text", "text": "look"}, {"type": "image", "data": "QUJD", "mimeType": "x"}]),
     [("user", TEXT, 0, "", "look\n[image]")]),
    (say("e1", None, "assistant", [{"type": "thinking", "thinking": "ponder", "thinkingSignature": "sig"},
                                   {"type": "text", "text": "answer"}, CALL_PART, {"type": "text", "text": "after"}]),
     [("assistant", THINKING, 0, "", "ponder"), ("assistant", TEXT, 0, "", "answer"),
      ("assistant", CALL, 0, "bash", "command: ls -la"), ("assistant", TEXT, 0, "", "after")]),
    (say("e1", None, "assistant", [{"type": "thinking", "thinking": ""}], stopReason="aborted",
         errorMessage="Operation aborted"), [("assistant", CONTEXT, 0, "", "Operation aborted")]),
    (say("e1", None, "toolResult", [{"type": "text", "text": "Replaced 1 block."}], toolCallId="c9", toolName="edit",
         isError=False, details={"diff": "-old line\n+new line", "firstChangedLine": 3}),
     [("tool", RESULT, 0, "", "Replaced 1 block.\n\n-old line\n+new line")]),
    (entry("e1", None, message={"role": "bashExecution", "command": "make test", "output": "ok 3 passed",
                                "exitCode": 0, "excludeFromContext": True}),
     [("user", TEXT, 0, "", "!!make test"), ("tool", RESULT, 0, "", "ok 3 passed")]),
    (say("e1", None, "custom", "from an extension", customType="x", display=True),
     [("user", CONTEXT, 0, "", "from an extension")]),
    (entry("e1", None, "compaction", summary="## Goal\nship it", firstKeptEntryId="e0", tokensBefore=9),
     [("assistant", SUMMARY, 0, "", "## Goal\nship it")]),
    (entry("e1", None, "branch_summary", fromId="e0", summary="tried approach A"),
     [("assistant", SUMMARY, 0, "", "tried approach A")]),
    (entry("e1", None, "custom_message", customType="x", content=[{"type": "text", "text": "injected"}], display=0),
     [("user", CONTEXT, 0, "", "injected")]),
    (entry("e1", None, "custom", customType="todo", data={"items": ["write tests"]}),
     [("system", CONTEXT, 0, "", "todo\nitems: write tests")]),
    (entry("e1", None, "label", targetId="e0", label="checkpoint"), [("user", CONTEXT, 0, "", "checkpoint")]),
    (entry("e1", None, "model_change", provider="openai", modelId="gpt-5"), []),
    (entry("e1", None, "thinking_level_change", thinkingLevel="high"), []),
    # What the rules do not know is still found, plainly.
    (say("e1", None, "user", [{"type": "audio", "transcript": "spoken words"}]),
     [("user", TEXT, 0, "", "type: audio\ntranscript: spoken words")]),
    (say("e1", None, "narrator", "a role to come"), [("narrator", TEXT, 0, "", "a role to come")]),
    (entry("e1", None, "context_edit", summary="an entry kind to come"),
     [("assistant", SUMMARY, 0, "", "an entry kind to come")]),
    (entry("e1", None, "future_note", content="noted"), [("user", CONTEXT, 0, "", "noted")]),
])
def test_each_entry_kind(write, line, rows):
    assert search(write, [HEAD, line])[1] == rows


def test_session_facts_name_and_tool_names(write):
    facts, rows = search(write, [
        HEAD, say("e1", None, "user", "first prompt here"),
        entry("e2", "e1", "session_info", name="Old name"),
        say("e3", "e2", "assistant", [CALL_PART]),
        say("e4", "e3", "toolResult", [{"type": "text", "text": "out"}], toolCallId="c1", toolName="bash"),
        entry("e5", "e4", "session_info", name="Auth refactor"),
        dict(HEAD, id="sess-2", cwd="/elsewhere"),   # a second header names nothing
    ])
    assert facts[:6] == ("sess-1", "/w/app", "", "Auth refactor", "", "first prompt here")
    assert ("tool", RESULT, 0, "bash", "out") in rows
    assert [r[4] for r in rows if r[1] == CONTEXT] == ["Old name", "Auth refactor"]   # old names are found too
    # A name cleared by a later session_info is no title.
    assert search(write, [HEAD, entry("e1", None, "session_info", name="x"), entry("e2", "e1", "session_info")])[0][3] == ""


def test_written_twice_is_one_row(write):
    lines = [HEAD, say("e1", None, "user", "draft"), say("e2", "e1", "assistant", "reply"),
             say("e1", None, "user", "final")]
    assert [r[4] for r in search(write, lines)[1]] == ["reply", "final"]
    assert [r[1] for r in arrow(write, lines, False)] == ["/w/app", "reply", "final"]
    # An entry of another kind with the same id replaces nothing: the rows without
    # tool rows stay the rows with them, less the tool rows.
    lines = [HEAD, say("e1", None, "user", "asked"), say("e1", "e1", "toolResult", [{"type": "text", "text": "out"}])]
    assert [r[1] for r in arrow(write, lines, False)] == ["/w/app", "asked"]
    assert [r[1] for r in arrow(write, lines, True)] == ["/w/app", "asked", "[tool_result] out"]


@pytest.mark.parametrize("lines, flagged", [
    # Back to e2 and on from there: e3 and e4 are off the shown branch.
    ([say("e1", None, "user", "u1"), say("e2", "e1", "assistant", "a1"), say("e3", "e2", "user", "u2"),
      say("e4", "e3", "assistant", "a2"), say("e5", "e2", "user", "u3"), say("e6", "e5", "assistant", "a3")],
     {"u2", "a2"}),
    # The path runs through entries that give no row.
    ([entry("e1", None, "model_change"), say("e2", "e1", "user", "u1"), say("e3", "e2", "assistant", "a1"),
      entry("e4", "e2", "thinking_level_change"), say("e5", "e4", "user", "u2")], {"a1"}),
    # The root message taken back: a second root leaves the first tree.
    ([say("e1", None, "user", "u1"), say("e2", "e1", "assistant", "a1"), say("e3", None, "user", "u2")],
     {"u1", "a1"}),
    # A torn line in the middle: its child is taken to follow the line before it.
    ([say("e1", None, "user", "u1"), b'{"type":"message","id":"e2","parentId":"e1","mess',
      say("e3", "e2", "assistant", "a1"), say("e4", "e3", "user", "u2")], set()),
    # A log without ids (the first format) is one line of entries.
    ([{"type": "message", "message": {"role": "user", "content": "u1"}},
      {"type": "message", "message": {"role": "assistant", "content": "a1"}}], set()),
    # A label on an earlier entry is the last entry, and so the leaf.
    ([say("e1", None, "user", "u1"), say("e2", "e1", "assistant", "a1"),
      entry("e3", "e2", "label", targetId="e1", label="mark")], set()),
    # Each header starts a tree of its own (logs written one after the other).
    ([say("e1", None, "user", "u1"), HEAD, say("e1", None, "user", "u2")], set()),
    # A parent written after its child, and ids that loop, end the walk.
    ([say("e1", "e3", "user", "u1"), say("e2", "e1", "assistant", "a1"), say("e1", "e2", "user", "u2")], set()),
])
def test_rows_off_the_shown_branch_are_rewound(write, lines, flagged):
    rows = search(write, [HEAD] + lines)[1]
    assert {r[4] for r in rows if r[2] & REWOUND} == flagged
    assert {r[4] for r in rows} >= flagged


def test_default_rows(write):
    lines = [HEAD,
             say("e1", None, "user", [{"type": "text", "text": "run it"}]),
             say("e2", "e1", "assistant", [{"type": "thinking", "thinking": "hidden"}, {"type": "text", "text": "ok"},
                                           dict(CALL_PART, arguments={"command": "x" * 900})]),
             say("e3", "e2", "toolResult", [{"type": "text", "text": "é" * 1000}], toolCallId="c1"),
             entry("e4", "e3", message={"role": "bashExecution", "command": "ls", "output": "a.txt"}),
             say("e5", "e4", "assistant", [CALL_PART]),       # no text: no message row
             entry("e6", "e5", "compaction", summary="summary")]
    plain = [("__meta__", "/w/app", "sess-1"), ("user", "run it", "message"), ("assistant", "ok", "message"),
             ("user", "!ls", "message")]
    assert arrow(write, lines, False) == plain
    tools = arrow(write, lines, True)
    assert [r for r in tools if r[2] != "tool"] == plain
    call, result = tools[3], tools[4]
    assert call == ("assistant", '[tool_call bash] {"command":"' + "x" * (500 - 12), "tool")
    assert result == ("tool", "[tool_result] " + "é" * 800, "tool")
    assert tools[6] == ("tool", "[tool_result] a.txt", "tool")
    assert tools[7][1] == '[tool_call bash] {"command":"ls -la"}'


def test_hostile_lines_never_fail(write):
    good = say("e2", None, "user", "still here")
    data = b"".join([json.dumps(HEAD).encode(), b"\n", b"not json\n", b'{"type":"message","id":\n',
                     b'{"type":"message","message":{"role":"user","content":"bad \xff byte"}}\n', b"[1,2]\n",
                     b'{"type":7}\n', b'{"type":"message","message":"text"}\n', b'{"type":"message"}\n',
                     json.dumps(good).encode()])   # the last line has no line feed
    path = write(data)
    facts, rows = _search.read([("pi", path, 0, 0)])[0]
    # A byte that is not UTF-8 is read as U+FFFD by the search reading; read_arrow's rows leave the line out.
    assert [r[6] for r in rows] == ["bad \ufffd byte", "still here"] and facts[0] == "sess-1"
    assert [r["text"] for r in arrow_c.table(sessionrows.read_arrow([("pi", path)], True)).to_pylist()] == \
        ["/w/app", "still here"]


def test_a_line_longer_than_the_read_buffer(write):
    big = "word " * 600_000   # 3 MB, past the 1 MiB read buffer
    lines = [HEAD, say("e1", None, "user", "go"),
             say("e2", "e1", "toolResult", [{"type": "text", "text": big}], toolCallId="c1")]
    assert search(write, lines)[1][1] == ("tool", RESULT, 0, "", big)
    assert len(arrow(write, lines, True)[2][1]) == len("[tool_result] ") + 800
    assert len(arrow(write, lines, False)) == 2


# --- the real logs ---

PI_LOGS = [p for p in corpus_files() if p.parent.name == "pi"]
WORD = re.compile(r"[^\W_]{8,}")
LETTERS = re.compile(r"[^\W\d_]")
ESCAPE = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)?|\x1b[@-Z\\-_]")


def leaves(value, out):
    """Every string inside a JSON value, images left out."""
    if isinstance(value, dict) and value.get("type") == "image":
        return out
    if isinstance(value, str):
        out.append(value)
    for v in value.values() if isinstance(value, dict) else value if isinstance(value, list) else ():
        leaves(v, out)
    return out


def content_of(line):
    """What a person could look for in a Pi line: what was said and thought, tool
    calls and results, summaries, extension texts, labels and names."""
    kind, out = line.get("type"), []
    if kind == "message":
        m = line.get("message") or {}
        if m.get("role") == "toolResult":
            leaves([m.get("content"), (m.get("details") or {}).get("diff")], out)
        elif m.get("role") == "bashExecution":
            leaves([m.get("command"), m.get("output")], out)
        else:
            parts = m.get("content") if isinstance(m.get("content"), list) else [m.get("content")]
            for p in parts:
                t = p.get("type") if isinstance(p, dict) else None
                leaves(p if t is None else p.get({"text": "text", "thinking": "thinking",
                                                    "toolCall": "arguments"}.get(t, "")), out)
        leaves([m.get("errorMessage"), m.get("summary")], out)
    elif kind in ("compaction", "branch_summary", "label", "session_info", "custom_message", "custom"):
        leaves(line.get({"label": "label", "session_info": "name", "custom_message": "content",
                         "custom": "data"}.get(kind, "summary")), out)
    return out


def words(text):
    return {w.lower() for w in WORD.findall(ESCAPE.sub(" ", text or "")) if LETTERS.search(w)}


@pytest.mark.skipif(not PI_LOGS, reason="no Pi logs in the corpus")
def test_corpus_logs_read_and_grep_parity():
    pairs = found = 0
    for path in PI_LOGS:
        for tools in (False, True):
            arrow_c.table(sessionrows.read_arrow([("pi", str(path))], tools))
        result = _search.read([("pi", str(path), 0, 0)])[0]
        assert not isinstance(result, str), result
        facts, rows = result
        assert facts[0] and facts[1] and not any(r[3] & 1 for r in rows)   # Pi has no sub-agents
        want = set()
        with open(path, encoding="utf-8") as f:
            for line in f:
                for text in content_of(json.loads(line)):
                    want |= words(text)
        have = words(facts[3]).union(*(words(r[6]) for r in rows))
        pairs += len(want)
        found += len(want & have)
    print(f"Pi grep parity: {found}/{pairs} = {found / pairs:.4%} of (word, log) pairs")
    assert found >= 0.99 * pairs
