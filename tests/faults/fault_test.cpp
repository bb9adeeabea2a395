// Faults injected at every point of a restore, through the real binary: each allocation of a run
// failing in turn, few file descriptors, and inputs and directories that can't be read. Every run
// must end, without a sanitizer report or a leak, and every file must be restored exactly or
// reported.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/expected.h"
#include "support/os.h"
#include "support/process.h"
#include "support/restore_tool.h"
#include "support/qvx_builder.h"
#include "support/temp_dir.h"

namespace uq::test {
namespace {

constexpr std::size_t kMiB = 1 << 20;

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
  return b;
}

// 3,000 random bytes over and over: coded blocks of long matches, quick to decode under the
// sanitizers, for the hundreds of runs below.
Bytes repetitive(std::size_t n, unsigned seed) {
  Bytes b(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; ++i) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b[i] = i < 3000 ? static_cast<std::uint8_t>(x) : b[i - 3000];
  }
  return b;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!quarvex_built()) GTEST_SKIP() << kNoQuarvex;
    make_dirs(dir_ / "in/sub");
    // Three stored 1 MiB blocks written in the order 1, 0, 2.
    const Bytes a = pattern(2 * kMiB + 100, 1);
    originals_.push_back({"in/a", a});
    write_file(dir_ / "in/a.qvx", QvxBuilder({.orig_size = static_cast<std::int64_t>(a.size())})
                                      .block(Bytes(a.begin() + kMiB, a.begin() + 2 * kMiB), 0x02)
                                      .block(Bytes(a.begin(), a.begin() + kMiB), 0x03)
                                      .block(Bytes(a.begin() + 2 * kMiB, a.end()))
                                      .bytes());
    // Coded blocks, made by the compressor.
    for (const char* name : {"in/sub/b", "in/sub/c"}) {
      const Bytes data = repetitive(kMiB + 3000 + originals_.size() * 777, static_cast<unsigned>(originals_.size()));
      originals_.push_back({name, data});
      write_file(dir_ / name, data);
      RunResult made = run_program({UQ_QUARVEX, "-1", "-o", std::string(name) + ".qvx", name}, {.cwd = dir_.path()});
      ASSERT_EQ(made.status, 0) << made.err;
      std::remove((dir_ / name).c_str());
    }
    write_file(dir_ / "in/sub/d.qvx", smallest_file());
    originals_.push_back({"in/sub/d", Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}});
  }

  // Restores the tree with `threads` into `out` with `tool` (the restore tool under test unless
  // named); checks what every fault must leave.
  RunResult restore_and_check(const std::string& threads, const std::string& out, RunOptions options,
                              const std::string& what, const std::string& tool = restore_tool()) {
    options.cwd = dir_.path();
    RunResult r = run_program({tool, "-d", "-r", threads, "in", out}, options);
    EXPECT_TRUE(r.status == 0 || r.status == kFatalStatus) << what << ": status " << r.status << "\n" << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << what << "\n" << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << what << "\n" << r.err;
    const bool reported = r.out.find("Error: 100 malloc error") != std::string::npos ||
                          r.err.find("can't open input file") != std::string::npos ||
                          r.err.find("creat error") != std::string::npos ||
                          r.err.find("cannot create directory") != std::string::npos ||
                          r.out.find("Error thread_create.") != std::string::npos;
    for (const auto& [name, bytes] : originals_) {
      const std::string path = out + "/" + name;
      if (file_exists(dir_ / path) && read_file(dir_ / path) == bytes) continue;
      EXPECT_TRUE(reported) << what << ": " << path << " is not restored and nothing says why\n"
                            << r.out << r.err;
      if (file_exists(dir_ / path)) {
        EXPECT_NE(r.err.find("'" + path + "' is incomplete"), std::string::npos)
            << what << ": " << path << " is short and not named\n" << r.out << r.err;
      }
    }
    return r;
  }

  unsigned long allocations_of_a_run(const std::string& threads) {
    const std::string count_file = dir_ / "count";
    RunResult r = restore_and_check(threads, "counted" + threads, {.env = {"UQ_ALLOCATION_COUNT_FILE=" + count_file}},
                                    "counting", UQ_UNQUARVEX_FAULTY);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const Bytes count = read_file(count_file);
    return std::stoul(std::string(count.begin(), count.end()));
  }

  TempDir dir_;
  std::vector<std::pair<std::string, Bytes>> originals_;
};

