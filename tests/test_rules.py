"""Rows of Claude and Codex session logs, and how values come back out as text: the documented
cases and the boundaries (tests/test_differential.py covers the rest)."""

import json
import random
import struct

import pytest

import pyrules

TS, CWD, SID = "2026-01-02T10:00:00.000Z", "/home/ada/p", "5b1c-0001"
TU = {"type": "tool_use", "id": "toolu_1", "name": "Read", "input": {"p": 1, "q": [True, None, "é"]}}
TU_TEXT = '[tool_use Read] {"p": 1, "q": [true, null, "é"]}'
A_TU_B = [{"type": "text", "text": "A"}, TU, {"type": "text", "text": "B"}]
FLAGS = ["isMeta", "isCompactSummary", "isVisibleInTranscriptOnly"]


def u(content, kind="user", **top):
    """A Claude line of the given kind whose message holds ``content``; "role"/"id" go into the message."""
    msg = {k: top.pop(k) for k in ("role", "id") if k in top}
    return {"type": kind, "message": dict(msg, content=content), **top}


def t(text):
    return {"type": "text", "text": text}


def row(text, role="user", source="\t\t"):
    return (role, text, "", source)


def title(text):
    return ("__title__", text, "", "")


@pytest.mark.parametrize("lines, tools, rows", [
    ([u("hi", timestamp=TS, cwd=CWD, sessionId=SID)], False, [("user", "hi", TS, "\t" + CWD + "\t" + SID)]),
    ([u(A_TU_B, "assistant", role="assistant", id="msg_1")], False, [row("A\nB", "assistant", "msg_1\t\t")]),
    ([u(A_TU_B, "assistant", role="assistant", id="msg_1")], True, [row("A\nB\n" + TU_TEXT, "assistant", "msg_1\t\t")]),
    ([u([TU], "assistant")], False, []),
    ([u([TU], "assistant")], True, [row(TU_TEXT, "assistant")]),
    # text parts first, then tool parts, each group in block order; a tool part needs no text before it
    ([u([{"type": "tool_result", "content": "r"}, t("A"), {"type": "tool_use", "name": "X", "input": 1},
         {"type": "image"}, {"type": "tool_use", "input": "x"}])], True,
     [row('A\n[image]\n[tool_result] r\n[tool_use X] 1\n[tool_use tool] "x"')]),
    ([u([{"type": "tool_result", "content": ""}, t("")])], True, [row("[tool_result] ")]),
    ([u([t(""), t("x")]), u([t("")]), u([{"type": "image"}])], False, [row("\nx"), row("[image]")]),
    ([u("x", "User"), u("x", "system"), {"type": "user"}, u(None), u([])], True, []),
    ([u("x", "assistant"), u("x", role=5), u("x", role="")], False, [row("x", "assistant"), row("x"), row("x", "")]),
    # titles: "title" when it is a string, else "aiTitle"; the skip flags do not apply
    ([{"type": "ai-title", "title": "T", "sessionId": SID, "timestamp": TS}, {"type": "ai-title", "aiTitle": "A"},
      {"type": "ai-title", "aiTitle": "A", "title": "T"}, {"type": "ai-title", "title": "", "aiTitle": "A"},
      {"type": "ai-title", "title": None, "aiTitle": 5}, {"type": "ai-title", "title": " ", "isMeta": True}], False,
     [title("T"), title("A"), title("T"), title(""), title(""), title(" ")]),
    ([u("a"), {"type": "ai-title", "title": "T"}, u("b"), {"type": "ai-title"}], False,
     [row("a"), title("T"), row("b"), title("")]),
    # a skip flag counts only when it is true
    ([u("x", **{f: True}) for f in FLAGS] + [u("y", role="r", **{f: v}) for f in FLAGS for v in ("true", 1, 0, None)],
     False, [row("y", "r")] * 12),
])
def test_claude_rows(claude, lines, tools, rows):
    assert claude(lines, tools) == rows


def test_blank_text_gives_no_row(claude):
    blanks = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
    blanks += "\u2028\u2029\u202f\u205f\u3000"
    assert blanks == pyrules.WHITE_SPACE   # the differential tests lean on the model's set
    for ch in blanks:
        assert claude([u(ch), u(ch * 3 + " \t\n"), u([t(ch)] * 2)]) == [], hex(ord(ch))
        assert claude([u(ch + "a" + ch)]) == [row(ch + "a" + ch)]   # blanks kept around a letter
    for ch in "\u200b\ufeff\x1c\x1f\u180e\x00\u2060":
        assert claude([u(ch), u(" " + ch + "\u3000")]) == [row(ch), row(" " + ch + "\u3000")], hex(ord(ch))


