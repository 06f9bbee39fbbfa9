#include "watchdog/linux/tracer.h"

#include <cstdint>
#include <optional>

#include "base/numbers.h"
#include "base/utf8.h"
#include "host/proc_parse.h"
#include "host/system.h"

namespace sidecar {
namespace {

constexpr std::string_view tracer_key = "TracerPid:";

// An optional single "+", then decimal digits only, at most 4294967295.
std::optional<std::uint32_t> parse_u32(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return parse_digits<std::uint32_t>(text);
}

}  // namespace

bool status_shows_tracer(std::string_view status) {
  while (!status.empty()) {
    const std::size_t end = status.find('\n');
    std::string_view line = status.substr(0, end);
    status.remove_prefix(end == std::string_view::npos ? status.size() : end + 1);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (!line.starts_with(tracer_key)) continue;
    const auto pieces = split_unicode_whitespace(line);
    if (pieces.size() < 2) continue;
    if (const auto tracer = parse_u32(pieces[1])) return *tracer != 0;
  }
  return false;
}

bool is_traced(const Process* own_entry, const std::optional<std::string>& status) {
  if (own_entry && own_entry->state.kind == RunState::TracingStop) return true;
  // The status file carries the process's own name, which may hold any bytes: decoding them
  // lossily keeps such a name from hiding the tracer line.
  return status && status_shows_tracer(to_utf8_lossy(*status));
}

}  // namespace sidecar
