// Deterministic inputs for the compressor's tests, and a restore of one coded block through the
// decoder's method table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace uq::test {

using Data = std::vector<std::uint8_t>;

// English-like words and punctuation from a fixed vocabulary.
Data text_like(std::size_t n, std::uint32_t seed = 1);
// Uniformly random bytes.
Data random_bytes(std::size_t n, std::uint32_t seed = 1);
// Machine-code-like bytes: short opcode runs and frequent E8 calls into a few hundred functions,
// whose relative targets differ at every call site.
Data x86_like(std::size_t n, std::uint32_t seed = 1);
// C-header-like lines over a pool of a few hundred names, some far more common than others, so
// that the same tokens repeat at every distance from a few bytes to the whole input.
Data header_like(std::size_t n, std::uint32_t seed = 1);
// 24-bit RGB pixels of smooth gradients with a little noise.
Data rgb_like(std::size_t n, std::uint32_t seed = 1);

// Restores a coded block of `n` bytes at `level` with the decoder, the input padding filled with
// `padding` instead of zeros (so that a stream cut short shows). Gives the decoder's result in
// *result when asked.
Data restore_block(const Data& coded, std::size_t n, std::uint8_t level,
                   std::uint8_t padding = 0xA5, std::int32_t* result = nullptr);

}  // namespace uq::test
