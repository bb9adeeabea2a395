// Directory listing over opendir, readdir and closedir.
#include "platform/dir_listing.h"

#include <sys/stat.h>

#include <cerrno>

namespace uq::platform {

int DirListing::open(const std::string& path) {
  close();
  error_ = 0;
  dir_ = opendir(path.c_str());
  if (dir_ == nullptr) return errno;
  // The identity of what was opened, not of what the path names a moment later.
  struct stat st {};
  if (fstat(dirfd(dir_), &st) == 0) {
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
  return 0;
}

bool DirListing::next(std::string& name) {
  if (dir_ == nullptr) return false;
  errno = 0;  // readdir tells its end from a failure only through errno
  const dirent* entry = readdir(dir_);
  if (entry == nullptr) {
    error_ = errno;
    return false;
  }
  name = entry->d_name;
  return true;
}

void DirListing::close() {
  if (dir_ != nullptr) closedir(dir_);
  dir_ = nullptr;
}

}  // namespace uq::platform
