// Storage of the run's thread settings.
#include "pipeline/run_settings.h"

namespace uq::pipeline {

std::int32_t thread_count = 0;
bool run_has_workers = false;

}  // namespace uq::pipeline
