"""How long the assistants keep their own session logs, read from their settings.

Claude Code deletes, each time it starts, the session logs that were not written to
for `cleanupPeriodDays` days (30 when unset), in its user settings
($CLAUDE_CONFIG_DIR/settings.json, else ~/.claude/settings.json). A value of 0 made
it write no logs at all (versions from 2.1.89 on reject 0 as invalid instead).

Gemini CLI deletes, at its start, the sessions older than
`general.sessionRetention.maxAge` ("30d" by default) and, with `maxCount`, all but
the newest `maxCount`, when `general.sessionRetention.enabled` is true (the default
of current versions; earlier ones had it off); sessions newer than `minRetention`
("1d") are never deleted. Its user settings are $GEMINI_CLI_HOME/.gemini/settings.json,
else ~/.gemini/settings.json.

This only reads. A settings file that is missing, unreadable or not what it should
be counts as the defaults: the assistant reads it the same way.
"""

from __future__ import annotations

import json
import os
import re
from typing import List, NamedTuple, Optional

from .agents import agent
from .terminal import home_relative

CLAUDE_DEFAULT_DAYS = 30
GEMINI_DEFAULT_AGE = "30d"
_AGE = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*([hdw])\s*$")
_AGE_DAYS = {"h": 1 / 24, "d": 1, "w": 7}


class Retention(NamedTuple):
    agent: str                  # "claude", "gemini"
    label: str                  # "Claude Code"
    settings: str               # the settings file read (it may not exist)
    present: bool               # the assistant's own folder exists on this machine
    writes_logs: bool           # whether it writes session logs at all
    deletes: bool               # whether it deletes its logs by itself
    after_days: Optional[float]  # logs older than this are deleted (None: not by age)
    keeps_newest: Optional[int]  # only this many newest sessions are kept (None: no limit)
    configured: bool            # the values come from the settings file, not the defaults
    sentence: str               # what this means, for a person
    warning: bool               # the sentence is a warning: logs are lost or never written


def _settings(path: str) -> dict:
    """The settings object of a JSON file, {} when it cannot be had."""
    try:
        with open(path, "rb") as f:
            value = json.loads(f.read().decode("utf-8"))
    except (OSError, ValueError):
        return {}
    return value if isinstance(value, dict) else {}


def _days_text(days: float) -> str:
    if days < 1:
        hours = days * 24
        return "%g hour%s" % (hours, "" if hours == 1 else "s")
    return "%g day%s" % (days, "" if days == 1 else "s")


def claude(environ: Optional[dict] = None) -> Retention:
    folder = agent("claude").folder(environ)
    path = os.path.join(folder, "settings.json")
    value = _settings(path).get("cleanupPeriodDays")
    where = "cleanupPeriodDays in %s" % home_relative(path)
    base = dict(agent="claude", label="Claude Code", settings=path, present=os.path.isdir(folder), keeps_newest=None)
    if isinstance(value, (int, float)) and not isinstance(value, bool) and value == 0:
        return Retention(**base, writes_logs=False, deletes=True, after_days=0, configured=True, warning=True,
                         sentence="Claude Code's cleanupPeriodDays is 0: it writes no session logs at all, so there "
                         "is nothing for sessionrows to keep (%s; a large number such as 3650 keeps them instead)"
                         % home_relative(path))
    if isinstance(value, (int, float)) and not isinstance(value, bool) and value > 0:
        return Retention(**base, writes_logs=True, deletes=True, after_days=float(value), configured=True,
                         warning=False, sentence="Claude Code deletes logs after %s (%s)" % (_days_text(value), where))
    return Retention(**base, writes_logs=True, deletes=True, after_days=float(CLAUDE_DEFAULT_DAYS), configured=False,
                     warning=False, sentence="Claude Code deletes logs after %d days (its default; %s sets it)"
                     % (CLAUDE_DEFAULT_DAYS, where))


def gemini_settings_path(environ: Optional[dict] = None) -> str:
    """Gemini CLI's user settings: GEMINI_CLI_HOME stands for the home folder."""
    env = os.environ if environ is None else environ
    home = env.get("GEMINI_CLI_HOME") or env.get("HOME") or os.path.expanduser("~")
    return os.path.join(home, ".gemini", "settings.json")


def gemini(environ: Optional[dict] = None) -> Retention:
    path = gemini_settings_path(environ)
    general = _settings(path).get("general")
    policy = general.get("sessionRetention") if isinstance(general, dict) else None
    policy = policy if isinstance(policy, dict) else {}
    where = "general.sessionRetention in %s" % home_relative(path)
    base = dict(agent="gemini", label="Gemini CLI", settings=path, present=os.path.isdir(os.path.dirname(path)),
                writes_logs=True, warning=False)
    enabled = policy.get("enabled")
    if enabled is False:
        return Retention(**base, deletes=False, after_days=None, keeps_newest=None, configured=True,
                         sentence="Gemini CLI keeps its logs: its session cleanup is off (%s)" % where)
    age = policy.get("maxAge")
    count = policy.get("maxCount")
    count = count if isinstance(count, int) and not isinstance(count, bool) and count > 0 else None
    configured = isinstance(age, str) or count is not None or enabled is True
    if not isinstance(age, str):
        age = GEMINI_DEFAULT_AGE if count is None or "maxAge" not in policy else None
    found = _AGE.match(age) if age else None
    days = float(found.group(1)) * _AGE_DAYS[found.group(2)] if found else None
    parts = []
    if days is not None:
        parts.append("deletes logs after %s" % _days_text(days))
    elif age:
        parts.append("deletes logs older than its maxAge %s" % json.dumps(age))
    if count is not None:
        parts.append("keeps only the newest %d session%s" % (count, "" if count == 1 else "s"))
    sentence = "Gemini CLI %s (%s)" % (" and ".join(parts), ("its default; %s sets it" % where) if not configured
                                       else where)
    return Retention(**base, deletes=True, after_days=days, keeps_newest=count, configured=configured,
                     sentence=sentence)


def retention(environ: Optional[dict] = None) -> List[Retention]:
    """What each assistant that deletes its own logs does with them, as its settings say."""
    return [claude(environ), gemini(environ)]


__all__ = ["Retention", "claude", "gemini", "gemini_settings_path", "retention"]
