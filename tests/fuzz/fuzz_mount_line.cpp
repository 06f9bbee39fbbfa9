// The mountinfo line parser and the mount-table verdict: any bytes, against a plain reading of the
// line's format.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "host/proc_parse.h"
#include "watchdog/linux/view_check.h"

namespace {

// Fields split at every space, empty ones dropped; escapes of exactly three octal digits decoded.
std::vector<std::string> reference_fields(std::string_view line) {
  std::vector<std::string> fields;
  std::string field;
  for (const char c : line) {
    if (c != ' ') {
      field += c;
    } else if (!field.empty()) {
      fields.push_back(field);
      field.clear();
    }
  }
  if (!field.empty()) fields.push_back(field);
  return fields;
}

std::string reference_unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool escape = text[i] == '\\' && i + 3 < text.size();
    for (std::size_t k = 1; escape && k <= 3; ++k)
      escape = text[i + k] >= '0' && text[i + k] <= '7';
    if (!escape) {
      out += text[i];
      continue;
    }
    out +=
        static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
    i += 3;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string_view line = text.substr(0, text.find('\n'));
  const auto fields = reference_fields(line);
  const auto mount = sidecar::parse_mount_line(line);
  FUZZ_CHECK(mount.has_value() == (fields.size() >= 6));
  if (mount) {
    FUZZ_CHECK(mount->mount_point == reference_unescape(fields[4]));
    FUZZ_CHECK(mount->options == fields[5]);
    std::size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    FUZZ_CHECK(mount->type == (separator + 1 < fields.size() ? fields[separator + 1] : ""));
    FUZZ_CHECK(mount->super_options ==
               (separator + 3 < fields.size() ? fields[separator + 3] : ""));
  }
  // A whole table of such lines: the verdict never fails, whatever the bytes.
  (void)sidecar::mount_table_masks(text, "/proc");
  return 0;
}
