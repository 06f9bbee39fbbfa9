// The stat record parser: any bytes, as the table hands them over after decoding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/utf8.h"
#include "fuzz_input.h"
#include "host/proc_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string record =
      sidecar::to_utf8_lossy(std::string_view(reinterpret_cast<const char*>(data), size));
  const auto stat = sidecar::parse_stat(record);
  if (!stat) return 0;
  // Every field points into the record.
  const auto inside = [&record](std::string_view field) {
    return field.data() >= record.data() &&
           field.data() + field.size() <= record.data() + record.size();
  };
  FUZZ_CHECK(inside(stat->name));
  FUZZ_CHECK(inside(stat->state) && !stat->state.empty());
  FUZZ_CHECK(!stat->parent_pid || *stat->parent_pid != 0);
  (void)sidecar::RunState::from_letter(sidecar::first_code_point(stat->state));
  return 0;
}
