"""Snippets of long rows: the window a snippet shows is the one a full scan of the
row would choose, found without scanning the whole row."""

import random
import re

import pytest

from sessionrows import snippets
from sessionrows.query import parse

WORDS = ["docker", "Docker", "DOCKER", "compose", "c", "src", "app", "use", "useState", "the", "x1", "migration",
         "migrations", "\u00e9t\u00e9", "\u6587\u5b57", "_docker", "docker_c", "a",
         "supercalifragilisticexpialidocious",    # a match wider than some windows
         "\u017frc", "\u0131d", "\u0130d", "\u212aey"]     # letters that match s, i, k ignoring case


def reference_start(text, query, width):
    """The window start of a full scan, with the look-behind first, as the pattern was written."""
    alternatives = []
    for word, prefix in sorted(set(query.terms), key=lambda t: -len(t[0])):
        if any(snippets._wide(ch) for ch in word):
            alternatives.append(re.escape(word))
        else:
            alternatives.append(r"(?<![^\W_])%s%s" % (re.escape(word), r"[^\W_]*" if prefix else r"(?![^\W_])"))
    pattern = re.compile("|".join(alternatives), re.IGNORECASE)
    spans = [m.span() for m in pattern.finditer(text) if m.end() > m.start()][:snippets.MOST_MATCHES]
    return spans, (snippets._best_start(spans, text, width) if spans else None)


@pytest.mark.parametrize("query", ["docker c", "docker compose", "useState", "src/app", "migra*", "x1 the",
                                   "\u6587\u5b57 docker", "\u00e9t\u00e9", '"docker compose" app',
                                   "supercalifragilisticexpialidocious", "supercalifragilisticexpialidocious a",
                                   "src id", "key", "migra* migrations docker"])     # two terms, one token
@pytest.mark.parametrize("ascii_only", [True, False])     # ASCII text is matched lowercased
@pytest.mark.parametrize("seed", range(8))
def test_the_window_is_the_one_a_full_scan_chooses(query, ascii_only, seed):
    rng = random.Random(seed)
    words = [w for w in WORDS if w.isascii()] if ascii_only else WORDS
    text = "".join(rng.choice(words) + rng.choice([" ", ".", "\n", "(", "-", "", "  "])
                   for _ in range(rng.choice([5, 60, 3000])))
    q = parse(query)
    width = rng.choice([20, 80, 200])
    spans, start = reference_start(text, q, width)
    assert snippets.matches(text, q) == spans
    found = snippets._window_matches(text, q, width)
    assert found == spans[:len(found)]
    assert (snippets._best_start(found, text, width) if found else None) == start
