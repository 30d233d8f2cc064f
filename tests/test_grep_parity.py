"""A search finds what grep finds: distinctive words drawn from the content of each
real log of every assistant (what was said, tool calls and results, compact
summaries, thinking, the names of sessions), read here with json.loads and nothing
of the package, lead the search to that log. Codex's older log layout is covered
by each Codex log written again in that layout."""

import collections
import json
import re

import pytest

from conftest import corpus_files
from sessionrows import commands
from sessionrows.discovery import detect_agent
from sessionrows.index import Filters
from sessionrows.query import parse

# A word: a run of letters and digits, as a person would type it whole, with eight
# letters or more (words are compared in lower case).
WORD = re.compile(r"[^\W_]{8,}")
LETTERS = re.compile(r"[^\W\d_]")
# Terminal escape sequences: a person reads the text they colour, not their codes.
ESCAPE = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)?|\x1b[@-Z\\-_]")
MOST_LOGS = 3           # a word in more logs than this is not distinctive
# Opaque values: signatures, encrypted reasoning, images, ids.
OPAQUE = {"signature", "encrypted_content", "encryptedContent", "reasoningOpaque", "thinkingSignature",
          "textSignature", "data", "id", "uuid", "parentUuid", "toolCallId", "call_id", "tool_use_id"}


def is_image(value):
    """An image block (its base64 data is no text anyone searches)."""
    return isinstance(value, dict) and (value.get("type") in ("image", "input_image") or
                                        str(value.get("image_url", "")).startswith("data:"))


def leaves(value, out):
    """Every string inside a JSON value (a string that holds JSON: its strings),
    images and opaque values left out."""
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
        for k, v in value.items():
            if k not in OPAQUE:
                leaves(v, out)
    elif isinstance(value, list):
        for v in value:
            leaves(v, out)
    return out


def claude_texts(line):
    kind = line.get("type")
    if kind == "custom-title":
        return [line.get("customTitle") or ""]
    if kind == "ai-title":
        return [line.get("title") or line.get("aiTitle") or ""]
    if kind not in ("user", "assistant"):
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
        elif kind == "thinking":
            out.append(block.get("thinking") or "")
        elif kind == "tool_use":
            leaves(block.get("input"), out)
        elif kind == "tool_result":
            leaves(block.get("content"), out)
    return out


def codex_payload_texts(payload, envelope):
    kind, out = payload.get("type"), []
    if envelope in ("response_item", None):
        if kind == "message":
            leaves(payload.get("content"), out)
        elif kind in ("function_call", "custom_tool_call", "local_shell_call"):
            for key in ("arguments", "input", "action"):
                leaves(payload.get(key), out)
        elif kind in ("function_call_output", "custom_tool_call_output"):
            leaves(payload.get("output"), out)
        elif kind == "reasoning":
            out.extend(str(part.get("text") or "") for part in payload.get("summary") or [] if isinstance(part, dict))
    elif envelope == "event_msg" and kind in ("user_message", "agent_message", "agent_reasoning"):
        leaves(payload.get("message") if kind != "agent_reasoning" else payload.get("text"), out)
    elif envelope == "compacted":
        leaves(payload.get("message"), out)
    return out


def codex_texts(line):
    payload = line.get("payload")
    return codex_payload_texts(payload, line.get("type")) if isinstance(payload, dict) else []


def gemini_message_texts(m):
    if not isinstance(m, dict) or m.get("type") not in ("user", "gemini"):
        return []
    out = []
    content = m.get("content")
    if isinstance(content, str):
        out.append(content)
    for part in content if isinstance(content, list) else []:
        if isinstance(part, dict):
            out.append(str(part.get("text") or ""))
    for call in m.get("toolCalls") or []:
        if isinstance(call, dict):
            leaves(call.get("args"), out)
            leaves(call.get("result"), out)
    for thought in m.get("thoughts") or []:
        if isinstance(thought, dict):
            out += [str(thought.get("subject") or ""), str(thought.get("description") or "")]
    return out


def gemini_texts(line):
    if "$set" in line and isinstance(line["$set"], dict):
        update = line["$set"]
        out = [str(update.get("summary") or "")]
        for m in update.get("messages") or []:
            out += gemini_message_texts(m)
        return out
    return gemini_message_texts(line)


