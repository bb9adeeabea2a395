// Bounded waits for tests of code that blocks, so that a fault which leaves a wait unwoken fails
// its test within seconds instead of holding it until CTest's time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace uq::test {

// How long a test waits for what takes milliseconds when all is well: room for a loaded machine
// under the sanitizers, and still a failure in seconds.
inline constexpr std::chrono::seconds kPatience{20};

// Polls `done` until it holds or `patience` has passed; gives whether it held.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds patience = kPatience);

// Ends the test's process, failed, with a line naming the test, when the test is still running
// after `limit`: for tests whose faults block a thread for ever. CTest runs each test in a process
// of its own, so nothing else is lost.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable done_signal_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace uq::test
