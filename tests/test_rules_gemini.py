"""The Gemini CLI rules: made-up logs through the search reading (`_search.read`) and
the rows of `read_arrow`, and the real logs of the corpus when it is there."""

import json
import re

import pytest

import sessionrows
import arrow_c
from conftest import corpus_files
from sessionrows import _search

TEXT, CONTEXT, SUMMARY, CALL, RESULT, THINKING = range(6)
SUBAGENT, REWOUND = 1, 2
SID = "7d1e0c2a-5b9f-4c3e-8a6d-2f4b1c9e0a11"
WORKSPACE = "/home/ada/src/kettle"


def header(sid=SID, kind="main", **more):
    return {"sessionId": sid, "projectHash": "ab" * 32, "startTime": "2026-05-02T09:00:00.000Z",
            "lastUpdated": "2026-05-02T09:00:00.000Z", "kind": kind, **more}


def context_message(directory=WORKSPACE, mid="d04923d38bb0f6017037e74183378ef4"):
    text = ("<session_context>\nThis is the Gemini CLI. We are setting up the context for our chat.\n"
            "My operating system is: linux\n- **Workspace Directories:**\n"
            f"  - {directory}\n  - /home/ada/src/shared\n- **Directory Structure:**\n\n{directory}/\n"
            "└───kettle.py\n</session_context>")
    return {"id": mid, "timestamp": "2026-05-02T09:00:00.001Z", "type": "user", "content": [{"text": text}]}


def user(mid, text, ts="2026-05-02T09:00:05.000Z"):
    return {"id": mid, "timestamp": ts, "type": "user", "content": [{"text": text}]}


def gemini(mid, content, ts="2026-05-02T09:00:09.000Z", **more):
    return {"id": mid, "timestamp": ts, "type": "gemini", "content": content, "model": "gemini-3.5-flash",
            "tokens": {"input": 10, "output": 2, "total": 12}, **more}


def shell_call(cid="run_shell_command__k3tt1e", output="Output: boiled\nExit Code: 0", **more):
    return {"id": cid, "name": "run_shell_command", "args": {"command": "make boil", "description": "Boils."},
            "result": [{"functionResponse": {"id": cid, "name": "run_shell_command",
                                             "response": {"output": output}}}],
            "status": "success", "timestamp": "2026-05-02T09:00:10.000Z", "displayName": "Shell", **more}


def echo(mid, cid="run_shell_command__k3tt1e", output="Output: boiled\nExit Code: 0"):
    """The user message that hands a tool's result to the model."""
    return {"id": mid, "timestamp": "2026-05-02T09:00:10.001Z", "type": "user",
            "content": [{"functionResponse": {"id": cid, "name": "run_shell_command",
                                              "response": {"output": output}}}]}


LAST_UPDATED = {"$set": {"lastUpdated": "2026-05-02T09:00:11.000Z"}}


@pytest.fixture
def read(write):
    """(facts, [(role, kind, flags, tool, text), ...]) of a made-up log."""
    def _read(lines):
        (facts, rows), = _search.read([("gemini", write(lines), 0, 0)])
        return facts, [(r[1], r[2], r[3], r[5], r[6]) for r in rows]
    return _read


@pytest.fixture
def arrow(write):
    """The rows read_arrow gives, as (role, text, timestamp, source)."""
    def _arrow(lines, tools=True):
        table = arrow_c.table(sessionrows.read_arrow([("gemini", write(lines))], tools))
        return [(r["role"], r["text"], r["timestamp"], r["source"]) for r in table.to_pylist()]
    return _arrow


def texts(rows, kind=None):
    return [r[4] for r in rows if kind is None or r[1] == kind]


def test_a_turn_with_a_tool_call(read):
    lines = [header(), {"$set": {"messages": [context_message()], "lastUpdated": "x"}},
             user("u1", "Boil the kettle, please"), LAST_UPDATED,
             gemini("g1", "I will run make boil.", thoughts=[
                 {"subject": "Planning the boil", "description": "A shell call will do.", "timestamp": "t"}]),
             LAST_UPDATED,
             gemini("g1", "I will run make boil.", thoughts=[
                 {"subject": "Planning the boil", "description": "A shell call will do.", "timestamp": "t"}],
                 toolCalls=[shell_call()]),
             echo("u2"), LAST_UPDATED, gemini("g2", "The kettle has boiled.", ts="2026-05-02T09:00:12.000Z")]
    facts, rows = read(lines)
    assert facts[:3] == (SID, WORKSPACE, "")
    assert facts[5] == "Boil the kettle, please"
    assert facts[6:8] == ("2026-05-02T09:00:00.001Z", "2026-05-02T09:00:12.000Z")
    assert [r[:4] for r in rows] == [
        ("user", CONTEXT, 0, ""), ("user", TEXT, 0, ""), ("assistant", THINKING, 0, ""),
        ("assistant", TEXT, 0, ""), ("assistant", CALL, 0, "run_shell_command"),
        ("tool", RESULT, 0, "run_shell_command"), ("assistant", TEXT, 0, "")]
    assert texts(rows)[2:] == ["Planning the boil\nA shell call will do.", "I will run make boil.",
                               "command: make boil\ndescription: Boils.", "Output: boiled\nExit Code: 0",
                               "The kettle has boiled."]


