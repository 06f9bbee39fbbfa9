#include "support/churn.h"

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace sidecar::testing {
namespace {

void* linger(void* rename) {
  if (rename) pthread_setname_np(pthread_self(), "churn-renamed");
  usleep(20'000);
  return nullptr;
}

}  // namespace

Churn::Churn() : worker([this] { run(); }) {}

Churn::~Churn() { stop(); }

void Churn::stop() {
  running = false;
  if (worker.joinable()) worker.join();
}

void Churn::run() {
  std::vector<pid_t> children;
  while (running) {
    const pid_t child = fork();
    if (child == 0) {
      pthread_t threads[2];
      pthread_create(&threads[0], nullptr, linger, nullptr);
      pthread_create(&threads[1], nullptr, linger, count % 2 == 0 ? &threads : nullptr);
      usleep(20'000);
      _exit(0);
    }
    if (child > 0) {
      ++count;
      children.push_back(child);
    }
    for (auto it = children.begin(); it != children.end();) {
      it = waitpid(*it, nullptr, WNOHANG) == *it ? children.erase(it) : it + 1;
    }
    usleep(2'000);
  }
  for (const pid_t child : children) waitpid(child, nullptr, 0);
}

}  // namespace sidecar::testing
