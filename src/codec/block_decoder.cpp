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
constexpr std::uint32_t kProbOne = 0x8000;
constexpr unsigned kFastShift = 3;
constexpr unsigned kSlowShift = 6;
constexpr std::uint32_t kFastKeep = (1u << kFastShift) - 1;
constexpr std::uint32_t kSlowKeep = (1u << kSlowShift) - 1;

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

// One binary decision with the pair `pr`, whose values the caller has loaded as fast and slow.
// The caller keeps the decoder in locals, so after inlining range, code and in stay in registers.
// It branches on the outcome: a branch-free form (masks and selects, both successor pairs of a
// tree loaded ahead of each decision) took 1.6x the instructions, restored text no faster and x86
// code ~12% slower on 16 MiB samples. With `chosen`, the half of `kids` that the outcome selects
// (low for a 0) is stored there inside the outcome's branch. Range stays >= 2^14 after a decision
// (see kMaxItemInput), so normalising needs 1 or 2 bytes, taken without a loop.
[[gnu::always_inline]] inline unsigned decide_with(std::uint32_t fast, std::uint32_t slow,
                                                    ProbPair& pr, RangeDecoder& rc,
                                                    std::uint64_t kids = 0,
                                                    std::uint32_t* chosen = nullptr) {
  const std::uint32_t bound = (rc.range >> kRangeScaleShift) * ((fast + slow) >> 1);
  unsigned bit;
  if (rc.code < bound) {
    rc.range = bound;
    // p + (one - p) / 2^s = ((2^s - 1) p + one) / 2^s, exact since 2^s p divides by 2^s
    // (p <= one always): a multiply-add and a shift, no constant to load.
    pr.fast = static_cast<std::uint16_t>((fast * kFastKeep + kProbOne) >> kFastShift);
    pr.slow = static_cast<std::uint16_t>((slow * kSlowKeep + kProbOne) >> kSlowShift);
    bit = 0;
    if (chosen != nullptr) *chosen = static_cast<std::uint32_t>(kids);
  } else {
    rc.code -= bound;
    rc.range -= bound;
    pr.fast = static_cast<std::uint16_t>(fast - (fast >> kFastShift));
    pr.slow = static_cast<std::uint16_t>(slow - (slow >> kSlowShift));
    bit = 1;
    if (chosen != nullptr) *chosen = static_cast<std::uint32_t>(kids >> 32);
  }
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
  return bit;
}

[[gnu::always_inline]] inline unsigned decide(ProbPair& pr, RangeDecoder& rc) {
  return decide_with(pr.fast, pr.slow, pr, rc);
}

// A decision of a literal nibble or a bit tree whose pair `pr` holds `cur`, loaded one decision
// earlier. `kids` points at the pairs for its 0 and its 1, side by side: both are loaded before the
// decision and the one taken is picked inside each outcome's branch, so the next decision never
// waits on a load or a select after a mispredicted outcome, and one nibble touches 2 cache lines
// of its rows where the window-major order touched up to 4. Sets `cur` for the next decision.
// With the loop-free normalising and the shorter update of decide_with: -4% and -8% restore time
// on the 100 MiB corpus (two 9-round A/B medians), for +2.8% instructions.
[[gnu::always_inline]] inline unsigned decide_ahead(std::uint32_t& cur, ProbPair& pr,
                                                    const ProbPair* kids, RangeDecoder& rc) {
  static_assert(std::endian::native == std::endian::little, "the 0 pair is the low half");
  std::uint64_t both;
  std::memcpy(&both, kids, sizeof both);
  return decide_with(cur & 0xFFFF, cur >> 16, pr, rc, both, &cur);
}

// A bit tree of `bits` decisions over `row` (nodes 1 .. 2^bits - 1); the value, MSB first.
[[gnu::always_inline]] inline std::uint32_t decode_tree(ProbPair* row, unsigned bits,
                                                       RangeDecoder& rc) {
  // The children of node n are 2n and 2n + 1, side by side, so every decision but the last loads
  // both ahead, as in a literal nibble (the last one's children would lie past the row).
  std::uint32_t node = 1;
  std::uint32_t cur;
  std::memcpy(&cur, row + 1, sizeof cur);
  for (unsigned b = 1; b < bits; ++b) {
    node = (node << 1) + decide_ahead(cur, row[node], row + 2 * node, rc);
  }
  node = (node << 1) + decide(row[node], rc);
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
      std::uint32_t cur;
      std::memcpy(&cur, hi + 3 * kLitWindows + x, sizeof cur);
      unsigned bit;
      bit = decide_ahead(cur, hi[3 * kLitWindows + x], hi + 2 * kLitWindows + x * 2 % 16, rc);
      x = (x * 2 + bit) & 15;
      bit = decide_ahead(cur, hi[2 * kLitWindows + x], hi + 1 * kLitWindows + x * 2 % 16, rc);
      x = (x * 2 + bit) & 15;
      bit = decide_ahead(cur, hi[1 * kLitWindows + x], hi + 0 * kLitWindows + x * 2 % 16, rc);
      x = (x * 2 + bit) & 15;
      ProbPair* const lo_first = lo + 3 * kLitLoRow + w * kLitWindows;
      bit = decide_ahead(cur, hi[0 * kLitWindows + x], lo_first + x * 2 % 16, rc);
      const std::uint32_t h = (x * 2 + bit) & 15;
      ProbPair* const lo_h = lo + h * kLitWindows;
      std::uint32_t y = w;
      bit = decide_ahead(cur, lo_first[h], lo_h + 2 * kLitLoRow + y * 2 % 16, rc);
      y = (y * 2 + bit) & 15;
      bit = decide_ahead(cur, lo_h[2 * kLitLoRow + y], lo_h + 1 * kLitLoRow + y * 2 % 16, rc);
      y = (y * 2 + bit) & 15;
      bit = decide_ahead(cur, lo_h[1 * kLitLoRow + y], lo_h + 0 * kLitLoRow + y * 2 % 16, rc);
      y = (y * 2 + bit) & 15;
      bit = decide(lo_h[0 * kLitLoRow + y], rc);
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
    for (int j = static_cast<int>(steps); j >= 0; --j) n = (n << 1) + decide(len_row[j], rc);
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
