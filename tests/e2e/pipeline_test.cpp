// Threaded runs through the binary: the same restored bytes for every worker count, blocks in
// any order, outputs closed whatever a file holds, failures reported once and runs that always
// end, with every block already queued written before a fatal exit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "support/expected.h"
#include "support/os.h"
#include "support/process.h"
#include "support/restore_tool.h"
#include "support/qvx_builder.h"
#include "support/temp_dir.h"

namespace uq::test {
namespace {

constexpr std::size_t kMiB = 1 << 20;
const std::vector<std::string> kWorkerCounts{"-p0", "-p1", "-p2", "-p16"};
const std::vector<std::string> kThreaded{"-p1", "-p2", "-p16"};

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 167 + seed * 13 + (i >> 11)) & 0xFF);
  return b;
}

Bytes slice(const Bytes& data, std::size_t from, std::size_t to) {
  return Bytes(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(std::min(to, data.size())));
}

// `data` in blocks of `block_mib` MiB, all stored, written in the order `order` (block indexes).
Bytes stored_file(const Bytes& data, const std::vector<int>& order, std::uint16_t block_mib = 1,
                  std::uint8_t filter = 0, std::uint8_t method = 5) {
  const std::size_t block = block_mib * kMiB;
  QvxBuilder b({.orig_size = static_cast<std::int64_t>(data.size()), .method = method, .filter = filter,
                .block_mib = block_mib});
  for (std::size_t k = 0; k < order.size(); ++k) {
    const int index = order[k];
    const int distance = index - static_cast<int>(k);
    const auto rel = static_cast<std::uint8_t>(std::abs(distance) * 2 + (distance < 0 ? 1 : 0));
    b.block(slice(data, static_cast<std::size_t>(index) * block, (static_cast<std::size_t>(index) + 1) * block), rel);
  }
  return b.bytes();
}

// Blocks 1, 0, 3, 2, ...: every pair swapped.
std::vector<int> pairs_swapped(int count) {
  std::vector<int> order;
  for (int i = 0; i < count; ++i) order.push_back(i % 2 == 0 ? std::min(i + 1, count - 1) : i - 1);
  if (count % 2 == 1) order.back() = count - 1;
  return order;
}

class Pipeline : public ::testing::Test {
 protected:
  RunResult run(std::vector<std::string> args, RunOptions options = {}) {
    args.insert(args.begin(), restore_tool());
    options.cwd = dir_.path();
    return run_program(args, options);
  }
  void put(const std::string& name, const Bytes& bytes) { write_file(dir_ / name, bytes); }
  // The whole output in one read: these outputs run to tens of MiB.
  Bytes get(const std::string& name) {
    return read_range(path(name), 0, static_cast<std::size_t>(std::max<std::int64_t>(size_of(name), 0)));
  }
  std::string path(const std::string& name) { return dir_ / name; }

  // Size of a (possibly sparse) output and `n` bytes of it at `offset`.
  std::int64_t size_of(const std::string& name) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path(name), ec);
    return ec ? -1 : static_cast<std::int64_t>(size);
  }
  Bytes bytes_at(const std::string& name, std::int64_t offset, std::size_t n) {
    return read_range(path(name), static_cast<std::uint64_t>(offset), n);
  }

  TempDir dir_;
};

void expect_clean(const RunResult& r, const std::string& what) {
  EXPECT_EQ(r.status, 0) << what;
  EXPECT_EQ(r.out, "") << what;
  EXPECT_EQ(r.err, "") << what;
}

