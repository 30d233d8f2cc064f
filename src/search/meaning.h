// What the text of a row means to a person: the words they typed, or text the
// assistants put around those words (wrappers, instructions, reminders, the state
// of an editor). Pure functions of a text.
#pragma once

#include <string>
#include <string_view>

namespace sr {

// True if a user message that begins so is text an assistant injected: a wrapper
// tag such as <system-reminder> or <environment_context>, AGENTS.md instructions,
// the note that a request was interrupted, the caveat before local command output.
// A person's own shell input (<bash-input>) is not.
bool is_injected(std::string_view text);

// A slash command as Claude Code records it (<command-name>/init</command-name>
// with <command-message> and <command-args>): `out` receives what the person
// typed, "/init" or "/review the parser". False for any other text.
bool slash_command(std::string_view text, std::string& out);

// Codex's editors put a description of their state before a prompt ("# Context
// from my IDE setup:" or "# Files mentioned by the user:" ... "## My request for
// Codex:" then the request). On such a text, returns true with `context` the
// description and `request` what the person asked (empty if there is none).
bool ide_context(std::string_view text, std::string_view& context, std::string_view& request);

// <system-reminder> blocks that Claude Code puts inside messages and tool results.
// Returns false if there are none; else `kept` receives the text without them and
// `blocks` the blocks themselves, one after another separated by line feeds.
bool split_reminders(std::string_view text, std::string& kept, std::string& blocks);

}  // namespace sr
