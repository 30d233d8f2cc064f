"""Tool calls in a form to show: a command as a shell command, a file edit as its old
and new text, a written file as its content, a patch as a patch, a sub-agent's task
as its prompt.

A tool call's row holds its input as readable text: "key: value" lines, strings as
they are. A value that spans lines can hold a line that looks like a key of its own,
so the text is split only where that cannot mislead: every line that looks like a key
names a field of the tool, each once, the fields the tool always has are there, and
no optional field comes after another field (it could be that field's last line).
Otherwise the input comes from the log line itself (`raw_inputs`), accepted only when
every field read there appears in the row's text as it should; failing that, the
text is shown as it is."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field, replace
from typing import Callable, Dict, FrozenSet, Iterable, List, Optional, Sequence, Set, Tuple

from ..reader import open_log

_KEY_LINE = re.compile(r"^([A-Za-z_][A-Za-z0-9_.-]*):(?: |$)", re.M)


@dataclass(frozen=True)
class _Shape:
    form: str                       # "command", "edit", "multiedit", "write", "patch", "task"
    main: str                       # the field shown as the block: command, or the path
    required: FrozenSet[str]
    optional: FrozenSet[str] = frozenset()
    lang: str = "bash"


# What the optional fields hold: a field that does not fit is taken for a line of the
# text before it. Free-text fields are one line.
_NUMBER = re.compile(r"\d+")
_BOOLEAN = re.compile(r"true|false")
_LINE = re.compile(r"[^\n]*")
_FIELD_VALUES = {"timeout": _NUMBER, "timeout_ms": _NUMBER, "yield_time_ms": _NUMBER, "max_output_tokens": _NUMBER,
                 "run_in_background": _BOOLEAN, "dangerouslyDisableSandbox": _BOOLEAN, "replace_all": _BOOLEAN,
                 "with_escalated_permissions": _BOOLEAN, "login": _BOOLEAN, "tty": _BOOLEAN}
_CLAUDE_BASH = frozenset({"description", "timeout", "run_in_background", "dangerouslyDisableSandbox"})
_CODEX_SHELL = frozenset({"workdir", "timeout_ms", "timeout", "with_escalated_permissions", "justification",
                          "sandbox_permissions", "prefix_rule"})
_CODEX_EXEC = _CODEX_SHELL | frozenset({"yield_time_ms", "max_output_tokens", "shell", "login", "tty"})
_TASK = frozenset({"description", "subagent_type", "model", "run_in_background", "resume", "name", "agent_type", "mode"})
_SHELL = frozenset({"description", "timeout", "initial_wait", "mode", "dir_path", "directory", "is_background"})
SHAPES: Dict[str, _Shape] = {
    "Bash": _Shape("command", "command", frozenset({"command"}), _CLAUDE_BASH),
    "shell": _Shape("command", "command", frozenset({"command"}), _CODEX_SHELL),
    "container.exec": _Shape("command", "command", frozenset({"command"}), _CODEX_SHELL),
    "local_shell": _Shape("command", "command", frozenset({"command"}), _CODEX_SHELL | {"description"}),
    "bash": _Shape("command", "command", frozenset({"command"}), _SHELL),                   # Copilot CLI, Pi
    "run_shell_command": _Shape("command", "command", frozenset({"command"}), _SHELL),      # Gemini CLI
    "exec_command": _Shape("command", "cmd", frozenset({"cmd"}), _CODEX_EXEC),
    "Edit": _Shape("edit", "file_path", frozenset({"file_path", "old_string", "new_string"}),
                   frozenset({"replace_all"})),
    "MultiEdit": _Shape("multiedit", "file_path", frozenset({"file_path", "edits"})),
    "Write": _Shape("write", "file_path", frozenset({"file_path", "content"})),
    "write_file": _Shape("write", "file_path", frozenset({"file_path", "content"})),       # Gemini CLI
    "write": _Shape("write", "path", frozenset({"path", "content"})),                        # Pi
    "replace": _Shape("edit", "file_path", frozenset({"file_path", "old_string", "new_string"}),
                      frozenset({"expected_replacements", "instruction"})),                     # Gemini CLI
    "apply_patch": _Shape("patch", "input", frozenset({"input"})),
    "Task": _Shape("task", "prompt", frozenset({"prompt"}), _TASK),
    "Agent": _Shape("task", "prompt", frozenset({"prompt"}), _TASK),
    "task": _Shape("task", "prompt", frozenset({"prompt"}), _TASK),                          # Copilot CLI
}


@dataclass
class ToolView:
    """A tool call's input as a page shows it. `form` "unsure" means the row's text
    does not settle the fields: ask `tool_view` again with the log's inputs."""

    form: str
    command: str = ""
    path: str = ""
    edits: List[Tuple[str, str]] = field(default_factory=list)    # (old, new)
    content: str = ""                                             # a written file, or a patch
    notes: List[Tuple[str, str]] = field(default_factory=list)    # the other fields: description, workdir ...

    def cleaned(self, f: Callable[[str], str]) -> "ToolView":
        return replace(self, command=f(self.command), path=f(self.path),
                       edits=[(f(a), f(b)) for a, b in self.edits], content=f(self.content),
                       notes=[(f(k), f(v)) for k, v in self.notes])


