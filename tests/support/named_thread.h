#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace sidecar::testing {

// A thread of this test process that names itself as it starts and lives as long as the object.
class NamedThread {
 public:
  explicit NamedThread(std::string name)
      : thread([this, name = std::move(name)] {
          pthread_setname_np(pthread_self(), name.c_str());
          std::unique_lock held(lock);
          tid = gettid();
          changed.notify_all();
          changed.wait(held, [this] { return done; });
        }) {
    std::unique_lock held(lock);
    changed.wait(held, [this] { return tid != 0; });
  }
  ~NamedThread() {
    {
      std::lock_guard held(lock);
      done = true;
    }
    changed.notify_all();
    thread.join();
  }
  pid_t id() const { return tid; }

 private:
  std::mutex lock;
  std::condition_variable changed;
  pid_t tid = 0;
  bool done = false;
  std::thread thread;
};

}  // namespace sidecar::testing
