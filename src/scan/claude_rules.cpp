#include "claude_rules.h"

#include <iterator>
#include <string>

#include "../render/json_text.h"
#include "../render/text_of.h"
#include "../render/utf8.h"

namespace sr {

namespace {

constexpr size_t tool_input_limit = 400;   // characters of a tool_use block's rendered input
constexpr size_t tool_result_limit = 600;  // characters of a tool_result block's flattened content

template <class V>
void append_tool_use(std::string& out, V block) {
    out += "[tool_use ";
    V name = get(block, "name");
    out += is_string(name) ? string_value(name) : std::string_view("tool");
    out += "] ";
    size_t start = out.size();
    append_py_dumps(out, get(block, "input"), stop_after_chars(start, tool_input_limit));
    cut_chars(out, tool_input_limit, start);
}

template <class V>
void append_tool_result(std::string& out, V block) {
    out += "[tool_result] ";
    size_t start = out.size();
    append_text_of(out, get(block, "content"), stop_after_chars(start, tool_result_limit));
    cut_chars(out, tool_result_limit, start);
}

// The row text of a message content: text parts joined by line feeds, then (after
// one more line feed, if there is text) the tool parts joined the same way.
template <class V>
std::string assemble_text(V content, bool include_tools) {
    std::string text;
    if (is_string(content)) {
        text = string_value(content);
        return text;
    }
    if (!is_array(content)) return text;
    std::string tools;
    bool any_text = false;
    for_each_element(content, [&](V block) {
        std::string_view type = str_of(get(block, "type"));
        if (type == "text" || type == "image") {
            if (any_text) text += '\n';
            any_text = true;
            text += type == "text" ? str_of(get(block, "text")) : std::string_view("[image]");
        } else if (include_tools && type == "tool_use") {
            if (!tools.empty()) tools += '\n';
            append_tool_use(tools, block);
        } else if (include_tools && type == "tool_result") {
            if (!tools.empty()) tools += '\n';
            append_tool_result(tools, block);
        }
    });
    if (!tools.empty()) {
        if (!text.empty()) text += '\n';
        text += tools;
    }
    return text;
}

template <class V>
void claude_row(const claude_rules& rules, V root, row_list& rows) {
    static constexpr std::string_view keys[] = {"type",   "isMeta",    "isCompactSummary",
                                                "isVisibleInTranscriptOnly", "message", "timestamp",
                                                "cwd",    "sessionId", "title",
                                                "aiTitle"};
    enum { type, is_meta, is_compact_summary, is_visible_in_transcript_only, message, timestamp, cwd,
           session_id, title, ai_title };
    V f[std::size(keys)];
    get_many(root, keys, f);

    if (!is_string(f[type])) return;
    std::string_view kind = string_value(f[type]);
    if (kind == "ai-title") {
        // Claude Code writes the title under "aiTitle"; "title" is read first.
        std::string_view text = is_string(f[title]) ? string_value(f[title]) : str_of(f[ai_title]);
        add_row(rows, "__title__", text, {}, {});
        return;
    }
    if (kind != "user" && kind != "assistant") return;
    if (is_true(f[is_meta]) || is_true(f[is_compact_summary]) || is_true(f[is_visible_in_transcript_only]))
        return;

    static constexpr std::string_view message_keys[] = {"role", "id", "content"};
    V m[3];
    get_many(f[message], message_keys, m);

    std::string text = assemble_text(m[2], rules.include_tools);
    if (is_blank(text)) return;

    add_row(rows, is_string(m[0]) ? string_value(m[0]) : kind, text, str_of(f[timestamp]),
            {str_of(m[1]), str_of(f[cwd]), str_of(f[session_id])});
}

}  // namespace

claude_rules make_claude_rules(bool include_tools) {
    return claude_rules{make_quoted_finder("ai-title"), make_quoted_finder("user"),
                        make_quoted_finder("assistant"), include_tools};
}

bool claude_prefilter(const claude_rules& rules, std::string_view line) {
    // has_kv with each of the three needles, in one pass over the line.
    return for_each_type_value(line, [&](std::string_view value) {
        return starts_with(value, rules.ai_title) || starts_with(value, rules.user) ||
               starts_with(value, rules.assistant);
    });
}

void claude_line(const claude_rules& rules, line_parser& parser, std::string_view line, row_list& rows) {
    if (!claude_prefilter(rules, line)) return;
    parsed_line parsed = parse_line(parser, line);
    with_root(parsed, [&](auto root) { claude_row(rules, root, rows); });
}

}  // namespace sr
