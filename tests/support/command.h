#pragma once

#include <string>

namespace sidecar::testing {

struct CommandResult {
  std::string output;  // all of its standard output
  int status = -1;     // the wait status, -1 when it could not be started
};

// Runs `command` with /bin/sh and waits for it to end.
CommandResult run_command(const std::string& command);

}  // namespace sidecar::testing
