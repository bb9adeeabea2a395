// One block from decode job to restored bytes.
#include "codec/block_restore.h"

#include <cstring>

#include "codec/block_buffers.h"
#include "codec/method_table.h"
#include "codec/post_filters.h"
#include "report/console.h"
#include "report/report.h"

namespace uq::codec {

namespace {

// Releases the job's compressed bytes once, on every path.
struct InputRelease {
  format::DecodeJob& job;
  ~InputRelease() {
    release_buffer(job.in_buf);
    job.in_buf = nullptr;
    job.in_ptr = nullptr;
  }
};

}  // namespace

RestoredBlock restore_block(format::DecodeJob& job) {
  InputRelease input{job};
  const auto out_len = static_cast<std::size_t>(job.out_len);
  const bool stored = job.comp_len == static_cast<std::uint32_t>(job.out_len);

  const Method* method = stored ? nullptr : find_method(job.method);
  if (!stored && method == nullptr) {
    report::report_error(report::kCorruptError);
    return {BlockStatus::corrupt, nullptr};
  }

  std::uint8_t* out = allocate_output(out_len);
  if (out == nullptr) return {BlockStatus::no_memory, nullptr};

  if (stored) {
    if (out_len > 0) std::memcpy(out, job.in_ptr, out_len);
  } else {
    ModelState* state = method->init(job);
    if (state == nullptr) {
      release_buffer(out);
      return {BlockStatus::no_memory, nullptr};
    }
    job.out_ptr = out;
    std::int32_t result = method->decode(job, state);
    method->free(job, state);
    if (result < 0) {
      release_buffer(out);
      report::print_message(stdout, "Fatal Error in decomp '%s'.%d,%d\n", job.out_path, result,
                            job.out_len);
      report::report_error(report::kCorruptError);
      return {BlockStatus::corrupt, nullptr};
    }
    if (result != job.out_len) {
      report::print_message(stdout, "Fatal Error in decomp '%s'.%d,%d\n", job.out_path, result,
                            job.out_len);
    }
  }
  apply_post_filter(job.filter, out, out_len);
  return {BlockStatus::ok, out};
}

}  // namespace uq::codec
