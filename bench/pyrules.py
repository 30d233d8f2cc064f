"""A plain-Python model of the row extraction done by ``sessionrows._core``.

``extract(kind, path, include_tools=False, loads=json.loads, exact=True)`` gives
the rows of one Claude or Codex session log as a list of 4-tuples of ``str``.

exact=True reproduces the native module byte for byte, including the strict
line parser: no NaN/Infinity, nesting of at most 127 levels, valid UTF-8 only
(no leading BOM, no lone surrogate escapes), unsigned/negative 64-bit integers
kept as integers and every other number held as a finite double.

exact=False is the straightforward version: ``loads(line)`` on every line that
passes the byte prefilter and the same rules on top, with whatever numbers and
strings ``loads`` gives.  It is meant as a peer for timing comparisons, so it
does no extra work per line.
"""

import json
import math
import re

__all__ = [
    "extract", "extract_claude", "extract_codex", "has_kv", "parse_line",
    "text_of", "compact_json", "py_str", "py_dumps", "float_text", "BAD",
]

# ---------------------------------------------------------------------------
# Byte prefilter

_KV = rb'"type"[ \t]*:[ \t]*'


def _kv_regex(*values):
    alts = b"|".join(re.escape(b'"' + v + b'"') for v in values)
    return re.compile(_KV + b"(?:" + alts + b")")


def has_kv(line, needle):
    """True if ``line`` holds the quoted "type" key, a colon and ``needle``.

    Only blanks and tabs may stand around the colon.  ``needle`` is the quoted
    token (quotes included).  Walking back from every occurrence of the needle
    over blanks/tabs to a colon and again to the six bytes "type" accepts
    exactly what this regular expression matches somewhere in the line.
    """
    return re.search(_KV + re.escape(needle), line) is not None


_CLAUDE_KINDS = _kv_regex(b"ai-title", b"user", b"assistant").search
_CX_META = _kv_regex(b"session_meta").search
_CX_ITEM = _kv_regex(b"response_item").search
_CX_EVENT = _kv_regex(b"event_msg").search
_CX_MESSAGE = _kv_regex(b"message").search
CODEX_WINDOW = 240

# ---------------------------------------------------------------------------
# Strict line parser

BAD = object()          # marker for a line that does not parse
MAX_DEPTH = 127
_U64_MAX = (1 << 64) - 1
_I64_MIN = -(1 << 63)


def _float_literal(text):
    x = float(text)
    if math.isinf(x):
        raise ValueError("number out of range")
    return x


def _int_literal(text):
    if text == "-0":
        return -0.0
    if len(text) <= 20:
        x = int(text)
        if _I64_MIN <= x <= _U64_MAX:
            return x
    return _float_literal(text)


def _no_constants(name):
    raise ValueError("not JSON: " + name)


_SURROGATE_ESCAPE = re.compile(rb"\\u[dD][89abcdefABCDEF]").search


class _Members(list):
    """An object's members as (key, value) pairs, duplicates included."""


