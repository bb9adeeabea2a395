// A restored file being written: created (or truncated) once, written at 64-bit offsets in any
// order, closed once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace uq::platform {

class OutputFile {
 public:
  // Creates or truncates `path` for writing. Gives null and sets `err` to errno on failure.
  static std::unique_ptr<OutputFile> create(const std::string& path, int& err);

  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes all `size` bytes at byte `offset`. Gives 0, or the errno of the failure (a short
  // write that sets no errno counts as ENOSPC, since the disk took no more).
  int write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t size);

  // Closes the file. Gives 0, or the errno of the failure. Closing twice is a no-op.
  int close();

  const std::string& path() const { return path_; }

 private:
  OutputFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

}  // namespace uq::platform
