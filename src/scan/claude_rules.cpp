#include "claude_rules.h"

#include <iterator>
#include <string>

#include "../render/json_text.h"
#include "../render/loose_text.h"
#include "../render/readable_text.h"
#include "../render/text_of.h"
#include "../render/utf8.h"
#include "tool_use_result.h"

namespace sr {

namespace {

constexpr size_t tool_input_limit = 400;   // characters of a tool_use block's rendered input
constexpr size_t tool_result_limit = 600;  // characters of a tool_result block's flattened content

// "[tool_use NAME] " and the input as json.dumps writes it.
template <class V>
void append_tool_use(std::string& out, V block, const rule_options& o) {
    out += "[tool_use ";
    V name = get(block, "name");
    out += is_string(name) ? string_value(name) : std::string_view("tool");
    out += "] ";
    size_t start = out.size();
    if (!o.cut_texts) {
        append_py_dumps(out, get(block, "input"));
        return;
    }
    append_py_dumps(out, get(block, "input"), stop_after_chars(start, tool_input_limit));
    cut_chars(out, tool_input_limit, start);
}

template <class V>
void append_tool_result(std::string& out, V block, const rule_options& o) {
    out += "[tool_result] ";
    size_t start = out.size();
    if (!o.cut_texts) {
        append_text_of(out, get(block, "content"), no_stop, no_stop);
        return;
    }
    append_text_of(out, get(block, "content"), stop_after_chars(start, tool_result_limit));
    cut_chars(out, tool_result_limit, start);
}

// The row text of a message content: text parts joined by line feeds, then (after
// one more line feed, if there is text) the tool parts joined the same way.
template <class V>
std::string assemble_text(V content, const rule_options& o) {
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
        } else if (o.include_tools && type == "tool_use") {
            if (!tools.empty()) tools += '\n';
            append_tool_use(tools, block, o);
        } else if (o.include_tools && type == "tool_result") {
            if (!tools.empty()) tools += '\n';
            append_tool_result(tools, block, o);
        }
    });
    if (!tools.empty()) {
        if (!text.empty()) text += '\n';
        text += tools;
    }
    return text;
}

// What one line says, for the parts reading.
struct line_facts {
    std::string_view role;
    std::string_view timestamp;
    unsigned char text_kind;  // kind_text, kind_context or kind_summary
    unsigned char flags;
};

// The parts reading: the text of a message is one row (text blocks joined by line
// feeds, as above, with the strings of blocks of types not known here), each
// thinking block, each tool call and each tool result a row of its own, in the
// order of the blocks; redacted thinking (opaque data) yields nothing. A tool
// result gets what the line's toolUseResult holds beyond it (when the line holds
// just one tool result, as Claude Code writes them).
template <class V>
void add_parts(claude_rules& rules, V content, const line_facts& f, V tool_use_result, row_list& rows) {
    auto add_text = [&](std::string_view text) {
        if (!is_blank(text)) add_row(rows, f.role, text, f.timestamp, {}, f.text_kind, f.flags);
    };
    if (is_string(content)) {
        add_text(string_value(content));
        return;
    }
    if (!is_array(content)) return;
    std::string text, tool;
    bool any_text = false;
    auto flush = [&] {
        if (any_text) add_text(text);
        text.clear();
        any_text = false;
    };
    size_t results = 0;
    if (!is_absent(tool_use_result))
        for_each_element(content, [&](V block) { results += str_of(get(block, "type")) == "tool_result"; });
    for_each_element(content, [&](V block) {
        std::string_view type = str_of(get(block, "type"));
        if (type == "text" || type == "image") {
            if (any_text) text += '\n';
            any_text = true;
            text += type == "text" ? str_of(get(block, "text")) : std::string_view("[image]");
        } else if (type == "thinking") {
            flush();
            std::string_view thought = str_of(get(block, "thinking"));
            if (!is_blank(thought)) add_row(rows, "assistant", thought, f.timestamp, {}, kind_thinking, f.flags);
        } else if (type == "tool_use") {
            flush();
            tool.clear();
            append_readable(tool, get(block, "input"));
            V name = get(block, "name");
            std::string_view id = str_of(get(block, "id"));
            add_row(rows, "assistant", tool, f.timestamp,
                    {is_string(name) ? string_value(name) : std::string_view("tool"), id}, kind_tool_call, f.flags);
            if (!id.empty()) rules.call_inputs[std::string(id)] = tool;
        } else if (type == "tool_result") {
            flush();
            tool.clear();
            append_text_of(tool, get(block, "content"), no_stop, no_stop, true);
            std::string_view id = str_of(get(block, "tool_use_id"));
            auto call = rules.call_inputs.find(std::string(id));
            if (results == 1)
                append_unheld_text(tool, tool_use_result,
                                   call == rules.call_inputs.end() ? std::string_view() : call->second);
            if (call != rules.call_inputs.end()) rules.call_inputs.erase(call);
            add_row(rows, "tool", tool, f.timestamp, {{}, id}, kind_tool_result, f.flags);
        } else if (type != "redacted_thinking") {
            // A block of a type not known here (or a bare string): its strings,
            // shown plainly.
            size_t mark = text.size();
            if (any_text) text += '\n';
            size_t start = text.size();
            append_loose_text(text, block);
            if (text.size() == start)
                text.resize(mark);
            else
                any_text = true;
        }
    });
    flush();
}

