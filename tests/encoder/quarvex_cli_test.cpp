// The quarvex tool end to end: its command line, and files it writes restored by the real
// unquarvex binary byte for byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "encoder/codec/block_encoder.h"
#include "qvx_version.h"

#include "encoder/test_data.h"
#include "support/expected.h"
#include "support/os.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace uq::test {
namespace {

constexpr std::size_t kMiB = 1 << 20;

class Quarvex : public ::testing::Test {
 protected:
  RunResult compress(const std::vector<std::string>& args) {
    std::vector<std::string> argv{UQ_QUARVEX};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, {.cwd = dir_.path()});
  }

  // Compresses `data` as `name` with `options`, restores it with unquarvex (threads "-p0" or
  // "-p2") and gives the compressed file.
  Data round_trip(const std::string& name, const Data& data, std::vector<std::string> options,
                  const std::string& threads = "-p0") {
    write_file(dir_ / name, data);
    options.insert(options.end(), {"-o", name + ".qvx", name});
    RunResult c = compress(options);
    EXPECT_EQ(c.status, 0) << name << ": " << c.err;
    EXPECT_EQ(c.out + c.err, "");
    RunResult r = run_program({UQ_UNQUARVEX, "-d", threads, name + ".qvx", "out"},
                              {.cwd = dir_.path()});
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.out + r.err, "") << name;
    Data restored = read_file(dir_ / ("out/" + name));
    EXPECT_TRUE(restored == data) << name << ": " << restored.size() << " bytes restored of "
                                  << data.size();
    return read_file(dir_ / (name + ".qvx"));
  }

  TempDir dir_;
};

// Text that repeats at a distance: quick to compress under the sanitizers, and still coded.
Data long_text(std::size_t n, std::uint32_t seed) {
  Data unit = text_like(48 << 10, seed);
  Data d;
  while (d.size() < n) d.insert(d.end(), unit.begin(), unit.end());
  d.resize(n);
  return d;
}

