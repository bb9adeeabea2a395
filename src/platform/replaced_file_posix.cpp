// Temporary files and their renames over open (O_EXCL), fchmod, futimens, renameat2 (or link where
// the file system lacks it) and rename; interruptions through sigaction.
#include "platform/replaced_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace uq::platform {

namespace {

void (*interruption_cleanup)() = nullptr;

extern "C" void on_fatal_signal(int sig) {
  if (interruption_cleanup != nullptr) interruption_cleanup();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

int create_new_file(const std::string& path) {
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
}

// O_NONBLOCK: a FIFO put in place of a file since the plan must not hang the run.
int open_for_reading(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }

std::uint32_t new_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

int set_file_mode(int fd, std::uint32_t mode) { return ::fchmod(fd, static_cast<mode_t>(mode)) == 0 ? 0 : errno; }

int set_file_times(int fd, const FileTime* times) {
  if (times == nullptr) return ::futimens(fd, nullptr) == 0 ? 0 : errno;
  const timespec both[2] = {{static_cast<time_t>(times[0].seconds), static_cast<long>(times[0].nanoseconds)},
                            {static_cast<time_t>(times[1].seconds), static_cast<long>(times[1].nanoseconds)}};
  return ::futimens(fd, both) == 0 ? 0 : errno;
}

int rename_without_replacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  // A hard link fails on an existing name too; the temporary name then goes.
  if (errno == EINVAL || errno == ENOSYS) {
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return 0;
    }
  }
  return errno;
}

int rename_replacing(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void on_interruption(void (*cleanup)()) {
  interruption_cleanup = cleanup;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
  }
}

void remove_file_at_once(const char* path) { ::unlink(path); }

void interrupt_as_the_user_would() {
  std::raise(SIGINT);
  _exit(128 + SIGINT);  // SIGINT blocked: the same end, without the signal
}

}  // namespace uq::platform
