#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace sidecar::testing {

// Short-lived processes started without pause from a thread of the caller, each running
// `command`: `total` of them when given, otherwise until stopped or destroyed. Each child only
// executes the command after fork, so the caller's other threads (and their locks) cannot hang it.
class Churn {
 public:
  explicit Churn(std::vector<std::string> command, long total = -1);
  ~Churn();
  Churn(const Churn&) = delete;
  Churn& operator=(const Churn&) = delete;

  // Stops starting processes; the last ones are killed and reaped.
  void stop();
  long started() const { return count; }
  // Every one of the `total` processes has been started and has ended.
  bool finished() const { return done; }
  // The identifiers of every process started; complete once stopped or finished.
  const std::vector<pid_t>& started_pids() const { return pids; }

 private:
  void run();

  std::vector<std::string> command;
  long total;
  std::atomic<bool> running{true};
  std::atomic<bool> done{false};
  std::atomic<long> count{0};
  std::vector<pid_t> pids;
  std::thread worker;
};

// What a churned process does: start two threads that live 20 ms, one of which renames itself
// when `rename` is set, and end. 1 when a thread cannot be started.
int churn_child(bool rename);

}  // namespace sidecar::testing