def test_rows_of_read_arrow(arrow):
    long_command = "echo " + "é" * 600
    call = shell_call(output="x" * 900)
    call["args"] = {"command": long_command}
    lines = [header(), {"$set": {"messages": [context_message()]}}, user("u1", "Boil it"),
             gemini("g1", [{"text": "thinking it over", "thought": True}, {"text": "Boiling."}], toolCalls=[call]),
             echo("u2", output="x" * 900), {"id": "i1", "timestamp": "t", "type": "info", "content": "Model set"}]
    with_tools = arrow(lines)
    assert with_tools[0] == ("__meta__", WORKSPACE, "", SID)
    assert [(r[0], r[3]) for r in with_tools[1:]] == [
        ("user", "user"), ("user", "user"), ("assistant", "gemini"), ("assistant", "tool"), ("tool", "tool"),
        ("system", "info")]
    call_text, result_text = with_tools[4][1], with_tools[5][1]
    assert call_text.startswith('[tool_call run_shell_command] {"command":"echo éé')
    assert len(call_text) - len("[tool_call run_shell_command] ") == 500
    assert result_text == "[tool_result] " + "x" * 800
    assert with_tools[3][1] == "Boiling."  # thinking is no row here
    assert arrow(lines, tools=False) == [r for r in with_tools if r[3] != "tool"]


@pytest.mark.parametrize("first, second, kept", [
    # A reply written again once its tool calls are done.
    (gemini("g1", "Checking."), gemini("g1", "Checking.", toolCalls=[shell_call()]), "Checking."),
    # A message whose text changed: the later one stands.
    (user("u1", "Boil the kettel"), user("u1", "Boil the kettle"), "Boil the kettle"),
])
def test_a_message_written_twice_is_one_row(read, arrow, first, second, kept):
    facts, rows = read([header(), first, LAST_UPDATED, second])
    assert texts(rows, TEXT) == [kept]
    assert [r[1] for r in arrow([header(), first, second]) if r[3] != "tool"] == ["", kept]


def test_a_rewind_flags_what_it_took_back(read, arrow):
    lines = [header(), {"$set": {"messages": [context_message()]}},
             user("u1", "Reply with the word: one"), gemini("g1", "one"),
             user("u2", "Reply with the word: two"), gemini("g2", "two"),
             {"$rewindTo": "u2"},
             {"$set": {"messages": [user("u1", "Reply with the word: one"), gemini("g1", [{"text": "one"}])]}},
             user("u3", "Reply with the word: three"), gemini("g3", "three")]
    facts, rows = read(lines)
    said = [(r[4], r[2]) for r in rows if r[1] == TEXT]
    assert said == [("Reply with the word: one", 0), ("one", 0), ("Reply with the word: two", REWOUND),
                    ("two", REWOUND), ("Reply with the word: three", 0), ("three", 0)]
    assert texts(rows, CONTEXT) and all(r[2] == 0 for r in rows if r[1] == CONTEXT)
    assert [r[1] for r in arrow(lines)].count("two") == 1  # still there, once


def test_a_resume_restates_the_conversation_without_new_rows(read):
    thoughts = [{"subject": "Weighing it", "description": "fine", "timestamp": "t"}]
    lines = [header(), {"$set": {"messages": [context_message()]}}, user("u1", "Reply ok"),
             gemini("g1", "ok", thoughts=thoughts), {"$set": {"sessionId": SID}},
             {"$set": {"messages": [context_message(), user("u1", "Reply ok"),
                                    gemini("g1", [{"text": "**Weighing it** fine", "thought": True}, {"text": "ok"}],
                                           thoughts=thoughts)]}},
             user("u2", "Reply again")]
    facts, rows = read(lines)
    assert [(r[1], r[4]) for r in rows[1:]] == [(TEXT, "Reply ok"), (THINKING, "Weighing it\nfine"), (TEXT, "ok"),
                                               (TEXT, "Reply again")]
    assert facts[0] == SID and len(texts(rows, CONTEXT)) == 1


