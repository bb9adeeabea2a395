// The decode job: one block to restore, as the file decoder describes it to whoever decodes it.
// It lives with the codec, so that the file decoder and the pipeline both use it without either
// depending on the other's headers.
#pragma once

#include <cstdint>
#include <type_traits>

namespace uq::pipeline {
class Output;
}

namespace uq::codec {

// A plain record, copied by value through the decode queue; the buffers it points to change owner
// with it. The first 20 bytes take header bytes 12..31 as they stand (comp_len is then set for
// each block).
struct DecodeJob {
  std::uint8_t method = 0;       // coding method of coded blocks, an index into the method table
  std::uint8_t level = 0;        // handed to the method decoder
  std::uint8_t spare_header[3] = {};
  std::uint8_t filter = 0;       // bits 0-3 select the post-filter
  std::uint16_t block_mib = 0;   // block size in MiB
  std::uint8_t spare_tail[8] = {};
  std::uint32_t comp_len = 0;    // compressed bytes in in_buf; equal to out_len: stored block
  std::int64_t block_index = 0;  // index of the block within its output file
  std::uint64_t out_offset = 0;  // where the block starts in the restored file: index x block size
  std::uint32_t block_count = 0; // low 32 bits of the file's block count, for information
  std::uint8_t* in_buf = nullptr;  // comp_len bytes and the zeroed input slack; owned by the holder
  const char* out_path = nullptr;  // the output's name, owned by output
  const std::uint8_t* in_ptr = nullptr;  // where the method decoder reads: in_buf
  std::uint8_t* out_ptr = nullptr;       // where the method decoder writes: out_len + slack bytes
  std::int32_t out_len = 0;              // the block's expected decoded length
  std::uint32_t spare = 0;
  pipeline::Output* output = nullptr;  // where the block goes; shared by every job of one file
  std::uint64_t reserved = 0;  // bytes of the run's memory budget the block holds until written
};

static_assert(std::is_trivially_copyable_v<DecodeJob>);

}  // namespace uq::codec
