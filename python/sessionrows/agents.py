"""The assistants whose logs sessionrows reads, as one list of data: where each keeps
its logs (and the environment variable that moves them), the names its log files
have, how a loose log is told to be one of its logs from its first lines, how a
session of it is resumed, and which native reading reads it (its name).

Discovery, reading, titles, resume lines, the surfaces and transcripts consult this
list; adding an assistant is one entry here plus its native rules (src/scan/).
"""

from __future__ import annotations

import os
import re
import shlex
from typing import Callable, Dict, NamedTuple, Optional, Pattern, Sequence, Tuple

# The names a place's log files have, in the order of the native walk's name rules
# (src/walk/folder_listing.h).
NAME_PATTERNS = ("*.jsonl", "rollout-*.jsonl", "session-*.jsonl", "events.jsonl")


def takes_name(name: str, pattern: str) -> bool:
    """Whether a place whose log files are named `pattern` takes a file of this name."""
    if "*" not in pattern:
        return name == pattern
    head, tail = pattern.split("*", 1)
    return len(name) >= len(head) + len(tail) and name.startswith(head) and name.endswith(tail)


def walk_rule(pattern: str) -> int:
    """The native walk's name rule for a pattern of NAME_PATTERNS."""
    return NAME_PATTERNS.index(pattern)


class Agent(NamedTuple):
    name: str                   # what --agent takes and the native reading's kind
    label: str                  # what a person calls it
    home_variable: str          # the environment variable that moves its folder
    home: str                   # its folder below the home folder, without the variable
    places: Tuple[Tuple[str, str], ...]     # (folder below its own, the pattern of its logs' names there)
    resume: str                 # the command that resumes a session: {id} or {path} in it
    first_line: Callable[[dict], bool]      # a parsed line that only its logs have
    line_start: Optional[Pattern[bytes]] = None     # how its lines begin, tested before a parse
    long_line: Tuple[Pattern[bytes], ...] = ()      # found together in a first line too long to parse
    subagent_folder: str = ""   # where a session's sub-agent logs lie, beside its log ({stem}: its name
                                # without .jsonl, {session}: the session's id)
    subagent_prefix: str = ""   # the start of a sub-agent log's file name, before the sub-agent's id
    logs_variable: str = ""     # a variable that names the folder of its logs itself (its one place)
    variable_is_home: bool = False  # its variable stands for the home folder, its folder lies below it

    def folder(self, environ: Optional[dict] = None) -> str:
        """Its own folder: the variable's value, else its folder below the home folder."""
        env = os.environ if environ is None else environ
        home = os.path.expanduser("~") if environ is None else env.get("HOME", os.path.expanduser("~"))
        if self.variable_is_home:
            return os.path.join(env.get(self.home_variable) or home, self.home)
        return env.get(self.home_variable) or os.path.join(home, self.home)

    def resume_command(self, session_id: str, cwd: str, path: str = "") -> str:
        """The shell command that resumes a session where it ran (empty when the log
        does not say enough to resume it)."""
        if "{id}" in self.resume and not session_id or "{path}" in self.resume and not path:
            return ""
        command = self.resume.format(id=shlex.quote(session_id), path=shlex.quote(path))
        return "cd %s && %s" % (shlex.quote(cwd), command) if cwd else command


_CODEX_TYPES = frozenset({"session_meta", "response_item", "event_msg", "turn_context", "compacted"})
# Codex's older layout (until September 2025): a header without a type, then bare
# response items and {"record_type": "state"} lines.
_CODEX_HEADER_KEYS = frozenset({"id", "timestamp", "instructions", "git", "cwd", "originator", "cli_version"})
_CODEX_BARE_ITEMS = frozenset({"message", "reasoning", "function_call", "function_call_output", "local_shell_call",
                               "custom_tool_call", "custom_tool_call_output", "web_search_call"})
_CODEX_ROLES = frozenset({"user", "assistant", "developer", "system"})


def _codex_line(value: dict) -> bool:
    kind = value.get("type")
    if "payload" in value:
        return kind in _CODEX_TYPES
    if kind is None:
        return (isinstance(value.get("id"), str) and isinstance(value.get("timestamp"), str)
                and value.keys() <= _CODEX_HEADER_KEYS) or value.get("record_type") == "state"
    # A bare item has none of the keys other assistants' lines carry (Claude's
    # sessionId and message, Pi's parentId).
    if kind not in _CODEX_BARE_ITEMS or value.keys() & {"sessionId", "message", "parentId", "uuid"}:
        return False
    return kind != "message" or (value.get("role") in _CODEX_ROLES and isinstance(value.get("content"), list))


def _claude_line(value: dict) -> bool:
    return "sessionId" in value or "message" in value


def _gemini_line(value: dict) -> bool:
    return (isinstance(value.get("sessionId"), str) and isinstance(value.get("projectHash"), str)
            and "type" not in value) or "$set" in value or "$rewindTo" in value


def _copilot_line(value: dict) -> bool:
    kind = value.get("type")
    return isinstance(kind, str) and "." in kind and isinstance(value.get("data"), dict) and "parentId" in value


