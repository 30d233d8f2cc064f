#include "reading.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <unordered_map>

#include "archive/member_reader.h"
#include "index_text.h"
#include "meaning.h"
#include "render/utf8.h"

namespace sr {

namespace {

struct pair_key {
    std::string_view role, text;
    unsigned char kind;
    bool operator==(const pair_key& o) const { return kind == o.kind && role == o.role && text == o.text; }
};
struct pair_hash {
    size_t operator()(const pair_key& k) const {
        return (std::hash<std::string_view>()(k.text) * 31 + std::hash<std::string_view>()(k.role)) * 31 + k.kind;
    }
};

// Codex stores a message twice, as a "response_item" and as an "event_msg" with
// the same role and text, and each part of a reasoning summary as well (a thinking
// row from the item, one from its agent_reasoning event); the later of each such
// pair is the second copy. Whether a row is one depends only on the rows before it.
struct twin_finder {
    std::unordered_map<pair_key, uint32_t, pair_hash> waiting[2];  // unpaired rows of each family

    bool is_twin(std::string_view source, std::string_view role, std::string_view text, unsigned char kind) {
        int family = source == "response_item" ? 0 : source == "event_msg" ? 1 : -1;
        if (family < 0) return false;
        pair_key key{role, text, kind};
        auto other = waiting[1 - family].find(key);
        if (other != waiting[1 - family].end() && other->second > 0) {
            --other->second;
            return true;
        }
        ++waiting[family][key];
        return false;
    }
};

std::string_view before_tab(std::string_view s) { return s.substr(0, s.find('\t')); }
std::string_view after_tab(std::string_view s) {
    size_t tab = s.find('\t');
    return tab == std::string_view::npos ? std::string_view() : s.substr(tab + 1);
}

bool is_bare_command(std::string_view text) {
    return !text.empty() && text[0] == '/' && text.find_first_of(" \t\n") == std::string_view::npos;
}

struct builder {
    search_reading& out;
    bool index_texts;
    std::unordered_map<std::string_view, std::string_view> tool_names;  // call id -> tool name
    std::vector<std::pair<std::string_view, uint32_t>> roles;
    std::string bare_command;
    bool have_prompt = false;

    std::string_view keep(std::string&& s) {
        out.made.push_back(std::move(s));
        return out.made.back();
    }

    void add(std::string_view role, std::string_view text, std::string_view ts, std::string_view tool,
             unsigned char kind, unsigned char flags) {
        search_row r;
        r.role = role;
        r.text = text;
        r.timestamp = ts;
        r.tool = tool;
        r.kind = kind;
        r.flags = flags;
        if (index_texts) {
            std::string indexed;
            if (index_text(text, indexed)) {
                r.index_text = keep(std::move(indexed));
                r.has_index_text = true;
            }
        }
        out.rows.push_back(r);
        auto counted = std::find_if(roles.begin(), roles.end(), [&](const auto& p) { return p.first == role; });
        if (counted == roles.end())
            roles.emplace_back(role, 1);
        else
            ++counted->second;
        if (!ts.empty()) {
            session_facts& f = out.facts;
            if (f.first_ts.empty() || ts < f.first_ts) f.first_ts = ts;
            if (ts > f.last_ts) f.last_ts = ts;
        }
        if (!have_prompt && kind == kind_text && role == "user" && !(flags & flag_subagent)) {
            if (is_bare_command(text)) {
                if (bare_command.empty()) bare_command = text;
            } else {
                std::string_view head = text.substr(0, prefix_bytes(text.substr(0, first_prompt_bytes * 4),
                                                                    first_prompt_bytes));
                out.facts.first_prompt = head;
                have_prompt = true;
            }
        }
    }

    // A text that may hold <system-reminder> blocks: the rest as the row's own
    // kind, the blocks as injected text after it.
    void add_with_reminders(std::string_view role, std::string_view text, std::string_view ts,
                            std::string_view tool, unsigned char kind, unsigned char flags) {
        std::string kept, blocks;
        if (!split_reminders(text, kept, blocks)) {
            add(role, text, ts, tool, kind, flags);
            return;
        }
        if (!is_blank(kept) || kind == kind_tool_result || kind == kind_tool_call)
            add(role, keep(std::move(kept)), ts, tool, kind, flags);
        add(role, keep(std::move(blocks)), ts, tool, kind_context, flags);
    }

