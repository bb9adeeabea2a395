// Header and record decoding and the block geometry derived from them.
#include "format/file_format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/qvx_builder.h"

namespace uq::format {
namespace {

FileHeader header_of(const test::Bytes& bytes) {
  std::uint8_t raw[kHeaderSize];
  std::memcpy(raw, bytes.data(), kHeaderSize);
  return parse_header(raw);
}

TEST(FileHeader, ReadsEveryFieldLittleEndian) {
  test::HeaderFields fields{.orig_size = 0x0102030405060708, .method = 5, .level = 9, .filter = 0x21,
                            .block_mib = 0xABCD};
  FileHeader h = header_of(test::QvxBuilder(fields).bytes());
  EXPECT_TRUE(h.magic_ok);
  EXPECT_EQ(h.orig_size, 0x0102030405060708);
  EXPECT_EQ(h.method, 5);
  EXPECT_EQ(h.level, 9);
  EXPECT_EQ(h.filter, 0x21);
  EXPECT_EQ(h.block_mib, 0xABCD);  // all 16 bits count
}

TEST(FileHeader, MagicIsExactAndCaseSensitiveWhileOtherBytesAreFree) {
  for (const char* magic : {"qv0", "QVO", "QV1", "XV0"}) {
    test::HeaderFields fields{.magic = magic};
    EXPECT_FALSE(header_of(test::QvxBuilder(fields).bytes()).magic_ok) << magic;
  }
  test::Bytes bytes = test::QvxBuilder({}).bytes();
  for (std::size_t i : {0u, 14u, 15u, 16u, 20u, 31u}) bytes[i] = 0xFF;
  EXPECT_TRUE(header_of(bytes).magic_ok);
}

TEST(FileHeader, NegativeOrigSizeStaysSigned) {
  FileHeader h = header_of(test::QvxBuilder({.orig_size = -5}).bytes());
  EXPECT_EQ(h.orig_size, -5);
  EXPECT_EQ(block_count(h.orig_size, block_size(1)), 0);
}

TEST(BlockRecord, ReadsLengthAndRelativeIndex) {
  const std::uint8_t raw[kRecordSize] = {0x0A, 0x00, 0x01, 0x80, 0x07};
  BlockRecord r = parse_record(raw);
  EXPECT_EQ(r.comp_len, 0x8001000Au);
  EXPECT_EQ(r.rel_index, 7);
}

TEST(BlockGeometry, IndexesFromRelativeRecords) {
  // Blocks written in the order 1, 0, 2.
  EXPECT_EQ(block_index(0, 0x02), 1);
  EXPECT_EQ(block_index(1, 0x03), 0);
  EXPECT_EQ(block_index(2, 0x00), 2);
  EXPECT_EQ(block_index(5, 0x01), 5);  // minus zero
  EXPECT_EQ(block_index(0, 0xFF), -127);
  EXPECT_EQ(block_index(0, 0xFE), 127);
}

TEST(BlockGeometry, CountAndLengths) {
  const std::int64_t b2 = block_size(2);
  EXPECT_EQ(b2, 2'097'152);
  EXPECT_EQ(block_count(5'242'890, b2), 3);
  EXPECT_EQ(block_len(5'242'890, b2, 0), 2'097'152);
  EXPECT_EQ(block_len(5'242'890, b2, 1), 2'097'152);
  EXPECT_EQ(block_len(5'242'890, b2, 2), 1'048'586);
  EXPECT_LT(block_len(5'242'890, b2, 3), 0);

  const std::int64_t b1 = block_size(1);
  EXPECT_EQ(block_count(1'048'576, b1), 1);
  EXPECT_EQ(block_count(1'048'577, b1), 2);
  EXPECT_EQ(block_len(1'048'577, b1, 1), 1);
  EXPECT_EQ(block_len(1'048'576, b1, 1), 0);  // an empty record just past the end
  EXPECT_EQ(block_count(0, b1), 0);
}

TEST(BlockGeometry, NoOverflowAtTheExtremes) {
  const std::int64_t big = block_size(0xFFFF);
  EXPECT_EQ(big, 0xFFFFll << 20);
  EXPECT_EQ(block_count(INT64_MAX, big), INT64_MAX / big + 1);
  EXPECT_EQ(block_len(INT64_MAX, big, 0), big);
  EXPECT_LT(block_len(10, big, INT64_MAX / 2), 0);
  EXPECT_EQ(block_len(INT64_MIN, big, INT64_MAX), INT64_MIN);
}

}  // namespace
}  // namespace uq::format
