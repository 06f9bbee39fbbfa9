#include "events/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <type_traits>

namespace sidecar {
namespace {

constexpr std::size_t initial_capacity = 128;

void append_u64(std::string& out, std::uint64_t value) {
  std::array<char, 20> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out.append(digits.data(), result.ptr);
}

void append_i64(std::string& out, std::int64_t value) {
  std::array<char, 20> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out.append(digits.data(), result.ptr);
}

void append_bool(std::string& out, bool value) { out += value ? "true" : "false"; }

void append_optional_string(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    append_json_string(out, *text);
  } else {
    out += "null";
  }
}

void append_string_list(std::string& out, const std::vector<std::string>& texts) {
  out += '[';
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i != 0) out += ',';
    append_json_string(out, texts[i]);
  }
  out += ']';
}

// Writes `"key":`, with the comma that separates it from the previous member when there is one.
void append_key(std::string& out, std::string_view key, bool first = false) {
  if (!first) out += ',';
  append_json_string(out, key);
  out += ':';
}

void append_payload(std::string& out, const ScreenSharePayload& p) {
  out += '{';
  append_key(out, "is_active", true);
  append_bool(out, p.is_active);
  append_key(out, "method");
  append_json_string(out, p.method);
  out += '}';
}

void append_payload(std::string& out, const VmPayload& p) {
  out += '{';
  append_key(out, "is_vm", true);
  append_bool(out, p.is_vm);
  append_key(out, "confidence");
  append_json_f32(out, p.confidence);
  append_key(out, "indicators");
  append_string_list(out, p.indicators);
  out += '}';
}

void append_payload(std::string& out, const SuspiciousProcessPayload& p) {
  out += '{';
  append_key(out, "pid", true);
  append_u64(out, p.pid);
  append_key(out, "name");
  append_json_string(out, p.name);
  append_key(out, "reason");
  append_json_string(out, p.reason);
  out += '}';
}

void append_payload(std::string& out, const StealthOverlayPayload& p) {
  out += '{';
  append_key(out, "severity", true);
  append_json_string(out, p.severity);
  append_key(out, "owner_name");
  append_json_string(out, p.owner_name);
  append_key(out, "owner_pid");
  append_u64(out, p.owner_pid);
  append_key(out, "bundle_id");
  append_optional_string(out, p.bundle_id);
  append_key(out, "window_layer");
  append_i64(out, p.window_layer);
  append_key(out, "window_alpha");
  append_json_f32(out, p.window_alpha);
  append_key(out, "matched_list");
  append_json_string(out, p.matched_list);
  append_key(out, "capture_excluded");
  append_bool(out, p.capture_excluded);
  append_key(out, "method");
  append_json_string(out, p.method);
  append_key(out, "reason");
  append_json_string(out, p.reason);
  append_key(out, "os_note");
  append_optional_string(out, p.os_note);
  out += '}';
}

void append_payload(std::string& out, const HeartbeatPayload& p) {
  out += '{';
  append_key(out, "timestamp", true);
  append_json_u128(out, p.timestamp);
  out += '}';
}

std::string_view tag_of(const WatchdogEvent& event) {
  static constexpr std::array<std::string_view, std::variant_size_v<WatchdogEvent>> tags = {
      "screen_share_detected",    "vm_detected", "suspicious_process_detected",
      "stealth_overlay_detected", "heartbeat",   "error"};
  return tags[event.index()];
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  std::size_t plain_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(text, plain_start, i - plain_start);
    plain_start = i + 1;
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out += hex[byte >> 4];
        out += hex[byte & 0x0F];
    }
  }
  out.append(text, plain_start);
  out += '"';
}

void append_json_u128(std::string& out, u128 value) {
  constexpr std::uint64_t chunk = 10'000'000'000'000'000'000ULL;  // 10^19
  if (value <= std::numeric_limits<std::uint64_t>::max()) {
    append_u64(out, static_cast<std::uint64_t>(value));
    return;
  }
  append_json_u128(out, value / chunk);
  // Lower chunks keep their leading zeros: 19 digits each.
  std::array<char, 19> digits{};
  digits.fill('0');
  std::array<char, 20> raw{};
  const auto result =
      std::to_chars(raw.data(), raw.data() + raw.size(), static_cast<std::uint64_t>(value % chunk));
  const auto length = static_cast<std::size_t>(result.ptr - raw.data());
  std::copy(raw.data(), result.ptr, digits.data() + (digits.size() - length));
  out.append(digits.data(), digits.size());
}

void append_json_f32(std::string& out, float value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (std::signbit(value)) out += '-';
  value = std::fabs(value);
  if (value == 0.0F) {
    out += "0.0";
    return;
  }
  // Shortest round-trip digits of the 32-bit value, in the form d[.ddd]e±XX.
  std::array<char, 32> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::scientific);
  const std::string_view scientific(buffer.data(),
                                    static_cast<std::size_t>(result.ptr - buffer.data()));
  const std::size_t e_pos = scientific.find('e');
  std::string digits;
  for (const char c : scientific.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string_view exponent_text = scientific.substr(e_pos + 1);
  if (!exponent_text.empty() && exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

  const auto n = static_cast<int>(digits.size());
  if (exponent >= -6 && exponent <= 12) {
    if (exponent >= n - 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exponent - n + 1), '0');
      out += ".0";
    } else if (exponent >= 0) {
      const auto integral = static_cast<std::size_t>(exponent + 1);
      out.append(digits, 0, integral);
      out += '.';
      out.append(digits, integral);
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    }
    return;
  }
  out += digits.front();
  if (n >= 2) {
    out += '.';
    out.append(digits, 1);
  }
  out += 'e';
  out += exponent < 0 ? '-' : '+';
  append_u64(out, static_cast<std::uint64_t>(exponent < 0 ? -exponent : exponent));
}

std::optional<std::string> to_json(const WatchdogEvent& event) {
  std::string out;
  out.reserve(initial_capacity);
  out += '{';
  append_key(out, "event", true);
  append_json_string(out, tag_of(event));
  append_key(out, "payload");
  std::visit(
      [&out](const auto& variant) {
        if constexpr (std::is_same_v<std::decay_t<decltype(variant)>, Error>) {
          append_json_string(out, variant.message);
        } else {
          append_payload(out, variant.payload);
        }
      },
      event);
  out += '}';
  return out;
}

}  // namespace sidecar
