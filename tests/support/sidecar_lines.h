#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace sidecar::testing {

// The sidecar under test, built beside the tests.
inline ChildProcess start_sidecar(const ChildOptions& options = {}) {
  return ChildProcess(SIDECAR_BINARY, options);
}

// A compact JSON object: braces around it and no white space outside strings.
inline bool is_compact_object(const std::string& line) {
  if (line.size() < 2 || line.front() != '{' || line.back() != '}') return false;
  bool in_string = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c < 0x20) return false;
    if (in_string) {
      if (c == '\\') ++i;
      if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == ' ') {
      return false;
    }
  }
  return !in_string;
}

// Whether a line is about the process or thread `pid`: the subject of a finding, or the owner of
// an overlay. Other programs on the machine may be reported too; a test looks for its own.
inline bool is_about(const std::string& line, pid_t pid) {
  const std::string id = std::to_string(pid);
  return line.find(R"("pid":)" + id + ",") != std::string::npos ||
         line.find(R"("owner_pid":)" + id + ",") != std::string::npos;
}

// The voluntary context switches of `pid`, -1 when unreadable. The sidecar's loop sleeps once a
// turn and blocks nowhere else, so their growth counts its polls.
inline long voluntary_switches(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::atol(line.c_str() + 24);
  }
  return -1;
}

inline std::string event_tag(const std::string& line) {
  const std::string prefix = R"({"event":")";
  if (line.rfind(prefix, 0) != 0) return {};
  return line.substr(prefix.size(), line.find('"', prefix.size()) - prefix.size());
}

// The first stdout line within `timeout` for which `wanted` holds; every line read on the way is
// appended to `seen` when given. Nothing once stdout has ended.
inline std::optional<std::string> wait_for_line(
    ChildProcess& child, const std::function<bool(const std::string&)>& wanted,
    std::chrono::milliseconds timeout, std::vector<std::string>* seen = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    auto line = child.read_line(left);
    if (!line) {
      if (child.out_ended()) break;
      continue;
    }
    if (seen) seen->push_back(*line);
    if (wanted(*line)) return line;
  }
  return std::nullopt;
}

}  // namespace sidecar::testing
