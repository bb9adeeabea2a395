// quarvex on files and trees, end to end: what `quarvex -r` packs, `unquarvex -d -r` (and
// `quarvex -d -r`) gives back byte for byte; plain runs into DEST_DIR, standard input, and every
// input that can't be compressed reported while the others are.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "encoder/quarvex_fixture.h"
#include "encoder/test_data.h"
#include "support/expected.h"
#include "support/os.h"
#include "support/restore_tool.h"

namespace uq::test {
namespace {

namespace fs = std::filesystem;

// A name with a newline in it; Windows allows no control character in a name.
const std::string kOddName = kWindows ? "new%line" : "new\nline";

class QuarvexTree : public QuarvexTest {
 protected:
  // src/ holds nested and empty directories, dot-files, names with spaces and a newline, an empty
  // file, a file of three blocks (at -b 1), a file named like an archive, and links to a file and
  // to a directory outside it. `expected_` is the tree a restore must give: links as what they
  // point to.
  void SetUp() override {
    const std::vector<std::pair<std::string, Bytes>> files = {
        {"a.txt", text_like(3000, 1)},
        {".hidden", text_like(100, 2)},
        {"empty-file", {}},
        {"with space.txt", text_like(500, 3)},
        {kOddName, text_like(40, 4)},
        {"x.qvx", text_like(700, 5)},
        {"deep/er/est/file", text_like(20000, 6)},
        {"deep/.dotdir/.inner", random_bytes(300, 7)},
        {"big", text_like(2 * (1 << 20) + 4321, 8)},
        {"deep/er/noise", random_bytes(5000, 9)},
    };
    for (const auto& [name, bytes] : files) {
      put("src/" + name, bytes);
      expected_[name] = bytes;
    }
    for (const char* dir : {"deep", "deep/er", "deep/er/est", "deep/.dotdir"}) expected_[dir] = std::nullopt;
    for (const char* dir : {"empty", "deep/empty-too"}) {
      make_dirs(dir_ / ("src/" + std::string(dir)));
      expected_[dir] = std::nullopt;
    }
    put("outside/target", text_like(900, 10));
    put("outside/dir/inside", text_like(60, 11));
    if (kWindows) {
      // Symbolic links need a privilege Windows gives administrators alone: copies of what they
      // would name, which restore the same.
      fs::copy_file(dir_ / "outside/target", dir_ / "src/link-to-file");
      fs::copy(dir_ / "outside/dir", dir_ / "src/deep/link-to-dir");
    } else {
      fs::create_symlink("../outside/target", dir_ / "src/link-to-file");
      fs::create_symlink("../../outside/dir", dir_ / "src/deep/link-to-dir");
    }
    expected_["link-to-file"] = text_like(900, 10);
    expected_["deep/link-to-dir"] = std::nullopt;
    expected_["deep/link-to-dir/inside"] = text_like(60, 11);
  }

  Tree expected_below(const std::string& prefix) const {
    Tree tree;
    if (!prefix.empty()) tree[prefix] = std::nullopt;
    for (const auto& [rel, bytes] : expected_) tree[prefix.empty() ? rel : prefix + "/" + rel] = bytes;
    return tree;
  }

