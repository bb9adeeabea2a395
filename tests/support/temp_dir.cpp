// Temporary directories and whole-file reads and writes.
#include "support/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace uq::test {

namespace fs = std::filesystem;

namespace {

// Paths are UTF-8, as the programs take them; std::filesystem reads a plain string in the
// system's narrow encoding, which on Windows need not be UTF-8.
fs::path as_path(const std::string& utf8) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

}  // namespace

TempDir::TempDir() {
  // Under $TMPDIR (or /tmp) on POSIX, the user's temporary folder on Windows.
  const fs::path base = fs::temp_directory_path();
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / ("uqtest-" + std::to_string(random() % 1000000000));
    if (fs::create_directory(candidate)) {
      path_ = candidate.generic_string();
      return;
    }
  }
  throw std::runtime_error("no new temporary directory under " + base.string());
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything removable again, in case a test took permissions away.
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(as_path(path), std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes read_file(const std::string& path) {
  // One sized read: byte-wise stream iterators are slow under the sanitizers on files of MiBs.
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) throw std::runtime_error("cannot read " + path);
  Bytes bytes;
  std::uint8_t chunk[1 << 16];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(in);
  return bytes;
}

Bytes read_range(const std::string& path, std::uint64_t offset, std::size_t size) {
  std::ifstream in(as_path(path), std::ios::binary);
  Bytes bytes(size);
  if (!in.seekg(static_cast<std::streamoff>(offset))) return {};
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(as_path(path), ec));
}

void make_dirs(const std::string& path) { fs::create_directories(as_path(path)); }

}  // namespace uq::test
