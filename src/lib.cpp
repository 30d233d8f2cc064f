// The module `_core`: its initialisation and the single-file extraction calls.
#include <string>

#include "batch/extract_many.h"
#include "convert.h"
#include "scan/scan.h"

namespace {

using namespace sr;

PyObject* extract_one(const char* function, const char* kind, PyObject* args, PyObject* kwargs) {
    return python_barrier([&]() -> PyObject* {
        PyObject* values[2];
        if (!bind_args(params{function, "path", "include_tools"}, args, kwargs, values)) return nullptr;
        std::string path;
        if (!to_text(values[0], path)) {
            name_argument_error("path");
            return nullptr;
        }
        bool include_tools;
        if (!include_tools_arg(values[1], include_tools)) return nullptr;
        scan_result result;
        native_outcome outcome = run_without_gil([&] { result = run(kind, path, include_tools); });
        if (!raise_outcome(outcome)) return nullptr;
        if (!result.ok) {
            PyObject* message = PyUnicode_FromStringAndSize(result.error.message.data(),
                                                            static_cast<Py_ssize_t>(result.error.message.size()));
            if (message) {
                PyErr_SetObject(PyExc_OSError, message);
                Py_DECREF(message);
            }
            return nullptr;
        }
        return rows_to_list(result.rows);
    });
}

PyObject* extract_codex(PyObject*, PyObject* args, PyObject* kwargs) {
    return extract_one("extract_codex", "codex", args, kwargs);
}

PyObject* extract_claude(PyObject*, PyObject* args, PyObject* kwargs) {
    return extract_one("extract_claude", "claude", args, kwargs);
}

PyObject* extract_many_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_barrier([&] { return sr::extract_many(self, args, kwargs); });
}

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef methods[] = {
    {"extract_codex", as_cfunction(extract_codex), METH_VARARGS | METH_KEYWORDS,
     "extract_codex(path, include_tools=False)\n--\n\n"},
    {"extract_claude", as_cfunction(extract_claude), METH_VARARGS | METH_KEYWORDS,
     "extract_claude(path, include_tools=False)\n--\n\n"},
    {"extract_many", as_cfunction(extract_many_entry), METH_VARARGS | METH_KEYWORDS,
     "extract_many(jobs, include_tools=False)\n--\n\n"
     "Parse many files in parallel (all cores). `jobs` = [(kind, path)]; failed files \xe2\x86\x92 []."},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",   // name
    "",        // doc
    0,         // per-module state size
    nullptr,   // methods: attached by the module body
    nullptr, nullptr, nullptr, nullptr,
};

module_once core_module;

// Appends `name` to the module's __all__ (made on first use) and sets the attribute.
int add_export(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    if (!PyList_Check(all)) {
        Py_DECREF(all);
        PyErr_SetString(PyExc_TypeError, "__all__ is not a list");
        return -1;
    }
    int rc = PyList_Append(all, name);
    Py_DECREF(all);
    if (rc < 0) return -1;
    return PyObject_SetAttr(module, name, value);
}

int module_body(PyObject* module) {
    PyObject* version_name = PyUnicode_FromString("__version__");
    PyObject* version = PyUnicode_FromStringAndSize("0.9.1", 5);
    int rc = version_name && version ? add_export(module, version_name, version) : -1;
    Py_XDECREF(version_name);
    Py_XDECREF(version);
    if (rc < 0) return -1;
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    for (PyMethodDef& def : methods) {
        PyObject* function = PyCMethod_New(&def, module, module_name, nullptr);
        if (!function) {
            Py_DECREF(module_name);
            return -1;
        }
        PyObject* name = PyObject_GetAttrString(function, "__name__");
        rc = name ? add_export(module, name, function) : -1;
        Py_XDECREF(name);
        Py_DECREF(function);
        if (rc < 0) {
            Py_DECREF(module_name);
            return -1;
        }
    }
    Py_DECREF(module_name);
    return 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__core(void) {
    return init_module_once(core_module, module_def, "sessionrows._core", module_body);
}
