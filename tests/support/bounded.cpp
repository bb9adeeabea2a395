// Polling with a deadline, and a watchdog thread that ends the process.
#include "support/bounded.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace uq::test {

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

Watchdog::Watchdog(std::chrono::seconds limit) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "the test";
  thread_ = std::thread([this, limit, name] {
    std::unique_lock lock(mutex_);
    if (done_signal_.wait_for(lock, limit, [this] { return done_; })) return;
    std::fprintf(stderr, "%s is still running after %lld s: a wait that is never woken\n", name.c_str(),
                 static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::_Exit(1);
  });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  done_signal_.notify_all();
  thread_.join();
}

}  // namespace uq::test
