"""Rows of Codex session logs."""

import pytest

TS = "2026-01-03T09:00:01.000Z"


def item(payload, **top):
    return {"timestamp": TS, "type": "response_item", "payload": payload, **top}


def event(payload):
    return {"timestamp": TS, "type": "event_msg", "payload": payload}


def meta(payload="absent", **top):
    line = {"timestamp": TS, "type": "session_meta", **top}
    if payload != "absent":
        line["payload"] = payload
    return line


def call(**payload):
    return item({"type": "function_call", "name": "shell", **payload})


def msg_row(text, role="assistant"):
    return (role, text, TS, "response_item")


def call_row(args, name="shell"):
    return ("assistant", "[tool_call " + name + "] " + args, TS, "tool")


def result_row(text):
    return ("tool", "[tool_result] " + text, TS, "tool")


def ev_row(text, role="user", ts=TS):
    return (role, text, ts, "event_msg")


CASES = [
    # (lines, include_tools, rows)
    # session meta
    ([meta({"id": "s1", "cwd": "/w", "session_id": "s2"})], False, [("__meta__", "/w", "", "s1")]),
    ([meta()], False, [("__meta__", "", "", "")]),
    ([meta(None)], False, [("__meta__", "", "", "")]),
    ([meta("text payload")], False, [("__meta__", "", "", "")]),
    ([meta({"id": 5, "session_id": "s2", "cwd": 1})], False, [("__meta__", "", "", "s2")]),
    ([meta({"id": "", "session_id": "s2"})], False, [("__meta__", "", "", "")]),
    ([meta({"id": None, "session_id": "s2"})], False, [("__meta__", "", "", "s2")]),
    ([meta({"session_id": ["s"]})], False, [("__meta__", "", "", "")]),
    (['[{"type":"session_meta","payload":{"id":"s","cwd":"/w"}}]'], False, [("__meta__", "", "", "")]),
    (['"type":"session_meta"'], False, []),
    (['{"type":"session_meta","payload":{"id":"s"}', meta({"id": "t"})], False, [("__meta__", "", "", "t")]),
    ([meta({"id": "a"}), event({"type": "user_message", "message": "m"}), meta({"id": "b"})], False,
     [("__meta__", "", "", "a"), ev_row("m"), ("__meta__", "", "", "b")]),
    # session_meta wins over the other kinds found in the window
    ([meta({"id": "s", "inner": {"type": "response_item"}, "e": {"type": "event_msg"}})], True,
     [("__meta__", "", "", "s")]),
    ([item({"type": "message", "role": "user", "content": [{"type": "session_meta"}]})], False,
     [("__meta__", "", "", "")]),
    # ... and response_item over event_msg: this event line fails the "message" test
    ([event({"type": "user_message", "message": "hi", "x": {"type": "response_item"}})], True, []),
    ([event({"type": "user_message", "x": {"type": "response_item"}, "y": {"type": "message"}})], False, []),
    # the parsed top-level "type" is never looked at again
    ([{"type": "turn_context", "payload": {"type": "user_message", "message": "m"}, "x": {"type": "event_msg"}}],
     False, [("user", "m", "", "event_msg")]),
    ([{"type": "turn_context", "payload": {"type": "message", "content": "c"}, "x": {"type": "response_item"}}],
     False, [("assistant", "c", "", "response_item")]),
    ([{"type": "compacted", "payload": {"type": "message", "content": "c"}}], False, []),
    # message rows
    ([item({"type": "message", "role": "user", "content": [{"type": "input_text", "text": "q"}]})], False,
     [msg_row("q", "user")]),
    ([item({"type": "message", "content": "a"})], False, [msg_row("a")]),
    ([item({"type": "message", "role": 5, "content": "a"})], False, [msg_row("a")]),
    ([item({"type": "message", "role": "developer", "content": "a"})], False, [msg_row("a", "developer")]),
    ([item({"type": "message", "role": "", "content": "a"})], False, [msg_row("a", "")]),
    ([item({"type": "message", "role": "user", "content": []})], False, [msg_row("", "user")]),
    ([item({"type": "message", "role": "user"})], False, [msg_row("", "user")]),
    ([item({"type": "message", "content": " \n "})], False, [msg_row(" \n ")]),
    ([item({"type": "message", "content": "a"}, timestamp=5)], False, [("assistant", "a", "", "response_item")]),
    ([{"type": "response_item", "payload": {"type": "message", "content": "a"}}], False,
     [("assistant", "a", "", "response_item")]),
    ([item({"type": "Message", "content": "a"})], True, []),
    ([item({"type": "reasoning", "summary": [], "x": {"type": "message"}})], True, []),
    ([item({"type": 5, "x": {"type": "message"}})], True, []),
    ([item({"type": None, "x": {"type": "message"}})], True, []),
    ([item("message")], True, []),
    ([item(["message"], x={"type": "message"})], True, []),
    # tool calls
    ([call(arguments='{"command":["ls"]}')], False, []),
    ([call(arguments='{"command":["ls"]}')], True, [call_row('{"command":["ls"]}')]),
    ([call(arguments="")], True, [call_row("")]),
    ([call(arguments="a", input="b")], True, [call_row("a")]),
    ([call(input="patch text")], True, [call_row("patch text")]),
    ([call(arguments=None, input={"a": 1})], True, [call_row("")]),
    ([call(arguments=None, input="i")], True, [call_row("i")]),
    ([call()], True, [call_row("")]),
    ([call(arguments=True)], True, [call_row("true")]),
    ([call(arguments=False, input="i")], True, [call_row("false")]),
    ([call(arguments=0)], True, [call_row("0")]),
    ([call(arguments=-12)], True, [call_row("-12")]),
    ([call(arguments=2.5)], True, [call_row("2.5")]),
    ([call(arguments=[])], True, [call_row("[]")]),
    ([call(arguments={})], True, [call_row("{}")]),
    ([call(arguments={"a": 1})], True, [call_row('{"a":1}')]),
    ([call(arguments={"b": [None, "x\n", {"c": False}], "a": 1.0})], True,
     [call_row('{"b":[null,"x\\n",{"c":false}],"a":1.0}')]),
    ([item({"type": "custom_tool_call", "name": "apply_patch", "input": "*** Begin"})], True,
     [call_row("*** Begin", "apply_patch")]),
    ([item({"type": "tool_call", "arguments": "x"})], True, [call_row("x", "tool")]),
    ([item({"type": "function_call", "name": 3, "arguments": "x"})], True, [call_row("x", "tool")]),
    ([item({"type": "function_call", "name": "", "arguments": "x"})], True, [call_row("x", "")]),
    ([item({"type": "web_search_call", "action": {}})], True, []),
    ([item({"type": "local_shell_call", "action": {}})], True, []),
    ([item({"type": "Function_call", "arguments": "x"})], True, []),
    # tool results
    ([item({"type": "function_call_output", "call_id": "c", "output": "done"})], True, [result_row("done")]),
    ([item({"type": "function_call_output", "output": "done"})], False, []),
    ([item({"type": "custom_tool_call_output", "output": [{"type": "output_text", "text": "o"}, 5]})],
     True, [result_row("o\n5")]),
    ([item({"type": "function_call_output"})], True, [result_row("")]),
    ([item({"type": "function_call_output", "output": {"a": None}})], True, [result_row('{"a":null}')]),
    ([item({"type": "function_call_output", "output": {"text": "t", "a": 1}})], True, [result_row("t")]),
    # events
    ([event({"type": "user_message", "message": "m", "text": "t"})], False, [ev_row("m")]),
    ([event({"type": "user_message", "message": "", "text": "t"})], False, [ev_row("t")]),
    ([event({"type": "user_message", "message": 0, "text": 5})], False, [ev_row("5")]),
    ([event({"type": "user_message", "message": [], "text": [{"type": "text", "text": "x"}]})], False,
     [ev_row("x")]),
    ([event({"type": "user_message", "message": ["a", None], "text": "t"})], False, [ev_row("a\nNone")]),
    ([event({"type": "user_message", "message": {"b": 1}})], False, [ev_row('{"b":1}')]),
    ([event({"type": "user_message", "message": False})], False, [ev_row("")]),
    (['{"type":"event_msg","payload":{"type":"user_message","message":-0.0,"text":"t"}}'], False, [ev_row("t", ts="")]),
    (['{"type":"event_msg","payload":{"type":"user_message","message":1e-400}}'], False, [ev_row("", ts="")]),
    (['{"type":"event_msg","payload":{"type":"user_message","message":0.5,"text":"t"}}'], False,
     [ev_row("0.5", ts="")]),
    ([event({"type": "user_message"})], True, [ev_row("")]),
    ([event({"type": "agent_message", "message": "done"})], True, [ev_row("done", "assistant")]),
    ([event({"type": "token_count", "info": "user_message agent_message"})], True, []),
    ([event({"type": "agent_reasoning", "text": "t"})], True, []),
    ([event({"type": "User_message", "message": "m"})], True, []),
    ([event({"type": None, "message": "user_message"})], True, []),
    ([event(["user_message"])], True, []),
    ([{"type": "event_msg", "message": "user_message"}], True, []),
    # both copies of one message stay, in line order
    ([item({"type": "message", "role": "user", "content": "q"}), event({"type": "user_message", "message": "q"})],
     False, [msg_row("q", "user"), ev_row("q")]),
]


