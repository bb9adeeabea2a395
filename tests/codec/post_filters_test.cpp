// The post-filters on the documented examples, and the choice of filter by the filter byte.
#include <gtest/gtest.h>

#include "codec/post_filters.h"
#include "support/qvx_builder.h"

namespace uq::codec {
namespace {

using test::Bytes;
using test::hex;

Bytes x86(Bytes data) {
  std::uint32_t state = 0;
  x86_branch_decode(data.data(), data.size(), 0, &state);
  return data;
}

TEST(X86BranchFilter, Examples) {
  EXPECT_EQ(x86(hex("e8 05 00 00 00")), hex("e8 00 00 00 00"));
  EXPECT_EQ(x86(hex("e8 00 00 00 00")), hex("e8 fb ff ff ff"));
  Bytes padded(16, 0);
  for (auto b : hex("e8 15 00 00 00")) padded.push_back(b);
  Bytes want(16, 0);
  for (auto b : hex("e8 00 00 00 00")) want.push_back(b);
  EXPECT_EQ(x86(padded), want);
  // The E9 keeps its operand: its last operand byte is neither 00 nor FF.
  EXPECT_EQ(x86(hex("e9 01 02 03 04 e8 10 00 00 00")), hex("e9 01 02 03 04 e8 06 00 00 00"));
  // The second E8 is an operand byte of the first.
  EXPECT_EQ(x86(hex("e8 e8 00 00 00 00")), hex("e8 e3 00 00 00 00"));
  // The first E8 is left and marks the mask; the second converts in two rounds.
  EXPECT_EQ(x86(hex("e8 e8 00 00 01 00")), hex("e8 e8 ff ff fe 00"));
  // Branches 3 bytes apart: the first E8 is left (its last operand byte is 08) and sets the mask
  // to 1, which the gap of 3 shifts to 4. The second E8's operand 8 less its address 3 + 5 is 0,
  // whose low byte, the one mask 4 looks at, is 00: a second round makes it 0xFF - 8 = F7.
  EXPECT_EQ(x86(hex("e8 11 22 e8 08 00 00 00 00 00")), hex("e8 11 22 e8 f7 00 00 00 00 00"));
}

TEST(X86BranchFilter, ShortBlocksAndBlocksWithoutBranchesAreUnchanged) {
  for (const char* text : {"", "e8", "e8 00 00 00", "e9 ff ff ff", "00 01 02 03 04 05 06 07"}) {
    const Bytes data = hex(text);
    std::uint32_t state = 5;
    Bytes copy = data;
    const std::uint32_t passed = x86_branch_decode(copy.data(), copy.size(), 0, &state);
    EXPECT_EQ(copy, data) << text;
    if (data.size() < 5) {
      EXPECT_EQ(passed, 0u);
      EXPECT_EQ(state, 5u);  // left as it was
    }
  }
}

TEST(X86BranchFilter, BranchInTheLastFourBytesIsNeverConverted) {
  EXPECT_EQ(x86(hex("00 e8 00 00 00")), hex("00 e8 00 00 00"));
  std::uint32_t state = 0;
  Bytes data = hex("90 90 90 90 90 90 e8 00");
  EXPECT_EQ(x86_branch_decode(data.data(), data.size(), 0, &state), 4u);
}

TEST(Delta3Filter, Examples) {
  Bytes a = hex("01 02 03 01 02 03 05");
  delta3_decode(a.data(), a.size());
  EXPECT_EQ(a, hex("01 02 03 02 04 06 05"));
  Bytes b = hex("ff 00 00 02 00 00");
  delta3_decode(b.data(), b.size());
  EXPECT_EQ(b, hex("ff 00 00 01 00 00"));
  Bytes c = Bytes(7, 0x01);  // a stored block of the delta-filtered file
  delta3_decode(c.data(), c.size());
  EXPECT_EQ(c, hex("01 01 01 02 02 02 01"));
  for (const char* text : {"", "07", "07 08"}) {
    Bytes d = hex(text);
    delta3_decode(d.data(), d.size());
    EXPECT_EQ(d, hex(text));
  }
}

TEST(PostFilter, ChosenByTheLowFourBitsOfTheFilterByte) {
  const Bytes branch = hex("e8 05 00 00 00 01 02 03");
  const Bytes after_x86 = hex("e8 00 00 00 00 01 02 03");
  const Bytes after_delta = hex("e8 05 00 e8 05 01 02 03");
  for (unsigned filter = 0; filter < 256; ++filter) {
    Bytes data = branch;
    apply_post_filter(static_cast<std::uint8_t>(filter), data.data(), data.size());
    const unsigned low = filter & 15;
    const Bytes& want = low == 1 ? after_x86 : low == 2 ? after_delta : branch;
    EXPECT_EQ(data, want) << filter;
  }
}

}  // namespace
}  // namespace uq::codec
