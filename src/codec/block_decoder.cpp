// The method-5 block decoder. Range, code, both positions and the literal context live in locals;
// every bound is tested once per item (literal or match), never per decision.
#include "codec/block_decoder.h"

#include <cstddef>
#include <cstring>

#include "codec/block_buffers.h"

namespace uq::codec {
namespace {

constexpr std::uint32_t kRangeTop = 1u << 24;  // normalise below this
constexpr unsigned kRangeScaleShift = 15;      // probabilities count in 1/0x8000
constexpr std::uint32_t kProbOne = 0x8000;
constexpr unsigned kFastShift = 3;
constexpr unsigned kSlowShift = 6;

// Most coded bytes one item can consume, so that a single test per item keeps every read inside
// the input allocation:
// - a decision starts with range >= 2^24; the smallest pair mean is 35 (fast >= 7, slow >= 63) and
//   the largest 0x7FDD, so either outcome leaves range >= (2^24 >> 15) * 35 = 17920 >= 2^14, and
//   normalising takes at most 2 bytes;
// - the longest item is a match: 1 flag + 32 ladder + 32 length bits + 6 slot + 10 extra bits =
//   81 decisions (the 8 top bits and a division step take less);
// - the division step leaves range >= 2^24 >> 22 = 4 and takes at most 3 bytes.
constexpr std::size_t kMaxItemInput = 81 * 2 + 3;

// Every input byte at or after comp_len is 0. Once a stream has run that far (which only a corrupt
// stream does), its reads come from this block of zeros instead, rewound before each item, so the
// hot loop never needs a per-byte test and never reads past the allocation.
constexpr std::size_t kZeroStreamSize = 1024;
alignas(64) constexpr std::uint8_t kZeroStream[kZeroStreamSize] = {};
static_assert(kInputPadding > kMaxItemInput, "the switch to zeros must happen past comp_len");
static_assert(kZeroStreamSize > kMaxItemInput);

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

// One binary decision with the pair `pr`. The caller keeps the decoder in locals, so after
// inlining range, code and in stay in registers. It branches on the outcome: a branch-free form
// (masks and selects, both successor pairs of a tree loaded ahead of each decision) took 1.6x the
// instructions, restored text no faster and x86 code ~12% slower on 16 MiB samples.
[[gnu::always_inline]] inline unsigned decide(ProbPair& pr, RangeDecoder& rc) {
  const std::uint32_t fast = pr.fast;
  const std::uint32_t slow = pr.slow;
  const std::uint32_t bound = (rc.range >> kRangeScaleShift) * ((fast + slow) >> 1);
  unsigned bit;
  if (rc.code < bound) {
    rc.range = bound;
    pr.fast = static_cast<std::uint16_t>(fast + ((kProbOne - fast) >> kFastShift));
    pr.slow = static_cast<std::uint16_t>(slow + ((kProbOne - slow) >> kSlowShift));
    bit = 0;
  } else {
    rc.code -= bound;
    rc.range -= bound;
    pr.fast = static_cast<std::uint16_t>(fast - (fast >> kFastShift));
    pr.slow = static_cast<std::uint16_t>(slow - (slow >> kSlowShift));
    bit = 1;
  }
  while (rc.range < kRangeTop) {
    rc.range <<= 8;
    rc.code = (rc.code << 8) | *rc.in++;
  }
  return bit;
}

// A bit tree of `bits` decisions over `row` (nodes 1 .. 2^bits - 1); the value, MSB first.
[[gnu::always_inline]] inline std::uint32_t decode_tree(ProbPair* row, unsigned bits,
                                                       RangeDecoder& rc) {
  std::uint32_t node = 1;
  for (unsigned b = 0; b < bits; ++b) node = (node << 1) + decide(row[node], rc);
  return node - (1u << bits);
}

}  // namespace

std::int32_t decode_block(const format::DecodeJob& job, ModelState* model) {
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
  const std::uint8_t* in_limit = in_start + job.comp_len + kInputPadding - kMaxItemInput;
  const std::uint32_t adjustment = length_adjustment(job.level);

  ProbPair* const is_match = model->is_match();
  ProbPair* const lit_hi = model->lit_hi();
  ProbPair* const lit_lo = model->lit_lo();
  ProbPair* const len_ladder = model->len_ladder();
  ProbPair* const len_bits = model->len_bits();
  ProbPair* const dist_slot = model->dist_slot();

  std::uint8_t* p = out + kStartBytes;
  while (p < end) {
    if (rc.in > in_limit) [[unlikely]] {
      rc.in = kZeroStream;
      in_limit = kZeroStream + kZeroStreamSize - kMaxItemInput;
    }

    if (decide(is_match[prev], rc) == 0) {
      // Literal: the high nibble in the context of prev and a 4-bit window sliding from prev2
      // into the bits decoded so far; the low nibble in the context of prev's low nibble, the
      // high nibble and a window sliding from prev's high nibble. (3 - i) keeps apart the bit
      // positions that share a window value.
      ProbPair* const hi = lit_hi + prev * 64;
      std::uint32_t x = prev2;
      x = (x << 1) + decide(hi[(x & 15) * 4 + 3], rc);
      x = (x << 1) + decide(hi[(x & 15) * 4 + 2], rc);
      x = (x << 1) + decide(hi[(x & 15) * 4 + 1], rc);
      x = (x << 1) + decide(hi[(x & 15) * 4 + 0], rc);
      const std::uint32_t h = x & 15;
      ProbPair* const lo = lit_lo + (prev & 15) * 1024 + h * 64;
      std::uint32_t y = prev >> 4;
      y = (y << 1) + decide(lo[(y & 15) * 4 + 3], rc);
      y = (y << 1) + decide(lo[(y & 15) * 4 + 2], rc);
      y = (y << 1) + decide(lo[(y & 15) * 4 + 1], rc);
      y = (y << 1) + decide(lo[(y & 15) * 4 + 0], rc);
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
