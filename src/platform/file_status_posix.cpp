// File status and directory creation over stat, lstat, fstat and mkdir.
#include "platform/file_status.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace uq::platform {

namespace {

FileStatus status_of(int result, const struct stat& st) {
  FileStatus status;
  if (result != 0) {
    status.err = errno;
    return status;
  }
  status.ok = true;
  status.kind = S_ISREG(st.st_mode)   ? FileKind::regular
                : S_ISDIR(st.st_mode) ? FileKind::directory
                                      : FileKind::other;
  status.device = st.st_dev;
  status.inode = st.st_ino;
  status.mode = st.st_mode & 07777;
  status.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  status.accessed = {st.st_atim.tv_sec, st.st_atim.tv_nsec};
  status.modified = {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  return status;
}

}  // namespace

FileStatus file_status(const std::string& path) {
  struct stat st {};
  const int result = stat(path.c_str(), &st);
  return status_of(result, st);
}

FileStatus link_status(const std::string& path) {
  struct stat st {};
  const int result = lstat(path.c_str(), &st);
  FileStatus status = status_of(result, st);
  status.link = result == 0 && S_ISLNK(st.st_mode);
  return status;
}

FileStatus descriptor_status(int fd) {
  struct stat st {};
  const int result = fstat(fd, &st);
  return status_of(result, st);
}

FileStatus standard_input_status() {
  struct stat st {};
  const int result = fstat(STDIN_FILENO, &st);
  return status_of(result, st);
}

int make_directory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0 ? 0 : errno; }

}  // namespace uq::platform
