// The two job queues of a threaded run and the write job that travels on the second.
#pragma once

#include <cstdint>

#include "format/decode_job.h"
#include "pipeline/job_queue.h"

namespace uq::pipeline {

// One decoded block on its way to the output writer. A null out_buf marks the stop write job.
struct WriteJob {
  platform::OutputFile* out_file = nullptr;
  std::int64_t block_index = 0;
  std::uint32_t block_count = 0;
  std::uint16_t block_mib = 0;
  std::uint8_t method = 0;
  std::uint8_t* out_buf = nullptr;  // owned: released by the output writer
  const char* out_path = nullptr;
  std::uint8_t filter = 0;
  std::int32_t out_len = 0;
};

using WriteQueue = JobQueue<WriteJob>;

// The decode queue; its consumers push their results to `downstream`, the write queue.
class DecodeQueue : public JobQueue<format::DecodeJob> {
 public:
  DecodeQueue(int capacity, WriteQueue* downstream)
      : JobQueue<format::DecodeJob>(capacity), downstream(downstream) {}
  WriteQueue* const downstream;
};

}  // namespace uq::pipeline
