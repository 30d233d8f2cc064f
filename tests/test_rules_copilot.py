"""Rows of GitHub Copilot CLI session logs (events.jsonl): the search reading (every text in full, with
its kind and flags) and the rows of read_arrow, from made-up events; and, on the real logs of the
corpus, that every log reads and that its distinctive words are in its rows."""

import collections
import json
import re

import pytest

import sessionrows
import arrow_c
from conftest import corpus_files
from sessionrows import _search


TEXT, CONTEXT, SUMMARY, CALL, RESULT, THINKING = range(6)
SUBAGENT, REWOUND = 1, 2
SID, CWD = "f3799dbd-0001", "/home/ada/uploader"
BIG = "You are the GitHub Copilot CLI. " * 20


def ev(kind, data=None, id=None, ts="2026-08-03T15:51:34.000Z", **top):
    """An event line as Copilot CLI writes it: type first, then data, id, timestamp, parentId."""
    line = {"type": kind, "data": data if data is not None else {}}
    if id is not None:
        line["id"] = id
    line.update(timestamp=ts, parentId=None, **top)
    return line


START = ev("session.start", {"sessionId": SID, "version": 1, "producer": "copilot-agent",
                             "context": {"cwd": CWD, "gitRoot": CWD, "branch": "main"}}, id="e0")
NOISE = [ev("session.model_change", {"newModel": "auto"}), ev("assistant.turn_start", {"turnId": "0"}),
         ev("session.usage_checkpoint", {"totalNanoAiu": 1}), ev("assistant.turn_end", {"turnId": "0"}),
         ev("session.shutdown", {"shutdownType": "routine", "codeChanges": {"filesModified": ["never.py"]}})]


def user(content, transformed=None, id="u1", **top):
    data = {"content": content, "attachments": [], "delivery": "idle"}
    if transformed is not None:
        data["transformedContent"] = transformed
    return ev("user.message", data, id=id, **top)


def said(content, requests=(), id="m1", **data):
    return ev("assistant.message", dict({"messageId": id, "content": content, "toolRequests": list(requests)},
                                        **data), id="ev-" + id)


def request(name, call, **arguments):
    return {"toolCallId": call, "name": name, "arguments": arguments, "type": "function"}


def done(call, content=None, detailed=None, error=None, **data):
    result = {k: v for k, v in (("content", content), ("detailedContent", detailed)) if v is not None}
    data = dict(data, toolCallId=call, success=error is None)
    if result:
        data["result"] = result
    if error is not None:
        data["error"] = {"message": error, "code": "failure"}
    return ev("tool.execution_complete", data, id="done-" + call)


@pytest.fixture
def read(write):
    """The search reading of made-up lines: (facts, [(role, kind, flags, tool, text), ...])."""
    def _read(lines):
        [(facts, rows)] = _search.read([("copilot", write(lines), 0, 0)])
        return facts, [(r[1], r[2], r[3], r[5], r[6]) for r in rows]
    return _read


@pytest.fixture
def arrow(write):
    def _arrow(lines, tools):
        table = arrow_c.table(sessionrows.read_arrow([("copilot", write(lines))], tools))
        return [(r["role"], r["text"], r["source"]) for r in table.to_pylist()]
    return _arrow


