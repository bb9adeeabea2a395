// The method table: method 5 is the only entry; every other method byte has none.
#include "codec/method_table.h"

#include "codec/block_decoder.h"
#include "codec/model_state.h"

namespace uq::codec {
namespace {

constexpr std::uint8_t kLzRangeMethod = 5;

// The job is not needed to make or release a model: every block gets the same fresh one.
ModelState* lz_range_init(const DecodeJob&) { return create_model_state(); }

void lz_range_free(const DecodeJob&, ModelState* state) { destroy_model_state(state); }

std::int32_t lz_range_decode(DecodeJob& job, ModelState* state) {
  return decode_block(job, state);
}

constexpr Method kLzRange{lz_range_init, lz_range_free, lz_range_decode};

}  // namespace

const Method* find_method(std::uint8_t method) {
  return method == kLzRangeMethod ? &kLzRange : nullptr;
}

}  // namespace uq::codec
