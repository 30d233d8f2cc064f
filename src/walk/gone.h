// The files the index knows and the walk did not find, and which of them are gone:
// those below a folder the walk went through (or a root that does not exist), and
// those elsewhere that lstat no longer finds. Nothing below a folder or file the
// walk could not read is gone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "walk/known_files.h"
#include "walk/spread.h"

namespace sr {

// A root's share of the walk's scope: the path itself, what lies below it, or both.
struct scope_root {
    std::string_view path;
    bool itself = false;
    bool below = false;
};

// Appends to `gone`, in the order of known.files, the paths of the files not seen
// that are gone. `failed`: the folders and files the walk could not read.
void find_gone(const known_files& known, const std::vector<scope_root>& scope, const std::vector<std::string>& failed,
               const lanes& l, std::vector<std::string_view>& gone);

// True if `path` is `base` or lies below it.
bool at_or_below(std::string_view path, std::string_view base);

}  // namespace sr
