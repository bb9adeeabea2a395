// Output files over open, pwrite, ftruncate and close: positioned writes need no shared file
// position, so blocks may be written in any order and from any thread.
#include "platform/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace uq::platform {

namespace {

int fd_of(std::intptr_t file) { return static_cast<int>(file); }

}  // namespace

int OutputFile::open() {
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  file_ = fd;
  struct stat st {};
  regular_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  return 0;
}

OutputFile::CopyResult OutputFile::copy_from(int source, std::uint64_t source_offset, std::uint64_t offset,
                                             std::size_t size) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return {EFBIG, false, 0};
  const std::size_t asked = size;
  auto in = static_cast<off_t>(source_offset);
  auto out = static_cast<off_t>(offset);
  while (size > 0) {
    const ssize_t n = ::copy_file_range(source, &in, fd_of(file_), &out, size, 0);
    if (n > 0) {
      size -= static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // Refused (another file system, a device, an old kernel), failed or ended early: the
      // positioned copy below goes on from here, and tells a failed read from a failed write.
      break;
    }
  }
  std::uint8_t buffer[1 << 16];
  while (size > 0) {
    errno = 0;
    const ssize_t n = ::pread(source, buffer, std::min(size, sizeof buffer), in);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {n < 0 ? errno : 0, true, asked - size};
    if (int err = write_at(static_cast<std::uint64_t>(out), buffer, static_cast<std::size_t>(n)); err != 0) {
      return {err, false, asked - size};
    }
    in += n;
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

int OutputFile::extend_to(std::uint64_t size) { return extend_file(fd_of(file_), size); }

OutputFile::~OutputFile() { close(); }

int OutputFile::write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  return platform::write_at(fd_of(file_), offset, data, size);
}

int write_at(int fd, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EFBIG;
  while (size > 0) {
    errno = 0;
    ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
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

int extend_file(int fd, std::uint64_t size) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  if (static_cast<std::uint64_t>(st.st_size) >= size) return 0;
  return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int sync_directory(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int err = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return err;
}

int OutputFile::close() {
  if (file_ < 0) return 0;
  const int fd = fd_of(file_);
  file_ = -1;
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace uq::platform
