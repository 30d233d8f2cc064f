#include "codex_rules.h"

#include <iterator>
#include <string>

#include "../render/json_text.h"
#include "../render/loose_text.h"
#include "../render/readable_text.h"
#include "../render/text_of.h"
#include "../render/utf8.h"

namespace sr {

namespace {

// The JSON string token at the start of s, without its quotes ("" if there is none).
std::string_view token_at(std::string_view s) {
    if (s.empty() || s[0] != '"') return {};
    size_t end = s.find('"', 1);
    return end == std::string_view::npos ? std::string_view() : s.substr(1, end - 1);
}

// The types of the response items the older layout wrote bare.
bool is_bare_item_type(std::string_view t) {
    return t == "message" || t == "reasoning" || t == "function_call" || t == "function_call_output" ||
           t == "local_shell_call" || t == "custom_tool_call" || t == "custom_tool_call_output" ||
           t == "web_search_call";
}

// Does the window hold an "id" key (the older layout's header, which has no type)?
bool holds_id_key(std::string_view window) {
    for (size_t at = window.find("\"id\""); at != std::string_view::npos; at = window.find("\"id\"", at + 4)) {
        size_t i = at + 4;
        while (i < window.size() && (window[i] == ' ' || window[i] == '\t')) ++i;
        if (i < window.size() && window[i] == ':') return true;
    }
    return false;
}

}  // namespace

line_rule choose_rule(const codex_rules& r, std::string_view line) {
    std::string_view window = line.substr(0, codex_window);
    // has_kv with each of the needles, in one pass over the window.
    bool session_meta = false, response_item = false, event_msg = false, message = false, compacted = false;
    bool any_type = false, turn_context = false, bare_item = false;
    const bool parts = r.options.parts;
    for_each_type_value(window, [&](std::string_view value) {
        session_meta = session_meta || starts_with(value, r.session_meta);
        response_item = response_item || starts_with(value, r.response_item);
        event_msg = event_msg || starts_with(value, r.event_msg);
        message = message || starts_with(value, r.message);
        if (parts) {
            any_type = true;
            compacted = compacted || starts_with(value, r.compacted);
            turn_context = turn_context || starts_with(value, r.turn_context);
            bare_item = bare_item || is_bare_item_type(token_at(value));
        }
        return session_meta;  // nothing can outrank it
    });
    if (session_meta) return line_rule::session_meta;
    if (response_item) {
        // The parts reading wants nearly every response item and decides by the
        // parsed payload, wherever its "type" stands in the line.
        if (message || parts) return line_rule::response_item;
        if (r.options.include_tools && contains(r.call, window)) return line_rule::response_item;
        return line_rule::none;
    }
    if (event_msg) {
        if (contains(r.user_message, window) || contains(r.agent_message, window)) return line_rule::event;
        if (parts && contains(r.agent_reasoning, window)) return line_rule::event;
        return line_rule::none;
    }
    if (compacted) return line_rule::compacted;
    if (parts && !turn_context) {
        if (bare_item) return line_rule::bare_item;
        if (!any_type && holds_id_key(window)) return line_rule::legacy_header;
    }
    return line_rule::none;
}

namespace {

constexpr size_t argument_limit = 500;  // characters of a tool call's arguments
constexpr size_t output_limit = 800;    // characters of a tool call's output

template <class V>
void session_meta_row(codex_rules& r, V root, row_list& rows) {
    static constexpr std::string_view keys[] = {"id", "session_id", "cwd", "timestamp"};
    V f[4];
    get_many(get(root, "payload"), keys, f);
    std::string_view id = is_string(f[0]) ? string_value(f[0]) : str_of(f[1]);
    add_row(rows, "__meta__", str_of(f[2]), {}, {id});
    if (r.options.parts) {
        if (r.session_time.empty())
            r.session_time = is_string(f[3]) ? string_value(f[3]) : str_of(get(root, "timestamp"));
        r.cwd_known = r.cwd_known || !str_of(f[2]).empty();
    }
}

// The older layout's first line, {"id", "timestamp", "instructions", ...}: the
// session row, and the instructions the session ran with as injected text.
template <class V>
void legacy_header_row(codex_rules& r, V root, row_list& rows) {
    static constexpr std::string_view keys[] = {"id", "timestamp", "instructions", "cwd", "type", "payload"};
    V f[6];
    get_many(root, keys, f);
    if (!is_string(f[0]) || !is_absent(f[4]) || !is_absent(f[5])) return;
    add_row(rows, "__meta__", str_of(f[3]), {}, {string_value(f[0])});
    if (r.session_time.empty()) r.session_time = str_of(f[1]);
    r.cwd_known = r.cwd_known || !str_of(f[3]).empty();
    std::string_view instructions = str_of(f[2]);
    if (!is_blank(instructions))
        add_row(rows, "system", instructions, r.session_time, {"instructions"}, kind_context);
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// The working directory an <environment_context> block in a text names:
// "<cwd>...</cwd>", or a line "Current working directory: ..." (as older versions
// wrote it); empty if there is none.
std::string_view context_cwd(std::string_view text) {
    size_t at = text.find("<environment_context>");
    if (at == std::string_view::npos) return {};
    std::string_view block = text.substr(at);
    block = block.substr(0, block.find("</environment_context>"));
    size_t a = block.find("<cwd>");
    if (a != std::string_view::npos) {
        a += 5;
        size_t b = block.find("</cwd>", a);
        if (b != std::string_view::npos) return trim_blanks(block.substr(a, b - a));
    }
    constexpr std::string_view label = "Current working directory:";
    a = block.find(label);
    if (a == std::string_view::npos) return {};
    a += label.size();
    size_t b = block.find('\n', a);
    return trim_blanks(block.substr(a, b == std::string_view::npos ? std::string_view::npos : b - a));
}

template <class V>
std::string tool_call_text(V payload, const rule_options& o) {
    static constexpr std::string_view keys[] = {"name", "arguments", "input"};
    V f[3];
    get_many(payload, keys, f);
    std::string text = "[tool_call ";
    text += is_string(f[0]) ? string_value(f[0]) : std::string_view("tool");
    text += "] ";
    size_t start = text.size();
    size_t stop = o.cut_texts ? stop_after_chars(start, argument_limit) : no_stop;
    switch (kind_of(f[1])) {
        case jkind::string: text += string_value(f[1]); break;
        case jkind::absent:
        case jkind::null: text += str_of(f[2]); break;
        default: append_compact_json(text, f[1], stop); break;
    }
    if (o.cut_texts) cut_chars(text, argument_limit, start);
    return text;
}

template <class V>
std::string tool_result_text(V payload, const rule_options& o) {
    std::string text = "[tool_result] ";
    size_t start = text.size();
    if (!o.cut_texts) {
        append_text_of(text, get(payload, "output"), no_stop, no_stop);
        return text;
    }
    append_text_of(text, get(payload, "output"), stop_after_chars(start, output_limit));
    cut_chars(text, output_limit, start);
    return text;
}

// --- the parts reading ---

// A string that holds a JSON object or array (tool arguments and outputs often
// do), read by a parser of its own; f(root) is called if it is one.
template <class F>
bool with_embedded_json(std::string_view s, F&& f) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\t' || s[i] == '\r')) ++i;
    if (i == s.size() || (s[i] != '{' && s[i] != '[')) return false;
    static thread_local line_parser inner;  // the line's own parser still holds the line
    inner.input_padded = false;
    parsed_line parsed = parse_line(inner, s);
    bool ok = parsed.which != parsed_line::none;
    if (ok) with_root(parsed, f);
    end_scan(inner);  // what a very long string made the parser hold goes now
    return ok;
}

// A tool call's input for a person: the arguments (a string of JSON, read as
// JSON), or the input text, or a shell or web action.
template <class V>
void append_call_input(std::string& out, V payload) {
    static constexpr std::string_view keys[] = {"arguments", "input", "action"};
    V f[3];
    get_many(payload, keys, f);
    if (is_string(f[0])) {
        std::string_view s = string_value(f[0]);
        if (!with_embedded_json(s, [&](auto root) { append_readable(out, root); })) out += s;
    } else if (!is_absent(f[0]) && kind_of(f[0]) != jkind::null) {
        append_readable(out, f[0]);
    } else if (is_string(f[1])) {
        out += string_value(f[1]);
    } else {
        append_readable(out, f[2]);
    }
}

// A tool's output for a person: the text of {"output": ..., "metadata": ...}
// when the output is that object written as a string, else its flattened text.
template <class V>
void append_output(std::string& out, V payload) {
    V output = get(payload, "output");
    if (is_string(output)) {
        std::string_view s = string_value(output);
        bool done = with_embedded_json(s, [&](auto root) {
            auto inner = get(root, "output");
            if (!is_string(inner)) {
                append_readable(out, root);
                return;
            }
            out += string_value(inner);
        });
        if (!done) out += s;
        return;
    }
    append_text_of(out, output, no_stop, no_stop, true);
}

bool is_call(std::string_view t) {
    return t == "function_call" || t == "custom_tool_call" || t == "tool_call" || t == "local_shell_call" ||
           t == "web_search_call" || t == "image_generation_call";
}

bool is_call_output(std::string_view t) {
    return t == "function_call_output" || t == "custom_tool_call_output" || t == "local_shell_call_output" ||
           t == "tool_call_output";
}

// A reasoning item's summary parts and raw content parts, each a row of its own
// (the agent_reasoning and agent_reasoning_raw_content events repeat them one part
// per event, so that the twin finder pairs them); its encrypted content is opaque.
template <class V>
void reasoning_rows(V payload, std::string_view timestamp, row_list& rows) {
    auto part_rows = [&](V parts) {
        if (!is_array(parts)) return;
        for_each_element(parts, [&](V part) {
            std::string_view text = is_string(part) ? string_value(part) : str_of(get(part, "text"));
            if (!is_blank(text)) add_row(rows, "assistant", text, timestamp, {"response_item"}, kind_thinking);
        });
    };
    part_rows(get(payload, "summary"));
    part_rows(get(payload, "content"));
}

// A Codex response item that holds no text a person reads: a snapshot of the work
// tree taken to undo a turn (commit ids and lists of untracked files).
bool is_textless_item(std::string_view t) { return t == "ghost_snapshot"; }

template <class V>
void response_item_parts(codex_rules& r, std::string_view type, V payload, std::string_view timestamp,
                         row_list& rows) {
    if (type == "message") {
        V role = get(payload, "role");
        std::string text = text_of(get(payload, "content"), no_stop, true);
        if (!r.cwd_known) {
            std::string_view cwd = context_cwd(text);
            if (!cwd.empty()) {
                add_row(rows, "__meta__", cwd, {}, {});
                r.cwd_known = true;
            }
        }
        add_row(rows, is_string(role) ? string_value(role) : "assistant", text, timestamp, {"response_item"});
        return;
    }
    if (type == "reasoning") {
        reasoning_rows(payload, timestamp, rows);
        return;
    }
    static constexpr std::string_view keys[] = {"name", "call_id", "id"};
    V f[3];
    get_many(payload, keys, f);
    std::string_view call_id = is_string(f[1]) ? string_value(f[1]) : str_of(f[2]);
    std::string text;
    if (is_call(type)) {
        std::string_view name = is_string(f[0]) ? string_value(f[0])
                                : type == "local_shell_call" ? std::string_view("shell")
                                : type == "web_search_call"  ? std::string_view("web_search")
                                                             : std::string_view("tool");
        append_call_input(text, payload);
        add_row(rows, "assistant", text, timestamp, {name, call_id}, kind_tool_call);
    } else if (is_call_output(type)) {
        append_output(text, payload);
        add_row(rows, "tool", text, timestamp, {{}, call_id}, kind_tool_result);
    } else if (!is_textless_item(type)) {
        // An item of a type not known here: its strings, shown plainly.
        append_loose_text(text, payload);
        V role = get(payload, "role");
        if (!is_blank(text)) add_row(rows, is_string(role) ? string_value(role) : "assistant", text, timestamp, {});
    }
}

template <class V>
void response_item_row(codex_rules& r, std::string_view type, V payload, std::string_view timestamp,
                       row_list& rows) {
    const rule_options& o = r.options;
    if (o.parts) {
        response_item_parts(r, type, payload, timestamp, rows);
    } else if (type == "message") {
        V role = get(payload, "role");
        add_row(rows, is_string(role) ? string_value(role) : "assistant", text_of(get(payload, "content")), timestamp,
                {"response_item"});
    } else if (type == "function_call" || type == "custom_tool_call" || type == "tool_call") {
        if (o.include_tools) add_row(rows, "assistant", tool_call_text(payload, o), timestamp, {"tool"});
    } else if (type == "function_call_output" || type == "custom_tool_call_output") {
        if (o.include_tools) add_row(rows, "tool", tool_result_text(payload, o), timestamp, {"tool"});
    }
}

template <class V>
void event_row(std::string_view type, V payload, std::string_view timestamp, const rule_options& o,
               row_list& rows) {
    if (o.parts && (type == "agent_reasoning" || type == "agent_reasoning_raw_content")) {
        // Each part of a reasoning item's summary (or raw content), as it came.
        std::string_view text = str_of(get(payload, "text"));
        if (!is_blank(text)) add_row(rows, "assistant", text, timestamp, {"event_msg"}, kind_thinking);
        return;
    }
    const char* role;
    if (type == "user_message")
        role = "user";
    else if (type == "agent_message")
        role = "assistant";
    else
        return;
    size_t object_limit = o.cut_texts ? object_text_limit : no_stop;
    V message = get(payload, "message");
    std::string text = truthy(message) ? text_of(message, object_limit) : text_of(get(payload, "text"), object_limit);
    add_row(rows, role, text, timestamp, {"event_msg"});
}

template <class V>
void codex_row(codex_rules& rules, line_rule rule, V root, row_list& rows) {
    if (rule == line_rule::session_meta) {
        session_meta_row(rules, root, rows);
        return;
    }
    if (rule == line_rule::legacy_header) {
        legacy_header_row(rules, root, rows);
        return;
    }
    if (rule == line_rule::bare_item) {
        // A response item as the older layout wrote it: no envelope, and mostly no
        // time stamp of its own.
        V type = get(root, "type");
        if (!is_string(type) || !is_absent(get(root, "payload"))) return;
        std::string_view timestamp = str_of(get(root, "timestamp"));
        response_item_row(rules, string_value(type), root, timestamp.empty() ? rules.session_time : timestamp, rows);
        return;
    }
    static constexpr std::string_view keys[] = {"timestamp", "payload"};
    V f[2];
    get_many(root, keys, f);
    std::string_view timestamp = str_of(f[0]);
    if (timestamp.empty() && rules.options.parts) timestamp = rules.session_time;
    if (rule == line_rule::compacted) {
        // The summary that replaces the conversation so far when it is compacted.
        V message = get(f[1], "message");
        if (is_string(message) && !is_blank(string_value(message)))
            add_row(rows, "assistant", string_value(message), timestamp, {"compacted"}, kind_summary);
        return;
    }
    V type = get(f[1], "type");
    if (!is_string(type)) return;
    if (rule == line_rule::response_item)
        response_item_row(rules, string_value(type), f[1], timestamp, rows);
    else
        event_row(string_value(type), f[1], timestamp, rules.options, rows);
}

}  // namespace

codex_rules make_codex_rules(const rule_options& options) {
    return codex_rules{make_quoted_finder("response_item"),
                       make_quoted_finder("event_msg"),
                       make_quoted_finder("session_meta"),
                       make_quoted_finder("message"),
                       make_finder("user_message"),
                       make_finder("agent_message"),
                       make_finder("_call"),
                       make_quoted_finder("compacted"),
                       make_quoted_finder("turn_context"),
                       make_finder("agent_reasoning"),
                       options,
                       {},
                       false};
}

void codex_line(codex_rules& rules, line_parser& parser, std::string_view line, row_list& rows) {
    line_rule rule = choose_rule(rules, line);
    if (rule == line_rule::none) return;
    parsed_line parsed = parse_line(parser, line);
    with_root(parsed, [&](auto root) { codex_row(rules, rule, root, rows); });
}

}  // namespace sr
