"""Line splitting, the byte prefilter and the strict line parser, seen from
the rows they let through."""

import pathlib

import pytest

import sessionrows

DATA = pathlib.Path(__file__).parent / "data"
USER = '{"type":"user","message":{"content":"hi"}}'
USER_ROW = ("user", "hi", "", "\t\t")


def user_with(member_json):
    """A Claude user line carrying one more member with the given raw JSON."""
    return '{"type":"user","message":{"content":"hi"},"x":' + member_json + "}"


def test_empty_file(write):
    for data in (b"", b"\n", b"\n\n\r\n", b" \t "):
        assert sessionrows.extract_claude(write(data), True) == []
        assert sessionrows.extract_codex(write(data), True) == []


@pytest.mark.parametrize("name", ["claude_sample.jsonl", "codex_sample.jsonl"])
@pytest.mark.parametrize("extract", [sessionrows.extract_claude, sessionrows.extract_codex])
@pytest.mark.parametrize("tools", [False, True])
def test_crlf_same_as_lf(write, name, extract, tools):
    lf = (DATA / name).read_bytes()
    assert b"\r" not in lf
    crlf = lf.replace(b"\n", b"\r\n")
    rows = extract(write(lf), tools)
    assert extract(write(crlf), tools) == rows
    assert extract(write(lf.rstrip(b"\n")), tools) == rows
    assert extract(write(lf + b"\n\n  \n\r\n"), tools) == rows


@pytest.mark.parametrize("data, rows", [
    (USER.encode(), 1),                                    # no final line feed
    (USER.encode() + b"\n", 1),
    (USER.encode() + b"\n" + USER.encode(), 2),
    (b"\n\n" + USER.encode() + b"\n\n\n", 1),
    (b"\xef\xbb\xbf" + USER.encode() + b"\n" + USER.encode(), 1),   # BOM spoils the first line only
    (USER.encode() + b"\n\xef\xbb\xbf" + USER.encode(), 1),
    (b" \t\r" + USER.encode() + b" \t\r\r\n", 1),          # JSON blanks around the value
    (USER.encode() + USER.encode(), 0),                    # two values on one line
    (USER.encode() + b"x", 0),
    (USER.encode() + b",", 0),
    (USER.encode() + b"\x0c", 0),                         # form feed is not JSON whitespace
    (USER.encode() + b"\x00", 0),
    (USER.encode() + b"\xc2\xa0", 0),                     # nor is U+00A0
    (b"\x0b" + USER.encode(), 0),
    (USER.encode()[:-1], 0),                               # torn last line
    (USER.encode()[:-1] + b"\n" + USER.encode(), 1),
])
def test_line_splitting(write, data, rows):
    assert sessionrows.extract_claude(write(data)) == [USER_ROW] * rows


def nested(depth, kind):
    """A value whose arrays/objects reach ``depth`` levels (itself being level 1)."""
    inner = ""
    for level in range(depth, 0, -1):
        if kind == "array" or (kind == "mixed" and level % 2):
            inner = "[" + inner + "]"
        else:
            inner = '{"a":' + inner + "}" if inner else "{}"
    return inner


@pytest.mark.parametrize("kind", ["array", "object", "mixed"])
@pytest.mark.parametrize("depth, ok", [(126, True), (127, True), (128, False), (129, False), (2000, False)])
def test_nesting_limit(claude, codex, kind, depth, ok):
    # the line object is level 1, the extra member starts at level 2
    assert claude([user_with(nested(depth - 1, kind))]) == [USER_ROW] * ok
    # the same depth reached inside the content that becomes the text
    content = nested(depth - 3, kind)
    line = '{"type":"response_item","payload":{"type":"message","content":[' + content + "]}}"
    rows = codex([line])
    assert len(rows) == ok


@pytest.mark.parametrize("literal, ok", [
    ("0", True), ("-0", True), ("0e0", True), ("1E5", True), ("1e+5", True), ("1e-5", True),
    ("-0.0e-0", True), ("1e-400", True), ("123456789012345678901234567890", True),
    ("1" * 400 + ".5e-300", True), ("0." + "0" * 400 + "1", True),
    ("01", False), ("-01", False), ("1.", False), (".5", False), ("+1", False), ("-", False),
    ("1e", False), ("1e+", False), ("1.e5", False), ("0x10", False), ("1_000", False),
    ("NaN", False), ("Infinity", False), ("-Infinity", False), ("nan", False),
    ("1e400", False), ("-1e400", False), ("1.8e308", False), ("1" * 400, False), ("-" + "9" * 310, False),
    ("True", False), ("nul", False),
])
def test_number_forms(claude, literal, ok):
    assert claude([user_with(literal), user_with("[" + literal + "]")]) == [USER_ROW] * (2 * ok)


