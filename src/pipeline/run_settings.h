// The run's thread settings, fixed by the run driver before any thread starts and read-only after.
#pragma once

#include <cstdint>

namespace uq::pipeline {

// Most decode workers a run starts.
inline constexpr std::int32_t kMaxWorkers = 16;

// Decode workers of the run, 0 to 16; 0 is the run without workers, in which the file decoder
// decodes and writes every block itself. Also the capacity of both job queues.
extern std::int32_t thread_count;

// Whether blocks go to decode workers: set once the workers have started (a run whose workers
// all failed to start goes on without them).
extern bool run_has_workers;

}  // namespace uq::pipeline
