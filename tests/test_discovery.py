"""Finding logs: the default places, the walk, and the agent of a file from where it
lies or from its first lines."""

import json
import os

import pytest

from sessionrows.discovery import NotFound, agent_from_head, default_roots, detect_agent, find_logs

CODEX_META = {"timestamp": "T", "type": "session_meta", "payload": {"id": "x", "cwd": "/"}}
CLAUDE_USER = {"type": "user", "sessionId": "s", "message": {"role": "user", "content": "hi"}}


def lines(*objs):
    return b"".join(json.dumps(o).encode() + b"\n" for o in objs)


@pytest.mark.parametrize("head, agent", [
    (lines(CODEX_META), "codex"),
    (lines({"type": "event_msg", "payload": {"type": "user_message"}}), "codex"),
    (lines(CLAUDE_USER), "claude"),
    # Claude logs often start with lines of neither kind
    (lines({"type": "file-history-snapshot", "messageId": "m"}, {"type": "summary", "summary": "s"},
           CLAUDE_USER), "claude"),
    # the lines as the assistants write them (compact) are told by how they begin
    (b'{"parentUuid":null,"sessionId":"s"}\n', "claude"),
    (b'{"timestamp":"2026-01-01T00:00:00Z","type":"response_item","payload":{}}\n', "codex"),
    (b'{"timestamp":"T","type":"other","payload":{}}\n', None),
    (lines({"type": "response_item"}), None),                 # a Codex line type without a payload
    (lines({"payload": {}, "type": "other"}), None),
    (lines([1, 2], "text", {"a": 1}) + b"not json\n", None),
    (b"", None),
    # a first line longer than the head: judged by its bytes
    (b'{"timestamp":"T","type":"session_meta","payload":{"instructions":"' + b"x" * 100, "codex"),
    (b'{"parentUuid":null,"sessionId":"s","message":{"content":"' + b"x" * 100, "claude"),
    (b'{"type":"user","other":"' + b"x" * 100, None),
])
def test_agent_from_first_lines(head, agent):
    assert agent_from_head(head) == agent


def test_default_places_follow_the_environment(tmp_path):
    env = {"HOME": "/home/ada"}
    assert [(r.agent, r.path, r.pattern) for r in default_roots(env)] == [
        ("claude", "/home/ada/.claude/projects", "*.jsonl"),
        ("codex", "/home/ada/.codex/sessions", "rollout-*.jsonl"),
        ("codex", "/home/ada/.codex/archived_sessions", "rollout-*.jsonl"),
        ("gemini", "/home/ada/.gemini/tmp", "*.jsonl"),
        ("copilot", "/home/ada/.copilot/session-state", "events.jsonl"),
        ("pi", "/home/ada/.pi/agent/sessions", "*.jsonl")]
    env.update(CLAUDE_CONFIG_DIR="/cfg/claude", CODEX_HOME="/cfg/codex", GEMINI_CLI_HOME="/cfg/gemini",
               COPILOT_HOME="/cfg/copilot", PI_CODING_AGENT_DIR="/cfg/pi")
    assert [r.path for r in default_roots(env)] == [
        "/cfg/claude/projects", "/cfg/codex/sessions", "/cfg/codex/archived_sessions", "/cfg/gemini/.gemini/tmp",
        "/cfg/copilot/session-state", "/cfg/pi/sessions"]
    env.update(PI_CODING_AGENT_SESSION_DIR="/var/pi-sessions")      # Pi's sessions, all in one folder
    assert default_roots(env)[-1] == ("pi", "/var/pi-sessions", "*.jsonl")


@pytest.fixture
def tree(tmp_path):
    """Default places with logs, and a loose folder."""
    files = {
        "claude/projects/p/s1.jsonl": lines(CLAUDE_USER),
        "claude/projects/p/s1/subagents/agent-a.jsonl": lines(CLAUDE_USER),
        "claude/projects/p/notes.txt": b"",
        "codex/sessions/2026/01/02/rollout-1.jsonl": lines(CODEX_META),
        "codex/sessions/2026/01/02/other.jsonl": lines(CODEX_META),     # not a rollout name: not a Codex log
        "codex/archived_sessions/rollout-0.jsonl": lines(CODEX_META),
        "loose/a.jsonl": lines(CODEX_META),
        "loose/b.jsonl": lines(CLAUDE_USER),
        "loose/c.jsonl": b'{"neither": 1}\n',
    }
    for name, data in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(data)
    os.symlink(tmp_path / "loose", tmp_path / "claude" / "projects" / "link")   # links to folders are not followed
    return tmp_path


def test_the_walk_over_default_places_and_given_paths(tree):
    roots = default_roots({"CLAUDE_CONFIG_DIR": str(tree / "claude"), "CODEX_HOME": str(tree / "codex")})
    found = [(os.path.relpath(f.path, tree), f.agent) for f in find_logs(roots=roots)]
    assert found == [("claude/projects/p/s1.jsonl", "claude"),
                     ("claude/projects/p/s1/subagents/agent-a.jsonl", "claude"),
                     ("codex/sessions/2026/01/02/rollout-1.jsonl", "codex"),
                     ("codex/archived_sessions/rollout-0.jsonl", "codex")]
    given = find_logs([str(tree / "loose"), str(tree / "loose" / "a.jsonl"), str(tree / "codex")], roots=roots)
    assert [(os.path.relpath(f.path, tree), f.agent) for f in given] == [
        ("loose/a.jsonl", None), ("loose/b.jsonl", None), ("loose/c.jsonl", None),   # each file once
        ("codex/archived_sessions/rollout-0.jsonl", "codex"), ("codex/sessions/2026/01/02/other.jsonl", None),
        ("codex/sessions/2026/01/02/rollout-1.jsonl", "codex")]
    assert [detect_agent(str(tree / "loose" / (n + ".jsonl")), roots) for n in "abc"] == ["codex", "claude", None]
    log = given[0]
    assert (log.size, log.inode) == (os.path.getsize(log.path), os.stat(log.path).st_ino)
    with pytest.raises(NotFound):
        find_logs([str(tree / "missing")], roots=roots)
