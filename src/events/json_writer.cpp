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

// Integers of up to 64 bits, either sign.
template <typename Integer>
void append_integer(std::string& out, Integer value) {
  std::array<char, 20> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out.append(digits.data(), result.ptr);
}

// One JSON value per field type of the payloads.
void append_value(std::string& out, bool value) { out += value ? "true" : "false"; }
void append_value(std::string& out, std::uint32_t value) { append_integer(out, value); }
void append_value(std::string& out, std::int64_t value) { append_integer(out, value); }
void append_value(std::string& out, u128 value) { append_json_u128(out, value); }
void append_value(std::string& out, float value) { append_json_f32(out, value); }
void append_value(std::string& out, std::string_view text) { append_json_string(out, text); }
void append_value(std::string& out, const std::string& text) { append_json_string(out, text); }

void append_value(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    append_json_string(out, *text);
  } else {
    out += "null";
  }
}

void append_value(std::string& out, const std::vector<std::string>& texts) {
  out += '[';
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i != 0) out += ',';
    append_json_string(out, texts[i]);
  }
  out += ']';
}

// Writes one object member by member, in the order they are given.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out_in) : out(out_in) { out += '{'; }
  ObjectWriter(const ObjectWriter&) = delete;
  ObjectWriter& operator=(const ObjectWriter&) = delete;
  ~ObjectWriter() { out += '}'; }

  template <typename Value>
  ObjectWriter& member(std::string_view key, const Value& value) {
    if (!first) out += ',';
    first = false;
    append_json_string(out, key);
    out += ':';
    append_value(out, value);
    return *this;
  }

 private:
  std::string& out;
  bool first = true;
};

void append_payload(std::string& out, const ScreenSharePayload& p) {
  ObjectWriter(out).member("is_active", p.is_active).member("method", p.method);
}

void append_payload(std::string& out, const VmPayload& p) {
  ObjectWriter(out)
      .member("is_vm", p.is_vm)
      .member("confidence", p.confidence)
      .member("indicators", p.indicators);
}

void append_payload(std::string& out, const SuspiciousProcessPayload& p) {
  ObjectWriter(out).member("pid", p.pid).member("name", p.name).member("reason", p.reason);
}

void append_payload(std::string& out, const StealthOverlayPayload& p) {
  ObjectWriter(out)
      .member("severity", p.severity)
      .member("owner_name", p.owner_name)
      .member("owner_pid", p.owner_pid)
      .member("bundle_id", p.bundle_id)
      .member("window_layer", p.window_layer)
      .member("window_alpha", p.window_alpha)
      .member("matched_list", p.matched_list)
      .member("capture_excluded", p.capture_excluded)
      .member("method", p.method)
      .member("reason", p.reason)
      .member("os_note", p.os_note);
}

void append_payload(std::string& out, const HeartbeatPayload& p) {
  ObjectWriter(out).member("timestamp", p.timestamp);
}

std::string_view tag_of(const WatchdogEvent& event) {
  static constexpr std::array<std::string_view, std::variant_size_v<WatchdogEvent>> tags = {
      "screen_share_detected",    "vm_detected", "suspicious_process_detected",
      "stealth_overlay_detected", "heartbeat",   "error"};
  return tags[event.index()];
}

// The value of "payload": the event's payload record, or the text of an `Error`.
struct PayloadOf {
  const WatchdogEvent& event;
};

void append_value(std::string& out, const PayloadOf& payload) {
  std::visit(
      [&out](const auto& variant) {
        if constexpr (std::is_same_v<std::decay_t<decltype(variant)>, Error>) {
          append_json_string(out, variant.message);
        } else {
          append_payload(out, variant.payload);
        }
      },
      payload.event);
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  std::size_t plain_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == 0xC2 || byte == 0xE2) {
      // U+0085, U+2028 and U+2029 end a line for common line readers (JavaScript's and Python's
      // among them), so they are escaped to keep every event on one line whatever reads it.
      const std::string_view rest = text.substr(i);
      const char* escape = rest.starts_with("\u0085")   ? "\\u0085"
                           : rest.starts_with("\u2028") ? "\\u2028"
                           : rest.starts_with("\u2029") ? "\\u2029"
                                                        : nullptr;
      if (escape == nullptr) continue;
      out.append(text, plain_start, i - plain_start);
      out += escape;
      const std::size_t length = byte == 0xC2 ? 2 : 3;
      plain_start = i + length;
      i += length - 1;
      continue;
    }
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
    append_integer(out, static_cast<std::uint64_t>(value));
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
  append_integer(out, exponent < 0 ? -exponent : exponent);
}

std::string to_json(const WatchdogEvent& event) {
  std::string out;
  out.reserve(initial_capacity);
  ObjectWriter(out).member("event", tag_of(event)).member("payload", PayloadOf{event});
  return out;
}

}  // namespace sidecar
