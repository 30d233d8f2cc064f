#include "copilot_rules.h"

#include <algorithm>
#include <functional>
#include <iterator>

#include "../render/json_text.h"
#include "../render/readable_text.h"
#include "../render/text_of.h"
#include "../render/utf8.h"
#include "has_kv.h"

namespace sr {

namespace {

constexpr size_t argument_limit = 500;  // characters of a tool call's input (the rows of `_core`)
constexpr size_t output_limit = 800;    // characters of a tool call's output
constexpr uint64_t max_chunks = 4096;   // chunks of one message kept apart; past that, a writing replaces

// What an event is to the rules, by its "type".
enum class event : unsigned char {
    unknown,        // a kind the rules do not know: its text fields, plainly (the parts reading)
    skip,           // no text for a person: usage, models, modes, permissions, turn marks, deltas
    session,        // session.start, session.resume: the session id and working directory
    user,           // what the person typed, and what the tool wrapped around it
    assistant,      // the assistant's words, its reasoning and its tool requests
    system,         // the system prompt
    tool_start,     // a tool call as it starts (the request, once more)
    tool_user,      // a tool call the person asked for (a `!` shell command)
    tool_complete,  // a tool's result or error
    reasoning,      // the assistant's reasoning, as an event of its own
    notice,         // notices the tool writes: notifications, errors, sub-agents, skills
    compaction,     // the summary that replaces the conversation so far
    task_complete,  // the summary of a finished task
    title,          // a title the tool generated
    rewind,         // the conversation taken back to an earlier event
};

struct named_event {
    std::string_view name;
    event what;
};

// In byte order of the names, for the binary search.
constexpr named_event known_events[] = {
    {"abort", event::notice},
    {"assistant.intent", event::skip},
    {"assistant.message", event::assistant},
    {"assistant.message_delta", event::skip},
    {"assistant.reasoning", event::reasoning},
    {"assistant.reasoning_delta", event::skip},
    {"assistant.streaming_delta", event::skip},
    {"assistant.turn_end", event::skip},
    {"assistant.turn_start", event::skip},
    {"assistant.usage", event::skip},
    {"command.completed", event::skip},
    {"command.queued", event::skip},
    {"elicitation.completed", event::skip},
    {"elicitation.requested", event::skip},
    {"exit_plan_mode.completed", event::skip},
    {"external_tool.completed", event::skip},
    {"external_tool.requested", event::skip},
    {"pending_messages.modified", event::skip},
    {"permission.completed", event::skip},
    {"permission.requested", event::skip},  // the command and intention of a call already read
    {"session.auto_mode_resolved", event::skip},
    {"session.compaction_complete", event::compaction},
    {"session.compaction_start", event::skip},
    {"session.context_changed", event::skip},
    {"session.error", event::notice},
    {"session.idle", event::skip},
    {"session.info", event::notice},
    {"session.mode_changed", event::skip},
    {"session.model_change", event::skip},
    {"session.permissions_changed", event::skip},
    {"session.resume", event::session},
    {"session.shutdown", event::skip},
    {"session.snapshot_rewind", event::rewind},
    {"session.start", event::session},
    {"session.task_complete", event::task_complete},
    {"session.title_changed", event::title},
    {"session.truncation", event::skip},
    {"session.usage_checkpoint", event::skip},
    {"session.usage_info", event::skip},
    {"session.warning", event::notice},
    {"session.workspace_file_changed", event::skip},
    {"skill.invoked", event::notice},
    {"subagent.completed", event::skip},
    {"subagent.deselected", event::skip},
    {"subagent.failed", event::notice},
    {"subagent.selected", event::skip},
    {"subagent.started", event::notice},
    {"system.message", event::system},
    {"system.notification", event::notice},
    {"tool.execution_complete", event::tool_complete},
    {"tool.execution_partial_result", event::skip},
    {"tool.execution_progress", event::skip},
    {"tool.execution_start", event::tool_start},
    {"tool.user_requested", event::tool_user},
    {"user.message", event::user},
    {"user_input.completed", event::skip},
    {"user_input.requested", event::skip},  // the question is the ask_user call's input
};

constexpr bool names_in_order() {
    for (size_t i = 1; i < std::size(known_events); ++i)
        if (!(known_events[i - 1].name < known_events[i].name)) return false;
    return true;
}
static_assert(names_in_order(), "known_events must be sorted by name");

event classify(std::string_view name) {
    const named_event* end = std::end(known_events);
    const named_event* at = std::lower_bound(std::begin(known_events), end, name,
                                             [](const named_event& e, std::string_view n) { return e.name < n; });
    return at != end && at->name == name ? at->what : event::unknown;
}

// Whether the reading these options ask for takes rows from such events.
bool wanted(event e, const rule_options& o) {
    switch (e) {
        case event::skip: return false;
        case event::session:
        case event::user:
        case event::assistant:
        case event::system: return true;
        case event::tool_start:
        case event::tool_user:
        case event::tool_complete: return o.include_tools;
        default: return o.parts;  // unknown kinds too: their text is found, shown plainly
    }
}

// The event name a "type" key's value starts with: a plain JSON string of a few
// dozen bytes, without escapes.
bool quoted_name(std::string_view rest, std::string_view& name) {
    if (rest.empty() || rest[0] != '"') return false;
    for (size_t i = 1; i < rest.size() && i <= 64; ++i) {
        char c = rest[i];
        if (c == '"') {
            name = rest.substr(1, i - 1);
            return true;
        }
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
    }
    return false;
}

// The byte test: a line is parsed if one of its "type" values names an event the
// reading wants, or (the parts reading) if none names an event it leaves out. The
// event's own "type" usually comes first; nested ones ("function", a notification's
// kind) name no event and are passed over.
bool worth_parsing(const copilot_rules& r, std::string_view text) {
    bool keep = false, left_out = false;
    for_each_type_value(text, [&](std::string_view rest) {
        std::string_view name;
        if (!quoted_name(rest, name)) return false;
        event e = classify(name);
        if (e == event::unknown) return false;
        if (wanted(e, r.options)) return keep = true;
        left_out = true;
        return false;
    });
    return keep || (r.options.parts && !left_out);
}

// --- rows held until the end of the file ---

// The row known by `key` (its first letter says which row of an event it is), or a
// new one at the end; `fresh` tells which. An empty id makes no key: a new row.
copilot_row& slot(copilot_rules& r, char what, std::string_view id, bool* fresh = nullptr) {
    if (!id.empty()) {
        std::string key(1, what);
        key += '\t';
        key += id;
        auto [at, added] = r.slots.try_emplace(std::move(key), static_cast<uint32_t>(r.rows.size()));
        if (fresh) *fresh = added;
        if (!added) return r.rows[at->second];
    } else if (fresh) {
        *fresh = true;
    }
    r.rows.emplace_back();
    r.rows.back().line = r.line;
    return r.rows.back();
}

void set(copilot_row& row, std::string_view role, std::string_view timestamp, std::string_view source,
         unsigned char kind, unsigned char flags) {
    row.role = role;
    row.timestamp = timestamp;
    row.source = source;
    row.kind = kind;
    row.flags = flags;
}

// A message's text, whole or as chunk `index` of `count`.
void put_text(copilot_row& row, std::string&& text, uint64_t index, uint64_t count) {
    if (count <= 1 || index >= count || count > max_chunks) {
        row.chunks.clear();
        row.text = std::move(text);
        return;
    }
    if (row.chunks.size() < count) row.chunks.resize(count);
    row.chunks[index] = std::move(text);
}

template <class V>
uint64_t count_of(V v) {
    return kind_of(v) == jkind::uint ? uint_value(v) : 0;
}

// A text field as a person reads it: a string as it is, content parts flattened,
// any other value as its text.
template <class V>
void append_field(std::string& out, V v) {
    if (is_absent(v) || kind_of(v) == jkind::null) return;
    if (!out.empty()) out += '\n';
    append_text_of(out, v, no_stop, no_stop);
}

// Where `part` stands in `whole` (npos: nowhere). The tool writes the person's words
// at the end or the start of what the model is sent; anywhere else is looked for in
// linear time.
size_t locate(std::string_view whole, std::string_view part) {
    if (part.size() > whole.size()) return std::string_view::npos;
    if (whole.substr(whole.size() - part.size()) == part) return whole.size() - part.size();
    if (whole.substr(0, part.size()) == part) return 0;
    auto at = std::search(whole.begin(), whole.end(), std::boyer_moore_searcher(part.begin(), part.end()));
    return at == whole.end() ? std::string_view::npos : static_cast<size_t>(at - whole.begin());
}

// What the tool put around the person's words in what it sent the model.
std::string around(std::string_view sent, std::string_view said) {
    if (said.empty()) return std::string(sent);
    size_t at = locate(sent, said);
    if (at == std::string_view::npos) return std::string(sent);
    std::string out(sent.substr(0, at));
    out += sent.substr(at + said.size());
    return out;
}

// True if one text is the other with something before or after it.
bool holds(std::string_view longer, std::string_view shorter) {
    return longer.size() >= shorter.size() && (longer.substr(0, shorter.size()) == shorter ||
                                               longer.substr(longer.size() - shorter.size()) == shorter);
}

// A tool's output for a person: the full result (detailedContent) and the one the
// model was sent (content) when neither holds the other, content parts, an error.
template <class V>
void append_result(std::string& out, V data) {
    static constexpr std::string_view keys[] = {"result", "error"};
    V f[2];
    get_many(data, keys, f);
    V result = f[0], error = f[1];
    const size_t start = out.size();
    if (is_object(result)) {
        static constexpr std::string_view result_keys[] = {"content", "detailedContent", "contents"};
        V r[3];
        get_many(result, result_keys, r);
        if (is_string(r[0]) && is_string(r[1])) {
            std::string_view concise = string_value(r[0]), detailed = string_value(r[1]);
            if (holds(detailed, concise)) {
                out += detailed;
            } else if (holds(concise, detailed)) {
                out += concise;
            } else {
                out += concise;
                out += "\n\n";
                out += detailed;
            }
        } else if (is_string(r[1])) {
            out += string_value(r[1]);
        } else if (!is_absent(r[0]) && kind_of(r[0]) != jkind::null) {
            append_text_of(out, r[0], no_stop, no_stop);
        } else if (!is_absent(r[2])) {
            append_text_of(out, r[2], no_stop, no_stop);
        } else {
            append_readable(out, result);
        }
    } else if (is_string(result)) {
        out += string_value(result);
    } else if (!is_absent(result) && kind_of(result) != jkind::null) {
        append_readable(out, result);
    }
    if (is_absent(error) || kind_of(error) == jkind::null) return;
    if (out.size() > start) out += '\n';
    V message = get(error, "message");
    if (is_string(message))
        out += string_value(message);
    else
        append_readable(out, error);
}

// A tool call's input: readable text (the parts reading), or "[tool_call NAME] " and
// its compact JSON cut to its limit.
template <class V>
std::string call_text(V name, V arguments, const rule_options& o) {
    std::string text;
    if (o.parts) {
        append_readable(text, arguments);
        return text;
    }
    text = "[tool_call ";
    text += is_string(name) && !string_value(name).empty() ? string_value(name) : std::string_view("tool");
    text += "] ";
    size_t start = text.size();
    if (is_string(arguments))
        text += string_value(arguments);
    else if (!is_absent(arguments) && kind_of(arguments) != jkind::null)
        append_compact_json(text, arguments, o.cut_texts ? stop_after_chars(start, argument_limit) : no_stop);
    if (o.cut_texts) cut_chars(text, argument_limit, start);
    return text;
}

struct line_facts {
    std::string_view type, id, timestamp;
    unsigned char flags;  // flag_subagent for a sub-agent's events (the parts reading)
    event what;
};

template <class V>
void add_call(copilot_rules& r, const line_facts& f, V name, V id, V arguments, bool by_person) {
    bool fresh = false;
    copilot_row& row = slot(r, 'c', str_of(id), &fresh);
    // The request in the assistant's message comes first; the start of its run
    // says it again.
    if (!fresh && f.what == event::tool_start) return;
    const rule_options& o = r.options;
    row.text = call_text(name, arguments, o);
    row.keep_blank = true;
    std::string_view role = by_person ? "user" : "assistant";
    if (!o.parts) {
        set(row, role, f.timestamp, "tool", 0, 0);
        return;
    }
    std::string source(is_string(name) && !string_value(name).empty() ? string_value(name)
                                                                        : std::string_view("tool"));
    source += '\t';
    source += str_of(id);
    set(row, role, f.timestamp, source, kind_tool_call, f.flags);
}

template <class V>
void user_rows(copilot_rules& r, const line_facts& f, V data) {
    static constexpr std::string_view keys[] = {"content", "transformedContent"};
    V m[2];
    get_many(data, keys, m);
    std::string said;
    append_field(said, m[0]);
    if (!r.options.parts) {
        // What the person typed; a message the tool wrote for them (an autopilot
        // continuation) as it was sent.
        if (is_blank(said) && is_string(m[1])) said = string_value(m[1]);
        copilot_row& row = slot(r, 'u', f.id);
        row.text = std::move(said);
        set(row, "user", f.timestamp, f.type, 0, 0);
        return;
    }
    copilot_row& context = slot(r, 'w', f.id);
    context.text = is_string(m[1]) ? around(string_value(m[1]), said) : std::string();
    context.once = true;
    set(context, "user", f.timestamp, f.type, kind_context, f.flags);
    copilot_row& text = slot(r, 'u', f.id);
    text.text = std::move(said);
    set(text, "user", f.timestamp, f.type, kind_text, f.flags);
}

template <class V>
void assistant_rows(copilot_rules& r, const line_facts& f, V data) {
    static constexpr std::string_view keys[] = {"messageId", "content",    "reasoningText",
                                                "toolRequests", "chunkIndex", "chunkCount"};
    V m[std::size(keys)];
    get_many(data, keys, m);
    std::string_view id = is_string(m[0]) && !string_value(m[0]).empty() ? string_value(m[0]) : f.id;
    uint64_t index = count_of(m[4]), count = count_of(m[5]);
    const rule_options& o = r.options;
    if (o.parts) {
        copilot_row& thinking = slot(r, 't', id);
        std::string thought;
        append_field(thought, m[2]);
        put_text(thinking, std::move(thought), index, count);
        thinking.once = true;
        set(thinking, "assistant", f.timestamp, f.type, kind_thinking, f.flags);
    }
    copilot_row& row = slot(r, 'm', id);
    std::string said;
    append_field(said, m[1]);
    put_text(row, std::move(said), index, count);
    set(row, "assistant", f.timestamp, f.type, o.parts ? kind_text : 0, o.parts ? f.flags : 0);
    if (!o.include_tools || !is_array(m[3])) return;
    for_each_element(m[3], [&](V request) {
        static constexpr std::string_view request_keys[] = {"name", "toolCallId", "arguments"};
        V q[3];
        get_many(request, request_keys, q);
        add_call(r, f, q[0], q[1], q[2], false);
    });
}

template <class V>
void tool_rows(copilot_rules& r, const line_facts& f, V data) {
    static constexpr std::string_view keys[] = {"toolName", "toolCallId", "arguments"};
    V t[3];
    get_many(data, keys, t);
    if (f.what != event::tool_complete) {
        add_call(r, f, t[0], t[1], t[2], f.what == event::tool_user);
        return;
    }
    copilot_row& row = slot(r, 'r', str_of(t[1]));
    row.keep_blank = true;
    row.text.clear();
    if (r.options.parts) {
        append_result(row.text, data);
        std::string source = "\t";
        source += str_of(t[1]);
        set(row, "tool", f.timestamp, source, kind_tool_result, f.flags);
        return;
    }
    row.text = "[tool_result] ";
    append_result(row.text, data);
    if (r.options.cut_texts) cut_chars(row.text, output_limit, std::string_view("[tool_result] ").size());
    set(row, "tool", f.timestamp, "tool", 0, 0);
}

template <class V>
void session_row(copilot_rules& r, V data) {
    if (r.named) return;
    static constexpr std::string_view keys[] = {"sessionId", "context", "cwd"};
    V s[3];
    get_many(data, keys, s);
    std::string_view cwd = str_of(get(s[1], "cwd"));
    if (cwd.empty()) cwd = str_of(s[2]);
    std::string_view id = str_of(s[0]);
    if (cwd.empty() && id.empty()) return;
    r.named = true;
    copilot_row& row = slot(r, 0, {});
    row.text = cwd;
    row.role = r.options.parts ? "__session__" : "__meta__";
    row.source = id;
    if (r.options.parts) row.source += '\t';  // no sub-agent has a log of its own
}

// The lines a rewind took back: from the event it names on, or (when the count of
// events it removed says so) from the one after it; else the last `eventsRemoved`.
template <class V>
void rewind(copilot_rules& r, V data) {
    static constexpr std::string_view keys[] = {"upToEventId", "eventsRemoved"};
    V w[2];
    get_many(data, keys, w);
    bool counted = kind_of(w[1]) == jkind::uint;
    uint64_t removed = counted ? uint_value(w[1]) : 0;
    uint32_t here = r.line;  // this line's number
    auto named = r.event_line.find(std::string(str_of(w[0])));
    uint32_t first;
    if (is_string(w[0]) && named != r.event_line.end()) {
        first = named->second;
        if (counted && here - first - 1 == removed) ++first;
    } else if (counted && removed > 0) {
        first = removed >= here ? 0 : static_cast<uint32_t>(here - removed);
    } else {
        return;
    }
    if (first < here) r.rewound.emplace_back(first, here);
}

// The text fields of a notice, or of an event of a kind the rules do not know.
constexpr std::string_view text_keys[] = {"content",     "message", "text",  "summary",          "error",
                                          "reason",      "prompt",  "title", "agentDescription", "description",
                                          "planContent", "question"};

template <class V>
void notice_row(copilot_rules& r, const line_facts& f, V data) {
    V t[std::size(text_keys)];
    get_many(data, text_keys, t);
    copilot_row& row = slot(r, 'e', f.id);
    row.text.clear();
    for (V v : t) append_field(row.text, v);
    row.once = true;
    set(row, "system", f.timestamp, f.type, kind_context, f.flags);
}

template <class V>
void text_row(copilot_rules& r, const line_facts& f, V field, std::string_view role, unsigned char kind) {
    copilot_row& row = slot(r, 'e', f.id);
    row.text.clear();
    append_field(row.text, field);
    set(row, role, f.timestamp, f.type, kind, f.flags);
}

template <class V>
void copilot_event(copilot_rules& r, V root) {
    static constexpr std::string_view keys[] = {"type", "data", "id", "timestamp", "agentId"};
    V e[std::size(keys)];
    get_many(root, keys, e);
    if (!is_string(e[0])) return;
    const rule_options& o = r.options;
    line_facts f;
    f.type = string_value(e[0]);
    f.what = classify(f.type);
    if (!wanted(f.what, o)) return;
    f.id = str_of(e[2]);
    f.timestamp = str_of(e[3]);
    V data = e[1];
    if (o.parts) {
        // A sub-agent runs in the same log: its events name it, and its messages
        // and tool calls name the call that started it.
        bool subagent = !str_of(e[4]).empty() || !str_of(get(data, "parentToolCallId")).empty();
        f.flags = subagent ? flag_subagent : 0;
        if (!f.id.empty()) r.event_line.try_emplace(std::string(f.id), r.line);
    } else {
        f.flags = 0;
    }
    switch (f.what) {
        case event::session: session_row(r, data); return;
        case event::user: user_rows(r, f, data); return;
        case event::assistant: assistant_rows(r, f, data); return;
        case event::system: {
            V role = get(data, "role");
            copilot_row& row = slot(r, 'e', f.id);
            row.text.clear();
            append_field(row.text, get(data, "content"));
            row.once = true;
            set(row, is_string(role) && !string_value(role).empty() ? string_value(role) : std::string_view("system"),
                f.timestamp, f.type, o.parts ? kind_context : 0, f.flags);
            return;
        }
        case event::tool_start:
        case event::tool_user:
        case event::tool_complete: tool_rows(r, f, data); return;
        case event::reasoning: {
            copilot_row& row = slot(r, 't', str_of(get(data, "reasoningId")).empty() ? f.id
                                                                                    : str_of(get(data, "reasoningId")));
            row.text.clear();
            append_field(row.text, get(data, "content"));
            row.once = true;
            set(row, "assistant", f.timestamp, f.type, kind_thinking, f.flags);
            return;
        }
        case event::compaction: {
            V summary = get(data, "summaryContent");
            if (is_absent(summary) || kind_of(summary) == jkind::null)
                text_row(r, f, get(data, "error"), "system", kind_context);
            else
                text_row(r, f, summary, "assistant", kind_summary);
            return;
        }
        case event::task_complete: text_row(r, f, get(data, "summary"), "assistant", kind_context); return;
        case event::title: {
            V title = get(data, "title");
            if (!is_string(title)) return;
            copilot_row& row = slot(r, 'e', f.id);
            row.text = string_value(title);
            row.role = "__title__";
            return;
        }
        case event::rewind: rewind(r, data); return;
        case event::notice:
        case event::unknown: notice_row(r, f, data); return;
        case event::skip: return;
    }
}

bool was_rewound(const copilot_rules& r, uint32_t line) {
    for (const auto& [first, end] : r.rewound)
        if (line >= first && line < end) return true;
    return false;
}

}  // namespace

copilot_rules make_copilot_rules(const rule_options& options) {
    copilot_rules r;
    r.options = options;
    return r;
}

bool copilot_line_worth_keeping(const copilot_rules& rules, std::string_view head) {
    return worth_parsing(rules, head);
}

void copilot_line(copilot_rules& rules, line_parser& parser, std::string_view line, row_list&) {
    ++rules.line;
    if (!worth_parsing(rules, line)) return;
    parsed_line parsed = parse_line(parser, line);
    with_root(parsed, [&](auto root) { copilot_event(rules, root); });
}

void copilot_finish(copilot_rules& rules, row_list& rows) {
    // A text the log repeats word for word (the system prompt before each request,
    // the same notice) is one row, at its first place.
    std::unordered_map<size_t, std::vector<uint32_t>> said_before;
    for (uint32_t i = 0; i < rules.rows.size(); ++i) {
        copilot_row& row = rules.rows[i];
        if (!row.chunks.empty()) {
            row.text.clear();
            for (const std::string& chunk : row.chunks) row.text += chunk;
        }
        bool special = row.role.size() > 4 && row.role.compare(0, 2, "__") == 0;
        if (!special && !row.keep_blank && is_blank(row.text)) continue;
        if (row.once) {
            size_t h = std::hash<std::string_view>()(row.text) * 31 + row.kind;
            std::vector<uint32_t>& same = said_before[h];
            bool repeated = std::any_of(same.begin(), same.end(), [&](uint32_t j) {
                const copilot_row& earlier = rules.rows[j];
                return earlier.kind == row.kind && earlier.role == row.role && earlier.text == row.text;
            });
            if (repeated) continue;
            same.push_back(i);
        }
        unsigned char flags = row.flags;
        if (rules.options.parts && !special && was_rewound(rules, row.line)) flags |= flag_rewound;
        add_row(rows, row.role, row.text, row.timestamp, {row.source}, row.kind, flags);
    }
    rules.rows.clear();
    rules.slots.clear();
    rules.event_line.clear();
    rules.rewound.clear();
}

}  // namespace sr
