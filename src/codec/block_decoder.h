// The method-5 block decoder: an LZ77 stream of literals and matches, every symbol broken into
// binary decisions of a 32-bit range decoder over the model's adaptive probability pairs.
#pragma once

#include <cstdint>

#include "codec/model_state.h"
#include "codec/decode_job.h"

namespace uq::codec {

// Restores the block at job.in_ptr (job.comp_len coded bytes followed by the zeroed input
// padding) into job.out_ptr (job.out_len bytes followed by the output slack), with a model fresh
// from create_model_state. Gives job.out_len, or -1 when the block is corrupt: a length ladder of
// 32 steps, a match distance of more than the bytes already restored, or a stream that runs more
// than 64 bytes past comp_len. Reads nothing past the input padding and writes nothing past
// out_len + 3 (and never before the two start bytes).
std::int32_t decode_block(const DecodeJob& job, ModelState* model);

}  // namespace uq::codec