def _sound(value, level):
    """Nesting within MAX_DEPTH and every string/key valid Unicode text.

    ``value`` comes from a parse that keeps every member (_Members), so that a
    value later replaced by a duplicate key is checked too."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return False
        return True
    if isinstance(value, _Members):  # before list: it is one
        if level > MAX_DEPTH:
            return False
        return all(_sound(k, level) and _sound(x, level + 1) for k, x in value)
    if isinstance(value, list):
        if level > MAX_DEPTH:
            return False
        return all(_sound(x, level + 1) for x in value)
    return True


def parse_line(line):
    """Parse one line (bytes) the way the native parser does; BAD if it fails."""
    try:
        # strict UTF-8; a leading BOM decodes to U+FEFF, which json.loads refuses
        text = line.decode("utf-8")
        value = json.loads(text, parse_int=_int_literal, parse_float=_float_literal,
                           parse_constant=_no_constants)
    except (ValueError, RecursionError):
        return BAD
    # the walk is only needed when the line could break one of its two rules
    if (line.count(b"[") + line.count(b"{") > MAX_DEPTH or _SURROGATE_ESCAPE(line)):
        try:
            every_member = json.loads(text, parse_int=_int_literal, parse_float=_float_literal,
                                      parse_constant=_no_constants, object_pairs_hook=_Members)
            if not _sound(every_member, 1):
                return BAD
        except RecursionError:
            return BAD
    return value


# ---------------------------------------------------------------------------
# Rendering

_json_string = json.encoder.encode_basestring   # ensure_ascii=False escaping


def float_text(x):
    """Shortest round-trip digits; fixed for -5 <= E <= 15, else d.ddde+N."""
    if x != x or math.isinf(x):           # only reachable with exact=False
        return "NaN" if x != x else ("Infinity" if x > 0 else "-Infinity")
    if x == 0.0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    if x < 0:
        return "-" + float_text(-x)
    mant, _, exp = repr(x).partition("e")
    whole, _, frac = mant.partition(".")
    digits = (whole + frac).lstrip("0")
    sig = digits.rstrip("0")
    n = len(sig)
    e = n - 1 + (int(exp) if exp else 0) - len(frac) + (len(digits) - n)
    if 0 <= e <= 15:
        if n <= e + 1:
            return sig + "0" * (e + 1 - n) + ".0"
        return sig[:e + 1] + "." + sig[e + 1:]
    if -5 <= e <= -1:
        return "0." + "0" * (-e - 1) + sig
    return sig[0] + ("." + sig[1:] if n > 1 else "") + ("e+" if e > 0 else "e-") + str(abs(e))


def compact_json(v):
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, str):
        return _json_string(v)
    if isinstance(v, float):
        return float_text(v)
    if isinstance(v, int):
        return str(v)
    if isinstance(v, list):
        return "[" + ",".join(map(compact_json, v)) + "]"
    return "{" + ",".join(_json_string(k) + ":" + compact_json(x) for k, x in v.items()) + "}"


def py_str(v):
    if v is None:
        return "None"
    if v is True:
        return "True"
    if v is False:
        return "False"
    if isinstance(v, str):
        return v
    return compact_json(v)


def py_dumps(v):
    if isinstance(v, list):
        return "[" + ", ".join(map(py_dumps, v)) + "]"
    if isinstance(v, dict):
        return "{" + ", ".join(_json_string(k) + ": " + py_dumps(x) for k, x in v.items()) + "}"
    return compact_json(v)


_TEXT_KINDS = ("text", "input_text", "output_text")
_SILENT_KINDS = ("thinking", "reasoning")


def _block_part(b):
    kind = b.get("type")
    if not isinstance(kind, str) or kind in _TEXT_KINDS:
        t = b.get("text")
        if t:
            return py_str(t)
        c = b.get("content")
        return text_of(c) if c else ""
    if kind in _SILENT_KINDS:
        return ""
    if kind == "tool_use":
        name = b.get("name")
        return "[tool_use:" + (py_str(name) if name else "tool") + "]"
    if kind == "tool_result":
        return "[tool_result]"
    t = b.get("text")
    return py_str(t) if t else ""


def text_of(v):
    """Flatten a message content value into one text."""
    if v is None:
        return ""
    if isinstance(v, str):
        return v
    if isinstance(v, dict):
        if "text" in v:
            t = v["text"]
            return py_str(t) if t else ""
        return compact_json(v)[:4000]
    if isinstance(v, list):
        parts = []
        for x in v:
            if isinstance(x, str):
                parts.append(x)
            elif isinstance(x, dict):
                parts.append(_block_part(x))
            else:
                parts.append(py_str(x))
        return "\n".join(p for p in parts if p)
    return py_str(v)


# ---------------------------------------------------------------------------
# Field access

def _get(v, key):
    return v.get(key) if isinstance(v, dict) else None


def _str(v, key):
    x = v.get(key) if isinstance(v, dict) else None
    return x if isinstance(x, str) else ""


# ---------------------------------------------------------------------------
# Claude rules

# Unicode White_Space; U+200B and U+FEFF are deliberately not in it
WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680"
               "\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
               "\u2028\u2029\u202f\u205f\u3000")
_SKIP_FLAGS = ("isMeta", "isCompactSummary", "isVisibleInTranscriptOnly")


def _claude_text(content, include_tools):
    if isinstance(content, str):
        return content
    if not isinstance(content, list):
        return ""
    texts, tools = [], []
    for b in content:
        kind = _str(b, "type")
        if kind == "text":
            texts.append(_str(b, "text"))
        elif kind == "image":
            texts.append("[image]")
        elif include_tools and kind == "tool_use":
            name = b.get("name")
            if not isinstance(name, str):
                name = "tool"
            tools.append("[tool_use " + name + "] " + py_dumps(b.get("input"))[:400])
        elif include_tools and kind == "tool_result":
            tools.append("[tool_result] " + text_of(b.get("content"))[:600])
    text = "\n".join(texts)
    if tools:
        text = (text + "\n" if text else "") + "\n".join(tools)
    return text


def _claude_row(line, include_tools, parse):
    if not _CLAUDE_KINDS(line):
        return None
    v = parse(line)
    if not isinstance(v, dict):
        return None
    kind = v.get("type")
    if kind == "ai-title":
        title = v.get("title")
        if not isinstance(title, str):
            title = _str(v, "aiTitle")
        return ("__title__", title, "", "")
    if kind != "user" and kind != "assistant":
        return None
    for flag in _SKIP_FLAGS:
        if v.get(flag) is True:
            return None
    msg = v.get("message")
    role = _get(msg, "role")
    if not isinstance(role, str):
        role = kind
    text = _claude_text(_get(msg, "content"), include_tools)
    if not text.strip(WHITE_SPACE):
        return None
    source = _str(msg, "id") + "\t" + _str(v, "cwd") + "\t" + _str(v, "sessionId")
    return (role, text, _str(v, "timestamp"), source)


# ---------------------------------------------------------------------------
# Codex rules

_CALLS = ("function_call", "custom_tool_call", "tool_call")
_CALL_OUTPUTS = ("function_call_output", "custom_tool_call_output")


def _codex_row(line, include_tools, parse):
    w = line[:CODEX_WINDOW]
    if _CX_META(w):
        v = parse(line)
        if v is BAD:
            return None
        p = _get(v, "payload")
        sid = _get(p, "id")
        if not isinstance(sid, str):
            sid = _str(p, "session_id")
        return ("__meta__", _str(p, "cwd"), "", sid)
    if _CX_ITEM(w):
        if not (_CX_MESSAGE(w) or (include_tools and b"_call" in w)):
            return None
        event = False
    elif _CX_EVENT(w):
        if b"user_message" not in w and b"agent_message" not in w:
            return None
        event = True
    else:
        return None

    v = parse(line)
    if v is BAD:
        return None
    ts = _str(v, "timestamp")
    p = _get(v, "payload")
    kind = _get(p, "type")
    if not isinstance(kind, str):
        return None

    if event:
        if kind == "user_message":
            role = "user"
        elif kind == "agent_message":
            role = "assistant"
        else:
            return None
        m = p.get("message")
        return (role, text_of(m if m else p.get("text")), ts, "event_msg")

    if kind == "message":
        role = p.get("role")
        if not isinstance(role, str):
            role = "assistant"
        return (role, text_of(p.get("content")), ts, "response_item")
    if not include_tools:
        return None
    if kind in _CALLS:
        name = p.get("name")
        if not isinstance(name, str):
            name = "tool"
        args = p.get("arguments")
        if args is None:
            args = _str(p, "input")
        elif not isinstance(args, str):
            args = compact_json(args)
        return ("assistant", "[tool_call " + name + "] " + args[:500], ts, "tool")
    if kind in _CALL_OUTPUTS:
        return ("tool", "[tool_result] " + text_of(p.get("output"))[:800], ts, "tool")
    return None


# ---------------------------------------------------------------------------
# Entry points

def _lenient(loads):
    def parse(line):
        try:
            return loads(line)
        except (ValueError, RecursionError):
            return BAD
    return parse


def extract(kind, path, include_tools=False, loads=json.loads, exact=True):
    """Rows of one session log; kind "codex" selects the Codex rules."""
    with open(path, "rb") as f:
        data = f.read()
    rule = _codex_row if kind == "codex" else _claude_row
    parse = parse_line if exact else _lenient(loads)
    rows = []
    for line in data.split(b"\n"):
        if line:
            row = rule(line, include_tools, parse)
            if row is not None:
                rows.append(row)
    return rows


def extract_claude(path, include_tools=False, **kw):
    return extract("claude", path, include_tools, **kw)


def extract_codex(path, include_tools=False, **kw):
    return extract("codex", path, include_tools, **kw)