def copilot_texts(line):
    kind, data = line.get("type"), line.get("data")
    if not isinstance(data, dict):
        return []
    out = []
    if kind == "user.message":
        out.append(str(data.get("content") or ""))
    elif kind == "assistant.message":
        out += [str(data.get("content") or ""), str(data.get("reasoningText") or "")]
        for request in data.get("toolRequests") or []:
            if isinstance(request, dict):
                leaves(request.get("arguments"), out)
    elif kind == "tool.execution_complete":
        leaves(data.get("result"), out)
    elif kind == "session.compaction_complete":
        out.append(str(data.get("summaryContent") or ""))
    return out


def pi_texts(line):
    kind = line.get("type")
    if kind == "compaction":
        return [str(line.get("summary") or "")]
    if kind == "session_info":
        return [str(line.get("name") or "")]
    if kind != "message":
        return []
    content = (line.get("message") or {}).get("content")
    if isinstance(content, str):
        return [content]
    out = []
    for part in content if isinstance(content, list) else []:
        if not isinstance(part, dict):
            continue
        if part.get("type") == "text":
            out.append(str(part.get("text") or ""))
        elif part.get("type") == "thinking":
            out.append(str(part.get("thinking") or ""))
        elif part.get("type") == "toolCall":
            leaves(part.get("arguments"), out)
    return out


TEXTS = {"claude": claude_texts, "codex": codex_texts, "gemini": gemini_texts, "copilot": copilot_texts,
         "pi": pi_texts}


def lines_of(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        for raw in f:
            try:
                line = json.loads(raw)
            except ValueError:
                continue
            if isinstance(line, dict):
                yield line


def words_of(texts):
    return {w.lower() for text in texts for w in WORD.findall(ESCAPE.sub("", text)) if len(LETTERS.findall(w)) >= 8}


def older_codex_layout(path, out):
    """A Codex log written again as Codex wrote its logs before mid-2025: a first line
    with the session's id and instructions, then its response items bare; returns
    the texts of its content (the response items')."""
    lines = list(lines_of(path))
    meta = next((l["payload"] for l in lines if l.get("type") == "session_meta"), {})
    items = [l["payload"] for l in lines if l.get("type") == "response_item" and isinstance(l.get("payload"), dict)]
    with open(out, "w", encoding="utf-8") as f:
        f.write(json.dumps({"id": meta.get("id", "s"), "timestamp": meta.get("timestamp", ""),
                            "instructions": meta.get("instructions") or ""}) + "\n")
        for item in items:
            f.write(json.dumps(item) + "\n")
            f.write(json.dumps({"record_type": "state"}) + "\n")
    return [t for item in items for t in codex_payload_texts(item, None)]


def test_search_finds_every_distinctive_word_that_grep_finds(tmp_path):
    files = corpus_files()
    if not files:
        pytest.skip("no corpus of real logs (set SESSIONROWS_CORPUS)")
    logs = {str(p): p.parent.name for p in files if p.parent.name in TEXTS}
    assert {detect_agent(path) for path in logs} <= set(TEXTS)
    assert [path for path, agent in logs.items() if detect_agent(path) != agent] == []   # loose logs told apart
    texts = {path: [t for line in lines_of(path) for t in TEXTS[agent](line)] for path, agent in logs.items()}
    older = tmp_path / "older"
    older.mkdir()
    for path, agent in list(logs.items()):
        if agent == "codex":
            copy = str(older / ("rollout-older-" + path.rsplit("/", 1)[1]))
            texts[copy] = older_codex_layout(path, copy)
            logs[copy] = "codex"
    holders = collections.defaultdict(set)
    for path, found in texts.items():
        for word in words_of(found):
            holders[word].add(path)
    pairs = [(word, path) for word, paths in sorted(holders.items()) if len(paths) <= MOST_LOGS for path in paths]
    opened = commands.open_index(sorted({str(p.parent) for p in files} | {str(older)}), str(tmp_path / "ix.sqlite"))
    missed = []
    with opened.index:
        for word in sorted({w for w, _ in pairs}):
            result = commands.search_opened(opened, parse(word), Filters(context=True), 1000)
            found = {hit.path for hit in result.hits}
            missed += [(word, path) for path in holders[word] if path not in found]
    by_agent = collections.Counter(logs[p] for _, p in pairs)
    lost = collections.Counter(logs[p] for _, p in missed)
    for agent in sorted(by_agent):
        print("grep parity, %s: %d of %d (word, log) pairs found" % (agent, by_agent[agent] - lost[agent],
                                                                    by_agent[agent]))
    for agent in by_agent:
        assert 1 - lost[agent] / by_agent[agent] >= 0.99, (agent, [m for m in missed if logs[m[1]] == agent][:20])
