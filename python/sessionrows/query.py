"""A query as a person types it, turned into a full-text query of the index, and the
terms a snippet highlights.

Words must all occur; "double-quoted text" must occur as that phrase; a word that
ends in * matches every word it begins (two letters or more before the *). Anything
else a person may type (paths, identifiers such as Foo.bar_baz(), stray quotes or
brackets, words such as OR or NEAR) is taken literally: each word becomes the phrase
of the tokens in it, so Foo.bar_baz() finds "foo", "bar", "baz" in a row, in that
order. CJK text is matched by its two-character pieces, as the index holds it, so
any two or more characters of a sentence are found.
"""

from __future__ import annotations

import re
from typing import List, NamedTuple, Sequence, Tuple

from . import _search

_PARTS = re.compile(r'"([^"]*)"|(\S+)')
# What the index's tokenizer keeps: letters and digits (and the marks that go with
# them); everything else separates tokens.
_TOKEN = re.compile(r"[^\W_]+")
_FTS_OPERATORS = {"AND", "OR", "NOT", "NEAR"}
MIN_PREFIX = 3


class QueryError(ValueError):
    """A query that cannot be run."""


class Query(NamedTuple):
    text: str                                   # as typed
    fts: str                                    # the FTS5 expression
    # (word, is a prefix) to highlight; a word of several tokens, blank-separated, is
    # their phrase: the tokens in order with only separators between them
    terms: Sequence[Tuple[str, bool]] = ()
    # Identifiers and paths as typed (Foo.bar_baz, src/app.py, hello_world), from their
    # first token to their last: a row that holds one (ignoring case) ranks before rows
    # that only hold its tokens
    literals: Sequence[str] = ()


def _phrase(text: str) -> str:
    return '"' + text.replace('"', '""') + '"'


def _indexed(text: str) -> str:
    """The text as the index holds it (CJK runs as their two-character pieces)."""
    changed = _search.index_text(text)
    return text if changed is None else changed


def _is_cjk_char(ch: str) -> bool:
    changed = _search.index_text(ch)
    return changed is not None and changed.strip() == ch


def parse(query: str, raw: bool = False) -> Query:
    """The Query for what a person typed, or for raw FTS5 syntax with `raw`. Raises
    QueryError if nothing in it can be searched for."""
    if raw:
        if not query.strip():
            raise QueryError("the query is empty")
        words = [w for w in _TOKEN.findall(query) if w not in _FTS_OPERATORS]
        return Query(query, query, [(w, False) for w in words])
    parts: List[str] = []
    terms: List[Tuple[str, bool]] = []
    literals: List[str] = []
    for match in _PARTS.finditer(query):
        phrase, word = match.groups()
        prefix = False
        if phrase is None:
            prefix = len(word) > 1 and word.endswith("*")
            phrase = word.rstrip("*") if prefix else word
            phrase = phrase.replace('"', " ")
        tokens = _TOKEN.findall(phrase)
        if not tokens:
            continue
        if prefix and len(tokens[-1]) < MIN_PREFIX and not _is_cjk_char(tokens[-1][-1]):
            raise QueryError("%r: a prefix needs at least %d letters before the *" % (word, MIN_PREFIX))
        indexed = _indexed(phrase)
        cjk_single = (not prefix and len(tokens) == 1 and len(tokens[0]) == 1 and _is_cjk_char(tokens[0]))
        parts.append(_phrase(indexed) + ("*" if prefix or cjk_single else ""))
        if len(tokens) > 1 and indexed == phrase:
            terms.append((" ".join(tokens), prefix))
            literal = _literal(phrase)
            if literal:
                literals.append(literal)
        else:
            terms.extend((t, prefix and i == len(tokens) - 1) for i, t in enumerate(tokens))
    if not parts:
        raise QueryError("nothing to search for in %r: a query needs letters or digits" % query)
    return Query(query, " ".join(parts), terms, literals)


def _literal(phrase: str) -> str:
    """An identifier or a path: the phrase from its first token to its last, if it
    holds no white space (Foo.bar_baz( gives Foo.bar_baz)."""
    first, last = _TOKEN.search(phrase), None
    for last in _TOKEN.finditer(phrase):
        pass
    core = phrase[first.start():last.end()] if first and last else ""
    return "" if not core or any(ch.isspace() for ch in core) else core


def to_fts(query: str) -> str:
    """The FTS5 expression for a person's query (see parse)."""
    return parse(query).fts
