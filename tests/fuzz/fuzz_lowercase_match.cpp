// Lower-casing for matching and the detection rules over any text a process could name itself.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/lowercase.h"
#include "base/utf8.h"
#include "fuzz_input.h"
#include "watchdog/detection/detection_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sidecar::fuzzing::FuzzInput input(data, size);
  const std::string name = sidecar::to_utf8_lossy(input.take_text());
  const std::string exe = input.take_text();  // a path keeps its bytes
  std::vector<std::string> arguments;
  while (!input.remaining().empty()) arguments.push_back(sidecar::to_utf8_lossy(input.take_text()));

  std::string lowered;
  sidecar::append_lowercase_for_matching(lowered, name);
  FUZZ_CHECK(sidecar::is_valid_utf8(lowered));
  for (const char c : lowered) FUZZ_CHECK(c < 'A' || c > 'Z');
  bool ascii = true;
  for (const char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    std::string expected = name;
    for (char& c : expected) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    FUZZ_CHECK(lowered == expected);
  }

  (void)sidecar::DetectionUtils::catalogue_match(name);
  const bool found = sidecar::DetectionUtils::denylist_match(name, &exe, arguments);
  // The name alone matching means the whole text matches.
  if (sidecar::DetectionUtils::denylist_match(name, nullptr, {})) FUZZ_CHECK(found);
  return 0;
}
