// Process-level services over sched_getaffinity, sysconf, signal and _exit.
#include "platform/system.h"

#include <sched.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace uq::platform {

int processor_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  int count = 0;
  if (sched_getaffinity(0, sizeof set, &set) == 0) count = CPU_COUNT(&set);
  if (count <= 0) count = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  return count <= 0 ? 1 : count;
}

void ignore_fatal_write_signals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

const char* error_text(int err) { return std::strerror(err); }

void exit_now(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status & 0xff);
}

}  // namespace uq::platform
