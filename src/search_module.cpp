// The module `_search`: the search reading of many session logs (every row in full,
// with its kind, and the facts that name each session), for the index and the
// commands of the package. Private: its face may change with the package.
#include <algorithm>
#include <string>
#include <vector>

#include "batch/shared_pool.h"
#include "convert.h"
#include "search/index_text.h"
#include "archive/member_reader.h"
#include "archive/packing.h"
#include "archive/xxh64.h"
#include "search/reading.h"
#include "walk/walk.h"

namespace {

using namespace sr;

bool to_long_long(PyObject* obj, long long& out) {
    if (!PyLong_Check(obj)) {
        set_conversion_error(obj, "int");
        return false;
    }
    out = PyLong_AsLongLong(obj);
    return !(out == -1 && PyErr_Occurred());
}

struct read_job {
    log_kind kind = log_kind::claude;
    std::string path;
    long long first_id = 0;   // the id of row 0; a row's id is first_id + its place
    long long start_row = 0;  // rows before this one are not handed back
    bool pack = false;        // pack the log for the archive as it is read
    pack_request packing;
    reading_io io;
};

bool to_u64(PyObject* obj, uint64_t& out) {
    if (!PyLong_Check(obj)) {
        set_conversion_error(obj, "int");
        return false;
    }
    out = PyLong_AsUnsignedLongLong(obj);
    return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

// (from, prefix_digest, level): what of a log is archived already, and how to pack the rest.
bool to_pack_request(PyObject* obj, pack_request& out) {
    if (!PyTuple_Check(obj) || PyTuple_Size(obj) != 3) {
        PyErr_SetString(PyExc_TypeError, "packing is a tuple (from, prefix_digest, level)");
        return false;
    }
    long long level;
    if (!to_u64(PyTuple_GetItem(obj, 0), out.from) || !to_u64(PyTuple_GetItem(obj, 1), out.prefix_digest) ||
        !to_long_long(PyTuple_GetItem(obj, 2), level))
        return false;
    if (level < 0 || level > 22) {
        PyErr_SetString(PyExc_ValueError, "a packing level is from 0 (no frame) to 22");
        return false;
    }
    out.level = static_cast<int>(level);
    return true;
}

// The fifth item of a read job: None; ("pack", (from, prefix_digest, level)); or
// ("member", member_path, size): read the archived copy instead of the path.
bool to_reading_io(PyObject* obj, read_job& j) {
    if (obj == Py_None) return true;
    std::string what;
    if (!PyTuple_Check(obj) || PyTuple_Size(obj) < 2 || !to_text(PyTuple_GetItem(obj, 0), what)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "a job's fifth item is None, (\"pack\", packing) or (\"member\", path, size)");
        return false;
    }
    if (what == "pack" && PyTuple_Size(obj) == 2) {
        j.pack = true;
        return to_pack_request(PyTuple_GetItem(obj, 1), j.packing);
    }
    if (what == "member" && PyTuple_Size(obj) == 3) {
        if (!to_path(PyTuple_GetItem(obj, 1), j.io.archived_member) || !to_u64(PyTuple_GetItem(obj, 2), j.io.archived_size))
            return false;
        if (j.io.archived_member.empty() || j.io.archived_member.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "a member's path is empty or holds a NUL character");
            return false;
        }
        return true;
    }
    PyErr_SetString(PyExc_TypeError, "a job's fifth item is None, (\"pack\", packing) or (\"member\", path, size)");
    return false;
}

// (bytes read, digest, prefix_same, frame bytes or None, error text or None)
PyObject* pack_tuple(const pack_outcome& p) {
    py_ref frame(p.frame.empty() ? (Py_INCREF(Py_None), Py_None)
                                 : PyBytes_FromStringAndSize(p.frame.data(), static_cast<Py_ssize_t>(p.frame.size())));
    py_ref error(p.error.empty() ? (Py_INCREF(Py_None), Py_None) : new_str(p.error));
    if (!frame || !error) return nullptr;
    return Py_BuildValue("(KKOOO)", static_cast<unsigned long long>(p.bytes), static_cast<unsigned long long>(p.digest),
                         p.prefix_same ? Py_True : Py_False, frame.get(), error.get());
}


