#include "extract_many.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "scan/scan.h"
#include "shared_pool.h"

namespace sr {

namespace {

struct job {
    std::string kind;
    std::string path;
};

// Room reserved up front is capped: a sequence's length is only a hint, and a
// __len__ that reports a huge number must not make the call fail.
constexpr Py_ssize_t max_reserved_jobs = 4096;

struct py_decref {
    void operator()(PyObject* obj) const { Py_DecRef(obj); }
};
using py_ref = std::unique_ptr<PyObject, py_decref>;

bool has_type_flag(PyObject* obj, unsigned long flag) { return (PyType_GetFlags(Py_TYPE(obj)) & flag) != 0; }

// One item of `jobs`: a tuple of exactly two str, the kind and the path.
bool to_job(PyObject* item, job& out) {
    if (!has_type_flag(item, Py_TPFLAGS_TUPLE_SUBCLASS)) {
        set_conversion_error(item, "PyTuple");
        return false;
    }
    Py_ssize_t size = PyTuple_Size(item);
    if (size < 0) return false;
    if (size != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", size);
        return false;
    }
    return to_text(PyTuple_GetItem(item, 0), out.kind) && to_text(PyTuple_GetItem(item, 1), out.path);
}

// Any sequence but a str, read by iteration; the first failure ends it with a
// Python error set.
bool to_jobs(PyObject* obj, std::vector<job>& jobs) {
    if (has_type_flag(obj, Py_TPFLAGS_UNICODE_SUBCLASS)) {
        PyErr_SetString(PyExc_TypeError, "a str cannot be taken as a sequence of (kind, path) jobs");
        return false;
    }
    if (!PySequence_Check(obj)) {
        set_conversion_error(obj, "Sequence");
        return false;
    }
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        hint = 0;
    }
    jobs.reserve(static_cast<size_t>(std::min(hint, max_reserved_jobs)));
    py_ref iter(PyObject_GetIter(obj));
    if (!iter) return false;
    while (py_ref item{PyIter_Next(iter.get())}) {
        jobs.emplace_back();
        if (!to_job(item.get(), jobs.back())) return false;
    }
    return !PyErr_Occurred();
}

// The outer list; each slot's rows are released as they are converted.
PyObject* results_to_list(std::vector<row_list>& slots) {
    py_ref list(PyList_New(static_cast<Py_ssize_t>(slots.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < slots.size(); ++i) {
        PyObject* rows = rows_to_list(slots[i]);
        if (!rows) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), rows);
    }
    return list.release();
}

}  // namespace

PyObject* extract_many(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* values[2];
    if (!bind_args(params{"extract_many", "jobs", "include_tools"}, args, kwargs, values)) return nullptr;
    std::vector<job> jobs;
    if (!to_jobs(values[0], jobs)) {
        name_argument_error("jobs");
        return nullptr;
    }
    bool include_tools;
    if (!include_tools_arg(values[1], include_tools)) return nullptr;

    // A failed scan leaves its slot empty; only a fault of the machinery itself
    // (no memory, no worker thread) fails the call, once every job has ended.
    std::vector<row_list> slots;
    native_outcome outcome = run_without_gil([&] {
        pool& workers = shared_pool();
        slots.resize(jobs.size());
        run_batch(workers, jobs.size(), [&](size_t i) {
            scan_result result = run(jobs[i].kind, jobs[i].path, include_tools);
            if (result.ok) slots[i] = std::move(result.rows);
        });
    });
    std::vector<job>().swap(jobs);
    if (!raise_outcome(outcome)) return nullptr;
    return results_to_list(slots);
}

}  // namespace sr
