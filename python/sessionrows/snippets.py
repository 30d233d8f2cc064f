"""The part of a row that a hit shows: a window of the text around its best matches,
white space folded to single blanks, with the places of the matches.

Rows can be megabytes long (a file Claude read, the output of a test run); the
matches are looked for in the whole text, and only the window is folded.
"""

from __future__ import annotations

import re
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from .query import Query

Span = Tuple[int, int]
ELLIPSIS = "\u2026"
MOST_MATCHES = 400      # matches looked at in one row
_WHITE = re.compile(r"\s+")
_cache: Dict[Tuple[Tuple[Tuple[str, bool], ...], bool], Optional["re.Pattern[str]"]] = {}


def _pattern(terms: Sequence[Tuple[str, bool]], lowered: bool = False) -> Optional["re.Pattern[str]"]:
    """One pattern for all the terms: each a whole token (letters and digits not
    running on), or the start of one for a prefix; CJK text anywhere. With
    `lowered`, a case-sensitive pattern of the lowercased terms, for ASCII text
    that is lowercased too (the same matches, found about twice as fast)."""
    key = (tuple(terms), lowered)
    if key not in _cache:
        alternatives = []
        for word, prefix in sorted(set(terms), key=lambda t: -len(t[0])):
            if not word:
                continue
            if lowered:
                word = word.lower()
            if any(_wide(ch) for ch in word):
                alternatives.append(re.escape(word))
                continue
            # The word first, then a look back past it: a pattern that begins with
            # its literal is scanned for that literal's first letter, several
            # times faster over long rows than one that begins with a look-behind.
            alternatives.append(r"%s(?<![^\W_][\s\S]{%d})%s" % (re.escape(word), len(word),
                                                                r"[^\W_]*" if prefix else r"(?![^\W_])"))
        flags = 0 if lowered else re.IGNORECASE
        _cache[key] = re.compile("|".join(alternatives), flags) if alternatives else None
    return _cache[key]


def _finder(text: str, query: Query) -> Tuple[Optional["re.Pattern[str]"], str]:
    """The pattern to run and the text to run it on: ASCII text and terms are
    lowercased (which keeps every offset), anything else is matched ignoring case."""
    if text.isascii() and all(word.isascii() for word, _ in query.terms):
        return _pattern(query.terms, True), text.lower()
    return _pattern(query.terms), text


def _wide(ch: str) -> bool:
    """Characters of scripts written without spaces, matched inside words."""
    o = ord(ch)
    return 0x1100 <= o <= 0x11FF or 0x2E80 <= o <= 0x9FFF or 0xA960 <= o <= 0xA97F or 0xAC00 <= o <= 0xD7FF \
        or 0xF900 <= o <= 0xFAFF or 0xFF66 <= o <= 0xFFDC or o >= 0x20000


def matches(text: str, query: Query, most: int = MOST_MATCHES) -> List[Span]:
    """The places of the query's terms in `text` (at most `most` of them)."""
    pattern, subject = _finder(text, query)
    if pattern is None:
        return []
    out = []
    for m in pattern.finditer(subject):
        if m.end() > m.start():
            out.append((m.start(), m.end()))
            if len(out) >= most:
                break
    return out


def _window_matches(text: str, query: Query, width: int) -> List[Span]:
    """The matches a snippet picks its window from: all of them (at most
    MOST_MATCHES), or, for a query without prefixes, those up to the first window
    of `width` characters that holds every term, as no window can hold more (rows
    can be megabytes long)."""
    pattern, subject = _finder(text, query)
    if pattern is None:
        return []
    every = len({word.lower() for word, _ in query.terms})
    exact = not any(prefix for _, prefix in query.terms)
    out: List[Span] = []
    lo = 0
    for m in pattern.finditer(subject):
        start, end = m.span()
        if end == start:
            continue
        out.append((start, end))
        if len(out) >= MOST_MATCHES:
            break
        if exact:
            while lo < len(out) and end - out[lo][0] > width:
                lo += 1     # (a match wider than the window is in none)
            if len({subject[s:e].lower() for s, e in out[lo:]}) >= every:
                break
    return out


def _best_start(spans: Sequence[Span], text: str, width: int) -> int:
    """Where the window of `width` characters that holds the most different matched
    words starts (the earliest such window)."""
    best, best_count, j = 0, -1, 0
    for i, (start, _) in enumerate(spans):
        while j < len(spans) and spans[j][1] - start <= width:
            j += 1
        count = len({text[s:e].lower() for s, e in spans[i:j]})
        if count > best_count:
            best, best_count = start, count
    return best


def snippet(text: str, query: Query, width: int = 200,
            part: Optional[Callable[[str, int, int], str]] = None) -> Tuple[str, List[Span]]:
    """About `width` characters of `text` around its best matches, white space
    folded, and the matches' places in it ([start, end) character offsets). A cut
    end is marked with an ellipsis. `part(text, lo, hi)`, if given, gives the text
    shown for `text[lo:hi]` (redacted, say)."""
    spans = _window_matches(text, query, width)
    if spans:
        first = _best_start(spans, text, width)
        # Some context before the first match, and raw text enough to fill the
        # window once folded.
        lo = max(0, first - width // 4)
        if lo > 0:
            space = text.rfind(" ", max(0, lo - 20), lo)
            lo = space + 1 if space >= 0 else lo
    else:
        lo = 0
    raw = text[lo:lo + width * 4]
    folded = _WHITE.sub(" ", part(text, lo, lo + len(raw)) if part else raw)
    if lo == 0:
        folded = folded.lstrip()
    cut_end = len(folded) > width or lo + len(raw) < len(text)
    if len(folded) > width:
        end = folded.rfind(" ", width - 20, width)
        folded = folded[:end if end > 0 else width].rstrip()
    out = (ELLIPSIS if lo > 0 else "") + folded + (ELLIPSIS if cut_end else "")
    offset = len(ELLIPSIS) if lo > 0 else 0
    body = out[offset:len(out) - (len(ELLIPSIS) if cut_end else 0)]
    return out, [(s + offset, e + offset) for s, e in matches(body, query)]
