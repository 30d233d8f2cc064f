#include "gemini_rules.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <deque>
#include <iterator>
#include <unordered_set>

#include "../render/json_text.h"
#include "../render/readable_text.h"
#include "../render/utf8.h"

namespace sr {

namespace {

constexpr size_t argument_limit = 500;  // characters of a tool call's arguments (rows of _core)
constexpr size_t output_limit = 800;    // characters of a tool call's output (rows of _core)

constexpr std::string_view session_context_tag = "<session_context>";
constexpr std::string_view referenced_files = "--- Content from referenced files ---";

bool starts(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::string_view skip_blanks(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    return s.substr(i);
}

std::string_view trim_line(std::string_view s) {
    s = s.substr(0, s.find('\n'));
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The working directory a session context names: the first of its workspace
// directories ("- **Workspace Directories:**" then "  - /path" lines), or the
// directory of older versions' "I'm currently working in the directory: /path".
std::string_view context_directory(std::string_view text) {
    for (std::string_view list : {std::string_view("Workspace Directories:"),
                                  std::string_view("I'm currently working in the following directories:")}) {
        size_t at = text.find(list);
        if (at == std::string_view::npos) continue;
        size_t nl = text.find('\n', at);
        if (nl == std::string_view::npos) continue;
        std::string_view item = trim_line(text.substr(nl + 1));
        if (starts(item, "- ")) return trim_line(item.substr(2));
    }
    constexpr std::string_view single = "I'm currently working in the directory:";
    size_t at = text.find(single);
    if (at != std::string_view::npos) return trim_line(text.substr(at + single.size()));
    return {};
}

// A compression's summary of the conversation so far: a <state_snapshot>, maybe
// after the <scratchpad> the model wrote it from.
bool is_snapshot(std::string_view s) {
    return starts(s, "<state_snapshot>") ||
           (starts(s, "<scratchpad>") && s.find("<state_snapshot>") != std::string_view::npos);
}

// Where the files a prompt names with @path begin, after what the person typed; npos if none.
size_t referenced_files_at(std::string_view text) {
    for (size_t at = text.find(referenced_files); at != std::string_view::npos;
         at = text.find(referenced_files, at + 1)) {
        if (at == 0 || text[at - 1] == '\n') return at;
    }
    return std::string_view::npos;
}

// Texts joined by line feeds, in a buffer that is reused.
struct joined {
    std::string& text;
    bool any = false;
    explicit joined(std::string& buffer) : text(buffer) { text.clear(); }
    void add(std::string_view s) {
        if (any) text += '\n';
        any = true;
        text += s;
    }
    void reset() {
        text.clear();
        any = false;
    }
};

// A held row: this header, then its texts (text, timestamp, the source's parts, call id).
struct held_header {
    size_t text, timestamp, source1, source2, call_id;
    unsigned char role, kind, echo, two_part_source;
};

struct held_row {
    std::string_view text, timestamp, source1, source2, call_id;
    unsigned char role = 0, kind = kind_text;
    bool echo = false, two_part_source = false;
};

constexpr const char* roles[] = {"user", "assistant", "tool", "system"};
enum : unsigned char { role_user, role_assistant, role_tool, role_system };

void put(std::string& out, const held_row& r) {
    held_header h;
    std::memset(&h, 0, sizeof h);  // its padding too: the bytes are copied whole
    h.text = r.text.size();
    h.timestamp = r.timestamp.size();
    h.source1 = r.source1.size();
    h.source2 = r.source2.size();
    h.call_id = r.call_id.size();
    h.role = r.role;
    h.kind = r.kind;
    h.echo = r.echo;
    h.two_part_source = r.two_part_source;
    out.append(reinterpret_cast<const char*>(&h), sizeof h);
    for (std::string_view part : {r.text, r.timestamp, r.source1, r.source2, r.call_id}) out += part;
}

// Calls f(held_row, header address) for each row of a message, in order.
template <class F>
void for_each_held(const std::string& rows, F&& f) {
    const char* p = rows.data();
    const char* end = p + rows.size();
    while (p < end) {
        held_header h;
        std::memcpy(&h, p, sizeof h);
        const char* at = p;
        p += sizeof h;
        held_row r;
        r.text = {p, h.text};
        r.timestamp = {p += h.text, h.timestamp};
        r.source1 = {p += h.timestamp, h.source1};
        r.source2 = {p += h.source1, h.source2};
        r.call_id = {p += h.source2, h.call_id};
        p += h.call_id;
        r.role = h.role;
        r.kind = h.kind;
        r.echo = h.echo != 0;
        r.two_part_source = h.two_part_source != 0;
        f(r, at);
    }
}

// Gives the rows of the given kind another kind, in place.
void rekind(std::string& rows, unsigned char from, unsigned char to) {
    for_each_held(rows, [&](const held_row& r, const char* at) {
        if (r.kind == from) rows[static_cast<size_t>(at - rows.data()) + offsetof(held_header, kind)] = static_cast<char>(to);
    });
}

// A tool's answer for a person: the only text its response holds ({"output": ...}
// or {"error": ...}), else the whole response, readable; then any text parts.
template <class V>
void append_response(std::string& out, V call_response) {
    V response = get(call_response, "response");
    bool done = false;
    if (is_string(response)) {
        out += string_value(response);
        done = true;
    } else if (is_object(response)) {
        size_t members = 0;
        V only{};
        for_each_member(response, [&](member_of<V> m) {
            ++members;
            only = m.val;
        });
        if (members == 1 && is_string(only)) {
            out += string_value(only);
            done = true;
        }
    }
    if (!done) append_readable(out, response);
    V parts = get(call_response, "parts");
    if (is_array(parts)) {
        for_each_element(parts, [&](V p) {
            V text = get(p, "text");
            if (!is_string(text) || string_value(text).empty()) return;
            if (!out.empty()) out += '\n';
            out += string_value(text);
        });
    }
}

// A part the message text does not take as said: text for a person, or nothing.
template <class V>
void append_plain_part(std::string& out, V part) {
    if (is_string(part)) {
        out += string_value(part);
        return;
    }
    static constexpr std::string_view keys[] = {"text", "functionResponse", "inlineData", "fileData"};
    V f[std::size(keys)];
    get_many(part, keys, f);
    if (is_string(f[0])) {
        out += string_value(f[0]);
    } else if (is_object(f[1])) {
        append_response(out, f[1]);
    } else if (is_object(f[2])) {
        V mime = get(f[2], "mimeType");
        out += '[';
        out += is_string(mime) ? string_value(mime) : std::string_view("data");
        out += ']';
    } else if (!is_absent(f[3])) {
        append_readable(out, f[3]);
    } else {
        append_readable(out, part);
    }
}

// The result a tool call carries: its parts' texts, joined by line feeds.
template <class V>
void result_text(std::string& out, V result) {
    out.clear();
    if (!is_array(result)) {
        append_plain_part(out, result);
        return;
    }
    for_each_element(result, [&](V part) {
        size_t mark = out.size();
        if (!out.empty()) out += '\n';
        size_t start = out.size();
        append_plain_part(out, part);
        if (out.size() == start) out.resize(mark);
    });
}

// The rows of one message, as its line or a $set restating it writes it.
template <class V>
struct message_reader {
    gemini_rules& rules;
    gemini_message& m;
    std::string_view timestamp;
    unsigned char role;         // who says the message's text
    unsigned char text_kind;    // kind_text, or kind_context for the tool's notices
    bool has_thoughts = false;  // its "thoughts" say what its thought parts repeat
    std::vector<std::string_view> tool_call_ids;  // of its "toolCalls"
    joined said{rules.said};
    joined thinking{rules.thinking};  // thought parts, when there are no "thoughts"

    const rule_options& o() const { return rules.options; }

    void row(unsigned char row_role, unsigned char kind, std::string_view text, std::string_view ts) {
        held_row r;
        r.role = row_role;
        r.kind = kind;
        r.text = text;
        r.timestamp = ts;
        r.source1 = m.type;
        put(rules.pending, r);
    }

    void said_row(std::string_view text, unsigned char kind) {
        if (!is_blank(text)) row(role, kind, text, timestamp);
    }

    // What the person typed, told from what Gemini put around it.
    void user_text(std::string_view text) {
        std::string_view s = skip_blanks(text);
        if (starts(s, session_context_tag)) {
            if (rules.cwd.empty() && !rules.later_conversation) rules.cwd = context_directory(s);
            said_row(text, o().parts ? kind_context : kind_text);
            return;
        }
        if (!o().parts) {
            said_row(text, kind_text);
            return;
        }
        if (is_snapshot(s)) {
            said_row(text, kind_summary);
            return;
        }
        size_t at = referenced_files_at(text);
        if (at != std::string::npos) {
            said_row(text.substr(0, at), kind_text);
            said_row(text.substr(at), kind_context);
            return;
        }
        said_row(text, kind_text);
    }

    void flush_said() {
        if (!said.any) return;
        if (m.type == "user" && text_kind == kind_text)
            user_text(said.text);
        else
            said_row(said.text, text_kind);
        said.reset();
    }

    void flush_thinking() {
        if (!thinking.any) return;
        if (o().parts && !is_blank(thinking.text)) row(role_assistant, kind_thinking, thinking.text, timestamp);
        thinking.reset();
    }

    void flush() {
        flush_thinking();
        flush_said();
    }

    // A tool call: its input for a person (the parts reading), or "[tool_call NAME] "
    // and its arguments as compact JSON (the rows of _core).
    void call_row(std::string_view name, std::string_view id, V args, std::string_view ts) {
        if (name.empty()) name = "tool";
        std::string& text = rules.scratch;
        text.clear();
        if (o().parts) {
            append_readable(text, args);
        } else {
            text = "[tool_call ";
            text += name;
            text += "] ";
            size_t start = text.size();
            if (is_string(args))
                text.append(string_value(args).substr(0, o().cut_texts ? 4 * argument_limit : std::string_view::npos));
            else if (!is_absent(args))
                append_compact_json(text, args, o().cut_texts ? stop_after_chars(start, argument_limit) : no_stop);
            if (o().cut_texts) cut_chars(text, argument_limit, start);
        }
        held_row r;
        r.role = role_assistant;
        r.kind = kind_tool_call;
        r.text = text;
        r.timestamp = ts;
        r.call_id = id;
        if (o().parts) {
            r.source1 = name;
            r.source2 = id;
            r.two_part_source = true;
        } else {
            r.source1 = "tool";
        }
        put(rules.pending, r);
    }

    void result_row(std::string_view id, std::string_view output, std::string_view ts, bool echo) {
        held_row r;
        r.role = role_tool;
        r.kind = kind_tool_result;
        r.timestamp = ts;
        r.call_id = id;
        r.echo = echo;
        if (o().parts) {
            r.text = output;
            r.source2 = id;
            r.two_part_source = true;
        } else {
            std::string& text = rules.scratch;
            text = "[tool_result] ";
            size_t start = text.size();
            text.append(output.substr(0, o().cut_texts ? 4 * output_limit : std::string_view::npos));
            if (o().cut_texts) cut_chars(text, output_limit, start);
            r.text = text;
            r.source1 = "tool";
        }
        put(rules.pending, r);
    }

    void part(V p) {
        switch (kind_of(p)) {
            case jkind::string:
                flush_thinking();
                said.add(string_value(p));
                return;
            case jkind::object: break;
            case jkind::absent:
            case jkind::null: return;
            default: {
                std::string text;
                append_readable(text, p);
                flush_thinking();
                said.add(text);
                return;
            }
        }
        static constexpr std::string_view keys[] = {"text", "thought", "functionCall", "functionResponse"};
        V f[std::size(keys)];
        get_many(p, keys, f);
        if (is_string(f[0])) {
            if (is_true(f[1])) {
                flush_said();
                if (!has_thoughts) thinking.add(string_value(f[0]));
                return;
            }
            flush_thinking();
            said.add(string_value(f[0]));
            return;
        }
        if (kind_of(f[0]) == jkind::null) return;  // an empty text part
        if (is_object(f[2])) {
            flush();  // text on either side of a tool part makes rows of its own, with tools or without
            if (!o().include_tools) return;
            static constexpr std::string_view call_keys[] = {"name", "id", "args"};
            V c[3];
            get_many(f[2], call_keys, c);
            std::string_view id = str_of(c[1]);
            bool listed = !id.empty() && std::find(tool_call_ids.begin(), tool_call_ids.end(), id) != tool_call_ids.end();
            if (!listed) call_row(str_of(c[0]), id, c[2], timestamp);
            return;
        }
        if (is_object(f[3])) {
            flush();
            if (!o().include_tools) return;
            rules.output.clear();
            append_response(rules.output, f[3]);
            result_row(str_of(get(f[3], "id")), rules.output, timestamp, true);
            return;
        }
        std::string text;
        append_plain_part(text, p);
        flush_thinking();
        if (!text.empty()) said.add(text);
    }

    void content(V c) {
        if (is_array(c))
            for_each_element(c, [&](V p) { part(p); });
        else
            part(c);
        flush();
    }

    // "thoughts": [{"subject", "description", "timestamp"}], one row of the parts reading.
    void thoughts(V list) {
        if (!o().parts || !is_array(list)) return;
        std::string& all = rules.output;
        all.clear();
        for_each_element(list, [&](V t) {
            size_t mark = all.size();
            if (!all.empty()) all += "\n\n";  // a blank line between thoughts
            size_t start = all.size();
            if (is_string(t)) {
                all += string_value(t);
            } else {
                static constexpr std::string_view keys[] = {"subject", "description"};
                V f[2];
                get_many(t, keys, f);
                if (is_string(f[0]) || is_string(f[1])) {
                    all += str_of(f[0]);
                    if (is_string(f[0]) && !string_value(f[0]).empty() && is_string(f[1])) all += '\n';
                    all += str_of(f[1]);
                } else {
                    append_readable(all, t);
                }
            }
            if (is_blank(std::string_view(all).substr(start))) all.resize(mark);
        });
        if (!all.empty()) row(role_assistant, kind_thinking, all, timestamp);
    }

    void tool_calls(V list) {
        if (!o().include_tools || !is_array(list)) return;
        for_each_element(list, [&](V call) {
            static constexpr std::string_view keys[] = {"name", "id", "args", "result", "resultDisplay", "timestamp"};
            enum { name, id, args, result, display, ts };
            V f[std::size(keys)];
            get_many(call, keys, f);
            std::string_view when = is_string(f[ts]) ? string_value(f[ts]) : timestamp;
            call_row(str_of(f[name]), str_of(f[id]), f[args], when);
            bool has_result = !is_absent(f[result]) && kind_of(f[result]) != jkind::null;
            std::string& output = rules.output;
            output.clear();
            if (has_result) result_text(output, f[result]);
            // What the person saw, when it says more than the model was told.
            if (o().parts && is_string(f[display])) {
                std::string_view shown = string_value(f[display]);
                if (!is_blank(shown) && output.find(shown) == std::string::npos) {
                    if (!output.empty()) output += "\n\n";
                    output += shown;
                    has_result = true;
                }
            }
            if (has_result) result_row(str_of(f[id]), output, when, false);
        });
    }
};

unsigned char text_role(std::string_view type) {
    if (type == "user") return role_user;
    if (type == "gemini") return role_assistant;
    return role_system;  // info, error, warning: notices of the tool's own
}

// The members of a message that the rules read.
template <class V>
struct message_fields {
    V type, id, timestamp, content, thoughts, tool_calls;
};

constexpr std::string_view message_keys[] = {"type", "id", "timestamp", "content", "thoughts", "toolCalls"};

template <class V>
message_fields<V> fields_of(const V (&f)[std::size(message_keys)]) {
    return {f[0], f[1], f[2], f[3], f[4], f[5]};
}

// Reads a message (a line, or one element of a $set's "messages") into `m`.
template <class V>
void read_message(gemini_rules& rules, const message_fields<V>& f, gemini_message& m) {
    std::string_view type = str_of(f.type);
    m.type = type;
    rules.pending.clear();
    bool known = type == "user" || type == "gemini";
    message_reader<V> r{rules, m, str_of(f.timestamp), text_role(type), known ? kind_text : kind_context};
    r.has_thoughts = is_array(f.thoughts) && length(f.thoughts) > 0;
    if (is_array(f.tool_calls))
        for_each_element(f.tool_calls, [&](V call) {
            std::string_view id = str_of(get(call, "id"));
            if (!id.empty()) r.tool_call_ids.push_back(id);
        });
    r.thoughts(f.thoughts);
    r.content(f.content);
    r.tool_calls(f.tool_calls);
    m.rows.assign(rules.pending);  // held at its size: most messages are kept to the end
}

// What a message is to a compression that restates it under a new id: its type
// and its first text or tool call (thinking is not restated).
std::string signature(const gemini_message& m) {
    std::string sig;
    bool found = false;
    for_each_held(m.rows, [&](const held_row& r, const char*) {
        if (found || r.kind == kind_thinking) return;
        found = true;
        sig = m.type;
        sig += '\0';
        if (r.kind == kind_tool_call || r.kind == kind_tool_result) {
            sig += '\1';
            sig += r.call_id;
        } else {
            sig += r.text;
        }
    });
    return sig;
}

// The message of an id in the current conversation, or nullptr.
size_t* find_id(gemini_rules& rules, std::string_view id) {
    if (id.empty()) return nullptr;
    rules.key.assign(id.data(), id.size());
    auto known = rules.by_id.find(rules.key);
    return known == rules.by_id.end() ? nullptr : &known->second;
}

size_t add_message(gemini_rules& rules, std::string_view id, gemini_message&& m) {
    size_t at = rules.messages.size();
    rules.messages.push_back(std::move(m));
    if (!id.empty()) rules.by_id[std::string(id)] = at;
    return at;
}

// A message line: new, or a message written again (the later one replaces it).
template <class V>
void on_message(gemini_rules& rules, const message_fields<V>& f) {
    std::string_view id = str_of(f.id);
    gemini_message m;
    read_message(rules, f, m);
    if (size_t* known = find_id(rules, id)) {
        gemini_message& old = rules.messages[*known];
        old.type = std::move(m.type);
        old.rows = std::move(m.rows);
        return;
    }
    add_message(rules, id, std::move(m));
}

// "$set": {"messages": [...]}: the conversation as the log now states it. A
// message it names by a known id replaces that message; one under a new id that
// repeats a message the list leaves out is that message restated (a compression
// gives the turns it keeps new ids); the rest are new, placed here: the session
// context Gemini opens a session with, a compression's summary and the reply
// acknowledging it. Leaving a message out takes nothing back: only $rewindTo does.
template <class V>
void restate(gemini_rules& rules, V list) {
    std::unordered_set<std::string_view> listed;
    for_each_element(list, [&](V e) {
        std::string_view id = str_of(get(e, "id"));
        if (!id.empty()) listed.insert(id);
    });
    std::unordered_map<std::string, std::deque<size_t>> left_out;  // by signature, made when first needed
    bool left_out_made = false;
    bool after_summary = false;
    for_each_element(list, [&](V e) {
        V members[std::size(message_keys)];
        get_many(e, message_keys, members);
        message_fields<V> f = fields_of(members);
        if (!is_string(f.type)) return;
        std::string_view id = str_of(f.id);
        gemini_message m;
        read_message(rules, f, m);
        if (size_t* known = find_id(rules, id)) {
            gemini_message& old = rules.messages[*known];
            old.type = std::move(m.type);
            old.rows = std::move(m.rows);
            old.rewound = false;
            after_summary = false;
            return;
        }
        if (!left_out_made) {
            left_out_made = true;
            std::vector<size_t> positions;
            for (const auto& [known_id, at] : rules.by_id)
                if (!listed.count(known_id) && !rules.messages[at].rewound) positions.push_back(at);
            std::sort(positions.begin(), positions.end());
            for (size_t at : positions) {
                std::string sig = signature(rules.messages[at]);
                if (!sig.empty()) left_out[sig].push_back(at);
            }
        }
        std::string sig = signature(m);
        auto same = sig.empty() ? left_out.end() : left_out.find(sig);
        if (same != left_out.end() && !same->second.empty()) {
            if (!id.empty()) rules.by_id[std::string(id)] = same->second.front();
            same->second.pop_front();
            after_summary = false;
            return;
        }
        if (after_summary && m.type == "gemini") rekind(m.rows, kind_text, kind_context);
        after_summary = false;
        for_each_held(m.rows, [&](const held_row& r, const char*) { after_summary = after_summary || r.kind == kind_summary; });
        add_message(rules, id, std::move(m));
    });
}

// The first line names the session; another session's first line starts a new
// conversation in the same file (its ids are its own).
template <class V>
void on_header(gemini_rules& rules, V root, std::string_view session_id) {
    if (!rules.named) {
        rules.named = true;
        rules.session_id = session_id;
        rules.conversation_id = session_id;
        rules.subagent = str_of(get(root, "kind")) == "subagent";
    } else if (session_id != rules.conversation_id) {
        rules.conversation_id = session_id;
        rules.conversation_start = rules.messages.size();
        rules.by_id.clear();
        rules.later_conversation = true;
    }
    V summary = get(root, "summary");
    if (is_string(summary) && !rules.later_conversation) rules.title = string_value(summary);
}

template <class V>
void on_set(gemini_rules& rules, V set) {
    static constexpr std::string_view keys[] = {"messages", "summary", "sessionId"};
    V f[std::size(keys)];
    get_many(set, keys, f);
    if (is_string(f[2]) && !rules.named) {
        rules.named = true;
        rules.session_id = string_value(f[2]);
        rules.conversation_id = rules.session_id;
    }
    if (is_string(f[1]) && !rules.later_conversation) rules.title = string_value(f[1]);
    if (is_array(f[0])) restate(rules, f[0]);
}

// "$rewindTo": id: the message and everything after it are taken back.
void on_rewind(gemini_rules& rules, std::string_view id) {
    size_t* known = find_id(rules, id);
    if (!known || *known < rules.conversation_start) return;
    for (size_t i = *known; i < rules.messages.size(); ++i) rules.messages[i].rewound = true;
}

template <class V>
void read_line(gemini_rules& rules, V root) {
    // One pass over the members: a message's, and those of the other line kinds.
    static constexpr std::string_view keys[] = {"type",     "id",   "timestamp", "content",  "thoughts",
                                                "toolCalls", "$set", "$rewindTo", "sessionId"};
    static_assert(std::size(keys) == std::size(message_keys) + 3);
    V f[std::size(keys)];
    get_many(root, keys, f);
    V members[std::size(message_keys)];
    std::copy(f, f + std::size(message_keys), members);
    if (is_string(f[0]))
        on_message(rules, fields_of(members));
    else if (is_object(f[6]))
        on_set(rules, f[6]);
    else if (is_string(f[7]))
        on_rewind(rules, string_value(f[7]));
    else if (is_string(f[8]))
        on_header(rules, root, string_value(f[8]));
}

}  // namespace

gemini_rules make_gemini_rules(const rule_options& options) {
    gemini_rules rules;
    rules.options = options;
    return rules;
}

bool gemini_line_worth_keeping(const gemini_rules&, std::string_view) {
    // Every long line is a message, a restated conversation or a session update
    // whose keys may come after the part read so far.
    return true;
}

bool gemini_worth_parsing(std::string_view line) {
    constexpr std::string_view head = "{\"$set\":{\"lastUpdated\":\"";
    if (!starts(line, head)) return true;
    size_t i = head.size();
    while (i < line.size() && line[i] != '"' && line[i] != '\\') ++i;
    if (i == line.size() || line[i] == '\\') return true;
    std::string_view rest = line.substr(i + 1);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t' || rest.back() == '\r')) rest.remove_suffix(1);
    return rest != "}}";
}

void gemini_line(gemini_rules& rules, line_parser& parser, std::string_view line, row_list&) {
    if (!gemini_worth_parsing(line)) return;
    parsed_line parsed = parse_line(parser, line);
    with_root(parsed, [&](auto root) {
        if (is_object(root)) read_line(rules, root);
    });
}

void gemini_finish(gemini_rules& rules, row_list& rows) {
    const rule_options& o = rules.options;
    if (o.parts) {
        // A sub-agent's log names the sub-agent; its parent is the folder it lies in.
        if (rules.named || !rules.cwd.empty()) {
            if (rules.subagent)
                add_row(rows, "__session__", rules.cwd, {}, {{}, rules.session_id});
            else
                add_row(rows, "__session__", rules.cwd, {}, {rules.session_id, {}});
        }
        if (!rules.title.empty()) add_row(rows, "__title__", rules.title, {}, {});
    } else if (rules.named) {
        add_row(rows, "__meta__", rules.cwd, {}, {rules.session_id});
    }
    // A tool result is written with its call and again in the user message that
    // hands it to the model: the second copy is no row of its own.
    std::unordered_set<std::string_view> answered;
    for (const gemini_message& m : rules.messages)
        for_each_held(m.rows, [&](const held_row& r, const char*) {
            if (r.kind == kind_tool_result && !r.echo) answered.insert(r.call_id);
        });
    for (const gemini_message& m : rules.messages) {
        unsigned char flags = (rules.subagent ? flag_subagent : 0) | (m.rewound ? flag_rewound : 0);
        for_each_held(m.rows, [&](const held_row& r, const char*) {
            if (r.echo && answered.count(r.call_id)) return;
            if (!o.parts)
                add_row(rows, roles[r.role], r.text, r.timestamp, {r.source1});
            else if (r.two_part_source)
                add_row(rows, roles[r.role], r.text, r.timestamp, {r.source1, r.source2}, r.kind, flags);
            else
                add_row(rows, roles[r.role], r.text, r.timestamp, {r.source1}, r.kind, flags);
        });
    }
    rules.messages.clear();
    rules.by_id.clear();
}

}  // namespace sr
