"""Content a person sees in a log is found by the search reading: thinking and
reasoning, parts of types the rules do not know, the tool's own account of a result
(Claude's toolUseResult), and Codex's older log layout."""

import collections
import json
import re

import pytest

import sessionrows
from conftest import corpus_files
from sessionrows import _search, agents
from sessionrows.discovery import agent_from_head
from sessionrows.sessions import CONTEXT, TEXT, THINKING, TOOL_CALL, TOOL_RESULT

U, A, T = "user", "assistant", "tool"
WORD = re.compile(r"[A-Za-z]{8,}")
BLOB = "iVBORw0KGgoAAAANSUhEUgAA" * 20       # base64 of an image: no row may hold it


def read(write, agent, lines):
    """(facts, [(role, kind, timestamp, tool, text)]) of a log made of `lines`."""
    facts, rows = _search.read([(agent, write(lines), 0, 0)])[0]
    return facts, [(r[1], r[2], r[4], r[5], r[6]) for r in rows]


def texts(write, agent, lines):
    return [(role, kind, text) for role, kind, _, _, text in read(write, agent, lines)[1]]


def claude(role, content, **extra):
    return dict({"type": role, "sessionId": "s1", "cwd": "/w", "timestamp": "2026-01-01T00:00:00Z",
                 "message": {"role": role, "content": content}}, **extra)


def call(name, tool_id, tool_input):
    return claude(A, [{"type": "tool_use", "id": tool_id, "name": name, "input": tool_input}])


def result(tool_id, content, **extra):
    return claude(U, [{"type": "tool_result", "tool_use_id": tool_id, "content": content}], **extra)


def codex(kind, payload, ts="2025-10-01T10:00:00Z"):
    return {"timestamp": ts, "type": kind, "payload": payload}


def reasoning(*parts, raw=()):
    return codex("response_item", {"type": "reasoning", "encrypted_content": "gAAAA" + BLOB,
                                   "summary": [{"type": "summary_text", "text": p} for p in parts],
                                   "content": [{"type": "reasoning_text", "text": p} for p in raw] or None})


def thought(text, kind="agent_reasoning"):
    return codex("event_msg", {"type": kind, "text": text})


def said(role, text, family="response_item"):
    if family == "event_msg":
        return codex("event_msg", {"type": "user_message" if role == U else "agent_message", "message": text})
    part = "input_text" if role == U else "output_text"
    return codex("response_item", {"type": "message", "role": role, "content": [{"type": part, "text": text}]})


# --- thinking and reasoning ---

@pytest.mark.parametrize("content, rows", [
    # thinking is a row of its own, in the order of the blocks; its signature is no text
    ([{"type": "thinking", "thinking": "The parser drops the BOM.", "signature": "EqQB" + BLOB},
      {"type": "text", "text": "Found it."}, {"type": "thinking", "thinking": "Now the test."},
      {"type": "tool_use", "id": "t1", "name": "Bash", "input": {"command": "pytest"}}],
     [(A, THINKING, "The parser drops the BOM."), (A, TEXT, "Found it."), (A, THINKING, "Now the test."),
      (A, TOOL_CALL, "command: pytest")]),
    # redacted thinking holds opaque data only; blank thinking makes no row
    ([{"type": "redacted_thinking", "data": "EmwKAhgB" + BLOB}, {"type": "thinking", "thinking": " \n"},
      {"type": "text", "text": "Done."}], [(A, TEXT, "Done.")]),
])
def test_claude_thinking(write, content, rows):
    assert texts(write, "claude", [claude(A, content)]) == rows


