"""Flattening of message content, seen through Codex "message" rows (their
text is the flattened "content") and the Claude tool_result part."""

import pytest

CASES = [
    # (raw "content" JSON, flattened text)
    ("null", ""),
    ('"  padded  "', "  padded  "),
    ('""', ""),
    ("true", "True"),
    ("false", "False"),
    ("0", "0"),
    ("-2", "-2"),
    ("1.5", "1.5"),
    ("1e16", "1e+16"),
    ("[]", ""),
    ('["", ""]', ""),
    ('["a", "", "b"]', "a\nb"),
    ('[" ", "\\n"]', " \n\n"),
    ("[null]", "None"),
    ("[false, 0]", "False\n0"),
    ("[true, -0.0, 2.50]", "True\n-0.0\n2.5"),
    ('[["a", "b"]]', '["a","b"]'),
    ('[[1, null, {"x": true}]]', '[1,null,{"x":true}]'),
    # text-like blocks
    ('[{"type": "text", "text": ""}]', ""),
    ('[{"type": "text", "text": "", "content": "from content"}]', "from content"),
    ('[{"type": "text", "text": 5}]', "5"),
    ('[{"type": "text", "text": true}]', "True"),
    ('[{"type": "text", "text": 0, "content": "c"}]', "c"),
    ('[{"type": "text", "text": false, "content": "c"}]', "c"),
    ('[{"type": "text", "text": 0.0, "content": "c"}]', "c"),
    ('[{"type": "text", "text": [], "content": "c"}]', "c"),
    # numbers are truthy by their double value
    ('[{"type": "text", "text": -0, "content": "c"}]', "c"),
    ('[{"type": "text", "text": 1e-400, "content": "c"}]', "c"),
    ('[{"type": "text", "text": 18446744073709551616, "content": "c"}]', "1.8446744073709552e+19"),
    ('[{"type": "text", "text": 5e-324, "content": "c"}]', "5e-324"),
    ('[{"type": "tool_use", "name": -0.0}]', "[tool_use:tool]"),
    ('[{"type": "tool_use", "name": 1e-7}]', "[tool_use:1e-7]"),
    ('{"text": 1e-400}', ""),
    ('{"text": -9223372036854775808}', "-9223372036854775808"),
    ('[{"type": "text", "text": ["a", null]}]', '["a",null]'),
    ('[{"type": "text", "text": {"k": "v"}}]', '{"k":"v"}'),
    ('[{"type": "input_text", "text": "in"}, {"type": "output_text", "text": "out"}]', "in\nout"),
    ('[{"text": "no type"}]', "no type"),
    ('[{"text": "", "content": "untyped content"}]', "untyped content"),
    ('[{"type": 3, "text": "", "content": "numeric type"}]', "numeric type"),
    ('[{"type": null, "text": "null type"}]', "null type"),
    ('[{"type": "text", "content": {"text": "inner"}}]', "inner"),
    ('[{"type": "text", "content": {"a": 1}}]', '{"a":1}'),
    ('[{"type": "text", "content": ["x", {"type": "thinking", "text": "t"}, "y"]}, "z"]', "x\ny\nz"),
    ('[{"type": "text", "content": [[]]}]', "[]"),
    # other kinds
    ('[{"type": "image", "text": "alt"}]', "alt"),
    ('[{"type": "image", "content": "ignored"}]', ""),
    ('[{"type": "thinking", "text": "hidden"}, {"type": "reasoning", "text": "also"}]', ""),
    ('[{"type": "tool_use"}]', "[tool_use:tool]"),
    ('[{"type": "tool_use", "name": ""}]', "[tool_use:tool]"),
    ('[{"type": "tool_use", "name": null}]', "[tool_use:tool]"),
    ('[{"type": "tool_use", "name": false}]', "[tool_use:tool]"),
    ('[{"type": "tool_use", "name": 0}]', "[tool_use:tool]"),
    ('[{"type": "tool_use", "name": 7}]', "[tool_use:7]"),
    ('[{"type": "tool_use", "name": true}]', "[tool_use:True]"),
    ('[{"type": "tool_use", "name": "Grep", "input": {"q": 1}}]', "[tool_use:Grep]"),
    ('[{"type": "tool_result"}]', "[tool_result]"),
    ('[{"type": "tool_result", "content": "anything"}]', "[tool_result]"),
    ('[{"type": "Text", "text": "capital"}, {"type": "Text", "content": "no"}]', "capital"),
    ('[{"type": "tool_use ", "name": "X"}]', ""),
    ('[{"type": "tool_use ", "name": "X", "text": "t"}]', "t"),
    # a top-level object
    ('{"text": "obj text", "type": "ignored"}', "obj text"),
    ('{"text": 12}', "12"),
    ('{"text": [1]}', "[1]"),
    ('{"text": null, "a": 1}', ""),
    ('{"text": false}', ""),
    ('{"text": 0}', ""),
    ('{"text": ""}', ""),
    ('{"text": {}}', ""),
    ('{"a": 1}', '{"a":1}'),
    ('{"type": "text", "content": "c"}', '{"type":"text","content":"c"}'),
    ('{"b": "é", "a": [1.0, -0]}', '{"b":"é","a":[1.0,-0.0]}'),
    ("{}", "{}"),
]

WORKED = (
    '[{"type": "text", "text": "Hello"}, {"type": "thinking", "thinking": "hm"},'
    ' {"type": "tool_use", "name": "Grep", "input": {}},'
    ' {"type": "tool_result", "content": "' + "long " * 200 + '"},'
    ' {"type": "text", "text": "", "content": [{"text": "Inner"}]}, "tail", null]',
    "Hello\n[tool_use:Grep]\n[tool_result]\nInner\ntail\nNone",
)


def message_line(content_text):
    return ('{"type":"response_item","payload":{"type":"message","role":"r","content":'
            + content_text + "}}")


@pytest.mark.parametrize("content, text", CASES + [WORKED])
def test_text_of(codex, content, text):
    assert codex([message_line(content)]) == [("r", text, "", "response_item")]


@pytest.mark.parametrize("content, text", CASES + [WORKED])
def test_text_of_in_claude_tool_result(claude, content, text):
    line = ('{"type":"user","message":{"content":[{"type":"tool_result","content":'
            + content + "}]}}")
    assert [r[1] for r in claude([line], True)] == ["[tool_result] " + text]


def test_object_without_text_cut_at_4000_characters(codex):
    for body in ("é" * 5000, "a" * 3993, "😀" * 3992, "a" * 3991):
        (row,) = codex([message_line('{"k":"' + body + '"}')])
        assert row[1] == ('{"k":"' + body + '"}')[:4000]
    # a nested content object is cut the same way, as one part of its array
    (row,) = codex([message_line('["first", {"content": {"k": "' + "語" * 4100 + '"}}]')])
    assert row[1] == "first\n" + ('{"k":"' + "語" * 4100)[:4000]
