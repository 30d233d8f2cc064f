"""Finding session logs: the default places of each agent, the walk over files and
folders, and the agent a file belongs to.

A file's agent comes from where it lies (below one of the default places that
`agents` lists, under a name its logs have there); a loose file elsewhere is judged
by its first lines. The command line and `sessionrows.dask` both find files here.

The walk itself is native (`_search.walk`, src/walk/): folders are read on the worker
threads, only the files whose names fit are looked at (one stat each), and with what
the index knows handed over as one blob per shard, a file that did not change costs
no Python object at all.
"""

from __future__ import annotations

import json
import os
import stat
from typing import Callable, Iterable, List, NamedTuple, Optional, Sequence, Tuple

from . import _search
from .agents import AGENTS, agent_of_line, agent_of_line_start, agent_of_long_line, takes_name, walk_rule

# How much of a loose file is read to tell its agent; session logs often start with a
# long first line (Codex's session_meta carries the whole system prompt).
HEAD_BYTES = 256 * 1024


class Root(NamedTuple):
    """A default place where an agent keeps its session logs."""

    agent: str
    path: str
    pattern: str  # a shell-style pattern for the file names of its logs


class LogFile(NamedTuple):
    """A file found by the walk. `path` is the file as named or found, made absolute
    (never resolved through links); `agent` is None for a loose file that has not been
    looked into yet."""

    path: str
    size: int
    mtime_ns: int
    inode: int
    agent: Optional[str]


class NotFound(FileNotFoundError):
    """A path that was asked for does not exist."""


def default_roots(environ: Optional[dict] = None) -> List[Root]:
    """Where the assistants keep their logs, whether or not the folders exist."""
    env = os.environ if environ is None else environ
    roots = []
    for a in AGENTS:
        if a.logs_variable and env.get(a.logs_variable):
            roots.append(Root(a.name, env[a.logs_variable], a.places[0][1]))
            continue
        roots.extend(Root(a.name, os.path.join(a.folder(environ), folder), pattern) for folder, pattern in a.places)
    return roots


def agent_from_location(path: str, roots: Sequence[Root]) -> Optional[str]:
    """The agent of the default place that holds `path` under a name its logs have."""
    absolute = os.path.abspath(path)
    name = os.path.basename(absolute)
    for root in roots:
        if absolute.startswith(_base(root)) and takes_name(name, root.pattern):
            return root.agent
    return None


def _base(root: Root) -> str:
    return os.path.abspath(root.path).rstrip(os.sep) + os.sep


def agent_from_head(head: bytes) -> Optional[str]:
    """The agent whose log begins with these bytes, or None if none's does.

    Whole lines are judged, one by one until one decides: by how the assistants begin
    their lines, else as JSON by the keys only one assistant's lines have (agents.py);
    a first line too long for `head` is judged by its bytes."""
    start = 0
    while True:
        end = head.find(b"\n", start)
        if end < 0:
            break
        told = agent_of_line_start(head, start)
        if told:
            return told
        try:
            value = json.loads(head[start:end])
        except ValueError:
            value = None
        start = end + 1
        if isinstance(value, dict):
            told = agent_of_line(value)
            if told:
                return told
    if start == 0 and head:
        return agent_of_long_line(head)
    return None


def detect_agent(path: str, roots: Optional[Sequence[Root]] = None) -> Optional[str]:
    """The agent of a local file: from where it lies, else from its first lines (the
    first 16 KiB, then up to HEAD_BYTES if they do not tell). Raises OSError if the
    file must be read and cannot be."""
    agent = agent_from_location(path, default_roots() if roots is None else roots)
    if agent:
        return agent
    # Opened without blocking and looked at before any read: a FIFO or a device
    # named here must never hold the process up.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with open(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(None, "not a regular file", path)
        head = f.read(16 << 10)
        agent = agent_from_head(head)
        if agent is None and len(head) == 16 << 10:
            agent = agent_from_head(head + f.read(HEAD_BYTES - len(head)))
    return agent


class Changes(NamedTuple):
    """What a walk found, compared with what the index knows.

    `fresh`: the files that are new to the index or whose size, modification time or
    inode changed, in walk order (agent set when the place tells, else None);
    `gone`: known paths that no longer exist; `found`: the files in scope, unchanged
    and fresh; `where`: the absolute roots walked (folders, files, and default places
    that may not exist), every file in scope lying at or below one of them;
    `problems`: (path, message) of what could not be read."""

    fresh: List[LogFile]
    gone: List[str]
    found: int
    where: List[str]
    problems: List[Tuple[str, str]]


