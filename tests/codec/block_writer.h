// Writes method-5 coded blocks item by item, with a model of its own laid out at full size, so
// that tests can state exactly which literals and matches a block holds and what it restores to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace uq::test {

class BlockWriter {
 public:
  // A block at `level` whose two stored bytes are b0 and b1.
  BlockWriter(std::uint8_t level, std::uint8_t b0, std::uint8_t b1);

  void literal(std::uint8_t byte);
  // A match of `length` bytes (length code = length - the level's adjustment, >= 2) at
  // `distance` (1 = the byte just before). Applies it to expected() unless it reaches before
  // the block start, which a decoder must refuse, or `apply` is false (a match longer than any
  // block, which the decoder cuts at the block end).
  void match(std::uint64_t length, std::uint64_t distance, bool apply = true);
  // The start of a match whose length ladder is `ones` decisions of 1 and nothing more: with 32,
  // a ladder the decoder must refuse.
  void ladder_ones(unsigned ones);

  // The coded bytes: stored bytes, the ignored byte, then the range-coded stream, flushed.
  std::vector<std::uint8_t> finish();
  // What the block restores to so far.
  const std::vector<std::uint8_t>& expected() const { return expected_; }
  std::uint32_t length_adjustment() const { return adjustment_; }

 private:
  struct Pair {
    std::uint16_t fast = 0x4000;
    std::uint16_t slow = 0x4000;
  };
  void bit(Pair& pair, unsigned bit);
  void tree(Pair* row, unsigned bits, std::uint32_t value);
  void direct(std::uint32_t value, unsigned k);
  void shift_low();

  std::uint32_t adjustment_;
  std::vector<std::uint8_t> expected_;
  std::vector<std::uint8_t> coded_;
  // Range encoder.
  std::uint64_t low_ = 0;
  std::uint32_t range_ = 0xFFFFFFFFu;
  std::uint8_t cache_ = 0;
  std::uint64_t cache_size_ = 1;
  // Model, every array at its full documented size.
  std::vector<Pair> is_match_ = std::vector<Pair>(256);
  std::vector<Pair> lit_hi_ = std::vector<Pair>(256 * 16 * 4);
  std::vector<Pair> lit_lo_ = std::vector<Pair>(16 * 16 * 16 * 4);
  std::vector<Pair> ladder_ = std::vector<Pair>(32);
  std::vector<Pair> len_bits_ = std::vector<Pair>(32 * 32);
  std::vector<Pair> dist_slot_ = std::vector<Pair>(4 * 128);
  std::vector<Pair> dist_extra_ = std::vector<Pair>(64 * 2048);
  std::vector<Pair> dist_top_ = std::vector<Pair>(64 * 512);
};

// Codes `data` greedily (hash of 4 bytes, longest of one candidate) at `level`.
std::vector<std::uint8_t> encode_greedy(const std::vector<std::uint8_t>& data,
                                        std::uint8_t level);

}  // namespace uq::test
