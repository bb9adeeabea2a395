// quarvex never costs the user data: archives are written to a temporary file and renamed when
// complete; what is at an archive's path is kept unless -f, and even then only a regular file or a
// link is replaced, never written through; a failure leaves no temporary file; inputs are never
// touched, and archives get their modes and times.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "encoder/quarvex_fixture.h"
#include "encoder/test_data.h"
#include "support/expected.h"
#include "support/os.h"

namespace uq::test {
namespace {

namespace fs = std::filesystem;

std::string exists_message(const std::string& path) {
  return "quarvex: '" + path + "' exists; not replaced (-f replaces it)\n";
}

class QuarvexOutput : public QuarvexTest {
 protected:
  void SetUp() override {
    put("in", text_like(5000, 1));
    put("noise", random_bytes(200000, 2));
  }
};

TEST_F(QuarvexOutput, AnExistingArchiveIsKeptWithoutForceAndReplacedWithIt) {
  const Bytes precious{'k', 'e', 'e', 'p'};
  put("dest/in.qvx", precious);
  put("other", text_like(100, 3));
  // The other input is still compressed; the run fails for the one it could not write.
  RunResult r = quarvex({"in", "other", "dest"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, exists_message(native("dest/in.qvx")));
  EXPECT_EQ(get("dest/in.qvx"), precious);
  EXPECT_TRUE(exists("dest/other.qvx"));
  r = quarvex({"-o", "dest/in.qvx", "in"});
  EXPECT_EQ(r.err, exists_message("dest/in.qvx"));
  EXPECT_EQ(get("dest/in.qvx"), precious);

  RunResult forced = quarvex({"-f", "in", "dest"});
  EXPECT_EQ(forced.status, 0);
  EXPECT_EQ(forced.out + forced.err, "");
  EXPECT_EQ(unquarvex({"-d", "dest/in.qvx", "out"}).status, 0);
  EXPECT_EQ(get("out/in"), text_like(5000, 1));
  EXPECT_EQ(snapshot(dir_ / "dest").size(), 2u);  // no temporary file left beside them
}

// The archive in place survives a replacement that fails: the new one is a temporary file until
// it is complete.
TEST_F(QuarvexOutput, AFailedReplacementUnderAFileSizeLimitKeepsTheOldArchive) {
  if (kWindows) GTEST_SKIP() << "Windows has no file-size limit to set for a process";
  ASSERT_EQ(quarvex({"-o", "keep.qvx", "in"}).status, 0);
  const Tree before = snapshot(dir_.path());
  RunResult r = quarvex({"-f", "-o", "keep.qvx", "noise"}, {.max_file_size = 100000});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: noise: write error: " + std::string(std::strerror(EFBIG)) + "\n");
  EXPECT_EQ(snapshot(dir_.path()), before);  // keep.qvx byte for byte, and no temporary file
  // The same in a DEST_DIR run.
  ASSERT_EQ(quarvex({"noise", "d"}).status, 0);
  const Tree in_dir = snapshot(dir_ / "d");
  put("noise", random_bytes(300000, 4));
  r = quarvex({"-f", "noise", "d"}, {.max_file_size = 250000});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(snapshot(dir_ / "d"), in_dir);
}

// -f replaces a link to a regular file or to nothing, by the rename; a link to anything else (as
// /dev/stdout is) stands for something that is not an archive and is kept, -f or not.
TEST_F(QuarvexOutput, ALinkAtTheArchivesPathIsReplacedNeverWrittenThroughAndOnlyIfItNamesAFile) {
  if (kWindows) GTEST_SKIP() << "symbolic links need a privilege Windows gives administrators alone, and it has no /dev/full";
  fs::create_symlink("/dev/full", dir_ / "full.qvx");
  make_dirs(dir_ / "a-dir");
  fs::create_symlink("a-dir", dir_ / "dir.qvx");
  RunResult r = quarvex({"-o", "full.qvx", "in"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, exists_message("full.qvx"));
  for (const std::string link : {"full.qvx", "dir.qvx"}) {
    r = quarvex({"-f", "-o", link, "in"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarvex: '" + link + "' is a link to something other than a regular file; not replaced\n");
    EXPECT_TRUE(fs::is_symlink(dir_ / link));
  }
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
  EXPECT_EQ(snapshot(dir_ / "a-dir"), Tree{});

  // A link to another file: the link goes, the file it named stays as it was.
  put("victim", {'v'});
  make_dirs(dir_ / "d");
  fs::create_symlink("../victim", dir_ / "d/in.qvx");
  fs::create_symlink("nowhere", dir_ / "d/noise.qvx");
  EXPECT_EQ(quarvex({"-f", "in", "noise", "d"}).status, 0);
  EXPECT_EQ(get("victim"), Bytes{'v'});
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / "d/in.qvx")));
  // So does a link to nothing.
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / "d/noise.qvx")));
  EXPECT_EQ(snapshot(dir_ / "d").size(), 2u);
}

