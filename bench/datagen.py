"""Benchmark data: session logs replicated to a given volume, from real or made-up sessions.

Source sessions are the real logs of the shared corpus (``claude/`` and ``codex/``
under ``$SESSIONROWS_CORPUS`` or ``../shared/corpus`` from the repository root) or,
without it, sessions made up here with a similar mix of line kinds.  From them a
data folder is laid out:

    DIR/set/claude/NNNNN.jsonl   many files of realistic sizes, in all >= set_bytes
    DIR/set/codex/NNNNN.jsonl
    DIR/set/gemini/NNNNN.jsonl   the other assistants' real logs (from the corpus only), whole
    DIR/set/copilot/...          sessions one after another in each file, a quarter of set_bytes
    DIR/set/pi/...
    DIR/big/claude/10MB.jsonl    single large files made by concatenating sessions
    DIR/big/codex/...
    DIR/manifest.json            written last; a folder whose manifest matches is reused

The set is cut from the sessions' lines laid end to end (in a new order each round)
into files of log-normal sizes, at line boundaries: every kind of line keeps the share
of bytes it has in the sources. The large files are whole sessions, concatenated.

Run as a script to write a few made-up sessions for a look at their line mix:
    python bench/datagen.py --sample /tmp/synth && python3 ../shared/corpus/linestats.py /tmp/synth
"""

import argparse
import base64
import hashlib
import json
import math
import os
import pathlib
import random
import shutil
import sys

FORMATS = ("claude", "codex")
# The other assistants, replicated from the corpus when it has them: their sessions
# stay whole (Gemini's log restates itself, Pi's is a tree), one after another.
MORE_FORMATS = ("gemini", "copilot", "pi")
GENERATOR_VERSION = 4
MiB = 1 << 20
SYNTHETIC_BYTES = 24 * MiB  # made-up source sessions per format, before replication
REPO = pathlib.Path(__file__).resolve().parent.parent


def corpus_dir(explicit=None):
    """The shared corpus folder, or None when it is not there."""
    env = explicit or os.environ.get("SESSIONROWS_CORPUS")
    cands = [pathlib.Path(env)] if env else [REPO.parent / "shared" / "corpus"]
    for c in cands:
        if all((c / f).is_dir() and any((c / f).glob("*.jsonl")) for f in FORMATS):
            return c
    return None


# ---------------------------------------------------------------------------
# Made-up sessions

_WORDS = ("the a to of and in is for that with on this it be as are from by at or not "
          "file line test error value return self def class import if else for while try "
          "except None True False print len range str int dict list async await const let "
          "function => {} [] () == != <= >= += -> :: && || /usr/lib src/ tests/ main.py "
          "index.ts README.md config.json npm pytest cargo build run check fix update add "
          "remove refactor session token cache request response handler user assistant "
          "tool result output input message content path module package version").split()
_ODD = ['"quoted"', "'single'", "C:\\\\path\\\\dir", "tab\there", "naïve", "café", "→", "○", "●",
        "·", "—", "✓", "日本語", "ü", "€", "<tag>", "&amp;", "${VAR}", "\\n", "0x1F", "3.14", "-42"]


class TextPool:
    """A few MB of code-like text with line breaks, quotes, tabs and some non-ASCII;
    texts are slices of it, so making gigabytes costs no per-word work."""

    def __init__(self, rng, size=3 * MiB):
        out, n = [], 0
        while n < size:
            k = rng.randint(2, 14)
            words = [rng.choice(_ODD) if rng.random() < 0.04 else rng.choice(_WORDS) for _ in range(k)]
            line = "    " * rng.randint(0, 3) + " ".join(words)
            out.append(line)
            n += len(line) + 1
        self.text = "\n".join(out)

    def take(self, rng, n):
        n = max(1, min(int(n), len(self.text) - 1))
        at = rng.randrange(len(self.text) - n)
        return self.text[at:at + n]


def _lognormal(rng, median, sigma, lo, hi):
    return min(hi, max(lo, rng.lognormvariate(math.log(median), sigma)))


def _hexid(rng, n=32):
    return "%0*x" % (n, rng.getrandbits(4 * n))


