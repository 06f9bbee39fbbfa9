#pragma once

#include <cstdint>
#include <optional>

namespace sidecar {

struct CpuidLeaf {
  std::uint32_t eax = 0;
  std::uint32_t ebx = 0;
  std::uint32_t ecx = 0;
  std::uint32_t edx = 0;
};

// The processor's CPUID leaf `leaf` (sub-leaf 0); nothing on processors without the instruction.
std::optional<CpuidLeaf> execute_cpuid(std::uint32_t leaf);

}  // namespace sidecar
