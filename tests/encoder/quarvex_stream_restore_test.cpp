// quarvex -d into a stream, through the binary: -c ARCHIVE and standard input to standard output,
// blocks in index order from a file and from a pipe; a window the memory limit can't hold; a
// stream that ends after its last good block and says why; a reader that closes the pipe; and no
// compressed bytes read from a terminal.
#include <cerrno>
#include <cstring>

#include "encoder/restore_fixture.h"
#include "support/os.h"

namespace uq::test {
namespace {

std::string as_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

class QuarvexRestoreStream : public RestoreTest {};

TEST_F(QuarvexRestoreStream, ShuffledRecordsComeOutInOrderFromAFileStandardInputAndAPipe) {
  const Bytes data = text_like(3 * kBlock + 999, 4);
  put("data", data);
  ASSERT_EQ(quarvex({"-1", "--shuffle-seed=3", "-o", "data.qvx", "data"}).status, 0);
  const std::string archive = as_text(get("data.qvx"));
  for (const std::string threads : {"-p0", "-p2"}) {
    SCOPED_TRACE(threads);
    const std::vector<std::pair<std::vector<std::string>, RunOptions>> ways = {
        {{"-d", threads, "-c", "data.qvx"}, {}},
        {{"-d", threads, "-o", "-", "data.qvx"}, {}},
        {{"-d", threads}, {.stdin_file = dir_ / "data.qvx"}},
        {{"-d", threads, "-c", "-"}, {.stdin_pipe = true, .stdin_data = archive}},
    };
    for (const auto& [args, options] : ways) {
      RunResult r = quarvex(args, options);
      EXPECT_EQ(r.status, 0) << testing::PrintToString(args) << r.err;
      EXPECT_EQ(r.err, "");
      EXPECT_TRUE(r.raw_out == as_text(data)) << testing::PrintToString(args);
    }
  }
}

// Blocks 2, 1, 0: a window of 128 blocks, or even of these three, does not fit 3 MiB.
TEST_F(QuarvexRestoreStream, AWindowTooLargeForTheMemoryLimitIsReadByIndexFromAFileAndRefusedFromAPipe) {
  put("reversed.qvx", hand_made(3, {2, 1, 0}));
  const RunOptions limited{.env = {"UNQUARVEX_MEMORY_LIMIT=3M"}};
  RunResult from_file = quarvex({"-d", "-c", "reversed.qvx"}, limited);
  EXPECT_EQ(from_file.status, 0) << from_file.err;
  EXPECT_TRUE(from_file.raw_out == as_text(restored_blocks(3)));
  RunOptions on_stdin = limited;  // a file on standard input, as tar -I gives it, can be read twice too
  on_stdin.stdin_file = dir_ / "reversed.qvx";
  RunResult from_stdin = quarvex({"-d", "-p2"}, on_stdin);
  EXPECT_EQ(from_stdin.status, 0) << from_stdin.err;
  EXPECT_TRUE(from_stdin.raw_out == as_text(restored_blocks(3)));
  RunOptions piped = limited;
  piped.stdin_pipe = true;
  piped.stdin_data = as_text(get("reversed.qvx"));
  for (const std::string threads : {"-p0", "-p2"}) {
    RunResult from_pipe = quarvex({"-d", threads}, piped);
    EXPECT_EQ(from_pipe.status, 1) << threads;
    EXPECT_EQ(from_pipe.out, "");
    EXPECT_EQ(from_pipe.err,
              "quarvex: standard input: its records lie too far out of order to be put in order within 3.0 MiB of "
              "memory; nothing went to standard output. Restore it from a file, or raise UNQUARVEX_MEMORY_LIMIT\n");
  }
}

// A stream can't hold a hole: everything before the first bad block goes out, then one line.
TEST_F(QuarvexRestoreStream, AStreamEndsAfterItsLastGoodBlockAndSaysWhere) {
  const Bytes four = hand_made(4);
  const Bytes two_blocks = cut(restored_blocks(4), 2 * kBlock);
  // Blocks 2 (damaged), 0, 3, 1: block 3's bytes come while block 1 is still awaited, and are
  // passed over, in a pipe too.
  const std::vector<std::tuple<std::string, Bytes, std::string>> cases = {
      {"damaged", hand_made(6, {}, {2}), "damaged: block 2: coded stream damaged"},
      {"shuffled", hand_made(4, {2, 0, 3, 1}, {2}), "damaged: block 2: coded stream damaged"},
      {"missing", cut(four, block_at(2) - 5), "damaged: block 2 missing"},
      {"short", cut(four, block_at(2) + 4000), "damaged: block 2: cut short: 4000 of 1048576 bytes"},
  };
  for (const auto& [name, archive, why] : cases) {
    put(name + ".qvx", archive);
    for (const std::string threads : {"-p0", "-p2"}) {
      SCOPED_TRACE(name + " " + threads);
      RunResult r = quarvex({"-d", threads, "-c", name + ".qvx"}, {.timeout_seconds = 60});
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(r.raw_out == as_text(two_blocks)) << r.raw_out.size();
      EXPECT_EQ(r.err, "quarvex: " + name + ".qvx: " + why + "; standard output ends after block 1 (2097152 bytes)\n");
    }
    RunResult piped = quarvex({"-d", "-p0"}, {.stdin_pipe = true, .stdin_data = as_text(archive), .timeout_seconds = 60});
    EXPECT_TRUE(piped.raw_out == as_text(two_blocks)) << name;
    EXPECT_EQ(piped.err, "quarvex: standard input: " + why + "; standard output ends after block 1 (2097152 bytes)\n");
  }
  // The checksum is known only once every byte has gone out.
  put("noise", random_bytes(2 * kBlock + 3, 8));
  ASSERT_EQ(quarvex({"-0", "-o", "noise.qvx", "noise"}).status, 0);
  Bytes flipped = get("noise.qvx");
  flipped[block_at(1) + 5] ^= 0x80;
  put("noise.qvx", flipped);
  RunResult r = quarvex({"-d", "-c", "noise.qvx"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.raw_out.size(), 2 * kBlock + 3);
  EXPECT_EQ(r.err, "quarvex: noise.qvx: damaged: checksum mismatch; every byte went to standard output already\n");
}

// A reader that stops (head -c 100) ends the restore at once, as a closed pipe ends any writer:
// by SIGPIPE, without a word (on Windows, which has no such signal, with status 1).
TEST_F(QuarvexRestoreStream, AReaderThatClosesThePipeEndsTheRestoreAtOnceAndQuietly) {
  put("long.qvx", hand_made(12));
  for (const std::string threads : {"-p0", "-p2"}) {
    RunResult r = quarvex({"-d", threads, "-c", "long.qvx"}, {.stdout_limit = 100, .timeout_seconds = 60});
    EXPECT_FALSE(r.timed_out) << threads;
    EXPECT_EQ(r.status, kBrokenPipeStatus) << threads;
    EXPECT_EQ(r.err, "") << threads;
    EXPECT_TRUE(r.raw_out == as_text(cut(block_bytes(0), 100)));
  }
}

// What can't be read says so, in words that are not damage's.
TEST_F(QuarvexRestoreStream, ASourceThatCantBeReadIsNotCalledDamaged) {
  RunResult r;
  if (!kWindows) {  // Windows has no /proc
    r = quarvex({"-d", "-c", "/proc/self/mem"});  // reads fail at offset 0
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarvex: /proc/self/mem: read error: " + std::string(std::strerror(EIO)) +
                         "; nothing went to standard output\n");
  }
  make_dirs(dir_ / "folder.qvx");
  r = quarvex({"-d", "-c", "folder.qvx"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: 'folder.qvx' is a directory\n");
  r = quarvex({"-d", "-c", "nowhere.qvx"});
  EXPECT_EQ(r.err, "quarvex: 'nowhere.qvx': " + std::string(std::strerror(ENOENT)) + "\n");
  put("notes.txt", text_like(100));
  r = quarvex({"-d"}, {.stdin_file = dir_ / "notes.txt"});
  EXPECT_EQ(r.err, "quarvex: standard input: not a quarvex file; nothing went to standard output\n");
}

// Started without standard input or output, the run would read the null device in their place.
TEST_F(QuarvexRestoreStream, AClosedStandardStreamIsAFailureNotAnEmptyStream) {
  put("a.qvx", hand_made(1));
  RunResult r = quarvex({"-d", "-c", "a.qvx"}, {.stdout_absent = true, .timeout_seconds = 60});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: standard output is closed: the restored file would go nowhere\n");
  r = quarvex({"-d"}, {.stdin_absent = true, .timeout_seconds = 60});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: standard input is closed: there is no archive to restore\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(QuarvexRestoreStream, CompressedBytesAreNotReadFromATerminalWithoutForce) {
  if (kWindows) GTEST_SKIP() << "no pseudo-terminal to give a child on Windows";
  RunResult r = quarvex({"-d"}, {.stdin_terminal = true, .timeout_seconds = 60});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "quarvex: standard input is a terminal: compressed data is not read from one (-f reads it anyway)\n");
  // With -f it is read: here an end of input at once, which is no archive.
  r = quarvex({"-d", "-f"}, {.stdin_terminal = true, .typed = "\x04", .timeout_seconds = 60});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: standard input: damaged: read error: cut short; nothing went to standard output\n");
}

}  // namespace
}  // namespace uq::test