// `jobs`: a sequence of (kind, path, first_id, start_row), the path str or bytes.
bool to_read_jobs(PyObject* obj, std::vector<read_job>& jobs) {
    if (PyType_GetFlags(Py_TYPE(obj)) & (Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS) ||
        !PySequence_Check(obj)) {
        set_conversion_error(obj, "Sequence");
        return false;
    }
    py_ref iter(PyObject_GetIter(obj));
    if (!iter) return false;
    while (py_ref item{PyIter_Next(iter.get())}) {
        Py_ssize_t n = PyTuple_Check(item.get()) ? PyTuple_Size(item.get()) : 0;
        if (!(PyType_GetFlags(Py_TYPE(item.get())) & Py_TPFLAGS_TUPLE_SUBCLASS) || (n != 4 && n != 5)) {
            PyErr_SetString(PyExc_TypeError, "a job is a tuple (kind, path, first_id, start_row[, archive])");
            return false;
        }
        read_job j;
        std::string kind;
        if (!to_text(PyTuple_GetItem(item.get(), 0), kind) || !to_path(PyTuple_GetItem(item.get(), 1), j.path) ||
            !to_long_long(PyTuple_GetItem(item.get(), 2), j.first_id) ||
            !to_long_long(PyTuple_GetItem(item.get(), 3), j.start_row) ||
            (n == 5 && !to_reading_io(PyTuple_GetItem(item.get(), 4), j)))
            return false;
        if (!named_kind(kind, j.kind)) {
            PyErr_Format(PyExc_ValueError, "unknown kind %R (the kinds are %s)", PyTuple_GetItem(item.get(), 0),
                         kind_list().c_str());
            return false;
        }
        if (j.path.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "a path holds a NUL character");
            return false;
        }
        jobs.push_back(std::move(j));
    }
    return !PyErr_Occurred();
}

PyObject* small_int(long v) { return PyLong_FromLong(v); }

// (session_id, cwd, agent_id, custom_title, ai_title, first_prompt, first_ts,
//  last_ts, rows, ((role, count), ...), digest of all rows, digest of the rows
//  before start_row)
PyObject* facts_tuple(const session_facts& f, size_t rows, uint64_t digest_all, uint64_t digest_before) {
    py_ref roles(PyTuple_New(static_cast<Py_ssize_t>(f.roles.size())));
    if (!roles) return nullptr;
    for (size_t i = 0; i < f.roles.size(); ++i) {
        PyObject* pair = Py_BuildValue("(s#I)", f.roles[i].first.data(), static_cast<Py_ssize_t>(f.roles[i].first.size()),
                                       static_cast<unsigned>(f.roles[i].second));
        if (!pair) return nullptr;
        PyTuple_SetItem(roles.get(), static_cast<Py_ssize_t>(i), pair);
    }
    const std::string* texts[] = {&f.session_id, &f.cwd,          &f.agent_id, &f.custom_title,
                                  &f.ai_title,   &f.first_prompt, &f.first_ts, &f.last_ts};
    py_ref out(PyTuple_New(12));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < 8; ++i) {
        PyObject* s = new_str(*texts[i]);
        if (!s) return nullptr;
        PyTuple_SetItem(out.get(), i, s);
    }
    PyObject* n = PyLong_FromSize_t(rows);
    if (!n) return nullptr;
    PyTuple_SetItem(out.get(), 8, n);
    PyTuple_SetItem(out.get(), 9, roles.release());
    PyObject* digests[2] = {PyLong_FromUnsignedLongLong(digest_all), PyLong_FromUnsignedLongLong(digest_before)};
    if (!digests[0] || !digests[1]) {
        Py_XDECREF(digests[0]);
        Py_XDECREF(digests[1]);
        return nullptr;
    }
    PyTuple_SetItem(out.get(), 10, digests[0]);
    PyTuple_SetItem(out.get(), 11, digests[1]);
    return out.release();
}

