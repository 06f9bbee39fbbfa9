#pragma once

#include <atomic>
#include <thread>

namespace sidecar::testing {

// Short-lived processes started without pause from a thread of the caller, each with two threads
// that live 20 ms, one of which renames itself. Runs until stopped or destroyed.
class Churn {
 public:
  Churn();
  ~Churn();
  Churn(const Churn&) = delete;
  Churn& operator=(const Churn&) = delete;

  // Stops starting processes and waits for the last ones to end.
  void stop();
  long started() const { return count; }

 private:
  void run();

  std::atomic<bool> running{true};
  std::atomic<long> count{0};
  std::thread worker;
};

}  // namespace sidecar::testing
