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

// --- rows, and what changes them later ---

// A row as the rules make it; its texts are views into the line or into a buffer.
struct row_out {
    std::string_view role, text, timestamp, source;
    unsigned char kind = 0;
    unsigned char flags = 0;
    bool once = false;        // a text the log repeats word for word (the system prompt) is one row
    bool keep_blank = false;  // a tool call or result, a row that names the session: a row even without text
};

bool is_special(std::string_view role) { return role.size() > 4 && role.compare(0, 2, "__") == 0; }

// The slot of what a row is known by (its first letter says which row of an event
// it is); an empty id makes a slot of its own.
uint32_t slot_of(copilot_rules& r, char what, std::string_view id, bool& fresh, uint32_t rows_so_far) {
    uint32_t next = static_cast<uint32_t>(r.slots.size());
    fresh = true;
    if (!id.empty()) {
        std::string key(1, what);
        key += '\t';
        key += id;
        auto added = r.keys.try_emplace(std::move(key), next);
        if (!added.second) {
            fresh = false;
            return added.first->second;
        }
    }
    copilot_slot s;
    s.before = rows_so_far;
    s.line = r.line;
    r.slots.push_back(s);
    return next;
}

// The text of the row just appended, where the list keeps it.
std::string_view last_text(const row_list& rows, const row_out& out) {
    const row_list::chunk& c = rows.chunks.back();
    const char* end = c.data.get() + c.used - out.source.size() - out.timestamp.size();
    return {end - out.text.size(), out.text.size()};
}

// Texts of one length compared with a new one, at most: past that, a repeat is a row
// again (no log makes many distinct prompts of one length; a hostile one costs no more).
constexpr size_t most_compared = 64;

bool said_before(const copilot_rules& r, std::string_view text) {
    auto same = r.said.find(text.size());
    return same != r.said.end() &&
           std::any_of(same->second.begin(), same->second.end(), [&](std::string_view t) { return t == text; });
}

// Appends a row; false if it repeats a text said once already.
bool emit(copilot_rules& r, row_list& rows, const row_out& out, uint32_t line) {
    if (out.once && said_before(r, out.text)) return false;
    add_row(rows, out.role, out.text, out.timestamp, {out.source}, out.kind, out.flags);
    if (out.once) {
        std::vector<std::string_view>& same = r.said[out.text.size()];
        if (same.size() < most_compared) same.push_back(last_text(rows, out));
    }
    r.row_line.push_back(line);
    return true;
}

copilot_rewrite held(const row_out& out, uint32_t line, bool dropped) {
    copilot_rewrite w;
    w.role = out.role;
    w.text = out.text;
    w.timestamp = out.timestamp;
    w.source = out.source;
    w.kind = out.kind;
    w.flags = out.flags;
    w.line = line;
    w.dropped = dropped;
    return w;
}

// Writes the row of a slot: the first writing with text appends it; a later one
// replaces it, at its place.
void write(copilot_rules& r, row_list& rows, uint32_t s, bool fresh, const row_out& out) {
    bool has_text = out.keep_blank || !is_blank(out.text);
    copilot_slot& slot = r.slots[s];
    if (fresh) {
        if (has_text && emit(r, rows, out, slot.line)) slot.row = static_cast<int64_t>(size(rows)) - 1;
        return;
    }
    if (slot.row >= 0) {
        r.rewrites[slot.row] = held(out, slot.line, !has_text);
    } else if (slot.late >= 0) {
        r.late[static_cast<size_t>(slot.late)].second = held(out, slot.line, !has_text);
    } else if (has_text) {
        slot.late = static_cast<int64_t>(r.late.size());
        r.late.emplace_back(static_cast<uint64_t>(slot.before) << 32 | s, held(out, slot.line, false));
    }
}

void put(copilot_rules& r, row_list& rows, char what, std::string_view id, const row_out& out) {
    bool fresh;
    uint32_t s = slot_of(r, what, id, fresh, static_cast<uint32_t>(size(rows)));
    write(r, rows, s, fresh, out);
}