@pytest.mark.parametrize("lines, rows", [
    # the person's words; what the tool wrapped around them is injected text, before them
    ([user("fix it", "<current_datetime>2026-08-03T17:51</current_datetime>\n\nfix it")],
     [("user", CONTEXT, 0, "", "<current_datetime>2026-08-03T17:51</current_datetime>\n\n"),
      ("user", TEXT, 0, "", "fix it")]),
    ([user("fix it", "fix it\n\n<system_reminder>tables</system_reminder>")],
     [("user", CONTEXT, 0, "", "\n\n<system_reminder>tables</system_reminder>"), ("user", TEXT, 0, "", "fix it")]),
    ([user("fix it", "the request was: fix it, in full")],
     [("user", CONTEXT, 0, "", "the request was: , in full"), ("user", TEXT, 0, "", "fix it")]),
    ([user("fix it", "rewritten entirely")],
     [("user", CONTEXT, 0, "", "rewritten entirely"), ("user", TEXT, 0, "", "fix it")]),
    ([user("fix it", "fix it"), user("steer left", id="u2")],
     [("user", TEXT, 0, "", "fix it"), ("user", TEXT, 0, "", "steer left")]),
    # an autopilot continuation: the tool wrote all of it
    ([user("", "You have not yet marked the task as complete")],
     [("user", CONTEXT, 0, "", "You have not yet marked the task as complete")]),
    # reasoning, words and tool requests, in that order; encrypted reasoning is no text
    ([said("Running it.", [request("bash", "c1", command="echo hi", description="Say hi")],
           reasoningText="The user wants hi.", encryptedContent="b64opaque", reasoningOpaque="b64opaque")],
     [("assistant", THINKING, 0, "", "The user wants hi."), ("assistant", TEXT, 0, "", "Running it."),
      ("assistant", CALL, 0, "bash", "command: echo hi\ndescription: Say hi")]),
    ([said("", [request("view", "c1", path="a.py"), request("view", "c2", path="b.py")])],
     [("assistant", CALL, 0, "view", "path: a.py"), ("assistant", CALL, 0, "view", "path: b.py")]),
    ([ev("assistant.reasoning", {"reasoningId": "r1", "content": "Think first."}, id="r"),
      said("ok", reasoningText="Think first.")],
     [("assistant", THINKING, 0, "", "Think first."), ("assistant", TEXT, 0, "", "ok")]),
    # the system prompt is injected text, one row however often it is sent again
    ([ev("system.message", {"role": "system", "content": BIG}, id="s1"), user("a", id="u1"),
      ev("system.message", {"role": "system", "content": BIG}, id="s2"), user("b", id="u2"),
      ev("system.message", {"role": "developer", "content": "Be brief."}, id="s3")],
     [("system", CONTEXT, 0, "", BIG), ("user", TEXT, 0, "", "a"), ("user", TEXT, 0, "", "b"),
      ("developer", CONTEXT, 0, "", "Be brief.")]),
    # notices the tool writes, summaries, unknown kinds: found, as injected text
    ([ev("session.compaction_complete", {"success": True, "summaryContent": "<overview>All so far</overview>",
                                         "checkpointNumber": 1}, id="k")],
     [("assistant", SUMMARY, 0, "", "<overview>All so far</overview>")]),
    ([ev("session.task_complete", {"summary": "Created three files.", "success": True}, id="t"),
      ev("system.notification", {"content": "<system_notification>Agent done</system_notification>",
                                 "kind": {"type": "agent_completed", "prompt": "x"}}, id="n"),
      ev("session.error", {"errorType": "quota", "message": "Quota exceeded"}, id="x"),
      ev("abort", {"reason": "user initiated"}, id="a")],
     [("assistant", CONTEXT, 0, "", "Created three files."),
      ("system", CONTEXT, 0, "", "<system_notification>Agent done</system_notification>"),
      ("system", CONTEXT, 0, "", "Quota exceeded"), ("system", CONTEXT, 0, "", "user initiated")]),
    ([ev("session.plan_revised", {"planContent": "1. parse\n2. index", "revision": 3}, id="p"),
      ev("hook.end", {"output": {"nested": "not a text field"}}, id="h")],
     [("system", CONTEXT, 0, "", "1. parse\n2. index")]),
    ([ev("assistant.message", {"messageId": "m", "content": [{"type": "text", "text": "a part"},
                                                            {"type": "widget", "text": "unknown part"}]})],
     [("assistant", TEXT, 0, "", "a part\nunknown part")]),
    # what has no text for a person gives no row, whatever words it holds
    (NOISE + [ev("permission.requested", {"permissionRequest": {"intention": "Write the file"}})], []),
])
def test_line_kinds(read, lines, rows):
    assert read([START] + lines)[1] == rows


def test_session_facts(read):
    title = ev("session.title_changed", {"title": "Fix the flaky upload test"}, id="t")
    facts, rows = read(NOISE[:2] + [START, user("why is it flaky?", "<current_datetime>x</current_datetime>\n\n"
                                                "why is it flaky?"), title, dict(START, id="e9")])
    assert facts[:6] == (SID, CWD, "", "", "Fix the flaky upload test", "why is it flaky?")
    assert facts[8] == len(rows) == 2


@pytest.mark.parametrize("content, detailed, error, text", [
    ("hello\n<exit 0>", "hello\n<exit 0>", None, "hello\n<exit 0>"),
    ("Created a.txt", "✓ Task completed: Created a.txt", None, "✓ Task completed: Created a.txt"),
    ("File a.py updated.", "@@ -1 +1 @@\n-old\n+new", None, "File a.py updated.\n\n@@ -1 +1 @@\n-old\n+new"),
    (None, "only the display", None, "only the display"),
    (None, None, "Error: effort 'short' is not supported", "Error: effort 'short' is not supported"),
    ("partial", None, "then it failed", "partial\nthen it failed"),
])
def test_tool_results_with_their_calls(read, content, detailed, error, text):
    start = ev("tool.execution_start", {"toolCallId": "c1", "toolName": "bash", "arguments": {"command": "x"}})
    _, rows = read([said("", [request("bash", "c1", command="x")]), start, done("c1", content, detailed, error)])
    assert rows == [("assistant", CALL, 0, "bash", "command: x"), ("tool", RESULT, 0, "bash", text)]