@pytest.mark.parametrize("raw, ok", [
    (b'"\\ud83d\\ude00"', True),        # a proper surrogate pair
    (b'"\\u0000 \\/ \\b"', True),
    (b'"\x7f"', True),
    (b'"\xef\xbb\xbf"', True),          # U+FEFF inside a string is just a character
    (b'"\xef\xbf\xbf \xf4\x8f\xbf\xbf"', True),
    (b'"\\ud800"', False),              # lone surrogate escapes
    (b'"\\udc00"', False),
    (b'"\\ude00\\ud83d"', False),
    (b'"\\ud800\\u0041"', False),
    (b'{"\\udfff":1}', False),
    (b'"\xc0\xaf"', False),             # overlong
    (b'"\xed\xa0\x80"', False),         # encoded surrogate
    (b'"\xf4\x90\x80\x80"', False),     # above U+10FFFF
    (b'"\xe2\x82"', False),             # truncated sequence
    (b'"\x80"', False),
    (b'"\xff"', False),
    (b'"a\x01b"', False),               # raw control characters
    (b'"a\tb"', False),
    (b'"\\x41"', False),
    (b'"\\u12"', False),
    (b"'single'", False),
    (b'[1,]', False),
    (b'{"a":1,}', False),
    (b'{"a" 1}', False),
    (b'/* c */ 1', False),
])
def test_string_and_syntax_validity(claude, raw, ok):
    line = b'{"type":"user","message":{"content":"hi"},"x":' + raw + b"}"
    assert claude([line]) == [USER_ROW] * ok


@pytest.mark.parametrize("line, rows", [
    ('{"type":"user","message":{"content":"hi"}}', 1),
    ('{"type" :"user","message":{"content":"hi"}}', 1),
    ('{"type": "user","message":{"content":"hi"}}', 1),
    ('{"type"\t:\t"user","message":{"content":"hi"}}', 1),
    ('{"type" \t  : \t\t "user","message":{"content":"hi"}}', 1),
    ('{"type":\r"user","message":{"content":"hi"}}', 0),      # CR parses but fails the prefilter
    ('{"type"\r:"user","message":{"content":"hi"}}', 0),
    ('{"type":"\\u0075ser","message":{"content":"hi"}}', 0),  # escaped value
    ('{"typ\\u0065":"user","message":{"content":"hi"}}', 0),  # escaped key
    # a longer key ending in "type" is not the key
    ('{"xtype":"user","type":\r"user","message":{"content":"hi"}}', 0),
    ('{"Type":"user","type":\r"user","message":{"content":"hi"}}', 0),
    ('{"type":"xuser","type":\r"user","message":{"content":"hi"}}', 0),
    ('{"type":"usery","type":\r"user","message":{"content":"hi"}}', 0),
    # an inner object opens the gate; the top-level "type" decides
    ('{"type":\r"user","message":{"content":"hi"},"x":{"type":"assistant"}}', 1),
    ('{"type":"progress","data":{"type":"user","message":{"content":"hi"}}}', 0),
    ('{"type":"progress","message":{"content":"hi"},"data":{"type":"user"}}', 0),
    # every occurrence of the needle is tried
    ('{"a":"user","b":"user" ,"type":"user","message":{"content":"hi"}}', 1),
    # Claude lines are tested whole, however long
    ('{"pad":"' + "p" * 100000 + '","type":"user","message":{"content":"hi"}}', 1),
    # a duplicate "type" is judged by its last value
    ('{"type":"user","type":"system","message":{"content":"hi"}}', 0),
    ('{"type":"system","type":"user","message":{"content":"hi"}}', 1),
    ('{"type":"ai-title","type":"user","message":{"content":"hi"}}', 1),
    # not an object
    ('"user"', 0),
    ('["type","user"]', 0),
    ('[{"type":"user","message":{"content":"hi"}}]', 0),
])
def test_claude_prefilter(claude, line, rows):
    assert claude([line]) == [USER_ROW] * rows


@pytest.mark.parametrize("line, rows", [
    ('"session_meta"', []),                                   # needle at the line start
    ('{"type":"session_meta"}', [("__meta__", "", "", "")]),
    ('{"type":\r"session_meta","payload":{"id":"s"}}', []),
    ('{"type" \t:  "session_meta","payload":{"id":"s"}}', [("__meta__", "", "", "s")]),
    ('{"type":"session_meta","type":"event_msg","payload":{"id":"s"}}', [("__meta__", "", "", "s")]),
    ('{"type":"response_item","payload":{"type":"message","type":"reasoning","content":"c"}}', []),
    ('{"type":"response_item","payload":{"type":"reasoning","type":"message","content":"c"}}',
     [("assistant", "c", "", "response_item")]),
    ('{"type":"response_item","payload":{"type":\t"message"\t,"content":"c"}}',
     [("assistant", "c", "", "response_item")]),
    ('{"type":"response_item","payload":{"type":\r"message","content":"c"}}', []),
    ('{"type":"response_item","payload":{"type":"message","content":"c"}} x', []),
    ('{"type":"event_msg","payload":{"type":"user_message","message":"m"},"payload":{"type":"agent_message"}}',
     [("assistant", "", "", "event_msg")]),
])
def test_codex_prefilter(codex, line, rows):
    assert codex([line], True) == rows


def test_missing_file_raises_os_error(tmp_path):
    for extract in (sessionrows.extract_claude, sessionrows.extract_codex):
        with pytest.raises(OSError) as err:
            extract(str(tmp_path / "missing.jsonl"))
        assert type(err.value) is OSError
        assert str(err.value).endswith(" (os error 2)")
        with pytest.raises(OSError, match="^file name contained an unexpected NUL byte$"):
            extract(str(tmp_path) + "/a\0b")
