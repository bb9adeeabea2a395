// quarvex -d into files, through the binary: every archive is checked as it is restored; a
// failure names the archive and its first bad block, gives status 1 and leaves nothing under the
// output's name, and the run goes on; outputs are never replaced without -f nor written through;
// the archive's mode and times come back; --keep-partial, --rm, -o, -r and the command line.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "encoder/restore_fixture.h"
#include "support/expected.h"
#include "support/os.h"

namespace uq::test {
namespace {

namespace fs = std::filesystem;

class QuarvexRestore : public RestoreTest {
 protected:
  // An archive quarvex made of `bytes` (random bytes: every block stored, with the checksum).
  void made(const std::string& name, const Bytes& bytes) {
    put(name, bytes);
    ASSERT_EQ(quarvex({"-0", "-f", "-o", name + ".qvx", name}).status, 0);
    ASSERT_TRUE(fs::remove(dir_ / name));
  }
};

TEST_F(QuarvexRestore, EachFailureNamesItsArchiveAndLeavesNoOutputAndTheRunGoesOn) {
  const Bytes three = hand_made(3);
  put("first.qvx", three);
  put("damaged.qvx", hand_made(3, {}, {1}));
  put("missing.qvx", cut(three, block_at(2) - 5));  // ends where block 2's record would start
  put("short.qvx", cut(three, block_at(1) + 1000));
  made("flipped", random_bytes(2 * kBlock + 50, 9));
  Bytes flipped = get("flipped.qvx");
  flipped[block_at(1) + 77] ^= 0x10;  // a stored block: only the checksum can tell
  put("flipped.qvx", flipped);
  put("notes.qvx", text_like(100));
  make_dirs(dir_ / "folder.qvx");
  put("last.qvx", hand_made(1));
  for (const std::string threads : {"-p0", "-p2"}) {
    SCOPED_TRACE(threads);
    const std::string out = "out" + threads;
    RunResult r = quarvex({"-d", threads, "first.qvx", "damaged.qvx", "missing.qvx", "short.qvx", "flipped.qvx",
                           "notes.qvx", "folder.qvx", "gone.qvx", "last.qvx", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "quarvex: 'folder.qvx' is a directory; passed over (-r restores its tree)\n"
              "quarvex: 'gone.qvx': No such file or directory\n"
              "quarvex: damaged.qvx: damaged: block 1: coded stream damaged\n"
              "quarvex: missing.qvx: damaged: block 2 missing\n"
              "quarvex: short.qvx: damaged: block 1: cut short: 1000 of 1048576 bytes\n"
              "quarvex: flipped.qvx: damaged: checksum mismatch\n"
              "quarvex: notes.qvx: not a quarvex file\n");
    // The good archives before and after the bad ones, and nothing else: no temporary file.
    EXPECT_EQ(snapshot(dir_ / out), (Tree{{"first", restored_blocks(3)}, {"last", restored_blocks(1)}}));
  }
}

TEST_F(QuarvexRestore, AFailedWriteLeavesNothingBehindNotEvenWithKeepPartial) {
  if (kWindows) GTEST_SKIP() << "Windows has no file-size limit to set for a process";
  put("a.qvx", hand_made(3));
  for (const std::string keep : {"-k", "--keep-partial"}) {
    RunResult r = quarvex({"-d", keep, "a.qvx", "out"}, {.max_file_size = 1 << 20});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarvex: a.qvx: write error on '" + native("out/a") + "': " + std::string(std::strerror(EFBIG)) + "\n");
    EXPECT_EQ(snapshot(dir_ / "out"), Tree{});
  }
}

// A block of zeros is left as a hole, and the file still gets its whole length.
TEST_F(QuarvexRestore, ALastBlockOfZerosIsRestoredToItsLength) {
  put("a.qvx", QvxBuilder({.orig_size = 2 * kBlock}).block(block_bytes(0)).block(Bytes(kBlock, 0)).bytes());
  ASSERT_EQ(quarvex({"-d", "a.qvx", "out"}).status, 0);
  Bytes expected = block_bytes(0);
  expected.resize(2 * kBlock);
  EXPECT_TRUE(get("out/a") == expected);
}

// --keep-partial keeps what the restore tool keeps: every good block in place, zeros for the
// others, with a line for each bad range; the status is still 1.
TEST_F(QuarvexRestore, KeepPartialKeepsTheGoodBlocksAndNamesEachBadRange) {
  // Block 1's 7 coded bytes stand for a whole block: block 3 starts that much earlier.
  put("a.qvx", cut(hand_made(5, {}, {1}), block_at(3) - (kBlock - 7) + 10));
  Bytes expected = restored_blocks(5);
  std::fill(expected.begin() + kBlock, expected.begin() + 2 * kBlock, 0);
  std::fill(expected.begin() + 3 * kBlock, expected.end(), 0);
  // The blocks after a damaged one are restored without workers too.
  for (const std::string threads : {"-p0", "-p2"}) {
    RunResult r = quarvex({"-d", "-f", "--keep-partial", threads, "a.qvx", "out"});
    EXPECT_EQ(r.status, 1);
    const std::string out_a = "'" + native("out/a") + "'";
    EXPECT_EQ(r.err,
              "quarvex: a.qvx: damaged: block 1: coded stream damaged\n"
              "quarvex: a.qvx: block 1 (bytes 1048576 to 2097151) of " + out_a + " left as zeros: coded stream damaged\n"
              "quarvex: a.qvx: block 3 (bytes 3145728 to 4194303) of " + out_a + " left as zeros: cut short: 10 of "
              "1048576 bytes\n"
              "quarvex: a.qvx: block 4 (bytes 4194304 to 5242879) of " + out_a + " left as zeros: missing\n");
    EXPECT_TRUE(get("out/a") == expected) << threads;
    EXPECT_EQ(snapshot(dir_ / "out").size(), 1u);
  }
  // Block 1 has no record at all, block 2 is damaged: two ranges, each with its reason.
  QvxBuilder gap({.orig_size = 3 * kBlock});
  gap.block(block_bytes(0)).block(hex("11 22 00 00 00 00 00"), rel_index(2, 1));
  put("gap.qvx", gap.bytes());
  RunResult r = quarvex({"-d", "--keep-partial", "gap.qvx", "out"});
  const std::string out_gap = "'" + native("out/gap") + "'";
  EXPECT_EQ(r.err,
            "quarvex: gap.qvx: damaged: block 2: coded stream damaged\n"
            "quarvex: gap.qvx: block 1 (bytes 1048576 to 2097151) of " + out_gap + " left as zeros: missing\n"
            "quarvex: gap.qvx: block 2 (bytes 2097152 to 3145727) of " + out_gap + " left as zeros: coded stream damaged\n");
  // An archive whose header can't be read leaves nothing to keep.
  put("b.qvx", text_like(100));
  r = quarvex({"-d", "--keep-partial", "b.qvx", "out"});
  EXPECT_EQ(r.err, "quarvex: b.qvx: not a quarvex file\n");
  EXPECT_EQ(snapshot(dir_ / "out").size(), 2u);
}

TEST_F(QuarvexRestore, ExistingOutputsAreKeptWithoutForceAndLinksAreReplacedNeverWrittenThrough) {
  put("a.qvx", hand_made(1));
  put("out/a", {'o', 'l', 'd'});
  RunResult r = quarvex({"-d", "a.qvx", "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: '" + native("out/a") + "' exists; not replaced (-f replaces it)\n");
  EXPECT_EQ(get("out/a"), (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(quarvex({"-d", "-f", "a.qvx", "out"}).status, 0);
  EXPECT_TRUE(get("out/a") == restored_blocks(1));

  if (!kWindows) {  // symbolic links need a privilege Windows gives administrators alone
    put("victim", {'v'});
    make_dirs(dir_ / "linked");
    fs::create_symlink("../victim", dir_ / "linked/a");
    EXPECT_EQ(quarvex({"-d", "a.qvx", "linked"}).status, 1);
    r = quarvex({"-d", "-f", "a.qvx", "linked"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(get("victim"), Bytes{'v'});
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / "linked/a")));
  }

  // A directory, a FIFO or a device node at the output is refused, -f or not, and left alone
  // (Windows has neither FIFOs nor device nodes).
  make_dirs(dir_ / "odd/a");
  const bool fifo = make_fifo(dir_ / "fifo") == 0;
  ASSERT_TRUE(fifo || kWindows);
  const bool device = make_null_device(dir_ / "device");
  for (const std::string& at : std::vector<std::string>{"odd", "fifo", "device"}) {
    if ((at == "device" && !device) || (at == "fifo" && !fifo)) continue;
    const std::string target = at == "odd" ? native("odd/a") : at;
    r = at == "odd" ? quarvex({"-d", "-f", "a.qvx", "odd"}) : quarvex({"-d", "-f", "-o", at, "a.qvx"});
    EXPECT_EQ(r.status, 1) << at;
    EXPECT_EQ(r.err, "quarvex: '" + target + "' exists and is not a regular file; not replaced\n");
  }
  EXPECT_TRUE(fs::is_directory(dir_ / "odd/a"));
  EXPECT_TRUE(fs::is_fifo(dir_ / "fifo") || !fifo);

  // An output that is another archive of the run would lose it before it was restored.
  put("b.qvx.qvx", hand_made(1));
  put("b.qvx", hand_made(2));
  r = quarvex({"-d", "-f", "b.qvx.qvx", "b.qvx", "."});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: '" + native("./b.qvx") + "' is an archive of this run; not replaced\n");
  EXPECT_TRUE(get("b.qvx") == hand_made(2));
  EXPECT_TRUE(get("b") == restored_blocks(2));
}

TEST_F(QuarvexRestore, TheArchivesModeAndTimesComeBackToTheRestoredFile) {
  if (kWindows) GTEST_SKIP() << "POSIX modes and nanosecond times; windows_test has the read-only flag and kept times";
  put("a.qvx", hand_made(1));
  ASSERT_EQ(set_mode(dir_ / "a.qvx", 0751), 0);
  ASSERT_EQ(set_times(dir_ / "a.qvx", {1000000000, 5}, {1234567890, 123456789}), 0);
  ASSERT_EQ(quarvex({"-d", "-o", "restored", "a.qvx"}).status, 0);
  FileStatus st;
  ASSERT_TRUE(file_status(dir_ / "restored", &st));
  EXPECT_EQ(st.mode & 07777, 0751u);
  EXPECT_EQ(st.modified.seconds, 1234567890);
  EXPECT_EQ(st.modified.nanoseconds, 123456789);
  EXPECT_TRUE(get("restored") == restored_blocks(1));
}

// Runs quarvex -d on a long restore and sends SIGINT once its temporary file exists.
TEST_F(QuarvexRestore, AnInterruptLeavesNoFileUnderTheOutputsName) {
  if (kWindows) GTEST_SKIP() << "no signals to send a child on Windows; windows_test has Ctrl-C";
  // One coded block of text, over and over: a long restore from a small archive.
  put("text", text_like(kBlock, 3));
  ASSERT_EQ(quarvex({"-1", "-o", "text.qvx", "text"}).status, 0);
  const Bytes one = get("text.qvx");
  constexpr std::int64_t kCopies = 400;
  QvxBuilder long_one({.orig_size = kCopies * static_cast<std::int64_t>(kBlock)});
  for (std::int64_t i = 0; i < kCopies; ++i) long_one.raw(Bytes(one.begin() + 32, one.end()));
  put("long.qvx", long_one.bytes());
  make_dirs(dir_ / "out");

  bool temporary_seen = false;
  const int signal = interrupted_run({UQ_QUARVEX, "-d", "-p1", "long.qvx", "out"}, dir_.path(), [&] {
    for (const auto& e : fs::directory_iterator(dir_ / "out")) temporary_seen |= e.path().filename().string()[0] == '.';
    return temporary_seen;
  }, std::chrono::seconds(60));
  EXPECT_TRUE(temporary_seen);
  EXPECT_EQ(signal, SIGINT);
  EXPECT_EQ(snapshot(dir_ / "out"), Tree{});
}

// --rm: the output reaches the disk, and its name in its directory, before the archive goes.
TEST_F(QuarvexRestore, RemoveFlushesTheOutputAndItsDirectoryBeforeTheArchiveGoes) {
  if (kWindows) GTEST_SKIP() << "strace traces Linux system calls";
  if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
  put("a.qvx", hand_made(1));
  make_dirs(dir_ / "out");
  // LeakSanitizer can't run under ptrace.
  RunResult r = run_program({"/usr/bin/strace", "-o", "calls", "-e", "trace=fsync,renameat2,rename,unlink,unlinkat",
                             UQ_QUARVEX, "-d", "--rm", "a.qvx", "out"},
                            {.cwd = dir_.path(), .env = {"ASAN_OPTIONS=detect_leaks=0"}});
  ASSERT_EQ(r.status, 0) << r.err;
  const Bytes calls = get("calls");
  const std::string trace(calls.begin(), calls.end());
  const std::size_t rename = trace.find("rename");
  const std::size_t flush = trace.find("fsync(");
  const std::size_t directory_flush = trace.find("fsync(", rename);
  const std::size_t removal = trace.find("unlink(\"a.qvx\")");
  EXPECT_LT(flush, rename) << trace;
  EXPECT_LT(rename, directory_flush) << trace;
  EXPECT_LT(directory_flush, removal) << trace;
  EXPECT_NE(removal, std::string::npos) << trace;
  // Without --rm a new output is not flushed: that costs time and saves nothing.
  put("b.qvx", hand_made(1));
  r = run_program({"/usr/bin/strace", "-o", "calls", "-e", "trace=fsync", UQ_QUARVEX, "-d", "b.qvx", "out"},
                  {.cwd = dir_.path(), .env = {"ASAN_OPTIONS=detect_leaks=0"}});
  ASSERT_EQ(r.status, 0) << r.err;
  const Bytes plain = get("calls");
  EXPECT_EQ(std::string(plain.begin(), plain.end()).find("fsync("), std::string::npos);
}

TEST_F(QuarvexRestore, RemoveTakesAnArchiveOnlyOnceItsOutputIsWhole) {
  put("good.qvx", hand_made(2));
  put("bad.qvx", hand_made(2, {}, {1}));
  put("taken.qvx", hand_made(1));
  put("out/taken", {'x'});
  RunResult r = quarvex({"-d", "--rm", "good.qvx", "bad.qvx", "taken.qvx", "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(exists("good.qvx"));
  EXPECT_TRUE(get("out/good") == restored_blocks(2));
  EXPECT_TRUE(exists("bad.qvx"));
  EXPECT_TRUE(exists("taken.qvx"));
  EXPECT_EQ(get("out/taken"), Bytes{'x'});
}

// The archives named as the system writes paths (on Windows with backslashes): each name is its
// last component.
TEST_F(QuarvexRestore, TwoArchivesOfOneOutputAreNotBothRestored) {
  put("a/x.qvx", hand_made(1));
  put("b/x.qvx", hand_made(2));
  const std::string a = native("a/x.qvx");
  const std::string b = native("b/x.qvx");
  RunResult r = quarvex({"-d", a, b, "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: '" + b + "' passed over: its output '" + native("out/x") + "' is that of '" + a +
                       "' already\n");
  EXPECT_TRUE(get("out/x") == restored_blocks(1));
  if (kWindows) {
    // On Windows "X" is the file "x" is.
    put("c/X.qvx", hand_made(3));
    const std::string c = native("c/X.qvx");
    r = quarvex({"-d", "-f", a, c, "out2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarvex: '" + c + "' passed over: its output '" + native("out2/X") + "' is that of '" + a +
                         "' already\n");
    EXPECT_TRUE(get("out2/x") == restored_blocks(1));
  }
}

// -r walks as the restore tool does, reports what it can't use, and never enters DEST_DIR.
TEST_F(QuarvexRestore, ARecursiveRestoreReportsWhatItPassesOverAndStaysOutOfItsDestination) {
  put("tree/a.qvx", hand_made(1));
  put("tree/sub/b", hand_made(2));
  make_dirs(dir_ / "tree/empty");
  // Windows has no FIFOs: there the run has nothing to pass over.
  const bool fifo = !kWindows;
  if (fifo) {
    ASSERT_EQ(make_fifo(dir_ / "tree/sub/fifo"), 0);
  }
  const std::string left_out = "quarvex: '" + native("tree/out") + "' is DEST_DIR; left out of its tree\n";
  RunResult r = quarvex({"-d", "-r", "tree", "tree/out"});
  EXPECT_EQ(r.status, fifo ? 1 : 0);
  EXPECT_EQ(r.err, left_out + (fifo ? "quarvex: 'tree/sub/fifo' is not a regular file; passed over\n" : ""));
  EXPECT_EQ(snapshot(dir_ / "tree/out"), (Tree{{"tree", std::nullopt},
                                               {"tree/a", restored_blocks(1)},
                                               {"tree/empty", std::nullopt},
                                               {"tree/sub", std::nullopt},
                                               {"tree/sub/b.out", restored_blocks(2)}}));
  // Without the FIFO, all is well; -q leaves out the line about the destination.
  fs::remove(dir_ / "tree/sub/fifo");
  r = quarvex({"-d", "-r", "-f", "tree", "tree/out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, left_out);
  EXPECT_EQ(quarvex({"-d", "-r", "-q", "-f", "tree", "tree/out"}).err, "");
  // DEST_DIR itself holds nothing to restore.
  r = quarvex({"-d", "-r", "tree/out", "tree/out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: 'tree/out' is DEST_DIR itself; nothing in it restored\n");
}

TEST_F(QuarvexRestore, CommandLineMistakesOfARestore) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"-d", "a.qvx"}, "give the archives to restore, then DEST_DIR (or -c, or -o FILE)"},
      {{"-d", "-c", "a.qvx", "b.qvx"}, "standard output takes one archive (an archive holds one file)"},
      {{"-d", "-o", "-", "a.qvx", "b.qvx"}, "standard output takes one archive (an archive holds one file)"},
      {{"-d", "-r", "-c", "a.qvx"}, "-r restores into a DEST_DIR, not to standard output"},
      {{"-d", "--keep-partial", "-c", "a.qvx"},
       "--keep-partial goes with restores to files: a stream can't hold a hole"},
      {{"-d", "--rm"}, "--rm goes with restores to files"},
      {{"-d", "-", "out"}, "standard input ('-') restores to standard output (-c)"},
      {{"-d", "-o", "x", "a.qvx", "b.qvx"}, "-o takes exactly one archive"},
      {{"-d", "-r", "-o", "x", "a.qvx"}, "-o takes one archive; -r needs a DEST_DIR"},
      {{"-d", "a.qvx", "-"}, "DEST_DIR can't be '-'"},
      {{"-d", "-t", "a.qvx"}, "-d can't be combined with --list or --test"},
      {{"-d", "--json", "a.qvx", "out"}, "--json goes with --list or --test"},
      {{"--keep-partial", "a", "out"}, "--keep-partial goes with -d"},
      {{"-d", "-c", "-o", "x", "a.qvx"}, "-c and -o can't be combined"},
      {{"-d", "--rm", "-k", "a.qvx", "out"}, "-k and --rm can't be combined"},
  };
  for (const auto& [args, message] : bad) {
    RunResult r = quarvex(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_EQ(r.err, "quarvex: " + message +
                         "\nUsage: quarvex [OPTIONS] FILE... DEST_DIR (or -o FILE, -c, -l, -t, -d); try 'quarvex --help'\n")
        << testing::PrintToString(args);
  }
  // --decompress is -d, anywhere on the line; -k is taken and keeps the archive anyway.
  put("a.qvx", hand_made(1));
  RunResult r = quarvex({"a.qvx", "-k", "out", "--decompress", "-v"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.rfind("a.qvx -> " + native("out/a") + ": 1048576 bytes, no checksum: every block decoded, ", 0), 0u) << r.err;
  EXPECT_TRUE(exists("a.qvx"));
  r = quarvex({"-dqvf", "a.qvx", "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
}

}  // namespace
}  // namespace uq::test
