#include "watchdog/linux/vm_check.h"

#include <array>
#include <system_error>

#include "base/lowercase.h"
#include "base/utf8.h"
#include "host/files.h"
#include "host/platform.h"

namespace sidecar {
namespace {

struct MacPrefix {
  std::string_view prefix;
  std::string_view indicator;
};

constexpr std::array<MacPrefix, 6> mac_prefixes = {{
    {"00:05:69", "mac_oui_vmware"},
    {"00:0C:29", "mac_oui_vmware"},
    {"00:1C:14", "mac_oui_vmware"},
    {"00:50:56", "mac_oui_vmware"},
    {"08:00:27", "mac_oui_vbox"},
    {"00:1C:42", "mac_oui_parallels"},
}};

constexpr std::array<std::string_view, 4> firmware_words = {"vmware", "virtualbox", "kvm", "qemu"};

constexpr std::uint32_t hypervisor_bit = 1U << 31;

bool hypervisor_flag(const Platform& platform) {
  const auto highest = platform.cpuid(0);
  if (!highest || highest->eax < 1) return false;
  const auto features = platform.cpuid(1);
  return features && (features->ecx & hypervisor_bit) != 0;
}

std::optional<std::string> read_firmware_file(const std::filesystem::path& path) {
  auto text = read_whole_file(path.string());
  if (!text || !is_valid_utf8(*text)) return std::nullopt;
  return text;
}

}  // namespace

std::optional<std::string_view> mac_indicator(std::string_view mac_text) {
  std::string upper(mac_text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (upper.size() < 8) return std::nullopt;
  for (const auto& [prefix, indicator] : mac_prefixes) {
    if (std::string_view(upper).substr(0, 8) == prefix) return indicator;
  }
  return std::nullopt;
}

std::optional<std::string> dmi_indicator(std::string_view prefix, std::string_view text) {
  std::string lowered;
  append_lowercase_for_matching(lowered, text);
  for (const auto word : firmware_words) {
    if (lowered.find(word) != std::string::npos) {
      return std::string(prefix) + std::string(trim_unicode_whitespace(text));
    }
  }
  return std::nullopt;
}

std::vector<std::string> vm_indicators(const Platform& platform) {
  std::vector<std::string> indicators;
  if (hypervisor_flag(platform)) indicators.emplace_back("cpuid_hypervisor");

  if (const auto address = platform.mac_address()) {
    if (const auto indicator = mac_indicator(address->to_string())) {
      indicators.emplace_back(*indicator);
    }
  }

  const auto dmi = platform.sys_root / "class" / "dmi" / "id";
  const std::pair<const char*, std::string_view> firmware_files[] = {
      {"product_name", "dmi_product:"}, {"sys_vendor", "dmi_vendor:"}};
  for (const auto& [file, prefix] : firmware_files) {
    if (const auto text = read_firmware_file(dmi / file)) {
      if (auto indicator = dmi_indicator(prefix, *text))
        indicators.push_back(std::move(*indicator));
    }
  }
  return indicators;
}

}  // namespace sidecar
