// The restore program end to end on stored blocks: command line, usage, destination, header and
// record checks, and every message and exit status a user sees.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "support/expected.h"
#include "support/os.h"
#include "support/process.h"
#include "support/restore_tool.h"
#include "support/qvx_builder.h"
#include "support/temp_dir.h"

namespace uq::test {
namespace {

// The usage text, naming the tool as it was invoked.
std::string usage_of(const std::string& name) {
  return "\nquarvex 0.94   Apr 18 2009\n\n Usage: " + name +
         " <options> <filename1> .. <filenameN> DESTINATION_DIR\n<options>\n     quarvex -d -r " +
         native("backup_dir/*") + " restore_dir\n";
}
const std::string kUsage = usage_of(restore_tool_name());
const Bytes kDigits{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
  return b;
}

class Spine : public ::testing::Test {
 protected:
  RunResult run(std::vector<std::string> args, RunOptions options = {}) {
    args.insert(args.begin(), restore_tool());
    if (options.cwd.empty()) options.cwd = dir_.path();
    return run_program(args, options);
  }
  void put(const std::string& name, const Bytes& bytes) { write_file(dir_ / name, bytes); }
  Bytes get(const std::string& name) { return read_file(dir_ / name); }
  bool exists(const std::string& name) { return file_exists(dir_ / name); }

  TempDir dir_;
};

void expect_clean(const RunResult& r) {
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST_F(Spine, UsageWhenTheCommandLineAsksForNoRestore) {
  put("a.qvx", smallest_file());
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"-D", "a.qvx", "out"}, {"-dr", "a.qvx", "out"}, {"a.qvx", "-d", "out"},
        {"-d", "a.qvx"}, {"-d"}, {"-d", "-r", "-p2", "out"}}) {
    RunResult r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kUsage);
  }
  EXPECT_FALSE(exists("out"));
}

