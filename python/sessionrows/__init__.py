"""Rows of text from AI coding assistants' session logs (Claude Code, Codex, Gemini CLI, Copilot CLI, Pi),
read by a native core."""

from ._arrow import RowStream, read_arrow
from ._core import __version__, extract_claude, extract_codex, extract_many

__all__ = ["__version__", "extract_claude", "extract_codex", "extract_many", "read_arrow", "RowStream"]
