// The restore library's public entries, in process: one block, and whole files with and without
// workers, whose problems are collected instead of printed.
#include <gtest/gtest.h>

#include "support/qvx_builder.h"
#include "support/temp_dir.h"
#include "unquarvex.h"

namespace uq {
namespace {

using test::Bytes;
using test::hex;

TEST(RestoreApi, OneBlockStoredCodedFilteredOrDamaged) {
  std::vector<std::uint8_t> out;
  EXPECT_EQ(restore_block(hex("68 65 00 36 1a ce d9 d6 78 16 76 84 bd 00").data(), 14, 18, 5, 0, 0, out),
            BlockOutcome::restored);
  EXPECT_EQ(std::string(out.begin(), out.end()), "hello hello hello!");
  const Bytes stored = hex("01 01 01 01 01 01 01");
  EXPECT_EQ(restore_block(stored.data(), 7, 7, 0, 0, 2, out), BlockOutcome::restored);
  EXPECT_EQ(out, hex("01 01 01 02 02 02 01"));
  EXPECT_EQ(restore_block(hex("61 62 00 ff ff ff ff").data(), 7, 16, 5, 0, 0, out), BlockOutcome::damaged);
  EXPECT_EQ(restore_block(stored.data(), 7, 6, 5, 0, 0, out), BlockOutcome::damaged);  // longer than its block
  EXPECT_EQ(restore_block(stored.data(), 3, 6, 4, 0, 0, out), BlockOutcome::damaged);  // no such method
}

TEST(RestoreApi, FilesAreRestoredQuietlyWithTheirProblemsCollected) {
  test::TempDir dir;
  const Bytes first(1 << 20, 'a');
  test::write_file(dir / "bad.qvx", test::QvxBuilder({.orig_size = (1 << 20) + 16})
                                        .block(first)
                                        .block(hex("61 62 00 ff ff ff ff"))
                                        .bytes());
  for (int threads : {0, 1, 2}) {
    testing::internal::CaptureStdout();
    const FileRestore r = restore_file(dir / "bad.qvx", dir / "out.qvx", threads);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(r.status, threads == 0 ? -105 : 0) << threads;
    ASSERT_EQ(r.problems.size(), 1u) << threads;
    EXPECT_EQ(r.problems[0].kind, Problem::Kind::damaged);
    EXPECT_EQ(r.problems[0].block, 1);
    EXPECT_EQ(test::read_file(dir / "out"), first);
  }
}

}  // namespace
}  // namespace uq