TEST_F(Quarvex, CommandLineMistakesPrintTheUsageAndFail) {
  write_file(dir_ / "in", Data{1, 2, 3});
  // Each mistake with the message that names it.
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"in"}, "give the files to compress, then DEST_DIR (or -o FILE, or -c)"},
      {{"-r"}, "give the files to compress, then DEST_DIR (or -o FILE, or -c)"},
      {{"-o", "o.qvx", "in", "in2"}, "-o takes exactly one input file"},
      {{"-o", "o.qvx", "-r", "in"}, "-o takes one file; -r needs a DEST_DIR"},
      {{"--level=256", "-o", "o.qvx", "in"}, "--level must be 0 to 255"},
      {{"--level=x", "-o", "o.qvx", "in"}, "--level must be 0 to 255"},
      {{"--filter=3", "-o", "o.qvx", "in"}, "--filter must be none, x86, delta or auto"},
      {{"-b", "0", "-o", "o.qvx", "in"}, "-b must be 1 to 2047 (MiB)"},
      {{"--block-size=2048", "-o", "o.qvx", "in"}, "--block-size must be 1 to 2047 (MiB)"},
      {{"-p", "65", "-o", "o.qvx", "in"}, "-p must be 0 to 64"},
      {{"--threads=-1", "-o", "o.qvx", "in"}, "--threads must be 0 to 64"},
      {{"--shuffle-seed=-1", "-o", "o.qvx", "in"}, "--shuffle-seed must be a number"},
      {{"-x", "-o", "o.qvx", "in"}, "unknown option '-x'"},
      {{"--quite", "-o", "o.qvx", "in"}, "unknown option '--quite'"},
      // Two level digits are no level: getopt would read -10 as -1 -0.
      {{"-10", "-o", "o.qvx", "in"}, "unknown option '-10': levels are -0 to -9 (--level=N for any level)"},
      {{"-19", "-o", "o.qvx", "in"}, "unknown option '-19': levels are -0 to -9 (--level=N for any level)"},
      {{"--force", "-12", "-o", "o.qvx", "in"}, "unknown option '-12': levels are -0 to -9 (--level=N for any level)"},
      {{"-o", "o.qvx", "-v18", "in"}, "unknown option '-v18': levels are -0 to -9 (--level=N for any level)"},
      {{"--verbose=1", "-o", "o.qvx", "in"}, "option '--verbose' takes no value"},
      {{"--best=1", "-o", "o.qvx", "in"}, "option '--best' takes no value"},
      {{"--stdout=x", "in"}, "option '--stdout' takes no value"},
      {{"-T", "65", "-o", "o.qvx", "in"}, "-T must be 0 to 64"},
      {{"--bogus", "-o", "o.qvx", "in"}, "unknown option '--bogus'"},
      {{"-o", "o.qvx", "in", "-b"}, "option -b needs a value"},
      {{"-o", "o.qvx", "in", "--level"}, "option --level needs a value"},
      {{"-l", "-t", "o.qvx"}, "--list and --test can't be combined"},
      {{"--json", "-o", "o.qvx", "in"}, "--json goes with --list or --test"},
      {{"-l"}, "give the archives to list"},
      {{"-t", "-"}, "--list and --test read archives from files, not '-'"},
      {{"-", "-", "o"}, "standard input ('-') can be read only once"},
      {{"in", "-"}, "DEST_DIR can't be '-'"},
      {{"-c", "in", "in2"}, "-c takes one file: an archive holds one"},
      {{"-o", "-", "in", "in2"}, "-c takes one file: an archive holds one"},
      {{"-c", "-o", "o.qvx", "in"}, "-c and -o can't be combined"},
      {{"-c", "-r", "in"}, "-c writes one archive; -r needs a DEST_DIR"},
      {{"-c", "--rm", "in"}, "--rm goes with archives written to files, not with -c"},
      {{"--rm", "-k", "in", "o"}, "-k and --rm can't be combined"},
      {{"-t", "-c", "o.qvx"}, "-c goes with compression and -d"},
      {{"-l", "--rm", "o.qvx"}, "--rm goes with compression and -d"},
  };
  for (const auto& [args, message] : bad) {
    RunResult r = compress(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_EQ(r.err, "quarvex: " + message + "\nUsage: quarvex [OPTIONS] FILE... DEST_DIR (or -o FILE, -c, -l, -t, -d); "
                     "try 'quarvex --help'\n") << testing::PrintToString(args);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(file_exists(dir_ / "o.qvx"));
    EXPECT_FALSE(file_exists(dir_ / "o"));
    EXPECT_FALSE(file_exists(dir_ / "-"));
  }
  for (const char* help_option : {"-h", "--help"}) {
    RunResult help = compress({help_option, "--bogus"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: quarvex [OPTIONS] FILE... DEST_DIR", 0), 0u);
    EXPECT_EQ(help.err, "");
  }
  for (const char* version_option : {"-V", "--version"}) {
    RunResult version = compress({version_option});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("quarvex ") + QVX_VERSION + "\n");
  }
  // "--" ends the options: a file named like one is compressed.
  write_file(dir_ / "-9", Data{1, 2, 3});
  RunResult dashed = compress({"--", "-9", "dest"});
  EXPECT_EQ(dashed.status, 0) << dashed.err;
  EXPECT_TRUE(file_exists(dir_ / "dest/-9.qvx"));
}

TEST_F(Quarvex, FailuresToReadOrWriteEndWithStatusOneAndNoOutput) {
  RunResult missing = compress({"-o", "o.qvx", "absent"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "quarvex: 'absent': " + std::string(std::strerror(ENOENT)) + "\n");
  EXPECT_FALSE(file_exists(dir_ / "o.qvx"));

  make_dirs(dir_ / "sub");
  RunResult directory = compress({"-o", "o.qvx", "sub"});
  EXPECT_EQ(directory.status, 1);
  EXPECT_EQ(directory.err, "quarvex: 'sub' is a directory; passed over (-r compresses its tree)\n");

  write_file(dir_ / "in", text_like(1000));
  RunResult nowhere = compress({"-o", "no/such/dir/o.qvx", "in"});
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_EQ(nowhere.err, "quarvex: cannot create 'no/such/dir/o.qvx': " + std::string(std::strerror(ENOENT)) + "\n");

  RunResult same = compress({"-f", "-o", "in", "in"});
  EXPECT_EQ(same.status, 1);
  EXPECT_EQ(same.err, "quarvex: 'in' is the input itself; not replaced\n");
  EXPECT_EQ(read_file(dir_ / "in"), text_like(1000));

  // A file-size limit below the output: the write fails and nothing is left behind.
  if (kWindows) GTEST_SKIP() << "Windows has no file-size limit to set for a process";
  write_file(dir_ / "noise", random_bytes(200000));
  RunResult full = run_program({UQ_QUARVEX, "-o", "o.qvx", "noise"},
                               {.cwd = dir_.path(), .max_file_size = 100000});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "quarvex: noise: write error: " + std::string(std::strerror(EFBIG)) + "\n");
  EXPECT_FALSE(file_exists(dir_ / "o.qvx"));
}

TEST_F(Quarvex, HeaderRecordsTheChosenSettingsAndVerboseSaysWhatWasDone) {
  Data file = round_trip("t", text_like(3000), {"-9", "--filter=delta", "-b", "3"});
  ASSERT_GE(file.size(), 32u);
  // Level at byte 13, filter at 17, block_mib at 18..19.
  EXPECT_EQ(Data(file.begin() + 12, file.begin() + 20), (Data{5, 9, 0, 0, 0, 2, 3, 0}));
  Data defaults = round_trip("d", text_like(3000), {});
  EXPECT_EQ(Data(defaults.begin() + 12, defaults.begin() + 20), (Data{5, enc::kDefaultLevel, 0, 0, 0, 0, 1, 0}));
  // The level options, as xz and zstd have them: the last one wins.
  EXPECT_EQ(round_trip("best", text_like(3000), {"--best"})[13], enc::kBestLevel);
  EXPECT_EQ(round_trip("three", text_like(3000), {"-3"})[13], 3);
  EXPECT_EQ(round_trip("one-then-nine", text_like(3000), {"-1", "-9"})[13], 9);
  // Values of options are no levels, whatever their digits.
  EXPECT_EQ(round_trip("valued", text_like(3000), {"-p16", "-b", "10", "--level", "12"})[13], 12);
  for (const char* output : {"-o", "--output"}) {
    RunResult named = compress({output, "-12.qvx", "t"});
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_TRUE(file_exists(dir_ / "-12.qvx"));
    std::filesystem::remove(dir_ / "-12.qvx");
  }
  EXPECT_EQ(round_trip("level-then-digit", text_like(3000), {"--level=200", "-2"})[13], 2);

  RunResult v = compress({"-v", "-9", "--filter=delta", "-b", "3", "-o", "v.qvx", "t"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "");
  EXPECT_EQ(v.err.rfind("t: 3000 -> " + std::to_string(file.size()) + " bytes (", 0), 0u) << v.err;
}

TEST_F(Quarvex, TinyFilesAreStored) {
  for (std::size_t n : {0u, 1u, 2u, 3u, 5u}) {
    Data d(n, 'a');
    Data file = round_trip("tiny" + std::to_string(n), d, {});
    // Header, then one record with comp_len n (stored), then the bytes themselves.
    EXPECT_EQ(file.size(), n == 0 ? 32u : 32u + 5u + n) << n;
  }
}

TEST_F(Quarvex, EveryKindOfDataRoundTrips) {
  Data text = round_trip("text", text_like(200000), {});
  EXPECT_LT(text.size(), 200000u / 3);
  round_trip("zeros", Data(300000, 0), {});
  Data noise = round_trip("noise", random_bytes(100000), {});
  EXPECT_EQ(noise.size(), 32u + 5u + 100000u);  // stored

  Data code = x86_like(150000);
  Data unfiltered = round_trip("code", code, {});
  Data filtered = round_trip("code-x86", code, {"--filter=x86"});
  EXPECT_LT(filtered.size(), unfiltered.size());

  Data pixels = rgb_like(150000);
  Data plain = round_trip("rgb", pixels, {});
  Data delta = round_trip("rgb-delta", pixels, {"--filter=delta"});
  EXPECT_LT(delta.size(), plain.size());
}

TEST_F(Quarvex, EveryLevelClassRoundTrips) {
  Data text = text_like(60000, 2);
  for (const char* level : {"0", "7", "8", "9", "10", "255"}) {
    Data file = round_trip(std::string("level") + level, text, {std::string("--level=") + level});
    EXPECT_EQ(file[13], std::stoi(level));
  }
}

TEST_F(Quarvex, BlockBoundariesRoundTrip) {
  for (std::size_t n : {kMiB - 1, kMiB, kMiB + 1}) {
    Data d = long_text(n, 3);
    Data file = round_trip("edge" + std::to_string(n), d, {"-b", "1"});
    // Past 1 MiB a second block of one byte follows, stored: its record and the byte end the file.
    if (n > kMiB) {
      EXPECT_EQ(Data(file.end() - 6, file.end()), (Data{1, 0, 0, 0, 0, d.back()}));
    }
  }
}

TEST_F(Quarvex, ShuffledMultiBlockFilesRestoreWithAndWithoutWorkers) {
  // Four blocks, the third partly noise-like, and a short fifth.
  Data d = long_text(4 * kMiB + 12345, 5);
  for (std::size_t i = 2 * kMiB; i < 2 * kMiB + 300000; ++i) {
    d[i] = static_cast<std::uint8_t>(i * 7919 >> 5);
  }
  Data ordered = round_trip("ordered", d, {"-p", "1"});
  Data shuffled = round_trip("shuffled", d, {"--shuffle-seed=11", "-p3"}, "-p2");
  EXPECT_EQ(shuffled.size(), ordered.size());
  // Some record is out of place: a rel_index byte that is not 0.
  bool moved = false;
  std::size_t at = 32;
  while (at + 5 <= shuffled.size()) {
    std::uint32_t comp_len = shuffled[at] | shuffled[at + 1] << 8 | shuffled[at + 2] << 16 |
                             static_cast<std::uint32_t>(shuffled[at + 3]) << 24;
    moved = moved || shuffled[at + 4] != 0;
    at += 5 + comp_len;
  }
  EXPECT_EQ(at, shuffled.size());
  EXPECT_TRUE(moved);
}

TEST_F(Quarvex, TheEncoderMadeVectorRestoresWithAndWithoutWorkers) {
  const std::string vectors = UQ_VECTOR_DIR;
  for (const char* threads : {"-p0", "-p2"}) {
    RunResult r = run_program(
        {UQ_UNQUARVEX, "-d", threads, vectors + "/every-item-level9.qvx", "out"},
        {.cwd = dir_.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(read_file(dir_ / "out/every-item-level9") ==
                read_file(vectors + "/every-item-level9.bin"));
  }
}


// --filter=auto by the file's header: x86 and x86-64 programs and libraries, ELF or PE, get the x86
// filter, anything else none; every guess restores exactly.
TEST_F(Quarvex, AutoFilterFollowsTheExecutableHeader) {
  auto elf = [](std::uint8_t type, std::uint8_t machine) {
    Data d = x86_like(20000, 3);
    const Data head{0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, type, 0, machine, 0};
    std::copy(head.begin(), head.end(), d.begin());
    return d;
  };
  auto pe = [](std::uint32_t at, std::uint16_t machine) {
    Data d = x86_like(20000, 4);
    d[0] = 'M', d[1] = 'Z';
    for (int i = 0; i < 4; ++i) d[0x3C + i] = static_cast<std::uint8_t>(0x80 >> (8 * i));
    const Data sig{'P', 'E', 0, 0, static_cast<std::uint8_t>(machine), static_cast<std::uint8_t>(machine >> 8)};
    std::copy(sig.begin(), sig.end(), d.begin() + at);
    return d;
  };
  const std::vector<std::pair<std::string, Data>> x86 = {
      {"elf64-so", elf(3, 62)}, {"elf32-exec", elf(2, 3)}, {"pe64", pe(0x80, 0x8664)}, {"pe32", pe(0x80, 0x014C)}};
  const std::vector<std::pair<std::string, Data>> other = {
      {"elf-arm", elf(3, 40)},      {"elf-object", elf(1, 62)}, {"pe-arm64", pe(0x80, 0xAA64)},
      {"pe-misplaced", pe(0x90, 0x8664)}, {"text", text_like(20000, 5)}, {"tiny", Data{0x7F, 'E'}}};
  for (const auto& [name, data] : x86) EXPECT_EQ(round_trip(name, data, {})[17], 1) << name;
  for (const auto& [name, data] : other) EXPECT_EQ(round_trip(name, data, {})[17], 0) << name;
  // A real program: the sample grep.
  const std::string grep = std::string(UQ_VECTOR_DIR) + "/../../samples/grep";
  EXPECT_EQ(round_trip("grep", read_file(grep), {})[17], 1);
  // The choice on the command line wins.
  EXPECT_EQ(round_trip("elf-none", elf(3, 62), {"--filter=none"})[17], 0);
  EXPECT_EQ(round_trip("text-x86", text_like(20000, 5), {"--filter=x86"})[17], 1);
  // A pipe is judged by its first bytes too. Its size is not known up front, so it takes the full
  // block where the file took blocks of its size: -b makes them the same.
  const Data elf64 = read_file(dir_ / "elf64-so");
  RunResult piped = run_program({UQ_QUARVEX, "-b", "1"}, {.cwd = dir_.path(),
                                                          .stdout_file = dir_ / "piped.qvx",
                                                          .stdin_pipe = true,
                                                          .stdin_data = std::string(elf64.begin(), elf64.end())});
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(read_file(dir_ / "piped.qvx")[17], 1);
  EXPECT_EQ(read_file(dir_ / "piped.qvx"), read_file(dir_ / "elf64-so.qvx"));
}

// Runs quarvex in `cwd` with its standard error (and, when asked, its standard output) on a
// pseudo-terminal; gives what it wrote there.
std::string run_on_terminal(std::vector<std::string> args, const std::string& cwd, int* status,
                            bool stdout_too = false) {
  args.insert(args.begin(), UQ_QUARVEX);
  return uq::test::run_on_terminal(args, cwd, status, stdout_too);
}

// -v on a terminal shows progress on long work, drawn in place and cleared before the summary. An
// input passed over in the plan counts for nothing in the total.
TEST_F(Quarvex, VerboseShowsProgressOnATerminal) {
  if (kWindows) GTEST_SKIP() << "no pseudo-terminal to give a child on Windows";
  // Long enough, at the best level on one worker, to take several seconds, in blocks read one after
  // the other. "passed" would write ./passed.qvx, which is the other input: it is passed over.
  write_file(dir_ / "passed", text_like(4 * kMiB, 7));
  write_file(dir_ / "passed.qvx", text_like(4 * kMiB, 6));
  int status = -1;
  const std::string screen =
      run_on_terminal({"-v", "-p1", "--best", "-b", "1", "passed", "passed.qvx", "."}, dir_.path(), &status);
  EXPECT_EQ(status, 1) << screen;
  const std::size_t first = screen.find("\r");
  ASSERT_NE(first, std::string::npos) << screen;
  EXPECT_NE(screen.find(" of 4.0 MiB (", first), std::string::npos) << screen;
  EXPECT_NE(screen.find(" MB/s, ", first), std::string::npos) << screen;
  EXPECT_NE(screen.find(" left\x1b[K", first), std::string::npos) << screen;
  // The last thing before the summary takes the progress line away.
  EXPECT_NE(screen.find("\r\x1b[Kpassed.qvx: 4194304 -> "), std::string::npos) << screen;
  // Without -v, nothing at all.
  const std::string quiet = run_on_terminal({"-0", "-o", "quiet.qvx", "passed"}, dir_.path(), &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(quiet, "");
}

// Compressed bytes never land on a terminal unless -f says so.
TEST_F(Quarvex, ArchivesAreNotWrittenToATerminalWithoutForce) {
  if (kWindows) GTEST_SKIP() << "no pseudo-terminal to give a child on Windows";
  write_file(dir_ / "in", text_like(3000, 7));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-c", "in"}, {"-o", "-", "in"}}) {
    int status = -1;
    const std::string screen = run_on_terminal(args, dir_.path(), &status, true);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(screen, "quarvex: compressed data not written to a terminal (-f writes it anyway)\n");
  }
  int status = -1;
  const std::string screen = run_on_terminal({"-f", "-c", "in"}, dir_.path(), &status, true);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(screen.substr(0, 4), std::string("\0QV0", 4));
}

// -d and -t show the same progress, over the restored bytes.
TEST_F(Quarvex, VerboseShowsProgressOfRestoresAndTestsOnATerminal) {
  if (kWindows) GTEST_SKIP() << "no pseudo-terminal to give a child on Windows";
  // One coded block of text many times over: seconds of decoding from a small archive.
  write_file(dir_ / "text", text_like(kMiB, 7));
  ASSERT_EQ(compress({"-1", "-o", "text.qvx", "text"}).status, 0);
  const Data one = read_file(dir_ / "text.qvx");
  // 96 MiB: over a second of restoring at the test build's 40 to 60 MB/s, when the line shows.
  constexpr int kCopies = 96;
  Data archive(one.begin(), one.begin() + 32);
  for (int i = 0; i < 8; ++i) archive[4 + i] = static_cast<std::uint8_t>((std::uint64_t{kCopies} * kMiB) >> (8 * i));
  std::fill(archive.begin() + 20, archive.end(), 0);  // no checksum
  for (int i = 0; i < kCopies; ++i) archive.insert(archive.end(), one.begin() + 32, one.end());
  write_file(dir_ / "long.qvx", archive);
  int status = -1;
  const std::string restore = run_on_terminal({"-d", "-v", "-p1", "-c", "long.qvx"}, dir_.path(), &status);
  EXPECT_EQ(status, 0) << restore;
  const std::size_t first = restore.find("\r");
  ASSERT_NE(first, std::string::npos) << restore;
  EXPECT_NE(restore.find(" of 96 MiB (", first), std::string::npos) << restore;
  EXPECT_NE(restore.find(" left\x1b[K", first), std::string::npos) << restore;
  EXPECT_NE(restore.find("\r\x1b[Klong.qvx -> standard output: 100663296 bytes, no checksum"), std::string::npos)
      << restore;
  const std::string test = run_on_terminal({"-t", "-v", "-p1", "long.qvx"}, dir_.path(), &status);
  EXPECT_EQ(status, 0) << test;
  EXPECT_NE(test.find(" of 96 MiB ("), std::string::npos) << test;
  EXPECT_EQ(test.substr(test.size() - 4), "\r\x1b[K");  // taken away before the verdict
}

}  // namespace
}  // namespace uq::test
