// The Python side of a call: argument binding and conversion, the row lists handed
// back, and the barrier that keeps C++ exceptions out of the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "batch/job.h"
#include "scan/row.h"

namespace sr {

// A module function's two parameters; the first is required, the second defaults
// to False. Both may be given by position or by name.
struct params {
    const char* function;  // e.g. "extract_claude"
    const char* first;     // "path" or "jobs"
    const char* second;    // "include_tools"
};

// Binds a call's positional tuple and keyword dict. On success values[0..1] hold
// borrowed references (values[1] is NULL when not given); on failure a TypeError
// is set and false returned.
bool bind_args(const params& p, PyObject* args, PyObject* kwargs, PyObject* values[2]);

// An owned reference, released with Py_DecRef.
struct py_decref {
    void operator()(PyObject* obj) const { Py_DecRef(obj); }
};
using py_ref = std::unique_ptr<PyObject, py_decref>;

// A str (or subclass) to an owned UTF-8 text. Sets a Python error on failure.
bool to_text(PyObject* obj, std::string& out);

// A path given as str (taken as UTF-8) or as bytes (taken as they are, for names
// that are not UTF-8). Sets a Python error on failure.
bool to_path(PyObject* obj, std::string& out);

// A new str of UTF-8 bytes.
PyObject* new_str(std::string_view s);

// Rows repeat a handful of short texts ("user", "assistant", "tool", ...): the
// last few short texts seen are kept as str objects and handed out again.
struct str_cache {
    struct entry {
        char bytes[32];
        size_t len = 0;
        PyObject* str = nullptr;
    };
    entry entries[4];
    unsigned next = 0;

    str_cache() = default;
    str_cache(const str_cache&) = delete;
    str_cache& operator=(const str_cache&) = delete;
    ~str_cache();

    // A new reference to a str of s.
    PyObject* get(std::string_view s);
};

// A bool (or a numpy bool) to a flag. Sets a Python error on failure.
bool to_flag(PyObject* obj, bool& out);

// The include_tools argument: false when it was not given (value is NULL). Raises
// the named argument error on failure.
bool include_tools_arg(PyObject* value, bool& out);

// How a job's kind text is read: by `_core`'s rule ("codex" exactly selects the
// Codex rules, every other text the Claude rules), or as the name of one of the
// kinds, any other text a ValueError that names them.
enum class kind_rule { core, named };

// The `jobs` argument of the batch calls: any sequence but a str, read by
// iteration, each item a tuple of exactly two str (kind, path). The first failure
// ends it with a Python error set (not yet named after the argument).
bool to_jobs(PyObject* obj, std::vector<job>& jobs, kind_rule rule = kind_rule::core);

// Re-raises a pending TypeError as "argument '<name>': <message>" (keeping its
// cause); any other pending exception is left as it is.
void name_argument_error(const char* name);

// "'<type qualname>' object cannot be converted to '<target>'" as a TypeError.
void set_conversion_error(PyObject* obj, const char* target);

// A new list of 4-tuples of str; the rows are released chunk by chunk as they are
// converted, so the native rows and their Python copy are never both held whole.
PyObject* rows_to_list(row_list& rows);

// What happened to native work run without the interpreter lock.
struct native_outcome {
    enum { ok, no_memory, fault } status = ok;
    std::string what;
};

// Runs f() with the interpreter lock released; a C++ exception is caught there and
// reported in the outcome (raise it with raise_outcome once the lock is back).
template <class F>
native_outcome run_without_gil(F&& f) noexcept {
    native_outcome outcome;
    PyThreadState* state = PyEval_SaveThread();
    try {
        f();
    } catch (const std::bad_alloc&) {
        outcome.status = native_outcome::no_memory;
    } catch (const std::exception& e) {
        outcome.status = native_outcome::fault;
        try {
            outcome.what = e.what();
        } catch (...) {
        }
    } catch (...) {
        outcome.status = native_outcome::fault;
    }
    PyEval_RestoreThread(state);
    return outcome;
}

// Sets the Python exception for a failed outcome; returns false if it failed.
bool raise_outcome(const native_outcome& outcome);

// Single-phase initialisation as both modules do it: the module is made once per
// process by `body` and held for good, and only for the interpreter that first
// imports it (a subinterpreter gets ImportError naming `qualified_name`).
struct module_once {
    PyObject* module = nullptr;
    std::atomic<int64_t> interpreter{-1};
};
PyObject* init_module_once(module_once& once, PyModuleDef& def, const char* qualified_name,
                           int (*body)(PyObject* module));

// The barrier around every function called from Python: a C++ exception becomes a
// Python exception (MemoryError for std::bad_alloc) and never unwinds into CPython.
template <class F>
PyObject* python_barrier(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "sessionrows internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "sessionrows internal error");
    }
    return nullptr;
}

}  // namespace sr
