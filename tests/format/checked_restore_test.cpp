// check_archive as a checked restore, in process: every block restored is handed to the writer
// at its offset, and the blocks that were not are named in runs, each with its reason, where a
// failed read of the whole file says "not restored" rather than "missing".
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "format/file_decoder.h"
#include "support/bounded.h"
#include "support/qvx_builder.h"
#include "support/temp_dir.h"
#include "unquarvex.h"

namespace uq {
namespace {

using test::Bytes;
using test::QvxBuilder;

constexpr std::size_t kMiB = 1 << 20;

// An input that reads like the file until byte `fail_at`, then fails as a bad disk does.
struct FailingInput {
  std::FILE* file;
  long at;
  static long fail_at;
};
long FailingInput::fail_at = -1;

std::FILE* open_failing(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return nullptr;
  cookie_io_functions_t io{};
  io.read = [](void* cookie, char* buf, std::size_t size) -> ssize_t {
    auto* in = static_cast<FailingInput*>(cookie);
    if (in->at >= FailingInput::fail_at) {
      errno = EIO;
      return -1;
    }
    const auto left = static_cast<std::size_t>(FailingInput::fail_at - in->at);
    const std::size_t n = std::fread(buf, 1, std::min(size, left), in->file);
    in->at += static_cast<long>(n);
    return static_cast<ssize_t>(n);
  };
  io.close = [](void* cookie) {
    auto* in = static_cast<FailingInput*>(cookie);
    std::fclose(in->file);
    delete in;
    return 0;
  };
  return fopencookie(new FailingInput{file, 0}, "rb", io);
}

Bytes block_of(std::uint8_t fill) {
  Bytes b(kMiB);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(fill + i * 7 + (i >> 11));
  return b;
}

TEST(CheckedRestore, EveryRestoredBlockIsWrittenAndTheOthersAreNamedWithTheirReason) {
  test::TempDir dir;
  test::Watchdog watchdog(std::chrono::seconds(120));
  const Bytes coded_damage = test::hex("11 22 00 00 00 00 00");
  QvxBuilder b({.orig_size = 5 * kMiB});
  b.block(block_of(0)).block(coded_damage).block(block_of(2)).block(block_of(3)).block(block_of(4));
  test::write_file(dir / "a.qvx", b.bytes());
  for (const int threads : {0, 2}) {
    SCOPED_TRACE(threads);
    std::map<std::uint64_t, Bytes> written;
    CheckOptions options;
    options.threads = threads;
    options.write = [&](std::uint64_t offset, const std::uint8_t* data, std::size_t len) {
      written[offset] = Bytes(data, data + len);
      return 0;
    };
    // The read of block 3's record fails: what follows can't be known.
    FailingInput::fail_at = static_cast<long>(32 + 2 * (5 + kMiB) + 5 + 7);
    const format::InputOpener before = format::set_input_opener(&open_failing);
    const ArchiveCheck check = check_archive(dir / "a.qvx", options);
    format::set_input_opener(before);
    EXPECT_FALSE(check.intact);
    EXPECT_EQ(check.restored_size, static_cast<std::int64_t>(5 * kMiB));
    EXPECT_EQ(check.block_size, static_cast<std::int64_t>(kMiB));
    ASSERT_EQ(check.bad_blocks.size(), 2u);
    EXPECT_EQ(check.bad_blocks[0].first, 1);
    EXPECT_EQ(check.bad_blocks[0].last, 1);
    EXPECT_EQ(check.bad_blocks[0].why, "coded stream damaged");
    EXPECT_EQ(check.bad_blocks[1].first, 3);
    EXPECT_EQ(check.bad_blocks[1].last, 4);
    EXPECT_EQ(check.bad_blocks[1].why, "not restored");
    EXPECT_EQ(written.size(), 2u);
    EXPECT_TRUE(written[0] == block_of(0));
    EXPECT_TRUE(written[2 * kMiB] == block_of(2));
  }
}

}  // namespace
}  // namespace uq
