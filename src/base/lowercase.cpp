#include "base/lowercase.h"

namespace sidecar {

void append_lowercase_for_matching(std::string& out, std::string_view text) {
  // Written through a pointer into room for the longest result: U+0130 grows from two bytes to
  // three, nothing else grows.
  const std::size_t start = out.size();
  out.resize(start + text.size() + text.size() / 2);
  char* at = out.data() + start;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= 'A' && c <= 'Z') {
      *at++ = static_cast<char>(c - 'A' + 'a');
    } else if (c == '\xE2' && text.substr(i, 3) == "\u212A") {  // Kelvin sign
      *at++ = 'k';
      i += 2;
    } else if (c == '\xC4' && text.substr(i, 2) == "\u0130") {  // capital I with dot above
      *at++ = 'i';
      *at++ = '\xCC';  // U+0307, combining dot above
      *at++ = '\x87';
      i += 1;
    } else {
      *at++ = c;
    }
  }
  out.resize(static_cast<std::size_t>(at - out.data()));
}

}  // namespace sidecar
