"""Opening files, splitting lines, the byte prefilter and the strict line parser, seen
from the rows they let through; files that change under the scan; the interpreter lock."""

import errno
import json
import os
import pathlib
import random
import threading

import pytest

from conftest import CLAUDE_SAMPLE, CODEX_SAMPLE, EXTRACT, child
from sessionrows import extract_claude

USER = b'{"type":"user","message":{"content":"hi"}}'
USER_ROW = ("user", "hi", "", "\t\t")
KINDS = pytest.mark.parametrize("kind", ["claude", "codex"])


@KINDS
@pytest.mark.parametrize("path, code", [("/no/such/file.jsonl", errno.ENOENT), ("", errno.ENOENT), ("bad\0name", 0),
                                        ("/", errno.ENODEV), ("/dev/null", errno.ENODEV), ("FIFO", errno.ENODEV)])
def test_open_failures_raise_plain_oserror(tmp_path, kind, path, code):
    if path == "FIFO":   # opened without blocking, then refused like any file that cannot be mapped
        os.mkfifo(path := str(tmp_path / "pipe"))
    with pytest.raises(OSError) as info:
        EXTRACT[kind](path)
    assert type(info.value) is OSError and info.value.errno is None and info.value.filename is None
    message = f"{os.strerror(code)} (os error {code})" if code else "file name contained an unexpected NUL byte"
    assert str(info.value) == message


@KINDS
@pytest.mark.parametrize("sample", [CLAUDE_SAMPLE, CODEX_SAMPLE])
def test_crlf_final_and_empty_lines_change_nothing(write, kind, sample):
    lf = pathlib.Path(sample).read_bytes()
    assert b"\r" not in lf
    for tools in (False, True):
        rows = EXTRACT[kind](sample, tools)
        for data in (lf.replace(b"\n", b"\r\n"), lf.rstrip(b"\n"), lf + b"\n\n  \n\r\n"):
            assert EXTRACT[kind](write(data), tools) == rows
        assert [EXTRACT[kind](write(x), tools) for x in (b"", b"\n\n\r\n", b"   \n\t\n", b"\x00\xff\xfe")] == [[]] * 4


@pytest.mark.parametrize("data, rows", [
    (USER, 1), (USER + b"\n" + USER, 2), (b"\n\n" + USER + b"\n\n\n", 1), (USER[:-1] + b"\n" + USER, 1), (USER[:-1], 0),
    (b"\xef\xbb\xbf" + USER + b"\n" + USER, 1), (USER + b"\n\xef\xbb\xbf" + USER, 1),   # a BOM spoils its line
    (b" \t\r" + USER + b" \t\r\r\n", 1),                                                 # JSON blanks around the value
    (USER + USER, 0), (USER + b"x", 0), (USER + b"\x0c", 0), (USER + b"\xc2\xa0", 0), (b"\x0b" + USER, 0),
    (b"[" + USER + b"]", 0), (b'"user"', 0),
])
def test_line_splitting(write, data, rows):
    assert extract_claude(write(data)) == [USER_ROW] * rows


def nested(depth, kind):
    """A value whose arrays/objects reach ``depth`` levels, itself being level 1."""
    inner = ""
    for level in range(depth, 0, -1):
        array = kind == "array" or (kind == "mixed" and level % 2)
        inner = "[" + inner + "]" if array else '{"a":' + inner + "}" if inner else "{}"
    return inner


@pytest.mark.parametrize("depth, ok", [(126, 1), (127, 1), (128, 0), (129, 0), (2000, 0)])
def test_nesting_limit(claude, codex, depth, ok):
    for kind in ("array", "object", "mixed"):
        # the line object is level 1: in a member, and inside the content of a row
        assert claude([USER[:-1].decode() + ',"x":' + nested(depth - 1, kind) + "}"]) == [USER_ROW] * ok
        line = '{"type":"response_item","payload":{"type":"message","content":[' + nested(depth - 3, kind) + "]}}"
        assert len(codex([line])) == ok


TAKES = ["0", "-0", "0e0", "1E5", "1e+5", "-0.0e-0", "1e-400", "1" * 30, "1" * 400 + ".5e-300", "0." + "0" * 400 + "1",
         '"\\ud83d\\ude00"', '"\\u0000 \\/ \\b"', '"\x7f\ufeff\uffff\U0010ffff"']   # bad strings: test_hostile.py
