// Restores the block of one decode job into a fresh output buffer: a stored block is copied, a
// coded one decoded through the method table, then the post-filter is undone. Shared by the file
// decoder (run without workers) and the decode workers; what a failure prints is theirs to say.
#pragma once

#include <cstdint>

#include "codec/decode_job.h"

namespace uq::codec {

enum class BlockStatus {
  ok,         // out_buf holds out_len restored bytes
  no_memory,  // the output buffer or the model state could not be had
  corrupt,    // the method refused the block (a damaged stream), or the method has no entry
};

struct RestoredBlock {
  BlockStatus status = BlockStatus::corrupt;
  std::uint8_t* out_buf = nullptr;  // out_len + kOutputSlack bytes, owned by the caller; null unless ok
  std::int32_t result = 0;          // what the method gave: out_len, or negative for a refusal
};

// Takes job.in_buf over and releases it, whatever the outcome.
RestoredBlock restore_block(DecodeJob& job);

}  // namespace uq::codec
