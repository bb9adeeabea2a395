// The recursive run: walks each argument, recreates every directory under the destination and
// restores every compressed file found to the matching place.
#pragma once

#include <string>
#include <vector>

#include "pipeline/queues.h"

namespace uq::cli {

// `inputs` are the non-option arguments before the destination, in command-line order.
void recursive_run(const std::vector<std::string>& inputs, const std::string& destination,
                   bool verbose, pipeline::DecodeQueue& queue);

}  // namespace uq::cli
