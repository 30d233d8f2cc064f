"""`sessionrows hooks install|uninstall`: the assistants run `sessionrows index` by
themselves, so that every log is read (and kept) before the assistant deletes it.

Claude Code: a `SessionEnd` hook in its user settings ($CLAUDE_CONFIG_DIR/settings.json,
else ~/.claude/settings.json), in the format of its hooks,
`hooks.SessionEnd[] = {"hooks": [{"type": "command", "command": ...}]}`, without a
matcher (so it runs for every reason a session ends: exit, /clear, logout...). Claude
Code runs the command through the shell with the hook's input (JSON) on its standard
input and gives all SessionEnd hooks together 1.5 seconds before it cancels them, so
the command starts the index in the background with nohup, its input and output on
/dev/null, and returns at once: the session's end is not delayed, the index survives
the assistant's exit (and the terminal's hang-up), and the shell that started it is
gone, so the index is adopted and reaped by init (no zombie).

Codex: its `notify` (in $CODEX_HOME/config.toml, else ~/.codex/config.toml) is one
program, an argv list that Codex runs after every turn with a JSON text appended as
its last argument. When it is unset, it is set to `/bin/sh -c SCRIPT sessionrows`:
the JSON becomes the script's $1, which it ignores. When a person set it to
something else, it is left alone. TOML is edited with tomlkit, which keeps comments
and layout.

Both files are edited the same careful way: every other key and hook is kept as it
was, in its order; our own entry is recognised by its command (`sessionrows index
--quiet`, whatever path runs it), so installing twice installs once and a moved
installation is updated in place; a file that is not what its format says is refused
and left untouched; the file is written whole to a temporary file beside it, synced
and renamed over it (its mode kept); before the first change a copy of it is kept
beside it (NAME.sessionrows-backup), and a missing file is made with mode 0600.
"""

from __future__ import annotations

import copy
import difflib
import json
import os
import re
import shlex
import stat
import tempfile
from typing import Any, Callable, List, NamedTuple, Optional, Sequence, Tuple

from .agents import agent
from .terminal import home_relative

BACKUP_SUFFIX = ".sessionrows-backup"
EVENT = "SessionEnd"
SHELL = "/bin/sh"


class HookError(Exception):
    """A settings file that cannot be edited safely; one sentence, nothing written."""


class Change(NamedTuple):
    agent: str                  # "claude", "codex"
    path: str                   # the settings file
    before: Optional[str]       # its text now (None: it does not exist)
    after: Optional[str]        # its text after the change (None: nothing to change)
    done: str                   # what the change is, said once it is made ("" without one)
    planned: str                # the same, said before it is made
    note: str = ""              # what was found and left as it is


# -- the command -------------------------------------------------------------------


def background_script(program: Sequence[str]) -> str:
    """A shell command that starts `program index --quiet` detached and returns at once."""
    return "nohup %s index --quiet </dev/null >/dev/null 2>&1 &" % " ".join(shlex.quote(p) for p in program)


def _program(program: Optional[Sequence[str]]) -> List[str]:
    if program is not None:
        return list(program)
    from .program import command
    return command()


def _ours_argv(tokens: Sequence[Any]) -> bool:
    """Whether an argument list runs `sessionrows index --quiet` (by a path, or -m sessionrows)."""
    for i in range(1, len(tokens)):
        if tokens[i] == "index" and isinstance(tokens[i - 1], str) and \
                os.path.basename(tokens[i - 1]) == "sessionrows" and \
                any(t in ("--quiet", "-q") for t in tokens[i + 1:]):
            return True
    return False


def _ours_shell(text: Any) -> bool:
    if not isinstance(text, str) or "sessionrows" not in text:
        return False
    try:
        return _ours_argv(shlex.split(text))
    except ValueError:
        return False


def _ours_notify(value: Any) -> bool:
    if not isinstance(value, list):
        return False
    return _ours_argv(value) or any(_ours_shell(item) for item in value)


# -- files -------------------------------------------------------------------------


def _read(path: str) -> Optional[str]:
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise HookError("%s is not UTF-8 text; it was left as it is" % home_relative(path)) from None


def backup_path(path: str) -> str:
    return path + BACKUP_SUFFIX


def write_atomic(path: str, text: str, mode: Optional[int] = None) -> None:
    """Writes `text` to `path` whole or not at all: a temporary file in the same folder,
    synced, then renamed over it. The file keeps its mode (a new one gets `mode`, else
    0600). A link is followed: the file it points to is the one replaced."""
    path = os.path.realpath(path)
    folder = os.path.dirname(path)
    if mode is None:
        try:
            mode = stat.S_IMODE(os.stat(path).st_mode)
        except FileNotFoundError:
            mode = 0o600
    fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            f.write(text)
            f.flush()
            os.fchmod(f.fileno(), mode)
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    try:
        dirfd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dirfd)
    except OSError:
        pass
    finally:
        os.close(dirfd)