def test_codex_reasoning_is_one_row_per_summary_part_however_often_it_is_written(write):
    rows = texts(write, "codex", [
        said(U, "Why is the upload slow?"),
        # the events come first, one per part of the summary, then the item
        thought("**Reading the upload loop**\n\nIt retries at once."), thought("**Checking the chunk size**"),
        reasoning("**Reading the upload loop**\n\nIt retries at once.", "**Checking the chunk size**"),
        # a turn cut short: its event is the only copy
        thought("**Timing the retries**"),
        codex("event_msg", {"type": "turn_aborted", "reason": "interrupted"}),
        # an item whose summary no event repeated; an item with no summary at all
        reasoning("**Summing up**"), reasoning(),
        # raw reasoning text and its events pair the same way
        thought("step one", "agent_reasoning_raw_content"), reasoning(raw=["step one"]),
        # the same text said as a message is no second copy of a thought
        said(A, "**Summing up**"), said(A, "**Summing up**", "event_msg")])
    assert rows == [(U, TEXT, "Why is the upload slow?"),
                    (A, THINKING, "**Reading the upload loop**\n\nIt retries at once."),
                    (A, THINKING, "**Checking the chunk size**"), (A, THINKING, "**Timing the retries**"),
                    (A, THINKING, "**Summing up**"), (A, THINKING, "step one"), (A, TEXT, "**Summing up**")]


# --- parts of types the rules do not know ---

@pytest.mark.parametrize("content, shown, hidden", [
    # a server tool and its result, as the API writes them: their strings, not their ids
    ([{"type": "text", "text": "Searching."},
      {"type": "server_tool_use", "id": "srvtoolu_01", "name": "web_search", "input": {"query": "kettle descaling"}},
      {"type": "web_search_tool_result", "tool_use_id": "srvtoolu_01",
       "content": [{"type": "web_search_result", "url": "https://example.org/descale", "title": "Descale a kettle",
                    "encrypted_content": "Eu8B" + BLOB}]}],
     ["Searching.", "web_search", "kettle descaling", "https://example.org/descale", "Descale a kettle"],
     ["srvtoolu_01", "Eu8B", "web_search_tool_result"]),
    # a document: its title, not its base64 data
    ([{"type": "document", "title": "Q3 report", "source": {"type": "base64", "media_type": "application/pdf",
                                                             "data": BLOB}}], ["Q3 report"], [BLOB[:40]]),
    # a string where a block was expected is text too
    (["loose words", {"type": "text", "text": "and a block"}], ["loose words", "and a block"], []),
])
def test_claude_blocks_of_unknown_types_are_shown_plainly(write, content, shown, hidden):
    rows = texts(write, "claude", [claude(A, content)])
    assert [(r[0], r[1]) for r in rows] == [(A, TEXT)]
    assert all(s in rows[0][2] for s in shown) and not any(h in rows[0][2] for h in hidden)


def test_tool_reference_results_are_found(write):
    """Claude Code 2.1 answers a tool search with a list of tool_reference parts."""
    rows = texts(write, "claude", [
        call("ToolSearch", "t1", {"query": "github issues"}),
        result("t1", [{"type": "tool_reference", "tool_name": "mcp__github__create_issue"},
                      {"type": "tool_reference", "tool_name": "mcp__github__list_issues"},
                      {"type": "image", "source": {"type": "base64", "data": BLOB}}])])
    assert rows[1] == (T, TOOL_RESULT, "mcp__github__create_issue\nmcp__github__list_issues")


@pytest.mark.parametrize("payload, row", [
    # a content part of a new type: its strings
    ({"type": "message", "role": A, "content": [{"type": "output_text", "text": "I won't"},
                                                 {"type": "refusal", "refusal": "that would delete the backups"}]},
     (A, TEXT, "I won't\nthat would delete the backups")),
    # an image a person pasted holds no text; its data never becomes any
    ({"type": "message", "role": U, "content": [{"type": "input_text", "text": "this screen"},
                                                 {"type": "input_image",
                                                  "image_url": "data:image/png;base64," + BLOB}]},
     (U, TEXT, "this screen")),
    # an item of a new type: its strings, without its id and opaque content
    ({"type": "tool_search_call", "id": "ts_1", "query": "calendar tools", "encrypted_content": "gAAA" + BLOB},
     (A, TEXT, "calendar tools")),
    # a snapshot of the work tree for undo is no text
    ({"type": "ghost_snapshot", "ghost_commit": {"id": "a01966ef", "parent": "0f022a04",
                                                 "preexisting_untracked_files": ["notes.txt"]}}, None),
])
def test_codex_parts_and_items_of_unknown_types(write, payload, row):
    assert texts(write, "codex", [codex("response_item", payload)]) == ([row] if row else [])


# --- Claude's toolUseResult ---

