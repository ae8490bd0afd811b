/* The floor for supervising: start the client as a child and poll it every
 * 250 ms with waitpid and nanosleep, the system calls the supervision road
 * cannot do without, and nothing else.
 *
 *   poll-floor PROGRAM [ARGS...]     exits with the child's exit status */
#define _GNU_SOURCE
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  pid_t pid;
  if (posix_spawn(&pid, argv[1], NULL, NULL, argv + 1, environ) != 0) return 1;
  for (;;) {
    int status;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r < 0) return 1;
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    struct timespec d = {0, 250000000};
    while (nanosleep(&d, &d) != 0) {
    }
  }
}
