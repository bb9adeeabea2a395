// The method-5 block decoder. Range, code, both positions and the literal context live in locals;
// every bound is tested once per item (literal or match), never per decision.
#include "codec/block_decoder.h"

#include <bit>
#include <cstddef>
#include <cstring>

#include "codec/block_buffers.h"

namespace uq::codec {
namespace {

constexpr std::uint32_t kRangeTop = 1u << 24;       // normalise below this
constexpr std::uint32_t kRangeTwoBytes = 1u << 16;  // below this one byte is not enough
constexpr unsigned kRangeScaleShift = 15;           // probabilities count in 1/0x8000

// Most coded bytes one item can consume, so that a single test per item keeps every read inside
// the input allocation:
// - a decision starts with range >= 2^24; the smallest pair mean is 35 (fast >= 7, slow >= 63) and
//   the largest 0x7FDD, so either outcome leaves range >= (2^24 >> 15) * 35 = 17920 >= 2^14, and
//   normalising takes at most 2 bytes;
// - the longest item is a match: 1 flag + 32 ladder + 32 length bits + 6 slot + 10 extra bits =
//   81 decisions (the 8 top bits and a division step take less);
// - the division step leaves range >= 2^24 >> 22 = 4 and takes at most 3 bytes.
constexpr std::size_t kMaxItemInput = 81 * 2 + 3;

// A well-formed stream consumes its comp_len bytes: the decoder looks ahead by its four code bytes
// and one normalisation at most. An item that starts more than this far past comp_len belongs to a
// damaged stream, which is refused there; without the bound a dozen coded bytes could make a
// 2 GiB block decode from zeros the file does not hold. Reads past comp_len within the margin
// come from the zeroed input padding, and so do the reads of the last item started within it:
// the padding covers the margin and one whole item beyond it.
constexpr std::size_t kOverreadMargin = 64;
static_assert(kInputPadding >= kOverreadMargin + kMaxItemInput,
              "an item started within the margin must read only zeroed padding");

// Output margins, tested once per match (a literal writes one byte below end):
// - a match is cut at end, and its last 4-byte unit starts below end, so it writes at most 3 bytes
//   past end;
// - the two start bytes are written even when out_len is 0 or 1.
constexpr std::size_t kCopyOvershoot = 3;
constexpr std::size_t kStartBytes = 2;
static_assert(kOutputSlack >= kCopyOvershoot && kOutputSlack >= kStartBytes);

constexpr unsigned kLadderLimit = 32;  // len_ladder and len_bits hold rows U = 0..31
constexpr unsigned kLenBitsRow = 32;
constexpr unsigned kSlotBits = 6;
constexpr std::size_t kLitWindows = 16;               // a 4-bit window
constexpr std::size_t kLitRow = 4 * kLitWindows;      // the 4 bit positions of one nibble
constexpr std::size_t kLitLoRow = 16 * kLitWindows;   // one bit position: 16 x 16 of window, h
constexpr std::size_t kLitLoBlock = 4 * kLitLoRow;    // one value of prev & 15

// Match length added to the length code: the shortest match is 4 bytes at levels up to 7, 2 at
// level 9 and 3 at every other level.
constexpr std::uint32_t length_adjustment(std::uint8_t level) {
  if (level <= 7) return 2;
  return level == 9 ? 0 : 1;
}

struct RangeDecoder {
  std::uint32_t range;
  std::uint32_t code;
  const std::uint8_t* in;
};

// Brings range back to 2^24 or more after a decision, which leaves it >= 2^14 (see
// kMaxItemInput): 1 or 2 bytes, taken without a loop.
[[gnu::always_inline]] inline void normalise(RangeDecoder& rc) {
  if (rc.range < kRangeTop) [[unlikely]] {
    if (rc.range < kRangeTwoBytes) {
      rc.range <<= 16;
      rc.code = (rc.code << 16) | (std::uint32_t{rc.in[0]} << 8) | rc.in[1];
      rc.in += 2;
    } else {
      rc.range <<= 8;
      rc.code = (rc.code << 8) | *rc.in++;
    }
  }
}

[[gnu::always_inline]] inline std::uint32_t load_word(const ProbPair* pr) {
  std::uint32_t word;
  std::memcpy(&word, pr, sizeof word);
  return word;
}

// Decisions come in two forms. The match flag and the length ladder branch on their outcome,
// which picks what the decoder does next anyway. The literal nibbles, the length bits and the
// distance trees, whose outcomes are close to even, are decided without a branch: a third of
// the branches mispredicted, and each miss cost more than the conditional moves that replace
// it. Branch-free length bits and distance trees: -17% restore time on text, -8% on data, -15%
// on shared libraries, -24% on headers; branch-free literal nibbles on top: a further -5% on
// text and -7% on data (16 MiB of each corpus quarter, 9 to 13 alternated rounds), for +20% to
// +24% instructions. An earlier branch-free form, with masks and scalar updates and the
// compiler free to turn selects back into jumps, had taken 1.6x the instructions and was no
// faster on text.

// A decision that branches on its outcome, with the pair `pr`.
[[gnu::always_inline]] inline unsigned decide(ProbPair& pr, RangeDecoder& rc) {
  const std::uint32_t word = load_word(&pr);
  const std::uint32_t bound = (rc.range >> kRangeScaleShift) * pair_mean(word);
  unsigned bit;
  if (rc.code < bound) {
    rc.range = bound;
    store_adapted(pr, word, 0);
    bit = 0;
  } else {
    rc.code -= bound;
    rc.range -= bound;
    store_adapted(pr, word, 1);
    bit = 1;
  }
  normalise(rc);
  return bit;
}

// The outcome of a decision against `bound`, without a branch: range, code and the first
// `kPicks` of (next, mean) take the outcome's values (next1 and mean1 after a 1) by conditional
// moves. Written out for x86-64, since the compiler turns plain selects on the outcome back into
// jumps.
template <unsigned kPicks>
[[gnu::always_inline]] inline unsigned settle(std::uint32_t bound, RangeDecoder& rc,
                                              std::uint32_t& next, std::uint32_t next1,
                                              std::uint32_t& mean, std::uint32_t mean1) {
  std::uint32_t range = bound;
  std::uint32_t code = rc.code;
  const std::uint32_t range1 = rc.range - bound;
  const std::uint32_t code1 = rc.code - bound;
  unsigned bit;
#if defined(__x86_64__)
  if constexpr (kPicks == 2) {
    asm("cmp %[bound], %[code]\n\t"
        "cmovae %[code1], %[code]\n\t"
        "cmovae %[range1], %[range]\n\t"
        "cmovae %[next1], %[next]\n\t"
        "cmovae %[mean1], %[mean]"
        : [code] "+r"(code), [range] "+r"(range), [next] "+r"(next), [mean] "+r"(mean),
          "=@ccae"(bit)
        : [bound] "r"(bound), [code1] "r"(code1), [range1] "r"(range1), [next1] "r"(next1),
          [mean1] "r"(mean1));
  } else if constexpr (kPicks == 1) {
    asm("cmp %[bound], %[code]\n\t"
        "cmovae %[code1], %[code]\n\t"
        "cmovae %[range1], %[range]\n\t"
        "cmovae %[next1], %[next]"
        : [code] "+r"(code), [range] "+r"(range), [next] "+r"(next), "=@ccae"(bit)
        : [bound] "r"(bound), [code1] "r"(code1), [range1] "r"(range1), [next1] "r"(next1));
  } else {
    asm("cmp %[bound], %[code]\n\t"
        "cmovae %[code1], %[code]\n\t"
        "cmovae %[range1], %[range]"
        : [code] "+r"(code), [range] "+r"(range), "=@ccae"(bit)
        : [bound] "r"(bound), [code1] "r"(code1), [range1] "r"(range1));
  }
#else
  bit = code >= bound;
  range = bit ? range1 : range;
  code = bit ? code1 : code;
  if constexpr (kPicks >= 1) next = bit ? next1 : next;
  if constexpr (kPicks == 2) mean = bit ? mean1 : mean;
#endif
  rc.range = range;
  rc.code = code;
  return bit;
}

// A branch-free decision with the pair `pr`, whose word and mean the caller has loaded.
[[gnu::always_inline]] inline unsigned decide_even(std::uint32_t word, std::uint32_t mean,
                                                   ProbPair& pr, RangeDecoder& rc) {
  const std::uint32_t bound = (rc.range >> kRangeScaleShift) * mean;
  std::uint32_t unused = 0;
  const unsigned bit = settle<0>(bound, rc, unused, 0, unused, 0);
  store_adapted(pr, word, bit);
  normalise(rc);
  return bit;
}

// A branch-free decision of a literal nibble or a bit tree whose pair `pr` has the word `cur`,
// loaded one decision earlier. `kids` points at the pairs for its 0 and its 1, side by side:
// both are loaded before the decision and the outcome picks one, so the next decision never
// waits for a load; one nibble touches 2 cache lines of its rows where a window-major order
// touched up to 4. With kCarryMean (literals), `mean` is that of `cur` and both kids' means are
// worked out before the decision too, taking the mean off the path from one outcome to the
// next (-2% to -5% on text, data and shared libraries); the trees compute it from `cur`, as
// carrying it gained them nothing (+1-2%, within the noise).
template <bool kCarryMean>
[[gnu::always_inline]] inline unsigned decide_ahead(std::uint32_t& cur, std::uint32_t& mean,
                                                    ProbPair& pr, const ProbPair* kids,
                                                    RangeDecoder& rc) {
  static_assert(std::endian::native == std::endian::little, "the 0 pair is the low half");
  std::uint64_t both;
  std::memcpy(&both, kids, sizeof both);
  const std::uint32_t word = cur;
  if constexpr (!kCarryMean) mean = pair_mean(word);
  const std::uint32_t bound = (rc.range >> kRangeScaleShift) * mean;
  cur = static_cast<std::uint32_t>(both);
  const auto cur1 = static_cast<std::uint32_t>(both >> 32);
  unsigned bit;
  if constexpr (kCarryMean) {
    mean = pair_mean(cur);
    bit = settle<2>(bound, rc, cur, cur1, mean, pair_mean(cur1));
  } else {
    std::uint32_t unused = 0;
    bit = settle<1>(bound, rc, cur, cur1, unused, 0);
  }
  store_adapted(pr, word, bit);
  normalise(rc);
  return bit;
}

// A bit tree of `bits` decisions over `row` (nodes 1 .. 2^bits - 1); the value, MSB first.
[[gnu::always_inline]] inline std::uint32_t decode_tree(ProbPair* row, unsigned bits,
                                                       RangeDecoder& rc) {
  // The children of node n are 2n and 2n + 1, side by side, so every decision but the last loads
  // both ahead, as in a literal nibble (the last one's children would lie past the row).
  std::uint32_t node = 1;
  std::uint32_t cur = load_word(row + 1);
  std::uint32_t mean = 0;  // worked out from cur by each decision
  for (unsigned b = 1; b < bits; ++b) {
    node = (node << 1) + decide_ahead<false>(cur, mean, row[node], row + 2 * node, rc);
  }
  node = (node << 1) + decide_even(cur, pair_mean(cur), row[node], rc);
  return node - (1u << bits);
}

}  // namespace

std::int32_t decode_block(const DecodeJob& job, ModelState* model) {
  if (job.out_len < 0 || job.in_ptr == nullptr || job.out_ptr == nullptr || model == nullptr) {
    return -1;
  }
  const std::uint8_t* const in_start = job.in_ptr;
  std::uint8_t* const out = job.out_ptr;
  std::uint8_t* const end = out + job.out_len;

  // Block start: two stored bytes (written even for out_len 0 or 1, into the slack), byte 2
  // passed over, the initial code big-endian in bytes 3..6.
  out[0] = in_start[0];
  out[1] = in_start[1];
  std::uint32_t prev2 = in_start[0];
  std::uint32_t prev = in_start[1];
  RangeDecoder rc{0xFFFFFFFFu,
                  (std::uint32_t{in_start[3]} << 24) | (std::uint32_t{in_start[4]} << 16) |
                      (std::uint32_t{in_start[5]} << 8) | in_start[6],
                  in_start + 7};
  const std::uint8_t* const in_limit = in_start + job.comp_len + kOverreadMargin;
  const std::uint32_t adjustment = length_adjustment(job.level);

  ProbPair* const is_match = model->is_match();
  ProbPair* const lit_hi = model->lit_hi();
  ProbPair* const lit_lo = model->lit_lo();
  ProbPair* const len_ladder = model->len_ladder();
  ProbPair* const len_bits = model->len_bits();
  ProbPair* const dist_slot = model->dist_slot();

  std::uint8_t* p = out + kStartBytes;
  while (p < end) {
    if (rc.in > in_limit) [[unlikely]] return -1;

    if (decide(is_match[prev], rc) == 0) {
      // Literal: the high nibble in the context of prev and a 4-bit window sliding from prev2
      // into the bits decoded so far; the low nibble in the context of prev's low nibble, the
      // high nibble and a window sliding from prev's high nibble. Pairs are kept by bit position
      // q = 3 - i, then window, so the two pairs a decision leads to are neighbours and are loaded
      // together ahead of it (in the low nibble's q = 3 row the high nibble is the inner index,
      // as it is decided last).
      ProbPair* const hi = lit_hi + prev * kLitRow;
      ProbPair* const lo = lit_lo + (prev & 15) * kLitLoBlock;
      const std::uint32_t w = prev >> 4;
      std::uint32_t x = prev2 & 15;
      std::uint32_t cur = load_word(hi + 3 * kLitWindows + x);
      std::uint32_t mean = pair_mean(cur);
      unsigned bit;
      bit = decide_ahead<true>(cur, mean, hi[3 * kLitWindows + x], hi + 2 * kLitWindows + x * 2 % 16, rc);
      x = (x * 2 + bit) & 15;
      bit = decide_ahead<true>(cur, mean, hi[2 * kLitWindows + x], hi + 1 * kLitWindows + x * 2 % 16, rc);
      x = (x * 2 + bit) & 15;
      bit = decide_ahead<true>(cur, mean, hi[1 * kLitWindows + x], hi + 0 * kLitWindows + x * 2 % 16, rc);
      x = (x * 2 + bit) & 15;
      ProbPair* const lo_first = lo + 3 * kLitLoRow + w * kLitWindows;
      bit = decide_ahead<true>(cur, mean, hi[0 * kLitWindows + x], lo_first + x * 2 % 16, rc);
      const std::uint32_t h = (x * 2 + bit) & 15;
      ProbPair* const lo_h = lo + h * kLitWindows;
      std::uint32_t y = w;
      bit = decide_ahead<true>(cur, mean, lo_first[h], lo_h + 2 * kLitLoRow + y * 2 % 16, rc);
      y = (y * 2 + bit) & 15;
      bit = decide_ahead<true>(cur, mean, lo_h[2 * kLitLoRow + y], lo_h + 1 * kLitLoRow + y * 2 % 16, rc);
      y = (y * 2 + bit) & 15;
      bit = decide_ahead<true>(cur, mean, lo_h[1 * kLitLoRow + y], lo_h + 0 * kLitLoRow + y * 2 % 16, rc);
      y = (y * 2 + bit) & 15;
      bit = decide_even(cur, mean, lo_h[0 * kLitLoRow + y], rc);
      y = y * 2 + bit;
      const std::uint32_t byte = (h << 4) | (y & 15);
      *p++ = static_cast<std::uint8_t>(byte);
      prev2 = prev;
      prev = byte;
      continue;
    }

    // Match length: a unary ladder of U ones, then the U + 2 significant bits of the code n.
    unsigned steps = 0;
    while (decide(len_ladder[steps], rc) != 0) {
      if (++steps == kLadderLimit) return -1;
    }
    ProbPair* const len_row = len_bits + steps * kLenBitsRow;
    std::uint64_t n = 1;  // up to 33 bits
    for (int j = static_cast<int>(steps); j >= 0; --j) {
      const std::uint32_t word = load_word(len_row + j);
      n = (n << 1) + decide_even(word, pair_mean(word), len_row[j], rc);
    }
    const unsigned length_class = n - 2 < 3 ? static_cast<unsigned>(n - 2) : 3;

    // Distance: a 6-bit slot, then its extra bits.
    const unsigned slot = decode_tree(dist_slot + length_class * kSlotTreePairs, kSlotBits, rc);
    std::uint64_t d = slot;
    if (slot >= kFirstExtraSlot) {
      const unsigned fb = extra_bits(slot);
      const std::uint32_t base = (2u + (slot & 1)) << fb;
      ProbPair* const row = model->dist_row(slot);
      if (slot < kFirstTopSlot) {
        d = base + decode_tree(row, fb, rc);
      } else {
        // 8 top bits by the tree, the k low bits in one division step. A corrupt stream can
        // make the quotient reach 2^k or more; it is added as it is.
        const std::uint32_t top = decode_tree(row, kTopBits, rc);
        const unsigned k = fb - kTopBits;
        const std::uint32_t r = rc.range >> k;
        const std::uint32_t q = rc.code / r;
        rc.code -= q * r;
        rc.range = r;
        while (rc.range < kRangeTop) {
          rc.range <<= 8;
          rc.code = (rc.code << 8) | *rc.in++;
        }
        d = std::uint64_t{base} + (std::uint64_t{top} << k) + q;
      }
    }

    // Copy: distance D = d + 1 reaches back at most to the first stored byte; a match that runs
    // past the block end is cut there (its bytes inside the block are those of the whole copy).
    const std::uint64_t distance = d + 1;
    const auto produced = static_cast<std::uint64_t>(p - out);
    if (distance > produced) return -1;
    std::uint64_t length = n + adjustment;
    const auto room = static_cast<std::uint64_t>(end - p);
    if (length > room) length = room;
    const std::size_t len = static_cast<std::size_t>(length);
    const std::size_t dist = static_cast<std::size_t>(distance);
    const std::uint8_t* src = p - dist;
    if (dist >= 4) {
      // Every unit reads bytes at least 4 back, already final; the last writes up to 3 bytes past
      // p + len, which the next item overwrites or which fall into the slack (end + 2 at most).
      for (std::size_t off = 0; off < len; off += 4) std::memcpy(p + off, src + off, 4);
    } else if (dist == 1) {
      std::memset(p, static_cast<int>(prev), len);
    } else {
      for (std::size_t i = 0; i < len; ++i) p[i] = src[i];
    }
    p += len;
    prev2 = p[-2];
    prev = p[-1];
  }
  return job.out_len;
}

}  // namespace uq::codec
