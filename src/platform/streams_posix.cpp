// Byte streams over read, pread, write, pwrite, fstat, lseek, fcntl, isatty and O_TMPFILE (or
// mkostemp and unlink where the file system lacks it).
#include "platform/streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace uq::platform {

StreamInfo describe_stream(int fd) {
  StreamInfo info;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    info.err = errno;
    return info;
  }
  info.ok = true;
  info.terminal = ::isatty(fd) != 0;
  info.device = static_cast<std::uint64_t>(st.st_dev);
  info.inode = static_cast<std::uint64_t>(st.st_ino);
  if (!S_ISREG(st.st_mode)) return info;
  info.regular = true;
  info.size = static_cast<std::uint64_t>(st.st_size);
  const off_t at = ::lseek(fd, 0, SEEK_CUR);
  const int flags = ::fcntl(fd, F_GETFL);
  info.position = at > 0 ? static_cast<std::uint64_t>(at) : 0;
  // In append mode every write goes to the end, pwrite's offset included.
  info.rewritable = at >= 0 && flags != -1 && (flags & O_APPEND) == 0;
  return info;
}

std::int64_t read_full(int fd, std::uint8_t* dst, std::size_t len) {
  std::size_t got = 0;
  while (got < len) {
    const ssize_t n = ::read(fd, dst + got, len - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(got);
}

std::int64_t read_full_at(int fd, std::uint64_t offset, std::uint8_t* dst, std::size_t len) {
  std::size_t got = 0;
  while (got < len) {
    const ssize_t n = ::pread(fd, dst + got, len - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(got);
}

int write_full(int fd, const std::uint8_t* data, std::size_t len) {
  std::size_t done = 0;
  while (done < len) {
    const ssize_t n = ::write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

int write_full_at(int fd, std::uint64_t offset, const std::uint8_t* data, std::size_t len) {
  std::size_t done = 0;
  while (done < len) {
    const ssize_t n = ::pwrite(fd, data + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

int open_spool_file() {
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string dir = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  const int fd = ::open(dir.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  // No unnamed files here: a named one, unlinked at once.
  std::string templ = dir + "/quarvex-spool.XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  const int named = ::mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) ::unlink(name.data());
  return named;
}

int close_file(int fd) { return ::close(fd) == 0 ? 0 : errno; }

int remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

}  // namespace uq::platform
