"""`sessionrows tui`: a terminal interface to search as you type, read a session and
resume it. Needs Textual (`pip install 'sessionrows[tui]'`), imported only here."""

from __future__ import annotations

import os
from typing import Optional, Sequence


NEEDS_TEXTUAL = "the terminal interface needs Textual: pip install 'sessionrows[tui]'"


def available() -> bool:
    """Whether Textual is installed (without importing it)."""
    import importlib.util
    return importlib.util.find_spec("textual") is not None


def run(paths: Sequence[str] = (), index_path: Optional[str] = None, query: str = "") -> int:
    """Runs the interface until the person quits (exit status 0) or resumes a
    session, which replaces this process with the assistant."""
    from ..commands import CommandError
    for path in paths:
        if not os.path.exists(path):
            raise CommandError("%s: no such file or folder" % path)
    if not available():
        raise CommandError(NEEDS_TEXTUAL)
    from .app import SessionrowsApp
    from .present import Plan, run_plan
    app = SessionrowsApp(paths, index_path, query)
    try:
        plan = app.run()
    finally:
        if app.reader is not None:
            app.reader.index.close()
    return run_plan(plan) if isinstance(plan, Plan) else 0
