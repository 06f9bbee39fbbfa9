#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace sidecar::testing {

// Short-lived processes started without pause from a thread of the caller, each running
// `command`, until stopped or destroyed. Each child only executes the command after fork, so the
// caller's other threads (and their locks) cannot hang it.
class Churn {
 public:
  explicit Churn(std::vector<std::string> command);
  ~Churn();
  Churn(const Churn&) = delete;
  Churn& operator=(const Churn&) = delete;

  // Stops starting processes; the last ones are killed and reaped.
  void stop();
  long started() const { return count; }
  // The identifiers of every process started; complete once stopped.
  const std::vector<pid_t>& started_pids() const { return pids; }

 private:
  void run();

  std::vector<std::string> command;
  std::atomic<bool> running{true};
  std::atomic<long> count{0};
  std::vector<pid_t> pids;
  std::thread worker;
};

// What a churned process does: start two threads that live 20 ms, one of which renames itself
// when `rename` is set, and end.
int churn_child(bool rename);

}  // namespace sidecar::testing
