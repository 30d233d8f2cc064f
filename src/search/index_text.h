// The text the full-text index is given for a row, where it differs from the row's
// text: terminal control sequences are taken out (an escape code glued to a word
// would hide the word), and runs of CJK characters (written without spaces, so a
// word tokenizer sees a whole sentence as one token) become their overlapping
// two-character pieces, blank-separated, so that any two or more characters of
// the run can be found; a word glued to a backslash escape written out in the
// text ("\nHello" in JSON or code shown as text) is given once more on its own.
// A query goes through the same transform.
#pragma once

#include <string>
#include <string_view>

namespace sr {

// True if `text` needs the transform; then `out` receives the text to index.
bool index_text(std::string_view text, std::string& out);

// True if the character starts or continues a CJK run (Han, kana, Hangul).
bool is_cjk(char32_t c);

}  // namespace sr
