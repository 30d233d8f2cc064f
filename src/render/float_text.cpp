#include "float_text.h"

#include <charconv>
#include <cmath>

namespace sr {

void append_float_text(std::string& out, double value) {
    if (value == 0.0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    if (value < 0) {
        out += '-';
        value = -value;
    }
    // Shortest round-trip digits in scientific form: d[.ddd]e(+|-)XX.
    char sci[32];
    auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    const char* e_pos = sci;
    while (*e_pos != 'e') ++e_pos;
    char digits[24];
    int n = 0;
    for (const char* p = sci; p < e_pos; ++p)
        if (*p != '.') digits[n++] = *p;
    int exp = 0;
    for (const char* p = e_pos + 2; p < res.ptr; ++p) exp = exp * 10 + (*p - '0');
    if (e_pos[1] == '-') exp = -exp;

    if (exp >= 0 && exp <= 15) {
        if (n <= exp + 1) {
            out.append(digits, n);
            out.append(static_cast<size_t>(exp + 1 - n), '0');
            out += ".0";
        } else {
            out.append(digits, exp + 1);
            out += '.';
            out.append(digits + exp + 1, n - exp - 1);
        }
    } else if (exp >= -5 && exp <= -1) {
        out += "0.";
        out.append(static_cast<size_t>(-exp - 1), '0');
        out.append(digits, n);
    } else {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits + 1, n - 1);
        }
        out += exp > 0 ? "e+" : "e-";
        out += std::to_string(exp > 0 ? exp : -exp);
    }
}

}  // namespace sr
