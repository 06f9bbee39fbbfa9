#include "host/cpuid.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace sidecar {

std::optional<CpuidLeaf> execute_cpuid(std::uint32_t leaf) {
#if defined(__x86_64__) || defined(__i386__)
  CpuidLeaf result;
  __cpuid_count(leaf, 0, result.eax, result.ebx, result.ecx, result.edx);
  return result;
#else
  (void)leaf;
  return std::nullopt;
#endif
}

}  // namespace sidecar
