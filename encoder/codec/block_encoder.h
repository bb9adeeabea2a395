// Method-5 block encoder: an LZ77 parse over hash chains, coded with the adaptive binary range
// coder that the block decoder reads back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace uq::enc {

// The level this compressor uses unless told otherwise: shortest match 3, the cheapest path over
// the candidates of a binary tree searched 16 nodes deep.
inline constexpr std::uint8_t kDefaultLevel = 8;

// The level with the smallest output: shortest match 2, a tree searched 64 nodes deep.
inline constexpr std::uint8_t kBestLevel = 9;

// Amount the decoder adds to a length code n (n >= 2) to get the match length.
constexpr unsigned length_adjustment(std::uint8_t level) {
  return level <= 7 ? 2u : level == 9 ? 0u : 1u;
}

// Shortest match the decoder can express at `level`: length code 2 plus the adjustment.
constexpr unsigned min_match_length(std::uint8_t level) { return 2u + length_adjustment(level); }

// Distance slot of a distance value d (= distance - 1): d itself below 4, then two slots per
// power of two.
constexpr unsigned distance_slot(std::uint32_t d) {
  if (d < 4) return d;
  unsigned top = 31u - static_cast<unsigned>(__builtin_clz(d));
  return 2u * top + ((d >> (top - 1u)) & 1u);
}

// How hard the parser looks. Derived from the level by params_for_level; tests may set their own.
struct ParseParams {
  bool optimal = false;        // a shortest path over priced items; otherwise a lazy parse
  bool tree = false;           // a binary-tree match finder; otherwise hash chains
  unsigned depth = 32;         // chain links or tree nodes visited per position
  unsigned nice_length = 64;   // a match this long is taken at once, without a lazy look
  unsigned take_length = 64;   // optimal parse: a match this long is coded without weighing
  unsigned good_length = 16;   // chains: once a match this long is found, a quarter of the depth
  unsigned lazy_steps = 1;     // lazy parse: positions looked ahead for a better match (0: greedy)
  unsigned hash_bits = 18;     // log2 of the hash head table size
  unsigned window_bits = 24;   // chain links reach back 2^window_bits bytes; heads reach anywhere
};

ParseParams params_for_level(std::uint8_t level);

// What the encoder emitted for one block, for tests and for the -v summary.
struct EncodeStats {
  std::uint64_t literals = 0;
  std::uint64_t matches = 0;
  std::uint64_t slot_count[64] = {};
  std::uint64_t length_class_count[4] = {};  // by min(n - 2, 3), n the length code
  std::uint64_t ladder_count[32] = {};       // by U, the number of ladder steps that gave 1
  std::uint64_t longest_match = 0;
  std::uint64_t division_steps = 0;          // slots 23 and above
};

// Codes n bytes at `level`: two stored bytes (zero-padded when n < 2), then the range-coded
// items for bytes 2..n-1. The result may be longer than n; the caller decides whether to store.
// n must stay below 2^31 (std::length_error otherwise), like every block length.
std::vector<std::uint8_t> encode_block(const std::uint8_t* data, std::size_t n,
                                       std::uint8_t level, EncodeStats* stats = nullptr);

std::vector<std::uint8_t> encode_block(const std::uint8_t* data, std::size_t n,
                                       std::uint8_t level, const ParseParams& params,
                                       EncodeStats* stats = nullptr);

}  // namespace uq::enc
