"""A search finds what grep finds: distinctive words drawn from the content of each
real log (what was said, tool calls and results, compact summaries), read here with
json.loads and nothing of the package, lead the search to that log."""

import collections
import json
import re

import pytest

from conftest import corpus_files
from sessionrows import commands
from sessionrows.query import parse
from sessionrows.index import Filters

# A word: a run of letters and digits, as a person would type it whole, with eight
# letters or more (words are compared in lower case).
WORD = re.compile(r"[^\W_]{8,}")
LETTERS = re.compile(r"[^\W\d_]")
# Terminal escape sequences: a person reads the text they colour, not their codes.
ESCAPE = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)?|\x1b[@-Z\\-_]")
MOST_LOGS = 3           # a word in more logs than this is not distinctive


def is_image(value):
    """An image block (its base64 data is no text anyone searches)."""
    return isinstance(value, dict) and (value.get("type") in ("image", "input_image") or
                                        str(value.get("image_url", "")).startswith("data:"))


def leaves(value, out):
    """Every string inside a JSON value (a string that holds JSON: its strings),
    images left out."""
    if is_image(value):
        return out
    if isinstance(value, str):
        stripped = value.lstrip()
        if stripped[:1] in ("{", "["):
            try:
                return leaves(json.loads(value), out)
            except ValueError:
                pass
        out.append(value)
    elif isinstance(value, dict):
        for v in value.values():
            leaves(v, out)
    elif isinstance(value, list):
        for v in value:
            leaves(v, out)
    return out


def claude_texts(line):
    if line.get("type") not in ("user", "assistant"):
        return []
    content = (line.get("message") or {}).get("content")
    if isinstance(content, str):
        return [content]
    out = []
    for block in content if isinstance(content, list) else []:
        if not isinstance(block, dict):
            continue
        kind = block.get("type")
        if kind == "text":
            out.append(block.get("text") or "")
        elif kind == "tool_use":
            leaves(block.get("input"), out)
        elif kind == "tool_result":
            leaves(block.get("content"), out)
    return out


def codex_texts(line):
    payload = line.get("payload")
    if not isinstance(payload, dict):
        return []
    kind, out = payload.get("type"), []
    if line.get("type") == "response_item":
        if kind == "message":
            leaves(payload.get("content"), out)
        elif kind in ("function_call", "custom_tool_call", "local_shell_call"):
            for key in ("arguments", "input", "action"):
                leaves(payload.get(key), out)
        elif kind in ("function_call_output", "custom_tool_call_output"):
            leaves(payload.get("output"), out)
    elif line.get("type") == "event_msg" and kind in ("user_message", "agent_message"):
        leaves(payload.get("message"), out)
    elif line.get("type") == "compacted":
        leaves(payload.get("message"), out)
    return out


def words_of(path, agent):
    words = set()
    with open(path, encoding="utf-8", errors="replace") as f:
        for raw in f:
            try:
                line = json.loads(raw)
            except ValueError:
                continue
            if isinstance(line, dict):
                for text in (codex_texts if agent == "codex" else claude_texts)(line):
                    words.update(w.lower() for w in WORD.findall(ESCAPE.sub("", text))
                                 if len(LETTERS.findall(w)) >= 8)
    return words


def test_search_finds_every_distinctive_word_that_grep_finds(tmp_path):
    files = corpus_files()
    if not files:
        pytest.skip("no corpus of real logs (set SESSIONROWS_CORPUS)")
    logs = {str(p): ("codex" if "codex" in p.parent.name else "claude") for p in files}
    holders = collections.defaultdict(set)
    for path, agent in logs.items():
        for word in words_of(path, agent):
            holders[word].add(path)
    pairs = [(word, path) for word, paths in sorted(holders.items()) if len(paths) <= MOST_LOGS for path in paths]
    opened = commands.open_index(sorted({str(p.parent) for p in files}), str(tmp_path / "index.sqlite"))
    missed = []
    with opened.index:
        for word in sorted({w for w, _ in pairs}):
            result = commands.search_opened(opened, parse(word), Filters(context=True), 1000)
            found = {hit.path for hit in result.hits}
            missed += [(word, path) for path in holders[word] if path not in found]
    share = 1 - len(missed) / len(pairs)
    print("grep parity: %d of %d (word, log) pairs found (%.2f%%)" % (len(pairs) - len(missed), len(pairs),
                                                                      100 * share))
    assert share >= 0.99, missed[:20]
