// The module `_arrow`: read_arrow() and the RowStream it returns, which hands its
// rows to pyarrow, polars, DuckDB and others through Arrow's PyCapsule interface
// (__arrow_c_stream__). The columns are built in src/arrow/, without Python.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "arrow/export.h"
#include "arrow/row_stream.h"
#include "batch/shared_pool.h"
#include "convert.h"

namespace {

using namespace sr;

// ---- RowStream objects

struct stream_object {
    PyObject_HEAD
    std::shared_ptr<row_stream>* state;  // owned; null only while being made
    bool include_tools;
};

PyTypeObject* stream_type = nullptr;  // made once, held for good

row_stream& state_of(PyObject* self) { return **reinterpret_cast<stream_object*>(self)->state; }

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<stream_object*>(self)->state;
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);
}

PyObject* stream_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "RowStream objects are made by sessionrows.read_arrow()");
    return nullptr;
}

// A new RowStream that owns `state`.
PyObject* make_stream_object(std::shared_ptr<row_stream> state, bool include_tools) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(stream_type, Py_tp_alloc));
    PyObject* obj = alloc(stream_type, 0);
    if (!obj) return nullptr;
    auto* s = reinterpret_cast<stream_object*>(obj);
    try {
        s->state = new std::shared_ptr<row_stream>(std::move(state));
    } catch (...) {
        Py_DECREF(obj);
        throw;
    }
    s->include_tools = include_tools;
    return obj;
}

// Capsule destructors, as the PyCapsule interface asks: release what the consumer
// has not moved out (release is then null), then free the struct itself.
void release_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (!stream) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    if (stream->release) stream->release(stream);
    delete stream;
}

void release_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (!schema) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    if (schema->release) schema->release(schema);
    delete schema;
}

const char* const consumed =
    "this sessionrows row stream has already been consumed; call read_arrow() again for a new one";

PyObject* stream_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_barrier([&]() -> PyObject* {
        static const char* names[] = {"requested_schema", nullptr};
        PyObject* requested = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char**>(names),
                                         &requested))
            return nullptr;
        // The schema is fixed; a requested schema is left to the consumer to cast to,
        // as the interface allows.
        if (status_of(state_of(self)).phase != stream_phase::unread) {
            PyErr_SetString(PyExc_ValueError, consumed);
            return nullptr;
        }
        auto stream = std::make_unique<ArrowArrayStream>();
        export_stream(*reinterpret_cast<stream_object*>(self)->state, stream.get());
        PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", release_stream_capsule);
        if (!capsule) {
            stream->release(stream.get());
            return nullptr;
        }
        stream.release();
        return capsule;
    });
}

PyObject* stream_arrow_c_schema(PyObject*, PyObject*) {
    return python_barrier([&]() -> PyObject* {
        auto schema = std::make_unique<ArrowSchema>();
        export_schema(schema.get());
        PyObject* capsule = PyCapsule_New(schema.get(), "arrow_schema", release_schema_capsule);
        if (!capsule) {
            schema->release(schema.get());
            return nullptr;
        }
        schema.release();
        return capsule;
    });
}

PyObject* stream_failures(PyObject* self, void*) {
    return python_barrier([&]() -> PyObject* {
        stream_status st = status_of(state_of(self));
        py_ref dict(PyDict_New());
        if (!dict) return nullptr;
        for (const auto& f : st.failures) {
            py_ref key(PyLong_FromSize_t(f.first));
            py_ref message(PyUnicode_FromStringAndSize(f.second.data(), static_cast<Py_ssize_t>(f.second.size())));
            if (!key || !message || PyDict_SetItem(dict.get(), key.get(), message.get()) < 0) return nullptr;
        }
        return dict.release();
    });
}

