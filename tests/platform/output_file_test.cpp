// Output files: copies from an input inside the kernel or through a buffer, told apart by which
// side failed, and a file extended over a hole.
#include "platform/output_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/stream.h"
#include "support/os.h"
#include "support/temp_dir.h"

namespace uq::platform {
namespace {

using test::Bytes;

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + (i >> 10));
  return b;
}

TEST(OutputFile, CopiesARangeOfAnotherFileToAnyOffset) {
  test::TempDir dir;
  const Bytes source = pattern(300'000);
  test::write_file(dir / "in", source);
  // A descriptor of its own, as the file decoder gives the output writer one.
  std::FILE* stream = open_input((dir / "in").c_str());
  ASSERT_NE(stream, nullptr);
  const int in = duplicate_input(stream);
  ASSERT_GE(in, 0);
  OutputFile out(dir / "out");
  ASSERT_EQ(out.open(), 0);
  EXPECT_TRUE(out.regular());
  // Two ranges written out of order: 100,000 bytes from 50,000 land at 200,000; 10 bytes at 0.
  OutputFile::CopyResult r = out.copy_from(in, 50'000, 200'000, 100'000);
  EXPECT_EQ(r.err, 0);
  r = out.copy_from(in, 7, 0, 10);
  EXPECT_EQ(r.err, 0);
  // Past the input's end: a failed read, not a write, after the 10 bytes there are.
  r = out.copy_from(in, 299'990, 400'000, 20);
  EXPECT_TRUE(r.reading);
  EXPECT_EQ(r.err, 0);
  EXPECT_EQ(r.copied, 10u);
  ASSERT_EQ(out.close(), 0);
  close_input(in);
  // The copies read without moving the stream, which still reads from its start.
  Bytes head(4);
  ASSERT_EQ(std::fread(head.data(), 1, head.size(), stream), head.size());
  EXPECT_EQ(head, Bytes(source.begin(), source.begin() + 4));
  std::fclose(stream);

  Bytes want(400'010, 0);
  std::copy(source.begin() + 7, source.begin() + 17, want.begin());
  std::copy(source.begin() + 50'000, source.begin() + 150'000, want.begin() + 200'000);
  std::copy(source.end() - 10, source.end(), want.begin() + 400'000);
  EXPECT_EQ(test::read_file(dir / "out"), want);
}

TEST(OutputFile, AFullDeviceFailsTheWriteSideOfACopy) {
  test::TempDir dir;
  if (test::kWindows) GTEST_SKIP() << "Windows has no always-full device such as /dev/full";
  test::write_file(dir / "in", pattern(5000));
  ASSERT_EQ(test::make_symlink("/dev/full", (dir / "full").c_str()), 0);
  std::FILE* stream = open_input((dir / "in").c_str());
  const int in = duplicate_input(stream);
  OutputFile out(dir / "full");
  ASSERT_EQ(out.open(), 0);
  EXPECT_FALSE(out.regular());
  const OutputFile::CopyResult r = out.copy_from(in, 0, 0, 5000);
  EXPECT_FALSE(r.reading);
  EXPECT_EQ(r.err, ENOSPC);
  close_input(in);
  std::fclose(stream);
}

TEST(OutputFile, ExtendingLeavesAHoleThatReadsAsZeros) {
  test::TempDir dir;
  OutputFile out(dir / "sparse");
  ASSERT_EQ(out.open(), 0);
  const Bytes head{'a', 'b'};
  ASSERT_EQ(out.write_at(0, head.data(), head.size()), 0);
  ASSERT_EQ(out.extend_to(8 << 20), 0);
  ASSERT_EQ(out.extend_to(100), 0);  // never shortens
  ASSERT_EQ(out.close(), 0);
  EXPECT_EQ(std::filesystem::file_size(dir / "sparse"), 8u << 20);
  Bytes want(8 << 20, 0);
  want[0] = 'a', want[1] = 'b';
  EXPECT_TRUE(test::read_file(dir / "sparse") == want);
}

}  // namespace
}  // namespace uq::platform
