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
    """The window start of a full scan, with the look-behind first, as the pattern was written:
    a token not glued to a letter or digit before it (but to a backslash escape, \\n), a phrase
    its tokens with separators between them."""
    alternatives = []
    for word, prefix in sorted(set(query.terms), key=lambda t: -len(t[0])):
        if any(snippets._wide(ch) for ch in word):
            alternatives.append(re.escape(word))
        else:
            phrase = r"[\W_]+".join(re.escape(t) for t in word.split(" "))
            end = r"[^\W_]*" if prefix else r"(?![^\W_])"
            alternatives.append(r"(?:(?<![^\W_])|(?<=\\[ntr]))%s%s" % (phrase, end))
    pattern = re.compile("|".join(alternatives), re.IGNORECASE)
    spans = [m.span() for m in pattern.finditer(text) if m.end() > m.start()][:snippets.MOST_MATCHES]
    return spans, (snippets._best_start(spans, text, width, snippets._folder(query)) if spans else None)


QUERIES = ["docker c", "docker compose", "useState", "src/app", "migra*", "x1 the",
           "\u6587\u5b57 docker", "\u00e9t\u00e9", '"docker compose" app',
           "supercalifragilisticexpialidocious", "supercalifragilisticexpialidocious a",
           "src id", "key", "migra* migrations docker",     # two terms, one token
           "docker_compose docker", "src/app* app",         # a phrase and its tokens
           '"docker docker"', "docker.doc*", "c/src/c",     # phrases that overlap themselves
           "\u00e9t\u00e9_a"]


@pytest.mark.parametrize("query, written", [(q, False) for q in QUERIES] +      # identifiers looked for as typed
                         [(q, True) for q in QUERIES if parse(q).literals])
@pytest.mark.parametrize("ascii_only", [True, False])     # ASCII text is matched lowercased
@pytest.mark.parametrize("seed", range(8))
def test_the_window_is_the_one_a_full_scan_chooses(query, ascii_only, written, seed):
    q = parse(query)
    if written:
        q = snippets._as_written(q, " ".join(q.literals))
        assert not set(q.literals) - {word for word, _ in q.terms}
    rng = random.Random(seed)
    words = [w for w in WORDS if w.isascii()] if ascii_only else WORDS
    text = "".join(rng.choice(words) + rng.choice([" ", ".", "\n", "(", "-", "", "  ", "_", "\\n", "/"])
                   for _ in range(rng.choice([5, 60, 3000])))
    width = rng.choice([20, 80, 200])
    spans, start = reference_start(text, q, width)
    assert snippets.matches(text, q) == spans
    found = snippets._window_matches(text, q, width)
    assert found == spans[:len(found)]
    assert (snippets._best_start(found, text, width, snippets._folder(q)) if found else None) == start


@pytest.mark.parametrize("query, text, marked", [
    # a word right after a colour code: the code is taken out, the word marked
    ("passed", "\x1b[32mpassed\x1b[0m 3 tests", ["passed"]),
    ("error", "ok \x1b]0;title\x07\x1b[1;31merror\x9b0m: boom", ["error"]),
    ("hello", "line\\nHello there", ["Hello"]),                 # a backslash escape written out
    # an identifier is marked whole: as typed where the row holds it so, else as the row writes its tokens
    ("hello_world", "say hello world, Hello_World or hello_world.py", ["Hello_World", "hello_world"]),
    ("hello_world", "say hello world, or Hello, World", ["hello world", "Hello, World"]),
    ("ash_json_api_router.ex", "lib/ex/a.ex lib/ash_json_api_router.ex test/b.ex", ["ash_json_api_router.ex"]),
    ("src/app*", "src/apple and src/app.py", ["src/apple", "src/app"]),
    # a phrase that can match inside its own match
    ('"c docker" "docker docker"', "c docker docker docker", ["c docker", "docker docker"]),
    ("docker.doc*", "docker docker docs", ["docker docker"]),
])
def test_matches_mark_the_words_the_index_found(query, text, marked):
    shown, spans = snippets.snippet(text, parse(query))
    assert "\x1b" not in shown and "\x9b" not in shown
    assert [shown[a:b] for a, b in spans] == marked