def test_a_compression_restates_kept_turns_under_new_ids(read):
    snapshot = "<scratchpad>\nAll captured.\n</scratchpad>\n\n<state_snapshot>\n<overall_goal>Boil water</overall_goal>\n</state_snapshot>"
    lines = [header(), {"$set": {"messages": [context_message()]}}, user("u1", "Reply ok"),
             gemini("g1", "ok", thoughts=[{"subject": "Hm", "description": "short", "timestamp": "t"}]),
             {"$set": {"messages": [context_message(), user("s1", snapshot),
                                    gemini("s2", [{"text": "Got it. Thanks for the additional context!"}]),
                                    user("u1b", "Reply ok"), gemini("g1b", [{"text": "ok"}])]}},
             {"id": "i1", "timestamp": "t", "type": "info", "content": ""},
             user("u3", "Still there?")]
    facts, rows = read(lines)
    # The turns kept are the turns said (not rewound, not repeated); the summary and
    # its acknowledgement come where the compression happened.
    assert [(r[1], r[2], r[4][:12]) for r in rows[1:]] == [
        (TEXT, 0, "Reply ok"), (THINKING, 0, "Hm\nshort"), (TEXT, 0, "ok"),
        (SUMMARY, 0, "<scratchpad>"), (CONTEXT, 0, "Got it. Than"), (TEXT, 0, "Still there?")]


def test_a_subagents_log(read):
    lines = [header(sid="qz7k2m", kind="subagent"),
             user("a1", "Your task is to find where the kettle is boiled."),
             gemini("a2", "In kettle.py.", toolCalls=[shell_call()])]
    facts, rows = read(lines)
    assert facts[:3] == ("", "", "qz7k2m")  # its parent is the folder it lies in
    assert facts[5] == ""                   # a prompt written for a sub-agent is never the person's
    assert {r[2] for r in rows} == {SUBAGENT}


@pytest.mark.parametrize("text, cwd", [
    (context_message()["content"][0]["text"], WORKSPACE),
    ("<session_context>\nToday's date is Monday.\nI'm currently working in the directory: /srv/old one\n"
     "Here is the folder structure of the current working directories:\n</session_context>", "/srv/old one"),
    ("<session_context>\nI'm currently working in the following directories:\n  - /a/first\n  - /b\n"
     "</session_context>", "/a/first"),
    ("<session_context>\nNothing here names a directory.\n</session_context>", ""),
])
def test_the_session_context_names_the_working_directory(read, text, cwd):
    facts, rows = read([header(), {"$set": {"messages": [user("c1", text)]}}, user("u1", "Hello there")])
    assert facts[1] == cwd
    assert [r[1] for r in rows] == [CONTEXT, TEXT] and facts[5] == "Hello there"


def test_files_a_prompt_names_are_context(read):
    prompt = ("Explain @kettle.py briefly\n--- Content from referenced files ---\nContent from @kettle.py:\n"
              "def boil(): pass\n--- End of content ---")
    facts, rows = read([header(), user("u1", prompt)])
    assert [(r[1], r[4]) for r in rows] == [
        (TEXT, "Explain @kettle.py briefly\n"),
        (CONTEXT, "--- Content from referenced files ---\nContent from @kettle.py:\ndef boil(): pass\n"
                  "--- End of content ---")]


@pytest.mark.parametrize("entry, row", [
    ({"id": "e1", "timestamp": "t", "type": "error", "content": "[API Error: quota exhausted]"},
     ("system", CONTEXT, "[API Error: quota exhausted]")),
    ({"id": "i1", "timestamp": "t", "type": "info", "content": "Request cancelled."},
     ("system", CONTEXT, "Request cancelled.")),
    ({"id": "w1", "timestamp": "t", "type": "warning", "content": [{"text": "Loop detected"}]},
     ("system", CONTEXT, "Loop detected")),
    ({"id": "i2", "timestamp": "t", "type": "info", "content": ""}, None),
])
def test_notices_of_the_tool_are_context(read, entry, row):
    facts, rows = read([header(), entry])
    assert [(r[0], r[1], r[4]) for r in rows] == ([row] if row else [])


