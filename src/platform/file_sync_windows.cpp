// The flush behind sync_file: FlushFileBuffers, which writes the file's data and metadata
// through to the disk.
#include "platform/file_sync.h"

#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/windows_common.h"

namespace uq::platform::detail {

int flush_to_disk(int fd) {
  const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (file == INVALID_HANDLE_VALUE) return EBADF;
  return FlushFileBuffers(file) ? 0 : windows::last_errno();
}

}  // namespace uq::platform::detail
