"""The part of a row that a hit shows: a window of the text around its best matches,
white space folded to single blanks and terminal escape sequences taken out (as the
index takes them out), with the places of the matches.

Rows can be megabytes long (a file Claude read, the output of a test run); the
matches are looked for in the whole text, and only the window is folded.
"""

from __future__ import annotations

import heapq
import itertools
import re
from typing import Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from .query import _TOKEN, Query
from .terminal import strip_escapes

Span = Tuple[int, int]
ELLIPSIS = "\u2026"
MOST_MATCHES = 400      # matches looked at in one row
_WHITE = re.compile(r"\s+")
_FOLD_EXCEPTIONS = re.compile("[\u0130\u0131\u017f]")     # \u0130 and \u0131 match i, \u017f s
_cache: Dict[Tuple[Tuple[str, bool], ...], Optional["re.Pattern[str]"]] = {}
_term_cache: Dict[Tuple[str, bool], "re.Pattern[str]"] = {}


def _alternative(word: str, prefix: bool) -> str:
    """A term as a pattern: a whole token (letters and digits not running on), or
    the start of one for a prefix; CJK text anywhere. Blank-separated tokens are
    their phrase, with separators between them ("hello world" finds hello_world and
    Hello, World); an identifier (hello_world) is found as it is written, ignoring
    case. A token may follow a backslash escape written out in the text ("\\nHello"),
    as the index finds it there. The word comes first and the look back past it
    after: a pattern that begins with its literal is scanned for that literal, many
    times faster over long rows than one that begins with a look-behind, which the
    engine tries at every character."""
    if any(_wide(ch) for ch in word):
        return re.escape(word)
    first, *rest = word.split(" ")
    return r"%s(?:(?<![^\W_][\s\S]{%d})|(?<=\\[ntr][\s\S]{%d}))%s%s" % (
        re.escape(first), len(first), len(first), "".join(r"[\W_]+" + re.escape(t) for t in rest),
        r"[^\W_]*" if prefix else r"(?![^\W_])")


def _folder(query: Query) -> Callable[[str], str]:
    """What makes two matches the same word: their text ignoring case, and for a
    phrase, ignoring the separators between its tokens."""
    if all(_TOKEN.fullmatch(word) for word, _ in query.terms):
        return str.lower
    return lambda text: " ".join(_TOKEN.findall(text.lower()))


def _overlapping(query: Query) -> bool:
    """True if a phrase or identifier of the query can match again inside its own
    match ("a b a", or a prefix as its last token that begins one of its others)."""
    for word, prefix in query.terms:
        tokens = _TOKEN.findall(word.lower())
        if len(set(tokens)) < len(tokens) or (prefix and any(t.startswith(tokens[-1]) for t in tokens[:-1])):
            return True
    return False


def _pattern(terms: Sequence[Tuple[str, bool]]) -> Optional["re.Pattern[str]"]:
    """One pattern for all the terms, ignoring case."""
    key = tuple(terms)
    if key not in _cache:
        alternatives = [_alternative(word, prefix) for word, prefix in sorted(set(terms), key=lambda t: -len(t[0]))
                        if word]
        _cache[key] = re.compile("|".join(alternatives), re.IGNORECASE) if alternatives else None
    return _cache[key]


def _term_pattern(word: str, prefix: bool) -> "re.Pattern[str]":
    """One lowercased ASCII term, matched case-sensitively (in lowercased text)."""
    key = (word, prefix)
    pattern = _term_cache.get(key)
    if pattern is None:
        pattern = _term_cache[key] = re.compile(_alternative(word, prefix))
    return pattern


def _lowered(text: str, query: Query) -> Optional[str]:
    """`text` lowercased, when ASCII terms find in it what they find ignoring case:
    the same length (so the same offsets), and none of the three letters that match
    i or s ignoring case without lowercasing to them."""
    if not all(word.isascii() for word, _ in query.terms) or _overlapping(query):
        return None
    lowered = text.lower()
    if text.isascii() or (len(lowered) == len(text) and not _FOLD_EXCEPTIONS.search(text)):
        return lowered
    return None


