// Stream positions over _ftelli64 and _fseeki64, the C runtime's 64-bit calls.
#include "platform/stream_position.h"

#include <cerrno>
#include <cstdint>

namespace uq::platform {

std::int64_t stream_position(std::FILE* stream) {
  const __int64 at = _ftelli64(stream);
  return at < 0 ? -1 : static_cast<std::int64_t>(at);
}

int seek_stream(std::FILE* stream, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return EOVERFLOW;
  return _fseeki64(stream, static_cast<__int64>(offset), SEEK_SET) == 0 ? 0 : errno;
}

int skip_in_stream(std::FILE* stream, std::uint64_t bytes) {
  if (bytes > static_cast<std::uint64_t>(INT64_MAX)) return EOVERFLOW;
  return _fseeki64(stream, static_cast<__int64>(bytes), SEEK_CUR) == 0 ? 0 : errno;
}

}  // namespace uq::platform
