// The method table and the method-5 block decoder: known answers, items written by the test
// writer, corrupt blocks, and the bounds the decoder keeps on any input.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "codec/block_buffers.h"
#include "codec/block_writer.h"
#include "codec/method_table.h"
#include "codec/model_state.h"
#include "support/method5.h"
#include "support/qvx_builder.h"

namespace uq::codec {
namespace {

using test::Bytes;
using test::hex;

constexpr std::uint8_t kGuard = 0xA5;  // fills the output slack to catch stray writes

struct Restored {
  std::int32_t result;
  Bytes bytes;         // the block's out_len bytes
  Bytes head;          // the first two bytes of the output area, slack included
  std::size_t stray;   // index past end + 3 of the first slack byte changed, or 0
};

// Runs one block through the method table the way the callers do: init, decode, free, with
// buffers from allocate_input / allocate_output.
Restored restore(const Bytes& coded, std::int32_t out_len, std::uint8_t level) {
  std::uint8_t* in = allocate_input(coded.size());
  if (!coded.empty()) std::memcpy(in, coded.data(), coded.size());
  std::uint8_t* out = allocate_output(static_cast<std::size_t>(out_len));
  std::memset(out, kGuard, static_cast<std::size_t>(out_len) + kOutputSlack);

  const std::optional<std::int32_t> result = test::decode_method5(in, coded.size(), out, out_len, level);
  EXPECT_TRUE(result.has_value());
  Restored r{result.value_or(-2), Bytes(out, out + out_len), Bytes(out, out + 2), 0};
  // Two start bytes are always written; a match may overshoot by 3.
  const std::size_t allowed = std::max<std::size_t>(2, static_cast<std::size_t>(out_len) + 3);
  for (std::size_t i = allowed; i < static_cast<std::size_t>(out_len) + kOutputSlack; ++i) {
    if (out[i] != kGuard) {
      r.stray = i;
      break;
    }
  }
  release_buffer(out);
  release_buffer(in);
  return r;
}

TEST(MethodTable, OnlyMethodFiveHasAnEntry) {
  for (unsigned m = 0; m < 256; ++m) {
    if (m == 5) {
      ASSERT_NE(find_method(5), nullptr);
    } else {
      EXPECT_EQ(find_method(static_cast<std::uint8_t>(m)), nullptr) << m;
    }
  }
}

TEST(ModelState, FreshModelHoldsOneHalfEverywhere) {
  ModelState* model = create_model_state();
  ASSERT_NE(model, nullptr);
  for (const ProbPair& pair : model->pairs) {
    ASSERT_EQ(pair.fast, 0x4000);
    ASSERT_EQ(pair.slow, 0x4000);
  }
  destroy_model_state(model);
}

TEST(ModelState, DistanceRowsDoNotOverlap) {
  // Each consulted row holds its tree's nodes: 2^fb for dist_extra, 2^8 for dist_top.
  for (unsigned slot = kFirstExtraSlot; slot + 1 < kSlotCount; ++slot) {
    const unsigned bits = slot < kFirstTopSlot ? extra_bits(slot) : kTopBits;
    EXPECT_EQ(kDistRowAt[slot + 1] - kDistRowAt[slot], 1u << bits) << slot;
  }
  EXPECT_EQ(kDistRowAt[kFirstExtraSlot], kLitLoAt + kLitLoPairs);
  EXPECT_EQ(kLitHiAt, kDistSlotAt + 4 * 64);
}

// The decoder updates both probabilities of a pair in one step, whichever the outcome; it must
// give the two plain rules for every value a probability can hold, each lane on its own.
TEST(ModelState, OneStepUpdateFollowsBothRulesForEveryValue) {
  const auto after = [](std::uint32_t p, unsigned bit, unsigned shift) {
    return bit == 0 ? p + ((0x8000 - p) >> shift) : p - (p >> shift);
  };
  for (std::uint32_t v = 0; v < 0x8000; ++v) {
    const std::uint32_t other = 0x7FFF - v;  // the other lane sweeps the other way
    for (unsigned bit = 0; bit < 2; ++bit) {
      ProbPair pair{};
      store_adapted(pair, v | other << 16, bit);
      ASSERT_EQ(pair.fast, after(v, bit, 3)) << v << " " << bit;
      ASSERT_EQ(pair.slow, after(other, bit, 6)) << v << " " << bit;
      store_adapted(pair, other | v << 16, bit);
      ASSERT_EQ(pair.fast, after(other, bit, 3)) << v << " " << bit;
      ASSERT_EQ(pair.slow, after(v, bit, 6)) << v << " " << bit;
    }
    for (std::uint32_t w : {0u, 1u, 63u, 0x4000u, 0x7FC1u, 0x7FFFu}) {
      ASSERT_EQ(pair_mean(v | w << 16), (v + w) >> 1) << v << " " << w;
      ASSERT_EQ(pair_mean(w | v << 16), (v + w) >> 1) << v << " " << w;
    }
  }
}

// The known answers: the first one is also the block of the 51-byte complete file.
TEST(BlockDecoder, KnownAnswers) {
  EXPECT_EQ(restore(hex("68 65 00 36 1a ce d9 d6 78 16 76 84 bd 00"), 18, 0).bytes,
            hex("68 65 6c 6c 6f 20 68 65 6c 6c 6f 20 68 65 6c 6c 6f 21"));
  // As many coded bytes as restored ones: the decoder takes it all the same.
  EXPECT_EQ(restore(hex("61 62 00 d0 1f c0 00 00"), 8, 9).bytes, hex("61 62 61 62 61 62 61 62"));
  EXPECT_EQ(restore(hex("61 61 00 ef ff c0 00 00"), 20, 0).bytes, Bytes(20, 0x61));
}

TEST(BlockDecoder, WriterReproducesTheKnownAnswer) {
  // Four literals, an 11-byte match at distance 6, one literal: the writer must agree with the
  // reference bytes, or every test built on it proves nothing.
  test::BlockWriter w(0, 0x68, 0x65);
  for (char c : std::string("llo ")) w.literal(static_cast<std::uint8_t>(c));
  w.match(11, 6);
  w.literal('!');
  const Bytes coded = w.finish();
  const Bytes known = hex("68 65 00 36 1a ce d9 d6 78 16 76 84 bd");
  ASSERT_GE(coded.size(), known.size());
  EXPECT_EQ(Bytes(coded.begin(), coded.begin() + 13), known);
}

TEST(BlockDecoder, ShortBlocksStillWriteBothStartBytes) {
  for (std::int32_t out_len : {0, 1, 2}) {
    const Restored r = restore(hex("41 42 00 12 34 56 78"), out_len, 0);
    EXPECT_EQ(r.result, out_len);
    EXPECT_EQ(r.bytes.size(), static_cast<std::size_t>(out_len));
    EXPECT_EQ(r.head, hex("41 42"));
    EXPECT_EQ(r.stray, 0u);
  }
}

TEST(BlockDecoder, ZeroStreamIsStoredBytesThenZerosForAnyCompLen) {
  for (std::size_t comp_len : {0, 2, 3, 7, 100, 6000}) {
    Bytes coded(comp_len, 0);
    if (comp_len >= 2) coded[0] = 0x11, coded[1] = 0x22;
    const Restored r = restore(coded, 9000, 3);
    Bytes want(9000, 0);
    if (comp_len >= 2) want[0] = 0x11, want[1] = 0x22;
    EXPECT_EQ(r.result, 9000);
    EXPECT_EQ(r.bytes, want) << comp_len;
  }
}

TEST(BlockDecoder, LengthCodeTwoByLevel) {
  // The same length code gives a 4-byte match at levels 0..7, 3 at 8 and 10..255, 2 at 9.
  for (unsigned level : {0u, 7u, 8u, 9u, 10u, 255u}) {
    test::BlockWriter w(static_cast<std::uint8_t>(level), 'a', 'b');
    w.match(2 + w.length_adjustment(), 2);
    w.literal('z');
    const auto& want = w.expected();
    const Restored r = restore(w.finish(), static_cast<std::int32_t>(want.size()),
                               static_cast<std::uint8_t>(level));
    EXPECT_EQ(r.bytes, want) << level;
    EXPECT_EQ(want.size(), 2 + 2 + w.length_adjustment() + 1);
  }
}

TEST(BlockDecoder, ShortDistancesRepeatTheirPeriodAndContextFollowsTheMatch) {
  test::BlockWriter w(0, 'x', 'y');
  w.literal('z');
  for (std::uint64_t d : {1, 2, 3, 4, 5}) {
    w.match(17, d);
    w.literal(static_cast<std::uint8_t>('0' + d));
  }
  w.match(1000, 4);  // long overlapping copy in 4-byte units
  const auto& want = w.expected();
  const Restored r = restore(w.finish(), static_cast<std::int32_t>(want.size()), 0);
  EXPECT_EQ(r.bytes, want);
  EXPECT_EQ(r.stray, 0u);
}

TEST(BlockDecoder, EveryDistanceSlotAndLongLengths) {
  // Slots 0..43 (distances up to 2^22 + 2^21), slot 22 by tree and 23 by tree and division,
  // length codes with ladders of up to 20 steps.
  std::mt19937 rng(7);
  test::BlockWriter w(8, 1, 2);
  for (int i = 0; i < 7'000'000 / 256; ++i) w.literal(static_cast<std::uint8_t>(rng()));
  for (unsigned slot = 0; slot < 44; ++slot) {
    const unsigned fb = slot < 4 ? 0 : (slot >> 1) - 1;
    const std::uint64_t base = slot < 4 ? slot : (2u + (slot & 1)) << fb;
    const std::uint64_t extra = fb == 0 ? 0 : rng() & ((1u << fb) - 1);
    while (w.expected().size() < base + extra + 1) w.match(1 << 18, 1 + w.expected().size() / 2);
    w.match(3 + (slot * 7919) % 5000, base + extra + 1);
    w.literal(static_cast<std::uint8_t>(slot));
  }
  w.match((1u << 21) + 77, 12345);
  const auto& want = w.expected();
  const Restored r = restore(w.finish(), static_cast<std::int32_t>(want.size()), 8);
  EXPECT_EQ(r.result, static_cast<std::int32_t>(want.size()));
  EXPECT_TRUE(r.bytes == want);
  EXPECT_EQ(r.stray, 0u);
}

TEST(BlockDecoder, MatchEndingAtTheEndOrCutThereStaysWithinThreeBytes) {
  for (std::uint64_t cut : {0, 1, 2, 3, 5, 1000}) {
    test::BlockWriter w(0, 'q', 'r');
    for (char c : std::string("stuvwxyz")) w.literal(static_cast<std::uint8_t>(c));
    w.match(41 + cut, 7);
    const Bytes whole = w.expected();
    const Restored r = restore(w.finish(), static_cast<std::int32_t>(whole.size() - cut), 0);
    EXPECT_EQ(r.result, static_cast<std::int32_t>(whole.size() - cut));
    EXPECT_EQ(r.bytes, Bytes(whole.begin(), whole.end() - static_cast<std::ptrdiff_t>(cut)));
    EXPECT_EQ(r.stray, 0u) << cut;
  }
}

TEST(BlockDecoder, DistanceBeforeTheBlockStartFails) {
  test::BlockWriter ok(0, 'a', 'b');
  ok.match(4, 2);
  EXPECT_EQ(restore(ok.finish(), 6, 0).result, 6);
  test::BlockWriter bad(0, 'a', 'b');
  bad.match(4, 3);
  EXPECT_EQ(restore(bad.finish(), 6, 0).result, -1);
  test::BlockWriter later(0, 'a', 'b');
  for (int i = 0; i < 10; ++i) later.literal('c');
  later.match(4, 13);
  EXPECT_EQ(restore(later.finish(), 16, 0).result, -1);
}

TEST(BlockDecoder, CorruptBlocks) {
  // An endless length ladder.
  EXPECT_EQ(restore(hex("61 62 00 ff ff ff ff"), 16, 0).result, -1);
  // A match at a distance of about 10^9 after 4 bytes.
  EXPECT_EQ(restore(hex("61 62 00 20 82 3c fd e6"), 16, 0).result, -1);
  // A 7,194-byte match at distance 1, cut at the block end.
  const Restored cut = restore(hex("61 62 00 43 83 bf fd 83"), 16, 0);
  EXPECT_EQ(cut.result, 16);
  Bytes want(16, 0x0f);
  want[0] = 0x61, want[1] = 0x62, want[2] = 0x87;
  EXPECT_EQ(cut.bytes, want);
  EXPECT_EQ(cut.stray, 0u);
  // Seven coded bytes can't make 4 MiB: the stream runs more than 64 bytes past its end (it
  // would need about 8,150), so the block is damaged. Within the margin, reads past the end give
  // zeros: the same bytes restore 16 KiB.
  EXPECT_EQ(restore(hex("11 22 00 00 00 00 00"), 4'194'304, 0).result, -1);
  const Restored zeros = restore(hex("11 22 00 00 00 00 00"), 16'000, 0);
  EXPECT_EQ(zeros.result, 16'000);
  Bytes zero_bytes(16'000, 0);
  zero_bytes[0] = 0x11, zero_bytes[1] = 0x22;
  EXPECT_TRUE(zeros.bytes == zero_bytes);
}

// Known answers for the range decoder's normalising steps and the distance tree of each length
// class. The coded bytes were written once by the test writer and are kept as they stand, so these
// hold whatever the writer or the decoder later become; the expected bytes are built here from
// what each block says it holds.

// Copies `length` bytes from `distance` back, byte by byte.
void copy_back(Bytes& out, std::size_t length, std::size_t distance) {
  for (std::size_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
}

TEST(BlockDecoder, KnownAnswerDivisionStepsThatNormaliseByTwoOrThreeBytes) {
  // "ab", then a 3,000,000-byte match at distance 2; eight times a literal and a 7-byte match about
  // 2.5 MB back (slot 42: 20 extra bits, 12 of them in one division step, after which range is
  // below 2^20 and normalising takes two or three bytes); then "xyz".
  const Bytes coded = hex(
      "61 62 00 ff ff f9 b1 90 98 57 c8 28 56 3d a5 c0 11 80 5b e1 da 55 6d fd "
      "fb 65 51 1a fb 6d 30 19 d9 19 1c 16 16 ff 42 7a f5 5d b2 44 87 d5 e6 b4 00 00 00");
  Bytes want{'a', 'b'};
  copy_back(want, 3'000'000, 2);
  for (int i = 0; i < 8; ++i) {
    want.push_back(static_cast<std::uint8_t>('c' + i));
    copy_back(want, 7, 2'500'000 + 1000 * i + 1);
  }
  for (char c : std::string("xyz")) want.push_back(static_cast<std::uint8_t>(c));
  ASSERT_EQ(want.size(), 3'000'069u);
  const Restored r = restore(coded, static_cast<std::int32_t>(want.size()), 0);
  EXPECT_EQ(r.result, static_cast<std::int32_t>(want.size()));
  EXPECT_TRUE(r.bytes == want);
}

TEST(BlockDecoder, KnownAnswerADecisionThatNormalisesByTwoBytes) {
  // "ab", then twelve rounds of 300 matches of 4 bytes at distance 2, a literal ('c', 'd', ...) and
  // a 5-byte match at distance 3. The match flag after 'b' learns to expect a match, so the
  // literal's flag decision leaves range below 2^16 and normalising takes two bytes.
  const Bytes coded = hex(
      "61 62 00 80 bb da 4e 78 a4 aa 98 c6 9b 16 2e b1 05 21 f0 ee f7 25 75 ea "
      "d1 15 96 ae 6d e9 60 55 bd f6 5f 8e d7 e5 48 9f d0 77 6a 5e af b7 d5 72 "
      "09 a1 86 d7 c5 ca f5 40 66 3d d9 87 8c 08 5a 11 f4 ae 66 07 05 a1 63 f2 "
      "d1 5e 7b 6c b1 0a bc 74 01 d1 fd a0 ab dc eb 1c 3d 7e 19 0e 5e 19 d6 00");
  Bytes want{'a', 'b'};
  for (int round = 0; round < 12; ++round) {
    copy_back(want, 1200, 2);
    want.push_back(static_cast<std::uint8_t>('c' + round));
    copy_back(want, 5, 3);
  }
  const Restored r = restore(coded, static_cast<std::int32_t>(want.size()), 0);
  EXPECT_EQ(r.result, static_cast<std::int32_t>(want.size()));
  EXPECT_EQ(r.bytes, want);
}

TEST(BlockDecoder, KnownAnswerEachLengthClassHasItsOwnDistanceTree) {
  // At level 0 (matches 2 longer than their length code): "ab" and the literals "c".."z", twenty
  // pairs of a class-1 match (5 bytes, distance 5..7) and a class-3 match (7 bytes, distance
  // 17..21), then twenty class-2 matches (6 bytes, distance 9..12), whose slots are read from a
  // tree that neither of the others trained.
  const Bytes coded = hex(
      "61 62 00 31 98 cc a6 63 39 a0 d2 6a 35 9b 0d a6 e3 79 c0 e2 72 39 9d 0e "
      "a7 63 b9 e0 f2 7a a2 32 51 d6 8c 41 6f 3e d8 f2 9b 1e f3 2c 5e 7a 4d 8b "
      "af 6a 97 17 21 b4 ad 0d 89 37 32 91 cf c9 4c a2 0e a6 87 7f 7c 0e ca 32 "
      "48 2c 14 39 2b 5b 13 05 56 35 00 89 b5 67 f0 12 cd 15 27 bf 11 64 4b 74");
  Bytes want;
  for (char c = 'a'; c <= 'z'; ++c) want.push_back(static_cast<std::uint8_t>(c));
  for (std::size_t i = 0; i < 20; ++i) {
    copy_back(want, 5, 5 + i % 3);
    copy_back(want, 7, 17 + i % 5);
  }
  for (std::size_t i = 0; i < 20; ++i) copy_back(want, 6, 9 + i % 4);
  const Restored r = restore(coded, static_cast<std::int32_t>(want.size()), 0);
  EXPECT_EQ(r.result, static_cast<std::int32_t>(want.size()));
  EXPECT_EQ(r.bytes, want);
}

TEST(BlockDecoder, TheLengthLadderIsRefusedAt32StepsFromBothSides) {
  // 31 steps and a distance of 1: a length code of 33 bits, longer than any block, cut at the end.
  test::BlockWriter ok(0, 'a', 'b');
  ok.match((std::uint64_t{1} << 32) + ok.length_adjustment(), 1, false);
  Bytes filled(1000, 'b');
  filled[0] = 'a';
  const Restored r = restore(ok.finish(), 1000, 0);
  EXPECT_EQ(r.result, 1000);
  EXPECT_EQ(r.bytes, filled);
  // 32 steps: refused, though the zeros after them would decode, as a 0 step and a match at
  // distance 1, if a 33rd step were read.
  test::BlockWriter bad(0, 'a', 'b');
  bad.ladder_ones(32);
  EXPECT_EQ(restore(bad.finish(), 1000, 0).result, -1);
}

TEST(BlockDecoder, RandomInputStaysInsideItsBuffers) {
  // Arbitrary bytes: the result is out_len or -1, and the sanitizers and the slack guard see no
  // access outside the buffers.
  std::mt19937 rng(11);
  int failed = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes coded(rng() % 64);
    for (auto& b : coded) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0xFF : rng());
    const auto out_len = static_cast<std::int32_t>(rng() % 3000);
    const Restored r = restore(coded, out_len, static_cast<std::uint8_t>(rng()));
    ASSERT_TRUE(r.result == out_len || r.result == -1) << round;
    ASSERT_EQ(r.stray, 0u) << round;
    failed += r.result == -1;
  }
  EXPECT_GT(failed, 100);  // both outcomes are exercised
}

TEST(BlockDecoder, TwoModelsGiveTheSameBytes) {
  const Bytes coded = test::encode_greedy(Bytes(300, 'k'), 0);
  EXPECT_EQ(restore(coded, 300, 0).bytes, restore(coded, 300, 0).bytes);
  EXPECT_EQ(restore(coded, 300, 0).bytes, Bytes(300, 'k'));
}

}  // namespace
}  // namespace uq::codec