TEST_F(Pipeline, RestoredBytesAreTheSameForEveryWorkerCount) {
  std::vector<std::pair<std::string, Bytes>> built;
  Bytes five = pattern(4 * kMiB + 1234, 1);
  built.emplace_back("ordered", five);
  put("ordered.qvx", stored_file(five, {0, 1, 2, 3, 4}));
  built.emplace_back("swapped", five);
  put("swapped.qvx", stored_file(five, pairs_swapped(5)));
  built.emplace_back("reversed", five);
  put("reversed.qvx", stored_file(five, {4, 3, 2, 1, 0}));
  Bytes two = pattern(2 * kMiB + 7, 2);
  put("delta.qvx", stored_file(two, {2, 0, 1}, 1, 0x12));
  put("x86.qvx", stored_file(two, {1, 0, 2}, 1, 0x21));
  put("big-blocks.qvx", stored_file(pattern(5 * kMiB + 3, 3), {1, 0}, 3));
  built.emplace_back("big-blocks", pattern(5 * kMiB + 3, 3));
  put("empty.qvx", QvxBuilder({.orig_size = 0}).bytes());
  built.emplace_back("empty", Bytes{});
  std::vector<std::string> names{"ordered", "swapped", "reversed", "delta", "x86", "big-blocks", "empty"};
  std::vector<std::string> vectors{"smallest", "smallest-delta", "hello-level0", "run-level0", "overlong-match",
                                   "zeros-short"};

  for (const std::string& p : kWorkerCounts) {
    std::vector<std::string> args{"-d", p};
    for (const auto& n : names) args.push_back(n + ".qvx");
    for (const auto& v : vectors) args.push_back(std::string(UQ_VECTOR_DIR) + "/" + v + ".qvx");
    args.push_back("out" + p);
    expect_clean(run(args), p);
  }
  names.insert(names.end(), vectors.begin(), vectors.end());
  for (const std::string& n : names) {
    const Bytes plain = get("out-p0/" + n);
    for (const std::string& p : kThreaded) EXPECT_EQ(get("out" + p + "/" + n), plain) << n << " " << p;
  }
  for (const auto& [n, bytes] : built) EXPECT_EQ(get("out-p0/" + n), bytes) << n;
}

// Text-like bytes: words from a small vocabulary, so the coded blocks are much smaller.
Bytes words(std::size_t n, unsigned seed) {
  static const char* const kWords[] = {"block ", "queue ", "worker ", "writer ", "offset ", "restore\n",
                                       "the ", "of ", "and ", "file "};
  Bytes b;
  std::uint32_t state = seed * 2654435761u + 1;
  while (b.size() < n) {
    state = state * 1664525u + 1013904223u;
    for (const char* c = kWords[(state >> 16) % 10]; *c != 0 && b.size() < n; ++c) b.push_back(static_cast<std::uint8_t>(*c));
  }
  return b;
}

// Compressed by the compressor with several levels, filters, block sizes and block orders:
// restored exactly, and alike, with and without workers.
TEST_F(Pipeline, RoundTripsThroughTheCompressorForEveryWorkerCount) {
  struct Sample {
    std::string name;
    Bytes data;
    std::vector<std::string> options;
  };
  Bytes code = pattern(3 * kMiB + 999, 12);
  for (std::size_t i = 0; i + 5 < code.size(); i += 37) code[i] = 0xE8;  // calls for the x86 filter
  std::vector<Sample> samples{
      // Quick levels but for one block at the best: the encoder's own tests cover the levels, and
      // under ThreadSanitizer the cheapest-path levels take minutes for these 15 MiB.
      {"text", words(3 * kMiB + 4321, 1), {"-2", "--shuffle-seed=3"}},
      {"text9", words(kMiB + 17, 2), {"-9", "-b", "1"}},
      {"code", code, {"-1", "--filter=x86", "--shuffle-seed=7"}},
      {"ramp", pattern(2 * kMiB + 1, 13), {"--filter=delta", "-0"}},
      {"mixed", words(5 * kMiB, 3), {"-3", "--block-size=2", "--shuffle-seed=11"}},
  };
  if (!quarvex_built()) GTEST_SKIP() << kNoQuarvex;
  std::vector<std::string> args{"-d", ""};
  for (const Sample& s : samples) {
    put(s.name, s.data);
    std::vector<std::string> compress{UQ_QUARVEX, "-p", "2"};
    compress.insert(compress.end(), s.options.begin(), s.options.end());
    compress.insert(compress.end(), {"-o", s.name + ".qvx", s.name});
    RunResult made = run_program(compress, {.cwd = dir_.path()});
    ASSERT_EQ(made.status, 0) << s.name << ": " << made.err;
    args.push_back(s.name + ".qvx");
  }
  args.push_back("");
  for (const std::string& p : kWorkerCounts) {
    args[1] = p;
    args.back() = "out" + p;
    expect_clean(run(args), p);
    for (const Sample& s : samples) EXPECT_EQ(get("out" + p + "/" + s.name), s.data) << s.name << " " << p;
  }
}