def test_a_command_the_person_ran(read, arrow):
    lines = [ev("tool.user_requested", {"toolCallId": "u-1", "toolName": "local_shell",
                                        "arguments": {"command": "echo hello"}}, id="q"),
             done("u-1", "hello", isUserRequested=True)]
    assert read(lines)[1] == [("user", CALL, 0, "local_shell", "command: echo hello"),
                              ("tool", RESULT, 0, "local_shell", "hello")]
    assert arrow(lines, True) == [("user", '[tool_call local_shell] {"command":"echo hello"}', "tool"),
                                  ("tool", "[tool_result] hello", "tool")]


@pytest.mark.parametrize("lines, texts", [
    # the same event written again: one row, at its first place, with its last text
    ([user("first", id="u1"), said("between"), user("second", id="u1")], ["second", "between"]),
    ([said("draft", id="m1"), user("next", id="u2"), said("final", id="m1")], ["final", "next"]),
    ([said("", id="m1"), user("next", id="u2"), said("late words", id="m1")], ["late words", "next"]),
    ([said("draft", id="m1"), user("next", id="u2"), said("", id="m1")], ["next"]),
    # a message in chunks: one row, the chunks in their order whatever order they came in
    ([said("world", id="m1", chunkIndex=1, chunkCount=2), said("hello ", id="m1", chunkIndex=0, chunkCount=2)],
     ["hello world"]),
    ([said("only", id="m1", chunkIndex=0, chunkCount=1), said("only", id="m1", chunkIndex=0, chunkCount=1)],
     ["only"]),
    ([said("%04d " % i, id="m1", chunkIndex=i, chunkCount=3000) for i in reversed(range(3000))],
     ["".join("%04d " % i for i in range(3000))]),
    # a system prompt said again is one row; distinct ones of one length are rows each, however many
    ([ev("system.message", {"role": "system", "content": "prompt %03d" % (i % 50)}, id="s%d" % i)
      for i in range(150)], ["prompt %03d" % i for i in range(50)]),
])
def test_written_twice_is_one_row(read, lines, texts):
    assert [r[4] for r in read(lines)[1]] == texts


def test_calls_said_again_are_one_row(read):
    start = ev("tool.execution_start", {"toolCallId": "c1", "toolName": "bash", "arguments": {"command": "other"}})
    _, rows = read([said("", [request("bash", "c1", command="ls")], id="m1"),
                    said("", [request("bash", "c1", command="ls -l")], id="m1"), start, done("c1", "a"),
                    done("c1", "b")])
    assert rows == [("assistant", CALL, 0, "bash", "command: ls -l"), ("tool", RESULT, 0, "bash", "b")]


@pytest.mark.parametrize("rewind, flagged", [
    ({"upToEventId": "u2", "eventsRemoved": 3}, ["second", "answer two"]),   # from the event it names
    ({"upToEventId": "u1", "eventsRemoved": 3}, ["second", "answer two"]),   # from the one after it
    ({"eventsRemoved": 2}, ["answer two"]),
    ({"upToEventId": "unknown"}, []),
])
def test_rewound_rows_stay_found(read, rewind, flagged):
    lines = [user("first", id="u1"), user("second", id="u2"), NOISE[1], said("answer two", id="m2"),
             ev("session.snapshot_rewind", rewind, id="w"), user("third", id="u3")]
    _, rows = read(lines)
    assert [r[4] for r in rows] == ["first", "second", "answer two", "third"]
    assert [r[4] for r in rows if r[2] & REWOUND] == flagged


def test_rewinds_that_overlap(read):
    lines = [user(x, id=x) for x in "abc"] + [ev("session.snapshot_rewind", {"eventsRemoved": 2}), user("d", id="d"),
                                              ev("session.snapshot_rewind", {"eventsRemoved": 4}), user("e", id="e")]
    _, rows = read(lines)
    assert [(r[4], r[2]) for r in rows] == [("a", 0), ("b", REWOUND), ("c", REWOUND), ("d", REWOUND), ("e", 0)]


