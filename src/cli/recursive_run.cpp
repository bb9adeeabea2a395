// The recursive run. (Placeholder until input enumeration is built.)
#include "cli/recursive_run.h"

namespace uq::cli {

void recursive_run(const std::vector<std::string>&, const std::string&, bool, pipeline::DecodeQueue&) {}

}  // namespace uq::cli