def _keep_backup(path: str, text: Optional[str]) -> str:
    """The backup of the file as it was before sessionrows first changed it (made now
    when there is none); "" for a file that did not exist."""
    backup = backup_path(path)
    if os.path.lexists(backup):
        return backup
    if text is None:
        return ""
    write_atomic(backup, text, stat.S_IMODE(os.stat(path).st_mode))
    return backup


def apply(change: Change) -> str:
    """Makes the change (a Change whose `after` is set) and says what was done."""
    if change.after is None:
        return change.note
    os.makedirs(os.path.dirname(change.path) or ".", mode=0o700, exist_ok=True)
    had_backup = os.path.lexists(backup_path(change.path))
    backup = _keep_backup(change.path, change.before)
    write_atomic(change.path, change.after)
    if backup and had_backup:
        kept = " The file as it was before sessionrows first changed it is in %s." % home_relative(backup)
    elif backup:
        kept = " The file as it was is kept in %s." % home_relative(backup)
    else:
        kept = " It did not exist before, so there is no backup."
    return change.done + kept + (" " + change.note if change.note else "")


def diff(change: Change) -> str:
    """The change as a unified diff of the file."""
    if change.after is None:
        return ""

    def lines(text: Optional[str]) -> List[str]:
        out = (text or "").splitlines(keepends=True)
        if out and not out[-1].endswith("\n"):
            out[-1] += "\n\\ No newline at end of file\n"
        return out

    shown = home_relative(change.path)
    return "".join(difflib.unified_diff(lines(change.before), lines(change.after),
                                        "/dev/null" if change.before is None else shown, shown))


def describe(change: Change) -> str:
    """What a dry run would do, in a sentence."""
    if change.after is None:
        return change.note
    backup = backup_path(change.path)
    if os.path.lexists(backup):
        kept = " The backup made before sessionrows first changed it stays in %s." % home_relative(backup)
    elif change.before is None:
        kept = " It does not exist yet, so there would be no backup."
    else:
        kept = " The file as it is would be kept in %s." % home_relative(backup)
    return change.planned + kept + (" " + change.note if change.note else "")


# -- Claude Code -------------------------------------------------------------------


def claude_settings_path(environ: Optional[dict] = None) -> str:
    return os.path.join(agent("claude").folder(environ), "settings.json")


def _no_duplicates(pairs: List[Tuple[str, Any]]) -> dict:
    seen = {}
    for key, value in pairs:
        if key in seen:
            raise ValueError("the key %s is there twice" % json.dumps(key))
        seen[key] = value
    return seen


def _parse_settings(path: str, text: Optional[str]) -> dict:
    shown = home_relative(path)
    if text is None or not text.strip():
        return {}
    try:
        value = json.loads(text, object_pairs_hook=_no_duplicates)
    except json.JSONDecodeError as e:
        raise HookError("%s is not valid JSON (line %d, column %d: %s); it was left as it is"
                        % (shown, e.lineno, e.colno, e.msg)) from None
    except ValueError as e:
        raise HookError("%s: %s; it was left as it is" % (shown, e)) from None
    if not isinstance(value, dict):
        raise HookError("%s does not hold a JSON object; it was left as it is" % shown)
    hooks = value.get("hooks")
    if hooks is None:
        return value
    where = "%s: hooks" % shown
    if not isinstance(hooks, dict):
        raise HookError("%s is not an object of events; it was left as it is" % where)
    for event, groups in hooks.items():
        at = "%s.%s" % (where, event)
        if not isinstance(groups, list):
            raise HookError("%s is not a list of matcher groups; it was left as it is" % at)
        for i, group in enumerate(groups):
            if not isinstance(group, dict):
                raise HookError("%s[%d] is not an object; it was left as it is" % (at, i))
            if "matcher" in group and not isinstance(group["matcher"], str):
                raise HookError("%s[%d].matcher is not a text; it was left as it is" % (at, i))
            inner = group.get("hooks", [])
            if not isinstance(inner, list) or not all(isinstance(h, dict) for h in inner):
                raise HookError("%s[%d].hooks is not a list of hooks; it was left as it is" % (at, i))
    return value


def _indent(text: Optional[str]) -> Any:
    """The indentation the file uses (two spaces for a new file, none for a one-line one)."""
    if not text or re.fullmatch(r"\s*\{\s*\}\s*", text):
        return 2
    for line in text.splitlines()[1:]:
        found = re.match(r"[ \t]+", line)
        if found:
            return found.group(0)
    return None if text.strip().startswith("{") and "\n" not in text.strip() else 2


