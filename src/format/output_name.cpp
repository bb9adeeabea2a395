// Output naming: ".qvx" (any case) is cut off the output path; any other path gets ".out".
#include "format/output_name.h"

#include <cctype>

namespace uq::format {

namespace {

constexpr const char kExtension[] = ".qvx";
constexpr std::size_t kExtensionLength = sizeof kExtension - 1;

// Whether `text` ends with `suffix`, ASCII letters in either case (as strncasecmp compares in
// the C locale).
bool ends_with_any_case(const std::string& text, const char* suffix, std::size_t length) {
  if (text.size() < length) return false;
  const char* tail = text.c_str() + text.size() - length;
  for (std::size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(tail[i])) != std::tolower(static_cast<unsigned char>(suffix[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string output_name(const std::string& output_path) {
  if (ends_with_any_case(output_path, kExtension, kExtensionLength)) {
    return output_path.substr(0, output_path.size() - kExtensionLength);
  }
  return output_path + ".out";
}

}  // namespace uq::format
