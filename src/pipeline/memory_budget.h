// The memory budget of a threaded run: the block buffers in flight (compressed and restored
// bytes, with their slack) across the decode queue, the workers and the write queue stay within
// a limit, so that a file's block size can't make a run take more memory than the machine has.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace uq::pipeline {

class MemoryBudget {
 public:
  // Without a limit set, nothing ever waits.
  MemoryBudget() = default;
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Set before the run starts.
  void set_limit(std::uint64_t bytes) { limit_ = bytes; }
  std::uint64_t limit() const { return limit_; }

  // Waits until `bytes` more fit within the limit, then counts them as in flight. A request
  // larger than the whole limit goes through alone, once nothing else is in flight, so nothing
  // is ever refused and the run can't wait for ever.
  void acquire(std::uint64_t bytes);

  // Counts `bytes` as in flight when they fit within the limit with `keep_free` bytes still to
  // spare, or when nothing is in flight (alone, as acquire() lets a large request through).
  // Never waits; gives false when the bytes were not counted.
  bool try_acquire(std::uint64_t bytes, std::uint64_t keep_free = 0);

  // The block that held `bytes` is done with them.
  void release(std::uint64_t bytes);

  std::uint64_t in_flight() const;
  // The most that was ever in flight at once.
  std::uint64_t peak() const;
  // Requests waiting for room now.
  int waiting() const;

 private:
  std::uint64_t limit_ = UINT64_MAX;
  mutable std::mutex mutex_;
  std::condition_variable room_;
  std::uint64_t in_flight_ = 0;
  std::uint64_t peak_ = 0;
  int waiting_ = 0;
};

}  // namespace uq::pipeline
