// Output paths of the plain and the recursive run.
#include "cli/output_path.h"

#include <algorithm>

#include "platform/paths.h"

namespace uq::cli {

using platform::kDirSeparator;
using platform::kDirSeparators;

std::string join_output_path(const std::string& destination, const std::string& tail) {
  std::string path = destination;
  if (path.empty() || !platform::is_dir_separator(path.back())) path += kDirSeparator;
  return path + tail;
}

std::string plain_tail(const std::string& input_path) {
  std::size_t slash = input_path.find_last_of(kDirSeparators);
  return slash == std::string::npos ? input_path : input_path.substr(slash + 1);
}

std::string recursive_tail(const std::string& input_path, const std::string& argument) {
  std::size_t slash = argument.find_last_of(kDirSeparators);
  const std::size_t last = slash == std::string::npos ? 0 : slash + 1;
  // "." and ".." name a directory by where it is, not by a name of its own: like a trailing
  // separator they put what lies below them straight into the destination. Taken as a name,
  // ".." would put every output one level above the destination.
  if (argument.compare(last, std::string::npos, ".") == 0 || argument.compare(last, std::string::npos, "..") == 0) {
    std::size_t below = std::min(argument.size(), input_path.size());
    if (below < input_path.size() && platform::is_dir_separator(input_path[below])) ++below;
    return input_path.substr(below);
  }
  if (slash == std::string::npos) return input_path;
  return input_path.substr(slash + 1);
}

}  // namespace uq::cli
