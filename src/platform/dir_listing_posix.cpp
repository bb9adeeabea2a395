// Directory listing over opendir, readdir and closedir.
#include "platform/dir_listing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

namespace uq::platform {

namespace {

DIR* dir_of(void* handle) { return static_cast<DIR*>(handle); }

}  // namespace

int DirListing::open(const std::string& path) {
  close();
  error_ = 0;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return errno;
  handle_ = dir;
  // The identity of what was opened, not of what the path names a moment later.
  struct stat st {};
  if (fstat(dirfd(dir), &st) == 0) {
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
  return 0;
}

bool DirListing::next(std::string& name) {
  if (handle_ == nullptr) return false;
  errno = 0;  // readdir tells its end from a failure only through errno
  const dirent* entry = readdir(dir_of(handle_));
  if (entry == nullptr) {
    error_ = errno;
    return false;
  }
  name = entry->d_name;
  return true;
}

void DirListing::close() {
  if (handle_ != nullptr) closedir(dir_of(handle_));
  handle_ = nullptr;
}

}  // namespace uq::platform
