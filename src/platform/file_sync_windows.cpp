// sync_file over FlushFileBuffers, which writes the file's data and metadata through to the disk.
#include "platform/file_sync.h"

#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>

#include "platform/windows_common.h"

namespace uq::platform {

namespace {
std::atomic<SyncObserver> observer{nullptr};
}  // namespace

int sync_file(int fd) {
  if (const SyncObserver seen = observer.load(); seen != nullptr) seen(fd);
  const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (file == INVALID_HANDLE_VALUE) return EBADF;
  return FlushFileBuffers(file) ? 0 : windows::last_errno();
}

void set_sync_observer(SyncObserver seen) { observer.store(seen); }

}  // namespace uq::platform
