"""Finding session logs: the default places of each agent, the walk over files and
folders, and the agent a file belongs to.

A file's agent comes from where it lies (below the Claude projects folder, or below
the Codex sessions or archived sessions folder); a loose file elsewhere is judged by
its first lines. The command line and `sessionrows.dask` both find files here.
"""

from __future__ import annotations

import json
import os
import re
import stat
from dataclasses import dataclass
from typing import Callable, Iterable, Iterator, List, Optional, Sequence

CLAUDE = "claude"
CODEX = "codex"
AGENTS = (CLAUDE, CODEX)

# How much of a loose file is read to tell its agent; session logs often start with a
# long first line (Codex's session_meta carries the whole system prompt).
HEAD_BYTES = 256 * 1024
_CODEX_LINE_TYPES = {"session_meta", "response_item", "event_msg", "turn_context", "compacted"}
_CODEX_MARK = re.compile(rb'"type"\s*:\s*"(?:session_meta|response_item|event_msg|turn_context)"')
# How the assistants begin their lines: a line that begins so needs no JSON parse.
_CODEX_START = re.compile(rb'\{"timestamp":"[^"\\]*","type":"'
                          rb'(?:session_meta|response_item|event_msg|turn_context|compacted)","payload":')
_CLAUDE_START = re.compile(rb'\{"parentUuid":')
_CLAUDE_MARK = re.compile(rb'"(?:sessionId|parentUuid)"\s*:')


@dataclass(frozen=True)
class Root:
    """A default place where an agent keeps its session logs."""

    agent: str
    path: str
    pattern: str  # a shell-style pattern for the file names of its logs


@dataclass(frozen=True)
class LogFile:
    """A file found by the walk. `path` is the file as named or found (not resolved);
    `agent` is None for a loose file that has not been looked into yet."""

    path: str
    size: int
    mtime_ns: int
    inode: int
    agent: Optional[str]


class NotFound(OSError):
    """A path that was asked for does not exist."""


def default_roots(environ: Optional[dict] = None) -> List[Root]:
    """Where Claude Code and Codex keep their logs, whether or not the folders exist."""
    env = os.environ if environ is None else environ
    home = os.path.expanduser("~") if environ is None else env.get("HOME", os.path.expanduser("~"))
    claude_dir = env.get("CLAUDE_CONFIG_DIR") or os.path.join(home, ".claude")
    codex_dir = env.get("CODEX_HOME") or os.path.join(home, ".codex")
    return [
        Root(CLAUDE, os.path.join(claude_dir, "projects"), "*.jsonl"),
        Root(CODEX, os.path.join(codex_dir, "sessions"), "rollout-*.jsonl"),
        Root(CODEX, os.path.join(codex_dir, "archived_sessions"), "rollout-*.jsonl"),
    ]


def agent_from_location(path: str, roots: Sequence[Root]) -> Optional[str]:
    """The agent of the default place that holds `path` under a name its logs have."""
    absolute = os.path.abspath(path)
    name = os.path.basename(absolute)
    for root in roots:
        if absolute.startswith(_base(root)) and _matches(name, root.pattern):
            return root.agent
    return None


def _base(root: Root) -> str:
    return os.path.abspath(root.path).rstrip(os.sep) + os.sep


def agent_from_head(head: bytes) -> Optional[str]:
    """The agent whose log begins with these bytes, or None if neither's does.

    Codex lines carry a "payload" and one of its line types; Claude lines carry a
    "sessionId" or a "message". Whole lines are judged as JSON, one by one until one
    decides; a first line too long for `head` is judged by its bytes."""
    start = 0
    while True:
        end = head.find(b"\n", start)
        if end < 0:
            break
        if _CODEX_START.match(head, start):
            return CODEX
        if _CLAUDE_START.match(head, start):
            return CLAUDE
        try:
            value = json.loads(head[start:end])
        except ValueError:
            value = None
        start = end + 1
        if not isinstance(value, dict):
            continue
        if "payload" in value and value.get("type") in _CODEX_LINE_TYPES:
            return CODEX
        if "sessionId" in value or "message" in value:
            return CLAUDE
    if start == 0 and head:
        if b'"payload"' in head and _CODEX_MARK.search(head):
            return CODEX
        if _CLAUDE_MARK.search(head):
            return CLAUDE
    return None