  Tree expected_;
};

void expect_clean(const RunResult& r, const std::string& what) {
  EXPECT_EQ(r.status, 0) << what;
  EXPECT_EQ(r.out, "") << what;
  EXPECT_EQ(r.err, "") << what;
}

TEST_F(QuarvexTree, ATreeRoundTripsThroughEitherRestoreAtOneAndTwoWorkers) {
  for (const std::string threads : {"-p1", "-p2"}) {
    SCOPED_TRACE(threads);
    const std::string packed = "packed" + threads;
    expect_clean(quarvex({"-r", threads, "-b", "1", "src", packed}), "compress");
    // Each file is one archive in the same place; each directory is made, the empty ones too.
    const Tree archives = snapshot(dir_ / packed);
    EXPECT_EQ(archives.size(), expected_below("src").size());
    EXPECT_TRUE(archives.count("src/" + kOddName + ".qvx") == 1);
    EXPECT_TRUE(archives.count("src/x.qvx.qvx") == 1);
    EXPECT_EQ(archives.at("src/empty"), std::nullopt);

    expect_clean(unquarvex({"-d", "-r", threads, packed + "/src", "out" + threads}), "unquarvex");
    EXPECT_EQ(snapshot(dir_ / ("out" + threads)), expected_below("src"));
    expect_clean(quarvex({"-d", "-r", threads, packed + "/src", "again" + threads}), "quarvex -d");
    EXPECT_EQ(snapshot(dir_ / ("again" + threads)), expected_below("src"));
  }
  // A trailing "/" means the directory's contents, on both sides.
  expect_clean(quarvex({"-r", "src/", "flat"}), "compress src/");
  EXPECT_TRUE(exists("flat/a.txt.qvx"));
  expect_clean(unquarvex({"-d", "-r", "flat/", "flat-out"}), "restore flat/");
  EXPECT_EQ(snapshot(dir_ / "flat-out"), expected_below(""));
}

// The restore tool's usage text shows `quarvex -d -r backup_dir/* restore_dir`: it works as
// printed, with the shell's expansion of the pattern (which leaves out the dot-files).
TEST_F(QuarvexTree, TheRestoreToolsUsageExampleWorksAsPrinted) {
  expect_clean(quarvex({"-r", "src", "backup_dir"}), "compress");
  RunResult usage = unquarvex({});
  EXPECT_EQ(usage.status, 1);
  EXPECT_NE(usage.err.find("Usage: " + restore_tool_name() + " <options>"), std::string::npos) << usage.err;
  EXPECT_NE(usage.err.find("quarvex -d -r " + native("backup_dir/*") + " restore_dir"), std::string::npos);
  std::vector<std::string> args{"-d", "-r"};
  for (const auto& e : fs::directory_iterator(dir_ / "backup_dir/src")) {
    const std::string name = e.path().filename().string();
    if (name[0] != '.') args.push_back("backup_dir/src/" + name);
  }
  args.push_back("restore_dir");
  expect_clean(quarvex(args), "quarvex -d");
  EXPECT_EQ(get("restore_dir/a.txt"), expected_.at("a.txt"));
  EXPECT_EQ(get("restore_dir/deep/er/est/file"), expected_.at("deep/er/est/file"));
  EXPECT_FALSE(exists("restore_dir/.hidden"));
}

TEST_F(QuarvexTree, WhatTheWalkCantUseIsReportedAndTheRestIsCompressed) {
  if (kWindows) GTEST_SKIP() << "symbolic links need a privilege Windows gives administrators alone, and it has no FIFOs";
  fs::create_symlink("..", dir_ / "src/deep/loop");
  fs::create_symlink("gone", dir_ / "src/dangling");
  ASSERT_EQ(make_fifo(dir_ / "src/fifo"), 0);
  RunResult r = quarvex({"-r", "missing", "src", "packed"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  // The walk's own reports, then quarvex's for the FIFO, in walk order.
  EXPECT_EQ(r.err, "missing: " + std::string(std::strerror(ENOENT)) + "\nsrc/dangling: " + std::strerror(ENOENT) +
                       "\nsrc/deep/loop: " + std::strerror(ELOOP) + "\nquarvex: 'src/fifo' is not a regular file; passed over\n");
  expect_clean(unquarvex({"-d", "-r", "packed/src", "out"}), "restore");
  Tree expected = expected_below("src");
  expected["src/deep/loop"] = std::nullopt;  // recreated, not entered
  EXPECT_EQ(snapshot(dir_ / "out"), expected);

  // An entry the walk reports fails the run by itself: the tree was not packed whole.
  make_dirs(dir_ / "lone");
  fs::create_symlink("nowhere", dir_ / "lone/dangling");
  put("lone/file", text_like(10, 14));
  r = quarvex({"-r", "lone", "packed2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "lone/dangling: " + std::string(std::strerror(ENOENT)) + "\n");
  EXPECT_TRUE(exists("packed2/lone/file.qvx"));
}

// The destination inside the tree being packed is not packed into itself, and a line says so; a
// tree that is the destination itself has nothing to give and is refused.
TEST_F(QuarvexTree, TheDestinationInsideTheTreeIsLeftOutAndATreeThatIsItIsRefused) {
  put("src/packed/more/m", text_like(30, 12));
  put("src/packed2/p", text_like(20, 13));  // a name that begins with DEST_DIR's is no part of it
  // A later tree inside DEST_DIR is walked as any other: its archives land beside its files.
  RunResult r = quarvex({"-r", "src", "src/packed/more", "src/packed"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "quarvex: '" + native("src/packed") + "' is DEST_DIR; left out of its tree\n");
  EXPECT_TRUE(exists("src/packed/src/a.txt.qvx"));
  EXPECT_FALSE(exists("src/packed/src/packed"));
  EXPECT_TRUE(exists("src/packed/more/m.qvx"));
  EXPECT_TRUE(exists("src/packed/src/packed2/p.qvx"));

  const Tree before = snapshot(dir_.path());
  for (const std::string tree : {"src/packed", "src/packed/"}) {
    r = quarvex({"-r", tree, "src/packed"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarvex: '" + tree + "' is DEST_DIR itself; nothing in it compressed\n");
  }
  r = quarvex({"-r", ".", "."}, {.cwd = dir_ / "src/packed"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: '.' is DEST_DIR itself; nothing in it compressed\n");
  EXPECT_EQ(snapshot(dir_.path()), before);
}

// ".." and "." as an argument's last component contribute nothing of their own, as a trailing "/"
// does: the tree's contents land in DEST_DIR, never beside it.
TEST_F(QuarvexTree, DotAndDotDotArgumentsPutTheirTreeInsideTheDestination) {
  RunResult r = quarvex({"-r", "..", "packed"}, {.cwd = dir_ / "src/deep"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "quarvex: '" + native("../deep/packed") + "' is DEST_DIR; left out of its tree\n");
  EXPECT_TRUE(exists("src/deep/packed/a.txt.qvx"));
  expect_clean(unquarvex({"-d", "-r", "src/deep/packed/", "out"}), "restore");
  EXPECT_EQ(snapshot(dir_ / "out"), expected_below(""));
  r = quarvex({"-r", ".", "../packed2"}, {.cwd = dir_ / "src"});
  expect_clean(r, "compress .");
  EXPECT_TRUE(exists("packed2/a.txt.qvx"));
  EXPECT_TRUE(exists("packed2/deep/er/est/file.qvx"));
  // Nothing beside the tree, the destinations and the restore.
  std::vector<std::string> top;
  for (const auto& entry : fs::directory_iterator(dir_.path())) top.push_back(entry.path().filename().string());
  std::sort(top.begin(), top.end());
  EXPECT_EQ(top, (std::vector<std::string>{"out", "outside", "packed2", "src"}));
  EXPECT_FALSE(exists("src/deep/a.txt.qvx"));
}

TEST_F(QuarvexTree, PlainRunsPutEachFileInDestDirAndPassOverTheRest) {
  // DEST_DIR is made, one level.
  RunResult r = quarvex({"src/a.txt", "src/deep/er/est/file", "src", "src/nothing", "src/link-to-file", "dest"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "quarvex: 'src' is a directory; passed over (-r compresses its tree)\nquarvex: 'src/nothing': " +
                       std::string(std::strerror(ENOENT)) + "\n");
  EXPECT_EQ(snapshot(dir_ / "dest").size(), 3u);
  expect_clean(unquarvex({"-d", "dest/a.txt.qvx", "dest/file.qvx", "dest/link-to-file.qvx", "out"}), "restore");
  EXPECT_EQ(get("out/a.txt"), expected_.at("a.txt"));
  EXPECT_EQ(get("out/file"), expected_.at("deep/er/est/file"));
  EXPECT_EQ(get("out/link-to-file"), expected_.at("link-to-file"));

  // Two inputs of one name would share an archive: the second is passed over, -f or not.
  put("other/a.txt", text_like(10, 12));
  r = quarvex({"-f", "src/a.txt", "other/a.txt", "dest2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: 'other/a.txt' passed over: its archive '" + native("dest2/a.txt.qvx") + "' is that of 'src/a.txt' already\n");
  expect_clean(unquarvex({"-d", "dest2/a.txt.qvx", "out2"}), "restore");
  EXPECT_EQ(get("out2/a.txt"), expected_.at("a.txt"));
  if (kWindows) {
    // Names that differ in case alone are one file there: with -f the second archive would
    // have replaced the first.
    put("upper/A.TXT", text_like(10, 13));
    r = quarvex({"-f", "src/a.txt", "upper/A.TXT", "dest3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quarvex: 'upper/A.TXT' passed over: its archive '" + native("dest3/A.TXT.qvx") +
                         "' is that of 'src/a.txt' already\n");
    expect_clean(unquarvex({"-d", "dest3/a.txt.qvx", "out3"}), "restore");
    EXPECT_EQ(get("out3/a.txt"), expected_.at("a.txt"));
  }

  r = quarvex({"src/a.txt", "no/such/dest"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: cannot create directory 'no/such/dest': " + std::string(std::strerror(ENOENT)) + "\n");
  r = quarvex({"src/a.txt", "src/x.qvx"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: 'src/x.qvx' is not a directory\n");
}

TEST_F(QuarvexTree, StandardInputFromAPipeOrAFile) {
  const Bytes data = text_like(2 * (1 << 20) + 77, 13);
  put("data", data);
  // From a pipe it is spooled first; the archive gets the mode a new file gets.
  RunResult r = run_program({UQ_QUARVEX, "-b", "1", "-", "piped"}, {.cwd = dir_.path(),
                                                                      .umask = kWindows ? -1 : 027,
                                                                      .stdin_pipe = true,
                                                                      .stdin_data = std::string(data.begin(), data.end())});
  expect_clean(r, "pipe");
  FileStatus st;
  ASSERT_TRUE(file_status(dir_ / "piped/stdin.qvx", &st));
  if (!kWindows) {  // Windows has no POSIX modes
    EXPECT_EQ(st.mode & 0777, 0640u);
  }
  // ... and the time it was made: a pipe has no time of its own to give (its blank status would
  // date the archive 1 January 1970).
  const std::time_t now = std::time(nullptr);
  EXPECT_GT(st.modified.seconds, now - 24 * 3600);
  EXPECT_LE(st.modified.seconds, now);
  // From a file, read where the shell left it.
  r = quarvex({"-o", "from-file.qvx", "-"}, {.stdin_file = dir_ / "data"});
  expect_clean(r, "file");
  expect_clean(unquarvex({"-d", "piped/stdin.qvx", "from-file.qvx", "out"}), "restore");
  EXPECT_TRUE(get("out/stdin") == data);
  EXPECT_TRUE(get("out/from-file") == data);

  // A closed standard input is no empty file: it fails, and no archive is made.
  const Tree before = snapshot(dir_.path());
  r = quarvex({"-o", "closed.qvx", "-"}, {.stdin_absent = true});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarvex: standard input is closed\n");
  EXPECT_EQ(snapshot(dir_.path()), before);
}

}  // namespace
}  // namespace uq::test
