from typing import Any, Dict, List, Optional, Sequence, Tuple

__all__: List[str]

class RowStream:
    """The rows of read_arrow(): an Arrow stream of record batches with the columns job (int32),
    role, text, timestamp and source (utf8), in job order. It can be consumed once."""

    @property
    def failures(self) -> Dict[int, str]:
        """{job index: message} for the jobs read so far whose file could not be read."""
    def __arrow_c_stream__(self, requested_schema: Optional[Any] = None) -> Any:
        """A PyCapsule named "arrow_array_stream"; the schema is fixed, a requested one is ignored."""
    def __arrow_c_schema__(self) -> Any:
        """A PyCapsule named "arrow_schema" holding the stream's schema."""

def read_arrow(jobs: Sequence[Tuple[str, str]], include_tools: bool = False, *,
               threads: Optional[int] = None) -> RowStream:
    """The rows of many session logs as an Arrow stream, filled on worker threads.

    `jobs` = [(kind, path)] as for extract_many. threads=None uses every available processor;
    threads=1 reads on the consuming thread."""

def _read_arrow_limits(jobs: Sequence[Tuple[str, str]], include_tools: bool, threads: Optional[int],
                       max_column_bytes: int, piece_bytes: int) -> RowStream:
    """Private, for tests: read_arrow with the batch cut and the piece size set."""
