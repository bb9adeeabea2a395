// File status of a path and making one directory level.
#pragma once

#include <cstdint>
#include <string>

namespace uq::platform {

enum class FileKind { regular, directory, other };

struct FileStatus {
  bool ok = false;        // the status could be read
  int err = 0;            // errno when it could not
  FileKind kind = FileKind::other;
  std::uint64_t device = 0;  // with `inode`, tells one directory from another
  std::uint64_t inode = 0;
};

// The status of `path`, following symbolic links.
FileStatus file_status(const std::string& path);

// Makes the directory `path` (its parent must exist). Gives 0, or the errno of the failure
// (EEXIST when something of that name exists already).
int make_directory(const std::string& path);

}  // namespace uq::platform
