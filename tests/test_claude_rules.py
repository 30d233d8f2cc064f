"""Rows of Claude session logs."""

import pytest

import pyrules

TS, CWD, SID = "2026-01-02T10:00:00.000Z", "/home/ada/p", "5b1c-0001"
SRC = "\t" + CWD + "\t" + SID


def turn(content, kind="user", role=None, msg_id=None, **top):
    msg = {} if role is None else {"role": role}
    if msg_id is not None:
        msg["id"] = msg_id
    msg["content"] = content
    line = {"type": kind, "message": msg, "timestamp": TS, "cwd": CWD, "sessionId": SID}
    line.update(top)
    return line


def asst(content, **kw):
    return turn(content, "assistant", "assistant", **kw)


def row(text, role="user", source=SRC):
    return (role, text, TS, source)


TU = {"type": "tool_use", "id": "toolu_1", "name": "Read", "input": {"p": 1, "q": [True, None]}}
TU_TEXT = '[tool_use Read] {"p": 1, "q": [true, null]}'

CASES = [
    # (lines, include_tools, rows)
    ([turn("hi")], False, [row("hi")]),
    ([asst([{"type": "text", "text": "A"}, TU, {"type": "text", "text": "B"}], msg_id="msg_1")],
     False, [row("A\nB", "assistant", "msg_1" + SRC)]),
    ([asst([{"type": "text", "text": "A"}, TU, {"type": "text", "text": "B"}], msg_id="msg_1")],
     True, [row("A\nB\n" + TU_TEXT, "assistant", "msg_1" + SRC)]),
    ([asst([TU])], False, []),
    ([asst([TU])], True, [row(TU_TEXT, "assistant")]),
    ([asst([{"type": "tool_use", "input": "x"}])], True, [row('[tool_use tool] "x"', "assistant")]),
    ([asst([{"type": "tool_use", "name": 5, "input": 1}])], True, [row("[tool_use tool] 1", "assistant")]),
    ([asst([{"type": "tool_use", "name": None}])], True, [row("[tool_use tool] null", "assistant")]),
    ([asst([{"type": "tool_use", "name": ""}])], True, [row("[tool_use ] null", "assistant")]),
    ([turn([{"type": "tool_result", "content": ""}])], True, [row("[tool_result] ")]),
    ([turn([{"type": "tool_result"}])], True, [row("[tool_result] ")]),
    ([turn([{"type": "tool_result", "content": [{"type": "text", "text": "out"}, "more"]}])],
     True, [row("[tool_result] out\nmore")]),
    ([turn([{"type": "tool_result", "content": "r"}])], False, []),
    # all text parts first, then the tool parts, each group in block order
    ([turn([{"type": "tool_result", "content": "r"}, {"type": "text", "text": "A"},
            {"type": "tool_use", "name": "X", "input": 1}, {"type": "image", "source": {}}])],
     True, [row("A\n[image]\n[tool_result] r\n[tool_use X] 1")]),
    ([turn([{"type": "tool_use", "name": "a", "input": 1}, {"type": "tool_result", "content": "x"}])],
     True, [row("[tool_use a] 1\n[tool_result] x")]),
    # the line feed before the tool parts depends on the joined text being non-empty
    ([turn([{"type": "text", "text": ""}, {"type": "tool_use", "name": "X", "input": 1}])],
     True, [row("[tool_use X] 1")]),
    ([turn([{"type": "text", "text": ""}, {"type": "text", "text": ""}, {"type": "tool_use", "name": "X"}])],
     True, [row("\n\n[tool_use X] null")]),
    ([turn([{"type": "text", "text": " "}, {"type": "tool_use", "name": "X", "input": 1}])],
     True, [row(" \n[tool_use X] 1")]),
    ([turn([{"type": "image"}])], False, [row("[image]")]),
    ([turn([{"type": "image"}])], True, [row("[image]")]),
    ([turn([{"type": "text", "text": ""}, {"type": "text", "text": "x"}])], False, [row("\nx")]),
    ([turn([{"type": "text", "text": ""}])], True, []),
    ([turn([{"type": "text", "text": 5}, {"type": "text"}, {"type": "text", "text": "y"}])],
     False, [row("\n\ny")]),
    ([turn([{"type": "thinking", "thinking": "t", "text": "t"}, {"text": "untyped"},
            "bare string", 5, None, ["x"], {"type": "Text", "text": "z"}])], True, []),
    ([turn("line one\r\nline two\t")], False, [row("line one\r\nline two\t")]),
    # content that is not a string or a non-empty array
    ([turn(None)], True, []),
    ([turn(7)], True, []),
    ([turn(True)], True, []),
    ([turn({"type": "text", "text": "obj"})], True, []),
    ([turn([])], True, []),
    ([{"type": "user", "timestamp": TS}], True, []),
    ([{"type": "user", "message": "hi"}], True, []),
    ([{"type": "user", "message": ["hi"]}], True, []),
    # line kinds
    ([turn("x", kind="User")], False, []),
    ([turn("x", kind="system")], False, []),
    ([turn("x", kind="summary")], False, []),
    ([dict(turn("x"), type=["user"])], False, []),
    # role
    ([turn("x", kind="assistant")], False, [row("x", "assistant")]),
    ([turn("x", role=5)], False, [row("x", "user")]),
    ([turn("x", kind="assistant", role=None)], False, [row("x", "assistant")]),
    ([turn("x", role="")], False, [row("x", "")]),
    ([turn("x", role="system")], False, [row("x", "system")]),
    # source and timestamp take only strings
    ([turn("x", msg_id=12, cwd=None, sessionId=["s"], timestamp=3)], False, [("user", "x", "", "\t\t")]),
    ([turn("x", msg_id="a\tb", cwd="c\td")], False, [row("x", source="a\tb\tc\td\t" + SID)]),
    ([{"type": "user", "message": {"content": "x"}}], False, [("user", "x", "", "\t\t")]),
    ([{"message": {"content": "x"}, "type": "user", "cwd": "é", "sessionId": "😀"}], False,
     [("user", "x", "", "\té\t😀")]),
    # titles
    ([{"type": "ai-title", "title": "T", "sessionId": SID, "timestamp": TS}], False, [("__title__", "T", "", "")]),
    ([{"type": "ai-title", "aiTitle": "From aiTitle"}], False, [("__title__", "From aiTitle", "", "")]),
    ([{"type": "ai-title", "aiTitle": "A", "title": "T"}], False, [("__title__", "T", "", "")]),
    ([{"type": "ai-title", "title": "", "aiTitle": "A"}], False, [("__title__", "", "", "")]),
    ([{"type": "ai-title", "title": 5, "aiTitle": "A"}], False, [("__title__", "A", "", "")]),
    ([{"type": "ai-title", "title": None, "aiTitle": "A"}], False, [("__title__", "A", "", "")]),
    ([{"type": "ai-title", "title": None, "aiTitle": 5}], False, [("__title__", "", "", "")]),
    ([{"type": "ai-title"}], True, [("__title__", "", "", "")]),
    ([{"type": "ai-title", "title": "  ", "isMeta": True, "isCompactSummary": True}], False,
     [("__title__", "  ", "", "")]),
    ([turn("a"), {"type": "ai-title", "title": "T"}, turn("b"), {"type": "ai-title", "title": "T"}],
     False, [row("a"), ("__title__", "T", "", ""), row("b"), ("__title__", "T", "", "")]),
    ([{"type": "Ai-title", "title": "T"}], False, []),
]


