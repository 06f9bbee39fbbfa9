// The lossy UTF-8 decoder and the white-space helpers built on it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = sidecar::to_utf8_lossy(bytes);
  FUZZ_CHECK(sidecar::is_valid_utf8(text));
  FUZZ_CHECK(sidecar::to_utf8_lossy(text) == text);
  if (sidecar::is_valid_utf8(bytes)) FUZZ_CHECK(text == bytes);
  // Each replacement stands for at least one input byte, so the text grows at most threefold.
  FUZZ_CHECK(text.size() <= 3 * bytes.size());

  const std::string_view trimmed = sidecar::trim_unicode_whitespace(text);
  FUZZ_CHECK(sidecar::is_valid_utf8(trimmed));
  FUZZ_CHECK(trimmed.empty() ||
             !sidecar::is_unicode_whitespace(sidecar::first_code_point(trimmed)));
  std::size_t pieces_bytes = 0;
  for (const auto piece : sidecar::split_unicode_whitespace(text)) {
    FUZZ_CHECK(!piece.empty());
    FUZZ_CHECK(sidecar::is_valid_utf8(piece));
    FUZZ_CHECK(sidecar::trim_unicode_whitespace(piece) == piece);
    pieces_bytes += piece.size();
  }
  FUZZ_CHECK(pieces_bytes <= trimmed.size());
  return 0;
}
