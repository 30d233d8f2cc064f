#include "convert.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

namespace sr {

namespace {

// A new reference to the type's __qualname__ as a str, or a stand-in text.
PyObject* type_qualname(PyObject* obj) {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
    if (name && PyUnicode_Check(name)) return name;
    Py_XDECREF(name);
    PyErr_Clear();
    return PyUnicode_FromString("<failed to extract type name>");
}

// True if the type attribute `attr` is a str equal to one of the given texts.
bool type_attr_is(PyObject* type, const char* attr, const char* a, const char* b = nullptr) {
    PyObject* v = PyObject_GetAttrString(type, attr);
    if (!v) {
        PyErr_Clear();
        return false;
    }
    bool match = PyUnicode_Check(v) && (PyUnicode_CompareWithASCIIString(v, a) == 0 ||
                                        (b && PyUnicode_CompareWithASCIIString(v, b) == 0));
    if (PyErr_Occurred()) PyErr_Clear();
    Py_DECREF(v);
    return match;
}

}  // namespace

void set_conversion_error(PyObject* obj, const char* target) {
    PyObject* name = type_qualname(obj);
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, target);
    Py_DECREF(name);
}

bool bind_args(const params& p, PyObject* args, PyObject* kwargs, PyObject* values[2]) {
    values[0] = values[1] = nullptr;
    Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) return false;
    if (given > 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes from 1 to 2 positional arguments but %zd were given",
                     p.function, given);
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) values[i] = PyTuple_GetItem(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        const char* names[2] = {p.first, p.second};
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            int index = -1;
            for (int i = 0; i < 2 && index < 0 && PyUnicode_Check(key); ++i)
                if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) index = i;
            if (PyErr_Occurred()) return false;
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", p.function, key);
                return false;
            }
            if (index < given) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", p.function,
                             names[index]);
                return false;
            }
            values[index] = value;
        }
    }
    if (!values[0]) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", p.function, p.first);
        return false;
    }
    return true;
}

bool to_text(PyObject* obj, std::string& out) {
    if (!(PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
        set_conversion_error(obj, "PyString");
        return false;
    }
    PyObject* bytes = PyUnicode_AsUTF8String(obj);
    if (!bytes) return false;
    const char* data = PyBytes_AsString(bytes);
    Py_ssize_t size = PyBytes_Size(bytes);
    if (!data || size < 0) {
        Py_DECREF(bytes);
        return false;
    }
    try {
        out.assign(data, static_cast<size_t>(size));
    } catch (...) {
        Py_DECREF(bytes);
        throw;
    }
    Py_DECREF(bytes);
    return true;
}

bool to_flag(PyObject* obj, bool& out) {
    if (obj == Py_True || obj == Py_False) {
        out = obj == Py_True;
        return true;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    if (type_attr_is(type, "__module__", "numpy") && type_attr_is(type, "__name__", "bool_", "bool")) {
        PyObject* method = PyObject_GetAttrString(type, "__bool__");
        if (!method) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion", type);
            return false;
        }
        PyObject* call_args = PyTuple_New(1);
        if (!call_args) {
            Py_DECREF(method);
            return false;
        }
        Py_INCREF(obj);
        PyTuple_SetItem(call_args, 0, obj);
        PyObject* result = PyObject_CallObject(method, call_args);
        Py_DECREF(call_args);
        Py_DECREF(method);
        if (!result) return false;
        bool ok = result == Py_True || result == Py_False;
        if (ok)
            out = result == Py_True;
        else
            set_conversion_error(result, "PyBool");
        Py_DECREF(result);
        return ok;
    }
    set_conversion_error(obj, "PyBool");
    return false;
}

bool include_tools_arg(PyObject* value, bool& out) {
    out = false;
    if (value && !to_flag(value, out)) {
        name_argument_error("include_tools");
        return false;
    }
    return true;
}

namespace {

// Room reserved up front is capped: a sequence's length is only a hint, and a
// __len__ that reports a huge number must not make the call fail.
constexpr Py_ssize_t max_reserved_jobs = 4096;

bool has_type_flag(PyObject* obj, unsigned long flag) { return (PyType_GetFlags(Py_TYPE(obj)) & flag) != 0; }

// One item of `jobs`: a tuple of exactly two str, the kind and the path.
bool to_job(PyObject* item, job& out, kind_rule rule) {
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
    std::string kind;
    if (!to_text(PyTuple_GetItem(item, 0), kind) || !to_text(PyTuple_GetItem(item, 1), out.path)) return false;
    if (rule == kind_rule::core) {
        out.kind = core_kind(kind);
    } else if (!named_kind(kind, out.kind)) {
        PyErr_Format(PyExc_ValueError, "unknown kind %R (the kinds are %s)", PyTuple_GetItem(item, 0),
                     kind_list().c_str());
        return false;
    }
    return true;
}

}  // namespace

bool to_jobs(PyObject* obj, std::vector<job>& jobs, kind_rule rule) {
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
        if (!to_job(item.get(), jobs.back(), rule)) return false;
    }
    return !PyErr_Occurred();
}

