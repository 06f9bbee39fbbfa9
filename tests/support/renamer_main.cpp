// A program that renames itself from inside, as a preloaded library could, then waits to be
// killed: `sidecar_renamer NAME`.
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2 || prctl(PR_SET_NAME, argv[1], 0, 0, 0) != 0) return 2;
  for (;;) pause();
}
