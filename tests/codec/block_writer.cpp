// Item-by-item writer of method-5 blocks for the codec tests and the decode benchmark.
#include "codec/block_writer.h"

#include <stdexcept>

namespace uq::test {

BlockWriter::BlockWriter(std::uint8_t level, std::uint8_t b0, std::uint8_t b1)
    : adjustment_(level <= 7 ? 2 : level == 9 ? 0 : 1), expected_{b0, b1}, coded_{b0, b1} {}

void BlockWriter::shift_low() {
  if (static_cast<std::uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
    const auto carry = static_cast<std::uint8_t>(low_ >> 32);
    std::uint8_t pending = cache_;
    do {
      coded_.push_back(static_cast<std::uint8_t>(pending + carry));
      pending = 0xFF;
    } while (--cache_size_ != 0);
    cache_ = static_cast<std::uint8_t>(low_ >> 24);
  }
  ++cache_size_;
  low_ = (low_ & 0x00FFFFFFu) << 8;
}

void BlockWriter::bit(Pair& pair, unsigned value) {
  const std::uint32_t bound = (range_ >> 15) * ((std::uint32_t{pair.fast} + pair.slow) >> 1);
  if (value == 0) {
    range_ = bound;
    pair.fast = static_cast<std::uint16_t>(pair.fast + ((0x8000 - pair.fast) >> 3));
    pair.slow = static_cast<std::uint16_t>(pair.slow + ((0x8000 - pair.slow) >> 6));
  } else {
    low_ += bound;
    range_ -= bound;
    pair.fast = static_cast<std::uint16_t>(pair.fast - (pair.fast >> 3));
    pair.slow = static_cast<std::uint16_t>(pair.slow - (pair.slow >> 6));
  }
  while (range_ < (1u << 24)) {
    range_ <<= 8;
    shift_low();
  }
}

void BlockWriter::tree(Pair* row, unsigned bits, std::uint32_t value) {
  std::uint32_t node = 1;
  for (unsigned b = bits; b-- > 0;) {
    const unsigned v = (value >> b) & 1;
    bit(row[node], v);
    node = node * 2 + v;
  }
}

void BlockWriter::direct(std::uint32_t value, unsigned k) {
  range_ >>= k;
  low_ += std::uint64_t{value} * range_;
  while (range_ < (1u << 24)) {
    range_ <<= 8;
    shift_low();
  }
}

void BlockWriter::literal(std::uint8_t byte) {
  const std::size_t at = expected_.size();
  const unsigned prev = expected_[at - 1];
  const unsigned prev2 = expected_[at - 2];
  bit(is_match_[prev], 0);
  const unsigned h = byte >> 4;
  const unsigned l = byte & 15;
  for (unsigned i = 0; i < 4; ++i) {
    const unsigned done = h >> (4 - i);  // the i bits of h decoded so far
    const unsigned window = ((prev2 << i) | done) & 15;
    bit(lit_hi_[prev * 64 + window * 4 + (3 - i)], (h >> (3 - i)) & 1);
  }
  for (unsigned i = 0; i < 4; ++i) {
    const unsigned done = l >> (4 - i);
    const unsigned window = (((prev >> 4) << i) | done) & 15;
    bit(lit_lo_[(prev & 15) * 1024 + h * 64 + window * 4 + (3 - i)], (l >> (3 - i)) & 1);
  }
  expected_.push_back(byte);
}

void BlockWriter::ladder_ones(unsigned ones) {
  bit(is_match_[expected_.back()], 1);
  for (unsigned t = 0; t < ones; ++t) bit(ladder_[t], 1);
}

void BlockWriter::match(std::uint64_t length, std::uint64_t distance, bool apply) {
  if (length < 2 + adjustment_ || distance == 0 || distance > (std::uint64_t{1} << 32)) {
    throw std::invalid_argument("match cannot be coded");
  }
  const std::size_t at = expected_.size();
  bit(is_match_[expected_[at - 1]], 1);

  const std::uint64_t n = length - adjustment_;
  unsigned steps = 0;  // U: n has U + 2 significant bits
  while ((n >> (steps + 2)) != 0) ++steps;
  for (unsigned t = 0; t < steps; ++t) bit(ladder_[t], 1);
  bit(ladder_[steps], 0);
  for (int j = static_cast<int>(steps); j >= 0; --j) {
    bit(len_bits_[steps * 32 + static_cast<unsigned>(j)], (n >> j) & 1);
  }
  const unsigned length_class = n - 2 < 3 ? static_cast<unsigned>(n - 2) : 3;

  const auto d = static_cast<std::uint32_t>(distance - 1);
  unsigned slot = d;
  if (d >= 4) {
    const unsigned top_bit = 31u - static_cast<unsigned>(__builtin_clz(d));
    slot = 2 * top_bit + ((d >> (top_bit - 1)) & 1);
  }
  tree(&dist_slot_[length_class * 128], 6, slot);
  if (slot >= 4) {
    const unsigned fb = (slot >> 1) - 1;
    const std::uint32_t extra = d - ((2u + (slot & 1)) << fb);
    if (slot < 23) {
      tree(&dist_extra_[slot * 2048], fb, extra);
    } else {
      const unsigned k = fb - 8;
      tree(&dist_top_[slot * 512], 8, extra >> k);
      direct(extra & ((1u << k) - 1), k);
    }
  }

  if (apply && distance <= at) {
    for (std::uint64_t i = 0; i < length; ++i) expected_.push_back(expected_[expected_.size() - distance]);
  }
}

std::vector<std::uint8_t> BlockWriter::finish() {
  std::vector<std::uint8_t> out = coded_;
  // Flush a copy, so that the writer can go on.
  BlockWriter copy = *this;
  for (int i = 0; i < 5; ++i) copy.shift_low();
  out.insert(out.end(), copy.coded_.begin() + static_cast<std::ptrdiff_t>(coded_.size()),
             copy.coded_.end());
  return out;
}

std::vector<std::uint8_t> encode_greedy(const std::vector<std::uint8_t>& data,
                                        std::uint8_t level) {
  BlockWriter writer(level, data.size() > 0 ? data[0] : 0, data.size() > 1 ? data[1] : 0);
  const std::size_t shortest = 2 + writer.length_adjustment();
  const std::size_t min_len = shortest < 4 ? 4 : shortest;  // the hash covers 4 bytes
  constexpr unsigned kHashBits = 16;
  std::vector<std::uint32_t> head(std::size_t{1} << kHashBits, 0xFFFFFFFFu);
  auto hash = [&](std::size_t i) {
    const std::uint32_t v = data[i] | (data[i + 1] << 8) | (data[i + 2] << 16) |
                            (std::uint32_t{data[i + 3]} << 24);
    return (v * 2654435761u) >> (32 - kHashBits);
  };
  std::size_t i = 2;
  while (i < data.size()) {
    std::size_t best = 0;
    std::size_t cand = 0;
    if (i + 4 <= data.size()) {
      const std::uint32_t h = hash(i);
      cand = head[h];
      head[h] = static_cast<std::uint32_t>(i);
      if (cand != 0xFFFFFFFFu) {
        while (i + best < data.size() && data[cand + best] == data[i + best]) ++best;
      }
    }
    if (best >= min_len) {
      writer.match(best, i - cand);
      for (std::size_t j = i + 1; j < i + best && j + 4 <= data.size(); ++j) head[hash(j)] = static_cast<std::uint32_t>(j);
      i += best;
    } else {
      writer.literal(data[i]);
      ++i;
    }
  }
  return writer.finish();
}

}  // namespace uq::test
