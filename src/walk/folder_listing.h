// One folder of the walk: its entries read with their types (opendir/readdir's
// d_type, fstatat where the file system does not tell), the files whose names the
// rule takes and the subfolders, each in name order; then the files' stat, relative
// to the open folder. Plain C++, POSIX calls only.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "walk/known_files.h"

namespace sr {

// Which file names a walk takes: every `*.jsonl`, only `rollout-*.jsonl`, only
// `session-*.jsonl`, or only files named `events.jsonl`.
enum class name_rule : uint8_t { jsonl = 0, rollout = 1, session = 2, events = 3 };
constexpr int name_rules = 4;

bool name_taken(std::string_view name, name_rule rule);

// The error a file that is not a regular file gets (errno values are positive).
constexpr int not_regular = -1;

// "not a regular file", or the system's text for an errno value.
std::string error_message(int error);

enum class entry_type : uint8_t { regular, link, other };

struct listed_file {
    uint32_t name_at = 0;      // its name: folder.names[name_at, name_at + name_len)
    uint32_t name_len = 0;
    bool utf8 = true;
    entry_type type = entry_type::regular;
    bool taken = false;        // a regular file (through a link or not): the fields below hold
    int error = 0;             // errno of its stat, or not_regular
    int64_t size = 0;
    int64_t mtime_ns = 0;
    uint64_t inode = 0;
    size_t known = not_known;  // its place in the index's files, if it is there
};

struct folder {
    std::string path;          // as the walk reached it (a root as given)
    uint32_t root = 0;         // the root it lies under
    name_rule rule = name_rule::jsonl;
    bool is_root = false;      // a root may be a symbolic link to a folder; below it none is followed
    int error = 0;             // errno of opening or reading it
    DIR* dir = nullptr;        // open between list_folder and close_folder
    std::string names;         // the names of its files and subfolders, each ended by a NUL
    std::vector<listed_file> files;       // the files the rule takes, in name order
    std::vector<listed_file> subfolders;  // in name order (only the name fields are used)
    std::vector<uint32_t> children;       // the subfolders' places in the walk's folder list
};

inline std::string_view name_of(const folder& f, const listed_file& e) {
    return std::string_view(f.names).substr(e.name_at, e.name_len);
}

// `folder.path` joined with `name`.
std::string child_path(std::string_view folder_path, std::string_view name);
void append_child_path(std::string& out, std::string_view folder_path, std::string_view name);

// Opens the folder and reads its entries; on failure sets f.error and lists nothing.
// The folder stays open (for stat_files) until close_folder.
void list_folder(folder& f);

// The stat of files [first, last) of a listed folder, links followed.
void stat_files(folder& f, size_t first, size_t last);

void close_folder(folder& f);

// A file's stat taken into the fields of e; false if it is not a regular file.
bool take_stat(const struct stat& st, listed_file& e);

}  // namespace sr
