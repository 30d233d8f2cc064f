#include "pi_rules.h"

namespace sr {

pi_rules make_pi_rules(const rule_options& options) { return pi_rules{options}; }

bool pi_line_worth_keeping(const pi_rules&, std::string_view) { return false; }

void pi_line(pi_rules&, line_parser&, std::string_view, row_list&) {}

void pi_finish(pi_rules&, row_list&) {}

}  // namespace sr
