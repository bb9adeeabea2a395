// --list and --test: the archives named (or, with -r, found in the trees named) looked into with
// the restore library, printed as a table or as lines for people, or as JSON for scripts.
#pragma once

#include <string>

#include "options.h"

namespace uq::suite {

// Lists the archives of `options`; gives the exit status: 0 when every archive was listed and
// none is odd (records missing, repeated, out of range or cut short), 1 otherwise.
int run_list(const Options& options);

// Tests the archives of `options`; gives the exit status: 0 when every archive is intact, 1 when
// any is damaged or can't be read.
int run_test(const Options& options);

// `text` as a JSON string, quotes included. Bytes that are not UTF-8 become U+FFFD.
std::string json_string(const std::string& text);

}  // namespace uq::suite