def split_fields(text: str, known: Iterable[str], required: Iterable[str]) -> Optional[List[Tuple[str, str]]]:
    """The (key, value) fields of a readable text, in order, when every line that
    looks like a key names one of `known` once and all of `required` are there."""
    marks = [(m.start(), m.end(), m.group(1)) for m in _KEY_LINE.finditer(text)]
    if not marks or marks[0][0] != 0:
        return None
    keys = [k for _, _, k in marks]
    known_set = set(known)
    if len(set(keys)) != len(keys) or not set(required) <= set(keys) or not set(keys) <= known_set:
        return None
    out = []
    for i, (_, end, key) in enumerate(marks):
        stop = marks[i + 1][0] - 1 if i + 1 < len(marks) else len(text)
        out.append((key, text[end:stop]))
    return out


def _patch_of(text: str) -> Optional[str]:
    return text if text.startswith("*** Begin Patch") else None


def tool_view(tool: str, text: str, candidates: Optional[Sequence[dict]] = None) -> Optional[ToolView]:
    """The view of a tool call from its row's text, or None when the tool has no
    view of its own (its text is shown as it is). With `candidates` (the inputs of
    the calls of this tool at this row's time, from the log), the one that matches
    the text settles what the text alone does not."""
    shape = SHAPES.get(tool)
    if shape is None:
        return None
    if shape.form == "patch":
        patch = _patch_of(text)
        if patch is None:
            fields = split_fields(text, shape.required, shape.required)
            patch = _patch_of(fields[0][1]) if fields else None
        return ToolView("patch", content=patch) if patch is not None else None
    if candidates is not None:
        return _from_inputs(shape, text, candidates)
    if shape.form == "multiedit":
        return ToolView("unsure")
    fields = split_fields(text, shape.required | shape.optional, shape.required)
    if fields is None or not all(_FIELD_VALUES.get(k, _LINE).fullmatch(v) for k, v in fields
                                 if k in shape.optional):
        return ToolView("unsure")
    if any(k in shape.optional for k, _ in fields[1:]):
        return ToolView("unsure")    # "description: ..." after a field might be that field's last line
    return _view(shape, dict(fields), [(k, v) for k, v in fields if k not in shape.required])


def _view(shape: _Shape, values: Dict[str, str], notes: List[Tuple[str, str]]) -> ToolView:
    if shape.form == "command":
        return ToolView("command", command=values[shape.main], notes=notes)
    if shape.form == "edit":
        return ToolView("edit", path=values[shape.main], edits=[(values["old_string"], values["new_string"])],
                        notes=notes)
    if shape.form == "task":
        return ToolView("task", content=values["prompt"], notes=notes)
    return ToolView("write", path=values[shape.main], content=values["content"], notes=notes)


def _plain(value) -> Optional[str]:
    """A value as the row's text writes it, for plain values and lists of them."""
    if isinstance(value, str):
        return value
    if isinstance(value, list):
        if any(isinstance(v, (list, dict)) for v in value):
            return None
        return " ".join(_plain(v) or "" for v in value)
    if value is None or isinstance(value, (bool, int, float)):
        return json.dumps(value)
    return None


