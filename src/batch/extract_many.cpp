#include "extract_many.h"

#include <memory>
#include <string>
#include <vector>

#include "scan/scan.h"
#include "shared_pool.h"

namespace sr {

namespace {

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