@pytest.mark.parametrize("call, result", [
    # The result is written with its call and again in the user message: one row.
    (shell_call(), "Output: boiled\nExit Code: 0"),
    # A call without its result yet: the user message's copy is the result.
    ({**shell_call(), "result": None, "status": "executing"}, "Output: boiled\nExit Code: 0"),
    # An error response, shown plainly.
    ({**shell_call(), "result": [{"functionResponse": {"id": "run_shell_command__k3tt1e", "response": {
        "error": "Command refused"}}}], "status": "error"}, "Command refused"),
    # A response of several parts: readable.
    ({**shell_call(), "result": [{"functionResponse": {"id": "run_shell_command__k3tt1e", "response": {
        "output": "ok", "exitCode": 3}}}]}, "output: ok\nexitCode: 3"),
    # What the person saw, when it says more than the model was told.
    ({**shell_call(), "resultDisplay": "## Topic: **Boiling**"}, "Output: boiled\nExit Code: 0\n\n## Topic: **Boiling**"),
    ({**shell_call(), "resultDisplay": "boiled"}, "Output: boiled\nExit Code: 0"),
])
def test_tool_results(read, call, result):
    facts, rows = read([header(), gemini("g1", "", toolCalls=[call]), echo("u2")])
    assert [(r[1], r[3], r[4]) for r in rows] == [
        (CALL, "run_shell_command", "command: make boil\ndescription: Boils."), (RESULT, "run_shell_command", result)]


def test_tool_parts_of_a_restated_reply(read):
    """A reply restated with functionCall parts and no toolCalls still shows its call."""
    part = {"functionCall": {"id": "glob__x1", "name": "glob", "args": {"pattern": "**/*.py"}}}
    facts, rows = read([header(), {"$set": {"messages": [
        gemini("g1", [{"text": "Looking."}, part]), echo("u1", cid="glob__x1", output="kettle.py")]}}])
    assert [(r[1], r[3], r[4]) for r in rows] == [(TEXT, "", "Looking."), (CALL, "glob", "pattern: **/*.py"),
                                                 (RESULT, "glob", "kettle.py")]


@pytest.mark.parametrize("message, thinking", [
    (gemini("g1", "Yes.", thoughts=[{"subject": "First", "description": "one", "timestamp": "t"},
                                    {"subject": "Second", "description": "two", "timestamp": "t"}]),
     ["First\none\n\nSecond\ntwo"]),
    (gemini("g1", [{"text": "**Pondering** kettles", "thought": True}, {"text": "Yes."}]), ["**Pondering** kettles"]),
    (gemini("g1", [{"text": "**Pondering** kettles", "thought": True}, {"text": "Yes."}],
            thoughts=[{"subject": "Pondering", "description": "kettles"}]), ["Pondering\nkettles"]),
])
def test_thinking(read, arrow, message, thinking):
    facts, rows = read([header(), message])
    assert texts(rows, THINKING) == thinking and texts(rows, TEXT) == ["Yes."]
    assert [r[1] for r in arrow([header(), message])] == ["", "Yes."]


@pytest.mark.parametrize("lines, title", [
    ([{"$set": {"summary": "Boil the kettle", "memoryScratchpad": {"version": 1}}}], "Boil the kettle"),
    ([{"$set": {"summary": "First try"}}, {"$set": {"lastUpdated": "x", "summary": "Boil the kettle"}}],
     "Boil the kettle"),
    ([], ""),
])
def test_titles(read, lines, title):
    facts, rows = read([header(), user("u1", "Boil it")] + lines)
    assert facts[4] == title and facts[5] == "Boil it"


def test_unknown_content_is_still_found(read):
    lines = [header(),
             gemini("g1", [{"text": "Here:"}, {"executableCode": {"language": "PYTHON", "code": "print('kettlesong')"}},
                           {"inlineData": {"mimeType": "image/png", "data": "aGVsbG8="}}]),
             {"id": "x1", "timestamp": "t", "type": "hologram", "content": [{"glyphs": "shimmerword"}]}]
    facts, rows = read(lines)
    assert rows[0][:2] == ("assistant", TEXT)
    assert "kettlesong" in rows[0][4] and "[image/png]" in rows[0][4] and "aGVsbG8" not in rows[0][4]
    assert rows[1][:2] == ("system", CONTEXT) and "shimmerword" in rows[1][4]


def test_sessions_one_after_another_in_one_file(read):
    other = "0b5c7e21-1111-4c3e-8a6d-2f4b1c9e0a22"
    lines = [header(), {"$set": {"messages": [context_message()]}}, user("u1", "First session"),
             header(sid=other), {"$set": {"messages": [context_message("/elsewhere")]}},
             user("v1", "Second session"), {"$set": {"summary": "not this one"}}]
    facts, rows = read(lines)
    assert facts[:2] == (SID, WORKSPACE) and facts[4] == ""
    assert [r[1] for r in rows] == [CONTEXT, TEXT, CONTEXT, TEXT] and not any(r[2] for r in rows)


