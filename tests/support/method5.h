// Decodes one coded block through method 5's table entry the way the callers do (init, decode,
// free), on input and output buffers that the test or fuzz target has laid out itself (guard
// bytes, padding, poisoned slack).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "codec/method_table.h"
#include "codec/decode_job.h"

namespace uq::test {

// The decoder's result, or nothing when the method or its model state can't be had.
inline std::optional<std::int32_t> decode_method5(std::uint8_t* in, std::size_t comp_len,
                                                  std::uint8_t* out, std::int32_t out_len,
                                                  std::uint8_t level) {
  const codec::Method* method = codec::find_method(5);
  if (method == nullptr) return std::nullopt;
  codec::DecodeJob job;
  job.method = 5;
  job.level = level;
  job.comp_len = static_cast<std::uint32_t>(comp_len);
  job.in_buf = in;
  job.in_ptr = in;
  job.out_ptr = out;
  job.out_len = out_len;
  codec::ModelState* model = method->init(job);
  if (model == nullptr) return std::nullopt;
  const std::int32_t result = method->decode(job, model);
  method->free(job, model);
  return result;
}

}  // namespace uq::test
