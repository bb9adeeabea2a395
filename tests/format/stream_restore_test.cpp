// restore_to_stream in process: blocks in index order from a file and from a pipe, with and
// without workers; a window too large for the memory limit read by index from a file and refused
// from a pipe; and a stream that stops after the last good block, or checks its sum at the end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include "format/file_writer.h"
#include "support/bounded.h"
#include "support/qvx_builder.h"
#include "support/temp_dir.h"
#include "unquarvex.h"

namespace uq {
namespace {

using test::Bytes;
using test::QvxBuilder;

constexpr std::size_t kMiB = 1 << 20;

Bytes words(std::size_t n, std::uint32_t x) {
  static const char* const kWords[] = {"stream ", "window ", "block ", "order ", "pipe\n"};
  Bytes b;
  while (b.size() < n) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    for (const char* c = kWords[x % 5]; *c != 0 && b.size() < n; ++c) b.push_back(static_cast<std::uint8_t>(*c));
  }
  return b;
}

Bytes noise(std::size_t n, std::uint32_t x) {
  Bytes b(n);
  for (auto& byte : b) x = x * 1664525 + 1013904223, byte = static_cast<std::uint8_t>(x >> 24);
  return b;
}

// A stream restore of `archive` (a path, or fed through a pipe) with what it wrote.
struct Streamed {
  StreamRestore result;
  Bytes out;
};

Streamed stream(const std::string& archive, bool through_pipe, int threads, std::uint64_t limit = UINT64_MAX) {
  Streamed s;
  StreamSource source{archive};
  std::thread feeder;
  if (through_pipe) {
    std::signal(SIGPIPE, SIG_IGN);  // the feeder learns of a restore that stopped reading by EPIPE
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    feeder = std::thread([fd = fds[1], bytes = test::read_file(archive)] {
      for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;  // the restore stopped reading
        done += static_cast<std::size_t>(n);
      }
      close(fd);
    });
    source.stream = fdopen(fds[0], "rb");
  }
  StreamOptions options;
  options.threads = threads;
  options.memory_limit = limit;
  s.result = restore_to_stream(
      source,
      [&](const std::uint8_t* data, std::size_t len) {
        s.out.insert(s.out.end(), data, data + len);
        return 0;
      },
      options);
  if (through_pipe) {
    std::fclose(source.stream);  // the feeder's writes fail from here, if it is still writing
    feeder.join();
  }
  return s;
}

class StreamRestores : public ::testing::Test {
 protected:
  std::string put(const std::string& name, const Bytes& bytes) {
    test::write_file(dir_ / name, bytes);
    return dir_ / name;
  }
  test::TempDir dir_;
  test::Watchdog watchdog_{std::chrono::seconds(120)};  // a stream that waits for ever fails
};

TEST_F(StreamRestores, ShuffledRecordsComeOutInOrderFromAFileAndFromAPipe) {
  const Bytes data = words(5 * kMiB + 777, 3);
  enc::WriterOptions o;
  o.level = 1;
  o.shuffle_seed = 11;
  const std::string path = put("shuffled.qvx", enc::compress_bytes(data.data(), data.size(), o));
  ASSERT_NE(enc::record_order(6, 11), enc::record_order(6, std::nullopt));
  for (const int threads : {0, 2}) {
    for (const bool pipe : {false, true}) {
      SCOPED_TRACE(testing::Message() << threads << " workers, pipe " << pipe);
      const Streamed s = stream(path, pipe, threads);
      EXPECT_TRUE(s.result.complete) << s.result.reason;
      EXPECT_TRUE(s.out == data);
      EXPECT_TRUE(s.result.has_checksum && s.result.checksum_matches);
      EXPECT_FALSE(s.result.read_records_first);
      EXPECT_EQ(s.result.blocks_out, 6);
    }
  }
}

// Blocks 2, 1, 0 in that order, with a limit that holds one block and a half: a file is read by
// index instead, a pipe can't be.
TEST_F(StreamRestores, AWindowLargerThanTheLimitIsReadByIndexFromAFileAndRefusedFromAPipe) {
  const Bytes data = noise(3 * kMiB, 5);
  const auto part = [&](std::size_t i) { return Bytes(data.begin() + i * kMiB, data.begin() + (i + 1) * kMiB); };
  const std::string path = put("reversed.qvx", QvxBuilder({.orig_size = 3 * kMiB})
                                                   .block(part(2), 0x04)
                                                   .block(part(1), 0x00)
                                                   .block(part(0), 0x05)
                                                   .bytes());
  const std::uint64_t limit = 3 * kMiB;
  for (const int threads : {0, 2}) {
    SCOPED_TRACE(threads);
    const Streamed from_file = stream(path, false, threads, limit);
    EXPECT_TRUE(from_file.result.read_records_first);
    EXPECT_TRUE(from_file.result.complete) << from_file.result.reason;
    EXPECT_TRUE(from_file.out == data);
    const Streamed from_pipe = stream(path, true, threads, limit);
    EXPECT_FALSE(from_pipe.result.complete);
    EXPECT_TRUE(from_pipe.result.window_full);
    EXPECT_EQ(from_pipe.result.blocks_out, 0);
    EXPECT_TRUE(from_pipe.out.empty());
    EXPECT_EQ(from_pipe.result.reason, "block 0: the records lie too far out of order for the memory limit");
    // With room for the window, the pipe is put in order as it comes.
    EXPECT_TRUE(stream(path, true, threads).out == data);
  }
}

// A stream can't hold a hole: it ends after the last block that could go out in order.
TEST_F(StreamRestores, AStreamEndsAfterTheLastGoodBlockAndChecksItsSumAtTheEnd) {
  const Bytes data = noise(3 * kMiB + 10, 7);
  enc::WriterOptions o;
  o.level = 0;
  const Bytes archive = enc::compress_bytes(data.data(), data.size(), o);
  const std::size_t block1 = 32 + 5 + kMiB + 5;  // stored blocks: where block 1's bytes start
  Bytes flipped = archive;
  flipped[block1 + 100] ^= 0x01;
  Bytes without_block1(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(block1 - 5));
  without_block1.insert(without_block1.end(), archive.begin() + static_cast<std::ptrdiff_t>(block1 + kMiB),
                        archive.end());
  without_block1[block1 - 5 + 4] = 0x02;  // block 2's record, now second: one place on
  without_block1[block1 - 5 + 4 + 5 + kMiB] = 0x02;  // block 3's, now third
  for (const int threads : {0, 2}) {
    SCOPED_TRACE(threads);
    const Streamed bad = stream(put("flipped.qvx", flipped), true, threads);
    EXPECT_FALSE(bad.result.complete);
    EXPECT_EQ(bad.result.reason, "checksum mismatch");
    EXPECT_EQ(bad.out.size(), data.size());  // every byte went out before the sum could tell
    const Streamed gap = stream(put("gap.qvx", without_block1), false, threads);
    EXPECT_EQ(gap.result.reason, "block 1 missing");
    EXPECT_EQ(gap.result.blocks_out, 1);
    EXPECT_TRUE(gap.out == Bytes(data.begin(), data.begin() + kMiB));
  }
}

}  // namespace
}  // namespace uq
