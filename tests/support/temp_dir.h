// A fresh directory per test, removed with everything in it when the test ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace uq::test {

using Bytes = std::vector<std::uint8_t>;

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `name` joined below the directory.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const Bytes& bytes);
Bytes read_file(const std::string& path);
// `size` bytes at byte `offset` of the file, or fewer where it ends first.
Bytes read_range(const std::string& path, std::uint64_t offset, std::size_t size);
bool file_exists(const std::string& path);
void make_dirs(const std::string& path);  // like mkdir -p

}  // namespace uq::test