@pytest.mark.parametrize("lines, include_tools, rows", CASES)
def test_claude_rows(claude, lines, include_tools, rows):
    assert claude(lines, include_tools) == rows


@pytest.mark.parametrize("flag", ["isMeta", "isCompactSummary", "isVisibleInTranscriptOnly"])
@pytest.mark.parametrize("value, skipped", [(True, True), ("true", False), (1, False),
                                            (False, False), (None, False), ([True], False)])
def test_skip_flags(claude, flag, value, skipped):
    rows = claude([turn("x", **{flag: value}), asst([{"type": "text", "text": "y"}], **{flag: value})])
    assert rows == ([] if skipped else [row("x"), row("y", "assistant")])


WHITE_SPACE = ["\t", "\n", "\x0b", "\x0c", "\r", " ", "\x85", "\xa0", "\u1680"] + \
    [chr(c) for c in range(0x2000, 0x200B)] + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
NOT_SPACE = ["\u200b", "\ufeff", "\x1c", "\x1f", "\u180e", "\x00", "\u2060", "x"]


def test_white_space_set_matches_model():
    assert "".join(WHITE_SPACE) == pyrules.WHITE_SPACE


@pytest.mark.parametrize("ch", WHITE_SPACE, ids=lambda c: "U+%04X" % ord(c))
def test_blank_text_gives_no_row(claude, ch):
    assert claude([turn(ch), turn(ch * 3 + " \t\n"), turn([{"type": "text", "text": ch}] * 2)]) == []
    # one letter between blanks keeps its row, blanks untouched
    assert claude([turn(ch + "a" + ch)]) == [row(ch + "a" + ch)]


@pytest.mark.parametrize("ch", NOT_SPACE, ids=lambda c: "U+%04X" % ord(c))
def test_non_space_text_keeps_row(claude, ch):
    assert claude([turn(ch), turn(" " + ch + "\u3000")]) == [row(ch), row(" " + ch + "\u3000")]
