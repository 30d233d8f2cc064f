"""The search reading of session logs (private to the package)."""

from typing import List, Optional, Sequence, Tuple, Union

# (session_id, cwd, agent_id, custom_title, ai_title, first_prompt, first_ts, last_ts, nrows,
#  ((role, count), ...), digest of all rows, digest of the rows before start_row)
Facts = Tuple[str, str, str, str, str, str, str, str, int, Tuple[Tuple[str, int], ...], int, int]
# (id, role, kind, flags, timestamp, tool, text, index_text)
SearchRow = Tuple[int, str, int, int, str, str, str, Optional[str]]
ReadJob = Tuple[str, Union[str, bytes], int, int]

def read(jobs: Sequence[ReadJob], index_texts: bool = False) -> List[Union[str, Tuple[Facts, List[SearchRow]]]]:
    """Per job (kind, path, first_id, start_row): the error message, or (facts, rows from start_row on)."""

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
