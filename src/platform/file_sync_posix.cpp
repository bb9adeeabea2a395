// sync_file over fsync, with the observer tests use to see when and on what it runs.
#include "platform/file_sync.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace uq::platform {

namespace {
std::atomic<SyncObserver> observer{nullptr};
}  // namespace

int sync_file(int fd) {
  if (const SyncObserver seen = observer.load(); seen != nullptr) seen(fd);
  return ::fsync(fd) == 0 ? 0 : errno;
}

void set_sync_observer(SyncObserver seen) { observer.store(seen); }

}  // namespace uq::platform