// A message's text, whole or as chunk `index` of `count`. The first writing of a
// message in chunks is a row at once; the chunks are joined at the end of the file.
void put_message(copilot_rules& r, row_list& rows, char what, std::string_view id, const row_out& out,
                 uint64_t index, uint64_t count) {
    bool fresh;
    uint32_t s = slot_of(r, what, id, fresh, static_cast<uint32_t>(size(rows)));
    bool chunked = count > 1 && index < count && count <= max_chunks;
    auto held_chunks = r.chunks.find(s);
    if (!chunked && held_chunks == r.chunks.end()) {
        write(r, rows, s, fresh, out);
        return;
    }
    if (fresh) write(r, rows, s, fresh, out);
    copilot_chunks& c = r.chunks[s];
    c.row = held(out, r.slots[s].line, false);
    c.row.text.clear();
    if (!chunked) {
        c.parts.assign(1, std::string(out.text));
    } else {
        if (c.parts.size() < count) c.parts.resize(count);
        c.parts[index] = out.text;
    }
}

// A text field as a person reads it: a string as it is, content parts flattened,
// any other value as its text; `buffer` holds what has to be made.
template <class V>
std::string_view field_text(V v, std::string& buffer) {
    if (is_string(v)) return string_value(v);
    buffer.clear();
    if (!is_absent(v) && kind_of(v) != jkind::null) append_text_of(buffer, v, no_stop, no_stop);
    return buffer;
}