def _dump_settings(value: dict, before: Optional[str]) -> str:
    text = json.dumps(value, indent=_indent(before), ensure_ascii=False)
    return text + ("\n" if before is None or before.endswith("\n") or not before.strip() else "")


def _our_hooks(settings: dict) -> List[Tuple[int, int]]:
    """(group, hook) places of our hooks among the SessionEnd hooks."""
    places = []
    for g, group in enumerate(settings.get("hooks", {}).get(EVENT, [])):
        for h, hook in enumerate(group.get("hooks", [])):
            if hook.get("type") == "command" and _ours_shell(hook.get("command")):
                places.append((g, h))
    return places


def _drop_hooks(settings: dict, places: List[Tuple[int, int]]) -> None:
    """Removes the hooks at these places, and a group that they leave empty."""
    groups = settings["hooks"][EVENT]
    for g, h in sorted(places, reverse=True):
        del groups[g]["hooks"][h]
    for g in sorted({g for g, _ in places}, reverse=True):
        if not groups[g]["hooks"]:
            del groups[g]


def _warnings(settings: dict) -> str:
    if settings.get("disableAllHooks") is True:
        return "Note: disableAllHooks is true in this file, so Claude Code runs no hooks until it is removed."
    return ""


def plan_claude_install(program: Optional[Sequence[str]] = None, environ: Optional[dict] = None) -> Change:
    path = claude_settings_path(environ)
    shown = home_relative(path)
    before = _read(path)
    settings = _parse_settings(path, before)
    command = background_script(_program(program))
    places = _our_hooks(settings)
    if len(places) == 1:
        g, h = places[0]
        if settings["hooks"][EVENT][g]["hooks"][h]["command"] == command:
            return Change("claude", path, before, None, "", "", " ".join(filter(None, (
                "Claude Code already runs sessionrows index when a session ends (%s); nothing changed." % shown,
                _warnings(settings)))))
    after = copy.deepcopy(settings)
    if places:
        g, h = places[0]
        after["hooks"][EVENT][g]["hooks"][h]["command"] = command
        _drop_hooks(after, places[1:])
        done = "Updated the SessionEnd hook in %s: it now runs %s." % (shown, command)
        planned = "Would update the SessionEnd hook in %s to run %s." % (shown, command)
    else:
        after.setdefault("hooks", {}).setdefault(EVENT, []).append({"hooks": [{"type": "command",
                                                                               "command": command}]})
        done = ("Added a SessionEnd hook to %s: when a session ends, Claude Code runs %s (in the background, "
                "quietly)." % (shown, command))
        planned = "Would add a SessionEnd hook to %s that runs %s." % (shown, command)
    return Change("claude", path, before, _dump_settings(after, before), done, planned, _warnings(settings))


def _had(backup: Optional[dict], *keys: str) -> bool:
    value: Any = backup
    for key in keys:
        if not isinstance(value, dict) or key not in value:
            return False
        value = value[key]
    return True


def plan_claude_uninstall(environ: Optional[dict] = None) -> Change:
    path = claude_settings_path(environ)
    shown = home_relative(path)
    before = _read(path)
    settings = _parse_settings(path, before)
    places = _our_hooks(settings)
    if not places:
        return Change("claude", path, before, None, "", "",
                      "There is no sessionrows hook in %s; nothing changed." % shown)
    after = copy.deepcopy(settings)
    _drop_hooks(after, places)
    # An empty SessionEnd list or hooks object is removed unless the file had it before
    # sessionrows first changed it (its backup tells; without one, sessionrows made the file).
    try:
        original: Optional[dict] = _parse_settings(path, _read(backup_path(path)))
    except HookError:
        original = None
    if not after["hooks"][EVENT] and not _had(original, "hooks", EVENT):
        del after["hooks"][EVENT]
    if not after["hooks"] and not _had(original, "hooks"):
        del after["hooks"]
    return Change("claude", path, before, _dump_settings(after, before),
                  "Removed the sessionrows SessionEnd hook from %s; everything else in it is as it was." % shown,
                  "Would remove the sessionrows SessionEnd hook from %s." % shown)


# -- Codex -------------------------------------------------------------------------


def codex_config_path(environ: Optional[dict] = None) -> str:
    return os.path.join(agent("codex").folder(environ), "config.toml")


def notify_argv(program: Sequence[str]) -> List[str]:
    """Codex's notify for sessionrows: the JSON that Codex appends becomes $1, unused."""
    return [SHELL, "-c", background_script(program), "sessionrows"]


