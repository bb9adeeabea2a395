// Ends the test process with a message when a test runs longer than it may: a fault that leaves a
// thread waiting for ever then fails in seconds, not when CTest's time-out ends the whole binary.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace uq::test {

class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!done_signal_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: the test ran past %lld s; something waits for ever\n",
                         static_cast<long long>(limit.count()));
            std::_Exit(1);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_signal_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable done_signal_;
  bool done_ = false;
  std::thread thread_;  // last: it starts once the members it uses exist
};

}  // namespace uq::test
