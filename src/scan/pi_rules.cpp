#include "pi_rules.h"

#include <algorithm>
#include <iterator>

#include "../render/json_text.h"
#include "../render/readable_text.h"
#include "../render/text_of.h"
#include "../render/utf8.h"

namespace sr {

namespace {

constexpr size_t argument_limit = 500;  // characters of a tool call's arguments
constexpr size_t output_limit = 800;    // characters of a tool's output
constexpr size_t role_window = 256;     // Pi writes a message's role within its first bytes

// --- the byte test ---

// True if the first bytes hold "role" (quotes included), a colon and "toolResult".
bool names_tool_result(const pi_rules& r, std::string_view line) {
    std::string_view window = line.substr(0, role_window);
    return for_each_match(r.role, window, [&](size_t at) {
        size_t i = at + r.role.needle.size();
        while (i < window.size() && (window[i] == ' ' || window[i] == '\t')) ++i;
        if (i == window.size() || window[i] != ':') return false;
        ++i;
        while (i < window.size() && (window[i] == ' ' || window[i] == '\t')) ++i;
        return window.substr(i, 12) == "\"toolResult\"";
    });
}

// --- holding rows ---

void hold(pi_rules& r, uint32_t entry, std::string_view role, std::string_view text, std::string_view timestamp,
          std::initializer_list<std::string_view> source, unsigned char kind = kind_text) {
    add_row(r.held, role, text, timestamp, source, kind);
    r.row_entry.push_back(entry);
}

// Registers an entry of the current tree and returns its place. An entry replaces
// the latest one of the same id and the same kind (its type and role, a tool result
// told by its first bytes, as the byte test tells it, so that the default reading
// with and without tool rows agrees on what was replaced).
template <class V>
uint32_t add_entry(pi_rules& r, V id, V parent_id, std::string_view kind) {
    uint32_t at = static_cast<uint32_t>(r.entries.size());
    pi_entry e;
    if (kind_of(parent_id) == jkind::null) {
        e.parent = pi_entry::root;
    } else if (is_string(parent_id)) {
        auto parent = r.ids.find(std::string(string_value(parent_id)));
        if (parent != r.ids.end()) e.parent = parent->second;  // always written before: ids holds earlier entries
    }
    r.entries.push_back(e);
    if (!is_string(id)) return at;
    std::string key(string_value(id));
    r.ids[key] = at;
    key += '\0';
    key += kind;
    auto [same, fresh] = r.versions.try_emplace(std::move(key), at);
    if (!fresh) {
        r.entries[same->second].replaced_by = at;
        same->second = at;
    }
    return at;
}

// --- texts ---

// A content part the rules do not know: its text, else the whole part, plainly.
template <class V>
void append_unknown_part(std::string& out, V part) {
    V text = get(part, "text");
    if (is_string(text))
        out += string_value(text);
    else
        append_readable(out, part);
}

// The text of a content that holds no tool calls or thinking (a tool's output, a
// message an extension wrote): a string as it is, else its parts one per line,
// images as "[image]".
template <class V>
void append_content(std::string& out, V content) {
    if (is_string(content)) {
        out += string_value(content);
        return;
    }
    if (!is_array(content)) {
        if (!is_absent(content) && kind_of(content) != jkind::null) append_unknown_part(out, content);
        return;
    }
    bool any = false;
    for_each_element(content, [&](V part) {
        size_t mark = out.size();
        if (any) out += '\n';
        size_t start = out.size();
        std::string_view type = str_of(get(part, "type"));
        if (is_string(part))
            out += string_value(part);
        else if (type == "text")
            out += str_of(get(part, "text"));
        else if (type == "image")
            out += "[image]";
        else
            append_unknown_part(out, part);
        if (out.size() == start)
            out.resize(mark);
        else
            any = true;
    });
}

template <class V>
std::string content_text(V content) {
    std::string out;
    append_content(out, content);
    return out;
}

// A tool's output as the person saw it: the content, and the diff an edit shows.
template <class V>
std::string tool_output(V content, V details) {
    std::string out = content_text(content);
    V diff = get(details, "diff");
    if (is_string(diff) && !is_blank(string_value(diff))) {
        if (!out.empty()) out += "\n\n";
        out += string_value(diff);
    }
    return out;
}

// What a person typed after "!" (or "!!", kept from the model) in Pi's editor.
template <class V>
std::string shell_input(V command, V exclude_from_context) {
    std::string out = is_true(exclude_from_context) ? "!!" : "!";
    out += str_of(command);
    return out;
}

// --- the parts reading of a message ---

struct message_fields {
    static constexpr std::string_view keys[] = {"role",    "content", "toolCallId", "details",
                                                "errorMessage", "command", "output", "excludeFromContext",
                                                "summary"};
    enum { role, content, tool_call_id, details, error_message, command, output, exclude_from_context, summary };
};

// A user's, an assistant's or an unknown role's content: the text parts of a run
// one row, each thinking part and each tool call a row of its own, in their order.
template <class V>
void said_parts(pi_rules& r, uint32_t e, std::string_view role, V content, std::string_view ts) {
    if (!is_array(content)) {
        std::string text = content_text(content);
        if (!is_blank(text)) hold(r, e, role, text, ts, {});
        return;
    }
    std::string text, part_text;
    bool any = false;
    auto flush = [&] {
        if (any && !is_blank(text)) hold(r, e, role, text, ts, {});
        text.clear();
        any = false;
    };
    for_each_element(content, [&](V part) {
        std::string_view type = str_of(get(part, "type"));
        if (type == "thinking") {
            flush();
            std::string_view thought = str_of(get(part, "thinking"));
            if (!is_blank(thought)) hold(r, e, "assistant", thought, ts, {}, kind_thinking);
            return;
        }
        if (type == "toolCall") {
            flush();
            static constexpr std::string_view keys[] = {"id", "name", "arguments"};
            V f[3];
            get_many(part, keys, f);
            part_text.clear();
            append_readable(part_text, f[2]);
            hold(r, e, "assistant", part_text, ts,
                 {is_string(f[1]) ? string_value(f[1]) : std::string_view("tool"), str_of(f[0])}, kind_tool_call);
            return;
        }
        size_t mark = text.size();
        if (any) text += '\n';
        size_t start = text.size();
        if (is_string(part))
            text += string_value(part);
        else if (type == "text")
            text += str_of(get(part, "text"));
        else if (type == "image")
            text += "[image]";
        else
            append_unknown_part(text, part);
        if (text.size() == start)
            text.resize(mark);
        else
            any = true;
    });
    flush();
}

template <class V>
void message_parts(pi_rules& r, uint32_t e, V message, std::string_view ts) {
    using m = message_fields;
    V f[std::size(m::keys)];
    get_many(message, m::keys, f);
    std::string_view role = str_of(f[m::role]);
    if (role == "toolResult") {
        hold(r, e, "tool", tool_output(f[m::content], f[m::details]), ts, {{}, str_of(f[m::tool_call_id])},
             kind_tool_result);
        return;
    }
    if (role == "bashExecution") {  // the person's own shell command and what it printed
        hold(r, e, "user", shell_input(f[m::command], f[m::exclude_from_context]), ts, {});
        hold(r, e, "tool", str_of(f[m::output]), ts, {{}, {}}, kind_tool_result);
        return;
    }
    if (role == "custom") {  // written by an extension
        std::string text = content_text(f[m::content]);
        if (!is_blank(text)) hold(r, e, "user", text, ts, {}, kind_context);
        return;
    }
    if (role == "branchSummary" || role == "compactionSummary") {
        std::string_view text = str_of(f[m::summary]);
        if (!is_blank(text)) hold(r, e, "assistant", text, ts, {}, kind_summary);
        return;
    }
    said_parts(r, e, role.empty() ? std::string_view("assistant") : role, f[m::content], ts);
    // Pi's own notice of a failed or aborted turn.
    std::string_view error = str_of(f[m::error_message]);
    if (!is_blank(error)) hold(r, e, role.empty() ? std::string_view("assistant") : role, error, ts, {}, kind_context);
}

// --- the default reading of a message ---

template <class V>
std::string cut_output(std::string_view prefix, V output, const rule_options& o) {
    std::string text(prefix);
    size_t start = text.size();
    if (!o.cut_texts) {
        append_text_of(text, output, no_stop, no_stop);
        return text;
    }
    append_text_of(text, output, stop_after_chars(start, output_limit));
    cut_chars(text, output_limit, start);
    return text;
}

template <class V>
std::string tool_call_text(V part, const rule_options& o) {
    static constexpr std::string_view keys[] = {"name", "arguments"};
    V f[2];
    get_many(part, keys, f);
    std::string text = "[tool_call ";
    text += is_string(f[0]) ? string_value(f[0]) : std::string_view("tool");
    text += "] ";
    size_t start = text.size();
    size_t stop = o.cut_texts ? stop_after_chars(start, argument_limit) : no_stop;
    switch (kind_of(f[1])) {
        case jkind::string: text += string_value(f[1]); break;
        case jkind::absent:
        case jkind::null: break;
        default: append_compact_json(text, f[1], stop); break;
    }
    if (o.cut_texts) cut_chars(text, argument_limit, start);
    return text;
}

template <class V>
void message_row(pi_rules& r, uint32_t e, V message, std::string_view ts) {
    using m = message_fields;
    const rule_options& o = r.options;
    V f[std::size(m::keys)];
    get_many(message, m::keys, f);
    std::string_view role = str_of(f[m::role]);
    if (role == "toolResult") {
        if (o.include_tools) hold(r, e, "tool", cut_output("[tool_result] ", f[m::content], o), ts, {"tool"});
        return;
    }
    if (role == "bashExecution") {
        hold(r, e, "user", shell_input(f[m::command], f[m::exclude_from_context]), ts, {"message"});
        if (o.include_tools) hold(r, e, "tool", cut_output("[tool_result] ", f[m::output], o), ts, {"tool"});
        return;
    }
    if (role.empty()) role = "assistant";
    std::string text = role == "branchSummary" || role == "compactionSummary"
                           ? std::string(str_of(f[m::summary]))
                           : text_of(f[m::content], o.cut_texts ? object_text_limit : no_stop);
    if (!is_blank(text)) hold(r, e, role, text, ts, {"message"});
    if (!o.include_tools || !is_array(f[m::content])) return;
    for_each_element(f[m::content], [&](V part) {
        if (str_of(get(part, "type")) == "toolCall")
            hold(r, e, "assistant", tool_call_text(part, o), ts, {"tool"});
    });
}

// --- entries ---

template <class V>
void session_header(pi_rules& r, V root) {
    static constexpr std::string_view keys[] = {"id", "cwd"};
    V f[2];
    get_many(root, keys, f);
    r.segment_starts.push_back(static_cast<uint32_t>(r.entries.size()));
    r.ids.clear();
    r.versions.clear();
    if (!r.options.parts) {
        hold(r, pi_entry::none, "__meta__", str_of(f[1]), {}, {str_of(f[0])});
    } else if (!r.session_named && (is_string(f[0]) || is_string(f[1]))) {
        hold(r, pi_entry::none, "__session__", str_of(f[1]), {}, {str_of(f[0]), {}});
        r.session_named = true;
    }
}

template <class V>
void pi_entry_line(pi_rules& r, V root, bool tool_result) {
    static constexpr std::string_view keys[] = {"type",    "id",      "parentId",   "timestamp", "message", "summary",
                                                "content", "data",    "customType", "label",     "name"};
    enum { type, id, parent_id, timestamp, message, summary, content, data, custom_type, label, name };
    V f[std::size(keys)];
    get_many(root, keys, f);
    if (!is_string(f[type])) return;
    std::string_view kind = string_value(f[type]);
    if (kind == "session") {
        session_header(r, root);
        return;
    }
    std::string entry_kind(tool_result ? std::string_view("toolResult") : kind);
    if (!tool_result && kind == "message") {
        entry_kind += '/';
        entry_kind += str_of(get(f[message], "role"));
    }
    uint32_t e = add_entry(r, f[id], f[parent_id], entry_kind);
    std::string_view ts = str_of(f[timestamp]);
    if (kind == "message") {
        if (r.options.parts)
            message_parts(r, e, f[message], ts);
        else
            message_row(r, e, f[message], ts);
        return;
    }
    if (!r.options.parts || kind == "model_change" || kind == "thinking_level_change") return;
    if (kind == "compaction" || kind == "branch_summary") {
        std::string_view text = str_of(f[summary]);
        if (!is_blank(text)) hold(r, e, "assistant", text, ts, {}, kind_summary);
    } else if (kind == "custom_message") {  // an extension's message to the model
        std::string text = content_text(f[content]);
        if (!is_blank(text)) hold(r, e, "user", text, ts, {}, kind_context);
    } else if (kind == "custom") {  // an extension's own state
        std::string text(str_of(f[custom_type]));
        if (!is_absent(f[data]) && kind_of(f[data]) != jkind::null) {
            if (!text.empty()) text += '\n';
            append_readable(text, f[data]);
        }
        if (!is_blank(text)) hold(r, e, "system", text, ts, {}, kind_context);
    } else if (kind == "label") {  // the person's bookmark on an entry
        std::string_view text = str_of(f[label]);
        if (!is_blank(text)) hold(r, e, "user", text, ts, {}, kind_context);
    } else if (kind == "session_info") {  // the name the person gave the session
        r.has_name = true;
        r.name = str_of(f[name]);
        if (!is_blank(r.name)) hold(r, e, "user", r.name, ts, {}, kind_context);
    } else if (is_object(f[message])) {  // entry kinds to come
        message_parts(r, e, f[message], ts);
    } else if (is_string(f[summary]) && !is_blank(string_value(f[summary]))) {
        hold(r, e, "assistant", string_value(f[summary]), ts, {}, kind_summary);
    } else if (!is_absent(f[content])) {
        std::string text = content_text(f[content]);
        if (!is_blank(text)) hold(r, e, "user", text, ts, {}, kind_context);
    }
}

// Marks the entries on the path from each tree's last entry back to its root. An
// entry whose parent is unknown (a torn line, a log without ids) is taken to follow
// the entry written before it; a replaced entry stands for its replacement.
std::vector<char> shown_path(const pi_rules& r) {
    const std::vector<pi_entry>& entries = r.entries;
    std::vector<char> on(entries.size(), 0);
    std::vector<uint32_t> starts = r.segment_starts;
    if (starts.empty() || starts.front() != 0) starts.insert(starts.begin(), 0);
    for (size_t s = 0; s < starts.size(); ++s) {
        uint32_t begin = starts[s];
        uint32_t end = s + 1 < starts.size() ? starts[s + 1] : static_cast<uint32_t>(entries.size());
        if (begin >= end) continue;
        uint32_t at = end - 1;
        for (;;) {
            while (entries[at].replaced_by != pi_entry::none) at = entries[at].replaced_by;
            if (on[at]) break;  // a cycle, through replaced entries
            on[at] = 1;
            uint32_t parent = entries[at].parent;
            if (parent == pi_entry::root) break;
            if (parent == pi_entry::unknown) {
                if (at == begin) break;
                parent = at - 1;
            }
            at = parent;
        }
    }
    return on;
}

}  // namespace

pi_rules make_pi_rules(const rule_options& options) {
    pi_rules r;
    r.options = options;
    r.message = make_quoted_finder("message");
    r.session = make_quoted_finder("session");
    r.role = make_quoted_finder("role");
    return r;
}

bool pi_prefilter(const pi_rules& r, std::string_view line) {
    if (r.options.parts) return for_each_type_value(line, [](std::string_view) { return true; });
    if (!r.options.include_tools && names_tool_result(r, line)) return false;
    return for_each_type_value(line, [&](std::string_view value) {
        return starts_with(value, r.message) || starts_with(value, r.session);
    });
}

bool pi_line_worth_keeping(const pi_rules& r, std::string_view head) { return pi_prefilter(r, head); }

void pi_line(pi_rules& r, line_parser& parser, std::string_view line, row_list&) {
    if (!pi_prefilter(r, line)) return;
    bool tool_result = names_tool_result(r, line);
    parsed_line parsed = parse_line(parser, line);
    with_root(parsed, [&](auto root) { pi_entry_line(r, root, tool_result); });
}

void pi_finish(pi_rules& r, row_list& rows) {
    std::vector<char> on_path;
    if (r.options.parts) on_path = shown_path(r);
    auto replaced = [&](uint32_t e) { return e != pi_entry::none && r.entries[e].replaced_by != pi_entry::none; };
    auto rewound = [&](uint32_t e) -> unsigned char {
        return !on_path.empty() && e != pi_entry::none && !on_path[e] ? flag_rewound : 0;
    };
    if (size(rows) == 0 && std::none_of(r.row_entry.begin(), r.row_entry.end(), replaced)) {
        // The usual log, nothing written twice: the held rows are the rows.
        if (!on_path.empty()) add_flags(r.held, [&](size_t i) { return rewound(r.row_entry[i]); });
        rows = std::move(r.held);
    } else {
        size_t k = 0;
        drain_rows(r.held, [&](const row_view& row) {
            uint32_t e = r.row_entry[k++];
            if (!replaced(e))
                add_row(rows, row.role, row.text, row.timestamp, {row.source}, row.kind, row.flags | rewound(e));
            return true;
        });
    }
    r.held = row_list();
    r.row_entry.clear();
    if (r.options.parts && r.has_name && !is_blank(r.name)) add_row(rows, "__custom_title__", r.name, {}, {});
}

}  // namespace sr
