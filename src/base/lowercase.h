#pragma once

#include <string>
#include <string_view>

namespace sidecar {

// Appends valid UTF-8 `text` lower-cased for matching against ASCII patterns: the same result as
// the full Unicode lowercase mapping wherever an ASCII pattern could match. ASCII capitals, the
// Kelvin sign (to "k") and capital I with dot above (to "i" and a combining dot) are the only
// characters whose lower case holds ASCII letters; every other character is copied as it is.
void append_lowercase_for_matching(std::string& out, std::string_view text);

}  // namespace sidecar
