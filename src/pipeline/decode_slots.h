// How many blocks are decoded at once. Every worker the user asked for runs, but no more of them
// decode at a time than there are processors: sixteen decoders time-sliced over two processors
// took 1.32x the time of two, their models and buffers evicted from the caches at every switch.
#pragma once

#include <condition_variable>
#include <mutex>

namespace uq::pipeline {

class DecodeSlots {
 public:
  // Set before the workers start; at least 1.
  void set_limit(int slots) { limit_ = slots < 1 ? 1 : slots; }
  int limit() const { return limit_; }

  // Waits for a free slot and takes it.
  void take() {
    std::unique_lock lock(mutex_);
    free_slot_.wait(lock, [&] { return busy_ < limit_; });
    ++busy_;
  }

  void give_back() {
    {
      std::lock_guard lock(mutex_);
      --busy_;
    }
    free_slot_.notify_one();
  }

 private:
  int limit_ = 1 << 30;
  std::mutex mutex_;
  std::condition_variable free_slot_;
  int busy_ = 0;
};

}  // namespace uq::pipeline