void name_argument_error(const char* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (!value || reinterpret_cast<PyObject*>(Py_TYPE(value)) != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyObject* message = PyObject_Str(value);
    PyObject* text = message ? PyUnicode_FromFormat("argument '%s': %U", name, message) : nullptr;
    PyObject* renamed = text ? PyObject_CallFunctionObjArgs(PyExc_TypeError, text, nullptr) : nullptr;
    Py_XDECREF(text);
    Py_XDECREF(message);
    if (!renamed) {  // could not build the new error: keep the original
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyException_SetCause(renamed, PyException_GetCause(value));  // steals the new reference
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_SetObject(PyExc_TypeError, renamed);
    Py_DECREF(renamed);
}

PyObject* new_str(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.empty() ? "" : s.data(), static_cast<Py_ssize_t>(s.size()));
}

str_cache::~str_cache() {
    for (entry& e : entries) Py_XDECREF(e.str);
}

PyObject* str_cache::get(std::string_view s) {
    if (s.size() > sizeof(entry::bytes)) return new_str(s);
    for (entry& e : entries)
        if (e.str && e.len == s.size() && (s.empty() || std::memcmp(e.bytes, s.data(), s.size()) == 0)) {
            Py_INCREF(e.str);
            return e.str;
        }
    PyObject* str = new_str(s);
    if (!str) return nullptr;
    entry& e = entries[next++ % 4];
    Py_XDECREF(e.str);
    if (!s.empty()) std::memcpy(e.bytes, s.data(), s.size());
    e.len = s.size();
    e.str = str;
    Py_INCREF(str);
    return str;
}

bool to_path(PyObject* obj, std::string& out) {
    if (!(PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_BYTES_SUBCLASS)) return to_text(obj, out);
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
    out.assign(data, static_cast<size_t>(size));
    return true;
}

PyObject* rows_to_list(row_list& rows) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(size(rows)));
    if (!list) return nullptr;
    str_cache roles, sources;
    Py_ssize_t index = 0;
    bool ok = drain_rows(rows, [&](row_view r) {
        PyObject* items[4] = {roles.get(r.role), new_str(r.text), new_str(r.timestamp), sources.get(r.source)};
        PyObject* tuple = items[0] && items[1] && items[2] && items[3] ? PyTuple_New(4) : nullptr;
        if (!tuple) {
            for (PyObject* item : items) Py_XDECREF(item);
            return false;
        }
        for (int f = 0; f < 4; ++f) PyTuple_SetItem(tuple, f, items[f]);
        PyList_SetItem(list, index++, tuple);
        return true;
    });
    if (!ok) {
        Py_DECREF(list);
        return nullptr;
    }
    return list;
}

PyObject* init_module_once(module_once& once, PyModuleDef& def, const char* qualified_name,
                           int (*body)(PyObject* module)) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "interpreter ID not available");
        return nullptr;
    }
    int64_t expected = -1;
    if (!once.interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_Format(PyExc_ImportError,
                     "%s serves only the interpreter that first imported it; it cannot be loaded in a subinterpreter",
                     qualified_name);
        return nullptr;
    }
    if (once.module) {
        Py_INCREF(once.module);
        return once.module;
    }
    PyObject* module = PyModule_Create2(&def, 3);
    if (!module) return nullptr;
    if (body(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    once.module = module;
    Py_INCREF(module);
    return module;
}

bool raise_outcome(const native_outcome& outcome) {
    switch (outcome.status) {
        case native_outcome::ok: return true;
        case native_outcome::no_memory: PyErr_NoMemory(); return false;
        case native_outcome::fault:
            PyErr_Format(PyExc_RuntimeError, "sessionrows internal error: %s",
                         outcome.what.empty() ? "unknown" : outcome.what.c_str());
            return false;
    }
    return false;
}

}  // namespace sr