def _parse_toml(path: str, text: Optional[str]):
    import tomlkit
    from tomlkit.exceptions import TOMLKitError
    try:
        return tomlkit.parse(text or "")
    except TOMLKitError as e:
        raise HookError("%s is not valid TOML (%s); it was left as it is" % (home_relative(path), e)) from None


def _shown_argv(value: Any) -> str:
    if isinstance(value, list) and all(isinstance(v, str) for v in value):
        return " ".join(shlex.quote(v) for v in value)
    return json.dumps(value, default=str)


def _codex_absent(environ: Optional[dict]) -> Optional[Change]:
    folder = agent("codex").folder(environ)
    if os.path.isdir(folder):
        return None
    path = codex_config_path(environ)
    return Change("codex", path, None, None, "", "",
                  "Codex is not set up here (there is no %s); nothing to do for it." % home_relative(folder))


def plan_codex_install(program: Optional[Sequence[str]] = None, environ: Optional[dict] = None) -> Change:
    absent = _codex_absent(environ)
    if absent is not None:
        return absent
    import tomlkit
    path = codex_config_path(environ)
    shown = home_relative(path)
    before = _read(path)
    doc = _parse_toml(path, before)
    wanted = notify_argv(_program(program))
    current = doc.get("notify")
    current = current.unwrap() if hasattr(current, "unwrap") else current
    if current == wanted:
        return Change("codex", path, before, None, "", "",
                      "Codex already runs sessionrows index after each turn (notify in %s); nothing changed." % shown)
    if current is not None and not _ours_notify(current):
        return Change("codex", path, before, None, "", "",
                      "Codex's notify in %s already runs %s: it takes one program, so it was left as it is and Codex "
                      "will not start sessionrows index by itself (run sessionrows index now and then, or call it "
                      "from that program)." % (shown, _shown_argv(current)))
    array = tomlkit.array()
    array.extend(wanted)
    doc["notify"] = array
    verb = "Updated" if current is not None else "Set"
    return Change("codex", path, before, tomlkit.dumps(doc),
                  "%s notify in %s: after each turn, Codex runs %s (in the background, quietly). Newer versions of "
                  "Codex mark notify as deprecated and may say so when they start." % (verb, shown, _shown_argv(wanted)),
                  "Would %s notify in %s to run %s." % ("update" if current is not None else "set", shown,
                                                         _shown_argv(wanted)))


def plan_codex_uninstall(environ: Optional[dict] = None) -> Change:
    absent = _codex_absent(environ)
    if absent is not None:
        return absent
    import tomlkit
    path = codex_config_path(environ)
    shown = home_relative(path)
    before = _read(path)
    doc = _parse_toml(path, before)
    current = doc.get("notify")
    current = current.unwrap() if hasattr(current, "unwrap") else current
    if not _ours_notify(current):
        return Change("codex", path, before, None, "", "",
                      "Codex's notify in %s is not sessionrows'; nothing changed." % shown if current is not None
                      else "Codex has no notify in %s; nothing changed." % shown)
    first = next(iter(doc.body), (None, None))[0]
    del doc["notify"]
    after = tomlkit.dumps(doc)
    if first is not None and first.key == "notify" and after.startswith("\n"):
        after = after[1:]       # the blank line that set our key apart from a first table
    return Change("codex", path, before, after,
                  "Removed sessionrows' notify from %s; everything else in it is as it was." % shown,
                  "Would remove sessionrows' notify from %s." % shown)


# -- both --------------------------------------------------------------------------


def plan(action: str, program: Optional[Sequence[str]] = None, environ: Optional[dict] = None) -> List[Change]:
    """The changes `install` or `uninstall` makes, all planned before any is made, so that
    a file that cannot be edited stops the whole (HookError) with nothing written."""
    if action == "install":
        return [plan_claude_install(program, environ), plan_codex_install(program, environ)]
    if action == "uninstall":
        return [plan_claude_uninstall(environ), plan_codex_uninstall(environ)]
    raise ValueError(action)


def run(action: str, dry_run: bool = False, write: Callable[[str], Any] = print,
        program: Optional[Sequence[str]] = None, environ: Optional[dict] = None) -> List[Change]:
    """Plans and makes (or, with dry_run, shows) the changes, writing what happens."""
    changes = plan(action, program, environ)
    for change in changes:
        if dry_run:
            write(describe(change))
            shown = diff(change)
            if shown:
                write(shown.rstrip("\n"))
        else:
            write(apply(change))
    return changes


__all__ = ["BACKUP_SUFFIX", "Change", "HookError", "apply", "background_script", "backup_path",
           "claude_settings_path", "codex_config_path", "describe", "diff", "notify_argv", "plan", "run",
           "write_atomic"]