// [(id, role, kind, flags, timestamp, tool, text, index_text or None), ...]
PyObject* rows_list(const search_reading& r, long long first_id, long long start_row) {
    size_t start = start_row < 0 ? 0 : static_cast<size_t>(start_row);
    size_t n = start < r.rows.size() ? r.rows.size() - start : 0;
    py_ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    str_cache roles, tools, stamps;
    for (size_t i = 0; i < n; ++i) {
        const search_row& row = r.rows[start + i];
        PyObject* items[8] = {
            PyLong_FromLongLong(first_id + static_cast<long long>(start + i)),
            roles.get(row.role),
            small_int(row.kind),
            small_int(row.flags),
            stamps.get(row.timestamp),
            tools.get(row.tool),
            new_str(row.text),
            nullptr,
        };
        if (row.has_index_text) {
            items[7] = new_str(row.index_text);
        } else {
            Py_INCREF(Py_None);
            items[7] = Py_None;
        }
        PyObject* tuple = nullptr;
        bool all = true;
        for (PyObject* item : items) all = all && item;
        if (all) tuple = PyTuple_New(8);
        if (!tuple) {
            for (PyObject* item : items) Py_XDECREF(item);
            return nullptr;
        }
        for (Py_ssize_t f = 0; f < 8; ++f) PyTuple_SetItem(tuple, f, items[f]);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list.release();
}

PyObject* read(PyObject*, PyObject* args, PyObject* kwargs) {
    return python_barrier([&]() -> PyObject* {
        PyObject* values[2];
        if (!bind_args(params{"read", "jobs", "index_texts"}, args, kwargs, values)) return nullptr;
        std::vector<read_job> jobs;
        if (!to_read_jobs(values[0], jobs)) {
            name_argument_error("jobs");
            return nullptr;
        }
        bool index_texts = false;
        if (values[1] && !to_flag(values[1], index_texts)) {
            name_argument_error("index_texts");
            return nullptr;
        }
        std::vector<search_reading> readings(jobs.size());
        std::vector<uint64_t> digests(2 * jobs.size());
        auto one = [&](size_t i) {
            read_job& job = jobs[i];
            if (job.pack) job.io.pack = &job.packing;
            read_for_search(job.kind, job.path, index_texts, readings[i], job.io);
            if (!readings[i].ok) return;
            digests[2 * i] = rows_digest(readings[i], readings[i].rows.size());
            digests[2 * i + 1] = rows_digest(readings[i], static_cast<size_t>(std::max(0LL, jobs[i].start_row)));
        };
        native_outcome outcome = run_without_gil([&] {
            if (jobs.size() == 1)
                one(0);
            else
                run_batch(shared_pool(), jobs.size(), one);
        });
        if (!raise_outcome(outcome)) return nullptr;
        py_ref out(PyList_New(static_cast<Py_ssize_t>(jobs.size())));
        if (!out) return nullptr;
        for (size_t i = 0; i < jobs.size(); ++i) {
            search_reading& r = readings[i];
            PyObject* item;
            if (!r.ok) {
                item = new_str(r.error.message);
            } else {
                py_ref facts(facts_tuple(r.facts, r.rows.size(), digests[2 * i], digests[2 * i + 1]));
                py_ref rows(facts ? rows_list(r, jobs[i].first_id, jobs[i].start_row) : nullptr);
                if (!r.packed) {
                    item = rows ? PyTuple_Pack(2, facts.get(), rows.get()) : nullptr;
                } else {
                    py_ref packed(rows ? pack_tuple(r.pack) : nullptr);
                    item = packed ? PyTuple_Pack(3, facts.get(), rows.get(), packed.get()) : nullptr;
                }
            }
            r = search_reading();  // released as soon as it is converted
            if (!item) return nullptr;
            PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), item);
        }
        return out.release();
    });
}

