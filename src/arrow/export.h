// Hands batches out through Arrow's C data interface: the schema of the five
// columns and record batches as struct arrays, each with a release callback that
// frees what it owns. A consumer may move a child out of its parent and release the
// two separately, in any order, on any thread.
#pragma once

#include "c_abi.h"
#include "columns.h"

namespace sr {

// The column names in order: "job", "role", "text", "timestamp", "source".
extern const char* const column_names[5];

// Fills `out` with the schema: a struct ("+s") of job int32 ("i") and four utf8
// ("u") fields, none nullable. Throws std::bad_alloc (out is then untouched).
void export_schema(ArrowSchema* out);

// Fills `out` with the batch as a struct array of its five columns, taking over its
// memory, which the release callback frees once the parent and every child moved
// out of it have been released. Throws std::bad_alloc (batch and out then untouched).
void export_batch(batch_columns&& batch, ArrowArray* out);

}  // namespace sr
