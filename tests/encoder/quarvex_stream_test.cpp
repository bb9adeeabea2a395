// quarvex into and out of streams: the filter mode and -c, standard output a pipe or a file (as
// tar -I hands it over), inputs that are pipes or files whose size lies, --rm, -q, and the tar
// archive a compress program makes. Every archive is restored by the real unquarvex binary.
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "encoder/quarvex_fixture.h"
#include "encoder/test_data.h"
#include "support/expected.h"
#include "support/os.h"

namespace uq::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1 << 20;

class QuarvexStream : public QuarvexTest {
 protected:
  void SetUp() override {
    // Three blocks at -b 1, the last one short: the checksum of a stream spans several blocks.
    data_ = text_like(2 * kMiB + 12345, 31);
    put("data", data_);
    make_dirs(dir_ / "tmp");
  }

  // Runs a shell command in the test's directory, TMPDIR pointing at tmp/ there.
  RunResult shell(const std::string& command) {
    return run_program({"/bin/sh", "-c", command}, {.cwd = dir_.path(), .env = {"TMPDIR=" + (dir_ / "tmp")}});
  }

  // The bytes `name` restores to, by unquarvex; empty (with a failure) when it does not.
  Bytes restored(const std::string& name) {
    RunResult r = unquarvex({"-d", name, "restored"});
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.out + r.err, "") << name;
    const std::string out = "restored/" + fs::path(name).stem().string();
    return exists(out) ? get(out) : Bytes{};
  }

  // `quarvex -t` of an archive: its checksum and blocks agree.
  void expect_intact(const std::string& name) {
    RunResult r = quarvex({"-t", name});
    EXPECT_EQ(r.status, 0) << name << ": " << r.out << r.err;
  }

  std::string q() const { return UQ_QUARVEX; }

  // Where a stream run's standard input comes from and where its standard output goes.
  enum class From { file, pipe };
  enum class To { file, pipe };

  // quarvex `args` in the test's directory with TMPDIR at tmp/ there: standard input the file
  // `in` or a pipe fed its bytes (as `cat in |`), standard output the file out.qvx or a pipe
  // whose bytes go there (as `| cat > out.qvx`).
  RunResult stream(std::vector<std::string> args, From from, const std::string& in, To to) {
    args.insert(args.begin(), UQ_QUARVEX);
    RunOptions options{.cwd = dir_.path(), .env = {"TMPDIR=" + (dir_ / "tmp")}};
    if (to == To::file) options.stdout_file = dir_ / "out.qvx";
    if (!in.empty() && from == From::file) options.stdin_file = dir_ / in;
    if (!in.empty() && from == From::pipe) {
      const Bytes bytes = get(in);
      options.stdin_pipe = true;
      options.stdin_data.assign(bytes.begin(), bytes.end());
    }
    RunResult r = run_program(args, options);
    if (to == To::pipe) put("out.qvx", Bytes(r.raw_out.begin(), r.raw_out.end()));
    r.out.clear();
    return r;
  }

  Bytes data_;
};

