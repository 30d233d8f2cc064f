"""Dates and times as a person writes and reads them: the date language of `--since`,
`--until` and the filters of the interface and the MCP server (local time, relative
times), and a log's time stamps in local time."""

from __future__ import annotations

import datetime as dt
import re

_RELATIVE = re.compile(r"^(\d+)\s*(mo|min|[smhdwy])$")
_UNITS = {"s": "seconds", "min": "minutes", "m": "minutes", "h": "hours", "d": "days", "w": "weeks"}
WHEN_HELP = "2026-03-01, 2026-03-01T14:30, 30m, 12h, 3d, 2w, 6mo, 1y, today, yesterday"


class WhenError(ValueError):
    """A text that is no date or time; the message is one sentence for a person."""


def parse_when(text: str, end: bool = False) -> str:
    """A date or time as a person writes it, in local time, as the UTC time stamp text
    that logs use. Relative: a number and s, m (minutes), h, d, w, mo (months of 30
    days) or y (years of 365 days) ago. With `end`, a bare date or minute means its
    end (the bound is exclusive). Raises WhenError."""
    now = dt.datetime.now().astimezone()
    value = text.strip().lower()
    unit_step = None
    m = _RELATIVE.match(value)
    try:
        if m:
            n, unit = int(m.group(1)), m.group(2)
            if unit == "mo":
                delta = dt.timedelta(days=30 * n)
            elif unit == "y":
                delta = dt.timedelta(days=365 * n)
            else:
                delta = dt.timedelta(**{_UNITS[unit]: n})
            when = now - delta
        elif value in ("today", "yesterday"):
            when = now.replace(hour=0, minute=0, second=0, microsecond=0)
            if value == "yesterday":
                when -= dt.timedelta(days=1)
            unit_step = dt.timedelta(days=1)
        else:
            try:
                when = dt.datetime.fromisoformat(text.strip().replace("Z", "+00:00").replace(" ", "T", 1))
            except ValueError:
                raise WhenError("%r is not a date (try %s)" % (text, WHEN_HELP)) from None
            if len(value) <= 10:
                unit_step = dt.timedelta(days=1)
            elif when.second == 0 and value.count(":") == 1:
                unit_step = dt.timedelta(minutes=1)
            else:
                unit_step = dt.timedelta(seconds=1) if when.microsecond == 0 else dt.timedelta(0)
            if when.tzinfo is None:
                when = when.astimezone()
        if end and unit_step:
            when += unit_step
        utc = when.astimezone(dt.timezone.utc)
    except (OverflowError, ValueError, OSError) as e:
        if isinstance(e, WhenError):
            raise
        raise WhenError("%r is out of the range of dates" % text) from None
    return utc.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (utc.microsecond // 1000)


def local_time(stamp: str) -> str:
    """A time stamp of a log as "YYYY-MM-DD HH:MM" in local time, or the stamp itself
    (made harmless for a terminal) when it is not one."""
    if not stamp:
        return ""
    try:
        when = dt.datetime.fromisoformat(stamp.replace("Z", "+00:00"))
        if when.tzinfo is None:
            return when.strftime("%Y-%m-%d %H:%M")
        return when.astimezone().strftime("%Y-%m-%d %H:%M")
    except (ValueError, OverflowError, OSError):
        from .terminal import clean
        return clean(stamp, True)
