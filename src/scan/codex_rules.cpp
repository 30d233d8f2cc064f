#include "codex_rules.h"

#include <iterator>
#include <string>

#include "../render/json_text.h"
#include "../render/text_of.h"
#include "../render/utf8.h"

namespace sr {

line_rule choose_rule(const codex_rules& r, std::string_view line) {
    std::string_view window = line.substr(0, codex_window);
    // has_kv with each of the four needles, in one pass over the window.
    bool session_meta = false, response_item = false, event_msg = false, message = false;
    for_each_type_value(window, [&](std::string_view value) {
        session_meta = session_meta || starts_with(value, r.session_meta);
        response_item = response_item || starts_with(value, r.response_item);
        event_msg = event_msg || starts_with(value, r.event_msg);
        message = message || starts_with(value, r.message);
        return session_meta;  // nothing can outrank it
    });
    if (session_meta) return line_rule::session_meta;
    if (response_item) {
        if (message) return line_rule::response_item;
        if (r.include_tools && contains(r.call, window)) return line_rule::response_item;
        return line_rule::none;
    }
    if (event_msg) {
        if (contains(r.user_message, window) || contains(r.agent_message, window)) return line_rule::event;
    }
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
std::string tool_call_text(V payload) {
    static constexpr std::string_view keys[] = {"name", "arguments", "input"};
    V f[3];
    get_many(payload, keys, f);
    std::string text = "[tool_call ";
    text += is_string(f[0]) ? string_value(f[0]) : std::string_view("tool");
    text += "] ";
    size_t start = text.size();
    switch (kind_of(f[1])) {
        case jkind::string: text += string_value(f[1]); break;
        case jkind::absent:
        case jkind::null: text += str_of(f[2]); break;
        default: append_compact_json(text, f[1], stop_after_chars(start, argument_limit)); break;
    }
    cut_chars(text, argument_limit, start);
    return text;
}

template <class V>
std::string tool_result_text(V payload) {
    std::string text = "[tool_result] ";
    size_t start = text.size();
    append_text_of(text, get(payload, "output"), stop_after_chars(start, output_limit));
    cut_chars(text, output_limit, start);
    return text;
}

template <class V>
void response_item_row(const codex_rules& r, std::string_view type, V payload, std::string_view timestamp,
                       row_list& rows) {
    if (type == "message") {
        V role = get(payload, "role");
        add_row(rows, is_string(role) ? string_value(role) : "assistant", text_of(get(payload, "content")), timestamp,
                {"response_item"});
    } else if (type == "function_call" || type == "custom_tool_call" || type == "tool_call") {
        if (r.include_tools) add_row(rows, "assistant", tool_call_text(payload), timestamp, {"tool"});
    } else if (type == "function_call_output" || type == "custom_tool_call_output") {
        if (r.include_tools) add_row(rows, "tool", tool_result_text(payload), timestamp, {"tool"});
    }
}

template <class V>
void event_row(std::string_view type, V payload, std::string_view timestamp, row_list& rows) {
    const char* role;
    if (type == "user_message")
        role = "user";
    else if (type == "agent_message")
        role = "assistant";
    else
        return;
    V message = get(payload, "message");
    std::string text = truthy(message) ? text_of(message) : text_of(get(payload, "text"));
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
    V type = get(f[1], "type");
    if (!is_string(type)) return;
    std::string_view timestamp = str_of(f[0]);
    if (rule == line_rule::response_item)
        response_item_row(rules, string_value(type), f[1], timestamp, rows);
    else
        event_row(string_value(type), f[1], timestamp, rows);
}

}  // namespace

codex_rules make_codex_rules(bool include_tools) {
    return codex_rules{make_quoted_finder("response_item"),
                       make_quoted_finder("event_msg"),
                       make_quoted_finder("session_meta"),
                       make_quoted_finder("message"),
                       make_finder("user_message"),
                       make_finder("agent_message"),
                       make_finder("_call"),
                       include_tools};
}

void codex_line(const codex_rules& rules, line_parser& parser, std::string_view line, row_list& rows) {
    line_rule rule = choose_rule(rules, line);
    if (rule == line_rule::none) return;
    parsed_line parsed = parse_line(parser, line);
    with_root(parsed, [&](auto root) { codex_row(rules, rule, root, rows); });
}

}  // namespace sr