@pytest.mark.parametrize("lines, include_tools, rows", CASES)
def test_codex_rows(codex, lines, include_tools, rows):
    assert codex(lines, include_tools) == rows


def test_tool_rows_only_with_include_tools(codex):
    lines = [c[0][0] for c in CASES]
    rows = codex(lines, False)
    assert rows and not any(r[0] == "tool" or r[3] == "tool" for r in rows)
    assert any(r[3] == "tool" for r in codex(lines, True))


# --- the 240-byte window ----------------------------------------------------

def placed(head, token, end, tail):
    """head + padding + token + tail, padded so that token ends at byte ``end``."""
    pad = end - len(head.encode()) - len(token.encode())
    assert pad >= 0
    return head + "x" * pad + token + tail


@pytest.mark.parametrize("end, tools, rows", [
    (239, False, 1), (240, False, 1), (241, False, 0), (300, False, 0),
    (241, True, 0), (300, True, 0),
])
def test_window_message_needle(codex, end, tools, rows):
    line = placed('{"timestamp":"T","type":"response_item","payload":{"role":"user","content":"c',
                  '","type":"message"', end, "}}")
    assert len(codex([line], tools)) == rows


@pytest.mark.parametrize("end, tools, rows", [(240, True, 1), (240, False, 0), (241, True, 0)])
def test_window_call_substring_lets_message_through(codex, end, tools, rows):
    # "message" lies beyond the window; a "_call" ending at ``end`` is the way in
    line = placed('{"timestamp":"T","type":"response_item","payload":{"note":"', "_call", end,
                  '","pad":"' + "y" * 300 + '","type":"message","content":"c"}}')
    assert codex([line], tools) == [("assistant", "c", "T", "response_item")] * rows


