// The flush behind sync_file: fsync.
#include "platform/file_sync.h"

#include <unistd.h>

#include <cerrno>

namespace uq::platform::detail {

int flush_to_disk(int fd) { return ::fsync(fd) == 0 ? 0 : errno; }

}  // namespace uq::platform::detail
