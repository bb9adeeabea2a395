// The method table: the three operations that restore a coded block, one entry per method byte.
#pragma once

#include <cstdint>

#include "codec/decode_job.h"

namespace uq::codec {

// Per-block model of a method (method 5: arrays of probability pairs).
struct ModelState;

struct Method {
  ModelState* (*init)(const DecodeJob& job);           // fresh state, or null
  void (*free)(const DecodeJob& job, ModelState* state);
  std::int32_t (*decode)(DecodeJob& job, ModelState* state);  // bytes restored, < 0: failed
};

// The entry of `method`, or null when the method has none (every value but 5).
const Method* find_method(std::uint8_t method);

}  // namespace uq::codec
