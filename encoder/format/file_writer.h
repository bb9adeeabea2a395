// The file writer: header, block records and blocks of a compressed file, the blocks filtered and
// coded on several threads and written in record order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "codec/block_encoder.h"
#include "codec/forward_filters.h"
#include "format/file_format.h"

namespace uq::enc {

inline constexpr std::uint8_t kMethod = 5;
inline constexpr std::uint16_t kDefaultBlockMib = 1;
// Blocks lengths are signed 32-bit for the decoder: B must stay below 2 GiB.
inline constexpr std::uint16_t kMaxBlockMib = 2047;

struct WriterOptions {
  std::uint8_t level = kDefaultLevel;
  std::uint8_t filter = kFilterNone;
  std::uint16_t block_mib = kDefaultBlockMib;
  std::optional<std::uint64_t> shuffle_seed;  // none: records in block order
  unsigned threads = 1;
};

struct WriteSummary {
  std::uint64_t in_bytes = 0;
  std::uint64_t out_bytes = 0;
  std::uint64_t blocks = 0;
  std::uint64_t stored_blocks = 0;
  std::uint64_t checksum = 0;  // of the restored file, as the header carries it
};

std::array<std::uint8_t, format::kHeaderSize> make_header(std::int64_t orig_size,
                                                          const WriterOptions& options);

// The record of block `index` written as the record with 0-based ordinal `ordinal`;
// |index - ordinal| must not exceed 127.
std::array<std::uint8_t, format::kRecordSize> make_record(std::uint32_t comp_len,
                                                          std::int64_t index, std::int64_t ordinal);

// Block index of every record, in file order: 0..count-1, or with a seed a shuffle that keeps
// every record within 127 places of its index. The same seed always gives the same order.
std::vector<std::int64_t> record_order(std::int64_t count, std::optional<std::uint64_t> seed);

// Filters the block in place, then codes it; gives the bytes that follow its record: the coded
// form when it is shorter than the block, otherwise the filtered block itself (stored).
std::vector<std::uint8_t> pack_block(std::vector<std::uint8_t>& block, std::uint8_t level,
                                     std::uint8_t filter, EncodeStats* stats = nullptr);

// Reads `len` bytes of the input at `offset`; false on failure.
using ReadAt = std::function<bool(std::uint64_t offset, std::uint8_t* dst, std::size_t len)>;
// Appends bytes to the output; false on failure.
using WriteOut = std::function<bool(const std::uint8_t* data, std::size_t len)>;
// Writes the header again over the first bytes of the output, once the file's checksum is known;
// false on failure.
using RewriteHeader = std::function<bool(const std::uint8_t* header, std::size_t len)>;

// Writes the whole compressed file of an input of `orig_size` bytes, then rewrites its header
// with the checksum of the restored file (header bytes 20..31, which readers never examine).
// Holds at most two blocks per thread in memory. On failure gives false with a message in *error.
bool write_compressed(std::int64_t orig_size, const ReadAt& read, const WriteOut& write,
                      const RewriteHeader& rewrite_header, const WriterOptions& options,
                      WriteSummary* summary, std::string* error);

// The compressed file of a buffer, in memory.
std::vector<std::uint8_t> compress_bytes(const std::uint8_t* data, std::size_t n,
                                         const WriterOptions& options);

// Compresses the file at in_path into out_path; the output is removed when anything fails.
bool compress_file(const std::string& in_path, const std::string& out_path,
                   const WriterOptions& options, WriteSummary* summary, std::string* error);

}  // namespace uq::enc
