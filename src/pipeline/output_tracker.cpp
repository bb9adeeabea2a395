// Pending outputs kept in a short vector under a mutex: at most about one per block in flight,
// so a linear search costs less than the stat call that goes with it.
#include "pipeline/output_tracker.h"

#include <algorithm>

#include "platform/file_status.h"

namespace uq::pipeline {

OutputTracker::Identity OutputTracker::identity_of(const std::string& path) {
  if (path.empty()) return {};
  const platform::FileStatus status = platform::file_status(path);
  return {status.ok, status.device, status.inode};
}

void OutputTracker::handed_over(const Output* file, const std::string& path, const std::string& source) noexcept {
  Pending entry{file, identity_of(path), identity_of(source)};
  std::lock_guard lock(mutex_);
  try {
    pending_.push_back(entry);
  } catch (...) {
    // Without room to remember it, the output can only miss the same-name wait; the writer
    // still closes it.
  }
}

void OutputTracker::closed(const Output* file) {
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.file == file; });
    if (it == pending_.end()) return;
    pending_.erase(it);
    ++closes_;
  }
  closed_signal_.notify_all();
}

void OutputTracker::wait_until_closed(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return;  // the common case costs no stat
  }
  const Identity file = identity_of(path);
  if (!file.known) return;  // a name that does not exist yet can't be a pending output
  std::unique_lock lock(mutex_);
  if (!is_pending(file)) return;
  ++waiting_;
  closed_signal_.wait(lock, [&] { return !is_pending(file); });
  --waiting_;
}

bool OutputTracker::wait_for_a_close() {
  std::unique_lock lock(mutex_);
  if (pending_.empty()) return false;
  const std::uint64_t seen = closes_;
  ++waiting_;
  closed_signal_.wait(lock, [&] { return closes_ != seen; });
  --waiting_;
  return true;
}

int OutputTracker::pending() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(pending_.size());
}

int OutputTracker::waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

bool OutputTracker::is_pending(const Identity& file) const {
  return std::any_of(pending_.begin(), pending_.end(),
                     [&](const Pending& p) { return p.output.is(file) || p.source.is(file); });
}

}  // namespace uq::pipeline
