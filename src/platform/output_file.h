// A restored file being written: created (or truncated) once, written at 64-bit offsets in any
// order, closed once. Made in two steps, so that everything that allocates is done before the
// file is touched: a lack of memory then never leaves a file created and unaccounted for. Below
// it, the same positioned writes on a descriptor opened elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace uq::platform {

class OutputFile {
 public:
  // Nothing is opened yet.
  explicit OutputFile(std::string path) : path_(std::move(path)) {}
  ~OutputFile();

  // Creates or truncates the file for writing. Gives 0, or the errno of the failure.
  int open();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes all `size` bytes at byte `offset`. Gives 0, or the errno of the failure (a short
  // write that sets no errno counts as ENOSPC, since the disk took no more).
  int write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t size);

  // What a copy from another file came to: 0, or the errno of the failure, and on which side.
  struct CopyResult {
    int err = 0;
    bool reading = false;     // the source failed (err 0: it ended early)
    std::size_t copied = 0;   // bytes copied before a failure
  };

  // Copies `size` bytes at `source_offset` of the file `source` (a descriptor from
  // duplicate_input, stream.h) to byte `offset`, inside the kernel where it can
  // (copy_file_range), through a small buffer where it can't.
  CopyResult copy_from(int source, std::uint64_t source_offset, std::uint64_t offset, std::size_t size);

  // Whether the output is a regular file, whose unwritten bytes read as zeros.
  bool regular() const { return regular_; }

  // Makes the file at least `size` bytes long; the bytes added read as zeros. Gives 0 or errno.
  int extend_to(std::uint64_t size);

  // Closes the file. Gives 0, or the errno of the failure. Closing twice is a no-op.
  int close();

  const std::string& path() const { return path_; }

 private:
  std::intptr_t file_ = -1;  // descriptor or handle; -1 (also Windows' invalid handle) when closed
  bool regular_ = false;
  std::string path_;
};

// Writes all `size` bytes at byte `offset` of the open file `fd`. Gives 0, or the errno of the
// failure (a short write that sets no errno counts as ENOSPC).
int write_at(int fd, std::uint64_t offset, const std::uint8_t* data, std::size_t size);

// Makes the open file `fd` at least `size` bytes long; the bytes added read as zeros. Gives 0 or
// the errno.
int extend_file(int fd, std::uint64_t size);

// Flushes the directory `path` itself to the disk, so that a rename or a new name in it survives
// a crash. Gives 0 or the errno.
int sync_directory(const std::string& path);

}  // namespace uq::platform
