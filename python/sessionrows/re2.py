"""Gitleaks' rules are written for Go's RE2; these read them as Python's `re`
patterns of the same meaning (`adapt`), compiled as RE2 compiles them (`compile_re2`)."""

from __future__ import annotations

import re
import warnings
from typing import List, Pattern, Tuple

_POSIX = {"alnum": "0-9A-Za-z", "alpha": "A-Za-z", "ascii": "\\x00-\\x7f", "blank": " \\t",
          "cntrl": "\\x00-\\x1f\\x7f", "digit": "0-9", "graph": "!-~", "lower": "a-z", "print": " -~",
          "punct": "!-/:-@\\[-`{-~", "space": "\\t\\n\\v\\f\\r ", "upper": "A-Z", "word": "0-9A-Za-z_",
          "xdigit": "0-9A-Fa-f"}
_BARE_FLAGS = re.compile(r"\(\?([a-zA-Z]*(?:-[a-zA-Z]*)?)\)")


class Unadaptable(ValueError):
    """An RE2 construct that Python's re has no equivalent for."""


def adapt(pattern: str) -> str:
    """An RE2 pattern as a Python pattern of the same meaning: a flag group in the
    middle of a group (`(?i)`, which RE2 applies to the rest of the group, every
    later alternative included) becomes a scoped group around each of them; POSIX
    classes are spelled out; `\\z` is `\\Z`; set-operation look-alikes in classes are
    escaped."""
    out, at = _group(pattern, 0, top=True)
    if at != len(pattern):
        raise Unadaptable("unbalanced parenthesis")
    return out


def _group(p: str, i: int, top: bool = False) -> Tuple[str, int]:
    """The inside of a group from `i` to its closing parenthesis (not consumed)."""
    branches: List[str] = []
    carried: List[str] = []       # flags set in an earlier alternative of this group
    while True:
        text, i, flags = _branch(p, i)
        for f in reversed(carried):
            text = "(?%s:%s)" % (f, text)
        branches.append(text)
        carried += flags
        if i < len(p) and p[i] == "|":
            i += 1
            continue
        if i < len(p) and p[i] == ")" and top:
            raise Unadaptable("unbalanced parenthesis")
        return "|".join(branches), i


def _branch(p: str, i: int) -> Tuple[str, int, List[str]]:
    """One alternative; a bare flag group in it scopes the rest of it."""
    parts: List[str] = []
    while i < len(p) and p[i] not in "|)":
        m = _BARE_FLAGS.match(p, i)
        if m:
            flags = m.group(1)
            if set(flags) - set("imsx-"):
                raise Unadaptable("flag %r" % flags)
            rest, i, later = _branch(p, m.end())
            parts.append("(?%s:%s)" % (flags, rest) if rest else "")
            return "".join(parts), i, [flags] + later
        ch = p[i]
        if ch == "\\":
            parts.append(_escape(p, i))
            i += 2
        elif ch == "[":
            text, i = _char_class(p, i)
            parts.append(text)
        elif ch == "(":
            head = re.match(r"\((\?(?:P?<[A-Za-z_]\w*>|[a-zA-Z]*(?:-[a-zA-Z]*)?:|[=!]|<[=!])?)?", p[i:])
            opener = head.group(0) if head else "("
            if "U" in opener:
                raise Unadaptable("flag U")
            inner, i = _group(p, i + len(opener))
            if i >= len(p) or p[i] != ")":
                raise Unadaptable("unbalanced parenthesis")
            parts.append(opener + inner + ")")
            i += 1
        else:
            parts.append(ch)
            i += 1
    return "".join(parts), i, []


def _escape(p: str, i: int) -> str:
    if i + 1 >= len(p):
        raise Unadaptable("trailing backslash")
    ch = p[i + 1]
    if ch == "z":
        return "\\Z"
    if ch in "pPQECX":
        raise Unadaptable("\\%s" % ch)
    return p[i:i + 2]


def _char_class(p: str, i: int) -> Tuple[str, int]:
    j = i + 1
    out = ["["]
    if j < len(p) and p[j] == "^":
        out.append("^")
        j += 1
    first = True
    while j < len(p):
        ch = p[j]
        if ch == "]" and not first:
            out.append("]")
            return "".join(out), j + 1
        first = False
        if ch == "\\":
            out.append(_escape(p, j))
            j += 2
        elif ch == "[" and p.startswith("[:", j):
            end = p.find(":]", j + 2)
            name = p[j + 2:end] if end > 0 else ""
            if name not in _POSIX:
                raise Unadaptable("class [:%s:]" % name)
            out.append(_POSIX[name])
            j = end + 2
        elif ch in "[&~|":
            out.append("\\" + ch)
            j += 1
        else:
            out.append(ch)
            j += 1
    raise Unadaptable("unterminated class")


def compile_re2(pattern: str) -> Pattern[str]:
    """An RE2 pattern compiled for Python, with RE2's ASCII meaning of \\w, \\b, \\s."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            return re.compile(adapt(pattern), re.ASCII)
        except (re.error, FutureWarning, DeprecationWarning, RecursionError) as e:
            raise Unadaptable(str(e)) from None
