#pragma once

#include <cstdint>
#include <string>

namespace sidecar {

// A running AI interview-assistant program: its identifier and process name.
struct AiAssistantMatch {
  std::uint32_t pid = 0;
  std::string name;
};

}  // namespace sidecar
