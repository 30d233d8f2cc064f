#include "extract_many.h"

namespace sr {

PyObject* extract_many(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "extract_many is not available yet");
    return nullptr;
}

}  // namespace sr
