// The method-5 block encoder against the real block decoder: known answers, round trips at every
// level class, and proof through the stats hook that every kind of item is emitted.
#include <gtest/gtest.h>

#include <algorithm>

#include "codec/block_encoder.h"
#include "encoder/test_data.h"

namespace uq::test {
namespace {

using enc::encode_block;
using enc::EncodeStats;

Data bytes_of(const std::string& s) { return Data(s.begin(), s.end()); }

Data encode(const Data& d, std::uint8_t level, EncodeStats* stats = nullptr) {
  return encode_block(d.data(), d.size(), level, stats);
}

void expect_round_trip(const Data& d, std::uint8_t level, const char* what) {
  Data coded = encode(d, level);
  std::int32_t result = 0;
  EXPECT_EQ(restore_block(coded, d.size(), level, 0xA5, &result), d) << what << " level " << +level;
  EXPECT_EQ(result, static_cast<std::int32_t>(d.size())) << what;
}

TEST(BlockEncoder, KnownAnswersAreReproducedByteForByte) {
  EXPECT_EQ(encode(bytes_of("hello hello hello!"), 0),
            (Data{0x68, 0x65, 0x00, 0x36, 0x1a, 0xce, 0xd9, 0xd6, 0x78, 0x16, 0x76, 0x84, 0xbd, 0x00}));
  EXPECT_EQ(encode(bytes_of("abababab"), 9), (Data{0x61, 0x62, 0x00, 0xd0, 0x1f, 0xc0, 0x00, 0x00}));
  EXPECT_EQ(encode(Data(20, 0x61), 0), (Data{0x61, 0x61, 0x00, 0xef, 0xff, 0xc0, 0x00, 0x00}));
}

TEST(BlockEncoder, BlocksOfTwoBytesOrFewerAreTheStartBytesAndAFlush) {
  for (std::size_t n : {0u, 1u, 2u}) {
    Data d = bytes_of("xy");
    d.resize(n);
    Data coded = encode(d, 5);
    ASSERT_EQ(coded.size(), 7u) << n;
    EXPECT_EQ(coded[0], n > 0 ? 'x' : 0);
    EXPECT_EQ(coded[1], n > 1 ? 'y' : 0);
    EXPECT_EQ(restore_block(coded, n, 5), d);
  }
}

TEST(BlockEncoder, RoundTripsEveryKindOfDataAtEveryLevelClass) {
  const std::pair<const char*, Data> inputs[] = {
      {"text", text_like(40000)},      {"x86", x86_like(30000)},
      {"rgb", rgb_like(30000)},        {"random", random_bytes(3000)},
      {"zeros", Data(20000, 0)},       {"three", bytes_of("abc")},
      {"five", bytes_of("aaaaa")},     {"period3", [] {
                                          Data d;
                                          for (int i = 0; i < 3000; ++i) d.push_back("xyz"[i % 3]);
                                          return d;
                                        }()},
  };
  for (std::uint8_t level : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 255}) {
    for (const auto& [what, d] : inputs) expect_round_trip(d, level, what);
  }
}

TEST(BlockEncoder, ParsesThatDifferOnlyInEffortAllRoundTrip) {
  Data d = text_like(20000, 7);
  for (bool optimal : {false, true}) {
    for (bool tree : {false, true}) {
      for (unsigned depth : {1u, 4u, 200u}) {
        for (unsigned lazy : {0u, 2u}) {
          enc::ParseParams p = enc::params_for_level(8);
          p.optimal = optimal;
          p.tree = tree;
          p.lazy_steps = lazy;
          p.depth = depth;
          p.take_length = depth == 4 ? 8 : 273;  // short: most items are taken without weighing
          p.window_bits = 10;  // links cut at 1 KiB; heads still reach back anywhere
          Data coded = encode_block(d.data(), d.size(), 8, p);
          EXPECT_EQ(restore_block(coded, d.size(), 8), d)
              << optimal << " " << tree << " " << depth << " " << lazy;
        }
      }
    }
  }
}

// Short copies at every distance class inside random bytes, a far repeat and a long run.
Data every_item_kind() {
  Data d = random_bytes(6000, 3);
  auto copy_back = [&d](std::size_t distance, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) d.push_back(d[d.size() - distance]);
  };
  auto noise = [&d](std::uint32_t seed) {
    Data r = random_bytes(24, seed);
    d.insert(d.end(), r.begin(), r.end());
  };
  std::uint32_t seed = 100;
  for (std::size_t distance : {1u, 2u, 3u, 4u, 20u, 300u, 2000u, 3500u, 5000u}) {
    for (std::size_t length : {2u, 3u, 4u, 5u, 6u, 9u, 40u}) {
      copy_back(distance, length);
      noise(seed++);
    }
  }
  copy_back(6000, 5000);   // a long match from the far start
  d.insert(d.end(), 70000, 0x55);  // a very long run
  return d;
}

