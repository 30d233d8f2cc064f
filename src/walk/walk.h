// The walk over the places where the logs are, compared with what the index knows.
// Plain C++: no Python in here.
//
// Rules (those of the package's Python walk before it was native): a root that is a
// folder is walked, a root that is a regular file is taken whatever its name. Below
// a folder, the files whose names the root's rule takes are listed; symbolic links
// to folders are not followed, a link to a file is (its stat is the target's); only
// regular files are taken, anything else with such a name is never opened and is
// reported as "not a regular file". Order: a root's files depth first, within a
// folder its files in name order, then its subfolders in name order (the names as
// Python orders them once decoded, see name_order.h); the roots in the order given.
// A file reached twice (the same inode, size and modification time: a hard link,
// two links to one file, roots that overlap) is listed once, where it comes first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "walk/folder_listing.h"
#include "walk/known_files.h"
#include "walk/spread.h"

namespace sr {

struct walk_root {
    std::string path;          // as given; never resolved (trailing slashes aside)
    name_rule rule = name_rule::jsonl;
};

// A file that is new to the index or whose size, modification time or inode changed.
struct fresh_file {
    std::string path;
    int64_t size = 0;
    int64_t mtime_ns = 0;
    uint64_t inode = 0;
    uint32_t root = 0;         // the root it was found under
};

struct walk_problem {
    std::string path;
    std::string message;       // "Permission denied", "not a regular file", ...
};

struct walk_result {
    std::vector<fresh_file> fresh;         // in walk order
    std::vector<std::string_view> gone;    // known paths that are gone (views into the blobs)
    std::vector<walk_problem> problems;    // in walk order
    size_t found = 0;                      // files in scope: unchanged and fresh
};

// Walks `roots` and compares what it finds with `known` (whose `seen` flags it sets).
// A root that does not exist holds nothing: what the index knows below it is gone.
void walk(const std::vector<walk_root>& roots, known_files& known, const lanes& l, walk_result& out);

}  // namespace sr
