#include "walk/folder_listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "walk/name_order.h"

namespace sr {

namespace {

bool ends_with(std::string_view s, std::string_view end) {
    return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

void sort_by_name(const std::string& names, std::vector<listed_file>& entries) {
    std::sort(entries.begin(), entries.end(), [&](const listed_file& a, const listed_file& b) {
        std::string_view all(names);
        return name_before(all.substr(a.name_at, a.name_len), a.utf8, all.substr(b.name_at, b.name_len), b.utf8);
    });
}

listed_file named(std::string& names, std::string_view name) {
    listed_file e;
    e.name_at = static_cast<uint32_t>(names.size());
    e.name_len = static_cast<uint32_t>(name.size());
    e.utf8 = is_utf8(name);
    names.append(name);
    names.push_back('\0');
    return e;
}

}  // namespace

bool name_taken(std::string_view name, name_rule rule) {
    switch (rule) {
        case name_rule::events: return name == "events.jsonl";
        case name_rule::rollout: return ends_with(name, ".jsonl") && name.substr(0, 8) == "rollout-";
        case name_rule::session: return ends_with(name, ".jsonl") && name.substr(0, 8) == "session-";
        case name_rule::jsonl: break;
    }
    return ends_with(name, ".jsonl");
}

std::string error_message(int error) {
    if (error == not_regular) return "not a regular file";
    return std::strerror(error);
}

void append_child_path(std::string& out, std::string_view folder_path, std::string_view name) {
    out.append(folder_path);
    if (out.empty() || out.back() != '/') out.push_back('/');
    out.append(name);
}

std::string child_path(std::string_view folder_path, std::string_view name) {
    std::string out;
    out.reserve(folder_path.size() + 1 + name.size());
    append_child_path(out, folder_path, name);
    return out;
}

bool take_stat(const struct stat& st, listed_file& e) {
    if (!S_ISREG(st.st_mode)) return false;
    e.taken = true;
    e.size = static_cast<int64_t>(st.st_size);
    e.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    e.inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

void list_folder(folder& f) {
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (f.is_root ? 0 : O_NOFOLLOW);
    int fd = open(f.path.c_str(), flags);
    if (fd < 0) {
        f.error = errno;
        return;
    }
    f.dir = fdopendir(fd);
    if (!f.dir) {
        f.error = errno;
        close(fd);
        return;
    }
    for (;;) {
        errno = 0;
        const dirent* d = readdir(f.dir);
        if (!d) {
            if (errno) {
                f.error = errno;
                f.files.clear();
                f.subfolders.clear();
                return;
            }
            break;
        }
        std::string_view name(d->d_name);
        if (name == "." || name == "..") continue;
        unsigned char type = d->d_type;
        int error = 0;
        if (type == DT_UNKNOWN) {  // the file system does not say: ask
            struct stat st;
            if (fstatat(dirfd(f.dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                error = errno;
            else
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : S_ISREG(st.st_mode) ? DT_REG : DT_FIFO;
        }
        if (type == DT_DIR) {
            f.subfolders.push_back(named(f.names, name));
        } else if (error || name_taken(name, f.rule)) {
            listed_file e = named(f.names, name);
            e.error = error;
            e.type = type == DT_REG ? entry_type::regular : type == DT_LNK ? entry_type::link : entry_type::other;
            if (!error && e.type == entry_type::other) e.error = not_regular;
            f.files.push_back(e);
        }
    }
    sort_by_name(f.names, f.files);
    sort_by_name(f.names, f.subfolders);
}

void stat_files(folder& f, size_t first, size_t last) {
    int fd = dirfd(f.dir);
    for (size_t i = first; i < last; ++i) {
        listed_file& e = f.files[i];
        if (e.error) continue;
        struct stat st;
        if (fstatat(fd, f.names.c_str() + e.name_at, &st, 0) != 0) {
            e.error = errno;
        } else if (!take_stat(st, e) && !S_ISDIR(st.st_mode)) {
            e.error = not_regular;  // a link to a folder is left alone: links to folders are not followed
        }
    }
}

void close_folder(folder& f) {
    if (f.dir) closedir(f.dir);
    f.dir = nullptr;
}

}  // namespace sr
