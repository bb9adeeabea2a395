// Post-filters: the x86 branch filter and the 3-byte delta filter, decoding direction.
#include "codec/post_filters.h"

namespace uq::codec {
namespace {

// Indexed by the 3-bit mask of recent unconverted E8/E9 positions: whether a conversion may still
// happen, and which operand byte (counted back from the last) must be 00 or FF for it.
constexpr std::uint8_t kAllowedMask[8] = {1, 1, 1, 0, 1, 0, 0, 0};
constexpr std::uint8_t kMaskBit[8] = {0, 1, 2, 2, 3, 3, 3, 3};

constexpr bool is_sign_byte(std::uint8_t b) { return b == 0x00 || b == 0xFF; }

// A block shorter than an instruction's 5 bytes holds nothing to convert.
constexpr std::size_t kBranchInstructionSize = 5;

}  // namespace

std::uint32_t x86_branch_decode(std::uint8_t* data, std::size_t size, std::uint32_t ip,
                                std::uint32_t* state) {
  if (size < kBranchInstructionSize) return 0;
  // Positions wrap in 32 bits; blocks are below 2 GiB.
  const auto limit = static_cast<std::uint32_t>(size - 4);
  std::uint32_t mask = *state & 7;
  std::uint32_t prev = 0xFFFFFFFFu;  // position of the last E8/E9 seen; "none" is 1 before 0
  std::uint32_t pos = 0;

  for (;;) {
    std::uint32_t at = pos;
    while (at < limit && (data[at] & 0xFE) != 0xE8) ++at;
    if (at >= limit) {
      if (pos < limit) pos = limit;
      break;
    }
    pos = at;

    const std::uint32_t gap = pos - prev;
    if (gap > 3) {
      mask = 0;
    } else {
      mask = (mask << (gap - 1)) & 7;
      if (mask != 0) {
        const std::uint8_t b = data[pos + 4 - kMaskBit[mask]];
        if (kAllowedMask[mask] == 0 || is_sign_byte(b)) {
          prev = pos;
          mask = ((mask << 1) & 6) | 1;
          ++pos;
          continue;
        }
      }
    }
    prev = pos;

    if (is_sign_byte(data[pos + 4])) {
      std::uint32_t src = std::uint32_t{data[pos + 1]} | (std::uint32_t{data[pos + 2]} << 8) |
                          (std::uint32_t{data[pos + 3]} << 16) |
                          (std::uint32_t{data[pos + 4]} << 24);
      std::uint32_t dest;
      for (;;) {
        dest = src - (ip + 5 + pos);
        if (mask == 0) break;
        const unsigned i = 8u * kMaskBit[mask];
        if (!is_sign_byte(static_cast<std::uint8_t>(dest >> (24 - i)))) break;
        src = dest ^ ((1u << (32 - i)) - 1);
      }
      data[pos + 1] = static_cast<std::uint8_t>(dest);
      data[pos + 2] = static_cast<std::uint8_t>(dest >> 8);
      data[pos + 3] = static_cast<std::uint8_t>(dest >> 16);
      data[pos + 4] = ((dest >> 24) & 1) != 0 ? 0xFF : 0x00;
      pos += 5;
    } else {
      mask = ((mask << 1) & 6) | 1;
      ++pos;
    }
  }

  const std::uint32_t gap = pos - prev;
  *state = gap > 3 ? 0 : ((mask << (gap - 1)) & 7);
  return pos;
}

void delta3_decode(std::uint8_t* data, std::size_t size) {
  std::uint8_t s0 = 0, s1 = 0, s2 = 0;
  // A trailing group of 1 or 2 bytes is left as it is.
  for (std::size_t k = 0; k + 3 <= size; k += 3) {
    s0 = static_cast<std::uint8_t>(s0 + data[k]);
    s1 = static_cast<std::uint8_t>(s1 + data[k + 1]);
    s2 = static_cast<std::uint8_t>(s2 + data[k + 2]);
    data[k] = s0;
    data[k + 1] = s1;
    data[k + 2] = s2;
  }
}

void apply_post_filter(std::uint8_t filter, std::uint8_t* data, std::size_t size) {
  switch (filter & 0x0F) {
    case kFilterX86: {
      std::uint32_t state = 0;
      x86_branch_decode(data, size, 0, &state);
      break;
    }
    case kFilterDelta3:
      delta3_decode(data, size);
      break;
    default:
      break;
  }
}

}  // namespace uq::codec
