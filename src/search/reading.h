// The search reading of one session log: every row a person can look for, each
// with its kind, in full (no character cut), and the facts that name the session.
// Built on the same scan and rules as the rows of `_core`, with the options of the
// parts reading. Plain C++: no Python in here.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/packing.h"
#include "scan/scan.h"

namespace sr {

struct search_row {
    std::string_view role;       // "user", "assistant", "tool", "developer", "system", ...
    std::string_view text;       // the text as the log holds it
    std::string_view timestamp;
    std::string_view tool;       // the tool's name, for tool calls and tool results
    std::string_view index_text; // what the full-text index gets, when has_index_text
    unsigned char kind = 0;      // row_kind
    unsigned char flags = 0;     // flag_subagent
    bool has_index_text = false;
};

struct session_facts {
    std::string session_id;
    std::string cwd;
    std::string agent_id;       // a Claude sub-agent's log: the sub-agent's id
    std::string custom_title;   // the last name the person gave the session
    std::string ai_title;       // the last title Claude generated
    std::string first_prompt;   // the first thing the person typed (a bare /command only if nothing else)
    std::string first_ts, last_ts;
    std::vector<std::pair<std::string, uint32_t>> roles;  // rows by role, in order of first appearance
};

// What else a reading does: pack the log for the archive as it is read, or read
// an archived copy (a member of the archive that unpacks to `archived_size` bytes)
// instead of the log in place.
struct reading_io {
    const pack_request* pack = nullptr;
    std::string archived_member;
    uint64_t archived_size = 0;
};

struct search_reading {
    bool ok = false;
    error_value error;                // when not ok
    row_list raw;                     // the scan's rows: the views below point into them
    std::deque<std::string> made;     // texts made here (split, rewritten, index texts)
    std::vector<search_row> rows;
    session_facts facts;
    bool packed = false;
    pack_outcome pack;                // when packing was asked for, or an archived copy read (its digest)
};

// The longest first prompt kept in the facts, in bytes (a title needs far less).
constexpr size_t first_prompt_bytes = 2000;

// Reads one log. With `index_texts`, rows whose text the index must get in
// another form carry it. Codex's second copy of a message is left out. May throw
// std::bad_alloc.
void read_for_search(log_kind kind, const std::string& path, bool index_texts, search_reading& out,
                     const reading_io& io = reading_io());

// A 63-bit digest of the first `count` rows (role, kind, flags, time, tool and
// text): the same rows give the same digest in every build, so an index can tell
// whether what it holds of a log that grew is still what the log says.
uint64_t rows_digest(const search_reading& reading, size_t count);

}  // namespace sr