template <class V>
void claude_row(claude_rules& rules, V root, row_list& rows) {
    static constexpr std::string_view keys[] = {"type",      "isMeta",    "isCompactSummary",
                                                "isVisibleInTranscriptOnly", "message", "timestamp",
                                                "cwd",       "sessionId", "title",
                                                "aiTitle",   "isSidechain", "customTitle",
                                                "agentId",   "subtype",   "content",
                                                "toolUseResult"};
    enum { type, is_meta, is_compact_summary, is_visible_in_transcript_only, message, timestamp, cwd,
           session_id, title, ai_title, is_sidechain, custom_title, agent_id, subtype, line_content,
           tool_use_result };
    V f[std::size(keys)];
    get_many(root, keys, f);
    const rule_options& o = rules.options;

    if (!is_string(f[type])) return;
    std::string_view kind = string_value(f[type]);
    if (kind == "ai-title") {
        // Claude Code writes the title under "aiTitle"; "title" is read first.
        std::string_view text = is_string(f[title]) ? string_value(f[title]) : str_of(f[ai_title]);
        add_row(rows, "__title__", text, {}, {});
        return;
    }
    if (o.parts && kind == "custom-title") {
        if (is_string(f[custom_title])) add_row(rows, "__custom_title__", string_value(f[custom_title]), {}, {});
        return;
    }
    // Local slash commands (/model, /clear) and what they printed.
    bool local_command = o.parts && kind == "system" && str_of(f[subtype]) == "local_command";
    if (kind != "user" && kind != "assistant" && !local_command) return;
    bool meta = is_true(f[is_meta]), summary = is_true(f[is_compact_summary]),
         transcript_only = is_true(f[is_visible_in_transcript_only]);
    if (o.skip_flagged && (meta || summary || transcript_only)) return;

    if (o.parts) {
        if (!rules.session_named && (is_string(f[session_id]) || is_string(f[cwd]))) {
            add_row(rows, "__session__", str_of(f[cwd]), {}, {str_of(f[session_id]), str_of(f[agent_id])});
            rules.session_named = true;
        }
        line_facts facts;
        facts.timestamp = str_of(f[timestamp]);
        facts.flags = is_true(f[is_sidechain]) ? flag_subagent : 0;
        facts.text_kind = summary ? kind_summary : (meta || transcript_only) ? kind_context : kind_text;
        if (local_command) {
            facts.role = "user";
            add_parts(rules, f[line_content], facts, V{}, rows);
            return;
        }
        V role = get(f[message], "role");
        facts.role = is_string(role) ? string_value(role) : kind;
        add_parts(rules, get(f[message], "content"), facts, f[tool_use_result], rows);
        return;
    }

    static constexpr std::string_view message_keys[] = {"role", "id", "content"};
    V m[3];
    get_many(f[message], message_keys, m);

    std::string text = assemble_text(m[2], o);
    if (is_blank(text)) return;

    add_row(rows, is_string(m[0]) ? string_value(m[0]) : kind, text, str_of(f[timestamp]),
            {str_of(m[1]), str_of(f[cwd]), str_of(f[session_id])});
}

}  // namespace

claude_rules make_claude_rules(const rule_options& options) {
    return claude_rules{make_quoted_finder("ai-title"), make_quoted_finder("user"),
                        make_quoted_finder("assistant"), make_quoted_finder("custom-title"),
                        make_quoted_finder("system"), options, false};
}

bool claude_prefilter(const claude_rules& rules, std::string_view line) {
    // has_kv with each needle, in one pass over the line.
    const bool parts = rules.options.parts;
    return for_each_type_value(line, [&](std::string_view value) {
        return starts_with(value, rules.ai_title) || starts_with(value, rules.user) ||
               starts_with(value, rules.assistant) ||
               (parts && (starts_with(value, rules.custom_title) || starts_with(value, rules.system)));
    });
}

void claude_line(claude_rules& rules, line_parser& parser, std::string_view line, row_list& rows) {
    if (!claude_prefilter(rules, line)) return;
    parsed_line parsed = parse_line(parser, line);
    with_root(parsed, [&](auto root) { claude_row(rules, root, rows); });
}

}  // namespace sr
