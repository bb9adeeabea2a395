// The outputs in flight that a new output must wait for: the same file by any name, or the input
// their pending copies read; and a wait for any close, for a free descriptor. Each wait is shown
// blocked before the close that must end it, and bounded, so a close that wakes nobody fails in
// seconds.
#include "pipeline/output_tracker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/bounded.h"
#include "support/os.h"
#include "support/temp_dir.h"

namespace uq::pipeline {
namespace {

// Outputs are only compared by address here.
const Output* output(int n) { return reinterpret_cast<const Output*>(static_cast<std::uintptr_t>(0x1000 * n)); }

class Tracker : public ::testing::Test {
 protected:
  void SetUp() override {
    test::write_file(dir_ / "out", {'o'});
    test::write_file(dir_ / "in", {'i'});
    test::write_file(dir_ / "other", {'x'});
    // Another name for "out": a symbolic link, or on Windows, which has none to make here, a hard link.
    const std::string link = dir_ / "link";
    ASSERT_EQ(test::kWindows ? test::make_hard_link((dir_ / "out").c_str(), link.c_str())
                             : test::make_symlink("out", link.c_str()),
              0);
  }

  // Starts a wait for `path` on a thread of its own and gives once it is blocked in it.
  std::jthread blocked_wait_for(const std::string& path) {
    std::jthread waiter([this, path] {
      tracker_.wait_until_closed(path);
      woken_.store(true);
    });
    EXPECT_TRUE(test::eventually([&] { return tracker_.waiting() == 1; })) << path;
    EXPECT_FALSE(woken_.load()) << path;
    return waiter;
  }

  test::Watchdog watchdog_{std::chrono::seconds(30)};
  test::TempDir dir_;
  OutputTracker tracker_;
  std::atomic<bool> woken_{false};
};

TEST_F(Tracker, ANewOutputWaitsForThePendingOneOfTheSameFileByAnyName) {
  tracker_.handed_over(output(1), dir_ / "out");
  tracker_.handed_over(output(2), dir_ / "other");
  std::jthread waiter = blocked_wait_for(dir_ / "link");
  tracker_.closed(output(2));  // another file: still waiting
  EXPECT_EQ(tracker_.waiting(), 1);
  tracker_.closed(output(1));
  EXPECT_TRUE(test::eventually([&] { return woken_.load(); }));
  EXPECT_EQ(tracker_.pending(), 0);
}

TEST_F(Tracker, ANewOutputWaitsForThePendingCopiesThatReadIt) {
  tracker_.handed_over(output(1), dir_ / "out", dir_ / "in");
  std::jthread waiter = blocked_wait_for(dir_ / "in");
  tracker_.closed(output(1));
  EXPECT_TRUE(test::eventually([&] { return woken_.load(); }));
}

TEST_F(Tracker, NothingToWaitForReturnsAtOnce) {
  tracker_.wait_until_closed(dir_ / "out");  // nothing pending
  tracker_.handed_over(output(1), dir_ / "out", dir_ / "in");
  tracker_.wait_until_closed(dir_ / "other");
  tracker_.wait_until_closed(dir_ / "absent");
  EXPECT_EQ(tracker_.waiting(), 0);
  EXPECT_EQ(tracker_.pending(), 1);
}

TEST_F(Tracker, AWaitForAnyCloseEndsAtTheNextClose) {
  EXPECT_FALSE(tracker_.wait_for_a_close());  // none pending
  tracker_.handed_over(output(1), dir_ / "out");
  tracker_.handed_over(output(2), dir_ / "other");
  std::jthread waiter([this] {
    EXPECT_TRUE(tracker_.wait_for_a_close());
    woken_.store(true);
  });
  ASSERT_TRUE(test::eventually([&] { return tracker_.waiting() == 1; }));
  tracker_.closed(output(2));
  EXPECT_TRUE(test::eventually([&] { return woken_.load(); }));
  EXPECT_EQ(tracker_.pending(), 1);
}

}  // namespace
}  // namespace uq::pipeline
