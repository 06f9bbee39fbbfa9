#include "base/utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sidecar {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

struct Decoded {
  char32_t code = 0;
  std::size_t length = 0;  // bytes consumed; when `valid` is false, the ill-formed subpart
  bool valid = false;
};

// Decodes the sequence at the start of `bytes` (not empty) by the well-formed byte ranges of
// UTF-8, stopping at the first byte that cannot continue it.
Decoded decode(std::string_view bytes) {
  const auto at = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1FU;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0FU;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07U;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0xFFFD, 1, false};
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= bytes.size()) return {0xFFFD, i, false};
    const unsigned char byte = at(i);
    if (byte < low || byte > high) return {0xFFFD, i, false};
    low = 0x80;
    high = 0xBF;
    code = (code << 6) | (byte & 0x3FU);
  }
  return {code, length, true};
}

bool is_ascii(std::string_view bytes) {
  // Eight bytes at a time: the records the kernel writes are almost always plain ASCII.
  constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.data() + i, sizeof word);
    if ((word & high_bits) != 0) return false;
  }
  for (; i < bytes.size(); ++i) {
    if (static_cast<unsigned char>(bytes[i]) >= 0x80) return false;
  }
  return true;
}

// The last code point of valid UTF-8 text (not empty) and its length in bytes.
Decoded decode_last(std::string_view text) {
  std::size_t start = text.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0U) == 0x80) --start;
  return decode(text.substr(start));
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  if (is_ascii(bytes)) return true;
  while (!bytes.empty()) {
    const Decoded d = decode(bytes);
    if (!d.valid) return false;
    bytes.remove_prefix(d.length);
  }
  return true;
}

std::string to_utf8_lossy(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string text;
  text.reserve(bytes.size() + 8);
  while (!bytes.empty()) {
    const Decoded d = decode(bytes);
    if (d.valid) {
      text.append(bytes.substr(0, d.length));
    } else {
      text.append(replacement);
    }
    bytes.remove_prefix(d.length);
  }
  return text;
}

char32_t first_code_point(std::string_view text) {
  if (text.empty()) return 0;
  return decode(text).code;
}

bool is_unicode_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::vector<std::string_view> split_unicode_whitespace(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    const Decoded d = decode(text.substr(at));
    if (is_unicode_whitespace(d.code)) {
      if (at > start) pieces.push_back(text.substr(start, at - start));
      start = at + d.length;
    }
    at += d.length;
  }
  if (at > start) pieces.push_back(text.substr(start, at - start));
  return pieces;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  while (!text.empty()) {
    const Decoded d = decode(text);
    if (!is_unicode_whitespace(d.code)) break;
    text.remove_prefix(d.length);
  }
  while (!text.empty()) {
    const Decoded d = decode_last(text);
    if (!is_unicode_whitespace(d.code)) break;
    text.remove_suffix(d.length);
  }
  return text;
}

}  // namespace sidecar
