#include "walk/gone.h"

#include <sys/stat.h>

#include <cerrno>
#include <unordered_set>

namespace sr {

namespace {

bool below(std::string_view path, std::string_view base) {
    if (path.size() <= base.size() || path.substr(0, base.size()) != base) return false;
    return base.back() == '/' || path[base.size()] == '/';
}

enum verdict : unsigned char { kept, is_gone, ask };

// True if `path` or a folder above it is in `failed`.
bool under_failed(std::string_view path, const std::unordered_set<std::string_view>& failed) {
    if (failed.count(path)) return true;
    for (size_t i = path.size(); i-- > 0;)
        if (path[i] == '/' && failed.count(i ? path.substr(0, i) : path.substr(0, 1))) return true;
    return false;
}

}  // namespace

bool at_or_below(std::string_view path, std::string_view base) {
    return !base.empty() && (path == base || below(path, base));
}

void find_gone(const known_files& known, const std::vector<scope_root>& scope, const std::vector<std::string>& failed,
               const lanes& l, std::vector<std::string_view>& gone) {
    std::unordered_set<std::string_view> failed_set(failed.begin(), failed.end());
    std::vector<unsigned char> verdicts(known.files.size(), kept);
    std::vector<size_t> asks;
    for (size_t i = 0; i < known.files.size(); ++i) {
        const known_file& f = known.files[i];
        if (f.seen || (!failed_set.empty() && under_failed(f.path, failed_set))) continue;
        bool in_scope = false;
        for (const scope_root& r : scope)
            if (!r.path.empty() && ((r.itself && f.path == r.path) || (r.below && below(f.path, r.path)))) {
                in_scope = true;
                break;
            }
        if (in_scope) {
            verdicts[i] = is_gone;
        } else {
            verdicts[i] = ask;
            asks.push_back(i);
        }
    }
    // A file out of the walk's scope is gone only if it no longer exists.
    constexpr size_t piece = 64;
    spread(l, (asks.size() + piece - 1) / piece, [&](size_t p) {
        for (size_t k = p * piece; k < asks.size() && k < (p + 1) * piece; ++k) {
            struct stat st;
            const char* path = known.files[asks[k]].path.data();  // NUL-terminated in its blob
            bool missing = lstat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
            verdicts[asks[k]] = missing ? is_gone : kept;
        }
    });
    for (size_t i = 0; i < known.files.size(); ++i)
        if (verdicts[i] == is_gone) gone.push_back(known.files[i].path);
}

}  // namespace sr