EDIT_INPUT = {"file_path": "/w/app.py", "old_string": "retries = 1", "new_string": "retries = 5"}
EDIT_RESULT = {"filePath": "/w/app.py", "oldString": "retries = 1", "newString": "retries = 5",
               "originalFile": "import os\nORIGINALONLY = True\nretries = 1\n", "replaceAll": False,
               "structuredPatch": [{"oldStart": 2, "oldLines": 3, "newStart": 2, "newLines": 3,
                                    "lines": [" def upload(chunk):", "-retries = 1", "+retries = 5", " backoff()"]}]}


@pytest.mark.parametrize("tool_input, content, tool_use_result, text", [
    # the account repeats the content: nothing is added
    ({"command": "ls"}, "a.py\nb.py", {"stdout": "a.py\nb.py", "stderr": "", "interrupted": False}, "a.py\nb.py"),
    ({"command": "false"}, "<tool_use_error>exit 1</tool_use_error>", "Error: exit 1",
     "<tool_use_error>exit 1</tool_use_error>"),
    # a Read result numbers the lines; the file path is the call's input
    ({"file_path": "/w/app.py"}, "     1\u2192import os\n     2\u2192    run()",
     {"type": "text", "file": {"filePath": "/w/app.py", "content": "import os\n    run()", "numLines": 2}},
     "     1\u2192import os\n     2\u2192    run()"),
    # an image read: its data is no text
    ({"file_path": "/w/a.png"}, [{"type": "image", "source": {"type": "base64", "data": BLOB}}],
     {"type": "image", "file": {"base64": BLOB, "type": "image/png"}}, ""),
    # what the content left out is added once, after a blank line
    ({"command": "make"}, "built", {"stdout": "built", "stderr": "warning: unused variable\nwarning: unused variable"},
     "built\n\nwarning: unused variable\nwarning: unused variable"),
    ({"command": "cat x"}, "", "Permission denied", "Permission denied"),
    ({"command": "grep -c x"}, "", {"stdout": "", "stderr": "", "returnCodeInterpretation": "No matches found"},
     "No matches found"),
    # an edit: the patch (its context lines are nowhere else), not the call's strings again,
    # not the file as it was
    (EDIT_INPUT, "The file /w/app.py has been updated successfully.", EDIT_RESULT,
     "The file /w/app.py has been updated successfully.\n\n"
     " def upload(chunk):\n-retries = 1\n+retries = 5\n backoff()"),
])
def test_tool_use_result_adds_what_the_row_lacks(write, tool_input, content, tool_use_result, text):
    lines = [call("Tool", "t1", tool_input), result("t1", content, toolUseResult=tool_use_result)]
    rows = texts(write, "claude", lines)
    assert rows[1:] == [(T, TOOL_RESULT, text)]


# --- Codex's older layout ---

HEADER = {"id": "5973b6c0-94b8-487b-a530-2aeb6098ae0e", "timestamp": "2025-04-17T21:04:27.123Z",
          "instructions": "Run the linters before every commit."}
OLD_SESSION = [
    HEADER,
    {"record_type": "state"},
    {"type": "message", "role": U, "content": [{"type": "input_text", "text":
        "<environment_context>\nCurrent working directory: /home/ada/kettle\nApproval policy: on-request\n"
        "</environment_context>"}]},
    {"type": "message", "role": U, "content": [{"type": "input_text", "text": "Why does startup time out?"}]},
    {"type": "reasoning", "id": "rs_1", "summary": [{"type": "summary_text", "text": "**Reading boot.py**"}],
     "encrypted_content": "gAAAA" + BLOB},
    {"type": "function_call", "name": "shell", "call_id": "call_1",
     "arguments": json.dumps({"command": ["grep", "-n", "timeout", "boot.py"]})},
    {"record_type": "state", "previous_response_id": "resp_1"},
    {"type": "function_call_output", "call_id": "call_1",
     "output": json.dumps({"output": "12: timeout=0.5\n", "metadata": {"exit_code": 0}})},
    {"type": "local_shell_call", "id": "lsc_1", "call_id": "call_2", "status": "completed",
     "action": {"type": "exec", "command": ["cat", "boot.py"]}},
    {"type": "message", "role": A, "content": [{"type": "output_text", "text": "The boot timeout is 0.5 s."}],
     "timestamp": "2025-04-17T21:05:00Z"},
]
OLD_ROWS = [
    ("system", CONTEXT, HEADER["timestamp"], "", "Run the linters before every commit."),
    (U, CONTEXT, HEADER["timestamp"], "", OLD_SESSION[2]["content"][0]["text"]),
    (U, TEXT, HEADER["timestamp"], "", "Why does startup time out?"),
    (A, THINKING, HEADER["timestamp"], "", "**Reading boot.py**"),
    (A, TOOL_CALL, HEADER["timestamp"], "shell", "command: grep -n timeout boot.py"),
    (T, TOOL_RESULT, HEADER["timestamp"], "shell", "12: timeout=0.5\n"),
    (A, TOOL_CALL, HEADER["timestamp"], "shell", "type: exec\ncommand: cat boot.py"),
    (A, TEXT, "2025-04-17T21:05:00Z", "", "The boot timeout is 0.5 s."),
]