template <class V>
uint64_t count_of(V v) {
    return kind_of(v) == jkind::uint ? uint_value(v) : 0;
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

row_out row_of(const line_facts& f, std::string_view role, std::string_view text, unsigned char kind,
               const rule_options& o) {
    row_out out;
    out.role = role;
    out.text = text;
    out.timestamp = f.timestamp;
    out.source = f.type;
    out.kind = o.parts ? kind : 0;
    out.flags = o.parts ? f.flags : 0;
    return out;
}

template <class V>
void add_call(copilot_rules& r, row_list& rows, const line_facts& f, V name, V id, V arguments, bool by_person) {
    bool fresh;
    uint32_t s = slot_of(r, 'c', str_of(id), fresh, static_cast<uint32_t>(size(rows)));
    // The request in the assistant's message comes first; the start of its run
    // says it again.
    if (!fresh && f.what == event::tool_start) return;
    const rule_options& o = r.options;
    std::string text = call_text(name, arguments, o);
    std::string source;
    if (o.parts) {
        source = is_string(name) && !string_value(name).empty() ? string_value(name) : std::string_view("tool");
        source += '\t';
        source += str_of(id);
    } else {
        source = "tool";
    }
    row_out out = row_of(f, by_person ? "user" : "assistant", text, kind_tool_call, o);
    out.source = source;
    out.keep_blank = true;
    write(r, rows, s, fresh, out);
}

template <class V>
void user_rows(copilot_rules& r, row_list& rows, const line_facts& f, V data) {
    static constexpr std::string_view keys[] = {"content", "transformedContent"};
    V m[2];
    get_many(data, keys, m);
    std::string buffer;
    std::string_view said = field_text(m[0], buffer);
    const rule_options& o = r.options;
    if (!o.parts) {
        // What the person typed; a message the tool wrote for them (an autopilot
        // continuation) as it was sent.
        if (is_blank(said) && is_string(m[1])) said = string_value(m[1]);
        put(r, rows, 'u', f.id, row_of(f, "user", said, kind_text, o));
        return;
    }
    std::string context = is_string(m[1]) ? around(string_value(m[1]), said) : std::string();
    row_out wrapper = row_of(f, "user", context, kind_context, o);
    wrapper.once = true;
    put(r, rows, 'w', f.id, wrapper);
    put(r, rows, 'u', f.id, row_of(f, "user", said, kind_text, o));
}

template <class V>
void assistant_rows(copilot_rules& r, row_list& rows, const line_facts& f, V data) {
    static constexpr std::string_view keys[] = {"messageId", "content",    "reasoningText",
                                                "toolRequests", "chunkIndex", "chunkCount"};
    V m[std::size(keys)];
    get_many(data, keys, m);
    std::string_view id = is_string(m[0]) && !string_value(m[0]).empty() ? string_value(m[0]) : f.id;
    uint64_t index = count_of(m[4]), count = count_of(m[5]);
    const rule_options& o = r.options;
    std::string buffer;
    if (o.parts) {
        row_out thinking = row_of(f, "assistant", field_text(m[2], buffer), kind_thinking, o);
        thinking.once = true;
        put_message(r, rows, 't', id, thinking, index, count);
    }
    put_message(r, rows, 'm', id, row_of(f, "assistant", field_text(m[1], buffer), kind_text, o), index, count);
    if (!o.include_tools || !is_array(m[3])) return;
    for_each_element(m[3], [&](V request) {
        static constexpr std::string_view request_keys[] = {"name", "toolCallId", "arguments"};
        V q[3];
        get_many(request, request_keys, q);
        add_call(r, rows, f, q[0], q[1], q[2], false);
    });
}

template <class V>
void tool_rows(copilot_rules& r, row_list& rows, const line_facts& f, V data) {
    static constexpr std::string_view keys[] = {"toolName", "toolCallId", "arguments"};
    V t[3];
    get_many(data, keys, t);
    if (f.what != event::tool_complete) {
        add_call(r, rows, f, t[0], t[1], t[2], f.what == event::tool_user);
        return;
    }
    const rule_options& o = r.options;
    std::string text, source;
    if (o.parts) {
        append_result(text, data);
        source = "\t";
        source += str_of(t[1]);
    } else {
        constexpr std::string_view mark = "[tool_result] ";
        text = mark;
        append_result(text, data);
        if (o.cut_texts) cut_chars(text, output_limit, mark.size());
        source = "tool";
    }
    row_out out = row_of(f, "tool", text, kind_tool_result, o);
    out.source = source;
    out.keep_blank = true;
    put(r, rows, 'r', str_of(t[1]), out);
}

template <class V>
void session_row(copilot_rules& r, row_list& rows, V data) {
    if (r.named) return;
    static constexpr std::string_view keys[] = {"sessionId", "context", "cwd"};
    V s[3];
    get_many(data, keys, s);
    std::string_view cwd = str_of(get(s[1], "cwd"));
    if (cwd.empty()) cwd = str_of(s[2]);
    std::string_view id = str_of(s[0]);
    if (cwd.empty() && id.empty()) return;
    r.named = true;
    row_out out;
    out.role = r.options.parts ? "__session__" : "__meta__";
    out.text = cwd;
    std::string source(id);
    if (r.options.parts) source += '\t';  // no sub-agent has a log of its own
    out.source = source;
    out.keep_blank = true;
    put(r, rows, 0, {}, out);
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
    auto named = is_string(w[0]) ? r.event_line.find(std::string(string_value(w[0]))) : r.event_line.end();
    uint32_t first;
    if (named != r.event_line.end()) {
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
void notice_row(copilot_rules& r, row_list& rows, const line_facts& f, V data) {
    V t[std::size(text_keys)];
    get_many(data, text_keys, t);
    std::string text;
    for (V v : t) {
        if (is_absent(v) || kind_of(v) == jkind::null) continue;
        if (!text.empty()) text += '\n';
        append_text_of(text, v, no_stop, no_stop);
    }
    row_out out = row_of(f, "system", text, kind_context, r.options);
    out.once = true;
    put(r, rows, 'e', f.id, out);
}

template <class V>
void copilot_event(copilot_rules& r, row_list& rows, V root) {
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
    f.flags = 0;
    if (o.parts) {
        // A sub-agent runs in the same log: its events name it, and its messages
        // and tool calls name the call that started it.
        if (!str_of(e[4]).empty() || !str_of(get(data, "parentToolCallId")).empty()) f.flags = flag_subagent;
        if (!f.id.empty()) r.event_line.try_emplace(std::string(f.id), r.line);
    }
    std::string buffer;
    switch (f.what) {
        case event::session: session_row(r, rows, data); return;
        case event::user: user_rows(r, rows, f, data); return;
        case event::assistant: assistant_rows(r, rows, f, data); return;
        case event::system: {
            static constexpr std::string_view system_keys[] = {"role", "content"};
            V y[2];
            get_many(data, system_keys, y);
            std::string_view role = str_of(y[0]).empty() ? std::string_view("system") : string_value(y[0]);
            row_out out = row_of(f, role, field_text(y[1], buffer), kind_context, o);
            out.once = true;
            put(r, rows, 'e', f.id, out);
            return;
        }
        case event::tool_start:
        case event::tool_user:
        case event::tool_complete: tool_rows(r, rows, f, data); return;
        case event::reasoning: {
            static constexpr std::string_view reasoning_keys[] = {"reasoningId", "content"};
            V y[2];
            get_many(data, reasoning_keys, y);
            row_out out = row_of(f, "assistant", field_text(y[1], buffer), kind_thinking, o);
            out.once = true;
            put(r, rows, 't', str_of(y[0]).empty() ? f.id : string_value(y[0]), out);
            return;
        }
        case event::compaction: {
            V summary = get(data, "summaryContent");
            if (is_absent(summary) || kind_of(summary) == jkind::null)
                put(r, rows, 'e', f.id, row_of(f, "system", field_text(get(data, "error"), buffer), kind_context, o));
            else
                put(r, rows, 'e', f.id, row_of(f, "assistant", field_text(summary, buffer), kind_summary, o));
            return;
        }
        case event::task_complete:
            put(r, rows, 'e', f.id, row_of(f, "assistant", field_text(get(data, "summary"), buffer), kind_context, o));
            return;
        case event::title: {
            V title = get(data, "title");
            if (!is_string(title)) return;
            row_out out;
            out.role = "__title__";
            out.text = string_value(title);
            out.keep_blank = true;
            put(r, rows, 'e', f.id, out);
            return;
        }
        case event::rewind: rewind(r, data); return;
        case event::notice:
        case event::unknown: notice_row(r, rows, f, data); return;
        case event::skip: return;
    }
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

void copilot_line(copilot_rules& rules, line_parser& parser, std::string_view line, row_list& rows) {
    ++rules.line;
    if (!worth_parsing(rules, line)) return;
    parsed_line parsed = parse_line(parser, line);
    with_root(parsed, [&](auto root) { copilot_event(rules, rows, root); });
}

void copilot_finish(copilot_rules& r, row_list& rows) {
    r.said.clear();  // views into the list, which is rebuilt below
    for (auto& [s, c] : r.chunks) {
        for (const std::string& part : c.parts) c.row.text += part;
        c.row.dropped = is_blank(c.row.text);
        copilot_slot& slot = r.slots[s];
        if (slot.row >= 0)
            r.rewrites[slot.row] = std::move(c.row);
        else if (slot.late >= 0)
            r.late[static_cast<size_t>(slot.late)].second = std::move(c.row);
        else if (!c.row.dropped)
            r.late.emplace_back(static_cast<uint64_t>(slot.before) << 32 | s, std::move(c.row));
    }
    if (r.rewrites.empty() && r.late.empty() && r.rewound.empty()) return;
    // The lines taken back, as ranges that neither overlap nor touch, in order.
    std::vector<std::pair<uint32_t, uint32_t>>& back = r.rewound;
    std::sort(back.begin(), back.end());
    size_t kept = 0;
    for (const auto& range : back) {
        if (kept > 0 && range.first <= back[kept - 1].second)
            back[kept - 1].second = std::max(back[kept - 1].second, range.second);
        else
            back[kept++] = range;
    }
    back.resize(kept);
    auto rewound = [&](std::string_view role, uint32_t line) -> unsigned char {
        if (!r.options.parts || is_special(role)) return 0;
        auto after = std::upper_bound(back.begin(), back.end(), line,
                                      [](uint32_t l, const std::pair<uint32_t, uint32_t>& g) { return l < g.first; });
        return after != back.begin() && line < std::prev(after)->second ? flag_rewound : 0;
    };
    auto add_held = [&](const copilot_rewrite& w) {
        if (!w.dropped)
            add_row(rows, w.role, w.text, w.timestamp, {w.source}, w.kind, w.flags | rewound(w.role, w.line));
    };
    std::stable_sort(r.late.begin(), r.late.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    row_list first = std::move(rows);
    rows = row_list();
    size_t next_late = 0;
    uint64_t i = 0;
    drain_rows(first, [&](const row_view& v) {
        while (next_late < r.late.size() && (r.late[next_late].first >> 32) <= i) add_held(r.late[next_late++].second);
        auto w = r.rewrites.find(static_cast<int64_t>(i));
        if (w != r.rewrites.end())
            add_held(w->second);
        else
            add_row(rows, v.role, v.text, v.timestamp, {v.source}, v.kind, v.flags | rewound(v.role, r.row_line[i]));
        ++i;
        return true;
    });
    while (next_late < r.late.size()) add_held(r.late[next_late++].second);
}

}  // namespace sr
