// GNU tar with quarvex as its compressor (tar -I quarvex runs `quarvex` with the tar stream on
// standard input and the archive file as standard output, and `quarvex -d` with the archive on
// standard input): a tree through tar and quarvex and back is the same tree, links, hard links,
// modes and times included, as tar itself compares it.
#include <filesystem>

#include "encoder/quarvex_fixture.h"
#include "encoder/test_data.h"
#include "support/os.h"

namespace uq::test {
namespace {

namespace fs = std::filesystem;

class QuarvexTar : public QuarvexTest {
 protected:
  void SetUp() override {
    if (kWindows) GTEST_SKIP() << "GNU tar is a Linux program: under Wine it can't run a Windows compressor";
    put("tree/notes.txt", text_like(300000, 1));
    put("tree/bin/tool", random_bytes(2 * (1 << 20) + 77, 2));
    put("tree/empty", {});
    make_dirs(dir_ / "tree/nothing");
    ASSERT_EQ(set_mode(dir_ / "tree/bin/tool", 0751), 0);
    fs::create_symlink("notes.txt", dir_ / "tree/link");
    fs::create_symlink("../bin", dir_ / "tree/nothing/up");
    fs::create_hard_link(dir_ / "tree/notes.txt", dir_ / "tree/bin/same-notes");
    ASSERT_EQ(run("tar -cf tree.tar tree").status, 0);
  }

  // Runs `command` in the test's directory with sh, the quarvex under test first on the PATH.
  RunResult run(const std::string& command) {
    const std::string bin = fs::path(UQ_QUARVEX).parent_path().string();
    return run_program({"/bin/sh", "-c", "PATH='" + bin + "':\"$PATH\"; " + command}, {.cwd = dir_.path()});
  }
};

TEST_F(QuarvexTar, TarExtractsThroughQuarvexTheTreeItPacked) {
  ASSERT_EQ(quarvex({"-o", "tree.tar.qvx", "tree.tar"}).status, 0);
  make_dirs(dir_ / "out");
  RunResult x = run("tar -I quarvex -xf tree.tar.qvx -C out");
  EXPECT_EQ(x.status, 0) << x.err;
  EXPECT_EQ(x.out + x.err, "");
  // tar compares every member with what is on disk: contents, links, modes, times.
  RunResult same = run("tar -df tree.tar -C out");
  EXPECT_EQ(same.status, 0) << same.out;
  EXPECT_EQ(same.out + same.err, "");
  EXPECT_EQ(fs::read_symlink(dir_ / "out/tree/link"), "notes.txt");
  EXPECT_TRUE(fs::equivalent(dir_ / "out/tree/notes.txt", dir_ / "out/tree/bin/same-notes"));

  RunResult listed = run("quarvex -d < tree.tar.qvx | tar -tf -");
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out, run("tar -tf tree.tar").out);
}

// tar packs through quarvex and unpacks through quarvex -d, with the default level and with a
// program of options; the archive is a whole quarvex file, restored exactly by the restore tool.
TEST_F(QuarvexTar, TarPacksAndUnpacksThroughQuarvex) {
  for (const std::string& program : {std::string("-I quarvex"), std::string("--use-compress-program='quarvex -9'")}) {
    SCOPED_TRACE(program);
    fs::remove_all(dir_ / "x.tar.qvx");
    fs::remove_all(dir_ / "out");
    RunResult c = run("tar " + program + " -cf x.tar.qvx tree");
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out + c.err, "");
    // The archive holds the tar stream itself, its size in the header.
    RunResult t = quarvex({"-t", "x.tar.qvx"});
    EXPECT_EQ(t.status, 0) << t.out << t.err;
    EXPECT_EQ(t.out, "x.tar.qvx: OK\n");
    make_dirs(dir_ / "out");
    RunResult x = run("tar " + program + " -xf x.tar.qvx -C out");
    EXPECT_EQ(x.status, 0) << x.err;
    RunResult same = run("tar -df tree.tar -C out");
    EXPECT_EQ(same.status, 0) << same.out;
    EXPECT_EQ(same.out + same.err, "");
  }
}

// A pipeline of filters: tar's stream through quarvex and quarvex -d, never a file between.
TEST_F(QuarvexTar, AStreamThroughQuarvexAndBackListsTheSameMembers) {
  RunResult listed = run("tar -cf - tree | quarvex | quarvex -d | tar -tf -");
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.err, "");
  EXPECT_EQ(listed.out, run("tar -tf tree.tar").out);
}

}  // namespace
}  // namespace uq::test