def line(kind, **payload):
    return {"timestamp": TS, "type": kind, "payload": payload}


def item(**payload):
    return line("response_item", **payload)


def call(**payload):
    return item(**{"type": "function_call", "name": "shell", **payload})


def tool_call(args, name="shell"):
    return ("assistant", "[tool_call " + name + "] " + args, TS, "tool")


def meta(cwd="", sid=""):
    return ("__meta__", cwd, "", sid)


def ev(**payload):
    return line("event_msg", **payload)


def ev_row(text, role="user", ts=TS):
    return (role, text, ts, "event_msg")


CODEX_CASES = [  # (lines, include_tools, rows)
    (['{"type":"session_meta","payload":{"id":"s"}', '"session_meta"', line("session_meta", id="s", cwd="/w"),
      line("session_meta", id=5, session_id="t"), line("session_meta", id="", session_id="t"),
      {"type": "session_meta"}, '[{"type":"session_meta","payload":{"id":"s","cwd":"/w"}}]'], False,
     [meta("/w", "s"), meta(sid="t")] + [meta()] * 3),
    # session_meta wins over the other kinds in the window, and response_item over event_msg
    ([line("session_meta", id="s", inner={"type": "response_item"}, e={"type": "event_msg"}),
      ev(type="user_message", message="hi", x={"type": "response_item"})], True, [meta(sid="s")]),
    ([item(type="message", role="user", content=[{"type": "input_text", "text": "q"}]),
      item(type="message", content="a"), item(type="message", role="d", content=[])], False,
     [("user", "q", TS, "response_item"), ("assistant", "a", TS, "response_item"), ("d", "", TS, "response_item")]),
    ([call(arguments="ls"), item(type="function_call_output", output="done")], False, []),
    ([call(arguments="ls"), item(type="custom_tool_call", name="apply_patch", input="*** Begin"),
      call(arguments=None, input={"a": 1}), call(arguments={"a": 1}), call(arguments=True),
      item(type="tool_call", arguments="x"), call(name=3, arguments="x"), item(type="function_call_output", output="o"),
      item(type="web_search_call"), item(type=5, content="c")], True,
     [tool_call("ls"), tool_call("*** Begin", "apply_patch"), tool_call(""), tool_call('{"a":1}'), tool_call("true"),
      tool_call("x", "tool"), tool_call("x", "tool"), ("tool", "[tool_result] o", TS, "tool")]),
    # events: "message" when truthy, else "text"
    ([ev(type="user_message", message="m", text="t"), ev(type="user_message", message="", text="t"),
      ev(type="agent_message", message="done"), ev(type="token_count", info="user_message"),
      '{"type":"event_msg","payload":{"type":"user_message","message":-0,"text":"t"}}'], True,
     [ev_row("m"), ev_row("t"), ev_row("done", "assistant"), ev_row("t", ts="")]),
]


@pytest.mark.parametrize("lines, tools, rows", CODEX_CASES)
def test_codex_rows(codex, lines, tools, rows):
    assert codex(lines, tools) == rows


def placed(head, token, end, tail):
    """head + padding + token + tail, padded so that token ends at byte ``end``."""
    pad = end - len(head.encode()) - len(token.encode())
    assert pad >= 0
    return head + "x" * pad + token + tail


NOTE = '{"timestamp":"T","type":"response_item","payload":{"note":"'
PAST = '","pad":"' + "y" * 300 + '","type":"message","content":"c"}}'   # "message" beyond the window
EVENT = '{"timestamp":"T","type":"event_msg","payload":{"message":"m","x":"'


@pytest.mark.parametrize("head, token, tail, tools", [
    ('{"type":"response_item","payload":{"role":"user","content":"c', '","type":"message"', "}}", False),
    ('{"type":"response_item","payload":{"content":"' + "é" * 80, '","type":"message"', "}}", False),  # bytes count
    (NOTE, "_call", PAST, True),
    ('{"type":"response_item","payload":{"arguments":"a","x":"', '","type":"function_call', '"}}', True),
    (EVENT, '","type":"user_message', '"}}', True), (EVENT, '","type":"agent_message', '"}}', True),
    ('{"payload":{},"x":"', '","type":"session_meta"', "}", False),
    ('{"payload":{"type":"message","content":"c"},"x":"', '","type":"response_item"', "}", False),
    ('{"payload":{"type":"user_message","message":"m"},"x":"', '","type":"event_msg"', "}", False),
])
def test_window_of_240_bytes(codex, head, token, tail, tools):
    assert len(codex([placed(head, token, 239, tail), placed(head, token, 240, tail)], tools)) == 2
    assert codex([placed(head, token, 241, tail)], tools) == codex([placed(head, token, 241, tail)], True) == []


