// The recursive run end to end: directory trees of compressed files restored under the
// destination, with the order, output paths and messages a user sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#include "support/expected.h"
#include "support/os.h"
#include "support/process.h"
#include "support/restore_tool.h"
#include "support/qvx_builder.h"
#include "support/temp_dir.h"

namespace uq::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1 << 20;

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 167 + seed * 13 + (i >> 11)) & 0xFF);
  return b;
}

// `data` as a compressed file of stored 1 MiB blocks.
Bytes stored(const Bytes& data) {
  QvxBuilder builder({.orig_size = static_cast<std::int64_t>(data.size()), .block_mib = 1});
  for (std::size_t at = 0; at < data.size(); at += kMiB) {
    std::size_t end = std::min(data.size(), at + kMiB);
    builder.block(Bytes(data.begin() + static_cast<std::ptrdiff_t>(at), data.begin() + static_cast<std::ptrdiff_t>(end)));
  }
  return builder.bytes();
}

// Every path below `root`, relative to it, with a file's bytes or none for a directory.
using Tree = std::map<std::string, std::optional<Bytes>>;

Tree snapshot(const std::string& root) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(entry.path(), root).generic_string();
    EXPECT_FALSE(entry.is_symlink()) << rel << " should have been recreated, not linked";
    if (entry.is_directory()) {
      tree[rel] = std::nullopt;
    } else {
      tree[rel] = read_file(entry.path().string());
    }
  }
  return tree;
}

std::string message(const std::string& path, int err) { return path + ": " + std::strerror(err) + "\n"; }

class Recursive : public ::testing::Test {
 protected:
  // backup/ holds files of 0, 10 and 2.5 MiB bytes, one without the extension, nested and empty
  // directories; `expected_` is its restored form.
  void SetUp() override {
    put("backup/a.qvx", pattern(10, 1));
    put("backup/big.qvx", pattern(5 * kMiB / 2, 2));
    put("backup/zero.qvx", {});
    put("backup/noext", pattern(300, 3));
    put("backup/x/b.qvx", pattern(2 * kMiB, 4));
    put("backup/x/deep/er/c.qvx", pattern(1, 5));
    make_dirs(dir_ / "backup/x/empty");
    make_dirs(dir_ / "backup/empty");
    expected_ = {
        {"a", pattern(10, 1)},         {"big", pattern(5 * kMiB / 2, 2)},
        {"zero", Bytes{}},             {"noext.out", pattern(300, 3)},
        {"x", std::nullopt},           {"x/b", pattern(2 * kMiB, 4)},
        {"x/deep", std::nullopt},      {"x/deep/er", std::nullopt},
        {"x/deep/er/c", pattern(1, 5)}, {"x/empty", std::nullopt},
        {"empty", std::nullopt},
    };
  }

  void put(const std::string& name, const Bytes& original) {
    make_dirs(fs::path(dir_ / name).parent_path().string());
    write_file(dir_ / name, stored(original));
  }

  // `expected_` placed below `prefix`, with the directories that lead to it.
  Tree expected_below(const std::string& prefix) const {
    Tree tree;
    std::string lead;
    for (const auto& part : fs::path(prefix)) {
      lead = lead.empty() ? part.string() : lead + "/" + part.string();
      tree[lead] = std::nullopt;
    }
    for (const auto& [rel, bytes] : expected_) tree[lead.empty() ? rel : lead + "/" + rel] = bytes;
    return tree;
  }

  RunResult run(std::vector<std::string> args, RunOptions options = {}) {
    args.insert(args.begin(), {restore_tool(), "-d"});
    options.cwd = dir_.path();
    return run_program(args, options);
  }

  TempDir dir_;
  Tree expected_;
};

TEST_F(Recursive, RestoresTheWholeTreeWithAndWithoutThreads) {
  const std::string listed =
      "backup/a.qvx\nbackup/big.qvx\nbackup/noext\nbackup/x/b.qvx\nbackup/x/deep/er/c.qvx\nbackup/zero.qvx\n";
  for (const char* threads : {"-p0", "-p2"}) {
    for (bool verbose : {false, true}) {
      SCOPED_TRACE(std::string(threads) + (verbose ? " -v" : ""));
      std::string out = std::string("out") + threads + (verbose ? "v" : "");
      std::vector<std::string> args = {"-r", threads, "backup", out};
      if (verbose) args.push_back("-v");
      RunResult r = run(args);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.out, verbose ? native(listed) : "");
      EXPECT_EQ(snapshot(dir_ / out), expected_below("backup"));
    }
  }
}

