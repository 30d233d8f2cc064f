// One item of a batch call's job list: a session log and the rules to read it by
// ("codex" exactly selects the Codex rules; any other kind the Claude rules).
#pragma once

#include <string>

namespace sr {

struct job {
    std::string kind;
    std::string path;
};

}  // namespace sr
