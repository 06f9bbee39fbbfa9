// Runs a program under a seccomp filter that makes every directory listing (getdents64) fail
// with EPERM, as a candidate's launcher could without any privilege.
//
//   sidecar_seccomp_launcher PROGRAM [ARGS...]
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: sidecar_seccomp_launcher PROGRAM [ARGS...]\n", stderr);
    return 2;
  }
#if defined(__x86_64__)
  constexpr unsigned arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  constexpr unsigned arch = AUDIT_ARCH_AARCH64;
#else
#error "no audit architecture for this processor"
#endif
  sock_filter filter[] = {
      // Another architecture's calls are killed rather than misread.
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getdents64, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    std::perror("seccomp");
    return 1;
  }
  execv(argv[1], argv + 1);
  std::perror("execv");
  return 127;
}
