// The command-line splitter: any bytes, as a cmdline file may hold them.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/utf8.h"
#include "fuzz_input.h"
#include "host/proc_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto arguments = sidecar::split_cmdline(bytes);
  std::size_t terminators = 0;
  for (const char c : bytes) terminators += c == '\0' ? 1 : 0;
  FUZZ_CHECK(arguments.size() <= terminators);
  for (const auto& argument : arguments) {
    FUZZ_CHECK(!argument.empty());
    FUZZ_CHECK(sidecar::is_valid_utf8(argument));
    FUZZ_CHECK(argument.find('\0') == std::string::npos);
    FUZZ_CHECK(sidecar::trim_unicode_whitespace(argument) == argument);
  }
  return 0;
}
