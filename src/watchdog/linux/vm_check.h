#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sidecar {

struct Platform;

// The indicator for the vendor prefix of a hardware address in its text form, or nothing.
std::optional<std::string_view> mac_indicator(std::string_view mac_text);

// "{prefix}{trimmed text}" when the lower-cased text of a firmware identification file names a
// hypervisor, or nothing.
std::optional<std::string> dmi_indicator(std::string_view prefix, std::string_view text);

// The signs that this machine is virtual, in probe order: the processor's hypervisor flag, the
// vendor prefix of the network hardware address, the firmware's product name and vendor. Each
// probe that cannot read its source adds nothing.
std::vector<std::string> vm_indicators(const Platform& platform);

}  // namespace sidecar