// Every file announces three blocks and holds only the last: each output must still be closed,
// or 300 of them would run out of descriptors under a limit of 64.
TEST_F(Pipeline, ManyFilesWithFewerRecordsThanBlocksLeakNoDescriptor) {
  std::vector<std::string> args{"-d", ""};
  for (int i = 0; i < 300; ++i) {
    const Bytes tail = pattern(9, static_cast<unsigned>(i));
    std::string name = "f" + std::to_string(i);
    put(name + ".qvx", QvxBuilder({.orig_size = static_cast<std::int64_t>(2 * kMiB + 9)}).block(tail, 0x04).bytes());
    args.push_back(name + ".qvx");
  }
  args.push_back("");
  for (const std::string& p : kThreaded) {
    args[1] = p;
    args.back() = "out" + p;
    // The descriptor limit (POSIX alone has one) turns a leaked descriptor into a failure.
    expect_clean(run(args, {.max_open_files = kWindows ? -1 : 64}), p);
    for (int i = 0; i < 300; ++i) {
      std::string out = "out" + p + "/f" + std::to_string(i);
      ASSERT_EQ(size_of(out), static_cast<std::int64_t>(2 * kMiB + 9)) << out;
      ASSERT_EQ(bytes_at(out, 2 * kMiB, 9), pattern(9, static_cast<unsigned>(i))) << out;
      ASSERT_EQ(bytes_at(out, 0, 4), Bytes(4, 0)) << out;
    }
  }
}

// A file that fails after queuing a block, and one with an empty record at index N (after its
// only block): each output is closed once, after exactly the jobs queued for it. The recursive
// run goes on after each failure, so every output of the run is in play at once.
TEST_F(Pipeline, FilesEndingInAnErrorOrAnEmptyLastRecordAreClosedToo) {
  make_dirs(path("odd"));
  const Bytes whole = pattern(kMiB, 14);
  for (int i = 0; i < 100; ++i) {
    // Block 2 of 3, then a record for index 6, past the end: error 105.
    put("odd/e" + std::to_string(i) + ".qvx", QvxBuilder({.orig_size = static_cast<std::int64_t>(2 * kMiB + 9)})
                                                  .block(pattern(9, static_cast<unsigned>(i)), 0x04)
                                                  .block({0x00}, 0x0A)
                                                  .bytes());
  }
  for (int i = 0; i < 8; ++i) {
    put("odd/z" + std::to_string(i) + ".qvx", QvxBuilder({.orig_size = static_cast<std::int64_t>(kMiB)})
                                                  .block({}, 0x02)
                                                  .block(whole, 0x03)
                                                  .bytes());
  }
  std::string reports;
  for (int i = 0; i < 100; ++i) reports += report_line(105);
  for (const std::string& p : kThreaded) {
    RunResult r = run({"-d", "-r", p, "odd", "out" + p}, {.max_open_files = kWindows ? -1 : 64});
    EXPECT_EQ(r.status, 0) << p;
    EXPECT_EQ(r.out, reports) << p;
    EXPECT_EQ(r.err, "") << p;
    for (int i = 0; i < 100; ++i) {
      std::string out = "out" + p + "/odd/e" + std::to_string(i);
      ASSERT_EQ(size_of(out), static_cast<std::int64_t>(2 * kMiB + 9)) << out;
      ASSERT_EQ(bytes_at(out, 2 * kMiB, 9), pattern(9, static_cast<unsigned>(i))) << out;
    }
    for (int i = 0; i < 8; ++i) EXPECT_EQ(get("out" + p + "/odd/z" + std::to_string(i)), whole) << p;
  }
}