def _from_inputs(shape: _Shape, text: str, candidates: Sequence[dict]) -> Optional[ToolView]:
    found: List[ToolView] = []
    for inp in candidates:
        view = _input_view(shape, text, inp)
        if view is not None and view not in found:
            found.append(view)
    return found[0] if len(found) == 1 else None


def _input_view(shape: _Shape, text: str, inp: dict) -> Optional[ToolView]:
    if not isinstance(inp, dict) or not shape.required <= set(inp):
        return None
    values: Dict[str, str] = {}
    notes = []
    for key, value in inp.items():
        if shape.form == "multiedit" and key == "edits":
            continue
        shown = _plain(value)
        if shown is None:
            if key in shape.required:
                return None
            continue
        if "%s: %s" % (key, shown) not in text and not (shown == "" and key + ":" in text):
            return None
        values[key] = shown
        if key not in shape.required:
            notes.append((key, shown))
    if shape.form != "multiedit":
        return _view(shape, values, notes)
    edits = inp.get("edits")
    if not isinstance(edits, list):
        return None
    pairs = []
    for edit in edits:
        if not isinstance(edit, dict):
            return None
        old, new = edit.get("old_string"), edit.get("new_string")
        if not isinstance(old, str) or not isinstance(new, str):
            return None
        if "old_string: " + old not in text or "new_string: " + new not in text:
            return None
        pairs.append((old, new))
    return ToolView("edit", path=values["file_path"], edits=pairs, notes=notes)


# -- the inputs of tool calls, as the log lines hold them ---------------------------

_STAMP = re.compile(rb'"timestamp"\s*:\s*"([^"\\]*)"')
# Where the assistants keep a tool call's name and input: Claude's tool_use blocks
# (name, input), Codex's and Pi's calls (name, arguments: an object, or one written
# as a JSON string), Gemini's (name, args), Copilot's (toolName, arguments).
_NAME_KEYS = ("name", "toolName")
_INPUT_KEYS = ("input", "arguments", "args")
_MARKERS = tuple(b'"%s"' % key.encode() for key in _INPUT_KEYS)


def raw_inputs(path: str, agent: str, stamps: Set[str]) -> Dict[Tuple[str, str], List[dict]]:
    """The inputs of the tool calls in the log's lines whose time stamp is one of
    `stamps`, by (time stamp, tool name). One pass over the file; only lines that
    may hold a tool call and hold one of the stamps are parsed. (`agent` is the
    log's; the calls are found where any assistant writes them.)"""
    out: Dict[Tuple[str, str], List[dict]] = {}
    if not stamps:
        return out
    wanted = {s.encode() for s in stamps}
    try:
        f = open_log(path)
    except OSError:
        return out
    with f:
        for line in f:
            if not any(marker in line for marker in _MARKERS):
                continue
            stamp = next((m.group(1) for m in _STAMP.finditer(line) if m.group(1) in wanted), None)
            if stamp is None:
                continue
            try:
                value = json.loads(line)
            except ValueError:
                continue
            for name, inp in _calls(value, 0):
                out.setdefault((stamp.decode(), name), []).append(inp)
    return out


def _input_of(value: dict) -> Optional[dict]:
    for key in _INPUT_KEYS:
        inp = value.get(key)
        if isinstance(inp, str) and inp.lstrip().startswith("{"):
            try:
                inp = json.loads(inp)
            except ValueError:
                continue
        if isinstance(inp, dict):
            return inp
    return None


def _calls(value, depth: int):
    """The (name, input) of every tool call in a parsed line (a sub-agent's progress
    lines nest them)."""
    if depth > 12:
        return
    if isinstance(value, dict):
        name = next((value[k] for k in _NAME_KEYS if isinstance(value.get(k), str)), None)
        inp = _input_of(value) if name is not None else None
        if inp is not None and value.get("type") != "tool_result":
            yield name, inp
            return
        for v in value.values():
            if isinstance(v, (dict, list)):
                yield from _calls(v, depth + 1)
    elif isinstance(value, list):
        for v in value:
            if isinstance(v, (dict, list)):
                yield from _calls(v, depth + 1)