TEST_F(Faults, EveryAllocationOfARunFailsInTurn) {
  if (std::string(UQ_UNQUARVEX_FAULTY).empty()) GTEST_SKIP() << "no unquarvex_faulty in this build";
  for (const std::string threads : {"-p0", "-p2"}) {
    const unsigned long total = allocations_of_a_run(threads);
    ASSERT_GT(total, 10u);
    // A threaded run's count varies a little with timing: a few more cover it.
    for (unsigned long k = 1; k <= total + 8; ++k) {
      const std::string out = "out" + threads + "-" + std::to_string(k);
      restore_and_check(threads, out, {.env = {"UQ_FAIL_ALLOCATION=" + std::to_string(k)}},
                        threads + " failing allocation " + std::to_string(k), UQ_UNQUARVEX_FAULTY);
      if (HasFailure()) return;
    }
  }
}

// Few descriptors: the outputs the writer still holds are waited for, never a reason to fail.
TEST_F(Faults, EveryDescriptorLimitFrom8To32) {
  if (kWindows) GTEST_SKIP() << "Windows has no descriptor limit to lower for a process";
  for (const std::string threads : {"-p0", "-p2"}) {
    for (long limit = 8; limit <= 32; ++limit) {
      const std::string out = "out" + threads + "-n" + std::to_string(limit);
      const std::string what = threads + " ulimit -n " + std::to_string(limit);
      RunResult r = restore_and_check(threads, out, {.max_open_files = limit}, what);
      EXPECT_EQ(r.status, 0) << what;
      EXPECT_EQ(r.out + r.err, "") << what;
      if (HasFailure()) return;
    }
  }
}

