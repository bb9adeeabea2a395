// Byte streams the program is handed or makes for itself: standard input and output (a pipe, a
// terminal or a regular file), inputs read front to back or at offsets, an unnamed spool file.
// Descriptors are the platform's numbers; 0 and 1 are standard input and output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace uq::platform {

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;

// What an open descriptor is.
struct StreamInfo {
  bool ok = false;          // it could be examined (err says why not)
  int err = 0;
  bool regular = false;     // a regular file
  bool terminal = false;
  // A regular file written at a position of its own (not appending): bytes written to it can
  // be written again at their offset.
  bool rewritable = false;
  std::uint64_t position = 0;  // a regular file's current offset, where the next byte goes
  std::uint64_t size = 0;      // a regular file's size, as it claims
  std::uint64_t device = 0;    // with `inode`, tells one file from another
  std::uint64_t inode = 0;
};
StreamInfo describe_stream(int fd);

// Reads up to `len` bytes, filling all of them unless the stream ends first. Gives the count (0
// at the end), or -1 with errno set. Interrupted reads are retried.
std::int64_t read_full(int fd, std::uint8_t* dst, std::size_t len);
// The same at byte `offset` of a regular file, leaving its position alone.
std::int64_t read_full_at(int fd, std::uint64_t offset, std::uint8_t* dst, std::size_t len);

// Writes all `len` bytes; gives 0, or the errno of the failure (EPIPE when the reader of a pipe
// has gone: SIGPIPE must be ignored for that). A write that takes nothing counts as ENOSPC.
int write_full(int fd, const std::uint8_t* data, std::size_t len);
// The same at byte `offset` of a regular file.
int write_full_at(int fd, std::uint64_t offset, const std::uint8_t* data, std::size_t len);

// Opens a new file for reading and writing in the directory for temporary files (TMPDIR, or the
// platform's own), with no name left behind: it is gone when closed, whatever ends the process.
// Gives the descriptor, or -1 with errno set.
int open_spool_file();

// Closes a descriptor this program opened. Gives 0 or the errno of the failure.
int close_file(int fd);

// Removes the file `path` (a name, not a directory). Gives 0 or the errno of the failure.
int remove_file(const std::string& path);

// sync_directory (a rename made durable) is in platform/output_file.h.

}  // namespace uq::platform
