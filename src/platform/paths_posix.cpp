// Path conventions on POSIX: a name is matched byte for byte.
#include "platform/paths.h"

namespace uq::platform {

std::string name_key(const std::string& path) { return path; }

}  // namespace uq::platform