@pytest.mark.parametrize("end, rows", [(240, 1), (241, 0)])
def test_window_call_type(codex, end, rows):
    # the "_call" of "function_call" itself, ending at ``end``
    line = placed('{"timestamp":"T","type":"response_item","payload":{"arguments":"a","x":"',
                  '","type":"function_call', end, '"}}')
    assert codex([line], True) == [("assistant", "[tool_call tool] a", "T", "tool")] * rows


@pytest.mark.parametrize("kind", ["user_message", "agent_message"])
@pytest.mark.parametrize("end, rows", [(240, 1), (241, 0)])
def test_window_event_substring(codex, kind, end, rows):
    line = placed('{"timestamp":"T","type":"event_msg","payload":{"message":"m","x":"', '","type":"' + kind,
                  end, '"}}')
    assert len(codex([line], True)) == rows


@pytest.mark.parametrize("name", ["session_meta", "response_item", "event_msg"])
@pytest.mark.parametrize("end, rows", [(240, 1), (241, 0)])
def test_window_line_kind(codex, name, end, rows):
    payload = {"session_meta": "{}", "response_item": '{"type":"message","content":"c"}',
               "event_msg": '{"type":"user_message","message":"m"}'}[name]
    line = placed('{"payload":' + payload + ',"x":"', '","type":"' + name + '"', end, "}")
    assert len(codex([line], False)) == rows


def test_window_counts_bytes_not_characters(codex):
    # 2-byte characters before the needle: 80 of them take 160 bytes
    head = '{"type":"response_item","payload":{"content":"' + "é" * 80
    line_in = placed(head, '","type":"message"', 240, "}}")
    line_out = placed(head, '","type":"message"', 241, "}}")
    assert len(line_in) < 240 < len(line_in.encode()) == 240 + len("}}")
    (row,) = codex([line_in])
    assert row[1].startswith("é" * 80)
    assert codex([line_out]) == []


def test_long_line_parsed_whole(codex):
    long_text = "z" * 100000
    rows = codex([item({"type": "message", "role": "user", "content": long_text})])
    assert rows == [msg_row(long_text, "user")]


def test_compact_json_arguments_keep_source_order(codex):
    raw = '{"z":1,"a":{"y":[1,2,{"k":"é"}],"b":null},"z":2}'
    line = '{"type":"response_item","payload":{"type":"tool_call","arguments":' + raw + "}}"
    assert codex([line], True)[0][1] == '[tool_call tool] {"z":2,"a":{"y":[1,2,{"k":"é"}],"b":null}}'
