// Bounded first-in-first-out queue of job records copied by value, joining the stages of a
// threaded run: the file decoder feeds decode workers through the decode queue, and the workers
// feed the output writer through the write queue.
#pragma once

#include <array>
#include <cassert>
#include <condition_variable>
#include <mutex>

namespace uq::pipeline {

// Slots in a queue record; a capacity never exceeds it (thread_count is at most 16).
inline constexpr int kQueueSlots = 32;

template <typename Job>
class JobQueue {
 public:
  // `capacity` is the thread count, 0 to kQueueSlots; a queue of capacity 0 exists but is never
  // pushed to (the run without decode workers).
  explicit JobQueue(int capacity) : capacity_(capacity) { assert(capacity >= 0 && capacity <= kQueueSlots); }

  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // Copies `job` in; blocks while the queue is full.
  void push(const Job& job) {
    std::unique_lock lock(mutex_);
    space_signal_.wait(lock, [&] { return count_ < capacity_; });
    slots_[tail_] = job;
    tail_ = (tail_ + 1 == capacity_) ? 0 : tail_ + 1;
    ++count_;
    lock.unlock();
    job_signal_.notify_one();
  }

  // Copies the oldest job out; blocks while the queue is empty.
  Job pop() {
    std::unique_lock lock(mutex_);
    job_signal_.wait(lock, [&] { return count_ > 0; });
    Job job = slots_[head_];
    head_ = (head_ + 1 == capacity_) ? 0 : head_ + 1;
    --count_;
    lock.unlock();
    space_signal_.notify_one();
    return job;
  }

  // Like pop(), but takes the queued job that `prefer` puts first: prefer(later, earlier) is true
  // when the job queued later should be taken before the earlier one. Each job is compared with
  // the choice so far, from the oldest on.
  template <typename Prefer>
  Job pop_preferred(Prefer prefer) {
    std::unique_lock lock(mutex_);
    job_signal_.wait(lock, [&] { return count_ > 0; });
    int chosen = 0;  // places after head_
    for (int i = 1; i < count_; ++i) {
      if (prefer(slots_[slot(i)], slots_[slot(chosen)])) chosen = i;
    }
    Job job = slots_[slot(chosen)];
    // The jobs before the chosen one move up a place, keeping their order.
    for (int i = chosen; i > 0; --i) slots_[slot(i)] = slots_[slot(i - 1)];
    head_ = slot(1);
    --count_;
    lock.unlock();
    space_signal_.notify_one();
    return job;
  }

  int capacity() const { return capacity_; }

  int size() const {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  // The slot `places` after head_.
  int slot(int places) const { return (head_ + places) % capacity_; }

  const int capacity_;
  mutable std::mutex mutex_;
  std::condition_variable space_signal_;  // a pop made room
  std::condition_variable job_signal_;    // a push brought a job
  int head_ = 0;   // the next job to pop
  int tail_ = 0;   // the slot the next push fills
  int count_ = 0;  // jobs held
  std::array<Job, kQueueSlots> slots_{};
};

}  // namespace uq::pipeline
