// extract_many(jobs, include_tools=False): many session logs at once on the
// process-wide worker pool, one result list per job, in job order.
#pragma once

#include "../convert.h"

namespace sr {

PyObject* extract_many(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace sr
