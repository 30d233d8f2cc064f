from typing import List, Sequence, Tuple

__version__: str
__all__: List[str]

Row = Tuple[str, str, str, str]

def extract_codex(path: str, include_tools: bool = False) -> List[Row]: ...
def extract_claude(path: str, include_tools: bool = False) -> List[Row]: ...
def extract_many(jobs: Sequence[Tuple[str, str]], include_tools: bool = False) -> List[List[Row]]:
    """Parse many files in parallel (all cores). `jobs` = [(kind, path)]; failed files → []."""
