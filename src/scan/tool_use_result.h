// A Claude line that carries a tool result often carries the tool's own account of
// it as well, under "toolUseResult" (a string, or an object such as {stdout, stderr},
// {file: {filePath, content}}, {filePath, oldString, newString, structuredPatch}).
// Mostly it repeats the tool result's content or the call's input; where it holds
// more (the lines of a patch around an edit, an error the content left out), the
// tool result row gets that text, once, after its own.
#pragma once

#include <string>
#include <string_view>

#include "json_value.h"

namespace sr {

// Members of a toolUseResult object left out, besides those no part ever gives
// (loose_text.h: types, ids, opaque data): the state before the call, which earlier
// rows hold (the file before an edit: "originalFile", "originalFileContents"; the
// list before a TodoWrite: "oldTodos"), and bookkeeping ("usage", "status", "mode",
// "retrieval_status", "codeText": an HTTP status).
bool is_result_bookkeeping(std::string_view key);

// Appends to `row`, a tool result's text, the strings of `result` that hold a word
// found neither in `row` nor in `call_input` (the text of the call's input), each
// on a line of its own, after a blank line; a list of strings (a patch's lines, a
// list of files) goes whole when one of them is wanted. A string found verbatim in
// `row` is settled without looking at its words, so the common case (the result
// repeats the content) costs a substring search.
template <class V>
void append_unheld_text(std::string& row, V result, std::string_view call_input);

}  // namespace sr
