"""The search reading of session logs (private to the package)."""

from typing import List, Optional, Sequence, Tuple, Union

# (session_id, cwd, agent_id, custom_title, ai_title, first_prompt, first_ts, last_ts, nrows,
#  ((role, count), ...), digest of all rows, digest of the rows before start_row)
Facts = Tuple[str, str, str, str, str, str, str, str, int, Tuple[Tuple[str, int], ...], int, int]
# (id, role, kind, flags, timestamp, tool, text, index_text)
SearchRow = Tuple[int, str, int, int, str, str, str, Optional[str]]
# (bytes read, XXH64 of them, whether the first `from` are those archived, zstd frame of the rest, error)
Packed = Tuple[int, int, bool, Optional[bytes], Optional[str]]
# None; ("pack", (from, prefix_digest, level)); or ("member", member_path, size)
Archiving = Optional[Tuple]
ReadJob = Union[Tuple[str, Union[str, bytes], int, int], Tuple[str, Union[str, bytes], int, int, Archiving]]

def read(jobs: Sequence[ReadJob], index_texts: bool = False) -> List[Union[str, Tuple]]:
    """Per job (kind, path, first_id, start_row[, archiving]): the error message, or (facts, rows from
    start_row on), with a third item Packed when archiving was asked for."""

def pack(jobs: Sequence[Tuple[Union[str, bytes], int, int]], level: int = 3) -> List[Union[str, Packed]]:
    """Per job (path, from, prefix_digest): the error message, or what was packed."""

def unpack(member: Union[str, bytes], size: int) -> bytes:
    """The bytes of an archived copy; OSError if it cannot be read or is damaged."""

def digest(data: bytes) -> int:
    """XXH64 of bytes."""

def index_text(text: str) -> Optional[str]:
    """What the full-text index gets for `text`, or None when that is the text itself."""

# (path, agent, rule): rule 0 takes *.jsonl, 1 rollout-*.jsonl, 2 session-*.jsonl, 3 events.jsonl;
# agent is handed back with its files
WalkRoot = Tuple[Union[str, bytes], str, int]
# (path, size, mtime_ns, inode, agent)
FreshFile = Tuple[str, int, int, int, str]

def walk(roots: Sequence[WalkRoot], known: Sequence[Optional[bytes]] = (), *,
         threads: Optional[int] = None) -> Tuple[List[FreshFile], List[str], List[Tuple[str, str]], int]:
    """The files below `roots` compared with `known` (per shard, records `path NUL "size mtime_ns inode" NUL`):
    (fresh, gone, problems, found)."""
