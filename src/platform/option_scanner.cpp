// OptionScanner over getopt_long: the same code on both systems.
#include "platform/option_scanner.h"

#include <getopt.h>

#include <vector>

namespace uq::platform {

OptionScanner::OptionScanner(int argc, char** argv, const char* short_options,
                             std::span<const LongOption> long_options)
    : argc_(argc), argv_(argv), short_options_(short_options), long_options_(long_options) {
  opterr = 0;
  optind = 0;  // a full restart, for a process that parses more than one command line
}

int OptionScanner::next(int& long_index) {
  std::vector<option> table;
  table.reserve(long_options_.size() + 1);
  for (const LongOption& o : long_options_) {
    table.push_back({o.name, o.takes_value ? required_argument : no_argument, nullptr, o.code});
  }
  table.push_back({nullptr, 0, nullptr, 0});
  long_index = -1;
  const int c = getopt_long(argc_, argv_, short_options_, table.data(), &long_index);
  value_ = optarg;
  mistaken_ = optopt;
  next_argument_ = optind;
  return c;
}

}  // namespace uq::platform
