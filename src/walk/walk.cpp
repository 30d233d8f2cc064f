#include "walk/walk.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "walk/gone.h"

namespace sr {

namespace {

// Folders open at once: a window of the walk's folder list is listed, then its files'
// stat taken, then it is closed.
constexpr size_t window_folders = 128;
// Files per piece of stat work (pieces never span folders).
constexpr size_t piece_files = 64;

// The set of files listed so far, by (inode, size, mtime_ns): open addressing.
struct file_id {
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t mtime_ns = 0;
    bool used = false;
};

struct id_set {
    std::vector<file_id> slots = std::vector<file_id>(1024);
    size_t count = 0;
};

size_t id_hash(const file_id& id) {
    uint64_t h = id.inode * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(id.size) * 0xff51afd7ed558ccdull ^
                 static_cast<uint64_t>(id.mtime_ns);
    h ^= h >> 31;
    h *= 0xbf58476d1ce4e5b9ull;
    return static_cast<size_t>(h ^ (h >> 29));
}

// Adds id; false if it was there already.
bool insert_id(id_set& set, file_id id) {
    if (2 * (set.count + 1) > set.slots.size()) {
        std::vector<file_id> old(set.slots.size() * 2);
        old.swap(set.slots);
        set.count = 0;
        for (const file_id& o : old)
            if (o.used) insert_id(set, o);
    }
    size_t mask = set.slots.size() - 1;
    for (size_t i = id_hash(id) & mask;; i = (i + 1) & mask) {
        file_id& s = set.slots[i];
        if (!s.used) {
            id.used = true;
            s = id;
            ++set.count;
            return true;
        }
        if (s.inode == id.inode && s.size == id.size && s.mtime_ns == id.mtime_ns) return false;
    }
}

enum class root_kind { folder, file, missing, failed };

struct root_state {
    std::string path;          // trailing slashes dropped
    root_kind kind = root_kind::missing;
    uint32_t folder = 0;       // kind folder: its place in the folder list
    listed_file file;          // kind file: the file; kind failed: the error
};

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// What the walk has gathered, in walk order, and the paths it could not read.
struct emitter {
    known_files& known;
    walk_result& out;
    id_set listed;
    std::vector<std::string> failed;

    void problem(std::string path, int error) {
        failed.push_back(path);
        out.problems.push_back({std::move(path), error_message(error)});
    }