// Anything but a file or a link at the archive's path is refused, -f or not, and left in place.
TEST_F(QuarvexOutput, ADeviceNodeAFifoOrADirectoryAtTheArchivesPathIsNeverRemoved) {
  make_dirs(dir_ / "dest/in.qvx");
  put("dest/in.qvx/inside", {'i'});
  // Windows has neither FIFOs nor device nodes: the directory alone.
  const bool fifo = make_fifo(dir_ / "fifo.qvx") == 0;
  ASSERT_TRUE(fifo || kWindows);
  const bool device = make_null_device(dir_ / "device.qvx");
  for (const bool force : {false, true}) {
    const std::vector<std::string> f = force ? std::vector<std::string>{"-f"} : std::vector<std::string>{};
    auto run = [&](std::vector<std::string> args) {
      args.insert(args.begin(), f.begin(), f.end());
      return quarvex(args);
    };
    const std::string refused = force ? "' exists and is not a regular file; not replaced\n"
                                      : "' exists; not replaced (-f replaces it)\n";
    RunResult r = run({"in", "dest"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarvex: '" + native("dest/in.qvx") + refused);
    EXPECT_EQ(get("dest/in.qvx/inside"), Bytes{'i'});
    if (fifo) {
      r = run({"-o", "fifo.qvx", "in"});
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "quarvex: 'fifo.qvx" + refused);
      EXPECT_TRUE(fs::is_fifo(dir_ / "fifo.qvx"));
    }
    if (device) {
      r = run({"-o", "device.qvx", "in"});
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "quarvex: 'device.qvx" + refused);
      EXPECT_TRUE(fs::is_character_file(dir_ / "device.qvx"));
    }
  }
  EXPECT_EQ(snapshot(dir_ / "dest").size(), 2u);
  if (kWindows) GTEST_SKIP() << "Windows has no FIFOs nor device nodes; the directory case alone ran";
  if (!device) GTEST_SKIP() << "mknod is not allowed here; the device case did not run";
}

TEST_F(QuarvexOutput, ArchivesTakeTheInputsModeAndTimesAndInputsStayUntouched) {
  if (kWindows) GTEST_SKIP() << "POSIX modes and nanosecond times; windows_test has the read-only flag and kept times";
  ASSERT_EQ(set_mode(dir_ / "in", 0604), 0);
  ASSERT_EQ(set_times(dir_ / "in", {1000000000, 0}, {1234567890, 123456789}), 0);
  FileStatus in_before, in_after, archive;
  ASSERT_TRUE(file_status(dir_ / "in", &in_before));
  ASSERT_EQ(quarvex({"in", "dest"}).status, 0);
  ASSERT_TRUE(file_status(dir_ / "in", &in_after));
  ASSERT_TRUE(file_status(dir_ / "dest/in.qvx", &archive));
  EXPECT_EQ(archive.mode & 07777, 0604u);
  EXPECT_EQ(archive.modified.seconds, 1234567890);
  EXPECT_EQ(archive.modified.nanoseconds, 123456789);
  EXPECT_EQ(get("in"), text_like(5000, 1));
  EXPECT_EQ(in_after.modified.seconds, in_before.modified.seconds);
  EXPECT_EQ(in_after.modified.nanoseconds, in_before.modified.nanoseconds);
  EXPECT_EQ(in_after.mode, in_before.mode);
}

// An archive's path that is an input of the run, by name or as the same file, would replace that
// input before it is read: the input that would write it is refused, -f or not, and the rest runs.
TEST_F(QuarvexOutput, AnArchivePathThatIsAnotherInputOfTheRunIsRefused) {
  const Bytes precious = text_like(700, 6);
  put("a", text_like(300, 5));
  put("a.qvx", precious);
  RunResult r = quarvex({"-f", "a", "a.qvx", "."});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: 'a' passed over: its archive '" + native("./a.qvx") + "' is the input 'a.qvx' of this run\n");
  EXPECT_EQ(get("a.qvx"), precious);
  ASSERT_EQ(unquarvex({"-d", "a.qvx.qvx", "out"}).status, 0);
  EXPECT_EQ(get("out/a.qvx"), precious);

  // The same file under another name: a hard link.
  make_dirs(dir_ / "d");
  ASSERT_EQ(make_hard_link((dir_ / "a.qvx").c_str(), (dir_ / "d/a.qvx").c_str()), 0);
  r = quarvex({"-f", "a", "a.qvx", "d"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: 'a' passed over: its archive '" + native("d/a.qvx") + "' is the input 'a.qvx' of this run\n");
  EXPECT_EQ(get("a.qvx"), precious);

  // Inside a tree walked into itself.
  put("t/x", text_like(50, 7));
  put("t/x.qvx", precious);
  r = quarvex({"-f", "-r", "t", "."});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: '" + native("t/x") + "' passed over: its archive '" + native("./t/x.qvx") + "' is the input '" +
                       native("t/x.qvx") + "' of this run\n");
  EXPECT_EQ(get("t/x.qvx"), precious);
  EXPECT_TRUE(exists("t/x.qvx.qvx"));
  if (kWindows) GTEST_SKIP() << "symbolic links need a privilege Windows gives administrators alone";

  // A link of the input's name is that input too, whatever it names; a link at an archive's path
  // that names another input is only a link, replaced by the rename.
  fs::create_symlink("a.qvx", dir_ / "b.qvx");
  put("b", text_like(40, 9));
  r = quarvex({"-f", "b", "b.qvx", "."});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: 'b' passed over: its archive './b.qvx' is the input 'b.qvx' of this run\n");
  EXPECT_TRUE(fs::is_symlink(dir_ / "b.qvx"));
  fs::create_symlink("../a.qvx", dir_ / "d/b.qvx");
  r = quarvex({"-f", "b", "a.qvx", "d"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / "d/b.qvx")));
  EXPECT_EQ(get("a.qvx"), precious);
}

