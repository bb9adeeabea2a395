// Output paths of the plain and the recursive run.
#include "cli/output_path.h"

#include "platform/paths.h"

namespace uq::cli {

using platform::kDirSeparator;

std::string join_output_path(const std::string& destination, const std::string& tail) {
  std::string path = destination;
  if (path.empty() || path.back() != kDirSeparator) path += kDirSeparator;
  return path + tail;
}

std::string plain_tail(const std::string& input_path) {
  std::size_t slash = input_path.rfind(kDirSeparator);
  return slash == std::string::npos ? input_path : input_path.substr(slash + 1);
}

std::string recursive_tail(const std::string& input_path, const std::string& argument) {
  std::size_t slash = argument.rfind(kDirSeparator);
  if (slash == std::string::npos) return input_path;
  return input_path.substr(slash + 1);
}

}  // namespace uq::cli
