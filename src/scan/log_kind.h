// Which assistant wrote a log, and so which rules read it.
#pragma once

#include <iterator>
#include <string>
#include <string_view>

namespace sr {

enum class log_kind : unsigned char { claude, codex, gemini, copilot, pi };

// The names of the kinds, in the order of the enum.
constexpr std::string_view log_kind_names[] = {"claude", "codex", "gemini", "copilot", "pi"};

// The rule of `_core`'s calls: exactly "codex" selects the Codex rules, every other
// text the Claude rules.
inline log_kind core_kind(std::string_view name) { return name == "codex" ? log_kind::codex : log_kind::claude; }

// The kind a name names, for the readings that know every assistant; false for a
// name that is none of them.
inline bool named_kind(std::string_view name, log_kind& out) {
    for (size_t i = 0; i < std::size(log_kind_names); ++i) {
        if (name == log_kind_names[i]) {
            out = static_cast<log_kind>(i);
            return true;
        }
    }
    return false;
}

// "claude, codex, gemini, copilot, pi", for messages.
inline std::string kind_list() {
    std::string out;
    for (std::string_view name : log_kind_names) {
        if (!out.empty()) out += ", ";
        out += name;
    }
    return out;
}

}  // namespace sr
