#include "copilot_rules.h"

namespace sr {

copilot_rules make_copilot_rules(const rule_options& options) { return copilot_rules{options}; }

bool copilot_line_worth_keeping(const copilot_rules&, std::string_view) { return false; }

void copilot_line(copilot_rules&, line_parser&, std::string_view, row_list&) {}

void copilot_finish(copilot_rules&, row_list&) {}

}  // namespace sr
