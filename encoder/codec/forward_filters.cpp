// Forward filters: x86 branch conversion (relative to absolute) and 3-byte delta.
#include "codec/forward_filters.h"

namespace uq::enc {

namespace {

// Indexed by the mask of unconverted E8/E9 bytes among the last three positions: whether a new
// candidate may still be converted, and which operand byte (counted back from its last one) the
// mask points at.
constexpr std::uint8_t kAllowedMask[8] = {1, 1, 1, 0, 1, 0, 0, 0};
constexpr std::uint8_t kMaskBit[8] = {0, 1, 2, 2, 3, 3, 3, 3};

bool is_sign_byte(std::uint8_t b) { return b == 0x00 || b == 0xFF; }

}  // namespace

std::uint32_t x86_branch_encode(std::uint8_t* data, std::size_t size, std::uint32_t ip,
                                std::uint32_t* state) {
  if (size < 5) return 0;
  std::uint32_t mask = *state & 7u;
  // Positions are 32-bit like the addresses; prev starts one before position 0.
  std::uint32_t prev = 0xFFFFFFFFu;
  std::uint32_t pos = 0;
  const auto limit = static_cast<std::uint32_t>(size - 4);
  for (;;) {
    std::uint32_t p = pos;
    while (p < limit && (data[p] & 0xFEu) != 0xE8u) ++p;
    if (p >= limit) {
      if (pos < limit) pos = limit;
      break;
    }
    pos = p;
    std::uint32_t d = pos - prev;
    if (d > 3) {
      mask = 0;
    } else {
      mask = (mask << (d - 1)) & 7u;
      if (mask != 0) {
        std::uint8_t b = data[pos + 4 - kMaskBit[mask]];
        if (kAllowedMask[mask] == 0 || is_sign_byte(b)) {
          prev = pos;
          mask = ((mask << 1) & 6u) | 1u;
          ++pos;
          continue;
        }
      }
    }
    prev = pos;
    if (is_sign_byte(data[pos + 4])) {
      std::uint8_t* op = data + pos + 1;
      std::uint32_t src = op[0] | (std::uint32_t{op[1]} << 8) | (std::uint32_t{op[2]} << 16) |
                          (std::uint32_t{op[3]} << 24);
      std::uint32_t dest;
      for (;;) {
        dest = src + (ip + 5 + pos);
        if (mask == 0) break;
        unsigned i = 8u * kMaskBit[mask];
        auto b = static_cast<std::uint8_t>(dest >> (24 - i));
        if (!is_sign_byte(b)) break;
        src = dest ^ ((std::uint32_t{1} << (32 - i)) - 1);
      }
      op[0] = static_cast<std::uint8_t>(dest);
      op[1] = static_cast<std::uint8_t>(dest >> 8);
      op[2] = static_cast<std::uint8_t>(dest >> 16);
      op[3] = ((dest >> 24) & 1u) != 0 ? 0xFF : 0x00;
      pos += 5;
    } else {
      mask = ((mask << 1) & 6u) | 1u;
      ++pos;
    }
  }
  std::uint32_t d = pos - prev;
  *state = d > 3 ? 0 : (mask << (d - 1)) & 7u;
  return pos;
}

void delta3_encode(std::uint8_t* data, std::size_t size) {
  std::size_t whole = size - size % 3;
  // Backwards, so that every subtraction still sees the original byte three places back.
  for (std::size_t k = whole; k-- > 3;) {
    data[k] = static_cast<std::uint8_t>(data[k] - data[k - 3]);
  }
}

void apply_forward_filter(std::uint8_t filter, std::uint8_t* data, std::size_t size) {
  switch (filter & 0x0Fu) {
    case kFilterX86: {
      std::uint32_t state = 0;
      x86_branch_encode(data, size, 0, &state);
      break;
    }
    case kFilterDelta3:
      delta3_encode(data, size);
      break;
    default:
      break;
  }
}

}  // namespace uq::enc