# --- values written back as text: compact JSON (Codex tool-call arguments), the json.dumps style
# (Claude tool_use input), float text, content flattening and the character cuts

CALL = '{"type":"response_item","payload":{"type":"function_call","name":"f","arguments":%s}}'
TOOL_USE = '{"type":"assistant","message":{"content":[{"type":"tool_use","name":"T","input":%s}]}}'
MESSAGE = '{"type":"response_item","payload":{"type":"message","role":"r","content":%s}}'
RESULT = '{"type":"user","message":{"content":[{"type":"tool_result","content":%s}]}}'
OUTPUT = '{"type":"response_item","payload":{"type":"function_call_output","output":%s}}'


def compact(codex, raw):
    """compact_json of a raw JSON value, as the module writes tool-call arguments."""
    return codex([CALL % raw], True)[0][1].removeprefix("[tool_call f] ")


def dumps(claude, raw):
    """py_dumps of a raw JSON value, as the module writes tool_use input."""
    return claude([TOOL_USE % raw], True)[0][1].removeprefix("[tool_use T] ")


NUMBERS = [x.split("=") for x in (  # literal in the log = text in the row
    "1.0=1.0 1e2=100.0 1E+2=100.0 1e15=1000000000000000.0 9999999999999998.0=9999999999999998.0 2.50=2.5 "
    "1234567890123456.7=1234567890123456.8 123.456=123.456 100.0e-2=1.0 0.5=0.5 1e-4=0.0001 1e-5=0.00001 "
    "1.5e-5=0.000015 0.30000000000000004=0.30000000000000004 1e16=1e+16 1.5e16=1.5e+16 1e-6=1e-6 0.000001=1e-6 "
    "12345678901234567.0=1.2345678901234568e+16 1.2345e-7=1.2345e-7 123e-20=1.23e-18 -1.5e-7=-1.5e-7 5e-324=5e-324 "
    "2.4703282292062328e-324=5e-324 1.7976931348623157e308=1.7976931348623157e+308 0.0=0.0 -0.0=-0.0 1e-400=0.0 "
    "-1e-400=-0.0 0=0 -0=-0.0 -7=-7 18446744073709551615=18446744073709551615 99999999999999999999=1e+20 "
    "18446744073709551616=1.8446744073709552e+19 -9223372036854775808=-9223372036854775808 "
    "-9223372036854775809=-9.223372036854776e+18").split()]


@pytest.mark.parametrize("literal, text", NUMBERS)
def test_number_text(codex, claude, literal, text):
    assert compact(codex, literal) == text
    assert compact(codex, "[" + literal + "]") == dumps(claude, "[" + literal + "]") == "[" + text + "]"


def test_random_doubles_render_like_model(codex):
    r = random.Random(1234)
    values = [r.uniform(-1e6, 1e6) for _ in range(200)] + [10.0 ** k for k in range(-20, 25)]
    while len(values) < 845:
        (x,) = struct.unpack("<d", r.getrandbits(64).to_bytes(8, "little"))
        if x == x and abs(x) != float("inf"):
            values.append(x)
    (row,) = codex([MESSAGE % ("[" + ",".join(map(repr, values)) + "]")])
    assert row[1].split("\n") == [pyrules.float_text(x) for x in values]


ESCAPES = [  # (string, its JSON string text)
    ("", '""'), ('say "hi"', '"say \\"hi\\""'), ("back\\slash", '"back\\\\slash"'), ("é 日本 😀", '"é 日本 😀"'),
    ("/ \x7f \u2028 \u2029", '"/ \x7f \u2028 \u2029"'), ("".join(map(chr, range(0x20))),
     '"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f'
     + "".join("\\u%04x" % c for c in range(0x10, 0x20)) + '"'),
]


@pytest.mark.parametrize("raw, compact_text, dumps_text", [
    ("[ [ ] , { } ]", "[[],{}]", "[[], {}]"), ('{"a": [1, 2]}', '{"a":[1,2]}', '{"a": [1, 2]}'),
    ('{"b":1,"a":2}', '{"b":1,"a":2}', '{"b": 1, "a": 2}'),
    ('{"a":{"x":1,"x":{"y":[]}},"a":{"x":2,"z":0}}', '{"a":{"x":2,"z":0}}', '{"a": {"x": 2, "z": 0}}'),
    ('{"c":[null,true,false,"x"],"a":-0}', '{"c":[null,true,false,"x"],"a":-0.0}',
     '{"c": [null, true, false, "x"], "a": -0.0}'),
    ('[1e2, 5, 5.0, -0, 0, 0.0]', "[100.0,5,5.0,-0.0,0,0.0]", "[100.0, 5, 5.0, -0.0, 0, 0.0]"),
    ("null", None, "null"), ("true", "true", "true"), ('"a\\tb"', None, '"a\\tb"'),   # strings and null: no call text
] + [(json.dumps({v: [v]}), "{" + t + ":[" + t + "]}", "{" + t + ": [" + t + "]}") for v, t in ESCAPES])
def test_structures_and_escapes(codex, claude, raw, compact_text, dumps_text):
    assert compact_text is None or compact(codex, raw) == compact_text
    assert dumps(claude, raw) == dumps_text


