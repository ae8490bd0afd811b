/* A trivial, statically linked client for the benchmarks.
 *
 *   client                       exits 0 at once
 *   client --watch SECONDS FILE  runs SECONDS, then appends to FILE the
 *                                parent's CPU time (ns) at its start and at
 *                                its end, the nanoseconds actually run, the
 *                                parent's peak resident set (kB) and its
 *                                private dirty pages now (kB; 0 where the
 *                                system does not tell)
 *   client --relaunch N FILE     appends "start <ns>" to FILE; while fewer
 *                                than N starts are logged, appends
 *                                "exit <ns>" and exits 42, else exits 0
 *
 * Times are CLOCK_MONOTONIC nanoseconds; the parent is the launcher that
 * supervises this client. Only raw system calls and no stdio, so the client
 * itself costs as little as a process can. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static uint64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static char* put_u64(char* p, uint64_t v) {
  char tmp[24];
  int n = 0;
  do {
    tmp[n++] = (char)('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) *p++ = tmp[--n];
  return p;
}

static void append_line(const char* path, const char* text, size_t len) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) _exit(3);
  if (write(fd, text, len) != (ssize_t)len) _exit(3);
  close(fd);
}

static ssize_t read_small(const char* path, char* buf, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t n = read(fd, buf, size - 1);
  close(fd);
  if (n >= 0) buf[n] = '\0';
  return n;
}

/* First field of /proc/PID/schedstat: time spent on a CPU, in nanoseconds. */
static uint64_t parent_cpu_ns(void) {
  char path[64], buf[256];
  char* p = put_u64(stpcpy(path, "/proc/"), (uint64_t)getppid());
  strcpy(p, "/schedstat");
  if (read_small(path, buf, sizeof buf) <= 0) _exit(4);
  return strtoull(buf, NULL, 10);
}

static uint64_t parent_peak_rss_kb(void) {
  char path[64], buf[4096];
  char* p = put_u64(stpcpy(path, "/proc/"), (uint64_t)getppid());
  strcpy(p, "/status");
  if (read_small(path, buf, sizeof buf) <= 0) _exit(4);
  const char* hwm = strstr(buf, "VmHWM:");
  if (hwm == NULL) _exit(4);
  return strtoull(hwm + 6, NULL, 10);
}

/* The memory a process has of its own: written pages no other process shares
 * (its heap, stack and data, and what relocation touched), without the pages
 * of the shared libraries that every process maps. */
static uint64_t parent_private_dirty_kb(void) {
  char path[64], buf[4096];
  char* p = put_u64(stpcpy(path, "/proc/"), (uint64_t)getppid());
  strcpy(p, "/smaps_rollup");
  if (read_small(path, buf, sizeof buf) <= 0) return 0;
  const char* dirty = strstr(buf, "Private_Dirty:");
  return dirty == NULL ? 0 : strtoull(dirty + 14, NULL, 10);
}

static size_t count_starts(const char* path) {
  char buf[65536];
  const ssize_t n = read_small(path, buf, sizeof buf);
  size_t starts = 0;
  for (ssize_t i = 0; i + 5 < n; ++i) {
    starts += (i == 0 || buf[i - 1] == '\n') && memcmp(buf + i, "start", 5) == 0;
  }
  return starts;
}

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--watch") == 0) {
    const uint64_t t0 = now_ns();
    const uint64_t cpu0 = parent_cpu_ns();
    struct timespec d = {strtol(argv[2], NULL, 10), 0};
    while (nanosleep(&d, &d) != 0) {
    }
    const uint64_t cpu1 = parent_cpu_ns();
    const uint64_t ran = now_ns() - t0;
    char line[128];
    char* p = put_u64(line, cpu0);
    *p++ = ' ';
    p = put_u64(p, cpu1);
    *p++ = ' ';
    p = put_u64(p, ran);
    *p++ = ' ';
    p = put_u64(p, parent_peak_rss_kb());
    *p++ = ' ';
    p = put_u64(p, parent_private_dirty_kb());
    *p++ = '\n';
    append_line(argv[3], line, (size_t)(p - line));
    return 0;
  }
  if (argc == 4 && strcmp(argv[1], "--relaunch") == 0) {
    char line[64];
    char* p = put_u64(stpcpy(line, "start "), now_ns());
    *p++ = '\n';
    append_line(argv[3], line, (size_t)(p - line));
    if (count_starts(argv[3]) >= strtoull(argv[2], NULL, 10)) return 0;
    p = put_u64(stpcpy(line, "exit "), now_ns());
    *p++ = '\n';
    append_line(argv[3], line, (size_t)(p - line));
    return 42;
  }
  return 0;
}