TEST_F(Spine, UsageNamesTheProgramByItsBaseNameOrADefault) {
  {
    RunResult r = run_program({restore_tool()}, {.empty_argv0 = true});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kUsage);
  }
  if (kWindows) return;  // no symbolic links to make there; windows_test copies the program
  std::string link = dir_ / "restore-tool";
  ASSERT_EQ(make_symlink(restore_tool().c_str(), link.c_str()), 0);
  RunResult r = run_program({link, "-x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, usage_of("restore-tool"));
}

TEST_F(Spine, RestoresTheSmallestFileWithAnyThreadCount) {
  put("smallest.qvx", smallest_file());
  for (const char* p : {"-p0", "-p1", "-p2", "-p16", "-p-3"}) {
    RunResult r = run({"-d", p, "smallest.qvx", std::string("out") + p});
    expect_clean(r);
    EXPECT_EQ(get(std::string("out") + p + "/smallest"), kDigits) << p;
  }
  // Options may follow the inputs, and -v says nothing in a plain run.
  expect_clean(run({"-d", "smallest.qvx", "out", "-v", "-U"}));
  EXPECT_EQ(get("out/smallest"), kDigits);
}

TEST_F(Spine, SeveralInputsAndOutputNames) {
  put("a.qvx", smallest_file());
  put("b.QVX", smallest_file());
  put("c.bin", smallest_file());
  make_dirs(dir_ / "in/deep");
  put("in/deep/d.qvx", smallest_file());
  expect_clean(run({"-d", "-p0", "a.qvx", "b.QVX", "c.bin", dir_ / "in/deep/d.qvx", "out"}));
  EXPECT_EQ(get("out/a"), kDigits);
  EXPECT_EQ(get("out/b"), kDigits);
  EXPECT_EQ(get("out/c.bin.out"), kDigits);
  EXPECT_EQ(get("out/d"), kDigits);
}

TEST_F(Spine, DestinationIsMadeOneLevelOrRefused) {
  put("a.qvx", smallest_file());
  expect_clean(run({"-d", "a.qvx", "made"}));
  EXPECT_EQ(get("made/a"), kDigits);

  RunResult r = run({"-d", "a.qvx", "no/such/dir"});
  EXPECT_EQ(r.status, kFatalStatus);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "cannot create directory 'no/such/dir'\n");

  put("plain-file", kDigits);
  r = run({"-d", "a.qvx", "plain-file"});
  EXPECT_EQ(r.status, kFatalStatus);
  EXPECT_EQ(r.out, "destination is not a directory\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(Spine, DestinationEndingInSlashGetsNoSecondOne) {
  // An input named exactly ".qvx" gives the output name "out/", which can't be created.
  put(".qvx", smallest_file());
  make_dirs(dir_ / "out");
  // Windows refuses to create a name that ends in a separator as a denied access.
  const char* refused = std::strerror(kWindows ? EACCES : EISDIR);
  for (const char* dest : {"out", "out/"}) {
    RunResult r = run({"-d", "-p0", ".qvx", dest});
    EXPECT_EQ(r.status, kFatalStatus);
    EXPECT_EQ(r.out, "");
    // "out/" ends in a separator already; "out" gets the platform's.
    EXPECT_EQ(r.err, "creat error '" + (std::string(dest) == "out/" ? "out/" : native("out/")) + "' '" + refused + "'\n");
  }
}

TEST_F(Spine, PlainRunSkipsWhatIsNotAFileAndStopsAtTheFirstFailure) {
  put("good1.qvx", smallest_file());
  put("good2.qvx", smallest_file());
  put("bad.qvx", Bytes(40, 0x41));
  make_dirs(dir_ / "adir.qvx");
  RunResult r = run({"-d", "-p0", "missing.qvx", "adir.qvx", "good1.qvx", "bad.qvx", "good2.qvx", "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "'bad.qvx' not qvx file\n" + report_line(104));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(get("out/good1"), kDigits);
  EXPECT_FALSE(exists("out/bad"));
  EXPECT_FALSE(exists("out/good2"));
}

TEST_F(Spine, HeaderFailuresCreateNoOutput) {
  const Bytes whole = smallest_file();
  put("short.qvx", Bytes(whole.begin(), whole.begin() + 20));
  RunResult r = run({"-d", "-p0", "short.qvx", "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, errno_report_line(103, 0));
  EXPECT_FALSE(exists("out/short"));

  put("magic.qvx", QvxBuilder({.orig_size = 10, .magic = "QVo"}).block(kDigits).bytes());
  r = run({"-d", "-p0", "magic.qvx", "out"});
  EXPECT_EQ(r.out, "'magic.qvx' not qvx file\n" + report_line(104));
  EXPECT_FALSE(exists("out/magic"));

  // A block size of 0 MiB can't hold data: refused before anything is created.
  put("zero-mib.qvx", QvxBuilder({.orig_size = 10, .block_mib = 0}).block(kDigits).bytes());
  r = run({"-d", "-p0", "zero-mib.qvx", "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, report_line(105));
  EXPECT_FALSE(exists("out/zero-mib"));

  // ... but an empty file with block_mib 0 is fine.
  put("empty-zero-mib.qvx", QvxBuilder({.orig_size = 0, .block_mib = 0}).bytes());
  expect_clean(run({"-d", "-p0", "empty-zero-mib.qvx", "out"}));
  EXPECT_EQ(get("out/empty-zero-mib"), Bytes{});
}

TEST_F(Spine, EndsOfTheRecordStream) {
  // A header alone, and a file cut inside a record: both end quietly.
  put("header-only.qvx", QvxBuilder({.orig_size = 0}).bytes());
  put("trailing.qvx", QvxBuilder({.orig_size = 10}).block(kDigits).raw({1, 2, 3, 4}).bytes());
  put("empty-record.qvx", QvxBuilder({.orig_size = 0}).record(0).bytes());
  put("few-records.qvx", QvxBuilder({.orig_size = 3 * (1 << 20)}).block(pattern(1 << 20, 1)).bytes());
  expect_clean(run({"-d", "-p0", "header-only.qvx", "trailing.qvx", "empty-record.qvx", "few-records.qvx", "out"}));
  EXPECT_EQ(get("out/header-only"), Bytes{});
  EXPECT_EQ(get("out/trailing"), kDigits);
  EXPECT_EQ(get("out/empty-record"), Bytes{});
  EXPECT_EQ(get("out/few-records"), pattern(1 << 20, 1));

  // Cut inside block data: the bytes read are reported, then a read error with errno 0.
  put("cut.qvx", QvxBuilder({.orig_size = 10}).record(10).raw({'0', '1', '2'}).bytes());
  RunResult r = run({"-d", "-p0", "cut.qvx", "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "err=, 10,3 " + errno_report_line(103, 0));
  EXPECT_EQ(get("out/cut"), Bytes{});
}

TEST_F(Spine, DamagedRecordsAreCorruptAndEarlierBlocksStay) {
  const int mib = 1 << 20;
  const Bytes first = pattern(mib, 2);
  struct Case {
    const char* name;
    Bytes file;
  } cases[] = {
      // comp_len larger than the block it describes
      {"too-long", QvxBuilder({.orig_size = mib + 10}).block(first).block(pattern(11, 3)).bytes()},
      // an index past the last block
      {"past-end", QvxBuilder({.orig_size = mib + 10}).block(first).block(pattern(10, 3), 0x04).bytes()},
      // an index below 0 (k = 1, minus 2)
      {"negative", QvxBuilder({.orig_size = mib + 10}).block(first).block(pattern(10, 3), 0x05).bytes()},
      // index 0 twice (k = 1, minus 1)
      {"repeat", QvxBuilder({.orig_size = mib + 10}).block(first).block(first, 0x03).bytes()},
      // a coded block of a method with no decoder
      {"no-method", QvxBuilder({.orig_size = mib + 10, .method = 7}).block(first).block(pattern(5, 3)).bytes()},
      {"method-255", QvxBuilder({.orig_size = mib + 10, .method = 255}).block(first).block(pattern(5, 3)).bytes()},
  };
  for (const Case& c : cases) {
    put(std::string(c.name) + ".qvx", c.file);
    RunResult r = run({"-d", "-p0", std::string(c.name) + ".qvx", "out"});
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(r.out, report_line(105)) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(get(std::string("out/") + c.name), first) << c.name;
  }
}

// A repeated index is found however many records lie between, even when an index between them
// shares its place in the table of recent indexes (0 and 128 differ by a power of two).
TEST_F(Spine, ARepeatedIndexAfterACollidingOneIsCorrupt) {
  const int mib = 1 << 20;
  const Bytes first = pattern(mib, 2);
  const Bytes last = pattern(10, 3);
  // Records k = 0, 1, 2 for blocks 0, 128 (k + 127) and 0 again (k - 2).
  put("repeat.qvx",
      QvxBuilder({.orig_size = 128ll * mib + 10}).block(first).block(last, 0xFE).block(first, 0x05).bytes());
  RunResult r = run({"-d", "-p0", "repeat.qvx", "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, report_line(105));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_range(dir_ / "out/repeat", 0, mib), first);
  EXPECT_EQ(read_range(dir_ / "out/repeat", 128ll * mib, 10), last);
}

TEST_F(Spine, BlockSizeLimits) {
  // A small file restores whatever block_mib says...
  put("big-mib.qvx", QvxBuilder({.orig_size = 10, .block_mib = 0xFFFF}).block(kDigits).bytes());
  expect_clean(run({"-d", "-p0", "big-mib.qvx", "out"}));
  EXPECT_EQ(get("out/big-mib"), kDigits);
  // ... but a block of 2 GiB or more can't be restored.
  put("huge-block.qvx",
      QvxBuilder({.orig_size = 3ll << 30, .block_mib = 2048}).block(kDigits).bytes());
  RunResult r = run({"-d", "-p0", "huge-block.qvx", "out"});
  EXPECT_EQ(r.out, report_line(105));
}

TEST_F(Spine, StoredBlocksNeedNoMethodAndLandAtTheirOffsets) {
  const int mib = 1 << 20;
  const Bytes b0 = pattern(mib, 4);
  const Bytes b1 = pattern(1234, 5);
  // Written in the order 1, 0, under a method no decoder knows.
  put("swapped.qvx", QvxBuilder({.orig_size = mib + 1234, .method = 9}).block(b1, 0x02).block(b0, 0x03).bytes());
  expect_clean(run({"-d", "-p0", "swapped.qvx", "out"}));
  Bytes expected = b0;
  expected.insert(expected.end(), b1.begin(), b1.end());
  EXPECT_EQ(get("out/swapped"), expected);
}

TEST_F(Spine, OffsetsBeyondFourGiB) {
  const std::int64_t block = 2047ll << 20;
  const Bytes tail = pattern(100, 6);
  put("sparse.qvx", QvxBuilder({.orig_size = 2 * block + 100, .block_mib = 2047}).block(tail, 0x04).bytes());
  expect_clean(run({"-d", "-p0", "sparse.qvx", "out"}));
  EXPECT_EQ(std::filesystem::file_size(dir_ / "out/sparse"), static_cast<std::uintmax_t>(2 * block + 100));
  EXPECT_EQ(read_range(dir_ / "out/sparse", 2 * block, 100), tail);
}

TEST_F(Spine, WriteFailuresAreReportedAndEndThePlainRun) {
  if (kWindows) GTEST_SKIP() << "Windows has neither /dev/full nor a file-size limit";
  put("a.qvx", smallest_file());
  put("b.qvx", smallest_file());
  make_dirs(dir_ / "out");
  ASSERT_EQ(make_symlink("/dev/full", (dir_ / "out/a").c_str()), 0);
  RunResult r = run({"-d", "-p0", "a.qvx", "b.qvx", "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, errno_report_line(102, ENOSPC));
  EXPECT_EQ(r.err, "'out/a' is incomplete: 1 of 1 blocks not written\n");
  EXPECT_FALSE(exists("out/b"));

  // A file-size limit is a failed write too, not a signal.
  const int mib = 1 << 20;
  put("big.qvx", QvxBuilder({.orig_size = 2 * mib}).block(pattern(mib, 7)).block(pattern(mib, 8)).bytes());
  r = run({"-d", "-p0", "big.qvx", "out2"}, {.max_file_size = mib + 4096});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, errno_report_line(102, EFBIG));
  EXPECT_EQ(r.err, "'out2/big' is incomplete: 1 of 2 blocks not written\n");
}

// After a full disk the rest of the file is neither read nor decoded: one report, no other
// message, even though a later record of the same file is damaged.
TEST_F(Spine, AWriteFailureStopsReadingTheFileWithWorkersToo) {
  const int mib = 1 << 20;
  QvxBuilder b({.orig_size = 16 * mib});
  for (int i = 0; i < 15; ++i) b.block(pattern(mib, static_cast<unsigned>(i)));
  b.block(Bytes(mib + 1, 'x'));  // longer than its block: error 105 if it were ever read
  put("a.qvx", b.bytes());
  make_dirs(dir_ / "out");
  if (kWindows) GTEST_SKIP() << "Windows has no always-full device such as /dev/full";
  ASSERT_EQ(make_symlink("/dev/full", (dir_ / "out/a").c_str()), 0);
  RunResult r = run({"-d", "-p1", "a.qvx", "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, errno_report_line(102, ENOSPC));
  EXPECT_EQ(r.err, "'out/a' is incomplete: 16 of 16 blocks not written\n");
}

TEST_F(Spine, AClosedStandardOutputDoesNotKillTheRun) {
  // The first file's report goes to a pipe nobody reads; the run goes on to its normal end.
  make_dirs(dir_ / "in");
  put("in/bad.qvx", QvxBuilder({.orig_size = 10, .block_mib = 0}).block(kDigits).bytes());
  put("in/good.qvx", smallest_file());
  RunResult r = run({"-d", "-r", "-p0", "in", "out"}, {.stdout_closed = true});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(get("out/in/good"), kDigits);
}

}  // namespace
}  // namespace uq::test
