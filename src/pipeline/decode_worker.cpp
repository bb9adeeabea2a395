// A decode worker's loop. A block that fails is reported and dropped, never the worker: a worker
// that ended early would leave the file decoder waiting on a decode queue nobody serves.
#include "pipeline/decode_worker.h"

#include <cstdio>

#include "codec/block_restore.h"
#include "report/report.h"

namespace uq::pipeline {

WriteJob decode_one(format::DecodeJob& job) {
  WriteJob out;
  out.out_file = job.out_file;
  out.block_index = job.block_index;
  out.block_count = job.block_count;
  out.block_mib = job.block_mib;
  out.method = job.method;
  out.out_path = job.out_path;
  out.filter = job.filter;
  out.out_len = job.out_len;

  // What the file decoder printed goes out before anything this block may print.
  std::fflush(stdout);
  codec::RestoredBlock restored = codec::restore_block(job);
  switch (restored.status) {
    case codec::BlockStatus::ok:
      out.kind = WriteKind::block;
      out.out_buf = restored.out_buf;
      break;
    case codec::BlockStatus::no_memory:
      // Every later block would fail alike: the file decoder stops queuing once it sees the flag.
      report::stop_flag.fetch_add(1);
      report::report_error(report::kMallocError);
      out.kind = WriteKind::dropped;
      break;
    case codec::BlockStatus::corrupt:
      // Reported by restore_block; only this file is damaged, so the run goes on.
      out.kind = WriteKind::dropped;
      break;
  }
  std::fflush(stdout);
  return out;
}

void run_decode_worker(DecodeQueue& queue) {
  for (;;) {
    format::DecodeJob job = queue.pop();
    if (is_stop_decode_job(job)) return;
    queue.downstream->push(decode_one(job));
  }
}

}  // namespace uq::pipeline
