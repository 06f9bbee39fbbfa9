// The status file's tracer line, against a plain reading of the same rules.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "fuzz_input.h"
#include "watchdog/linux/tracer.h"

namespace {

// The rules read as plainly as possible: first line starting with the key whose second piece is
// an unsigned 32-bit number decides.
bool reference(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    const bool ended = end != std::string_view::npos;
    if (!ended) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (ended && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    if (line.substr(0, 10) != "TracerPid:") continue;
    const auto pieces = sidecar::split_unicode_whitespace(line);
    if (pieces.size() < 2) continue;
    std::string_view value = pieces[1];
    if (!value.empty() && value[0] == '+') value.remove_prefix(1);
    if (value.empty()) continue;
    std::uint64_t number = 0;
    bool fits = true;
    for (const char c : value) {
      fits = fits && c >= '0' && c <= '9';
      if (fits)
        number =
            std::min<std::uint64_t>(number * 10 + static_cast<std::uint64_t>(c - '0'), 1ULL << 40);
    }
    if (!fits || number > 4294967295ULL) continue;
    return number != 0;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Any bytes: the status file carries the process's name as it was set.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(sidecar::status_shows_tracer(text) == reference(text));
  return 0;
}
