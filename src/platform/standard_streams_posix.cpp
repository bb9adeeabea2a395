// Standard streams over isatty and write on descriptors 0 to 2.
#include "platform/standard_streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace uq::platform {

namespace {

int descriptor_of(StandardStream stream) {
  switch (stream) {
    case StandardStream::input: return STDIN_FILENO;
    case StandardStream::output: return STDOUT_FILENO;
    case StandardStream::error: return STDERR_FILENO;
  }
  return -1;
}

}  // namespace

bool is_terminal(StandardStream stream) { return isatty(descriptor_of(stream)) != 0; }

void use_binary_standard_streams() {}

void widen_standard_output_pipe() {
  struct stat st {};
  if (fstat(STDOUT_FILENO, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  // 1 MiB is what /proc/sys/fs/pipe-max-size allows every user by default.
  fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
}

int write_standard_output(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(STDOUT_FILENO, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

void end_by_broken_pipe() {
  std::fflush(stderr);
  std::signal(SIGPIPE, SIG_DFL);
  std::raise(SIGPIPE);
  _exit(1);  // SIGPIPE blocked: the same end, without the signal
}

}  // namespace uq::platform
