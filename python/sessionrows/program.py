"""The command line that runs this installation of sessionrows, with absolute paths,
for the places that start it later on a person's behalf: an assistant's MCP server
list, its hooks, its notify program."""

from __future__ import annotations

import os
import sys
from typing import List


def command(*args: str) -> List[str]:
    """The console script this process runs as (or that lies beside its Python), else
    Python itself with -m sessionrows; then `args`."""
    argv0 = sys.argv[0] if sys.argv else ""
    if os.path.basename(argv0) == "sessionrows" and os.path.isfile(argv0):
        return [os.path.abspath(argv0), *args]
    script = os.path.join(os.path.dirname(sys.executable), "sessionrows")
    if os.path.isfile(script):
        return [script, *args]
    return [os.path.abspath(sys.executable), "-m", "sessionrows", *args]