def _uuid(rng):
    h = _hexid(rng)
    return "-".join((h[:8], h[8:12], h[12:16], h[16:20], h[20:]))


class Clock:
    def __init__(self, rng):
        self.rng = rng
        self.t = rng.randint(1_735_000_000, 1_770_000_000) * 1000

    def tick(self, most_ms=4000):
        self.t += self.rng.randint(5, most_ms)
        s, ms = divmod(self.t, 1000)
        d, s = divmod(s, 86400)
        h, s = divmod(s, 3600)
        y, doy = 2025 + d // 365, d % 365
        return "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ" % (y, 1 + doy // 31 % 12, 1 + doy % 28, h, s // 60, s % 60, ms)


def _line(obj):
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))


def _tool_result_size(rng):
    # Most tool results are short; about one in six is a file or log dump of 10-200 KB.
    if rng.random() < 0.11:
        return math.exp(rng.uniform(math.log(10_000), math.log(200_000)))
    return _lognormal(rng, 900, 1.1, 20, 9_000)


def claude_session(rng, pool, turns):
    sid, cwd = _uuid(rng), "/home/user/projects/" + rng.choice(("api", "web", "cli", "infra")) + str(rng.randint(1, 99))
    clock = Clock(rng)
    base = {"parentUuid": None, "isSidechain": False, "userType": "external", "cwd": cwd, "sessionId": sid,
            "version": "2.1.%d" % rng.randint(1, 60), "gitBranch": rng.choice(("main", "dev", "fix-cache"))}
    lines, parent = [], [None]

    def entry(kind, **fields):
        d = dict(base)
        d["parentUuid"] = parent[0]
        d["type"] = kind
        d.update(fields)
        d["uuid"] = _uuid(rng)
        d["timestamp"] = clock.tick()
        parent[0] = d["uuid"]
        lines.append(_line(d))

    def progress(kind, data):
        tid = "toolu_" + _hexid(rng, 24)
        entry("progress", data=dict(data, type=kind), parentToolUseID=tid, toolUseID=tid)

    def usage():
        return {"input_tokens": rng.randint(1, 9), "cache_creation_input_tokens": rng.randint(0, 40000),
                "cache_read_input_tokens": rng.randint(0, 200000),
                "cache_creation": {"ephemeral_5m_input_tokens": rng.randint(0, 40000), "ephemeral_1h_input_tokens": 0},
                "output_tokens": rng.randint(1, 3000), "service_tier": "standard"}

    def assistant(block, msg_id):
        msg = {"model": "claude-opus-4-6", "id": msg_id, "type": "message", "role": "assistant",
               "content": [block], "stop_reason": None, "stop_sequence": None, "usage": usage()}
        entry("assistant", message=msg, requestId="req_" + _hexid(rng, 24))

    for _ in range(2):
        progress("hook_progress", {"hookEvent": "SessionStart", "hookName": "SessionStart:startup",
                                   "command": "~/.claude/hooks/notify.sh clear"})
    for turn in range(turns):
        mid = _uuid(rng)
        lines.append(_line({"type": "file-history-snapshot", "messageId": mid,
                            "snapshot": {"messageId": mid, "trackedFileBackups": {}, "timestamp": clock.tick()},
                            "isSnapshotUpdate": False}))
        if rng.random() < 0.1:
            entry("user", message={"role": "user", "content": "<command-name>/clear</command-name>"}, isMeta=True)
        entry("user", message={"role": "user", "content": pool.take(rng, _lognormal(rng, 300, 1.0, 10, 12000))},
              thinkingMetadata={"maxThinkingTokens": 31999}, todos=[], permissionMode="default")
        for step in range(rng.randint(1, 12)):
            msg_id = "msg_01" + _hexid(rng, 22)
            if rng.random() < 0.35:
                assistant({"type": "thinking", "thinking": pool.take(rng, _lognormal(rng, 900, 1.0, 20, 20000)),
                           "signature": base64.b64encode(rng.randbytes(rng.randint(200, 700))).decode()}, msg_id)
            if rng.random() < 0.3:
                assistant({"type": "text", "text": pool.take(rng, _lognormal(rng, 250, 1.2, 2, 12000))}, msg_id)
            tool = rng.choice(("Bash", "Bash", "Read", "Read", "Grep", "Edit", "Edit", "Write", "Glob", "Task"))
            if tool == "Write":
                inp = {"file_path": cwd + "/src/" + rng.choice(_WORDS) + ".py",
                       "content": pool.take(rng, _lognormal(rng, 1500, 1.0, 20, 20000))}
            elif tool == "Edit":
                inp = {"file_path": cwd + "/src/" + rng.choice(_WORDS) + ".py",
                       "old_string": pool.take(rng, _lognormal(rng, 400, 1.0, 5, 8000)),
                       "new_string": pool.take(rng, _lognormal(rng, 500, 1.0, 5, 8000))}
            elif tool == "Bash":
                inp = {"command": pool.take(rng, rng.randint(10, 120)).replace("\n", " "),
                       "description": pool.take(rng, rng.randint(10, 60)).replace("\n", " ")}
            else:
                inp = {"file_path" if tool == "Read" else "pattern": cwd + "/" + rng.choice(_WORDS)}
            tid = "toolu_01" + _hexid(rng, 22)
            assistant({"type": "tool_use", "id": tid, "name": tool, "input": inp}, msg_id)
            progress("hook_progress", {"hookEvent": "PreToolUse", "hookName": "PreToolUse:" + tool,
                                       "command": "~/.claude/hooks/guard.sh"})
            if tool == "Bash" and rng.random() < 0.5:
                for _ in range(rng.randint(1, 4)):
                    progress("bash_progress", {"output": pool.take(rng, rng.randint(20, 1500)),
                                               "fullOutput": pool.take(rng, rng.randint(20, 3000)),
                                               "elapsedTimeSeconds": rng.randint(1, 90), "totalLines": rng.randint(1, 900)})
            if tool == "Task":  # a sub-agent's turns, nested in progress lines
                for _ in range(rng.randint(1, 5)):
                    inner = {"type": rng.choice(("user", "assistant")),
                             "message": {"role": "assistant", "content": [
                                 {"type": "text", "text": pool.take(rng, _lognormal(rng, 400, 1.0, 10, 8000))}]},
                             "uuid": _uuid(rng), "timestamp": clock.tick()}
                    progress("agent_progress", {"message": inner, "prompt": pool.take(rng, 200),
                                                "agentId": _hexid(rng, 7)})
            progress("hook_progress", {"hookEvent": "PostToolUse", "hookName": "PostToolUse:" + tool,
                                       "command": "~/.claude/hooks/format.sh"})
            body = pool.take(rng, _tool_result_size(rng))
            content = body if rng.random() < 0.7 else [{"type": "text", "text": body}]
            result = {"tool_use_id": tid, "type": "tool_result", "content": content}
            if rng.random() < 0.05:
                result["is_error"] = True
            extra = {}
            if rng.random() < 0.5 and len(body) < 60_000:  # Claude Code keeps a structured copy of the result
                extra["toolUseResult"] = ({"stdout": body, "stderr": "", "interrupted": False, "isImage": False}
                                          if tool == "Bash" else
                                          {"type": "text", "file": {"filePath": inp.get("file_path", cwd),
                                                                    "content": body[: len(body) // 2],
                                                                    "numLines": body.count("\n") + 1}})
            entry("user", message={"role": "user", "content": [result]}, **extra)
        assistant({"type": "text", "text": pool.take(rng, _lognormal(rng, 600, 1.0, 10, 15000))},
                  "msg_01" + _hexid(rng, 22))
        entry("system", subtype="stop_hook_summary", hookCount=2,
              hookInfos=[{"command": "~/.claude/hooks/notify.sh mark"}], hookErrors=[],
              preventedContinuation=False, stopReason="", hasOutput=True, level="suggestion")
    if rng.random() < 0.3:
        lines.append(_line({"type": "summary", "summary": pool.take(rng, 60).replace("\n", " "),
                            "leafUuid": _uuid(rng)}))
    return ("\n".join(lines) + "\n").encode("utf-8")


def codex_session(rng, pool, turns):
    sid, cwd = _uuid(rng), "/Users/dev/src/" + rng.choice(("api", "web", "cli", "infra")) + str(rng.randint(1, 99))
    clock = Clock(rng)
    lines = []

    def rec(kind, payload, ms=3000):
        lines.append(_line({"timestamp": clock.tick(ms), "type": kind, "payload": payload}))

    def text_blocks(kind, n):
        return [{"type": kind, "text": pool.take(rng, n)}]

    rec("session_meta", {"id": sid, "timestamp": clock.tick(), "cwd": cwd, "originator": "codex_cli_rs",
                         "cli_version": "0.%d.0" % rng.randint(40, 130), "source": "cli", "model_provider": "openai",
                         "base_instructions": {"text": pool.take(rng, _lognormal(rng, 2500, 1.2, 200, 25000))},
                         "git": {"commit_hash": _hexid(rng, 40), "branch": "main",
                                 "repository_url": "git@example.com:dev/repo.git"}})
    rec("response_item", {"type": "message", "role": "developer",
                          "content": text_blocks("input_text", _lognormal(rng, 1500, 1.0, 50, 9000))})
    def turn_context():
        rec("turn_context", {"turn_id": turn_id, "cwd": cwd, "approval_policy": "on-request",
                             "sandbox_policy": {"type": "workspace-write", "writable_roots": [cwd],
                                                "network_access": False, "exclude_tmpdir_env_var": False,
                                                "exclude_slash_tmp": False},
                             "model": "gpt-5-codex", "effort": "high", "summary": "auto",
                             "user_instructions": pool.take(rng, 250), "truncation_policy": {"mode": "tokens", "limit": 10000}})

    for turn in range(turns):
        turn_id = _uuid(rng)
        turn_context()
        rec("event_msg", {"type": "task_started", "turn_id": turn_id, "model_context_window": 258400})
        prompt = pool.take(rng, _lognormal(rng, 250, 1.2, 5, 20000))
        rec("response_item", {"type": "message", "role": "user", "content": text_blocks("input_text", len(prompt))})
        rec("event_msg", {"type": "user_message", "message": prompt, "images": [], "local_images": [], "text_elements": []})
        for step in range(rng.randint(1, 14)):
            if step and rng.random() < 0.5:
                turn_context()
            summary = pool.take(rng, rng.randint(20, 200))
            rec("event_msg", {"type": "agent_reasoning", "text": summary})
            rec("response_item", {"type": "reasoning", "summary": [{"type": "summary_text", "text": summary}],
                                  "content": None, "encrypted_content": base64.b64encode(
                                      rng.randbytes(int(_lognormal(rng, 800, 0.8, 200, 30000)))).decode()})
            call_id = "call_" + _hexid(rng, 24)
            custom = rng.random() < 0.1
            if custom:
                rec("response_item", {"type": "custom_tool_call", "status": "completed", "call_id": call_id,
                                      "name": "apply_patch", "input": pool.take(rng, _lognormal(rng, 800, 1.0, 40, 9000))})
            else:
                args = {"cmd": ["bash", "-lc", pool.take(rng, rng.randint(10, 200))], "workdir": cwd}
                rec("response_item", {"type": "function_call", "name": "shell", "arguments": json.dumps(args),
                                      "call_id": call_id})
            out = pool.take(rng, _lognormal(rng, 700, 1.4, 10, 60000))
            if rng.random() < 0.1:
                rec("event_msg", {"type": "exec_command_end", "call_id": call_id, "turn_id": turn_id,
                                  "command": ["bash", "-lc", "ls"], "cwd": cwd, "stdout": "", "stderr": "",
                                  "aggregated_output": out, "exit_code": 0, "duration": {"secs": 0, "nanos": rng.randint(1, 10**9)},
                                  "formatted_output": out[:2000]})
            rec("response_item", {"type": "custom_tool_call_output" if custom else "function_call_output",
                                  "call_id": call_id, "output": json.dumps({"output": out, "metadata": {
                                      "exit_code": 0, "duration_seconds": round(rng.random() * 3, 1)}})})
            for _ in range(rng.choice((0, 1, 1, 2))):
                rec("event_msg", {"type": "token_count", "info": {
                    "total_token_usage": {"input_tokens": rng.randint(1, 10**6), "cached_input_tokens": rng.randint(1, 10**6),
                                          "output_tokens": rng.randint(1, 10**5), "reasoning_output_tokens": rng.randint(1, 10**5),
                                          "total_tokens": rng.randint(1, 10**6)},
                    "last_token_usage": {"input_tokens": rng.randint(1, 10**5), "cached_input_tokens": rng.randint(1, 10**5),
                                         "output_tokens": rng.randint(1, 10**4), "reasoning_output_tokens": rng.randint(1, 10**4),
                                         "total_tokens": rng.randint(1, 10**5)},
                    "model_context_window": 258400},
                    "rate_limits": {"primary": {"used_percent": float(rng.randint(0, 100)), "window_minutes": 300,
                                                "resets_at": rng.randint(1, 10**9)},
                                    "secondary": {"used_percent": float(rng.randint(0, 100)), "window_minutes": 10080,
                                                  "resets_at": rng.randint(1, 10**9)}}})
            if rng.random() < 0.25:
                said = pool.take(rng, _lognormal(rng, 150, 1.0, 5, 4000))
                rec("event_msg", {"type": "agent_message", "message": said})
                rec("response_item", {"type": "message", "role": "assistant", "content": text_blocks("output_text", len(said))})
        said = pool.take(rng, _lognormal(rng, 500, 1.0, 10, 8000))
        rec("event_msg", {"type": "agent_message", "message": said})
        rec("response_item", {"type": "message", "role": "assistant", "content": text_blocks("output_text", len(said))})
        rec("event_msg", {"type": "task_complete", "turn_id": turn_id, "last_agent_message": said[:200]})
    return ("\n".join(lines) + "\n").encode("utf-8")


def synthetic_sessions(fmt, total_bytes, seed=1):
    """Made-up sessions of one format, about total_bytes in all."""
    rng = random.Random("%s-%d" % (fmt, seed))
    pool = TextPool(rng)
    make = claude_session if fmt == "claude" else codex_session
    out, n = [], 0
    while n < total_bytes:
        s = make(rng, pool, turns=int(_lognormal(rng, 3, 0.9, 1, 40)))
        out.append(s)
        n += len(s)
    return out


# ---------------------------------------------------------------------------
# Replication into a data folder

def _line_stream(rng, sessions):
    """The lines of all sessions laid end to end, in a new order each round."""
    order = list(sessions)
    while True:
        rng.shuffle(order)
        for s in order:
            yield from s.splitlines(keepends=True)


def _set_file(lines, target):
    """The next lines of the stream, up to the one that reaches `target` bytes."""
    parts, n = [], 0
    for line in lines:
        parts.append(line)
        n += len(line)
        if n >= target:
            break
    return b"".join(parts)


def _sources_signature(sessions):
    h = hashlib.sha256()
    for s in sessions:
        h.update(hashlib.sha256(s).digest())
    return h.hexdigest()[:16]


def plan(quick):
    """Sizes of the data: (bytes of the set per format, large single-file sizes)."""
    if quick:
        return 64 * MiB, [("4MB", 4 * MiB), ("16MB", 16 * MiB), ("64MB", 64 * MiB)]
    return 1024 * MiB, [("10MB", 10 * MiB), ("100MB", 100 * MiB), ("1GB", 1024 * MiB)]


def load_sources(corpus=None, synthetic=False):
    """(kind of source, {format: [session bytes]})."""
    root = None if synthetic else corpus_dir(corpus)
    if root is None:
        return "synthetic", {f: synthetic_sessions(f, SYNTHETIC_BYTES) for f in FORMATS}
    return "corpus:" + str(root), {f: [p.read_bytes() for p in sorted((root / f).glob("*.jsonl"))] for f in FORMATS}


def more_sessions(corpus=None):
    """{format: [session bytes]} of the other assistants' real logs in the corpus."""
    root = corpus_dir(corpus)
    if root is None:
        return {}
    return {f: [p.read_bytes() for p in sorted((root / f).glob("*.jsonl"))] for f in MORE_FORMATS
            if (root / f).is_dir() and any((root / f).glob("*.jsonl"))}


def ensure(data_dir, quick=False, corpus=None, synthetic=False, log=print):
    """Builds the data folder (or reuses it) and returns its manifest."""
    data_dir = pathlib.Path(data_dir)
    source, sessions = load_sources(corpus, synthetic)
    set_bytes, bigs = plan(quick)
    want = {"generator": GENERATOR_VERSION, "source": source, "set_bytes": set_bytes,
            "big": [list(b) for b in bigs],
            "sources": {f: _sources_signature(sessions[f]) for f in FORMATS},
            "more": {f: _sources_signature(v) for f, v in (more_sessions(corpus) if not synthetic else {}).items()}}
    mf = data_dir / "manifest.json"
    if mf.is_file():
        have = json.loads(mf.read_text())
        if {k: have.get(k) for k in want} == want:
            return have
    need = 2 * (set_bytes + sum(b for _, b in bigs)) * 1.1
    if data_dir.exists():
        shutil.rmtree(data_dir)
    data_dir.mkdir(parents=True)
    free = shutil.disk_usage(data_dir).free
    if free < need:
        raise SystemExit("not enough disk for the data in %s: %.1f GB free, %.1f GB needed"
                         % (data_dir, free / 1e9, need / 1e9))
    log("building data in %s from %s (%.1f GB)" % (data_dir, source.split(":")[0], need / 1.1 / 1e9))
    manifest = dict(want, files={})
    more = more_sessions(corpus) if not synthetic else {}
    for fmt, found in more.items():
        rng = random.Random("replicate-" + fmt)
        d = data_dir / "set" / fmt
        d.mkdir(parents=True)
        n, i = 0, 0
        while n < set_bytes // 4:
            target, parts = _lognormal(rng, 150_000, 1.3, 2_000, 12 * MiB), []
            while sum(map(len, parts)) < target:
                parts.append(rng.choice(found))
            data = b"".join(parts)
            (d / ("%05d.jsonl" % i)).write_bytes(data)
            n += len(data)
            i += 1
        manifest["files"]["set/" + fmt] = {"files": i, "bytes": n}
    for fmt in FORMATS:
        rng = random.Random("replicate-" + fmt)
        d = data_dir / "set" / fmt
        d.mkdir(parents=True)
        n, i = 0, 0
        lines = _line_stream(rng, sessions[fmt])
        while n < set_bytes:
            # median 150 KB, mean about 350 KB: some thousands of files per GB
            data = _set_file(lines, _lognormal(rng, 150_000, 1.3, 2_000, 12 * MiB))
            (d / ("%05d.jsonl" % i)).write_bytes(data)
            n += len(data)
            i += 1
        manifest["files"]["set/" + fmt] = {"files": i, "bytes": n}
        d = data_dir / "big" / fmt
        d.mkdir(parents=True)
        for name, size in bigs:
            order = list(sessions[fmt])
            n = 0
            with open(d / (name + ".jsonl"), "wb") as f:
                while n < size:
                    rng.shuffle(order)
                    for s in order:
                        f.write(s)
                        n += len(s)
                        if n >= size:
                            break
            manifest["files"]["big/%s/%s" % (fmt, name)] = {"files": 1, "bytes": n}
    mf.write_text(json.dumps(manifest, indent=1))
    return manifest


def main(argv=None):
    ap = argparse.ArgumentParser(description="Write made-up session logs (DIR/claude, DIR/codex).")
    ap.add_argument("--sample", required=True, metavar="DIR")
    ap.add_argument("--mb", type=float, default=16, help="MB per format (default 16)")
    a = ap.parse_args(argv)
    for fmt in FORMATS:
        d = pathlib.Path(a.sample) / fmt
        d.mkdir(parents=True, exist_ok=True)
        for i, s in enumerate(synthetic_sessions(fmt, a.mb * 1e6)):
            (d / ("synthetic-%03d.jsonl" % i)).write_bytes(s)
    return 0


if __name__ == "__main__":
    sys.exit(main())