@pytest.mark.parametrize("content, text", [  # (raw "content" JSON, flattened text)
    ("null", ""), ('"  padded  "', "  padded  "), ("true", "True"), ("0", "0"), ("[]", ""), ('["",""]', ""),
    ('["a","","b"]', "a\nb"), ("[null,false,0]", "None\nFalse\n0"), ('[["a","b"]]', '["a","b"]'),
    # text-like blocks: a truthy "text", else the flattened "content"; numbers are truthy by their double value
    ('[{"type":"text","text":""},{"type":"text","text":"","content":"c"},{"type":"text","text":5}]', "c\n5"),
    ('[{"text":true},{"type":3,"text":0,"content":"c"},{"type":"text","text":false,"content":"d"}]', "True\nc\nd"),
    ('[{"text":-0,"content":"c"},{"text":1e-400,"content":"d"},{"text":5e-324}]', "c\nd\n5e-324"),
    ('[{"type":"text","content":{"text":"inner"}},{"type":"text","content":{"a":1}}]', 'inner\n{"a":1}'),
    # other kinds, compared exactly
    ('[{"type":"image","text":"alt"},{"type":"image","content":"no"},{"type":"thinking","text":"no"}]', "alt"),
    ('[{"type":"tool_use"},{"type":"tool_use","name":""},{"type":"tool_use","name":null},'
     '{"type":"tool_use","name":false},{"type":"tool_use","name":-0.0}]', "\n".join(["[tool_use:tool]"] * 5)),
    ('[{"type":"tool_use","name":7},{"type":"tool_use","name":true},{"type":"tool_result","content":"x"}]',
     "[tool_use:7]\n[tool_use:True]\n[tool_result]"),
    ('[{"type":"Text","text":"capital"},{"type":"Text","content":"no"},{"type":"tool_use ","name":"X"}]', "capital"),
    # a top-level object: its truthy "text", else nothing when it has one, else its compact JSON text
    ('{"text":"t","type":"x"}', "t"), ('{"text":0}', ""), ('{"text":null,"a":1}', ""), ('{"a": 1}', '{"a":1}'),
    # the worked example
    ('[{"type":"text","text":"Hello"},{"type":"thinking","thinking":"hm"},{"type":"tool_use","name":"Grep","input":{}},'
     '{"type":"tool_result","content":"' + "long " * 200 + '"},{"type":"text","text":"","content":[{"text":"Inner"}]},'
     '"tail",null]', "Hello\n[tool_use:Grep]\n[tool_result]\nInner\ntail\nNone"),
])
def test_text_of(codex, claude, content, text):
    assert codex([MESSAGE % content]) == [("r", text, "", "response_item")]
    assert [r[1] for r in claude([RESULT % content], True)] == ["[tool_result] " + text]


@pytest.mark.parametrize("kind, limit, line, value, prefix, whole", [  # value and whole: of the text s
    ("claude", 400, TOOL_USE, str, "[tool_use T] ", '"{}"'), ("claude", 600, RESULT, str, "[tool_result] ", "{}"),
    ("codex", 500, CALL, str, "[tool_call f] ", "{}"), ("codex", 500, CALL, lambda s: [s], "[tool_call f] ", '["{}"]'),
    ("codex", 800, OUTPUT, str, "[tool_result] ", "{}"),
    ("codex", 4000, MESSAGE, lambda s: {"k": s}, "", '{{"k":"{}"}}'),
    ("codex", 4000, MESSAGE, lambda s: ["first", {"content": {"k": s}}], "first\n", '{{"k":"{}"}}'),
])
def test_cut_after_limit_characters(codex, claude, kind, limit, line, value, prefix, whole):
    for n in (limit - 9, limit - 8, limit - 1, limit, limit + 1, 2 * limit):
        for base in ("aé語😀" * limit, "é" * n, "😀" * n, "x" * (limit - 1) + "aé語😀" * limit):   # 1 to 4 bytes each
            (row,) = (claude if kind == "claude" else codex)([line % json.dumps(value(base[:n]))], True)
            assert row[1] == prefix + whole.format(base[:n])[:limit], (n, base[:4])