// A damaged block drops that block only: the run goes on, and each damaged file gets one
// "Fatal Error" line and one report.
TEST_F(Pipeline, ACorruptBlockInSeveralFilesDamagesOnlyThoseFiles) {
  const Bytes good = pattern(3 * kMiB + 5, 4);
  const Bytes first = pattern(kMiB, 5);
  const Bytes bad = QvxBuilder({.orig_size = static_cast<std::int64_t>(kMiB + 16)})
                        .block(first)
                        .block(hex("61 62 00 ff ff ff ff"))
                        .bytes();
  std::vector<std::string> inputs;
  for (int i = 0; i < 4; ++i) {
    put("good" + std::to_string(i) + ".qvx", stored_file(good, pairs_swapped(4)));
    inputs.push_back("good" + std::to_string(i) + ".qvx");
    if (i < 3) {
      put("bad" + std::to_string(i) + ".qvx", bad);
      inputs.push_back("bad" + std::to_string(i) + ".qvx");
    }
  }
  for (const std::string& p : kThreaded) {
    std::vector<std::string> args{"-d", p};
    args.insert(args.end(), inputs.begin(), inputs.end());
    args.push_back("out" + p);
    RunResult r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string expected;
    for (int i = 0; i < 3; ++i) {
      expected += fatal_decomp_line(native("out" + p + "/bad" + std::to_string(i)), -1, 16) + report_line(105);
    }
    EXPECT_EQ(sorted_lines(r.out), sorted_lines(expected)) << p;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(get("out" + p + "/good" + std::to_string(i)), good) << p;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(get("out" + p + "/bad" + std::to_string(i)), first) << p;
  }
}

