"""How JSON values come back out as text: compact JSON (Codex tool-call
arguments), the json.dumps style (Claude tool_use input) and float text."""

import random
import struct

import pytest

import pyrules
from conftest import jline

FLOATS = [
    # (literal in the log, text in the row)
    ("1.0", "1.0"),
    ("1e2", "100.0"),
    ("1E+2", "100.0"),
    ("1e15", "1000000000000000.0"),
    ("9999999999999998.0", "9999999999999998.0"),
    ("1234567890123456.7", "1234567890123456.8"),
    ("1.5", "1.5"),
    ("2.50", "2.5"),
    ("123.456", "123.456"),
    ("100.0e-2", "1.0"),
    ("0.5", "0.5"),
    ("1e-4", "0.0001"),
    ("0.0001", "0.0001"),
    ("1e-5", "0.00001"),
    ("1.5e-5", "0.000015"),
    ("0.30000000000000004", "0.30000000000000004"),
    ("1e16", "1e+16"),
    ("1.5e16", "1.5e+16"),
    ("12345678901234567.0", "1.2345678901234568e+16"),
    ("1e22", "1e+22"),
    ("1e-6", "1e-6"),
    ("0.000001", "1e-6"),
    ("1.2345e-7", "1.2345e-7"),
    ("123e-20", "1.23e-18"),
    ("-1.5e-7", "-1.5e-7"),
    ("-2.5", "-2.5"),
    ("5e-324", "5e-324"),
    ("2.4703282292062328e-324", "5e-324"),
    ("1.7976931348623157e308", "1.7976931348623157e+308"),
    ("0.0", "0.0"),
    ("-0.0", "-0.0"),
    ("1e-400", "0.0"),
    ("-1e-400", "-0.0"),
]

INTEGERS = [
    ("0", "0"),
    ("-0", "-0.0"),
    ("5", "5"),
    ("-7", "-7"),
    ("18446744073709551615", "18446744073709551615"),
    ("18446744073709551616", "1.8446744073709552e+19"),
    ("99999999999999999999", "1e+20"),
    ("-9223372036854775808", "-9223372036854775808"),
    ("-9223372036854775809", "-9.223372036854776e+18"),
    ("123456789012345678901234567890", "1.2345678901234568e+29"),
]


@pytest.mark.parametrize("literal, text", FLOATS + INTEGERS)
def test_number_text(render, literal, text):
    assert render(literal) == text
    assert render("[" + literal + "]") == "[" + text + "]"


@pytest.mark.parametrize("literal, text", FLOATS)
def test_model_float_text(literal, text):
    # the differential tests lean on the model's float text being right
    assert pyrules.float_text(float(literal)) == text


def test_random_doubles_render_like_model(codex):
    r = random.Random(1234)
    values = []
    while len(values) < 600:
        (x,) = struct.unpack("<d", r.getrandbits(64).to_bytes(8, "little"))
        if x == x and abs(x) != float("inf"):
            values.append(x)
    values += [r.uniform(-1e6, 1e6) for _ in range(200)] + [10.0 ** k for k in range(-20, 25)]
    line = ('{"type":"response_item","payload":{"type":"message","role":"r","content":['
            + ",".join(map(repr, values)) + "]}}")
    (row,) = codex([line])
    assert row[1].split("\n") == [pyrules.float_text(x) for x in values]


CTRL = "".join(map(chr, range(0x20)))
CTRL_ESCAPED = ("\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007"
                "\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f"
                "\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017"
                "\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f")
STRINGS = [
    # (string value, its JSON string text)
    ("", '""'),
    ('say "hi"', '"say \\"hi\\""'),
    ("back\\slash", '"back\\\\slash"'),
    (CTRL, '"' + CTRL_ESCAPED + '"'),
    ("/ \x7f \u2028 \u2029", '"/ \x7f \u2028 \u2029"'),
    ("é 日本 😀", '"é 日本 😀"'),
]


@pytest.mark.parametrize("value, text", STRINGS)
def test_string_escapes_compact(render, value, text):
    assert render(jline([value])) == "[" + text + "]"
    assert render(jline({value: value})) == "{" + text + ":" + text + "}"


@pytest.mark.parametrize("value, text", STRINGS)
def test_string_escapes_dumps(claude, value, text):
    rows = claude([tool_use_line(jline({value: [value]}))], True)
    assert rows[0][1] == "[tool_use T] {" + text + ": [" + text + "]}"


