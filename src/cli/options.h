// The command line: "-d" first, then options and non-option arguments in any order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/run_settings.h"

namespace uq::cli {

struct Options {
  std::string program_name;        // argv[0] after its last separator, shown in the usage text
  std::vector<std::string> args;   // non-option arguments in order: inputs, then the destination
  std::int32_t thread_count = 0;   // decode workers, 0 to pipeline::kMaxWorkers
  std::int32_t recursive = 0;      // "-r" seen
  std::int32_t verbose = 0;        // "-v" seen
};

// Reads the command line. `processors` is the starting thread count, which "-p<n>" replaces;
// the result is then capped at pipeline::kMaxWorkers (taken as unsigned, so a negative count gives 16).
// When the first argument is not exactly "-d" nothing is examined and `args` stays empty.
Options parse_options(int argc, const char* const* argv, std::int32_t processors);

// The number in `text` read the way atoi reads it (blanks, a sign, digits up to the first other
// character; no digits gives 0), saturated at the 32-bit limits instead of overflowing.
std::int32_t parse_count(const char* text);

// The usage text, as printed on standard error.
std::string usage_text(const std::string& program_name);

}  // namespace uq::cli
