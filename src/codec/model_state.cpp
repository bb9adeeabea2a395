// Creation and release of the method-5 model.
#include "codec/model_state.h"

#include <cstdlib>

namespace uq::codec {

static_assert(sizeof(ProbPair) == 4);
static_assert(kModelPairs < 50'000, "the compact distance rows keep the model near 190 KiB");

ModelState* create_model_state() {
  // malloc, not new: a failed allocation is a null for the caller to report, never an exception.
  auto* state = static_cast<ModelState*>(std::malloc(sizeof(ModelState)));
  if (state == nullptr) return nullptr;
  for (ProbPair& pair : state->pairs) pair = ProbPair{kProbStart, kProbStart};
  return state;
}

void destroy_model_state(ModelState* state) { std::free(state); }

}  // namespace uq::codec