// Every way of reaching standard output gives the same archive: filter mode, -c and -o -, from a
// file or a pipe, into a file (header written again at the end) or a pipe (header whole first:
// a file read twice, a pipe spooled to TMPDIR and gone after).
TEST_F(QuarvexStream, EveryRouteToStandardOutputGivesTheSameArchive) {
  // At level 1: a route gives the same archive at every level, and the default level's parser
  // made this the longest test of the suite (11 archives of 2 MiB, 21 s under ASan).
  ASSERT_EQ(quarvex({"-1", "-b", "1", "-o", "plain.qvx", "data"}).status, 0);
  const Bytes plain = get("plain.qvx");
  struct Route {
    std::string what;
    std::vector<std::string> args;
    From from;
    std::string in;
    To to;
  };
  const std::vector<Route> routes = {
      {"file-to-file", {"-1", "-b", "1", "-c", "data"}, From::file, "", To::file},
      {"-o -", {"-1", "-b", "1", "-o", "-", "data"}, From::file, "", To::file},
      {"filter, file to file", {"-1", "-b", "1"}, From::file, "data", To::file},
      {"pipe to file", {"-1", "-b", "1"}, From::pipe, "data", To::file},
      {"file to pipe", {"-1", "-b", "1", "-c", "data"}, From::file, "", To::pipe},
      {"pipe to pipe", {"-1", "-b", "1"}, From::pipe, "data", To::pipe},
      {"-c - from a pipe", {"-1", "-b", "1", "-c", "-"}, From::pipe, "data", To::pipe},
  };
  for (const auto& [what, args, from, in, to] : routes) {
    RunResult r = stream(args, from, in, to);
    EXPECT_EQ(r.status, 0) << what << ": " << r.err;
    EXPECT_EQ(r.out + r.err, "") << what;
    EXPECT_TRUE(get("out.qvx") == plain) << what;
    EXPECT_EQ(snapshot(dir_ / "tmp"), Tree{}) << what;
  }
  EXPECT_TRUE(restored("out.qvx") == data_);
  // Shuffled records need the size first: into a pipe, the same archive as into a file.
  ASSERT_EQ(quarvex({"-1", "-b", "1", "--shuffle-seed=3", "-o", "shuffled.qvx", "data"}).status, 0);
  for (const From from : {From::file, From::pipe}) {
    const bool piped = from == From::pipe;
    RunResult r = piped ? stream({"-1", "-b", "1", "--shuffle-seed=3"}, From::pipe, "data", To::file)
                        : stream({"-1", "-b", "1", "--shuffle-seed=3", "-c", "data"}, From::file, "", To::pipe);
    EXPECT_EQ(r.status, 0) << piped << ": " << r.err;
    EXPECT_TRUE(get("out.qvx") == get("shuffled.qvx")) << piped;
  }
  // Standard output captured straight from the binary: a pipe.
  RunResult r = quarvex({"-1", "-b", "1", "-c", "data"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Bytes(r.raw_out.begin(), r.raw_out.end()) == plain);
}

// An archive written into a file given as standard output begins at that file's position, and
// its header is written again there at the end; a failure leaves a header nothing takes for an
// archive.
TEST_F(QuarvexStream, StandardOutputAFileGetsItsHeaderAtItsOwnStart) {
  put("led", {'l', 'e', 'a', 'd'});
  RunResult r = run_program({q(), "-b", "1", "-c", "data"}, {.cwd = dir_.path(),
                                                             .stdout_file = dir_ / "led",
                                                             .stdout_mode = FileOutput::after_content});
  ASSERT_EQ(r.status, 0) << r.err;
  const Bytes led = get("led");
  ASSERT_GT(led.size(), 4u);
  EXPECT_EQ(Bytes(led.begin(), led.begin() + 4), (Bytes{'l', 'e', 'a', 'd'}));
  put("rest.qvx", Bytes(led.begin() + 4, led.end()));
  expect_intact("rest.qvx");
  EXPECT_TRUE(restored("rest.qvx") == data_);

  // Appending: nothing can be written again, so the header goes first, whole.
  r = run_program({q(), "-b", "1", "-c", "data"},
                  {.cwd = dir_.path(), .stdout_file = dir_ / "appended.qvx", .stdout_mode = FileOutput::append});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_intact("appended.qvx");

  // Cut off by a file-size limit after the header: no "QV0" for anyone to trust.
  if (kWindows) GTEST_SKIP() << "Windows has no file-size limit to set for a process";
  put("noise", random_bytes(300000, 32));
  r = run_program({q(), "-c", "noise"}, {.cwd = dir_.path(), .max_file_size = 100 * 512, .stdout_file = dir_ / "cut.qvx"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: noise: write error: " + std::string(std::strerror(EFBIG)) + "\n");
  const Bytes cut = get("cut.qvx");
  ASSERT_GE(cut.size(), 4u);
  EXPECT_EQ(Bytes(cut.begin() + 1, cut.begin() + 4), (Bytes{0, 0, 0}));
}

// Read to the end, whatever the size claims: /proc files claim 0 bytes and hold some.
TEST_F(QuarvexStream, AFileWhoseSizeSaysNothingIsReadToItsEnd) {
  if (!fs::exists("/proc/cpuinfo")) GTEST_SKIP() << "no /proc/cpuinfo here";
  ASSERT_EQ(fs::file_size("/proc/cpuinfo"), 0u);
  ASSERT_EQ(quarvex({"-o", "cpu.qvx", "/proc/cpuinfo"}).status, 0);
  ASSERT_EQ(stream({"-c", "/proc/cpuinfo"}, From::file, "", To::pipe).status, 0);
  fs::rename(dir_ / "out.qvx", dir_ / "piped.qvx");
  ASSERT_EQ(run_program({q()}, {.cwd = dir_.path(), .stdout_file = dir_ / "filtered.qvx", .stdin_file = "/proc/cpuinfo"})
                .status, 0);
  // A shuffle needs the size before the first block: a claim of nothing is not taken as one.
  ASSERT_EQ(quarvex({"--shuffle-seed=5", "-o", "shuffled.qvx", "/proc/cpuinfo"}).status, 0);
  for (const char* name : {"cpu.qvx", "piped.qvx", "filtered.qvx", "shuffled.qvx"}) {
    expect_intact(name);
    const Bytes text = restored(name);
    // The clock speeds in it move between reads: its start is what stays.
    EXPECT_GT(text.size(), 10u) << name;
    EXPECT_EQ(std::string(text.begin(), text.begin() + std::min<std::size_t>(text.size(), 9)), "processor") << name;
  }

  // A file that claims more than it holds (4096 bytes for a line such as "0-1"), shuffled into a pipe: the
  // header announces what the first read found, and the blocks are those bytes.
  const char* online = "/sys/devices/system/cpu/online";
  if (!fs::exists(online)) GTEST_SKIP() << "no " << online << " here";
  ASSERT_EQ(stream({"--shuffle-seed=5", "-c", online}, From::file, "", To::pipe).status, 0);
  fs::rename(dir_ / "out.qvx", dir_ / "online.qvx");
  expect_intact("online.qvx");
  EXPECT_EQ(restored("online.qvx"), read_file(online));
}

TEST_F(QuarvexStream, FailuresOfTheStreamsThemselvesAreReported) {
  // A reader gone: one line, status 1.
  RunResult r = quarvex({"-c", "data"}, {.stdout_closed = true});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: data: write error: " + std::string(std::strerror(EPIPE)) + "\n");
  // No standard output at all.
  r = run_program({q(), "-c", "data"}, {.cwd = dir_.path(), .stdout_absent = true});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: standard output is closed\n");
  // Appending the archive to its own input would never end.
  r = run_program({q(), "-c", "data"},
                  {.cwd = dir_.path(), .stdout_file = dir_ / "data", .stdout_mode = FileOutput::append});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: data: standard output is the input itself\n");
  EXPECT_TRUE(get("data") == data_);
  // Standard input the null device and standard output a pipe: spooled, in TMPDIR, and without
  // a TMPDIR to spool in, a failure before anything is written.
  r = quarvex({}, {.env = {"TMPDIR=" + (dir_ / "tmp")}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  put("empty.qvx", Bytes(r.raw_out.begin(), r.raw_out.end()));
  EXPECT_EQ(r.raw_out.size(), 32u);
  EXPECT_TRUE(restored("empty.qvx").empty());
  r = quarvex({}, {.env = {"TMPDIR=" + (dir_ / "no-such-dir")}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "quarvex: standard input: cannot spool the input in TMPDIR: " + std::string(std::strerror(ENOENT)) + "\n");
}

// --rm removes an input once its archive is complete and on the disk, and never after a failure;
// -k is accepted; -q leaves errors alone.
TEST_F(QuarvexStream, RemoveInputsOnlyAfterSuccessAndQuietKeepsOnlyErrors) {
  put("a", text_like(500, 33));
  put("b", text_like(600, 34));
  put("dest/b.qvx", {'o', 'l', 'd'});
  RunResult r = quarvex({"--rm", "-v", "-q", "a", "b", "dest"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: '" + native("dest/b.qvx") + "' exists; not replaced (-f replaces it)\n");
  EXPECT_FALSE(exists("a"));
  EXPECT_TRUE(exists("b"));
  EXPECT_EQ(get("dest/b.qvx"), (Bytes{'o', 'l', 'd'}));
  EXPECT_TRUE(restored("dest/a.qvx") == text_like(500, 33));
  // Standard input has no name to remove; -q -t names only what fails.
  r = run_program({q(), "--rm", "-o", "stdin.qvx", "-"}, {.cwd = dir_.path(), .stdin_file = dir_ / "b"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(exists("b"));
  r = quarvex({"-q", "-t", "stdin.qvx", "dest/a.qvx"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  // Trees too: every file goes once archived, the directories stay.
  put("t/x", text_like(50, 35));
  put("t/sub/y", text_like(60, 36));
  r = quarvex({"--rm", "-r", "t", "packed"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(snapshot(dir_ / "t"), (Tree{{"sub", std::nullopt}}));
  EXPECT_TRUE(restored("packed/t/sub/y.qvx") == text_like(60, 36));
  // -k changes nothing; -q hides the line about DEST_DIR inside the tree.
  make_dirs(dir_ / "t/packed");
  put("t/z", text_like(70, 37));
  r = quarvex({"-k", "-q", "-r", "t", "t/packed"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_TRUE(exists("t/z"));
  EXPECT_TRUE(exists("t/packed/t/z.qvx"));
}

// The order of what --rm does, as the system sees it: the archive's file synced, the rename, its
// directory synced, and only then the input removed. Skipped where strace can't trace.
TEST_F(QuarvexStream, RemoveInputsSyncsTheArchiveAndItsDirectoryBeforeTheInputGoes) {
  if (kWindows) GTEST_SKIP() << "strace traces Linux system calls";
  if (shell("strace -o /dev/null true").status != 0) GTEST_SKIP() << "strace is not available here";
  put("a", text_like(500, 42));
  make_dirs(dir_ / "dest");
  // LeakSanitizer stops the world with ptrace, which a traced process can't.
  RunResult r = run_program({"/bin/sh", "-c", "strace -f -y -e trace=fsync,rename,renameat2,unlink,unlinkat -o trace " +
                                                  q() + " --rm a dest"},
                            {.cwd = dir_.path(), .env = {"ASAN_OPTIONS=detect_leaks=0"}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(exists("a"));
  std::vector<std::string> calls;
  const Bytes trace = get("trace");
  std::string line;
  for (const std::uint8_t c : trace) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    const bool file_sync = line.find("fsync(") != std::string::npos && line.find("/dest/.a.qvx.") != std::string::npos;
    const bool dir_sync = line.find("fsync(") != std::string::npos && line.find("/dest>") != std::string::npos;
    if (file_sync) calls.push_back("sync archive");
    if (dir_sync) calls.push_back("sync directory");
    if (line.find("rename") != std::string::npos && line.find("dest/a.qvx") != std::string::npos) calls.push_back("rename");
    if (line.find("unlink") != std::string::npos && line.find("\"a\"") != std::string::npos) calls.push_back("remove input");
    line.clear();
  }
  EXPECT_EQ(calls, (std::vector<std::string>{"sync archive", "rename", "sync directory", "remove input"}));
}

// What `tar -I quarvex` (or --use-compress-program) needs: standard input to standard output,
// standard output being the archive file itself.
TEST_F(QuarvexStream, TarWithQuarvexAsItsCompressorWritesAnArchiveThatRestores) {
  if (kWindows) GTEST_SKIP() << "GNU tar is a Linux program: under Wine it can't run a Windows compressor";
  put("tree/a.txt", text_like(3000, 38));
  put("tree/sub/b.bin", random_bytes(70000, 39));
  for (const std::string& program : {q(), q() + " -9"}) {
    RunResult r = shell("tar '--use-compress-program=" + program + "' -cf x.tar.qvx tree");
    ASSERT_EQ(r.status, 0) << program << ": " << r.err;
    expect_intact("x.tar.qvx");
    fs::remove_all(dir_ / "restored");
    const Bytes tar = restored("x.tar.qvx");
    put("x.tar", tar);
    make_dirs(dir_ / "unpacked");
    r = shell("tar -xf x.tar -C unpacked");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(snapshot(dir_ / "unpacked/tree"), snapshot(dir_ / "tree")) << program;
    fs::remove_all(dir_ / "unpacked");
    fs::remove(dir_ / "x.tar.qvx");
  }
}

}  // namespace
}  // namespace uq::test