def _spans(text: str, query: Query, subject: Optional[str]) -> Iterator[Span]:
    """The places of the query's terms in `text`, in order, as the one pattern of
    all the terms finds them. Text that ASCII terms can be found in lowercased
    (nearly every row, for nearly every query) is lowercased, and each term is
    looked for by itself, its matches merged in order: a literal is found far
    faster than any of several. (Every match of an ASCII term begins and ends at
    the edges of tokens, the part of a prefix included, so of two matches that
    overlap, the one pattern takes the one that starts first, and of two that start
    at the same place, the longer: a phrase's rather than its first token's. A
    phrase that can match inside its own match is looked for by the one pattern.)
    `subject` is _lowered(text, query)."""
    if subject is not None:
        terms = sorted({(word.lower(), prefix) for word, prefix in query.terms if word})
        end = -1
        for m in heapq.merge(*(_term_pattern(*t).finditer(subject) for t in terms),
                             key=lambda m: (m.start(), -m.end())):
            if m.start() >= end:
                end = m.end()
                yield m.span()
        return
    pattern = _pattern(query.terms)
    if pattern is not None:
        for m in pattern.finditer(text):
            if m.end() > m.start():
                yield m.span()


def _wide(ch: str) -> bool:
    """Characters of scripts written without spaces, matched inside words."""
    o = ord(ch)
    return 0x1100 <= o <= 0x11FF or 0x2E80 <= o <= 0x9FFF or 0xA960 <= o <= 0xA97F or 0xAC00 <= o <= 0xD7FF \
        or 0xF900 <= o <= 0xFAFF or 0xFF66 <= o <= 0xFFDC or o >= 0x20000


def _as_written(query: Query, text: str) -> Query:
    """The query with each of its identifiers that `text` holds as typed (ignoring
    case) looked for as typed only: hello_world, not also "Hello, World"."""
    if not query.literals:
        return query
    lowered = text.lower()
    held = {" ".join(_TOKEN.findall(literal.lower())): literal for literal in query.literals
            if literal.lower() in lowered}
    if not held:
        return query
    return query._replace(terms=[(held.get(word.lower(), word), prefix) for word, prefix in query.terms])


def matches(text: str, query: Query, most: int = MOST_MATCHES) -> List[Span]:
    """The places of the query's terms in `text` (at most `most` of them)."""
    return list(itertools.islice(_spans(text, query, _lowered(text, query)), most))


def _window_matches(text: str, query: Query, width: int) -> List[Span]:
    """The matches a snippet picks its window from: all of them (at most
    MOST_MATCHES), or, for a query without prefixes, those up to the first window
    of `width` characters that holds every term (rows can be megabytes long)."""
    lowered = _lowered(text, query)
    fold = _folder(query)
    every = len({fold(word) for word, _ in query.terms})
    # Found in lowercased text, a match of an exact term is that term: no window
    # holds more different words than there are terms.
    exact = lowered is not None and not any(prefix for _, prefix in query.terms)
    out: List[Span] = []
    lo = 0
    for start, end in _spans(text, query, lowered):
        out.append((start, end))
        if len(out) >= MOST_MATCHES:
            break
        if exact and lowered is not None:
            while lo < len(out) and end - out[lo][0] > width:
                lo += 1     # (a match wider than the window is in none)
            if len({fold(lowered[s:e]) for s, e in out[lo:]}) >= every:
                break
    return out


def _best_start(spans: Sequence[Span], text: str, width: int, fold: Callable[[str], str] = str.lower) -> int:
    """Where the window of `width` characters that holds the most different matched
    words (as `fold` tells them apart) starts (the earliest such window)."""
    best, best_count, j = 0, -1, 0
    for i, (start, _) in enumerate(spans):
        while j < len(spans) and spans[j][1] - start <= width:
            j += 1
        count = len({fold(text[s:e]) for s, e in spans[i:j]})
        if count > best_count:
            best, best_count = start, count
    return best


def snippet(text: str, query: Query, width: int = 200,
            part: Optional[Callable[[str, int, int], str]] = None) -> Tuple[str, List[Span]]:
    """About `width` characters of `text` around its best matches, white space
    folded, and the matches' places in it ([start, end) character offsets). A cut
    end is marked with an ellipsis. `part(text, lo, hi)`, if given, gives the text
    shown for `text[lo:hi]` (redacted, say); it is given the text without its
    escape sequences."""
    text = strip_escapes(text)
    query = _as_written(query, text)
    spans = _window_matches(text, query, width)
    if spans:
        first = _best_start(spans, text, width, _folder(query))
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