    // A file the walk reached; `path` makes its path (only wanted if it is fresh or failed).
    template <class MakePath>
    void file(const listed_file& e, uint32_t root, MakePath path) {
        if (e.error) {
            problem(path(), e.error);
            return;
        }
        if (!e.taken) return;  // a link to a folder
        known_file* k = e.known == not_known ? nullptr : &known.files[e.known];
        if (k) k->seen = true;
        if (!insert_id(listed, file_id{e.inode, e.size, e.mtime_ns})) return;  // reached before
        ++out.found;
        if (k && k->size == e.size && k->mtime_ns == e.mtime_ns && k->inode == static_cast<int64_t>(e.inode)) return;
        out.fresh.push_back({path(), e.size, e.mtime_ns, e.inode, root});
    }
};

void look_up(const known_files& known, std::string_view path, listed_file& e) {
    if (e.taken && !known.files.empty()) e.known = find_known(known, path);
}

// A root: what it is (stat, links followed), and the file when it is one.
void start_root(root_state& r, const known_files& known) {
    struct stat st;
    if (stat(r.path.c_str(), &st) != 0) {
        r.kind = errno == ENOENT || errno == ENOTDIR ? root_kind::missing : root_kind::failed;
        r.file.error = errno;
    } else if (S_ISDIR(st.st_mode)) {
        r.kind = root_kind::folder;
    } else if (take_stat(st, r.file)) {
        r.kind = root_kind::file;
        look_up(known, r.path, r.file);
    } else {
        r.kind = root_kind::failed;
        r.file.error = not_regular;
    }
}

// Folders [head, end) of the list: their listings, then their files' stat in pieces,
// both on the lanes. A folder's subfolders join the end of the list, in name order,
// and are remembered as its children.
void list_window(std::vector<folder>& folders, size_t head, size_t end, const known_files& known, const lanes& l) {
    spread(l, end - head, [&](size_t i) { list_folder(folders[head + i]); });
    struct piece {
        size_t folder, first, last;
    };
    std::vector<piece> pieces;
    for (size_t i = head; i < end; ++i) {
        for (size_t first = 0; first < folders[i].files.size(); first += piece_files)
            pieces.push_back({i, first, std::min(folders[i].files.size(), first + piece_files)});
        for (size_t s = 0; s < folders[i].subfolders.size(); ++s) {
            folder child;
            child.path = child_path(folders[i].path, name_of(folders[i], folders[i].subfolders[s]));
            child.root = folders[i].root;
            child.rule = folders[i].rule;
            folders[i].children.push_back(static_cast<uint32_t>(folders.size()));
            folders.push_back(std::move(child));
        }
        folders[i].subfolders.clear();
    }
    spread(l, pieces.size(), [&](size_t p) {
        folder& f = folders[pieces[p].folder];
        stat_files(f, pieces[p].first, pieces[p].last);
        std::string path;
        for (size_t i = pieces[p].first; i < pieces[p].last; ++i) {
            path.clear();
            append_child_path(path, f.path, name_of(f, f.files[i]));
            look_up(known, path, f.files[i]);
        }
    });
}

// Lists every folder below the folder roots, a window of folders open at a time.
void list_all(std::vector<folder>& folders, const known_files& known, const lanes& l) {
    for (size_t head = 0; head < folders.size();) {
        size_t end = std::min(folders.size(), head + window_folders);
        try {
            list_window(folders, head, end, known, l);
        } catch (...) {
            for (size_t i = head; i < end; ++i) close_folder(folders[i]);
            throw;
        }
        for (size_t i = head; i < end; ++i) close_folder(folders[i]);
        head = end;
    }
}

// A folder root's files in walk order: depth first, a folder's files before its subfolders.
void emit_tree(emitter& em, const std::vector<folder>& folders, uint32_t top) {
    std::vector<uint32_t> stack{top};
    while (!stack.empty()) {
        const folder& f = folders[stack.back()];
        stack.pop_back();
        if (f.error) {
            em.problem(f.path, f.error);
            continue;
        }
        for (const listed_file& e : f.files)
            em.file(e, f.root, [&] { return child_path(f.path, name_of(f, e)); });
        for (size_t c = f.children.size(); c-- > 0;) stack.push_back(f.children[c]);
    }
}

}  // namespace

void walk(const std::vector<walk_root>& roots, known_files& known, const lanes& l, walk_result& out) {
    std::vector<root_state> states(roots.size());
    std::vector<folder> folders;
    for (size_t r = 0; r < roots.size(); ++r) {
        root_state& s = states[r];
        s.path = without_trailing_slashes(roots[r].path);
        start_root(s, known);
        if (s.kind != root_kind::folder) continue;
        s.folder = static_cast<uint32_t>(folders.size());
        folder f;
        f.path = s.path;
        f.root = static_cast<uint32_t>(r);
        f.rule = roots[r].rule;
        f.is_root = true;
        folders.push_back(std::move(f));
    }
    list_all(folders, known, l);

    emitter em{known, out, {}, {}};
    std::vector<scope_root> scope;
    for (size_t r = 0; r < states.size(); ++r) {
        const root_state& s = states[r];
        switch (s.kind) {
            case root_kind::folder:
                emit_tree(em, folders, s.folder);
                scope.push_back({s.path, false, true});
                break;
            case root_kind::file:
                em.file(s.file, static_cast<uint32_t>(r), [&] { return s.path; });
                scope.push_back({s.path, true, false});
                break;
            case root_kind::missing:
                scope.push_back({s.path, true, true});
                break;
            case root_kind::failed:
                em.problem(s.path, s.file.error);
                break;
        }
    }
    find_gone(known, scope, em.failed, l, out.gone);
}

}  // namespace sr