PyObject* index_text_entry(PyObject*, PyObject* arg) {
    return python_barrier([&]() -> PyObject* {
        std::string text;
        if (!to_text(arg, text)) return nullptr;
        std::string out;
        if (!index_text(text, out)) Py_RETURN_NONE;
        return new_str(out);
    });
}

// ---- the archive: logs packed without their rows, and archived copies unpacked.

// pack(jobs, level): per job (path, from, prefix_digest), on the worker threads.
PyObject* pack_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return python_barrier([&]() -> PyObject* {
        static const char* keywords[] = {"jobs", "level", nullptr};
        PyObject* jobs_obj;
        int level = 3;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|i:pack", const_cast<char**>(keywords), &jobs_obj, &level))
            return nullptr;
        if (level < 0 || level > 22) {
            PyErr_SetString(PyExc_ValueError, "level is from 0 (no frame) to 22");
            return nullptr;
        }
        py_ref iter(PyObject_GetIter(jobs_obj));
        if (!iter) return nullptr;
        std::vector<std::string> paths;
        std::vector<pack_request> requests;
        while (py_ref item{PyIter_Next(iter.get())}) {
            if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 3) {
                PyErr_SetString(PyExc_TypeError, "a job is a tuple (path, from, prefix_digest)");
                return nullptr;
            }
            pack_request r;
            r.level = level;
            std::string path;
            if (!to_path(PyTuple_GetItem(item.get(), 0), path) || !to_u64(PyTuple_GetItem(item.get(), 1), r.from) ||
                !to_u64(PyTuple_GetItem(item.get(), 2), r.prefix_digest))
                return nullptr;
            paths.push_back(std::move(path));
            requests.push_back(r);
        }
        if (PyErr_Occurred()) return nullptr;
        std::vector<pack_outcome> outcomes(paths.size());
        std::vector<error_value> errors(paths.size());
        std::vector<char> ok(paths.size());
        auto one = [&](size_t i) {
            bool done = false;
            outcomes[i] = pack_file(paths[i], requests[i], errors[i], done);
            ok[i] = done;
        };
        native_outcome outcome = run_without_gil([&] {
            if (paths.size() == 1)
                one(0);
            else
                run_batch(shared_pool(), paths.size(), one);
        });
        if (!raise_outcome(outcome)) return nullptr;
        py_ref out(PyList_New(static_cast<Py_ssize_t>(paths.size())));
        if (!out) return nullptr;
        for (size_t i = 0; i < paths.size(); ++i) {
            PyObject* item = ok[i] ? pack_tuple(outcomes[i]) : new_str(errors[i].message);
            outcomes[i] = pack_outcome();
            if (!item) return nullptr;
            PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), item);
        }
        return out.release();
    });
}

// unpack(member, size): the archived copy's bytes.
PyObject* unpack_entry(PyObject*, PyObject* args) {
    return python_barrier([&]() -> PyObject* {
        PyObject *path_obj, *size_obj;
        if (!PyArg_ParseTuple(args, "OO:unpack", &path_obj, &size_obj)) return nullptr;
        std::string path;
        uint64_t size;
        if (!to_path(path_obj, path) || !to_u64(size_obj, size)) return nullptr;
        std::string bytes;
        error_value err;
        bool ok = false;
        native_outcome outcome = run_without_gil([&] { ok = unpack_member(path, size, bytes, err); });
        if (!raise_outcome(outcome)) return nullptr;
        if (!ok) {
            py_ref message(new_str(err.message));
            if (message) PyErr_SetObject(PyExc_OSError, message.get());
            return nullptr;
        }
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    });
}

