// Directory listing: open a directory, read its names one at a time, close it.
#pragma once

#include <cstdint>
#include <string>

namespace uq::platform {

// One open listing of a directory. Names come in the platform's order, "." and ".." included.
// The listing is closed by close() or when the object goes.
class DirListing {
 public:
  DirListing() = default;
  ~DirListing() { close(); }
  DirListing(const DirListing&) = delete;
  DirListing& operator=(const DirListing&) = delete;

  // Opens a listing of `path`, which succeeds only for an existing directory that can be read.
  // Gives 0, or the errno of the failure (ENOTDIR for anything that is not a directory).
  int open(const std::string& path);

  // The next name into `name`; false after the last one, or when reading fails (see error()).
  bool next(std::string& name);

  // 0, or the errno of a failed read, which ends the listing early.
  int error() const { return error_; }

  // Device and inode of the directory that is open (following symbolic links).
  std::uint64_t device() const { return device_; }
  std::uint64_t inode() const { return inode_; }

  void close();

 private:
  void* handle_ = nullptr;  // the platform's listing (a DIR*, or a directory handle with its buffer)
  int error_ = 0;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
};

}  // namespace uq::platform
