// Process-level services over sched_getaffinity, sysconf, signal, fcntl and _exit.
#include "platform/system.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
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

void ignore_file_size_signal() { std::signal(SIGXFSZ, SIG_IGN); }

const char* error_text(int err) { return std::strerror(err); }

namespace {
StandardStreams missing;
}  // namespace

void guard_standard_streams() {
  bool* const closed[3] = {&missing.input_closed, &missing.output_closed, &missing.error_closed};
  for (int fd = 0; fd < 3; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    *closed[fd] = true;
    // The lowest free number is `fd` itself, since the ones below it are open by now.
    const int null_fd = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) ::close(null_fd);
  }
}

const StandardStreams& missing_standard_streams() { return missing; }

void exit_now(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status & 0xff);
}

}  // namespace uq::platform