def test_subagent_conversation_is_flagged(read):
    lines = [user("delegate the summary", id="u1"),
             said("", [request("task", "call_9", prompt="You are a task subagent. Summarise.")]),
             ev("tool.execution_start", {"toolCallId": "call_9", "toolName": "task"}),
             ev("subagent.started", {"toolCallId": "call_9", "agentDisplayName": "Task Agent",
                                     "agentDescription": "Runs commands."}, id="s", agentId="call_9"),
             ev("system.message", {"role": "system", "content": "You are a command agent."}, id="y",
                agentId="call_9"),
             user("You are a task subagent. Summarise.", "<current_datetime>x</current_datetime>\n\n"
                  "You are a task subagent. Summarise.", id="u2", agentId="call_9"),
             said("Summary.", [request("bash", "c2", command="ls")], id="m2", parentToolCallId="call_9"),
             ev("tool.execution_start", {"toolCallId": "c2", "toolName": "bash", "parentToolCallId": "call_9"},
                agentId="call_9"),
             done("c2", "a.py", parentToolCallId="call_9"),
             ev("subagent.failed", {"toolCallId": "call_9", "error": "Error: model refused"}, id="f",
                agentId="call_9"),
             done("call_9", "Summary."), said("done", id="m3")]
    facts, rows = read(lines)
    assert [(r[0], r[1], r[4]) for r in rows if r[2] & SUBAGENT] == [
        ("system", CONTEXT, "Runs commands."), ("system", CONTEXT, "You are a command agent."),
        ("user", CONTEXT, "<current_datetime>x</current_datetime>\n\n"),
        ("user", TEXT, "You are a task subagent. Summarise."), ("assistant", TEXT, "Summary."),
        ("assistant", CALL, "command: ls"), ("tool", RESULT, "a.py"), ("system", CONTEXT, "Error: model refused")]
    assert [r[4] for r in rows if not r[2]] == ["delegate the summary", "prompt: You are a task subagent. Summarise.",
                                                "Summary.", "done"]
    assert facts[5] == "delegate the summary"


def test_arrow_rows(arrow):
    long_input = "x" * 600
    lines = [START, ev("system.message", {"role": "system", "content": "rules"}, id="s1"),
             user("hi", "<current_datetime>x</current_datetime>\n\nhi"), NOISE[1],
             said("Looking.", [request("grep", "c1", pattern=long_input)], reasoningText="hidden thought"),
             ev("tool.execution_start", {"toolCallId": "c1", "toolName": "grep"}), done("c1", "y" * 900),
             ev("system.message", {"role": "system", "content": "rules"}, id="s2"), said("Found.", id="m2"),
             ev("session.compaction_complete", {"summaryContent": "summary"})]
    plain = [("__meta__", CWD, SID), ("system", "rules", "system.message"), ("user", "hi", "user.message"),
             ("assistant", "Looking.", "assistant.message"), ("assistant", "Found.", "assistant.message")]
    assert arrow(lines, False) == plain
    with_tools = arrow(lines, True)
    call = '[tool_call grep] {"pattern":"' + long_input
    assert with_tools == plain[:4] + [("assistant", call[:len("[tool_call grep] ") + 500], "tool"),
                                      ("tool", "[tool_result] " + "y" * 800, "tool")] + plain[4:]


@pytest.mark.parametrize("bad", [
    b'{"type":"user.message","data":{"content":"torn',
    b'{"type":"assistant.message","data":"not an object"}',
    b'{"type":5,"data":{"content":"x"}}',
    b'[1,2,3]', b'null', b'"type": "user.message"', b'{"type":"user.message"}{"type":"user.message"}',
])
def test_torn_and_invalid_lines_are_passed_over(write, bad):
    good = [json.dumps(user("before", id="u1")).encode(), bad, json.dumps(user("after", id="u2")).encode()]
    path = write(b"\n".join(good) + b"\n")
    [(facts, rows)] = _search.read([("copilot", path, 0, 0)])
    assert [r[6] for r in rows] == ["before", "after"]
    table = arrow_c.table(sessionrows.read_arrow([("copilot", path)], True))
    assert table.column("text").to_pylist() == ["before", "after"]


def test_a_line_with_bytes_that_are_not_utf8_is_read_with_them_replaced(write):
    bad = b'{"type":"user.message","data":{"content":"\xff\xfe bad byte"},"id":"b"}'
    path = write(b"\n".join([json.dumps(user("before", id="u1")).encode(), bad]) + b"\n")
    [(facts, rows)] = _search.read([("copilot", path, 0, 0)])
    assert [r[6] for r in rows] == ["before", "\ufffd\ufffd bad byte"]          # as grep would find it
    assert arrow_c.table(sessionrows.read_arrow([("copilot", path)], True)).column("text").to_pylist() == ["before"]


