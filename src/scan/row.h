// The output record of a scan.
#pragma once

#include <string>
#include <vector>

namespace sr {

// One extracted item: four owned UTF-8 texts. A missing value is the empty text.
// Special rows carry the role "__meta__" (Codex: working directory and session id)
// or "__title__" (Claude: session title).
struct Row {
    std::string role;
    std::string text;
    std::string timestamp;
    std::string source;
};

using row_list = std::vector<Row>;

}  // namespace sr