// A temporary name is ".NAME.XXXXXX" while that fits in a name (255 bytes), ".quarvex.XXXXXX"
// past it: the longest input name with the long form (243 bytes, 247 with ".qvx") and the next
// one both compress, so does the longest name an archive can have, and none leaves a temporary
// file; a name too long for its archive fails with the system's reason.
TEST_F(QuarvexOutput, InputNamesAtTheLengthLimitsOfTheTemporaryNameCompressAndLeaveNothing) {
  const std::size_t longest_with_own_temporary = 255 - std::string(".").size() - std::string(".qvx").size() -
                                                 std::string(".XXXXXX").size();
  ASSERT_EQ(longest_with_own_temporary, 243u);
  for (const std::size_t length : {longest_with_own_temporary, longest_with_own_temporary + 1, std::size_t{251}}) {
    const std::string name(length, 'n');
    put(name, text_like(length, 8));
    RunResult r = quarvex({name, "d"});
    EXPECT_EQ(r.status, 0) << length;
    EXPECT_EQ(r.err, "") << length;
    ASSERT_EQ(unquarvex({"-d", "d/" + name + ".qvx", "out"}).status, 0);
    EXPECT_EQ(get("out/" + name), text_like(length, 8)) << length;
    std::filesystem::remove(dir_ / name);
  }
  const std::string too_long(252, 'n');
  put(too_long, text_like(10, 8));
  RunResult r = quarvex({too_long, "d"});
  EXPECT_EQ(r.status, 1);
  // Windows gives its own reason for a name past 255 characters (under Wine, ENOENT's).
  const std::string refused = "quarvex: cannot create '" + native("d/") + too_long + ".qvx': ";
  EXPECT_EQ(r.err.substr(0, refused.size()), refused);
  if (!kWindows) {
    EXPECT_EQ(r.err, refused + std::strerror(ENAMETOOLONG) + "\n");
  }
  EXPECT_EQ(snapshot(dir_ / "d").size(), 3u);  // the three archives and nothing else
}

// A reader gone from the pipe of the messages ends nothing half way: the run goes on with SIGPIPE
// ignored, every archive is renamed or removed, and the lost lines make the status 1.
TEST_F(QuarvexOutput, AClosedPipeForTheMessagesLeavesNoTemporaryFileAndFails) {
  for (int i = 0; i < 6; ++i) put("src/f" + std::to_string(i), random_bytes(150000, 20 + static_cast<std::uint32_t>(i)));
  RunResult r = quarvex({"-v", "-p2", "-r", "src", "packed"}, {.stderr_closed = true});
  EXPECT_EQ(r.status, 1);
  Tree packed = snapshot(dir_ / "packed/src");
  EXPECT_EQ(packed.size(), 6u);
  for (const auto& [name, bytes] : packed) EXPECT_EQ(name.rfind('.', 0), std::string::npos) << name;
}

// An interrupted run removes the temporary file it was writing.
TEST_F(QuarvexOutput, AnInterruptedRunLeavesNoTemporaryFile) {
  if (kWindows) GTEST_SKIP() << "no signals to send a child on Windows; windows_test has Ctrl-C and Ctrl-Break";
  put("long", text_like(16 << 20, 5));
  RunResult r = run_program({"/bin/sh", "-c", std::string(UQ_QUARVEX) + " -p1 --best long d & sleep 1; kill -TERM $!; wait $!"},
                            {.cwd = dir_.path()});
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  EXPECT_TRUE(fs::is_directory(dir_ / "d"));
  EXPECT_EQ(snapshot(dir_ / "d"), Tree{});
}

}  // namespace
}  // namespace uq::test