def tool_use_line(input_text):
    return ('{"type":"assistant","message":{"content":[{"type":"tool_use","name":"T",'
            '"input":' + input_text + "}]}}")


STRUCTURES = [
    # (raw JSON, compact_json, py_dumps)
    ("[]", "[]", "[]"),
    ("{}", "{}", "{}"),
    ("[ [ ] , { } ]", "[[],{}]", "[[], {}]"),
    ('{"a": [1, 2]}', '{"a":[1,2]}', '{"a": [1, 2]}'),
    ('{"b":1,"a":2}', '{"b":1,"a":2}', '{"b": 1, "a": 2}'),
    ('{"a":1,"b":2,"a":3}', '{"a":3,"b":2}', '{"a": 3, "b": 2}'),
    ('{"a":{"x":1,"x":{"y":[]}},"a":{"x":2,"z":0}}', '{"a":{"x":2,"z":0}}', '{"a": {"x": 2, "z": 0}}'),
    ('{"b":{"c":[null,true,false,"x"]},"a":-0}', '{"b":{"c":[null,true,false,"x"]},"a":-0.0}',
     '{"b": {"c": [null, true, false, "x"]}, "a": -0.0}'),
    ('[1e2, 5, 5.0, -0, 0, 0.0]', "[100.0,5,5.0,-0.0,0,0.0]", "[100.0, 5, 5.0, -0.0, 0, 0.0]"),
    ("null", None, "null"),
    ("true", "true", "true"),
    ("false", "false", "false"),
    ('"a\\tb"', None, '"a\\tb"'),
    ("1e16", "1e+16", "1e+16"),
]


@pytest.mark.parametrize("raw, compact, dumps", STRUCTURES)
def test_structures(render, claude, raw, compact, dumps):
    if compact is not None:   # null and string arguments are not rendered
        assert render(raw) == compact
    (row,) = claude([tool_use_line(raw)], True)
    assert row[1] == "[tool_use T] " + dumps


# Characters of 1, 2, 3 and 4 UTF-8 bytes, so that every cut falls in a
# different place inside the byte text.
MIXED = "aé語😀" * 2000


def cut_cases(limit):
    # texts of limit-1, limit, limit+1 and twice limit characters
    for n in (limit - 1, limit, limit + 1, 2 * limit):
        for base in (MIXED, "é" * n, "😀" * n, "x" * (limit - 1) + MIXED):
            yield base[:n]


@pytest.mark.parametrize("text", list(cut_cases(400)), ids=str.__len__)
def test_cut_claude_tool_input(claude, text):
    (row,) = claude([tool_use_line(jline(text))], True)
    assert row[1] == "[tool_use T] " + ('"' + text + '"')[:400]


@pytest.mark.parametrize("text", list(cut_cases(600)), ids=str.__len__)
def test_cut_claude_tool_result(claude, text):
    line = {"type": "user", "message": {"content": [{"type": "tool_result", "content": text}]}}
    (row,) = claude([line], True)
    assert row[1] == "[tool_result] " + text[:600]


@pytest.mark.parametrize("text", list(cut_cases(500)), ids=str.__len__)
def test_cut_codex_arguments(codex, text):
    (row,) = codex([call_payload(arguments=text)], True)
    assert row[1] == "[tool_call f] " + text[:500]
    (row,) = codex([call_payload(arguments=[text])], True)
    assert row[1] == "[tool_call f] " + ('["' + text + '"]')[:500]


@pytest.mark.parametrize("text", list(cut_cases(800)), ids=str.__len__)
def test_cut_codex_output(codex, text):
    line = {"type": "response_item", "payload": {"type": "function_call_output", "output": text}}
    (row,) = codex([line], True)
    assert row[1] == "[tool_result] " + text[:800]


@pytest.mark.parametrize("text", list(cut_cases(4000 - 8)), ids=str.__len__)
def test_cut_object_without_text(codex, text):
    # {"k":"..."} adds 8 characters around the string
    line = {"type": "response_item", "payload": {"type": "message", "content": {"k": text}}}
    (row,) = codex([line])
    assert row[1] == ('{"k":"' + text + '"}')[:4000]


def call_payload(**payload):
    return {"type": "response_item", "payload": {"type": "function_call", "name": "f", **payload}}