// Forty files of coded blocks with sixteen workers under a limit of 16 descriptors: more outputs
// are in flight than there are descriptors, and creating (or opening) the next file waits for the
// writer to close one instead of ending the run.
TEST_F(Faults, OutputsInFlightBeyondTheDescriptorLimitAreWaitedFor) {
  if (kWindows) GTEST_SKIP() << "Windows has no descriptor limit to lower for a process";
  Bytes words;
  static const char* const kWords[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon "};
  for (std::uint32_t x = 1; words.size() < 600'000;) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    for (const char* c = kWords[x % 5]; *c != 0; ++c) words.push_back(static_cast<std::uint8_t>(*c));
  }
  make_dirs(dir_ / "many");
  write_file(dir_ / "words", words);
  RunResult made = run_program({UQ_QUARVEX, "-o", "words.qvx", "words"}, {.cwd = dir_.path()});
  ASSERT_EQ(made.status, 0) << made.err;
  const Bytes packed = read_file(dir_ / "words.qvx");
  for (int i = 0; i < 40; ++i) write_file(dir_ / ("many/f" + std::to_string(i) + ".qvx"), packed);
  RunResult r = run_program({restore_tool(), "-d", "-r", "-p16", "many", "out"},
                            {.cwd = dir_.path(), .max_open_files = 16, .time_limit = kQuickRun});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(read_file(dir_ / ("out/many/f" + std::to_string(i))) == words) << i;
}

// Stored blocks are copied from the input by the output writer, long after their records were
// read. An input cut short (or failing) under copies still pending is a read error of that file:
// its report once, as for a block cut short, and its "incomplete" line; the run goes on to the
// next input, with workers exactly as without.
TEST_F(Faults, AnInputCutShortUnderItsPendingCopiesIsThatFilesReadError) {
  const Bytes a = pattern(3 * kMiB, 5);
  const Bytes b = pattern(kMiB + 10, 6);
  auto slice = [](const Bytes& data, std::size_t from, std::size_t to) {
    return Bytes(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(std::min(to, data.size())));
  };
  constexpr std::size_t kCut = 32 + 5 + 1000;  // 1,000 bytes into block 0
  for (const std::string threads : {"-p0", "-p2", "-p16"}) {
    const std::string tree = "cut" + threads;
    const std::string out = "out" + threads;
    make_dirs(dir_ / tree);
    write_file(dir_ / (tree + "/a.qvx"), QvxBuilder({.orig_size = static_cast<std::int64_t>(a.size())})
                                              .block(slice(a, 0, kMiB))
                                              .block(slice(a, kMiB, 2 * kMiB))
                                              .block(slice(a, 2 * kMiB, 3 * kMiB))
                                              .bytes());
    write_file(dir_ / (tree + "/b.qvx"), QvxBuilder({.orig_size = static_cast<std::int64_t>(b.size())})
                                              .block(slice(b, 0, kMiB))
                                              .block(slice(b, kMiB, 2 * kMiB))
                                              .bytes());
    RunResult r = run_program({UQ_UNQUARVEX_CUTTING_INPUTS, "-d", "-r", threads, tree, out},
                              {.cwd = dir_.path(),
                               .env = {"UQ_CUT_OUTPUT=" + native(out + "/" + tree + "/a"),
                                       "UQ_CUT_INPUT=" + tree + "/a.qvx", "UQ_CUT_SIZE=" + std::to_string(kCut)}});
    EXPECT_EQ(r.status, 0) << threads;
    EXPECT_EQ(r.out, "err=, 1048576,1000 " + errno_report_line(103, 0)) << threads;
    EXPECT_EQ(r.err, "'" + native(out + "/" + tree + "/a") + "' is incomplete: 3 of 3 blocks not written\n") << threads;
    EXPECT_EQ(read_file(dir_ / (out + "/" + tree + "/a")), slice(a, 0, 1000)) << threads;
    ASSERT_TRUE(file_exists(dir_ / (out + "/" + tree + "/b"))) << threads;
    EXPECT_TRUE(read_file(dir_ / (out + "/" + tree + "/b")) == b) << threads;
  }
}

// Inputs and directories that can't be read, as a user without privileges (CI runs as root, which
// reads anything: there the restore runs as nobody through setpriv).
TEST_F(Faults, InputsAndDirectoriesThatCannotBeRead) {
  if (kWindows) GTEST_SKIP() << "POSIX modes and setpriv: Windows denies through access lists";
  std::vector<std::string> as_user;
  if (running_as_root()) as_user = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  make_dirs(dir_ / "tree/open");
  make_dirs(dir_ / "tree/locked");
  make_dirs(dir_ / "tree/blind");
  make_dirs(dir_ / "w");
  write_file(dir_ / "tree/a.qvx", smallest_file());
  write_file(dir_ / "tree/secret.qvx", smallest_file());
  write_file(dir_ / "tree/open/b.qvx", smallest_file());
  write_file(dir_ / "tree/locked/c.qvx", smallest_file());
  write_file(dir_ / "tree/blind/d.qvx", smallest_file());
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((dir_ / "w").c_str(), 0777), 0);
  ASSERT_EQ(::chmod((dir_ / "tree/secret.qvx").c_str(), 0), 0);
  ASSERT_EQ(::chmod((dir_ / "tree/locked").c_str(), 0), 0);
  ASSERT_EQ(::chmod((dir_ / "tree/blind").c_str(), 0311), 0);  // entered, never listed

  auto restore = [&](std::vector<std::string> args) {
    std::vector<std::string> argv = as_user;
    argv.push_back(restore_tool());
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, {.cwd = dir_.path()});
  };
  const Bytes digits{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  const std::string denied = std::strerror(EACCES);
  for (const std::string threads : {"-p0", "-p2"}) {
    const std::string out = "w/out" + threads;
    RunResult r = restore({"-d", "-r", threads, "tree", out});
    EXPECT_EQ(r.status, 0) << threads;
    EXPECT_EQ(r.out, "") << threads;
    EXPECT_EQ(sorted_lines(r.err), sorted_lines("tree/blind: " + denied + "\n" + "tree/locked: " + denied + "\n" +
                                                "can't open input file 'tree/secret.qvx'. '" + denied + "'\n"))
        << threads;
    EXPECT_EQ(read_file(dir_ / (out + "/tree/a")), digits);
    EXPECT_EQ(read_file(dir_ / (out + "/tree/open/b")), digits);
    EXPECT_TRUE(file_exists(dir_ / (out + "/tree/locked")));  // recreated, not entered
    EXPECT_FALSE(file_exists(dir_ / (out + "/tree/locked/c")));
    EXPECT_FALSE(file_exists(dir_ / (out + "/tree/blind/d")));
    EXPECT_FALSE(file_exists(dir_ / (out + "/tree/secret")));
  }
  // A destination that can't be written to is the one fatal case.
  RunResult r = restore({"-d", "-p2", "tree/a.qvx", "tree/locked"});
  EXPECT_EQ(r.status, kFatalStatus);
  EXPECT_EQ(r.err, "creat error 'tree/locked/a' '" + denied + "'\n");
  ASSERT_EQ(::chmod((dir_ / "tree/locked").c_str(), 0755), 0);  // so that the directory can go
  ASSERT_EQ(::chmod((dir_ / "tree/blind").c_str(), 0755), 0);
}

}  // namespace
}  // namespace uq::test
