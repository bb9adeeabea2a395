// sync_file: the test observer, the same on every system, then the system's own flush.
#include "platform/file_sync.h"

#include <atomic>

namespace uq::platform {

namespace {
std::atomic<SyncObserver> observer{nullptr};
}  // namespace

int sync_file(int fd) {
  if (const SyncObserver seen = observer.load(); seen != nullptr) seen(fd);
  return detail::flush_to_disk(fd);
}

void set_sync_observer(SyncObserver seen) { observer.store(seen); }

}  // namespace uq::platform
