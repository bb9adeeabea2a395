// The memory budget: a byte count under a mutex, and a wait for room.
#include "pipeline/memory_budget.h"

#include <algorithm>

namespace uq::pipeline {

void MemoryBudget::acquire(std::uint64_t bytes) {
  std::unique_lock lock(mutex_);
  const auto fits = [&] { return in_flight_ == 0 || (in_flight_ <= limit_ && bytes <= limit_ - in_flight_); };
  if (!fits()) {
    ++waiting_;
    room_.wait(lock, fits);
    --waiting_;
  }
  in_flight_ += bytes;
  peak_ = std::max(peak_, in_flight_);
}

bool MemoryBudget::try_acquire(std::uint64_t bytes, std::uint64_t keep_free) {
  std::lock_guard lock(mutex_);
  const bool fits =
      in_flight_ <= limit_ && keep_free <= limit_ - in_flight_ && bytes <= limit_ - in_flight_ - keep_free;
  if (in_flight_ != 0 && !fits) return false;
  in_flight_ += bytes;
  peak_ = std::max(peak_, in_flight_);
  return true;
}

void MemoryBudget::release(std::uint64_t bytes) {
  {
    std::lock_guard lock(mutex_);
    in_flight_ -= std::min(bytes, in_flight_);
  }
  room_.notify_all();
}

std::uint64_t MemoryBudget::in_flight() const {
  std::lock_guard lock(mutex_);
  return in_flight_;
}

std::uint64_t MemoryBudget::peak() const {
  std::lock_guard lock(mutex_);
  return peak_;
}

int MemoryBudget::waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

}  // namespace uq::pipeline
