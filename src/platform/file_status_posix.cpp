// File status and directory creation over stat and mkdir.
#include "platform/file_status.h"

#include <sys/stat.h>

#include <cerrno>

namespace uq::platform {

FileStatus file_status(const std::string& path) {
  FileStatus status;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    status.err = errno;
    return status;
  }
  status.ok = true;
  status.kind = S_ISREG(st.st_mode)   ? FileKind::regular
                : S_ISDIR(st.st_mode) ? FileKind::directory
                                      : FileKind::other;
  status.device = st.st_dev;
  status.inode = st.st_ino;
  return status;
}

int make_directory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0 ? 0 : errno; }

}  // namespace uq::platform