// digest(data): XXH64 of bytes.
PyObject* digest_entry(PyObject*, PyObject* arg) {
    return python_barrier([&]() -> PyObject* {
        char* data;
        Py_ssize_t size;
        if (PyBytes_AsStringAndSize(arg, &data, &size) < 0) return nullptr;
        uint64_t d = 0;
        native_outcome outcome = run_without_gil([&] { d = xxh64({data, static_cast<size_t>(size)}); });
        if (!raise_outcome(outcome)) return nullptr;
        return PyLong_FromUnsignedLongLong(d);
    });
}

// ---- walk: the walk over the places where the logs are, compared with what the
// index knows (src/walk/).

struct walk_call {
    std::vector<walk_root> roots;
    std::vector<py_ref> agents;          // per root, handed back with its fresh files
    std::vector<py_ref> blobs;           // the known blobs (bytes), held while the walk reads them
    size_t threads = 0;                  // 0: every available processor
};

bool has_flag(PyObject* obj, unsigned long flag) { return (PyType_GetFlags(Py_TYPE(obj)) & flag) != 0; }

// A path as str, bytes or os.PathLike, to its bytes (str encoded as os.fsencode does).
bool to_fs_path(PyObject* obj, std::string& out) {
    py_ref path(PyOS_FSPath(obj));
    if (!path) return false;
    py_ref bytes;
    if (has_flag(path.get(), Py_TPFLAGS_UNICODE_SUBCLASS)) {
        bytes.reset(PyUnicode_EncodeFSDefault(path.get()));
        if (!bytes) return false;
    } else {
        bytes = std::move(path);
    }
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;  // also refuses a NUL inside
    if (size == 0) {
        PyErr_SetString(PyExc_ValueError, "a root's path is empty");
        return false;
    }
    out.assign(data, static_cast<size_t>(size));
    return true;
}

// `roots`: a sequence of (path, agent, pattern).
bool to_walk_roots(PyObject* obj, walk_call& call) {
    if (has_flag(obj, Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS) || !PySequence_Check(obj)) {
        set_conversion_error(obj, "Sequence");
        return false;
    }
    py_ref iter(PyObject_GetIter(obj));
    if (!iter) return false;
    while (py_ref item{PyIter_Next(iter.get())}) {
        if (!has_flag(item.get(), Py_TPFLAGS_TUPLE_SUBCLASS) || PyTuple_Size(item.get()) != 3) {
            PyErr_SetString(PyExc_TypeError, "a root is a tuple (path, agent, pattern)");
            return false;
        }
        walk_root root;
        if (!to_fs_path(PyTuple_GetItem(item.get(), 0), root.path)) return false;
        PyObject* agent = PyTuple_GetItem(item.get(), 1);
        if (!has_flag(agent, Py_TPFLAGS_UNICODE_SUBCLASS)) {
            set_conversion_error(agent, "str");
            return false;
        }
        PyObject* pattern = PyTuple_GetItem(item.get(), 2);
        long rule = PyLong_Check(pattern) && !PyBool_Check(pattern) ? PyLong_AsLong(pattern) : -1;
        if (rule == -1 && PyErr_Occurred()) return false;
        if (rule < 0 || rule >= name_rules) {
            PyErr_SetString(PyExc_ValueError, "a root's pattern is 0 (*.jsonl), 1 (rollout-*.jsonl), "
                                              "2 (session-*.jsonl) or 3 (events.jsonl)");
            return false;
        }
        root.rule = static_cast<name_rule>(rule);
        Py_INCREF(agent);
        call.agents.emplace_back(agent);
        call.roots.push_back(std::move(root));
    }
    return !PyErr_Occurred();
}

// `known`: a sequence of bytes (or None for a shard that knows nothing).
bool to_known_blobs(PyObject* obj, walk_call& call) {
    if (has_flag(obj, Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS) || !PySequence_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "known is a sequence of bytes, one per shard");
        return false;
    }
    py_ref iter(PyObject_GetIter(obj));
    if (!iter) return false;
    while (py_ref item{PyIter_Next(iter.get())}) {
        if (item.get() == Py_None) continue;
        if (!PyBytes_Check(item.get())) {
            set_conversion_error(item.get(), "bytes");
            return false;
        }
        call.blobs.push_back(std::move(item));
    }
    return !PyErr_Occurred();
}

