// Making a file's bytes durable before a rename publishes it.
#pragma once

namespace uq::platform {

// Writes the data and the size of the open file `fd` through to the disk (fsync), so that a
// rename done afterwards can't survive a crash without them. Gives 0, or the errno of the failure.
// Every port must flush through to stable storage here, not just to the system's cache.
int sync_file(int fd);

// For tests: called with the descriptor at the start of every sync_file; null (the default) for
// none. Set it only while no other thread syncs.
using SyncObserver = void (*)(int fd);
void set_sync_observer(SyncObserver observer);

namespace detail {
// The system's own flush behind sync_file (file_sync_posix.cpp, file_sync_windows.cpp).
int flush_to_disk(int fd);
}  // namespace detail

}  // namespace uq::platform
