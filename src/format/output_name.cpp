// Output naming: ".qvx" (any case) is cut off the output path; any other path gets ".out".
#include "format/output_name.h"

#include <strings.h>

namespace uq::format {

namespace {

constexpr const char kExtension[] = ".qvx";
constexpr std::size_t kExtensionLength = sizeof kExtension - 1;

}  // namespace

std::string output_name(const std::string& output_path) {
  if (output_path.size() >= kExtensionLength &&
      strncasecmp(output_path.c_str() + output_path.size() - kExtensionLength, kExtension,
                  kExtensionLength) == 0) {
    return output_path.substr(0, output_path.size() - kExtensionLength);
  }
  return output_path + ".out";
}

}  // namespace uq::format
