// The on-disk format: the 32-byte file header, the 5-byte block record, and the block geometry
// derived from them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace uq::format {

inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kRecordSize = 5;
inline constexpr std::uint64_t kMiB = 1u << 20;

// Blocks longer than this can't be described by a 32-bit signed block length.
inline constexpr std::int64_t kMaxBlockLen = 2'147'483'647;

// The furthest a record may lie from its own block index (7 bits of magnitude).
inline constexpr int kMaxIndexDistance = 127;

struct FileHeader {
  bool magic_ok = false;  // bytes 1..3 are "QV0"
  std::int64_t orig_size = 0;
  std::uint8_t method = 0;
  std::uint8_t level = 0;
  std::uint8_t filter = 0;
  std::uint16_t block_mib = 0;
};

FileHeader parse_header(const std::uint8_t (&bytes)[kHeaderSize]);

struct BlockRecord {
  std::uint32_t comp_len = 0;
  std::uint8_t rel_index = 0;
};

BlockRecord parse_record(const std::uint8_t (&bytes)[kRecordSize]);

// Block size B in bytes.
constexpr std::int64_t block_size(std::uint16_t block_mib) {
  return static_cast<std::int64_t>(block_mib) * static_cast<std::int64_t>(kMiB);
}

// Block count N: orig_size / B, plus one for a remainder; 0 when orig_size <= 0. B must be > 0
// unless orig_size <= 0.
constexpr std::int64_t block_count(std::int64_t orig_size, std::int64_t block) {
  if (orig_size <= 0) return 0;
  return orig_size / block + (orig_size % block != 0 ? 1 : 0);
}

// Block index of the record with 0-based ordinal k.
constexpr std::int64_t block_index(std::int64_t k, std::uint8_t rel_index) {
  std::int64_t magnitude = rel_index >> 1;
  return (rel_index & 1) != 0 ? k - magnitude : k + magnitude;
}

// Expected length of block `index`: B for all but the last block, the remainder for the last,
// zero or less past the end. Exact for any index >= 0 and any header.
constexpr std::int64_t block_len(std::int64_t orig_size, std::int64_t block, std::int64_t index) {
  __int128 start = static_cast<__int128>(index) * block;
  if (static_cast<__int128>(orig_size) > start + block) return block;
  __int128 len = static_cast<__int128>(orig_size) - start;
  return len < INT64_MIN ? INT64_MIN : static_cast<std::int64_t>(len);
}

}  // namespace uq::format
