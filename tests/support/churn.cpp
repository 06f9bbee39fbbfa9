#include "support/churn.h"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

namespace sidecar::testing {
namespace {

void* linger(void* rename) {
  if (rename) pthread_setname_np(pthread_self(), "churn-renamed");
  usleep(20'000);
  return nullptr;
}

}  // namespace

int churn_child(bool rename) {
  pthread_t threads[2];
  int started = 0;
  while (started < 2 && pthread_create(&threads[started], nullptr, linger,
                                       started == 1 && rename ? &threads : nullptr) == 0) {
    ++started;
  }
  for (int i = 0; i < started; ++i) pthread_join(threads[i], nullptr);
  return started == 2 ? 0 : 1;
}

Churn::Churn(std::vector<std::string> command_in, long total_in)
    : command(std::move(command_in)), total(total_in), worker([this] { run(); }) {}

Churn::~Churn() { stop(); }

void Churn::stop() {
  running = false;
  if (worker.joinable()) worker.join();
}

void Churn::run() {
  std::vector<char*> argv;
  for (auto& part : command) argv.push_back(part.data());
  argv.push_back(nullptr);
  std::vector<pid_t> children;
  const auto all_started = [&] { return total >= 0 && count >= total; };
  while (running && !(all_started() && children.empty())) {
    if (!all_started()) {
      const pid_t child = fork();
      if (child == 0) {
        execv(argv[0], argv.data());
        _exit(127);
      }
      if (child > 0) {
        ++count;
        children.push_back(child);
        pids.push_back(child);
      }
    }
    for (auto it = children.begin(); it != children.end();) {
      it = waitpid(*it, nullptr, WNOHANG) == *it ? children.erase(it) : it + 1;
    }
    usleep(2'000);
  }
  done = all_started() && children.empty();
  for (const pid_t child : children) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
}

}  // namespace sidecar::testing
