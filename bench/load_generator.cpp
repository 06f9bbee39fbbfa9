// Synthetic loads for measuring the sidecar.
//
//   sidecar_load PROCESSES THREADS CMDLINE_BYTES
//     PROCESSES children, each with THREADS threads in all and a command line of about
//     CMDLINE_BYTES bytes, like a browser's. Prints the children's process ids, one per line, then
//     waits to be killed.
//   sidecar_load churn SECONDS
//     For SECONDS, short-lived processes started without pause, each with two threads that live
//     20 ms, one of them renaming itself. Prints how many it started.
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/churn.h"

namespace {

void* sleep_forever(void*) {
  for (;;) pause();
}

int run_child(int threads) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  for (int i = 1; i < threads; ++i) {
    pthread_t thread;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 64 * 1024);
    pthread_create(&thread, &attributes, sleep_forever, nullptr);
  }
  for (;;) pause();
}

int run_churn(int seconds) {
  sidecar::testing::Churn churn({"/proc/self/exe", "--churn-child"});
  sidecar::testing::Churn renaming({"/proc/self/exe", "--churn-child", "rename"});
  sleep(static_cast<unsigned>(seconds));
  churn.stop();
  renaming.stop();
  std::printf("%ld\n", churn.started() + renaming.started());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--child") return run_child(std::atoi(argv[2]));
  if (argc >= 3 && std::string(argv[1]) == "churn") return run_churn(std::atoi(argv[2]));
  if (argc >= 2 && std::string(argv[1]) == "--churn-child")
    return sidecar::testing::churn_child(argc > 2);
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s PROCESSES THREADS CMDLINE_BYTES\n", argv[0]);
    return 2;
  }
  const int processes = std::atoi(argv[1]);
  const std::string threads = argv[2];
  const auto cmdline_bytes = static_cast<std::size_t>(std::atol(argv[3]));
  std::vector<std::string> arguments = {argv[0], "--child", threads};
  for (std::size_t size = 0; size < cmdline_bytes; size += 64) {
    arguments.push_back("--enable-features=SyntheticFeature" + std::to_string(size) +
                        ",AnotherSyntheticFlag");
  }
  std::vector<char*> child_argv;
  for (auto& argument : arguments) child_argv.push_back(argument.data());
  child_argv.push_back(nullptr);

  for (int i = 0; i < processes; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      execv("/proc/self/exe", child_argv.data());
      _exit(127);
    }
    std::printf("%d\n", child);
  }
  std::fflush(stdout);
  for (;;) pause();
}
