// One block from decode job to restored bytes.
#include "codec/block_restore.h"

#include <cstring>

#include "codec/block_buffers.h"
#include "codec/method_table.h"
#include "codec/post_filters.h"

namespace uq::codec {

namespace {

// Releases the job's compressed bytes once, on every path.
struct InputRelease {
  DecodeJob& job;
  ~InputRelease() {
    release_buffer(job.in_buf);
    job.in_buf = nullptr;
    job.in_ptr = nullptr;
  }
};

}  // namespace

RestoredBlock restore_block(DecodeJob& job) {
  InputRelease input{job};
  const auto out_len = static_cast<std::size_t>(job.out_len);
  const bool stored = job.comp_len == static_cast<std::uint32_t>(job.out_len);

  // The file decoder refuses coded blocks of a method without an entry; this stays a refusal.
  const Method* method = stored ? nullptr : find_method(job.method);
  if (!stored && method == nullptr) return {BlockStatus::corrupt, nullptr, -1};

  std::uint8_t* out = allocate_output(out_len);
  if (out == nullptr) return {BlockStatus::no_memory, nullptr, 0};

  std::int32_t result = job.out_len;
  if (stored) {
    if (out_len > 0) std::memcpy(out, job.in_ptr, out_len);
  } else {
    ModelState* state = method->init(job);
    if (state == nullptr) {
      release_buffer(out);
      return {BlockStatus::no_memory, nullptr, 0};
    }
    job.out_ptr = out;
    result = method->decode(job, state);
    method->free(job, state);
    if (result < 0) {
      release_buffer(out);
      return {BlockStatus::corrupt, nullptr, result};
    }
  }
  apply_post_filter(job.filter, out, out_len);
  return {BlockStatus::ok, out, result};
}

}  // namespace uq::codec
