// A decode worker's loop. A block that fails is reported and dropped, never the worker: a worker
// that ended early would leave the file decoder waiting on a decode queue nobody serves.
#include "pipeline/decode_worker.h"

#include <cstdio>

#include "codec/block_buffers.h"
#include "codec/block_restore.h"
#include "pipeline/output.h"
#include "report/report.h"

namespace uq::pipeline {

WriteJob decode_one(codec::DecodeJob& job, bool put_here) {
  WriteJob out;
  out.output = job.output;
  out.block_index = job.block_index;
  out.out_offset = job.out_offset;
  out.block_count = job.block_count;
  out.block_mib = job.block_mib;
  out.method = job.method;
  out.out_path = job.out_path;
  out.filter = job.filter;
  out.out_len = job.out_len;
  out.reserved = job.reserved;
  report::Reporter& reporter = job.output->reporter();

  // What the file decoder printed goes out before anything this block may print.
  std::fflush(stdout);
  codec::RestoredBlock restored = codec::restore_block(job);
  switch (restored.status) {
    case codec::BlockStatus::ok:
      if (restored.result != job.out_len) {
        reporter.block_length_differs(job.output->path(), restored.result, job.out_len);
      }
      out.kind = WriteKind::block;
      out.out_buf = restored.out_buf;
      if (put_here && job.output->puts_in_any_order()) {
        if (!job.output->put(job.block_index, job.out_offset, restored.out_buf, static_cast<std::size_t>(job.out_len))) {
          report::stop_flag.fetch_add(1);
        }
        codec::release_buffer(restored.out_buf);
        out.kind = WriteKind::put;
        out.out_buf = nullptr;
      }
      break;
    case codec::BlockStatus::no_memory:
      // Every later block would fail alike: the file decoder stops queuing once it sees the flag.
      report::stop_flag.fetch_add(1);
      reporter.no_memory();
      out.kind = WriteKind::lost;
      break;
    case codec::BlockStatus::corrupt:
      // Only this file is damaged, so the run goes on.
      reporter.block_damaged(job.output->path(), job.block_index, restored.result, job.out_len);
      out.kind = WriteKind::dropped;
      break;
  }
  std::fflush(stdout);
  return out;
}

bool decode_before(const codec::DecodeJob& later, const codec::DecodeJob& earlier) {
  return later.output == earlier.output && later.output != nullptr && later.output->puts_in_any_order() &&
         later.comp_len > earlier.comp_len;
}

void run_decode_worker(DecodeQueue& queue) {
  // A slot first, then jobs: the workers waiting for a slot hold no block, so the blocks in
  // flight are the queued ones and those being decoded. The slot is kept until the stop job, as
  // every worker does the same work: given back after each block, it woke a sleeping worker every
  // time, and -p16 on two processors took 1.07-1.2x the wall time of -p2 over 1,000 blocks.
  queue.slots.take();
  for (;;) {
    codec::DecodeJob job = queue.pop_preferred(decode_before);
    if (is_stop_decode_job(job)) {
      queue.slots.give_back();
      return;
    }
    queue.downstream->push(decode_one(job, queue.workers_put));
  }
}

}  // namespace uq::pipeline