TEST_F(Recursive, OutputPathsKeepTheArgumentsLastComponent) {
  make_dirs(dir_ / "data");
  fs::rename(dir_ / "backup", dir_ / "data/backup");

  // An absolute argument keeps only its last component.
  EXPECT_EQ(run({"-r", dir_ / "data/backup", "out1"}).status, 0);
  EXPECT_EQ(snapshot(dir_ / "out1"), expected_below("backup"));

  // A relative one with several components too.
  EXPECT_EQ(run({"-r", "data/backup", "out2"}).status, 0);
  EXPECT_EQ(snapshot(dir_ / "out2"), expected_below("backup"));

  // A trailing "/" puts the contents straight into the destination (given with its own "/").
  EXPECT_EQ(run({"-r", "data/backup/", "out3/"}).status, 0);
  EXPECT_EQ(snapshot(dir_ / "out3"), expected_below(""));

  // Files named as arguments land beside the directories, under their base names.
  RunResult r = run({"-r", "data/backup/x/b.qvx", "data/backup/x/deep", "data/backup/a.qvx", "out4", "-v"});
  EXPECT_EQ(r.status, 0);
  // Arguments as typed, the walk's own joins with the platform's separator.
  EXPECT_EQ(r.out, "data/backup/x/b.qvx\ndata/backup/x/deep" + native("/er/c.qvx") + "\ndata/backup/a.qvx\n");
  EXPECT_EQ(snapshot(dir_ / "out4"), (Tree{{"b", expected_.at("x/b")},
                                           {"deep", std::nullopt},
                                           {"deep/er", std::nullopt},
                                           {"deep/er/c", expected_.at("x/deep/er/c")},
                                           {"a", expected_.at("a")}}));
}

