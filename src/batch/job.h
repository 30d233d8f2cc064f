// One item of a batch call's job list: a session log and the rules to read it by.
#pragma once

#include <string>

#include "scan/log_kind.h"

namespace sr {

struct job {
    log_kind kind = log_kind::claude;
    std::string path;
};

}  // namespace sr