@pytest.mark.parametrize("with_state", [True, False])
def test_codex_older_layout(write, with_state):
    lines = [x for x in OLD_SESSION if with_state or "record_type" not in x]
    facts, rows = read(write, "codex", lines)
    assert rows == OLD_ROWS
    session_id, cwd, _, _, _, first_prompt, first_ts, last_ts = facts[:8]
    assert (session_id, cwd, first_prompt) == (HEADER["id"], "/home/ada/kettle", "Why does startup time out?")
    assert (first_ts, last_ts) == (HEADER["timestamp"], "2025-04-17T21:05:00Z")
    assert sessionrows.extract_codex(write(lines), True) == []      # `_core` reads the envelopes only


@pytest.mark.parametrize("header, context, cwd", [
    ({}, "<environment_context>\n  <cwd>/srv/api</cwd>\n  <shell>zsh</shell>\n</environment_context>", "/srv/api"),
    ({}, "<environment_context>\nCurrent working directory: /srv/api \n</environment_context>", "/srv/api"),
    ({}, "Current working directory: /not/in/a/block", ""),
    ({"cwd": "/from/header"}, "<environment_context>\n  <cwd>/srv/api</cwd>\n</environment_context>", "/from/header"),
])
def test_the_working_directory_of_an_older_session(write, header, context, cwd):
    lines = [dict(HEADER, instructions=None, **header),
             {"type": "message", "role": U, "content": [{"type": "input_text", "text": context}]}]
    facts, rows = read(write, "codex", lines)
    assert facts[1] == cwd and [r[1] for r in rows] == [CONTEXT if "<env" in context else TEXT]


def test_an_older_session_is_told_to_be_codex_from_its_first_lines(write):
    for lines in (OLD_SESSION, OLD_SESSION[1:], OLD_SESSION[3:]):
        with open(write(lines), "rb") as f:
            assert agent_from_head(f.read()) == "codex"


@pytest.mark.parametrize("line", [
    {"type": "summary", "summary": "Kettle fix", "leafUuid": "u1"},
    {"type": "file-history-snapshot", "messageId": "m1", "snapshot": {"trackedFileBackups": {}}},
    {"type": "queue-operation", "operation": "enqueue", "timestamp": "T", "sessionId": "s1"},
    claude(U, "hello"),
    {"type": "message", "id": "p2", "parentId": "p1", "timestamp": "T", "message": {"role": U, "content": "hi"}},
    {"id": "g1", "timestamp": "T", "type": "user", "content": [{"text": "hi"}]},
    {"sessionId": "s1", "projectHash": "h", "startTime": "T", "lastUpdated": "T"},
    {"id": "x", "timestamp": "T", "sessionId": "s1"},
])
def test_other_assistants_lines_are_not_codex_lines(line):
    assert not agents._codex_line(line)


# --- on real logs ---

def real_logs():
    logs = [p for p in corpus_files() if p.parent.name in ("claude", "codex")]
    if not logs:
        pytest.skip("no corpus of real logs (set SESSIONROWS_CORPUS)")
    read_back = _search.read([(p.parent.name, str(p), 0, 0) for p in logs])
    return [(p, json_lines(p), r[1]) for p, r in zip(logs, read_back)]