// "." and ".." as an argument's last component put the tree's contents straight into the
// destination, as a trailing "/" does: no output lands above it ("out/../x").
TEST_F(Recursive, DotAndDotDotArgumentsStayInsideTheDestination) {
  const auto run_in = [&](const std::string& cwd, std::vector<std::string> args) {
    args.insert(args.begin(), {restore_tool(), "-d", "-r"});
    return run_program(args, {.cwd = dir_ / cwd});
  };
  RunResult r = run_in("backup/x", {"..", "../../out1", "-v"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, native("../a.qvx\n../big.qvx\n../noext\n../x/b.qvx\n../x/deep/er/c.qvx\n../zero.qvx\n"));
  EXPECT_EQ(snapshot(dir_ / "out1"), expected_below(""));
  EXPECT_EQ(run_in("backup", {".", "../out2"}).status, 0);
  EXPECT_EQ(snapshot(dir_ / "out2"), expected_below(""));
  EXPECT_EQ(run_in("", {"backup/x/..", "out3"}).status, 0);
  EXPECT_EQ(snapshot(dir_ / "out3"), expected_below(""));
  // Nothing landed beside the destinations or in the tree.
  std::vector<std::string> top;
  for (const auto& entry : fs::directory_iterator(dir_.path())) top.push_back(entry.path().filename().string());
  std::sort(top.begin(), top.end());
  EXPECT_EQ(top, (std::vector<std::string>{"backup", "out1", "out2", "out3"}));
  EXPECT_FALSE(fs::exists(dir_ / "backup/a"));
}

TEST_F(Recursive, AbsoluteDestination) {
  for (const std::string& destination : {dir_ / "abs", dir_ / "abs2/"}) {
    RunResult r = run({"-r", "backup", destination});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(snapshot(destination), expected_below("backup"));
  }
}

TEST_F(Recursive, FileThatFailsDoesNotStopTheRun) {
  write_file(dir_ / "backup/x/bad.qvx", QvxBuilder({.orig_size = 10, .magic = "QVX"}).block(pattern(10, 9)).bytes());
  for (const char* threads : {"-p0", "-p2"}) {
    SCOPED_TRACE(threads);
    std::string out = std::string("out") + threads;
    RunResult r = run({"-r", "-v", threads, "backup", out});
    EXPECT_EQ(r.status, 0);
    // The report follows the failed file's own path and comes before the next file's.
    std::size_t failed = r.out.find(native("backup/x/bad.qvx\n"));
    std::size_t report = r.out.find("Error: 104");
    EXPECT_LT(failed, report) << r.out;
    EXPECT_LT(report, r.out.find(native("backup/x/deep/er/c.qvx\n"))) << r.out;
    Tree restored = snapshot(dir_ / out);
    restored.erase("backup/x/bad");  // whatever the failure leaves behind is not in question here
    EXPECT_EQ(restored, expected_below("backup"));
  }
}

TEST_F(Recursive, DirectoryThatCannotBeMadeEndsTheRun) {
  make_dirs(dir_ / "out1");
  write_file(dir_ / "out1/backup", {'f'});
  RunResult r = run({"-r", "-p0", "backup", "out1"});
  EXPECT_EQ(r.status, kFatalStatus);
  EXPECT_EQ(r.err, "cannot create directory '" + native("out1/backup") + "'");
  EXPECT_EQ(r.out, "");

  // A level in the way further down: what came before it in the walk is restored, nothing after.
  make_dirs(dir_ / "out2/backup");
  write_file(dir_ / "out2/backup/x", {'f'});
  r = run({"-r", "-p2", "backup", "out2"});
  EXPECT_EQ(r.status, kFatalStatus);
  EXPECT_EQ(r.err, "cannot create directory '" + native("out2/backup/x") + "'");
  EXPECT_EQ(read_file(dir_ / "out2/backup/a"), expected_.at("a"));
  EXPECT_FALSE(file_exists(dir_ / "out2/backup/zero"));
}

TEST_F(Recursive, LinksAreFollowedAndProblemsAreReportedWhileTheRunGoesOn) {
  if (kWindows) GTEST_SKIP() << "symbolic links; windows_test has junctions and their loops";
  make_dirs(dir_ / "more");
  write_file(dir_ / "more/m.qvx", stored(pattern(20, 6)));
  fs::create_symlink("../../more", dir_ / "backup/x/linked");  // walked as a real directory
  fs::create_symlink("../a.qvx", dir_ / "backup/x/la.qvx");  // restored as a file
  fs::create_symlink("..", dir_ / "backup/x/deep/up");     // a loop back to backup/x
  fs::create_symlink("gone", dir_ / "backup/dangling");
  const std::string too_long(4096, 'n');

  RunResult r = run({"-r", "missing", "", too_long, "backup/*", "backup", "out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  // The shell expands patterns; the program takes "backup/*" as a name.
  EXPECT_EQ(r.err, message("missing", ENOENT) + message("", ENOENT) + message(too_long, ENAMETOOLONG) +
                       message("backup/*", ENOENT) + message("backup/dangling", ENOENT) +
                       message("backup/x/deep/up", ELOOP));
  Tree expected = expected_below("backup");
  expected["backup/x/linked"] = std::nullopt;
  expected["backup/x/linked/m"] = pattern(20, 6);
  expected["backup/x/la"] = expected_.at("a");
  expected["backup/x/deep/up"] = std::nullopt;  // recreated, not entered
  EXPECT_EQ(snapshot(dir_ / "out"), expected);
}

// A destination inside the tree it restores: the walk passes it over with one line, restores
// the rest, and never nests outputs in outputs; a second run finds the same.
TEST_F(Recursive, TheDestinationInsideTheTreeIsNotWalked) {
  for (const char* threads : {"-p0", "-p2"}) {
    SCOPED_TRACE(threads);
    const std::string out = std::string("backup/out") + threads;
    for (int round = 0; round < 2; ++round) {
      RunResult r = run({"-r", threads, "backup", out});
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, native(out) + ": the destination directory; passed over\n");
      EXPECT_EQ(snapshot(dir_ / out), expected_below("backup")) << round;
    }
    fs::remove_all(dir_ / out);
  }
}

// A tree restored into itself: x.qvx is restored to x by copies of its stored blocks read from
// x.qvx itself, while x.qvx.qvx restores to x.qvx. The later output waits for the copies that
// read it, so each file comes back whole, with workers as without, and the run goes on to z.
TEST_F(Recursive, ATreeRestoredIntoItselfTruncatesNoInputStillCopiedFrom) {
  const Bytes x = pattern(12 * kMiB + 5, 7);
  const Bytes x_qvx = pattern(2 * kMiB + 9, 8);
  const Bytes z = pattern(100, 9);
  for (const char* threads : {"-p0", "-p2", "-p16"}) {
    SCOPED_TRACE(threads);
    const std::string d = std::string("d") + threads;
    put(d + "/x.qvx", x);
    put(d + "/x.qvx.qvx", x_qvx);
    put(d + "/z.qvx", z);
    // The output x.qvx waits for x's copies: a close that wakes nobody hangs the run.
    RunResult r = run({"-r", threads, d + "/", d}, {.time_limit = kQuickRun});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(dir_ / (d + "/x")) == x);
    EXPECT_TRUE(read_file(dir_ / (d + "/x.qvx")) == x_qvx);
    EXPECT_TRUE(file_exists(dir_ / (d + "/z")) && read_file(dir_ / (d + "/z")) == z);
  }
}

}  // namespace
}  // namespace uq::test