@pytest.mark.parametrize("bad", [
    b'{"id":"u9","timestamp":"t","type":"user","content":[{"text":"torn',
    b"not json at all", b"[1, 2, 3]", b'"just a string"', b'{"$set": 7}', b'{"$rewindTo": null}',
    b'{"$set":{"lastUpdated":"2026-05-02T09:00:11.000Z"}}', b'{"type": 5, "content": "x"}',
    b'{"id":"u9","type":"user","content":{"text":null}}', b'{"$rewindTo": "nobody"}',
    b'{"$set":{"lastUpdated":"2026-05-02T09:00:11\\u0000Z"}}',
])
def test_torn_and_invalid_lines_are_no_error(read, write, bad):
    good = [json.dumps(x).encode() for x in (header(), user("u1", "Boil it"))]
    facts, rows = read(good + [bad, json.dumps(gemini("g1", "Boiled.")).encode()])
    assert texts(rows) == ["Boil it", "Boiled."] and facts[0] == SID and not any(r[2] for r in rows)
    assert arrow_c.table(sessionrows.read_arrow([("gemini", write(good + [bad]))], True)).num_rows == 2


def test_a_line_with_bytes_that_are_not_utf8_is_read_with_them_replaced(read, write):
    good = [json.dumps(x).encode() for x in (header(), user("u1", "Boil it"))]
    bad = b'{"id":"u9","timestamp":"t","type":"user","content":[{"text":"bad \xff byte"}]}'
    facts, rows = read(good + [bad])
    assert texts(rows) == ["Boil it", "bad \ufffd byte"]            # as grep finds it
    assert arrow_c.table(sessionrows.read_arrow([("gemini", write(good + [bad]))], True)).num_rows == 2


# --- the real logs ---

WORD = re.compile(r"[^\W_]{8,}")
LETTERS = re.compile(r"[^\W\d_]")
ESCAPE = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)?|\x1b[@-Z\\-_]")


def strings(value, out):
    if isinstance(value, str):
        out.append(value)
    elif isinstance(value, dict):
        for k, v in value.items():
            if k not in ("inlineData", "thoughtSignature"):
                strings(v, out)
    elif isinstance(value, list):
        for v in value:
            strings(v, out)
    return out


def message_texts(m):
    """What a person could look for in a message: what was said, thoughts, tool
    calls' inputs and results (as the model got them, and as shown when that is text)."""
    out = strings(m.get("content"), [])
    for t in m.get("thoughts") or []:
        strings([t.get("subject"), t.get("description")] if isinstance(t, dict) else t, out)
    for call in m.get("toolCalls") or []:
        strings([call.get("args"), call.get("result")], out)
        if isinstance(call.get("resultDisplay"), str):
            out.append(call["resultDisplay"])
    return out


def log_texts(path):
    out = []
    for raw in open(path, "rb"):
        try:
            line = json.loads(raw)
        except ValueError:
            continue
        if not isinstance(line, dict):
            continue
        if "type" in line:
            out += message_texts(line)
        elif isinstance(line.get("$set"), dict):
            for m in line["$set"].get("messages") or []:
                out += message_texts(m) if isinstance(m, dict) else []
            if isinstance(line["$set"].get("summary"), str):
                out.append(line["$set"]["summary"])
    return out


def words(texts):
    found = set()
    for text in texts:
        for w in WORD.findall(ESCAPE.sub(" ", text).lower()):
            if len(LETTERS.findall(w)) >= 8:
                found.add(w)
    return found


GEMINI_LOGS = [p for p in corpus_files() if p.parent.name == "gemini"]


@pytest.mark.skipif(not GEMINI_LOGS, reason="no corpus")
def test_real_logs_read_and_their_words_are_found():
    results = _search.read([("gemini", str(p), 0, 0) for p in GEMINI_LOGS])
    pairs = missed = 0
    for path, result in zip(GEMINI_LOGS, results):
        assert not isinstance(result, str), (path, result)
        facts, rows = result
        assert facts[0] and rows, path
        found = words(r[6] for r in rows) | words([facts[4]])
        wanted = words(log_texts(path))
        pairs += len(wanted)
        missed += len(wanted - found)
        table = arrow_c.table(sessionrows.read_arrow([("gemini", str(path))], True))
        assert table.num_rows > 0, path
    share = 1 - missed / max(pairs, 1)
    print(f"gemini grep parity: {pairs - missed}/{pairs} (word, log) pairs found ({share:.2%})")
    assert share >= 0.99
