// Creation and release of the method-5 model.
#include "codec/model_state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codec/block_buffers.h"

namespace uq::codec {

static_assert(sizeof(ProbPair) == 4);
static_assert(kModelPairs < 50'000, "the compact distance rows keep the model near 190 KiB");

ModelState* create_model_state() {
  // malloc, not new: a failed allocation is a null for the caller to report, never an exception.
  auto* state = static_cast<ModelState*>(take_block_memory(sizeof(ModelState)));
  if (state == nullptr) return nullptr;
  // One pair, then copies of what is filled so far, doubling: 16 memcpy calls for ~48,000 pairs.
  state->pairs[0] = ProbPair{kProbStart, kProbStart};
  for (std::size_t filled = 1; filled < kModelPairs;) {
    const std::size_t count = std::min(filled, kModelPairs - filled);
    std::memcpy(state->pairs + filled, state->pairs, count * sizeof(ProbPair));
    filled += count;
  }
  return state;
}

void destroy_model_state(ModelState* state) { release_block_memory(state); }

}  // namespace uq::codec
