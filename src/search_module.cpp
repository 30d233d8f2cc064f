// The module `_search`: the search reading of many session logs (every row in full,
// with its kind, and the facts that name each session), for the index and the
// commands of the package. Private: its face may change with the package.
#include <algorithm>
#include <string>
#include <vector>

#include "batch/shared_pool.h"
#include "convert.h"
#include "search/index_text.h"
#include "search/reading.h"
#include "walk/walk.h"

namespace {

using namespace sr;

struct read_job {
    log_kind kind = log_kind::claude;
    std::string path;
    long long first_id = 0;   // the id of row 0; a row's id is first_id + its place
    long long start_row = 0;  // rows before this one are not handed back
};

bool to_long_long(PyObject* obj, long long& out) {
    if (!PyLong_Check(obj)) {
        set_conversion_error(obj, "int");
        return false;
    }
    out = PyLong_AsLongLong(obj);
    return !(out == -1 && PyErr_Occurred());
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
        if (!(PyType_GetFlags(Py_TYPE(item.get())) & Py_TPFLAGS_TUPLE_SUBCLASS) || PyTuple_Size(item.get()) != 4) {
            PyErr_SetString(PyExc_TypeError, "a job is a tuple (kind, path, first_id, start_row)");
            return false;
        }
        read_job j;
        std::string kind;
        if (!to_text(PyTuple_GetItem(item.get(), 0), kind) || !to_path(PyTuple_GetItem(item.get(), 1), j.path) ||
            !to_long_long(PyTuple_GetItem(item.get(), 2), j.first_id) ||
            !to_long_long(PyTuple_GetItem(item.get(), 3), j.start_row))
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
            read_for_search(jobs[i].kind, jobs[i].path, index_texts, readings[i]);
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
                item = rows ? PyTuple_Pack(2, facts.get(), rows.get()) : nullptr;
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
     "The search reading of many logs on the worker threads. `jobs` = [(kind, path, first_id, start_row)],\n"
     "the path str or bytes. Per job: the error message (str), or (facts, rows) with facts =\n"
     "(session_id, cwd, agent_id, custom_title, ai_title, first_prompt, first_ts, last_ts, nrows,\n"
     "((role, count), ...), digest of all rows, digest of the rows before start_row) and rows = [(id, role, kind, flags, timestamp, tool, text, index_text)] for\n"
     "the rows from start_row on, id = first_id + the row's place, index_text None unless asked for\n"
     "and different from text."},
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
