// The process-wide worker pool: made on first use, one worker per processor
// available to the process, kept until the process ends, and made afresh in the
// child of a fork (which inherits none of the parent's threads).
#pragma once

#include <cstddef>

#include "pool.h"

namespace sr {

// The logical processors this process may run on (its affinity mask); 1 if unknown.
size_t available_processors();

// The pool, made if there is none yet in this process. Safe from any thread.
// Throws std::system_error if no pool could be made; a later call tries again.
pool& shared_pool();

}  // namespace sr
