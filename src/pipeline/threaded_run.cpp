// Start and end of a run.
#include "pipeline/threaded_run.h"

#include "platform/system.h"

namespace uq::pipeline {

void fatal_exit(int status) { platform::exit_now(status); }

}  // namespace uq::pipeline
