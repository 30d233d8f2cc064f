// The archive's native half: the input bytes become a log; it is packed as the
// search reading packs it, in two growths (a frame for its first part, one for the
// rest), and the member those frames make is read back; then the input itself is
// read as a (damaged, truncated or hostile) member.
//
// Checks: the member gives the log's bytes exactly, and their digest is the one the
// packing gave; a prefix digest that differs gives no frame; reading any bytes as a
// member either fails (EBADMSG and no bytes) or gives exactly as many bytes as asked.
#include <cstdint>
#include <string>

#include "archive/member_reader.h"
#include "archive/packing.h"
#include "archive/xxh64.h"
#include "check.h"
#include "scratch_log.h"

namespace {

std::string write_member(const std::string& bytes) {
    static std::string path;
    if (path.empty()) path = fuzz::scratch_log_path() + ".zst";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fuzz::fail("cannot write the member");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& log = fuzz::write_scratch_log("archive", data, size);
    std::string whole(reinterpret_cast<const char*>(data), size);
    size_t cut = size ? data[0] % (size + 1) : 0;
    sr::error_value err;
    bool ok = false;

    sr::pack_request first;
    first.level = 1;
    sr::pack_outcome a = sr::pack_file(log, first, err, ok);
    FUZZ_CHECK(ok && a.bytes == size && a.digest == sr::xxh64(whole), "packing the whole log");
    sr::pack_request rest;
    rest.from = cut;
    rest.prefix_digest = sr::xxh64(whole.substr(0, cut));
    rest.level = 1;
    sr::pack_outcome b = sr::pack_file(log, rest, err, ok);
    FUZZ_CHECK(ok && b.prefix_same && b.digest == a.digest, "packing the log's growth");
    rest.prefix_digest ^= 1;
    sr::pack_outcome c = sr::pack_file(log, rest, err, ok);
    FUZZ_CHECK(ok && (!c.prefix_same || cut == 0) && (c.prefix_same || c.frame.empty()), "a changed start");

    // The first `cut` bytes as one frame (packed from a log of just those bytes), the rest as another.
    const std::string& head_log = fuzz::write_scratch_log("archive", data, cut);
    sr::pack_outcome h = sr::pack_file(head_log, first, err, ok);
    FUZZ_CHECK(ok, "packing the head");
    std::string back;
    FUZZ_CHECK(sr::unpack_member(write_member(h.frame + b.frame), size, back, err) && back == whole,
               "the member gives the log back");

    // The input itself as a member.
    for (uint64_t want : {uint64_t(0), uint64_t(1), uint64_t(size), uint64_t(size) * 4}) {
        std::string out;
        bool read = sr::unpack_member(write_member(whole), want, out, err);
        FUZZ_CHECK(read ? out.size() == want : out.empty(), "a member gives all it must or nothing");
    }
    return 0;
}
