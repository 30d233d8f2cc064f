"""A query as a person types it, turned into a full-text query of the index.

Words must all occur; "double-quoted text" must occur as that phrase; a word that
ends in * matches every word it begins. Anything else a person may type (paths,
identifiers such as Foo.bar_baz(), stray quotes or brackets, words such as OR or
NEAR) is taken literally: each word becomes the phrase of the tokens in it, so
Foo.bar_baz() finds "foo", "bar", "baz" in a row, in that order.
"""

from __future__ import annotations

import re
from typing import List

_PARTS = re.compile(r'"([^"]*)"|(\S+)')


class QueryError(ValueError):
    """A query that cannot be run."""


def _has_token(text: str) -> bool:
    # The index's tokenizer keeps letters and digits and splits on everything else.
    return any(ch.isalnum() for ch in text)


def _phrase(text: str) -> str:
    return '"' + text.replace('"', '""') + '"'


def to_fts(query: str) -> str:
    """The FTS5 expression for a person's query. Raises QueryError if nothing in it
    can be searched for."""
    terms: List[str] = []
    for match in _PARTS.finditer(query):
        phrase, word = match.groups()
        prefix = False
        if phrase is None:
            prefix = len(word) > 1 and word.endswith("*")
            phrase = word.rstrip("*") if prefix else word
            phrase = phrase.replace('"', " ")
        if _has_token(phrase):
            terms.append(_phrase(phrase) + ("*" if prefix else ""))
    if not terms:
        raise QueryError("nothing to search for in %r: a query needs letters or digits" % query)
    return " ".join(terms)
