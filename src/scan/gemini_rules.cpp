#include "gemini_rules.h"

namespace sr {

gemini_rules make_gemini_rules(const rule_options& options) { return gemini_rules{options}; }

bool gemini_line_worth_keeping(const gemini_rules&, std::string_view) { return false; }

void gemini_line(gemini_rules&, line_parser&, std::string_view, row_list&) {}

void gemini_finish(gemini_rules&, row_list&) {}

}  // namespace sr
