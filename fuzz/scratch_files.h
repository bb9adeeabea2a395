// Files the whole-file targets restore from and into: the input lives in a memory file refilled
// for every input, the outputs in one temporary directory that is removed when the process ends.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace uq::fuzz {

// The bytes of one input, as a file that the restore can open by name.
class InputFile {
 public:
  InputFile() {
    fd_ = memfd_create("fuzz-input.qvx", 0);
    if (fd_ < 0) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  const std::string& fill(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(fd_, 0) != 0 ||
        (size > 0 && pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size))) {
      std::abort();
    }
    return path_;
  }

 private:
  int fd_ = -1;
  std::string path_;
};

// A temporary directory for the restored files, gone at exit.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "uqfuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

// The whole file, or nothing when it does not exist. Read in one call: a 50-byte input can restore
// to a sparse file of 127 MiB, which a byte-at-a-time read took 40 s over under the sanitizers.
inline std::optional<std::vector<std::uint8_t>> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
    std::abort();
  }
  return bytes;
}

}  // namespace uq::fuzz