REFUSES = ["01", "-01", "1.", ".5", "+1", "-", "1e", "1e+", "1.e5", "0x10", "NaN", "Infinity", "-Infinity", "1e400",
           "-1e400", "1.8e308", "1" * 400, "-" + "9" * 310, "True", "nul", '"\\x41"', '"\\u12"', "'single'", "[1,]",
           '{"a":1,}', '{"a" 1}', "/* c */ 1", '{"a":"\\ud800","a":1}']


@pytest.mark.parametrize("raw", TAKES + REFUSES)
def test_values_the_parser_takes_or_refuses(claude, raw):
    lines = [USER[:-1].decode() + ',"x":' + v + "}" for v in (raw, "[" + raw + "]")]
    assert claude(lines) == [USER_ROW] * 2 * (raw in TAKES)


@pytest.mark.parametrize("rest, rows", [   # the line: {"message":{"content":"hi"}, then rest
    ('"type":"user"}', 1), ('"type" :"user"}', 1), ('"type"\t:\t"user"}', 1), ('"type" \t : \t\t "user"}', 1),
    ('"type":\r"user"}', 0), ('"type"\r:"user"}', 0),         # CR parses but fails the prefilter
    ('"type":"\\u0075ser"}', 0), ('"xtype":"user","type":\r"user"}', 0), ('"type":"usery","type":\r"user"}', 0),
    # an inner object opens the gate; the top-level "type" decides, by its last value
    ('"type":\r"user","x":{"type":"assistant"}}', 1), ('"type":"progress","data":{"type":"user"}}', 0),
    ('"type":"user","type":"system"}', 0), ('"type":"ai-title","type":"user"}', 1),
    # every occurrence of the needle is tried; Claude lines are tested whole, however long
    ('"a":"user","b":"user" ,"type":"user"}', 1), ('"pad":"' + "p" * 100000 + '","type":"user"}', 1),
])
def test_claude_prefilter(claude, rest, rows):
    assert claude(['{"message":{"content":"hi"},' + rest]) == [USER_ROW] * rows


def claude_line(i, text="x" * 200):
    return json.dumps({"type": "user", "message": {"content": f"{i} {text}"}, "timestamp": "t", "sessionId": "s"})


TRUNCATING = r"""
import os, sys, threading, time
from sessionrows import extract_claude
path, stop = sys.argv[1], threading.Event()
full = open(path, "rb").read()
def shrink_and_regrow():
    while not stop.is_set():
        os.truncate(path, len(full) // 3)
        with open(path, "ab") as f:
            f.write(full[len(full) // 3:])
        time.sleep(0.002)
threading.Thread(target=shrink_and_regrow, daemon=True).start()
print(max(len(extract_claude(path)) for _ in range(200)))
stop.set()
"""


def test_file_truncated_while_it_is_read_does_not_kill_the_process(tmp_path):
    (path := tmp_path / "rewritten.jsonl").write_text("".join(claude_line(i) + "\n" for i in range(20000)))   # 5 MB
    assert int(child(TRUNCATING, path)) <= 20000   # a SIGBUS would show as exit status -7


def test_lines_across_read_chunk_boundaries(tmp_path):
    # the reader takes 1 MiB chunks and grows its buffer for longer lines
    mib, overhead = 1 << 20, len(claude_line(0, ""))
    sizes = [mib - overhead - 1, mib - overhead, mib - overhead + 1, 3, 2 * mib + 17, 1, mib // 2, 4 * mib]
    texts = [chr(97 + i % 26) * n for i, n in enumerate(sizes + random.Random(7).choices(range(1, 300_000), k=40))]
    (path := tmp_path / "chunks.jsonl").write_text("\n".join(claude_line(i, t) for i, t in enumerate(texts)))
    assert [row[1] for row in extract_claude(str(path))] == [f"{i} {t}" for i, t in enumerate(texts)]   # no final LF


def test_the_interpreter_lock_is_released_during_the_scan(tmp_path):
    # lines that are parsed but yield no row: the call's time goes to the scan
    path = tmp_path / "big.jsonl"
    path.write_text((json.dumps({"type": "progress", "data": {"type": "user", "blob": "y" * 4000}}) + "\n") * 20000)
    count, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            count[0] += 1

    threading.Thread(target=spin, daemon=True).start()
    before = count[0]
    rows, during = extract_claude(str(path)), count[0] - before
    stop.set()
    assert rows == [] and during > 1000   # with the lock held for the whole scan the spinner could not run
