// Output files over open, pwrite and close: positioned writes need no shared file position, so
// blocks may be written in any order and from any thread.
#include "platform/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace uq::platform {

int OutputFile::open() {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return fd_ < 0 ? errno : 0;
}

OutputFile::~OutputFile() { close(); }

int OutputFile::write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EFBIG;
  while (size > 0) {
    errno = 0;
    ssize_t n = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return errno != 0 ? errno : ENOSPC;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return 0;
}

int OutputFile::close() {
  if (fd_ < 0) return 0;
  int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace uq::platform
