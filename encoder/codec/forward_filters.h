// Forward filters: what the compressor applies to each block before coding it, the exact inverse
// of the restore program's post-filters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace uq::enc {

inline constexpr std::uint8_t kFilterNone = 0;
inline constexpr std::uint8_t kFilterX86 = 1;
inline constexpr std::uint8_t kFilterDelta3 = 2;

// x86 branch filter, encoding direction: turns the relative 32-bit targets of E8/E9 instructions
// into absolute ones (relative to `ip` + the position in the block). `state` carries the 3-bit
// mask of recent unconverted E8/E9 bytes in and out. Gives the number of bytes passed.
std::uint32_t x86_branch_encode(std::uint8_t* data, std::size_t size, std::uint32_t ip,
                                std::uint32_t* state);

// 3-byte delta filter, encoding direction: in every whole group of three, byte k becomes byte k
// minus byte k - 3 (of the original); the last size % 3 bytes are left alone.
void delta3_encode(std::uint8_t* data, std::size_t size);

// Applies the filter named by the low four bits of `filter` to one block from a fresh state
// (address 0, state 0); other values leave the block alone.
void apply_forward_filter(std::uint8_t filter, std::uint8_t* data, std::size_t size);

}  // namespace uq::enc
