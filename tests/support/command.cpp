#include "support/command.h"

#include <cstdio>

namespace sidecar::testing {

CommandResult run_command(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char chunk[4096];
  while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe)) {
    result.output.append(chunk, got);
  }
  result.status = pclose(pipe);
  return result;
}

}  // namespace sidecar::testing
