// The search reading: the input bytes become a session log on tmpfs, read as a log
// of every kind, with the index texts, through the production path.
//
// Checks: the reading never fails on content; every text, time, tool name and index
// text is valid UTF-8 (each becomes a Python str); the facts agree with the rows
// (their count by role); the digest of all rows is the same when read again.
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string>

#include "check.h"
#include "scratch_log.h"
#include "search/reading.h"

namespace {

void check(sr::log_kind kind) {
    sr::search_reading r;
    sr::read_for_search(kind, fuzz::scratch_log_path(), true, r);
    FUZZ_CHECK(r.ok, "the reading failed on content");
    std::map<std::string, uint32_t> by_role;
    for (const sr::search_row& row : r.rows) {
        FUZZ_CHECK(fuzz::valid_utf8(row.text), row.text);
        FUZZ_CHECK(fuzz::valid_utf8(row.timestamp), row.timestamp);
        FUZZ_CHECK(fuzz::valid_utf8(row.tool), row.tool);
        FUZZ_CHECK(fuzz::valid_utf8(row.role), row.role);
        if (row.has_index_text) FUZZ_CHECK(fuzz::valid_utf8(row.index_text), row.index_text);
        FUZZ_CHECK(row.kind <= sr::kind_thinking, row.text);
        ++by_role[std::string(row.role)];
    }
    const sr::session_facts& f = r.facts;
    for (const std::string* s : {&f.session_id, &f.cwd, &f.agent_id, &f.custom_title, &f.ai_title, &f.first_prompt,
                                 &f.first_ts, &f.last_ts})
        FUZZ_CHECK(fuzz::valid_utf8(*s), *s);
    FUZZ_CHECK(f.first_prompt.size() <= sr::first_prompt_bytes, f.first_prompt);
    std::map<std::string, uint32_t> counted(f.roles.begin(), f.roles.end());
    FUZZ_CHECK(counted == by_role, "the facts count other rows than the reading holds");
    sr::search_reading again;
    sr::read_for_search(kind, fuzz::scratch_log_path(), true, again);
    FUZZ_CHECK(sr::rows_digest(r, r.rows.size()) == sr::rows_digest(again, again.rows.size()),
               "the same log gave two digests");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::write_scratch_log("search", data, size);
    for (size_t k = 0; k < std::size(sr::log_kind_names); ++k) check(static_cast<sr::log_kind>(k));
    return 0;
}
