#include "codex_rules.h"

#include <iterator>
#include <string>

#include "../render/json_text.h"
#include "../render/readable_text.h"
#include "../render/text_of.h"
#include "../render/utf8.h"

namespace sr {

line_rule choose_rule(const codex_rules& r, std::string_view line) {
    std::string_view window = line.substr(0, codex_window);
    // has_kv with each of the four needles, in one pass over the window.
    bool session_meta = false, response_item = false, event_msg = false, message = false, compacted = false;
    const bool parts = r.options.parts;
    for_each_type_value(window, [&](std::string_view value) {
        session_meta = session_meta || starts_with(value, r.session_meta);
        response_item = response_item || starts_with(value, r.response_item);
        event_msg = event_msg || starts_with(value, r.event_msg);
        message = message || starts_with(value, r.message);
        compacted = compacted || (parts && starts_with(value, r.compacted));
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
    }
    if (compacted) return line_rule::compacted;
    return line_rule::none;
}

namespace {

constexpr size_t argument_limit = 500;  // characters of a tool call's arguments
constexpr size_t output_limit = 800;    // characters of a tool call's output

template <class V>
void session_meta_row(V root, row_list& rows) {
    static constexpr std::string_view keys[] = {"id", "session_id", "cwd"};
    V f[3];
    get_many(get(root, "payload"), keys, f);
    std::string_view id = is_string(f[0]) ? string_value(f[0]) : str_of(f[1]);
    add_row(rows, "__meta__", str_of(f[2]), {}, {id});
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
    append_text_of(out, output, no_stop, no_stop);
}

bool is_call(std::string_view t) {
    return t == "function_call" || t == "custom_tool_call" || t == "tool_call" || t == "local_shell_call" ||
           t == "web_search_call" || t == "image_generation_call";
}

bool is_call_output(std::string_view t) {
    return t == "function_call_output" || t == "custom_tool_call_output" || t == "local_shell_call_output" ||
           t == "tool_call_output";
}

template <class V>
void response_item_parts(std::string_view type, V payload, std::string_view timestamp, row_list& rows) {
    if (type == "message") {
        V role = get(payload, "role");
        std::string text = text_of(get(payload, "content"), no_stop);
        add_row(rows, is_string(role) ? string_value(role) : "assistant", text, timestamp, {"response_item"});
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
    }
}

template <class V>
void response_item_row(const codex_rules& r, std::string_view type, V payload, std::string_view timestamp,
                       row_list& rows) {
    const rule_options& o = r.options;
    if (o.parts) {
        response_item_parts(type, payload, timestamp, rows);
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
void codex_row(const codex_rules& rules, line_rule rule, V root, row_list& rows) {
    if (rule == line_rule::session_meta) {
        session_meta_row(root, rows);
        return;
    }
    static constexpr std::string_view keys[] = {"timestamp", "payload"};
    V f[2];
    get_many(root, keys, f);
    std::string_view timestamp = str_of(f[0]);
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
                       options};
}

void codex_line(const codex_rules& rules, line_parser& parser, std::string_view line, row_list& rows) {
    line_rule rule = choose_rule(rules, line);
    if (rule == line_rule::none) return;
    parsed_line parsed = parse_line(parser, line);
    with_root(parsed, [&](auto root) { codex_row(rules, rule, root, rows); });
}

}  // namespace sr