def changes(paths: Optional[Iterable[str]], known: Sequence[Optional[bytes]] = (), *,
            roots: Optional[Sequence[Root]] = None, on_error: Optional[Callable[[OSError], None]] = None,
            threads: Optional[int] = None) -> Changes:
    """The session logs below `paths` (files or folders), or in the default places
    when `paths` is None, compared with `known`: bytes per index shard, each a run of
    records `path NUL b"size mtime_ns inode" NUL` (absolute paths as os.fsencode
    gives them). With `known` empty every file is fresh.

    Paths are made absolute (os.path.abspath: never resolved through links). A path
    that does not exist raises NotFound; a folder or file that cannot be read, or a
    path that is no regular file, is passed to `on_error` (an OSError with strerror
    and filename) and kept in `problems`, and nothing known below it is gone. The walk
    runs natively, on `threads` threads (None: every processor)."""
    roots = default_roots() if roots is None else list(roots)
    report = on_error or (lambda e: None)
    walk_roots = []
    near: List[Tuple[str, str, str]] = []   # (base, pattern, agent) of default places that named paths overlap
    if paths is None:
        for root in roots:
            absolute = os.path.abspath(root.path)
            if _exists_but_no_folder(absolute):
                continue
            walk_roots.append((absolute, root.agent, walk_rule(root.pattern)))
    else:
        for path in paths:
            given = os.fsdecode(os.fspath(path))
            absolute = os.path.abspath(given)
            try:
                os.stat(absolute)
            except FileNotFoundError as e:
                raise NotFound(e.errno, "no such file or folder", given) from None
            except OSError as e:
                report(e)
                continue
            walk_roots.append((absolute, "", 0))
            # Only the default places that overlap this path can tell its files' agent.
            folder = absolute.rstrip(os.sep) + os.sep
            near.extend(place for place in ((_base(r), r.pattern, r.agent) for r in roots)
                        if place not in near and (place[0].startswith(folder) or folder.startswith(place[0])))
    fresh, gone, problems, found = _search.walk(
        [(os.fsencode(p), agent, rule) for p, agent, rule in walk_roots], known, threads=threads)
    for path, message in problems:
        report(OSError(None, message, path))
    logs = []
    for path, size, mtime_ns, inode, agent in fresh:
        if not agent:
            agent = _agent_of_place(path, near) if near else None
        logs.append(LogFile(path, size, mtime_ns, inode, agent))
    return Changes(logs, gone, found, [p for p, _, _ in walk_roots], problems)


def _exists_but_no_folder(path: str) -> bool:
    """True if something other than a folder is at `path` (a default place that does
    not exist is walked all the same: what the index knows there is gone)."""
    try:
        return not stat.S_ISDIR(os.stat(path).st_mode)
    except OSError:
        return False   # missing (walked as empty), or unreadable (the walk reports it)


def _agent_of_place(path: str, near: Sequence[Tuple[str, str, str]]) -> Optional[str]:
    """agent_from_location for an absolute path, against prepared (base, pattern, agent)."""
    for base, pattern, agent in near:
        if path.startswith(base) and takes_name(path[path.rfind(os.sep) + 1:], pattern):
            return agent
    return None


def find_logs(paths: Optional[Iterable[str]] = None, *, roots: Optional[Sequence[Root]] = None,
              on_error: Optional[Callable[[OSError], None]] = None) -> List[LogFile]:
    """The session logs below `paths` (files or folders), or in the default places.

    Files in a default place get that place's agent; other files keep agent None, to
    be settled with `detect_agent` (or a cached answer). Paths are absolute. A path
    that does not exist raises NotFound; a folder or file that cannot be read on the
    way, or a named path that is no regular file, is passed to `on_error` and skipped.
    Each file is listed once, in the order found (see `changes` for the rules)."""
    return changes(paths, (), roots=roots, on_error=on_error).fresh


def root_paths(roots: Optional[Sequence[Root]] = None) -> List[str]:
    """The default places, for a message that says where nothing was found."""
    return [root.path for root in (default_roots() if roots is None else roots)]
