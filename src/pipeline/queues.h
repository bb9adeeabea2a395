// The two job queues of a threaded run, the write job that travels on the second, and the stop
// jobs that end their consumers.
#pragma once

#include <cstdint>

#include "codec/decode_job.h"
#include "pipeline/decode_slots.h"
#include "pipeline/job_queue.h"
#include "pipeline/memory_budget.h"
#include "pipeline/output_tracker.h"

namespace uq::pipeline {

// What a write job asks of the output writer. The zero value is the stop write job, so a write
// job with every field zero stops the writer.
enum class WriteKind : std::uint8_t {
  stop = 0,  // end the writer
  block,     // write out_buf at out_offset, then release it
  copy,      // a stored block: copy out_len bytes at source_offset of the input to out_offset
  dropped,   // a block that failed to decode: nothing to write, but it counts for its file
  lost,      // likewise, for want of memory: its output is left short
  put,       // a block its worker put itself: it counts for its file, its budget bytes go back
  file_end,  // the file decoder is done with `output` after queuing `queued_jobs` blocks
};

// One decoded block (or a notice about its file) on its way to the output writer.
struct WriteJob {
  WriteKind kind = WriteKind::stop;
  Output* output = nullptr;  // file_end passes its ownership to the writer
  std::int64_t block_index = 0;
  std::uint64_t out_offset = 0;   // block, copy: byte offset of the block in its output
  std::uint64_t source_offset = 0;  // copy: where the block's bytes lie in the input
  std::uint32_t block_count = 0;  // blocks the header announces; for information only
  std::uint16_t block_mib = 0;
  std::uint8_t method = 0;
  std::uint8_t* out_buf = nullptr;  // block: owned, released by the output writer
  const char* out_path = nullptr;
  std::uint8_t filter = 0;
  std::int32_t out_len = 0;
  std::uint64_t queued_jobs = 0;  // file_end: decode jobs queued for `output`, at least 1
  std::uint64_t reserved = 0;     // block, dropped: budget bytes released once the block is done
};

// The write queue, the outputs its writer holds, which the file decoder may have to wait for, and
// the memory budget of the blocks on their way to it.
class WriteQueue : public JobQueue<WriteJob> {
 public:
  explicit WriteQueue(int capacity) : JobQueue<WriteJob>(capacity) {}
  OutputTracker outputs;
  MemoryBudget budget;
};

// The decode queue; its consumers push their results to `downstream`, the write queue, and decode
// in one of `slots` at a time.
class DecodeQueue : public JobQueue<codec::DecodeJob> {
 public:
  DecodeQueue(int capacity, WriteQueue* downstream)
      : JobQueue<codec::DecodeJob>(capacity), downstream(downstream) {}
  WriteQueue* const downstream;
  DecodeSlots slots;
  // Workers put their blocks to outputs that take them in any order themselves, instead of
  // handing them to the writer. Set before the workers start.
  bool workers_put = false;
};

// The stop decode job: a null in_buf, which no queued block has (even an empty block owns its
// input slack). Its method is 255, though a worker looks at in_buf alone, so a file whose
// header names method 255 stops nobody.
inline codec::DecodeJob stop_decode_job() {
  codec::DecodeJob job;
  job.method = 255;
  return job;
}

inline bool is_stop_decode_job(const codec::DecodeJob& job) { return job.in_buf == nullptr; }

inline WriteJob stop_write_job() { return WriteJob{}; }

}  // namespace uq::pipeline