def json_lines(path):
    def parsed(raw):
        try:
            return json.loads(raw)
        except ValueError:
            return None
    with open(path, encoding="utf-8", errors="replace") as f:
        return [v for v in map(parsed, f) if isinstance(v, dict)]


def words(text):
    return {w.lower() for w in WORD.findall(text)}


def blocks(line, kind):
    content = (line.get("message") or {}).get("content") if line.get("type") in (U, A) else None
    return [b for b in content if isinstance(b, dict) and b.get("type") == kind] if isinstance(content, list) else []


def thoughts(path, line):
    """The thinking texts of a line, read with json.loads."""
    if path.parent.name == "claude":
        return [b.get("thinking") or "" for b in blocks(line, "thinking")]
    payload = line.get("payload") or {}
    if line.get("type") == "response_item" and payload.get("type") == "reasoning":
        return [p.get("text") or "" for p in payload.get("summary") or []]
    if line.get("type") == "event_msg" and payload.get("type") == "agent_reasoning":
        return [payload.get("text") or ""]
    return []


def test_every_thought_of_the_real_logs_is_a_thinking_row():
    seen = missed = 0
    for path, lines, rows in real_logs():
        held = set().union(*(words(r[6]) for r in rows if r[2] == THINKING))
        for line in lines:
            for w in set().union(*map(words, thoughts(path, line))):
                seen += 1
                missed += w not in held
    print("thinking: %d distinctive words, %d missed" % (seen, missed))
    assert seen and missed == 0


def result_strings(value, key=""):
    """The texts of a toolUseResult: its strings, ids and base64 data left out."""
    if isinstance(value, str):
        return [] if key in ("base64",) or key.endswith(("_id", "Id")) else [value]
    items = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else ()
    return [s for k, v in items for s in result_strings(v, k if isinstance(k, str) else key)]


def test_the_words_of_tool_use_results_are_in_the_rows():
    seen = missed = 0
    for path, lines, rows in real_logs():
        held = set().union(*(words(r[6]) for r in rows))
        for line in lines:
            if "toolUseResult" in line:
                for w in set().union(*map(words, result_strings(line["toolUseResult"]))):
                    seen += 1
                    missed += w not in held
    if not seen:
        pytest.skip("no toolUseResult in the corpus")
    print("toolUseResult: %d of %d (word, line) pairs in the log's rows (%.2f%%)"
          % (seen - missed, seen, 100 * (1 - missed / seen)))
    assert 1 - missed / seen >= 0.99


def expected_counts(path, lines):
    """Rows by kind that a log's blocks and items call for, counted with json.loads: a
    row per tool call and per tool result; Claude's thinking blocks and Codex's
    reasoning (a row per summary part, an agent_reasoning event the same part once more)."""
    counts = collections.Counter()
    if path.parent.name == "claude":
        for line in lines:
            counts[TOOL_CALL] += len(blocks(line, "tool_use"))
            counts[TOOL_RESULT] += len(blocks(line, "tool_result"))
            counts[THINKING] += sum(1 for b in blocks(line, "thinking") if (b.get("thinking") or "").strip())
        return counts
    events = collections.Counter()
    for line in lines:
        payload = line.get("payload") or {}
        kind = payload.get("type")
        if line.get("type") == "response_item":
            counts[TOOL_CALL] += kind in ("function_call", "custom_tool_call", "local_shell_call", "web_search_call")
            counts[TOOL_RESULT] += kind in ("function_call_output", "custom_tool_call_output")
            for part in payload.get("summary") or [] if kind == "reasoning" else []:
                if events[part.get("text")]:
                    events[part.get("text")] -= 1
                else:
                    counts[THINKING] += 1
        elif line.get("type") == "event_msg" and kind == "agent_reasoning":
            events[payload.get("text")] += 1
            counts[THINKING] += 1
    return counts


def test_no_row_of_the_real_logs_is_lost():
    for path, lines, rows in real_logs():
        got = collections.Counter(r[2] for r in rows)
        want = expected_counts(path, lines)
        assert {k: got[k] for k in want} == dict(want), path.name
