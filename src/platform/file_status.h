// File status of a path (or of standard input) and making one directory level.
#pragma once

#include <cstdint>
#include <string>

namespace uq::platform {

enum class FileKind { regular, directory, other };

// A point in time as a file's status gives it: seconds since 1970 and the nanoseconds after them.
struct FileTime {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
};

struct FileStatus {
  bool ok = false;        // the status could be read
  int err = 0;            // errno when it could not
  FileKind kind = FileKind::other;
  std::uint64_t device = 0;  // with `inode`, tells one file or directory from another
  std::uint64_t inode = 0;
  std::uint32_t mode = 0;    // permission bits with set-id and sticky bits (07777), as chmod takes them
  std::uint64_t size = 0;    // of a regular file
  FileTime accessed;         // last access and last modification
  FileTime modified;
  bool link = false;         // a symbolic link (on Windows also a junction) itself: link_status alone
};

// The status of `path`, following symbolic links.
FileStatus file_status(const std::string& path);

// The status of `path` itself: a symbolic link is not followed, and says so in `link`.
FileStatus link_status(const std::string& path);

// The status of the open file `fd`.
FileStatus descriptor_status(int fd);

// The status of what standard input is (a file, a pipe, a terminal...).
FileStatus standard_input_status();

// Makes the directory `path` (its parent must exist). Gives 0, or the errno of the failure
// (EEXIST when something of that name exists already).
int make_directory(const std::string& path);

}  // namespace uq::platform
