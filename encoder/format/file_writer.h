// The file writer: header, block records and blocks of a compressed file, the blocks filtered and
// coded on several threads and written in record order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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

// What a header says of its input: the size and the checksum of the restored file.
struct StreamFacts {
  std::int64_t orig_size = 0;
  std::uint64_t checksum = 0;
};

// Writes the whole compressed file of an input of `orig_size` bytes, then rewrites its header
// with the checksum of the restored file (header bytes 20..31, which readers never examine).
// With `announced` the header carries its checksum from the start and is not rewritten; the
// blocks read must then give that checksum, or the write fails. Holds at most two blocks per
// thread in memory. On failure gives false with a message in *error.
bool write_compressed(std::int64_t orig_size, const ReadAt& read, const WriteOut& write,
                      const RewriteHeader& rewrite_header, const WriterOptions& options,
                      WriteSummary* summary, std::string* error,
                      const std::optional<StreamFacts>& announced = std::nullopt);

// Reads the input's next bytes into dst: fills all `len` bytes unless the input ends first, and
// gives how many it read (0 at the end), or -1 on failure with errno set.
using ReadNext = std::function<std::int64_t(std::uint8_t* dst, std::size_t len)>;

// The header of a file still being written: the settings, but no identifier, so that nothing
// takes it for a whole archive until the real header replaces it.
std::array<std::uint8_t, format::kHeaderSize> provisional_header(const WriterOptions& options);

// Writes the compressed file of an input read once, front to back, to its very end, whatever size
// it claimed; records in block order. Without `announced` the header is provisional until the
// input has ended, then rewritten with the size and the checksum. With `announced` (an output
// that can't go back, such as a pipe) the final header goes first and `rewrite_header` is not
// used: the input must then give exactly the bytes announced, or the write fails ("the input
// changed while it was read"). Holds at most two blocks per thread in memory.
bool write_stream(const ReadNext& read, const WriteOut& write, const RewriteHeader& rewrite_header,
                  const std::optional<StreamFacts>& announced, const WriterOptions& options,
                  WriteSummary* summary, std::string* error);

// The facts a header gives of bytes fed in order: a first read of an input, or its copy being
// spooled, so that a stream's header can carry them before its first block.
class StreamDigest {
 public:
  explicit StreamDigest(std::uint16_t block_mib);
  void add(const std::uint8_t* data, std::size_t len);
  StreamFacts facts() const;

 private:
  std::uint64_t block_;
  std::uint64_t in_block_ = 0;  // bytes of the block being hashed
  std::int64_t total_ = 0;
  std::vector<std::uint64_t> digests_;
  std::shared_ptr<void> state_;  // the hash of the block being filled
};

// The compressed file of a buffer, in memory.
std::vector<std::uint8_t> compress_bytes(const std::uint8_t* data, std::size_t n,
                                         const WriterOptions& options);

// Compresses the file at in_path into out_path; the output is removed when anything fails.
bool compress_file(const std::string& in_path, const std::string& out_path,
                   const WriterOptions& options, WriteSummary* summary, std::string* error);

}  // namespace uq::enc
