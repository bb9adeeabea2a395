// The decode worker: turns decode jobs into write jobs until it takes its stop decode job.
#pragma once

#include "pipeline/queues.h"

namespace uq::pipeline {

// Restores one block (it takes job.in_buf over) and gives the write job for it: a block to
// write, or a dropped block after a reported failure. Raises the stop flag when memory ran out.
WriteJob decode_one(codec::DecodeJob& job);

// Thread entry of a decode worker: pops from `queue`, pushes to its downstream write queue, and
// ends only on the stop decode job, so every job queued before that job is taken.
void run_decode_worker(DecodeQueue& queue);

}  // namespace uq::pipeline