def _pi_line(value: dict) -> bool:
    kind = value.get("type")
    if kind == "session":
        return isinstance(value.get("id"), str) and isinstance(value.get("cwd"), str)
    return kind == "message" and "parentId" in value and isinstance(value.get("message"), dict) \
        and "uuid" not in value


AGENTS: Tuple[Agent, ...] = (
    Agent("claude", "Claude Code", "CLAUDE_CONFIG_DIR", ".claude", (("projects", "*.jsonl"),),
          "claude --resume {id}", _claude_line, re.compile(rb'\{"parentUuid":'),
          (re.compile(rb'"(?:sessionId|parentUuid)"\s*:'),),
          subagent_folder="{stem}/subagents", subagent_prefix="agent-"),
    Agent("codex", "Codex", "CODEX_HOME", ".codex",
          (("sessions", "rollout-*.jsonl"), ("archived_sessions", "rollout-*.jsonl")),
          "codex resume {id}", _codex_line,
          re.compile(rb'\{"timestamp":"[^"\\]*","type":"'
                     rb'(?:session_meta|response_item|event_msg|turn_context|compacted)","payload":'),
          (re.compile(rb'"payload"'), re.compile(rb'"type"\s*:\s*"(?:session_meta|response_item|event_msg|turn_context)"'))),
    # Gemini CLI keeps a session as tmp/<project>/chats/session-*.jsonl and its sub-agents'
    # chats in chats/<session id>/*.jsonl; $GEMINI_CLI_HOME stands for the home folder.
    Agent("gemini", "Gemini CLI", "GEMINI_CLI_HOME", ".gemini", (("tmp", "*.jsonl"),),
          "gemini --resume {id}", _gemini_line, long_line=(re.compile(rb'"projectHash"\s*:'),),
          subagent_folder="{session}", variable_is_home=True),
    Agent("copilot", "Copilot CLI", "COPILOT_HOME", ".copilot", (("session-state", "events.jsonl"),),
          "copilot --resume={id}", _copilot_line, long_line=(re.compile(rb'"type"\s*:\s*"session\.start"'),)),
    # Pi's sessions lie in a folder per working directory, or all in $PI_CODING_AGENT_SESSION_DIR;
    # `pi --session FILE` opens one (its tools run where Pi is started: hence the cd).
    Agent("pi", "Pi", "PI_CODING_AGENT_DIR", os.path.join(".pi", "agent"), (("sessions", "*.jsonl"),),
          "pi --session {path}", _pi_line, long_line=(re.compile(rb'"type"\s*:\s*"session"'),
                                                        re.compile(rb'"cwd"\s*:')),
          logs_variable="PI_CODING_AGENT_SESSION_DIR"),
)
_BY_NAME: Dict[str, Agent] = {a.name: a for a in AGENTS}
NAMES: Tuple[str, ...] = tuple(a.name for a in AGENTS)
# The order a loose log's lines are tried in: the most particular first (a Gemini
# header names a sessionId, as Claude's lines do; Claude's test is the loosest).
_TRIED = tuple(_BY_NAME[n] for n in ("codex", "copilot", "pi", "gemini", "claude"))


def agent(name: str) -> Agent:
    """The assistant of this name (KeyError for a name that is none of them)."""
    return _BY_NAME[name]


def agent_of_line(value: dict) -> Optional[str]:
    """The assistant whose logs hold this parsed line, if it tells."""
    for a in _TRIED:
        if a.first_line(value):
            return a.name
    return None


def agent_of_line_start(head: bytes, start: int) -> Optional[str]:
    """The assistant whose lines begin as the line at `start` does, if one is told by its first bytes."""
    for a in _TRIED:
        if a.line_start is not None and a.line_start.match(head, start):
            return a.name
    return None


def agent_of_long_line(head: bytes) -> Optional[str]:
    """The assistant whose log begins with a line too long to parse, judged by marks in its bytes."""
    for a in _TRIED:
        if a.long_line and all(mark.search(head) for mark in a.long_line):
            return a.name
    return None


def labels(names: Sequence[str] = NAMES, last: str = "and") -> str:
    """"Claude Code, Codex, Gemini CLI, Copilot CLI and Pi", for messages and help texts."""
    shown = [agent(n).label for n in names]
    return shown[0] if len(shown) == 1 else "%s %s %s" % (", ".join(shown[:-1]), last, shown[-1])


def places_text() -> str:
    """Where each assistant's logs are looked for, for help texts: "Claude Code:
    $CLAUDE_CONFIG_DIR/projects (else ~/.claude/projects); ..."."""
    out = []
    for a in AGENTS:
        folders = " and ".join(folder for folder, _ in a.places)
        if a.variable_is_home:
            out.append("%s: $%s/%s/%s (else ~/%s/...)" % (a.label, a.home_variable, a.home, folders, a.home))
        else:
            out.append("%s: $%s/%s (else ~/%s/...)" % (a.label, a.home_variable, folders, a.home))
    return "; ".join(out)


def resume_command(name: str, session_id: str, cwd: str, path: str = "") -> str:
    """The shell command that resumes a session of the assistant `name` where it ran."""
    found = _BY_NAME.get(name)
    return found.resume_command(session_id, cwd, path) if found is not None else ""
