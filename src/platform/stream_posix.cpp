// The input stream's file over fileno, fstat, ftello, fseeko and fcntl.
#include "platform/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace uq::platform {

std::FILE* open_input(const char* path) { return std::fopen(path, "rb"); }

std::optional<std::uint64_t> regular_file_size(std::FILE* stream) {
  struct stat st {};
  const int fd = fileno(stream);
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

// pread never moves a descriptor's offset, so a duplicate sharing the stream's is enough.
int duplicate_input(std::FILE* stream) {
  const int fd = fileno(stream);
  return fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

void close_input(int descriptor) { ::close(descriptor); }

void lock_stream(std::FILE* stream) { flockfile(stream); }
void unlock_stream(std::FILE* stream) { funlockfile(stream); }

}  // namespace uq::platform
