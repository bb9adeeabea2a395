// The method-5 model: every adaptive probability pair the block decoder consults, in one block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace uq::codec {

// Probability that the next decision yields 0, scaled so that 0x8000 is certainty: a fast and a
// slow estimate, moved by 1/8 and 1/64 of the distance to their target after each decision.
struct ProbPair {
  std::uint16_t fast;
  std::uint16_t slow;
};

inline constexpr std::uint16_t kProbStart = 0x4000;  // one half
inline constexpr std::uint32_t kProbOne = 0x8000;
inline constexpr unsigned kFastShift = 3;
inline constexpr unsigned kSlowShift = 6;

// The decoder loads a pair as one 32-bit word, fast | slow << 16 on a little-endian machine.
// (fast + slow) >> 1 of a pair word: bits 16..31 of word * 0x10001 hold fast + slow, which stays
// below 2^16 (both stay below 0x8000), so no carry is lost.
inline std::uint32_t pair_mean(std::uint32_t word) { return (word * 0x10001u) >> 17; }

// The pair after a decision with outcome `bit`: p - (p >> s) after a 1, p + ((one - p) >> s)
// after a 0. Both outcomes in one form, so that no branch picks the rule:
//   p' = p - floor((p - t) / 2^s), t = 0 after a 1, t = one - (2^s - 1) after a 0,
// since -floor((p - one + 2^s - 1) / 2^s) = floor((one - p) / 2^s). The quotient fits a signed
// 16-bit lane (|p - t| < 0x8000), where floor(x / 2^s) is the high half of x * 2^(16 - s): one
// SSE2 multiply for both probabilities.
inline constexpr std::uint32_t kZeroTargets =
    (kProbOne - ((1u << kSlowShift) - 1)) << 16 | (kProbOne - ((1u << kFastShift) - 1));

inline void store_adapted(ProbPair& pair, std::uint32_t word, unsigned bit) {
  const std::uint32_t targets = (bit - 1) & kZeroTargets;  // bit is 0 or 1
#if defined(__SSE2__)
  const __m128i p = _mm_cvtsi32_si128(static_cast<int>(word));
  const __m128i rates = _mm_setr_epi16(1 << (16 - kFastShift), 1 << (16 - kSlowShift), 0, 0, 0, 0, 0, 0);
  const __m128i steps = _mm_mulhi_epi16(_mm_sub_epi16(p, _mm_cvtsi32_si128(static_cast<int>(targets))), rates);
  _mm_storeu_si32(&pair, _mm_sub_epi16(p, steps));
#else
  const auto lane = [](std::uint32_t p, std::uint32_t t, unsigned shift) {
    const int x = static_cast<int>(p) - static_cast<int>(t);
    return static_cast<std::uint16_t>(static_cast<int>(p) - (x >> shift));  // >> floors
  };
  pair.fast = lane(word & 0xFFFF, targets & 0xFFFF, kFastShift);
  pair.slow = lane(word >> 16, targets >> 16, kSlowShift);
#endif
}

// Rows of the distance trees that are ever consulted: slots 4..22 code fb = (slot >> 1) - 1 extra
// bits with a bit tree over `dist_extra` (nodes 1 .. 2^fb - 1), slots 23..63 code 8 top bits over
// `dist_top` (nodes 1..255). Each row is stored at its own size, so the model takes ~48,000 pairs
// (187 KiB) instead of the ~200,000 of full 2048- and 512-node rows, four times less to
// initialise per block.
inline constexpr unsigned kFirstExtraSlot = 4;
inline constexpr unsigned kFirstTopSlot = 23;
inline constexpr unsigned kSlotCount = 64;
inline constexpr unsigned kTopBits = 8;

inline constexpr unsigned extra_bits(unsigned slot) { return (slot >> 1) - 1; }

// Pairs of the distance row of `slot`: 2^fb for slots 4..22, 2^8 for 23..63, none below 4.
inline constexpr std::size_t dist_row_pairs(unsigned slot) {
  if (slot < kFirstExtraSlot) return 0;
  return std::size_t{1} << (slot < kFirstTopSlot ? extra_bits(slot) : kTopBits);
}

// Array offsets within the model, in pairs.
inline constexpr std::size_t kIsMatchPairs = 256;            // by prev
inline constexpr std::size_t kLadderSteps = 32;              // len_ladder: step t = 0..31
inline constexpr std::size_t kLenBitsPairs = 32 * 32;        // row U, bit position j
inline constexpr std::size_t kSlotTreePairs = 64;            // 6-bit tree: nodes 1..63
inline constexpr std::size_t kLengthClasses = 4;
// The literal rows are kept by bit position, so the two pairs a decision leads to are neighbours:
// lit_hi by prev, 3 - i, window; lit_lo by prev & 15, 3 - i, then hi, window for i = 1..3 and
// window, hi for i = 0 (whose two candidates differ in the last bit of hi).
inline constexpr std::size_t kLitHiPairs = 256 * 4 * 16;
inline constexpr std::size_t kLitLoPairs = 16 * 4 * 16 * 16;

inline constexpr std::size_t kIsMatchAt = 0;
inline constexpr std::size_t kLadderAt = kIsMatchAt + kIsMatchPairs;
inline constexpr std::size_t kLenBitsAt = kLadderAt + kLadderSteps;
inline constexpr std::size_t kDistSlotAt = kLenBitsAt + kLenBitsPairs;
inline constexpr std::size_t kLitHiAt = kDistSlotAt + kLengthClasses * kSlotTreePairs;
inline constexpr std::size_t kLitLoAt = kLitHiAt + kLitHiPairs;
inline constexpr std::size_t kDistRowsAt = kLitLoAt + kLitLoPairs;

// Offset of each slot's distance row (`dist_extra` for 4..22, `dist_top` for 23..63).
inline constexpr std::array<std::uint32_t, kSlotCount> kDistRowAt = [] {
  std::array<std::uint32_t, kSlotCount> at{};
  std::size_t next = kDistRowsAt;
  for (unsigned slot = 0; slot < kSlotCount; ++slot) {
    at[slot] = static_cast<std::uint32_t>(next);
    next += dist_row_pairs(slot);
  }
  return at;
}();

inline constexpr std::size_t kModelPairs =
    kDistRowAt[kSlotCount - 1] + dist_row_pairs(kSlotCount - 1);

// The whole model of one block; one allocation, made and initialised by create_model_state.
struct ModelState {
  ProbPair pairs[kModelPairs];

  ProbPair* is_match() { return pairs + kIsMatchAt; }
  ProbPair* len_ladder() { return pairs + kLadderAt; }
  ProbPair* len_bits() { return pairs + kLenBitsAt; }
  ProbPair* dist_slot() { return pairs + kDistSlotAt; }
  ProbPair* lit_hi() { return pairs + kLitHiAt; }
  ProbPair* lit_lo() { return pairs + kLitLoAt; }
  ProbPair* dist_row(unsigned slot) { return pairs + kDistRowAt[slot]; }
};

// A model with every probability at one half, or null when memory can't be had.
ModelState* create_model_state();

// Releases a model; null is ignored.
void destroy_model_state(ModelState* state);

}  // namespace uq::codec
