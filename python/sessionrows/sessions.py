"""What the rows of a session mean to a person.

The native search reading (`_search.read`) gives every row a role and a kind: the
words of the conversation (a person's or an assistant's), text the assistants
inject around them, a compact summary, a tool call, a tool result; and a flag for
rows of a sub-agent's conversation. It also gives the facts that name a session:
its id, working directory, the names it was given and the first thing the person
typed. This module turns those into what a person reads: kind and role names, the
title, the command that resumes the session.
"""

from __future__ import annotations

import re
from typing import Dict, Optional

from . import agents

# Row kinds, as the native reading gives them.
TEXT = 0          # what a person or an assistant said
CONTEXT = 1       # text injected around a person's words (wrappers, instructions, reminders)
SUMMARY = 2       # a compact summary of the conversation so far
TOOL_CALL = 3     # a tool call: the tool's name and its input
TOOL_RESULT = 4   # a tool's output
THINKING = 5      # what an assistant thought before it answered
TITLE = 6         # the names a session was given (the index's own row, never in a transcript)
KIND_NAMES: Dict[int, str] = {TEXT: "said", CONTEXT: "context", SUMMARY: "summary", TOOL_CALL: "tool_call",
                              TOOL_RESULT: "tool_result", THINKING: "thinking", TITLE: "title"}
INJECTED = (CONTEXT, SUMMARY)

# Row flags.
SUBAGENT = 1      # the row belongs to a sub-agent's conversation
REWOUND = 2       # the conversation was taken back from this row (it is off what the assistant shows)

# The roles rows have: who speaks.
ROLES = ("user", "assistant", "tool", "developer", "system")

TITLE_CHARS = 80
_SENTENCE_END = re.compile(r"(?<=[.!?])\s+(?=\S)|(?<=[\u3002\uff01\uff1f])")


def first_sentence(text: str, limit: int = TITLE_CHARS) -> str:
    """The first sentence of a text, its white space folded, cut to `limit`
    characters (with an ellipsis). A hard-wrapped paragraph reads as one line."""
    paragraph = text.strip().split("\n\n", 1)[0]
    folded = " ".join(paragraph.split())
    sentence = _SENTENCE_END.split(folded, 1)[0].strip() if folded else ""
    if len(sentence) > limit:
        return sentence[:limit - 1].rstrip() + "\u2026"
    return sentence


def title_of(custom_title: Optional[str], ai_title: str, first_prompt: str) -> str:
    """The title a person recognises: the name they gave the session, else the last
    title Claude generated, else their first prompt's first sentence."""
    return (first_sentence(custom_title or "", 200) or first_sentence(ai_title, 200)
            or first_sentence(first_prompt))


def role_name(role: str, kind: int, flags: int, tool: str = "") -> str:
    """How a row's speaker reads in a transcript: "user", "assistant", "tool call
    Bash", "tool result Bash", "summary", "sub-agent" ..."""
    if kind == TOOL_CALL:
        name = "tool call " + (tool or "?")
    elif kind == TOOL_RESULT:
        name = "tool result" + (" " + tool if tool else "")
    elif kind == SUMMARY:
        name = "summary"
    elif kind == THINKING:
        name = "thinking"
    elif kind == TITLE:
        name = "title"
    elif flags & SUBAGENT and role == "user":
        name = "prompt to sub-agent"
    else:
        name = role
    return name + (" (sub-agent)" if flags & SUBAGENT and not (role == "user" and kind == TEXT) else "")


def resume_command(agent: str, session_id: str, cwd: str, path: str = "") -> str:
    """The shell command that resumes a session where it ran (see agents.Agent)."""
    return agents.resume_command(agent, session_id, cwd, path)