    void text_row(const row_view& r) {
        unsigned char kind = r.kind;
        if (r.role == "developer" || r.role == "system") kind = kind_context;
        if (kind != kind_text || r.role != "user") {
            add(r.role, r.text, r.timestamp, {}, kind, r.flags);
            return;
        }
        std::string command;
        if (slash_command(r.text, command)) {
            add(r.role, keep(std::move(command)), r.timestamp, {}, kind_text, r.flags);
            return;
        }
        std::string_view context, request;
        if (ide_context(r.text, context, request)) {
            add(r.role, context, r.timestamp, {}, kind_context, r.flags);
            if (!is_blank(request)) add_with_reminders(r.role, request, r.timestamp, {}, kind_text, r.flags);
            return;
        }
        if (is_injected(r.text)) {
            add(r.role, r.text, r.timestamp, {}, kind_context, r.flags);
            return;
        }
        add_with_reminders(r.role, r.text, r.timestamp, {}, kind_text, r.flags);
    }

    void row(const row_view& r, twin_finder& twins) {
        session_facts& f = out.facts;
        if (r.role.size() > 4 && r.role.substr(0, 2) == "__") {
            if (r.role == "__session__") {
                if (f.cwd.empty()) f.cwd = r.text;
                if (f.session_id.empty()) f.session_id = before_tab(r.source);
                if (f.agent_id.empty()) f.agent_id = after_tab(r.source);
            } else if (r.role == "__meta__") {
                if (f.session_id.empty()) f.session_id = r.source;
                if (f.cwd.empty()) f.cwd = r.text;
            } else if (r.role == "__title__") {
                if (!r.text.empty()) f.ai_title = r.text;
            } else if (r.role == "__custom_title__") {
                if (!is_blank(r.text)) f.custom_title = r.text;
            }
            return;
        }
        switch (r.kind) {
            case kind_tool_call: {
                std::string_view name = before_tab(r.source), id = after_tab(r.source);
                if (!id.empty()) tool_names[id] = name;
                add(r.role, r.text, r.timestamp, name, kind_tool_call, r.flags);
                return;
            }
            case kind_tool_result: {
                auto name = tool_names.find(after_tab(r.source));
                add_with_reminders(r.role, r.text, r.timestamp,
                                   name == tool_names.end() ? std::string_view() : name->second, kind_tool_result,
                                   r.flags);
                return;
            }
            default:
                if (twins.is_twin(r.source, r.role, r.text, r.kind)) return;
                text_row(r);
        }
    }
};

// A multiply-xorshift hash over 8-byte words, fixed here so that it never changes
// with the compiler or its library.
struct digest {
    uint64_t h = 0x243F6A8885A308D3ull;

    void mix(uint64_t w) {
        h ^= w;
        h *= 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    void add(std::string_view s) {
        size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            mix(w);
        }
        uint64_t tail = 0;
        if (i < s.size()) std::memcpy(&tail, s.data() + i, s.size() - i);  // an empty view may have no data
        mix(tail ^ (static_cast<uint64_t>(s.size()) << 56));
    }
};

}  // namespace

uint64_t rows_digest(const search_reading& reading, size_t count) {
    digest d;
    count = std::min(count, reading.rows.size());
    for (size_t i = 0; i < count; ++i) {
        const search_row& r = reading.rows[i];
        d.mix(static_cast<uint64_t>(r.kind) | static_cast<uint64_t>(r.flags) << 8);
        d.add(r.role);
        d.add(r.timestamp);
        d.add(r.tool);
        d.add(r.text);
    }
    return d.h & 0x7FFFFFFFFFFFFFFFull;
}

void read_for_search(log_kind kind, const std::string& path, bool index_texts, search_reading& out,
                     const reading_io& io) {
    rule_options options;
    options.include_tools = true;
    options.cut_texts = false;
    options.skip_flagged = false;
    options.parts = true;
    scan_io scanning;
    log_packer packer;
    member_reader member;
    byte_source source;
    bool archived = !io.archived_member.empty();
    if (io.pack || archived) {
        pack_request digest_only;
        digest_only.level = 0;
        start_packing(packer, io.pack && !archived ? *io.pack : digest_only);
        scanning.tap = packer_tap(packer);
    }
    if (archived) {
        if (!open_member(member, io.archived_member, io.archived_size, out.error)) return;
        source = member_source(member);
        scanning.source = &source;
    }
    scan_result scanned = run(kind, archived ? io.archived_member : path, options, &scanning);
    if (io.pack || archived) {
        finish_packing(packer);
        out.pack = std::move(packer.out);
        out.packed = true;
    }
    out.ok = scanned.ok;
    if (!scanned.ok) {
        out.error = std::move(scanned.error);
        return;
    }
    out.raw = std::move(scanned.rows);
    out.rows.reserve(size(out.raw));
    builder b{out, index_texts, {}, {}, {}, false};
    twin_finder twins;
    for_each_row(out.raw, [&](const row_view& r) { b.row(r, twins); });
    if (!b.have_prompt) out.facts.first_prompt = b.bare_command;
    for (const auto& [role, n] : b.roles) out.facts.roles.emplace_back(std::string(role), n);
}

}  // namespace sr
