#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sidecar {

bool is_valid_utf8(std::string_view bytes);

// `bytes` as valid UTF-8: each maximal ill-formed subsequence becomes U+FFFD, everything else is
// kept as it stands.
std::string to_utf8_lossy(std::string_view bytes);

// The first code point of valid UTF-8 text; U+FFFD for text that does not start with one, 0 for
// empty text.
char32_t first_code_point(std::string_view text);

// Unicode white space (the White_Space property).
bool is_unicode_whitespace(char32_t c);

// The pieces of valid UTF-8 text between runs of Unicode white space; no empty pieces.
std::vector<std::string_view> split_unicode_whitespace(std::string_view text);

// Valid UTF-8 text without Unicode white space at either end.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace sidecar
