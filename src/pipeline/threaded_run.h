// Start and end of a run: the queues, the decode workers and the output writer.
#pragma once

namespace uq::pipeline {

// Ends the process with `status` after a fatal condition (an output or directory that can't be
// made). Prints nothing itself.
[[noreturn]] void fatal_exit(int status);

}  // namespace uq::pipeline
