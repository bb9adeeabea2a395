// Output paths: the destination, a separator unless it already ends with one, and a tail taken
// from the input. Names are taken apart at any of platform::kDirSeparators (on Windows "/" as
// well as "\\"); the separator added is platform::kDirSeparator.
#pragma once

#include <string>

namespace uq::cli {

// `destination` + the separator (unless it already ends with one) + `tail`.
std::string join_output_path(const std::string& destination, const std::string& tail);

// Plain run: the input's base name (after its last separator, or all of it).
std::string plain_tail(const std::string& input_path);

// Recursive run: the input's path from the character after the last separator of the argument
// it came from, or all of it when the argument has none. An argument whose last component is "."
// or ".." contributes nothing of its own, as one that ends in a separator does: the tail is the
// path below it.
std::string recursive_tail(const std::string& input_path, const std::string& argument);

}  // namespace uq::cli
