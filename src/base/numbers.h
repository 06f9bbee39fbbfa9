#pragma once

#include <charconv>
#include <optional>
#include <string_view>

namespace sidecar {

// `text` as a decimal number of one or more digits 0 to 9 and nothing else (no sign, no space),
// or nothing when it is not one or does not fit in `Number`.
template <typename Number>
std::optional<Number> parse_digits(std::string_view text) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace sidecar
