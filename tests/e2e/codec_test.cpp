// Coded blocks and post-filters through the binary: the known answers, the damaged blocks, and
// the filter byte's low four bits on stored blocks.
#include <gtest/gtest.h>

#include "support/expected.h"
#include "support/process.h"
#include "support/restore_tool.h"
#include "support/qvx_builder.h"
#include "support/temp_dir.h"

namespace uq::test {
namespace {

class Codec : public ::testing::Test {
 protected:
  RunResult restore(const std::vector<std::string>& names, const std::string& threads = "-p0") {
    std::vector<std::string> args{restore_tool(), "-d", threads};
    for (const auto& n : names) args.push_back(std::string(UQ_VECTOR_DIR) + "/" + n);
    args.push_back("out");
    return run_program(args, {.cwd = dir_.path()});
  }
  Bytes get(const std::string& name) { return read_file(dir_ / name); }

  TempDir dir_;
};

TEST_F(Codec, KnownAnswersWithAndWithoutWorkers) {
  Bytes hello{'h', 'e', 'l', 'l', 'o', ' ', 'h', 'e', 'l', 'l', 'o', ' ', 'h', 'e', 'l', 'l', 'o', '!'};
  Bytes zeros(9000, 0);
  zeros[0] = 0x11;
  zeros[1] = 0x22;
  for (const char* threads : {"-p0", "-p2"}) {
    RunResult r = restore({"smallest.qvx", "smallest-delta.qvx", "hello-level0.qvx", "run-level0.qvx",
                           "overlong-match.qvx", "zeros-short.qvx"},
                          threads);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(get("out/smallest"), (Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    EXPECT_EQ(get("out/smallest-delta"), hex("01 01 01 02 02 02 01"));
    EXPECT_EQ(get("out/hello-level0"), hello);
    EXPECT_EQ(get("out/run-level0"), Bytes(20, 0x61));
    EXPECT_EQ(get("out/overlong-match"), hex("61 62 87 0f 0f 0f 0f 0f 0f 0f 0f 0f 0f 0f 0f 0f"));
    EXPECT_EQ(get("out/zeros-short"), zeros);
  }
}

TEST_F(Codec, DamagedBlocksAreReportedAndLeaveTheOutputAsWritten) {
  for (const char* name : {"corrupt-ladder", "corrupt-far-distance"}) {
    RunResult r = restore({std::string(name) + ".qvx", "hello-level0.qvx"});
    EXPECT_EQ(r.status, 0);
    // The plain run stops at the damaged file: the next one is not restored.
    EXPECT_EQ(r.out, fatal_decomp_line(native(std::string("out/") + name), -1, 16) + report_line(105)) << name;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(get(std::string("out/") + name), Bytes{});
    EXPECT_FALSE(file_exists(dir_ / "out/hello-level0"));
  }
}

// Streams that would need more than 64 bytes past their coded bytes are damaged, however little
// of the file they take: 7 coded bytes for a 4 MiB block, 12 for a 2 GiB block of a file that
// claims 2^62 bytes, and 35 coded 8 MiB blocks of no bytes at all. Each ends at once in its report
// (the plain run stops at the first damaged file; workers report every damaged block).
TEST_F(Codec, StreamsThatRunPastTheirBytesAreDamagedBlocks) {
  const std::string zeros = fatal_decomp_line(native("out/zeros-4mib"), -1, 4 << 20) + report_line(105);
  const std::string hostile = fatal_decomp_line(native("out/hostile-2gib-block"), -1, 2047 << 20) + report_line(105);
  const std::string empty = fatal_decomp_line(native("out/empty-coded-blocks"), -1, 8 << 20) + report_line(105);
  for (const char* threads : {"-p0", "-p2", "-p16"}) {
    RunResult r = restore({"zeros-4mib.qvx", "hostile-2gib-block.qvx", "empty-coded-blocks.qvx"}, threads);
    EXPECT_EQ(r.status, 0) << threads;
    EXPECT_EQ(r.err, "") << threads;
    if (std::string(threads) == "-p0") {
      EXPECT_EQ(r.out, zeros) << threads;
    } else {
      std::string all = zeros + hostile;
      for (int i = 0; i < 35; ++i) all += empty;
      EXPECT_EQ(sorted_lines(r.out), sorted_lines(all)) << threads;
      EXPECT_EQ(get("out/hostile-2gib-block"), Bytes{});
      EXPECT_EQ(get("out/empty-coded-blocks"), Bytes{});
    }
    EXPECT_EQ(get("out/zeros-4mib"), Bytes{});
  }
}

TEST_F(Codec, FilterIsChosenByTheLowFourBitsOnStoredBlocksToo) {
  const Bytes call = hex("e8 05 00 00 00 01");
  struct Case {
    std::uint8_t filter;
    Bytes restored;
  } cases[] = {
      {0x01, hex("e8 00 00 00 00 01")}, {0x21, hex("e8 00 00 00 00 01")}, {0x02, hex("e8 05 00 e8 05 01")},
      {0x12, hex("e8 05 00 e8 05 01")}, {0x03, call}, {0xF0, call},
  };
  for (const Case& c : cases) {
    write_file(dir_ / "f.qvx", QvxBuilder({.orig_size = 6, .filter = c.filter}).block(call).bytes());
    RunResult r = run_program({restore_tool(), "-d", "-p0", "f.qvx", "out"}, {.cwd = dir_.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(get("out/f"), c.restored) << int(c.filter);
  }
}

}  // namespace
}  // namespace uq::test
