// The text of a finite double: shortest round-trip digits, laid out like Python's
// repr() except that the fixed form covers exponents -5..15 and the exponent has no
// leading zeros (1e-6, 0.00001, 1e+16, 1.5, 100.0, -0.0).
#pragma once

#include <string>

namespace sr {

void append_float_text(std::string& out, double value);

}  // namespace sr