def detect_agent(path: str, roots: Optional[Sequence[Root]] = None) -> Optional[str]:
    """The agent of a local file: from where it lies, else from its first lines (the
    first 16 KiB, then up to HEAD_BYTES if they do not tell). Raises OSError if the
    file must be read and cannot be."""
    agent = agent_from_location(path, default_roots() if roots is None else roots)
    if agent:
        return agent
    with open(path, "rb") as f:
        head = f.read(16 << 10)
        agent = agent_from_head(head)
        if agent is None and len(head) == 16 << 10:
            agent = agent_from_head(head + f.read(HEAD_BYTES - len(head)))
    return agent


def _matches(name: str, pattern: str) -> bool:
    if pattern == "rollout-*.jsonl":
        return name.startswith("rollout-") and name.endswith(".jsonl")
    return name.endswith(".jsonl")


def _walk(top: str, pattern: str, on_error: Callable[[OSError], None]) -> Iterator[LogFile]:
    """Every file below `top` whose name fits `pattern`, in sorted order, without
    following symbolic links to folders (a link to a file is followed)."""
    try:
        with os.scandir(top) as it:
            entries = sorted(it, key=lambda e: e.name)
    except OSError as e:
        on_error(e)
        return
    folders = []
    for entry in entries:
        try:
            if entry.is_dir(follow_symlinks=False):
                folders.append(entry.path)
                continue
            if not _matches(entry.name, pattern):
                continue
            st = entry.stat()
        except OSError as e:
            on_error(e)
            continue
        if stat.S_ISREG(st.st_mode):
            yield LogFile(entry.path, st.st_size, st.st_mtime_ns, st.st_ino, None)
    for folder in folders:
        yield from _walk(folder, pattern, on_error)


def find_logs(paths: Optional[Iterable[str]] = None, *, roots: Optional[Sequence[Root]] = None,
              on_error: Optional[Callable[[OSError], None]] = None) -> List[LogFile]:
    """The session logs below `paths` (files or folders), or in the default places.

    Files in a default place get that place's agent; other files keep agent None, to
    be settled with `detect_agent` (or a cached answer). A path that does not exist
    raises NotFound; a folder or file that cannot be read on the way is passed to
    `on_error` and skipped. Each file is listed once, in the order found."""
    roots = default_roots() if roots is None else list(roots)
    report = on_error or (lambda e: None)
    found: List[LogFile] = []
    seen = set()

    def add(log: LogFile, agent: Optional[str]) -> None:
        key = (log.inode, log.size, log.mtime_ns)
        if key not in seen:            # a file named twice, or reached twice, is listed once
            seen.add(key)
            found.append(LogFile(log.path, log.size, log.mtime_ns, log.inode, agent))

    if paths is None:
        for root in roots:
            if os.path.isdir(root.path):
                for log in _walk(root.path, root.pattern, report):
                    add(log, root.agent)
        return found

    for path in paths:
        try:
            st = os.stat(path)
        except FileNotFoundError as e:
            raise NotFound(e.errno, "no such file or folder", path) from None
        except OSError as e:
            report(e)
            continue
        if stat.S_ISDIR(st.st_mode):
            # Only the default places that overlap this folder can hold its files.
            folder = os.path.abspath(path).rstrip(os.sep) + os.sep
            near = [r for r in roots if _base(r).startswith(folder) or folder.startswith(_base(r))]
            for log in _walk(path, "*.jsonl", report):
                add(log, agent_from_location(log.path, near) if near else None)
        else:
            add(LogFile(path, st.st_size, st.st_mtime_ns, st.st_ino, None), agent_from_location(path, roots))
    return found


def root_paths(roots: Optional[Sequence[Root]] = None) -> List[str]:
    """The default places, for a message that says where nothing was found."""
    return [root.path for root in (default_roots() if roots is None else roots)]