PyObject* stream_repr(PyObject* self) {
    return python_barrier([&]() -> PyObject* {
        auto* s = reinterpret_cast<stream_object*>(self);
        stream_status st = status_of(state_of(self));
        const char* phase = "unread";
        switch (st.phase) {
            case stream_phase::unread: phase = "unread"; break;
            case stream_phase::reading: phase = "reading"; break;
            case stream_phase::consumed: phase = "consumed"; break;
            case stream_phase::released: phase = "released before its end"; break;
            case stream_phase::failed: phase = "failed"; break;
        }
        std::string text = "<sessionrows.RowStream of " + std::to_string(st.jobs) + " jobs, include_tools=" +
                           (s->include_tools ? "True" : "False") + ", threads=" + std::to_string(st.threads) +
                           ": " + phase;
        if (st.phase != stream_phase::unread)
            text += ", " + std::to_string(st.jobs_done) + " jobs read, " + std::to_string(st.batches) +
                    " batches, " + std::to_string(st.rows) + " rows, " + std::to_string(st.failures.size()) +
                    " failed jobs";
        text += ">";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef stream_methods[] = {
    {"__arrow_c_stream__", as_cfunction(stream_arrow_c_stream), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__(requested_schema=None)\n--\n\n"
     "A PyCapsule of an ArrowArrayStream of the rows. A stream can be consumed once."},
    {"__arrow_c_schema__", as_cfunction(stream_arrow_c_schema), METH_NOARGS,
     "__arrow_c_schema__()\n--\n\nA PyCapsule of the ArrowSchema of the rows."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"failures", stream_failures, nullptr,
     "{job index: message} for the jobs read so far whose file could not be read.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_repr, reinterpret_cast<void*>(stream_repr)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {Py_tp_doc, const_cast<char*>(
                    "The rows of read_arrow(): an Arrow stream of record batches with the columns job (int32), "
                    "role, text, timestamp and source (utf8), in job order.")},
    {0, nullptr},
};

PyType_Spec stream_type_def = {
    "sessionrows._arrow.RowStream",
    static_cast<int>(sizeof(stream_object)),
    0,
    Py_TPFLAGS_DEFAULT,
    stream_slots,
};

// ---- read_arrow

// threads: None (every available processor) or an int >= 1.
bool threads_arg(PyObject* value, size_t& out) {
    if (!value || value == Py_None) {
        out = available_processors();
        return true;
    }
    if (PyBool_Check(value) || !PyIndex_Check(value)) {
        py_ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
        if (!name) return false;
        PyErr_Format(PyExc_TypeError, "argument 'threads': expected None or an int >= 1, got '%S'", name.get());
        return false;
    }
    py_ref number(PyNumber_Index(value));
    if (!number) return false;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) return false;
    if (overflow > 0) {
        out = SIZE_MAX;  // as many as there are processors
        return true;
    }
    if (overflow < 0 || n < 1) {
        PyErr_Format(PyExc_ValueError, "argument 'threads': expected None or an int >= 1, got %S", number.get());
        return false;
    }
    out = static_cast<size_t>(n);
    return true;
}

// The jobs argument, named in its errors, and no more jobs than the int32 job
// column can number.
bool jobs_arg(PyObject* value, std::vector<job>& jobs) {
    if (!to_jobs(value, jobs, kind_rule::named)) {
        name_argument_error("jobs");
        return false;
    }
    if (jobs.size() > static_cast<size_t>(INT32_MAX) + 1) {
        PyErr_SetString(PyExc_ValueError, "argument 'jobs': more jobs than an int32 job column can number");
        return false;
    }
    return true;
}

PyObject* start_stream(std::vector<job>&& jobs, const stream_settings& settings) {
    return make_stream_object(make_row_stream(std::move(jobs), settings), settings.include_tools);
}

PyObject* read_arrow(PyObject*, PyObject* args, PyObject* kwargs) {
    return python_barrier([&]() -> PyObject* {
        // `threads` is keyword-only: taken out before the two others are bound.
        PyObject* threads = nullptr;
        py_ref others;
        if (kwargs) {
            py_ref key(PyUnicode_FromString("threads"));
            if (!key) return nullptr;
            int has = PyDict_Contains(kwargs, key.get());
            if (has < 0) return nullptr;
            if (has) {
                threads = PyDict_GetItem(kwargs, key.get());  // borrowed, kwargs outlives the call
                others.reset(PyDict_Copy(kwargs));
                if (!others || PyDict_DelItem(others.get(), key.get()) < 0) return nullptr;
                kwargs = others.get();
            }
        }
        PyObject* values[2];
        if (!bind_args(params{"read_arrow", "jobs", "include_tools"}, args, kwargs, values)) return nullptr;
        std::vector<job> jobs;
        if (!jobs_arg(values[0], jobs)) return nullptr;
        stream_settings settings;
        if (!include_tools_arg(values[1], settings.include_tools)) return nullptr;
        if (!threads_arg(threads, settings.threads)) return nullptr;
        return start_stream(std::move(jobs), settings);
    });
}

// Private, for the tests: read_arrow with the batch cut and the piece size set.
PyObject* read_arrow_limits(PyObject*, PyObject* args) {
    return python_barrier([&]() -> PyObject* {
        PyObject *jobs_obj, *tools, *threads;
        Py_ssize_t max_column_bytes, piece_bytes;
        if (!PyArg_ParseTuple(args, "OOOnn:_read_arrow_limits", &jobs_obj, &tools, &threads, &max_column_bytes,
                              &piece_bytes))
            return nullptr;
        if (max_column_bytes < 1 || static_cast<size_t>(max_column_bytes) > utf8_max_bytes || piece_bytes < 1) {
            PyErr_SetString(PyExc_ValueError, "max_column_bytes must be in [1, 2**31 - 1], piece_bytes >= 1");
            return nullptr;
        }
        std::vector<job> jobs;
        stream_settings settings;
        if (!jobs_arg(jobs_obj, jobs) || !include_tools_arg(tools, settings.include_tools) ||
            !threads_arg(threads, settings.threads))
            return nullptr;
        settings.max_column_bytes = static_cast<size_t>(max_column_bytes);
        settings.piece_bytes = static_cast<size_t>(piece_bytes);
        return start_stream(std::move(jobs), settings);
    });
}

PyMethodDef methods[] = {
    {"read_arrow", as_cfunction(read_arrow), METH_VARARGS | METH_KEYWORDS,
     "read_arrow(jobs, include_tools=False, *, threads=None)\n--\n\n"
     "The rows of many session logs as an Arrow stream (RowStream), filled on worker threads.\n\n"
     "`jobs` = [(kind, path)] as for extract_many. Columns: job (int32, index into jobs), role, text,\n"
     "timestamp, source (utf8); rows in job order, then line order. Jobs whose file cannot be read\n"
     "are in `stream.failures` afterwards. threads=None uses every available processor; threads=1\n"
     "reads on the consuming thread."},
    {"_read_arrow_limits", as_cfunction(read_arrow_limits), METH_VARARGS,
     "_read_arrow_limits(jobs, include_tools, threads, max_column_bytes, piece_bytes)\n--\n\n"
     "Private, for tests: read_arrow with the batch cut and the piece size set."},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_arrow",  // name
    "",        // doc
    0,         // per-module state size
    nullptr,   // methods: attached by the module body
    nullptr, nullptr, nullptr, nullptr,
};

module_once arrow_module;

int add_object(PyObject* module, py_ref& all, const char* name, PyObject* value, bool exported) {
    if (exported) {
        py_ref text(PyUnicode_FromString(name));
        if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
    }
    return PyObject_SetAttrString(module, name, value);
}

int module_body(PyObject* module) {
    py_ref all(PyList_New(0));
    if (!all) return -1;
    stream_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&stream_type_def));
    if (!stream_type) return -1;
    if (add_object(module, all, "RowStream", reinterpret_cast<PyObject*>(stream_type), true) < 0) return -1;
    py_ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef& def : methods) {
        py_ref function(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function || add_object(module, all, def.ml_name, function.get(), def.ml_name[0] != '_') < 0) return -1;
    }
    return PyObject_SetAttrString(module, "__all__", all.get());
}

}  // namespace

PyMODINIT_FUNC PyInit__arrow(void) {
    return init_module_once(arrow_module, module_def, "sessionrows._arrow", module_body);
}
