// Restores the block of one decode job into a fresh output buffer: a stored block is copied, a
// coded one decoded through the method table, then the post-filter is undone. Shared by the file
// decoder (run without workers) and the decode workers.
#pragma once

#include <cstdint>

#include "format/decode_job.h"

namespace uq::codec {

enum class BlockStatus {
  ok,         // out_buf holds out_len restored bytes
  no_memory,  // the output buffer or the model state could not be had; nothing was reported
  corrupt,    // the block was refused and reported (105)
};

struct RestoredBlock {
  BlockStatus status = BlockStatus::corrupt;
  std::uint8_t* out_buf = nullptr;  // out_len + kOutputSlack bytes, owned by the caller; null unless ok
};

// Takes job.in_buf over and releases it, whatever the outcome. A block whose method fails is
// reported as "Fatal Error in decomp" followed by error 105.
RestoredBlock restore_block(format::DecodeJob& job);

}  // namespace uq::codec
