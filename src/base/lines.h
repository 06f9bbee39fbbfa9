#pragma once

#include <string_view>

namespace sidecar {

// Takes the first line off `text` and returns it without its line feed; the last line may have
// none. `ended`, when given, tells whether a line feed ended it. Returns empty lines as they come;
// the caller stops when `text` is empty.
inline std::string_view take_line(std::string_view& text, bool* ended = nullptr) {
  const std::size_t end = text.find('\n');
  const std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  if (ended) *ended = end != std::string_view::npos;
  return line;
}

}  // namespace sidecar
