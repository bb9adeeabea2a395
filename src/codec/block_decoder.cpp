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
// the padding covers the margin, one whole item beyond it and the byte after that item, which
// the branch-free normalisation reads before it knows whether it takes it.
constexpr std::size_t kOverreadMargin = 64;
static_assert(kInputPadding >= kOverreadMargin + kMaxItemInput + 1,
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

// normalise for the branch-free decisions: one byte by conditional moves, the next input byte
// being read before it is known to be taken (kInputPadding covers it); only the rare second byte
// (range below 2^16 after an outcome of probability below 2^-8) takes a branch. A branch per
// decision that is taken about once per 8 coded bits mispredicts often; 13 instructions instead
// of 2, and with decide_ahead's 2-step loads -5% to -9% restore time (below).
[[gnu::always_inline]] inline void normalise_even(RangeDecoder& rc) {
  if (rc.range < kRangeTwoBytes) [[unlikely]] {
    rc.range <<= 16;
    rc.code = (rc.code << 16) | (std::uint32_t{rc.in[0]} << 8) | rc.in[1];
    rc.in += 2;
    return;
  }
  const std::uint32_t range8 = rc.range << 8;
  const std::uint32_t code8 = (rc.code << 8) | rc.in[0];
#if defined(__x86_64__)
  asm("cmp %[top], %[range]\n\t"
      "cmovb %[range8], %[range]\n\t"
      "cmovb %[code8], %[code]\n\t"
      "adc $0, %[in]"
      : [range] "+r"(rc.range), [code] "+r"(rc.code), [in] "+r"(rc.in)
      : [top] "i"(kRangeTop), [range8] "r"(range8), [code8] "r"(code8)
      : "cc");
#else
  const bool take = rc.range < kRangeTop;
  rc.range = take ? range8 : rc.range;
  rc.code = take ? code8 : rc.code;
  rc.in += take;
#endif
}

[[gnu::always_inline]] inline std::uint32_t load_word(const ProbPair* pr) {
  std::uint32_t word;
  std::memcpy(&word, pr, sizeof word);
  return word;
}

[[gnu::always_inline]] inline std::uint64_t load_two(const ProbPair* pr) {
  static_assert(std::endian::native == std::endian::little, "the first pair is the low half");
  std::uint64_t words;
  std::memcpy(&words, pr, sizeof words);
  return words;
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

// What a branch-free decision carries to the next one in a tree or a literal nibble: the word and
// mean of the pair it is on, and that pair's two children (its 0 and its 1, side by side).
struct Lookahead {
  std::uint32_t word;
  std::uint32_t mean;
  std::uint64_t kids;
};

// Decides against `bound` without a branch: range and code take the outcome's values and, with
// kPicks, `next` the outcome's half of (next, next1) (kPicks 2: word and mean; 3: kids too), by
// conditional moves, written out for x86-64 since the compiler turns plain selects on the outcome
// back into jumps.
template <unsigned kPicks>
[[gnu::always_inline]] inline unsigned settle(std::uint32_t bound, RangeDecoder& rc,
                                              Lookahead& next, const Lookahead& next1) {
  std::uint32_t range = bound;
  std::uint32_t code = rc.code;
  const std::uint32_t range1 = rc.range - bound;
  const std::uint32_t code1 = rc.code - bound;
  unsigned bit;
#if defined(__x86_64__)
  if constexpr (kPicks == 3) {
    asm("cmp %[bound], %[code]\n\t"
        "cmovae %[code1], %[code]\n\t"
        "cmovae %[range1], %[range]\n\t"
        "cmovae %[word1], %[word]\n\t"
        "cmovae %[mean1], %[mean]\n\t"
        "cmovae %[kids1], %[kids]"
        : [code] "+r"(code), [range] "+r"(range), [word] "+r"(next.word),
          [mean] "+r"(next.mean), [kids] "+r"(next.kids), "=@ccae"(bit)
        : [bound] "r"(bound), [code1] "r"(code1), [range1] "r"(range1),
          [word1] "r"(next1.word), [mean1] "r"(next1.mean), [kids1] "r"(next1.kids));
  } else if constexpr (kPicks == 2) {
    asm("cmp %[bound], %[code]\n\t"
        "cmovae %[code1], %[code]\n\t"
        "cmovae %[range1], %[range]\n\t"
        "cmovae %[word1], %[word]\n\t"
        "cmovae %[mean1], %[mean]"
        : [code] "+r"(code), [range] "+r"(range), [word] "+r"(next.word),
          [mean] "+r"(next.mean), "=@ccae"(bit)
        : [bound] "r"(bound), [code1] "r"(code1), [range1] "r"(range1),
          [word1] "r"(next1.word), [mean1] "r"(next1.mean));
  } else {
    static_assert(kPicks == 0);
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
  if constexpr (kPicks >= 2) {
    next.word = bit ? next1.word : next.word;
    next.mean = bit ? next1.mean : next.mean;
  }
  if constexpr (kPicks == 3) next.kids = bit ? next1.kids : next.kids;
#endif
  rc.range = range;
  rc.code = code;
  return bit;
}

// A branch-free decision with the pair `pr`, whose word and mean are in `at`; the last decision
// of a tree or a nibble, or a length bit.
[[gnu::always_inline]] inline unsigned decide_even(const Lookahead& at, ProbPair& pr,
                                                   RangeDecoder& rc) {
  const std::uint32_t bound = (rc.range >> kRangeScaleShift) * at.mean;
  Lookahead unused{};
  const unsigned bit = settle<0>(bound, rc, unused, unused);
  store_adapted(pr, at.word, bit);
  normalise_even(rc);
  return bit;
}

// A branch-free decision with the pair `pr`, moving `at` on to the child that the outcome picks.
// The children's words came with `at` (loaded a decision earlier) and their means are worked out
// before the outcome is known; with a non-null `grand0`, the pairs 2 steps ahead are loaded too:
// the 0 child's two children at grand0 and the 1 child's at grand1. So the decision after never
// waits for a load or a mean, only for the conditional moves: the path from one outcome to the
// next is a shift, a multiply and a compare. Carrying the mean in literals: -2% to -5% on text,
// data and shared libraries. Loading 2 steps ahead in literals and trees, with the branch-free
// normalisation: a further -9% on data, -7% on shared libraries, -5% on text, -6% on headers
// (medians of 15 alternated rounds; the fastest rounds -9% to -13%), for +34% instructions.
template <bool kGrand>
[[gnu::always_inline]] inline unsigned decide_ahead(Lookahead& at, ProbPair& pr,
                                                    const ProbPair* grand0,
                                                    const ProbPair* grand1, RangeDecoder& rc) {
  const std::uint32_t word = at.word;
  const std::uint32_t bound = (rc.range >> kRangeScaleShift) * at.mean;
  const auto kid0 = static_cast<std::uint32_t>(at.kids);
  const auto kid1 = static_cast<std::uint32_t>(at.kids >> 32);
  at.word = kid0;
  at.mean = pair_mean(kid0);
  Lookahead one{kid1, pair_mean(kid1), 0};
  unsigned bit;
  if constexpr (kGrand) {
    at.kids = load_two(grand0);
    one.kids = load_two(grand1);
    bit = settle<3>(bound, rc, at, one);
  } else {
    bit = settle<2>(bound, rc, at, one);
  }
  store_adapted(pr, word, bit);
  normalise_even(rc);
  return bit;
}

// A bit tree of `bits` decisions over `row` (nodes 1 .. 2^bits - 1); the value, MSB first. The
// children of node n are 2n and 2n + 1 and its grandchildren 4n .. 4n + 3, side by side, so each
// decision loads 2 steps ahead while those lie inside the row.
[[gnu::always_inline]] inline std::uint32_t decode_tree(ProbPair* row, unsigned bits,
                                                       RangeDecoder& rc) {
  std::uint32_t node = 1;
  Lookahead at{load_word(row + 1), pair_mean(load_word(row + 1)), 0};
  if (bits > 1) {
    at.kids = load_two(row + 2);
    for (unsigned b = 2; b < bits; ++b) {
      const ProbPair* const grand = row + 4 * node;
      node = (node << 1) + decide_ahead<true>(at, row[node], grand, grand + 2, rc);
    }
    node = (node << 1) + decide_ahead<false>(at, row[node], nullptr, nullptr, rc);
  }
  node = (node << 1) + decide_even(at, row[node], rc);
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
      // q = 3 - i, then window, so the two pairs a decision leads to are neighbours, and the four
      // two steps ahead too (in the low nibble's q = 3 row the high nibble is the inner index, as
      // it is decided last; the high nibble's last decision finds the two pairs of each of its
      // outcomes 2 steps ahead in the rows of h and h + 1, 16 pairs apart).
      ProbPair* const hi = lit_hi + prev * kLitRow;
      ProbPair* const lo = lit_lo + (prev & 15) * kLitLoBlock;
      const std::uint32_t w = prev >> 4;
      std::uint32_t x = prev2 & 15;
      const std::uint32_t first = load_word(hi + 3 * kLitWindows + x);
      Lookahead at{first, pair_mean(first), load_two(hi + 2 * kLitWindows + x * 2 % 16)};
      const ProbPair* grand;
      unsigned bit;
      grand = hi + 1 * kLitWindows + x * 4 % 16;
      bit = decide_ahead<true>(at, hi[3 * kLitWindows + x], grand, grand + 2, rc);
      x = (x * 2 + bit) & 15;
      grand = hi + 0 * kLitWindows + x * 4 % 16;
      bit = decide_ahead<true>(at, hi[2 * kLitWindows + x], grand, grand + 2, rc);
      x = (x * 2 + bit) & 15;
      ProbPair* const lo_first = lo + 3 * kLitLoRow + w * kLitWindows;
      grand = lo_first + x * 4 % 16;
      bit = decide_ahead<true>(at, hi[1 * kLitWindows + x], grand, grand + 2, rc);
      x = (x * 2 + bit) & 15;
      grand = lo + (x * 2 % 16) * kLitWindows + 2 * kLitLoRow + w * 2 % 16;
      bit = decide_ahead<true>(at, hi[0 * kLitWindows + x], grand, grand + kLitWindows, rc);
      const std::uint32_t h = (x * 2 + bit) & 15;
      ProbPair* const lo_h = lo + h * kLitWindows;
      std::uint32_t y = w;
      grand = lo_h + 1 * kLitLoRow + y * 4 % 16;
      bit = decide_ahead<true>(at, lo_first[h], grand, grand + 2, rc);
      y = (y * 2 + bit) & 15;
      grand = lo_h + 0 * kLitLoRow + y * 4 % 16;
      bit = decide_ahead<true>(at, lo_h[2 * kLitLoRow + y], grand, grand + 2, rc);
      y = (y * 2 + bit) & 15;
      bit = decide_ahead<false>(at, lo_h[1 * kLitLoRow + y], nullptr, nullptr, rc);
      y = (y * 2 + bit) & 15;
      bit = decide_even(at, lo_h[0 * kLitLoRow + y], rc);
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
      n = (n << 1) + decide_even(Lookahead{word, pair_mean(word), 0}, len_row[j], rc);
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