TEST(BlockEncoder, ReachesEveryDistanceClassEveryLengthClassAndLongMatches) {
  Data d = every_item_kind();
  for (std::uint8_t level : {0, 4, 5, 8, 9}) {
    EncodeStats s;
    Data coded = encode(d, level, &s);
    EXPECT_EQ(restore_block(coded, d.size(), level), d);
    auto sum = [&s](unsigned from, unsigned to) {
      std::uint64_t total = 0;
      for (unsigned slot = from; slot <= to; ++slot) total += s.slot_count[slot];
      return total;
    };
    EXPECT_GT(sum(0, 3), 0u) << +level;
    EXPECT_GT(sum(4, 22), 0u) << +level;
    EXPECT_GT(sum(23, 63), 0u) << +level;
    EXPECT_EQ(s.division_steps, sum(23, 63));
    for (unsigned c = 0; c < 4; ++c) EXPECT_GT(s.length_class_count[c], 0u) << +level << " " << c;
    EXPECT_GE(s.longest_match, 60000u);
    // The 70,000-byte run takes a length code of 17 bits: 15 ladder steps.
    EXPECT_GT(*std::max_element(s.ladder_count + 14, s.ladder_count + 32), 0u);
  }
}

TEST(BlockEncoder, MatchesReachBackAcrossTheWholeBlock) {
  // A 200,000-byte random run repeated: the only profitable match lies 200,000 bytes back
  // (slot 35), beyond where the chains and the tree were cut, and the repeat costs almost nothing.
  Data half = random_bytes(200000, 9);
  Data d = half;
  d.insert(d.end(), half.begin(), half.end());
  for (std::uint8_t level : {3, 4, 8}) {
    enc::ParseParams p = enc::params_for_level(level);
    p.window_bits = 12;
    EncodeStats s;
    Data coded = encode_block(d.data(), d.size(), level, p, &s);
    EXPECT_EQ(restore_block(coded, d.size(), level), d) << +level;
    EXPECT_GT(s.slot_count[enc::distance_slot(199999)], 0u) << +level;
    EXPECT_LT(coded.size(), encode_block(half.data(), half.size(), level, p).size() + 64) << +level;
  }
}

TEST(BlockEncoder, ShortestMatchFollowsTheLevel) {
  // "ab" and two bytes that never repeat: only 2-byte matches exist, which level 9 alone codes.
  Data d;
  for (unsigned i = 0; i < 200; ++i) {
    d.push_back('a');
    d.push_back('b');
    d.push_back(static_cast<std::uint8_t>(i));
    d.push_back(static_cast<std::uint8_t>(i * 7 + 3));
  }
  EncodeStats at9, at10;
  encode(d, 9, &at9);
  encode(d, 10, &at10);
  EXPECT_GT(at9.length_class_count[0], 100u);
  EXPECT_EQ(at10.matches, 0u);
  expect_round_trip(d, 9, "pairs");
}

TEST(BlockEncoder, CompressesRedundantDataAndIsDeterministic) {
  Data text = text_like(100000);
  Data a = encode(text, 5);
  EXPECT_EQ(a, encode(text, 5));
  EXPECT_LT(a.size(), text.size() / 3);
  Data zeros(1 << 20, 0);
  EXPECT_LT(encode(zeros, 5).size(), 64u);
  expect_round_trip(zeros, 5, "zeros");
}

// A fixed mix of the synthetic kinds, 172 KB, whose repeats lie at every distance: slots 23 and
// above (3,072 bytes back and more) carry a fifth of the matches.
Data pinned_mix() {
  Data d = header_like(100000, 11);
  Data x86 = x86_like(40000, 12);
  Data text = text_like(24000, 13);
  d.insert(d.end(), x86.begin(), x86.end());
  d.insert(d.end(), text.begin(), text.end());
  d.insert(d.end(), d.begin() + 1000, d.begin() + 9000);  // 163,000 bytes back
  return d;
}

// Sizes pinned within 1%: a wrong price shows here long before anyone measures a corpus. Dropping
// the far distances' extra bits from the price (bits the decoder still reads) once made archives
// of headers 2.6% larger unnoticed; here dropping all of them grows the output by 6% (default
// level) and 9% (best), dropping only the bits below the top eight by 1.0% and 1.1%. A change
// that moves these sizes on purpose pins them anew.
TEST(BlockEncoder, SizesOfAFixedMixArePinnedAtTheDefaultAndTheBestLevel) {
  Data d = pinned_mix();
  const std::pair<std::uint8_t, std::size_t> pinned[] = {
      {enc::kDefaultLevel, 39043},
      {enc::kBestLevel, 38790},
      {3, 45420},
  };
  for (const auto& [level, size] : pinned) {
    Data coded = encode(d, level);
    EXPECT_EQ(restore_block(coded, d.size(), level), d) << +level;
    EXPECT_NEAR(static_cast<double>(coded.size()), static_cast<double>(size), size * 0.01)
        << "level " << +level << ": " << coded.size() << " bytes";
  }
}

TEST(BlockEncoder, TheBestLevelBeatsTheDefaultWhichBeatsTheFastest) {
  Data d = pinned_mix();
  std::size_t fastest = encode(d, 0).size();
  std::size_t standard = encode(d, enc::kDefaultLevel).size();
  std::size_t best = encode(d, enc::kBestLevel).size();
  EXPECT_LT(standard, fastest);
  EXPECT_LT(best, standard);
  for (std::uint8_t level : {7, 10}) EXPECT_LE(best, encode(d, level).size()) << +level;
}

}  // namespace
}  // namespace uq::test
