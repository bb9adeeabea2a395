// Stream positions over ftello and fseeko, whose off_t is 64 bits wide here.
#include "platform/stream_position.h"

#include <cerrno>
#include <limits>

namespace uq::platform {

std::int64_t stream_position(std::FILE* stream) {
  const off_t at = ftello(stream);
  return at < 0 ? -1 : static_cast<std::int64_t>(at);
}

int seek_stream(std::FILE* stream, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EOVERFLOW;
  return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : errno;
}

int skip_in_stream(std::FILE* stream, std::uint64_t bytes) {
  if (bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EOVERFLOW;
  return fseeko(stream, static_cast<off_t>(bytes), SEEK_CUR) == 0 ? 0 : errno;
}

}  // namespace uq::platform