# --- the real logs ---

WORD = re.compile(r"[^\W_]{8,}")
LETTERS = re.compile(r"[^\W\d_]")
ESCAPE = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)?|\x1b[@-Z\\-_]")


def leaves(value, out):
    if isinstance(value, str):
        out.append(value)
    elif isinstance(value, dict):
        for v in value.values():
            leaves(v, out)
    elif isinstance(value, list):
        for v in value:
            leaves(v, out)
    return out


def content_of(event):
    """What a person could search for in one event: what was said (the words typed and what the model
    was sent), tool calls' inputs and results, summaries, thinking, notices and titles."""
    data, kind = event.get("data"), event.get("type")
    if not isinstance(data, dict):
        return []
    fields = {"user.message": ["content", "transformedContent"], "assistant.message": ["content", "reasoningText"],
              "assistant.reasoning": ["content"], "system.message": ["content"],
              "system.notification": ["content"], "skill.invoked": ["content"],
              "tool.execution_start": ["arguments"], "tool.user_requested": ["arguments"],
              "tool.execution_complete": ["result", "error"], "session.compaction_complete": ["summaryContent"],
              "session.task_complete": ["summary"], "subagent.started": ["agentDescription"],
              "subagent.failed": ["error"], "session.error": ["message"], "session.warning": ["message"],
              "session.info": ["message"], "session.title_changed": ["title"]}.get(kind, [])
    out = leaves([data.get(f) for f in fields], [])
    if kind == "assistant.message":
        leaves([q.get("arguments") for q in data.get("toolRequests") or [] if isinstance(q, dict)], out)
    return out


def words(texts):
    return {w.lower() for t in texts for w in WORD.findall(ESCAPE.sub("", t)) if len(LETTERS.findall(w)) >= 8}


def copilot_logs():
    logs = [p for p in corpus_files() if p.parent.name == "copilot"]
    if not logs:
        pytest.skip("no corpus of real Copilot CLI logs (set SESSIONROWS_CORPUS)")
    return logs


def test_real_logs_read_and_their_words_are_found():
    logs = copilot_logs()
    results = _search.read([("copilot", str(p), 0, 0) for p in logs])
    holders, found = collections.defaultdict(set), {}
    for path, result in zip(logs, results):
        assert not isinstance(result, str), (path, result)
        facts, rows = result
        assert facts[0] and facts[1] and facts[5], path      # session id, working directory, first prompt
        found[path] = words([r[6] for r in rows] + [facts[1]])
        with open(path, encoding="utf-8") as f:
            for word in words(t for line in f for t in content_of(json.loads(line))):
                holders[word].add(path)
    pairs = [(w, p) for w, paths in holders.items() for p in paths]
    missed = [(w, p.name) for w, p in pairs if w not in found[p]]
    share = 1 - len(missed) / len(pairs)
    print("copilot grep parity: %d of %d (word, log) pairs found (%.2f%%)" % (len(pairs) - len(missed), len(pairs),
                                                                             100 * share))
    assert share >= 0.99, missed[:20]


def test_real_logs_as_arrow_rows():
    logs = copilot_logs()
    table = arrow_c.table(sessionrows.read_arrow([("copilot", str(p)) for p in logs], True))
    by_role = collections.Counter(table.column("role").to_pylist())
    assert by_role["__meta__"] == len(logs)
    assert by_role["user"] and by_role["assistant"] and by_role["tool"]


def test_lines_longer_than_the_read_buffer(read, arrow):
    output = "line of output\n" * 200_000                               # 3 MB, past the 1 MiB buffer
    lines = [START, said("", [request("bash", "c1", command="cat big.log")]), done("c1", output),
             ev("session.shutdown", {"codeChanges": {"filesModified": ["f.py"] * 300_000}}),
             user("x" * 2_000_000, id="u9")]
    _, rows = read(lines)
    assert [(r[1], len(r[4])) for r in rows] == [(CALL, len("command: cat big.log")), (RESULT, len(output)),
                                                  (TEXT, 2_000_000)]
    assert [len(r[1]) for r in arrow(lines, True)] == [len(CWD), len('[tool_call bash] {"command":"cat big.log"}'), len("[tool_result] ") + 800, 2_000_000]
