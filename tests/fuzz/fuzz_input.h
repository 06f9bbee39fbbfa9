#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace sidecar::fuzzing {

// Carves typed values out of a fuzzer's input, front to back; zeros once it runs out.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size)
      : rest(reinterpret_cast<const char*>(data), size) {}

  template <typename T>
  T take() {
    T value{};
    const std::size_t n = std::min(sizeof value, rest.size());
    std::memcpy(&value, rest.data(), n);
    rest.remove_prefix(n);
    return value;
  }

  // A text of up to 255 bytes, its length given by the next byte.
  std::string take_text() {
    const std::size_t n = std::min<std::size_t>(take<std::uint8_t>(), rest.size());
    std::string text(rest.substr(0, n));
    rest.remove_prefix(n);
    return text;
  }

  std::string_view remaining() const { return rest; }

 private:
  std::string_view rest;
};

}  // namespace sidecar::fuzzing

// A failed property ends the run the way a sanitizer finding does.
#define FUZZ_CHECK(condition)           \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (false)