// threads: None (every available processor) or an int >= 1.
bool to_walk_threads(PyObject* obj, size_t& out) {
    if (!obj || obj == Py_None) {
        out = 0;
        return true;
    }
    long long n = PyLong_Check(obj) && !PyBool_Check(obj) ? PyLong_AsLongLong(obj) : 0;
    if (n == -1 && PyErr_Occurred()) return false;
    if (n < 1) {
        PyErr_SetString(PyExc_ValueError, "threads is None or an int >= 1");
        return false;
    }
    out = static_cast<size_t>(n);
    return true;
}

PyObject* fs_str(std::string_view path) {
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

// (fresh, gone, problems, found)
PyObject* walk_outcome(const walk_call& call, const walk_result& r) {
    py_ref fresh(PyList_New(static_cast<Py_ssize_t>(r.fresh.size())));
    if (!fresh) return nullptr;
    for (size_t i = 0; i < r.fresh.size(); ++i) {
        const fresh_file& f = r.fresh[i];
        py_ref path(fs_str(f.path));
        PyObject* item = path ? Py_BuildValue("(OLLKO)", path.get(), static_cast<long long>(f.size),
                                              static_cast<long long>(f.mtime_ns),
                                              static_cast<unsigned long long>(f.inode), call.agents[f.root].get())
                              : nullptr;
        if (!item) return nullptr;
        PyList_SetItem(fresh.get(), static_cast<Py_ssize_t>(i), item);
    }
    py_ref gone(PyList_New(static_cast<Py_ssize_t>(r.gone.size())));
    if (!gone) return nullptr;
    for (size_t i = 0; i < r.gone.size(); ++i) {
        PyObject* path = fs_str(r.gone[i]);
        if (!path) return nullptr;
        PyList_SetItem(gone.get(), static_cast<Py_ssize_t>(i), path);
    }
    py_ref problems(PyList_New(static_cast<Py_ssize_t>(r.problems.size())));
    if (!problems) return nullptr;
    for (size_t i = 0; i < r.problems.size(); ++i) {
        py_ref path(fs_str(r.problems[i].path));
        py_ref message(path ? PyUnicode_DecodeLocale(r.problems[i].message.c_str(), "surrogateescape") : nullptr);
        PyObject* item = message ? PyTuple_Pack(2, path.get(), message.get()) : nullptr;
        if (!item) return nullptr;
        PyList_SetItem(problems.get(), static_cast<Py_ssize_t>(i), item);
    }
    return Py_BuildValue("(OOOn)", fresh.get(), gone.get(), problems.get(), static_cast<Py_ssize_t>(r.found));
}

PyObject* walk_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return python_barrier([&]() -> PyObject* {
        static const char* keywords[] = {"roots", "known", "threads", nullptr};
        PyObject *roots_obj, *known_obj = nullptr, *threads_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$O:walk", const_cast<char**>(keywords), &roots_obj,
                                         &known_obj, &threads_obj))
            return nullptr;
        walk_call call;
        if (!to_walk_roots(roots_obj, call) || (known_obj && !to_known_blobs(known_obj, call)) ||
            !to_walk_threads(threads_obj, call.threads))
            return nullptr;
        std::vector<std::string_view> blobs;
        for (const py_ref& b : call.blobs)
            blobs.emplace_back(PyBytes_AsString(b.get()), static_cast<size_t>(PyBytes_Size(b.get())));
        known_files known;
        walk_result result;
        std::string malformed;
        native_outcome outcome = run_without_gil([&] {
            for (std::string_view blob : blobs)
                if (!add_known(known, blob, malformed)) return;
            index_known(known);
            lanes l;
            l.threads = call.threads ? call.threads : available_processors();
            if (l.threads > 1) l.workers = &shared_pool();
            walk(call.roots, known, l, result);
        });
        if (!raise_outcome(outcome)) return nullptr;
        if (!malformed.empty()) {
            PyErr_Format(PyExc_ValueError, "known: %s", malformed.c_str());
            return nullptr;
        }
        return walk_outcome(call, result);
    });
}

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef methods[] = {
    {"read", as_cfunction(read), METH_VARARGS | METH_KEYWORDS,
     "read(jobs, index_texts=False)\n--\n\n"
     "The search reading of many logs on the worker threads. `jobs` = [(kind, path, first_id, start_row[,\n"
     "archive])], the path str or bytes; archive None, (\"pack\", (from, prefix_digest, level)) to pack the\n"
     "log as it is read (the result gets a third item, as pack() gives it), or (\"member\", member, size) to\n"
     "read an archived copy instead (the third item then holds its digest). Per job: the error message\n"
     "(str), or (facts, rows) with facts =\n"
     "(session_id, cwd, agent_id, custom_title, ai_title, first_prompt, first_ts, last_ts, nrows,\n"
     "((role, count), ...), digest of all rows, digest of the rows before start_row) and rows = [(id, role, kind, flags, timestamp, tool, text, index_text)] for\n"
     "the rows from start_row on, id = first_id + the row's place, index_text None unless asked for\n"
     "and different from text."},
    {"pack", as_cfunction(pack_entry), METH_VARARGS | METH_KEYWORDS,
     "pack(jobs, level=3)\n--\n\n"
     "Packs logs for the archive without reading their rows, on the worker threads. `jobs` = [(path,\n"
     "from, prefix_digest)]: bytes archived already and their XXH64. Per job the error message (str), or\n"
     "(bytes, digest, prefix_same, frame, error): the bytes read and their XXH64, whether the first\n"
     "`from` are the archived ones, a zstd frame of the rest (None when there is none or the start\n"
     "changed; level 0: never), and why no frame could be made (None)."},
    {"unpack", as_cfunction(unpack_entry), METH_VARARGS,
     "unpack(member, size)\n--\n\n"
     "The bytes of an archived copy (zstd frames that unpack to `size` bytes). OSError if it cannot be\n"
     "read or is damaged."},
    {"digest", as_cfunction(digest_entry), METH_O,
     "digest(data)\n--\n\n"
     "XXH64 of bytes (seed 0), the digest the archive keeps of a log."},
    {"index_text", as_cfunction(index_text_entry), METH_O,
     "index_text(text)\n--\n\n"
     "What the full-text index gets for `text`, or None when that is the text itself."},
    {"walk", as_cfunction(walk_entry), METH_VARARGS | METH_KEYWORDS,
     "walk(roots, known=(), *, threads=None)\n--\n\n"
     "The session logs below `roots` = [(path, agent, pattern)], compared with `known` (bytes per index\n"
     "shard: records path NUL b\"size mtime_ns inode\" NUL). Returns (fresh, gone, problems, found):\n"
     "fresh = [(path, size, mtime_ns, inode, agent)] of the files new or changed, in walk order; gone =\n"
     "[path] of known files that no longer exist; problems = [(path, message)]; found = the files in\n"
     "scope. pattern 0 takes *.jsonl, 1 rollout-*.jsonl, 2 session-*.jsonl, 3 events.jsonl. threads=1 walks\n"
     "on the calling thread."},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_search",  // name
    "",         // doc
    0,          // per-module state size
    nullptr,    // methods: attached by the module body
    nullptr, nullptr, nullptr, nullptr,
};

module_once search_module;

int module_body(PyObject* module) {
    py_ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef& def : methods) {
        py_ref function(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function || PyObject_SetAttrString(module, def.ml_name, function.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__search(void) {
    return init_module_once(search_module, module_def, "sessionrows._search", module_body);
}
