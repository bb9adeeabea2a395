// The decode worker: turns decode jobs into write jobs until it takes its stop decode job.
#pragma once

#include "pipeline/queues.h"

namespace uq::pipeline {

// Restores one block (it takes job.in_buf over) and gives the write job for it: a block to
// write, or a dropped block after a reported failure. With `put_here`, a block whose output
// takes blocks in any order is put here and now, and its job only counts it (WriteKind::put).
// Raises the stop flag when memory ran out or the put failed.
WriteJob decode_one(codec::DecodeJob& job, bool put_here = false);

// Whether a worker takes the queued job `later` before `earlier`. Of the blocks queued for one
// file that takes its blocks in any order, the one with the most compressed bytes, which likely
// takes longest, is decoded first, so that the last to finish are short: -p2 took 0.86 to 1.00
// of the wall time on the bench's five 16 MiB files in 4 MiB blocks (0.93 on text). The blocks
// of other files keep their order, and none is taken before an earlier file's.
bool decode_before(const codec::DecodeJob& later, const codec::DecodeJob& earlier);

// Thread entry of a decode worker: pops from `queue`, pushes to its downstream write queue, and
// ends only on the stop decode job, so every job queued before that job is taken.
void run_decode_worker(DecodeQueue& queue);

}  // namespace uq::pipeline
