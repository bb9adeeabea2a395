// A plain method-5 decoder for the fuzz targets to compare against: one decision at a time, every
// read and write bounds-checked, each model array at its full documented size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace uq::fuzz {

// Restores `out_len` bytes from `coded` at `level`; nothing when the block is corrupt (a ladder of
// 32 steps, a distance beyond the bytes restored, an item that starts more than 64 bytes past the
// coded ones). Bytes past the coded ones read as 0.
inline std::optional<std::vector<std::uint8_t>> reference_decode(
    const std::vector<std::uint8_t>& coded, std::uint32_t out_len, std::uint8_t level) {
  constexpr std::size_t kOverreadMargin = 64;
  struct Pair {
    std::uint16_t fast, slow;
  };
  // The arrays in one vector, copied from a fresh one made once: a plain copy is a memcpy, which
  // the fuzzer's coverage hooks leave alone.
  constexpr std::size_t kPairs = 256 + 16384 + 16384 + 32 + 1024 + 4 * 128 + 64 * 2048 + 64 * 512;
  static const std::vector<Pair> fresh(kPairs, Pair{0x4000, 0x4000});
  std::vector<Pair> model = fresh;
  Pair* const is_match = model.data();
  Pair* const lit_hi = is_match + 256;
  Pair* const lit_lo = lit_hi + 16384;
  Pair* const ladder = lit_lo + 16384;
  Pair* const len_bits = ladder + 32;
  Pair* const dist_slot = len_bits + 1024;
  Pair* const dist_extra = dist_slot + 4 * 128;
  Pair* const dist_top = dist_extra + 64 * 2048;
  std::size_t pos = 0;
  auto next = [&]() -> std::uint32_t { return pos < coded.size() ? coded[pos++] : (pos++, 0); };
  std::uint32_t range = 0xFFFFFFFFu, code = 0;
  auto normalise = [&] {
    while (range < (1u << 24)) {
      range <<= 8;
      code = (code << 8) | next();
    }
  };
  auto bit = [&](Pair& p) -> std::uint32_t {
    const std::uint32_t bound = (range >> 15) * ((std::uint32_t{p.fast} + p.slow) >> 1);
    std::uint32_t b;
    if (code < bound) {
      range = bound;
      p.fast = static_cast<std::uint16_t>(p.fast + ((0x8000 - p.fast) >> 3));
      p.slow = static_cast<std::uint16_t>(p.slow + ((0x8000 - p.slow) >> 6));
      b = 0;
    } else {
      code -= bound;
      range -= bound;
      p.fast = static_cast<std::uint16_t>(p.fast - (p.fast >> 3));
      p.slow = static_cast<std::uint16_t>(p.slow - (p.slow >> 6));
      b = 1;
    }
    normalise();
    return b;
  };
  auto tree = [&](Pair* row, unsigned bits) {
    std::uint32_t node = 1;
    for (unsigned i = 0; i < bits; ++i) node = node * 2 + bit(row[node]);
    return node - (1u << bits);
  };

  std::vector<std::uint8_t> out;
  out.push_back(static_cast<std::uint8_t>(next()));
  out.push_back(static_cast<std::uint8_t>(next()));
  next();
  for (int i = 0; i < 4; ++i) code = (code << 8) | next();
  const std::uint64_t adjustment = level <= 7 ? 2 : level == 9 ? 0 : 1;
  while (out.size() < out_len) {
    // The stream may run 64 bytes past its end, no further: `pos` is the next byte an item reads.
    if (pos > coded.size() + kOverreadMargin) return std::nullopt;
    const unsigned prev = out[out.size() - 1];
    const unsigned prev2 = out[out.size() - 2];
    if (bit(is_match[prev]) == 0) {
      unsigned h = 0, l = 0;
      for (unsigned i = 0; i < 4; ++i) {
        h = h * 2 + bit(lit_hi[prev * 64 + (((prev2 << i) | h) & 15) * 4 + 3 - i]);
      }
      for (unsigned i = 0; i < 4; ++i) {
        l = l * 2 + bit(lit_lo[(prev & 15) * 1024 + h * 64 + ((((prev >> 4) << i) | l) & 15) * 4 + 3 - i]);
      }
      out.push_back(static_cast<std::uint8_t>(h * 16 + l));
      continue;
    }
    unsigned u = 0;
    while (bit(ladder[u]) == 1) {
      if (++u == 32) return std::nullopt;
    }
    std::uint64_t n = 1;
    for (int j = static_cast<int>(u); j >= 0; --j) n = n * 2 + bit(len_bits[u * 32 + static_cast<unsigned>(j)]);
    const unsigned length_class = n - 2 < 3 ? static_cast<unsigned>(n - 2) : 3;
    const unsigned slot = tree(&dist_slot[length_class * 128], 6);
    std::uint64_t d = slot;
    if (slot >= 4) {
      const unsigned fb = (slot >> 1) - 1;
      const std::uint64_t base = std::uint64_t{2u + (slot & 1)} << fb;
      if (slot < 23) {
        d = base + tree(&dist_extra[slot * 2048], fb);
      } else {
        const std::uint64_t top = tree(&dist_top[slot * 512], 8);
        const unsigned k = fb - 8;
        const std::uint32_t r = range >> k;
        const std::uint32_t q = code / r;
        code -= q * r;
        range = r;
        normalise();
        d = base + (top << k) + q;
      }
    }
    const std::uint64_t distance = d + 1;
    if (distance > out.size()) return std::nullopt;
    std::uint64_t length = n + adjustment;
    if (length > out_len - out.size()) length = out_len - out.size();
    for (std::uint64_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
  }
  out.resize(out_len);
  return out;
}

}  // namespace uq::fuzz
