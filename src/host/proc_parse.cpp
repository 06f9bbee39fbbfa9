#include "host/proc_parse.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/lines.h"
#include "base/utf8.h"

namespace sidecar {
namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// An optional single "+", then decimal digits only, at most 4294967295.
std::optional<std::uint32_t> parse_u32(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return parse_digits<std::uint32_t>(text);
}

// The fields of a mountinfo line: runs of bytes other than space.
std::vector<std::string_view> split_fields(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ') ++i;
    if (i > start) pieces.push_back(text.substr(start, i - start));
  }
  return pieces;
}

std::string unescape_mount_point(std::string_view text) {
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && octal(text[i + 1]) && octal(text[i + 2]) &&
        octal(text[i + 3])) {
      out += static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) |
                               (text[i + 3] - '0'));
      i += 3;
      continue;
    }
    out += text[i];
  }
  return out;
}

}  // namespace

RunState RunState::from_letter(char32_t letter) {
  switch (letter) {
    case U'I':
      return {Idle, letter};
    case U'R':
      return {Running, letter};
    case U'S':
      return {Sleeping, letter};
    case U'T':
      return {Stopped, letter};
    case U'Z':
      return {Zombie, letter};
    case U't':
      return {TracingStop, letter};
    case U'X':
    case U'x':
      return {Dead, letter};
    case U'K':
      return {Wakekill, letter};
    case U'W':
      return {Waking, letter};
    case U'P':
      return {Parked, letter};
    case U'D':
      return {DiskSleep, letter};
    default:
      return {Unknown, letter};
  }
}

std::optional<StatRecord> parse_stat(std::string_view record) {
  const std::size_t first_space = record.find(' ');
  if (first_space == std::string_view::npos) return std::nullopt;
  // memrchr: the name's closing parenthesis is found from the end, which is most of the record.
  const void* const last_paren = memrchr(record.data(), ')', record.size());
  if (last_paren == nullptr) return std::nullopt;
  const auto close = static_cast<std::size_t>(static_cast<const char*>(last_paren) - record.data());
  if (close <= first_space) return std::nullopt;

  StatRecord stat;
  stat.name = record.substr(first_space + 1, close - first_space - 1);
  if (!stat.name.empty() && stat.name.front() == '(') stat.name.remove_prefix(1);

  // Fields 3 and on, split at runs of white space; 24 at least, and up to the end of the
  // arguments' layout.
  constexpr std::size_t required = 24;
  constexpr std::size_t wanted = 49;
  std::array<std::string_view, wanted + 1> fields{};
  std::size_t count = 2;
  const char* at = record.data() + close + 1;
  const char* const end = record.data() + record.size();
  while (count < wanted) {
    while (at != end && is_space(*at)) ++at;
    if (at == end) break;
    const char* const start = at;
    while (at != end && !is_space(*at)) ++at;
    fields[++count] = std::string_view(start, static_cast<std::size_t>(at - start));
  }
  if (count < required) return std::nullopt;

  const auto flags = parse_digits<std::uint64_t>(fields[9]);
  const auto start_ticks = parse_digits<std::uint64_t>(fields[22]);
  if (!flags || !start_ticks) return std::nullopt;
  stat.state = fields[3];
  if (const auto parent = parse_digits<Pid>(fields[4]); parent && *parent != 0) {
    stat.parent_pid = parent;
  }
  stat.flags = *flags;
  stat.num_threads = parse_digits<std::int64_t>(fields[20]);
  stat.start_ticks = *start_ticks;
  constexpr std::array<std::size_t, 5> layout_fields = {26, 27, 28, 48, 49};
  for (std::size_t i = 0; i < layout_fields.size(); ++i) {
    stat.layout[i] = parse_digits<std::uint64_t>(fields[layout_fields[i]]).value_or(0);
  }
  return stat;
}

StatusRecord parse_status(std::string_view text) {
  StatusRecord status;
  bool namespaces_seen = false;
  bool seccomp_seen = false;
  while (!text.empty()) {
    bool ended = false;
    std::string_view line = take_line(text, &ended);
    if (!status.tracer_pid && line.starts_with("TracerPid:")) {
      if (ended && line.ends_with('\r')) line.remove_suffix(1);
      const auto pieces = split_unicode_whitespace(line);
      if (pieces.size() >= 2) status.tracer_pid = parse_u32(pieces[1]);
    } else if (!namespaces_seen && line.starts_with("NSpid:")) {
      namespaces_seen = true;
      status.namespace_ids = split_unicode_whitespace(line.substr(6)).size();
    } else if (!seccomp_seen && line.starts_with("Seccomp:")) {
      seccomp_seen = true;
      const auto pieces = split_unicode_whitespace(line.substr(8));
      status.seccomp_filter = !pieces.empty() && pieces.front() == "2";
    }
  }
  return status;
}

std::optional<MountRecord> parse_mount_line(std::string_view line) {
  const auto fields = split_fields(line);
  if (fields.size() < 6) return std::nullopt;
  MountRecord mount;
  mount.mount_point = unescape_mount_point(fields[4]);
  mount.options = fields[5];
  const auto separator = std::find(fields.begin() + 6, fields.end(), "-");
  const auto after = static_cast<std::size_t>(separator - fields.begin()) + 1;
  if (after < fields.size()) mount.type = fields[after];
  if (after + 2 < fields.size()) mount.super_options = fields[after + 2];
  return mount;
}

std::vector<std::string> split_cmdline(std::string_view bytes) {
  std::vector<std::string> arguments;
  for (std::size_t end = bytes.find('\0'); end != std::string_view::npos; end = bytes.find('\0')) {
    const std::string candidate = to_utf8_lossy(bytes.substr(0, end));
    const std::string_view trimmed = trim_unicode_whitespace(candidate);
    if (!trimmed.empty()) arguments.emplace_back(trimmed);
    bytes.remove_prefix(end + 1);
  }
  return arguments;
}

}  // namespace sidecar