// A failed write is that output's alone: it is reported once and named, while the blocks of
// other files still on their way are written. The run starts no new input after it, and an input
// already started is either complete or named too.
TEST_F(Pipeline, AWriteFailureIsThatOutputsAloneAndIsNamed) {
  put("a.qvx", stored_file(pattern(3 * kMiB, 6), {0, 1, 2}));
  put("b.qvx", smallest_file());
  if (kWindows) GTEST_SKIP() << "Windows has neither /dev/full nor a file-size limit";
  for (const std::string& p : kThreaded) {
    make_dirs(path("full" + p));
    ASSERT_EQ(make_symlink("/dev/full", path("full" + p + "/a").c_str()), 0);
    RunResult r = run({"-d", p, "a.qvx", "b.qvx", "full" + p});
    EXPECT_EQ(r.status, 0) << p;
    EXPECT_EQ(r.out, errno_report_line(102, ENOSPC)) << p;
    std::string named_b = "'full" + p + "/b' is incomplete: 1 of 1 blocks not written\n";
    std::string named_a = "'full" + p + "/a' is incomplete: 3 of 3 blocks not written\n";
    if (r.err.find(named_b) != std::string::npos) {
      EXPECT_EQ(sorted_lines(r.err), sorted_lines(named_a + named_b)) << p;
    } else {
      EXPECT_EQ(r.err, named_a) << p;
      const Bytes digits{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
      EXPECT_TRUE(!file_exists(path("full" + p + "/b")) || get("full" + p + "/b") == digits) << p;
    }

    // A file-size limit makes the write fall short too: the block at offset 0 is written unless
    // a later one failed first.
    r = run({"-d", p, "a.qvx", "limited" + p}, {.max_file_size = static_cast<long>(kMiB + kMiB / 2)});
    EXPECT_EQ(r.status, 0) << p;
    EXPECT_EQ(r.out, errno_report_line(102, EFBIG)) << p;
    const std::string prefix = "'limited" + p + "/a' is incomplete: ";
    EXPECT_TRUE(r.err == prefix + "2 of 3 blocks not written\n" || r.err == prefix + "3 of 3 blocks not written\n")
        << p << ": " << r.err;
  }
}

// Eight coded 4 MiB blocks still decoding while a small file behind them fails its write: the big
// file is restored whole, the failing one reported and named, at every worker count.
TEST_F(Pipeline, OtherFilesBlocksAreWrittenAfterAnOutputFails) {
  if (!quarvex_built()) GTEST_SKIP() << kNoQuarvex;
  if (kWindows) GTEST_SKIP() << "Windows has no always-full device such as /dev/full";
  // Random bytes with a 64 KiB period: quick to compress and to decode even under the sanitizers.
  Bytes period(64 * 1024);
  std::uint32_t x = 2463534242u;
  for (auto& b : period) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  Bytes big;
  while (big.size() < 8 * 4 * kMiB) big.insert(big.end(), period.begin(), period.end());
  put("a_big", big);
  RunResult made = run_program({UQ_QUARVEX, "-b", "4", "--level=0", "-o", "a_big.qvx", "a_big"}, {.cwd = dir_.path()});
  ASSERT_EQ(made.status, 0) << made.err;
  put("b_full.qvx", smallest_file());
  for (std::string p : {"-p1", "-p4", "-p16"}) {
    make_dirs(path("out" + p));
    ASSERT_EQ(make_symlink("/dev/full", path("out" + p + "/b_full").c_str()), 0);
    RunResult r = run({"-d", p, "a_big.qvx", "b_full.qvx", "out" + p});
    EXPECT_EQ(r.status, 0) << p;
    EXPECT_EQ(r.out, errno_report_line(102, ENOSPC)) << p;
    EXPECT_EQ(r.err, "'out" + p + "/b_full' is incomplete: 1 of 1 blocks not written\n") << p;
    EXPECT_TRUE(get("out" + p + "/a_big") == big) << p;
  }
}

// Blocks of zeros are left as holes in the fresh output, a hole at the end included, and the
// file still reads back whole: size and bytes as if every zero had been written.
TEST_F(Pipeline, BlocksOfZerosAreLeftAsHoles) {
  const Bytes zero_block = hex("00 00 00 ff ff ef ee f7 f8 00 00 00");  // 1 MiB of zeros, coded
  QvxBuilder middle({.orig_size = static_cast<std::int64_t>(5 * kMiB + 3)});
  for (int i = 0; i < 5; ++i) middle.block(zero_block);
  put("middle.qvx", middle.block(hex("61 62 63")).bytes());
  Bytes middle_bytes(5 * kMiB, 0);
  middle_bytes.insert(middle_bytes.end(), {'a', 'b', 'c'});
  const Bytes head = pattern(kMiB, 30);
  put("end.qvx", QvxBuilder({.orig_size = static_cast<std::int64_t>(2 * kMiB)}).block(zero_block, 0x02).block(head, 0x03).bytes());
  Bytes end_bytes = head;
  end_bytes.resize(2 * kMiB, 0);
  for (const std::string& p : kWorkerCounts) {
    expect_clean(run({"-d", p, "middle.qvx", "end.qvx", "out" + p}), p);
    EXPECT_TRUE(get("out" + p + "/middle") == middle_bytes) << p;
    EXPECT_TRUE(get("out" + p + "/end") == end_bytes) << p;
    // Nothing but the tail was written. Holes are optional on Windows, where this may be the
    // file system's choice.
    if (!kWindows) {
      EXPECT_LT(allocated_bytes(path("out" + p + "/middle")), 1 << 16) << p;
    }
  }
}

// UNQUARVEX_MEMORY_LIMIT: a tight budget changes nothing a user sees but the memory; a malformed
// value gets one line on standard error, and the run goes on with the default.
TEST_F(Pipeline, TheMemoryLimitVariable) {
  const Bytes data = pattern(5 * kMiB + 3, 21);
  put("a.qvx", stored_file(data, pairs_swapped(6)));
  for (const char* limit : {"1", "3M", "50%"}) {
    RunResult r = run({"-d", "-p16", "a.qvx", std::string("out") + limit},
                      {.env = {std::string("UNQUARVEX_MEMORY_LIMIT=") + limit}});
    expect_clean(r, limit);
    EXPECT_TRUE(get(std::string("out") + limit + "/a") == data) << limit;
  }
  RunResult r = run({"-d", "-p2", "a.qvx", "bad"}, {.env = {"UNQUARVEX_MEMORY_LIMIT=lots"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            restore_tool_name() + ": ignoring UNQUARVEX_MEMORY_LIMIT='lots': give bytes with an optional K, M or G, or a "
            "percentage of memory such as 25%\n");
  EXPECT_TRUE(get("bad/a") == data);
}

// The output that can't be created ends the run with -1, but only after every block queued for
// the files before it has been written.
TEST_F(Pipeline, AFatalExitWritesEverythingQueuedFirst) {
  const Bytes big = pattern(32 * kMiB + 100, 7);
  put("big.qvx", stored_file(big, pairs_swapped(33)));
  make_dirs(path("sub"));
  put("sub/x.qvx", smallest_file());
  // Windows refuses to open a directory for writing as a denied access.
  const std::string is_dir = std::strerror(kWindows ? EACCES : EISDIR);
  for (const std::string& p : kThreaded) {
    make_dirs(path("out" + p + "/x"));
    RunResult r = run({"-d", p, "big.qvx", "sub/x.qvx", "out" + p});
    EXPECT_EQ(r.status, kFatalStatus) << p;
    EXPECT_EQ(r.out, "") << p;
    EXPECT_EQ(r.err, "creat error '" + native("out" + p + "/x") + "' '" + is_dir + "'\n") << p;
    EXPECT_EQ(get("out" + p + "/big"), big) << p;
  }

  // A directory of the recursive run that can't be made: its name is taken by a file.
  make_dirs(path("tree/d"));
  put("tree/d/y.qvx", smallest_file());
  make_dirs(path("rec"));
  put("rec/d", {});
  RunResult r = run({"-d", "-r", "-p2", "big.qvx", "tree/d", "rec"});
  EXPECT_EQ(r.status, kFatalStatus);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "cannot create directory '" + native("rec/d") + "'");
  EXPECT_EQ(get("rec/big"), big);
}

// Two inputs with one output name: the later one is what remains, as without workers.
TEST_F(Pipeline, TheLaterOfTwoInputsWithTheSameOutputNameWins) {
  const Bytes large = pattern(6 * kMiB + 11, 8);
  const Bytes small = pattern(300, 9);
  make_dirs(path("x"));
  make_dirs(path("y"));
  put("x/a.qvx", stored_file(large, pairs_swapped(7)));
  put("y/a.qvx", stored_file(small, {0}));
  // Names that differ in case alone are one name on Windows: there b.QVX has a folder of its own.
  const std::string upper = kWindows ? "z/b.QVX" : "b.QVX";
  make_dirs(path("z"));
  put("b.qvx", stored_file(large, {6, 5, 4, 3, 2, 1, 0}));
  put(upper, stored_file(small, {0}));
  for (const std::string& p : kWorkerCounts) {
    // The later input waits for the earlier output: a close that wakes nobody hangs the run.
    expect_clean(run({"-d", p, "x/a.qvx", "y/a.qvx", "b.qvx", upper, "first" + p}, {.time_limit = kQuickRun}), p);
    EXPECT_EQ(get("first" + p + "/a"), small) << p;
    EXPECT_EQ(get("first" + p + "/b"), small) << p;
    expect_clean(run({"-d", p, "y/a.qvx", "x/a.qvx", upper, "b.qvx", "second" + p}, {.time_limit = kQuickRun}), p);
    EXPECT_EQ(get("second" + p + "/a"), large) << p;
    EXPECT_EQ(get("second" + p + "/b"), large) << p;
  }
}

// 2047 MiB blocks: the last block of one file at 2 x 2047 MiB, of another at 3 x 2047 MiB,
// past 4 GiB. Both outputs are sparse.
TEST_F(Pipeline, OffsetsBeyondFourGiBAreReachedExactly) {
  const std::int64_t block = 2047ll << 20;
  const Bytes tail = pattern(77, 10);
  put("two.qvx", QvxBuilder({.orig_size = 2 * block + 77, .block_mib = 2047}).block(tail, 0x04).bytes());
  put("three.qvx", QvxBuilder({.orig_size = 3 * block + 77, .block_mib = 2047}).block(tail, 0x06).bytes());
  for (const std::string& p : kThreaded) {
    expect_clean(run({"-d", p, "two.qvx", "three.qvx", "out" + p}), p);
    EXPECT_EQ(size_of("out" + p + "/two"), 2 * block + 77);
    EXPECT_EQ(bytes_at("out" + p + "/two", 2 * block, 77), tail);
    EXPECT_EQ(size_of("out" + p + "/three"), 3 * block + 77);
    EXPECT_EQ(bytes_at("out" + p + "/three", 3 * block, 77), tail);
    EXPECT_EQ(bytes_at("out" + p + "/three", 3 * block - 8, 8), Bytes(8, 0));
  }
}

// A header whose method byte is 255 is an unknown method like any other: its stored blocks are
// restored and stop no worker, so with one worker the next file is restored too.
TEST_F(Pipeline, MethodByte255StopsNoWorker) {
  const Bytes data = pattern(2 * kMiB + 40, 11);
  put("m255.qvx", stored_file(data, {1, 0, 2}, 1, 0, 255));
  put("next.qvx", smallest_file());
  for (const std::string& p : kWorkerCounts) {
    expect_clean(run({"-d", p, "m255.qvx", "next.qvx", "out" + p}), p);
    EXPECT_EQ(get("out" + p + "/m255"), data) << p;
    EXPECT_EQ(get("out" + p + "/next"), (Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'})) << p;
  }
}

}  // namespace
}  // namespace uq::test
