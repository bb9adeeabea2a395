// Post-filters that undo what the compressor applied to each block before coding it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace uq::codec {

inline constexpr std::uint8_t kFilterX86 = 1;
inline constexpr std::uint8_t kFilterDelta3 = 2;

// x86 branch filter, decoding direction: turns the absolute targets of E8/E9 instructions back
// into relative ones. `state` carries the 3-bit mask in and out. Gives the bytes passed.
std::uint32_t x86_branch_decode(std::uint8_t* data, std::size_t size, std::uint32_t ip,
                                std::uint32_t* state);

// 3-byte delta filter, decoding direction: three running byte sums, one per channel.
void delta3_decode(std::uint8_t* data, std::size_t size);

// Whether the low four bits of `filter` name a post-filter (others leave blocks as they are).
constexpr bool has_post_filter(std::uint8_t filter) {
  return (filter & 0x0F) == kFilterX86 || (filter & 0x0F) == kFilterDelta3;
}

// Applies the filter named by the low four bits of `filter` to one block, from a fresh state
// (address 0, state 0, sums 0).
void apply_post_filter(std::uint8_t filter, std::uint8_t* data, std::size_t size);

}  // namespace uq::codec
