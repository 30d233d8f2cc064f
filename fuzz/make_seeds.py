#!/usr/bin/env python3
"""Writes the committed seed corpus under fuzz/seeds/ from the project's sample
sessions (tests/data/*.jsonl) and a few hand-made lines. Run it again after
changing either; the file names are content hashes, so reruns are stable. Seeds
named in words (the made-up logs of each assistant, such as
scan/gemini-rewind-and-restated-messages) are hand-written and kept as they are."""

import hashlib
import pathlib

ROOT = pathlib.Path(__file__).resolve().parent.parent
SEEDS = ROOT / "fuzz" / "seeds"

# Single lines: values the renderers and the rules treat specially.
LINES = [
    b'{"type":"user","message":{"role":"user","content":"hi"},"timestamp":"T","cwd":"C","sessionId":"S"}',
    b'{"type":"assistant","message":{"id":"m","role":"assistant","content":[{"type":"text","text":"A"},'
    b'{"type":"tool_use","name":"Grep","input":{"pattern":"x","n":[1,2.5,-0,1e16]}},{"type":"text","text":"B"},'
    b'{"type":"tool_result","content":[{"type":"text","text":"out"},null,true,[1]]},{"type":"image"}]}}',
    b'{"type":"ai-title","title":"t\\u00e9\\ud83d\\ude00"}',
    b'{"type":"user","isMeta":true,"message":{"content":"x"}}',
    b'{"timestamp":"T","type":"session_meta","payload":{"id":"i","session_id":"s","cwd":"/w"}}',
    b'{"timestamp":"T","type":"response_item","payload":{"type":"message","role":"user",'
    b'"content":[{"type":"input_text","text":"q"},{"type":"thinking","text":"no"},{"text":0,"content":{"a":1}}]}}',
    b'{"timestamp":"T","type":"response_item","payload":{"type":"function_call","name":"shell",'
    b'"arguments":{"cmd":["ls","-l"],"t":1.5e-7}}}',
    b'{"timestamp":"T","type":"response_item","payload":{"type":"custom_tool_call","arguments":null,"input":"in"}}',
    b'{"timestamp":"T","type":"response_item","payload":{"type":"function_call_output","output":{"text":""}}}',
    b'{"timestamp":"T","type":"event_msg","payload":{"type":"agent_message","message":"","text":["a","","b"]}}',
    b'{"type" : "user","message":{"content":"\\u0000\\"\\\\\\/\\b\\f\\n\\r\\t\\u001b\\u2028"}}',
    b'{"a":1,"b":2,"a":3,"c":{"x":[],"y":{},"x":null}}',
    b'[18446744073709551615,18446744073709551616,-9223372036854775808,-9223372036854775809,5e-324,'
    b'1.7976931348623157e308,0.00001,1e-6,123.456,-0.0,0,0.0]',
    b'[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]',
    b'"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xe3\x80\x80\xc2\xa0"',
    b'{"text":"  \\u3000 "}',
    b'  true  ',
    b'{"type":"user","message":{"content":"\\ud800"}}',
    b'{"type":"user","message":{"content":"\xed\xa0\x80"}}',
    # Found by fuzz_scan: a message row and a meta row may look like tool rows.
    b'{"type":"response_item","payload":{"type":"message","role":"tool","content":"x"}}',
    b'{"type":"session_meta","payload":{"id":"tool"}}',
]

# Whole files for the scan: line ends, a torn last line, a BOM, blank lines.
FILES = [
    b"\n".join(LINES) + b"\n",
    b"\r\n".join(LINES[:6]) + b"\r\n",
    b"\xef\xbb\xbf" + LINES[0] + b"\n" + LINES[0],
    b"\n\n   \n\t\n" + LINES[4] + b"\n" + LINES[0][:40],
    LINES[4] + b"\n" + b'{"type":"session_meta"}' + b"\n" + b'[{"type":"session_meta"}]' + b"\n",
]

# Prefilter inputs: one byte for the needle length, the needle text, the line.
PREFILTER = [
    bytes([4]) + b'user{"type":"user"}',
    bytes([4]) + b'user{"x":1,"type" \t:\t "user","y":"user"}',
    bytes([9]) + b'assistant{"subtype":"assistant","type":\r"assistant"}',
    bytes([13]) + b'response_item{"type":"response_item"} "type": "response_item"',
    bytes([0]) + b'"type":""',
    bytes([7]) + b'message' + b'x' * 40 + b'"type":"message"' + b'y' * 40,
]

# Column inputs: two bytes of byte limit, then rows of TAB-separated texts; '#' ends a job.
COLUMNS = [
    bytes([100, 0]) + b"user\thi\tT\tS\nassistant\thello there\tT\tS\n#\nuser\t\t\t\n",
    bytes([8, 0]) + b"a\tbbbbbbbbbbbbbbbb\tc\td\na\tb\nx\n#\n#\nuser\t\xc3\xa9\xe2\x82\xac\n",
    bytes([0, 0]) + b"r\tt\n" * 5,
    bytes([255, 15]) + b"\n".join(b"role\t" + b"t" * i + b"\tts\tsrc" for i in range(0, 600, 37)),
]


def write(kind, data):
    d = SEEDS / kind
    d.mkdir(parents=True, exist_ok=True)
    (d / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)


def main():
    for old in SEEDS.glob("*/*"):
        if all(c in "0123456789abcdef" for c in old.name):     # what this script wrote before
            old.unlink()
    samples = sorted((ROOT / "tests" / "data").glob("*.jsonl"))
    for path in samples:
        data = path.read_bytes()
        write("scan", data)
        for line in data.split(b"\n"):
            if line:
                write("render", line)
    for data in FILES:
        write("scan", data)
    for line in LINES:
        write("render", line)
        write("scan", line + b"\n")
    for data in PREFILTER:
        write("prefilter", data)
    for data in COLUMNS:
        write("columns", data)
    for kind in ("scan", "render", "prefilter", "columns"):
        print(kind, len(list((SEEDS / kind).iterdir())))


if __name__ == "__main__":
    main()
