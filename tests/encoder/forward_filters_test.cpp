// The forward filters against the restore program's post-filters: known pairs both ways and
// round trips over data dense in the bytes the x86 filter looks at.
#include <gtest/gtest.h>

#include <random>

#include "codec/forward_filters.h"
#include "codec/post_filters.h"
#include "encoder/test_data.h"
#include "support/qvx_builder.h"

namespace uq::test {
namespace {

Data x86_encoded(Data d) {
  std::uint32_t state = 0;
  enc::x86_branch_encode(d.data(), d.size(), 0, &state);
  return d;
}

Data x86_decoded(Data d) {
  std::uint32_t state = 0;
  codec::x86_branch_decode(d.data(), d.size(), 0, &state);
  return d;
}

TEST(ForwardFilters, X86TurnsRelativeTargetsIntoAbsoluteOnes) {
  // Each pair: original, filtered.
  const std::pair<const char*, const char*> pairs[] = {
      {"e8 00 00 00 00", "e8 05 00 00 00"},
      {"e8 fb ff ff ff", "e8 00 00 00 00"},
      {"00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 e8 00 00 00 00",
       "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 e8 15 00 00 00"},
      // The E9 is left (its last operand byte is not a sign byte), the E8 converted.
      {"e9 01 02 03 04 e8 06 00 00 00", "e9 01 02 03 04 e8 10 00 00 00"},
      // The second E8 is an operand byte of the first.
      {"e8 e3 00 00 00 00", "e8 e8 00 00 00 00"},
      // The second E8 follows an unconverted one: the sign-byte loop runs twice.
      {"e8 e8 ff ff fe 00", "e8 e8 00 00 01 00"},
      // Too short to hold an instruction, and no E8/E9 at all.
      {"e8 00 00 00", "e8 00 00 00"},
      {"01 02 03 04 05 06 07 08", "01 02 03 04 05 06 07 08"},
      // An E8 in the last four bytes is never converted.
      {"90 90 e8 00 00 00", "90 90 e8 00 00 00"},
  };
  for (const auto& [original, filtered] : pairs) {
    EXPECT_EQ(x86_encoded(hex(original)), hex(filtered)) << original;
    EXPECT_EQ(x86_decoded(hex(filtered)), hex(original)) << filtered;
  }
}

TEST(ForwardFilters, X86IsUndoneByThePostFilterOnDenseData) {
  // Bytes drawn mostly from E8, E9, 00 and FF exercise every branch of the mask state machine.
  std::mt19937 rng(5);
  const std::uint8_t kDense[] = {0xE8, 0xE9, 0x00, 0xFF, 0xE8, 0x00, 0xFF, 0x01, 0x80, 0xFE};
  for (int round = 0; round < 3000; ++round) {
    std::size_t n = rng() % 64;
    Data d(n);
    for (auto& b : d) b = rng() % 4 == 0 ? static_cast<std::uint8_t>(rng()) : kDense[rng() % 10];
    ASSERT_EQ(x86_decoded(x86_encoded(d)), d) << round;
  }
  Data code = x86_like(200000);
  Data filtered = x86_encoded(code);
  EXPECT_NE(filtered, code);
  EXPECT_EQ(x86_decoded(filtered), code);
}

TEST(ForwardFilters, Delta3SubtractsTheByteThreeBackInWholeGroups) {
  Data d = hex("01 02 03 02 04 06 05");
  enc::delta3_encode(d.data(), d.size());
  EXPECT_EQ(d, hex("01 02 03 01 02 03 05"));
  Data wrap = hex("ff 00 00 01 00 00");
  enc::delta3_encode(wrap.data(), wrap.size());
  EXPECT_EQ(wrap, hex("ff 00 00 02 00 00"));
  for (std::size_t n = 0; n < 40; ++n) {
    Data original = random_bytes(n, static_cast<std::uint32_t>(n));
    Data f = original;
    enc::delta3_encode(f.data(), f.size());
    for (std::size_t k = n - n % 3; k < n; ++k) EXPECT_EQ(f[k], original[k]);  // the tail
    codec::delta3_decode(f.data(), f.size());
    EXPECT_EQ(f, original) << n;
  }
}

TEST(ForwardFilters, TheLowFourBitsOfTheFilterByteChoose) {
  const Data call = hex("e8 00 00 00 00 00");
  const Data pixels = hex("01 02 03 02 04 06");
  for (std::uint8_t filter : {0x01, 0x11, 0xF1}) {
    Data d = call;
    enc::apply_forward_filter(filter, d.data(), d.size());
    EXPECT_EQ(d, hex("e8 05 00 00 00 00")) << +filter;
  }
  Data p = pixels;
  enc::apply_forward_filter(0x22, p.data(), p.size());
  EXPECT_EQ(p, hex("01 02 03 01 02 03"));
  for (std::uint8_t filter : {0x00, 0x03, 0x0F, 0x10}) {
    Data d = call;
    enc::apply_forward_filter(filter, d.data(), d.size());
    EXPECT_EQ(d, call) << +filter;
  }
}

}  // namespace
}  // namespace uq::test
