// The console reporter: each message that has two parts (a line, then its numbered report) is one
// uninterrupted write, however many threads report at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "report/reporter.h"
#include "support/expected.h"
#include "support/os.h"

namespace uq::report {
namespace {

TEST(ConsoleReporter, TwoPartMessagesStayWholeUnderManyThreads) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  Reporter& reporter = console_reporter();
  testing::internal::CaptureStdout();
  // A thread that takes standard output's lock the moment it is free, without ever sleeping on
  // it: a message whose two parts were two separate holds of the lock would be split by its line.
  std::atomic<bool> done{false};
  std::thread spinner([&] {
    while (!done.load()) {
      if (test::try_lock_stream(stdout)) {
        std::fputs("-\n", stdout);
        test::unlock_stream(stdout);
      }
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        switch ((t + i) % 3) {
          case 0: reporter.data_short(i, EIO, 100, 7); break;
          case 1: reporter.block_damaged("out/f" + std::to_string(t), i, -1, 16); break;
          default: reporter.not_qvx("in/g" + std::to_string(t)); break;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  done.store(true);
  spinner.join();
  const std::string out = testing::internal::GetCapturedStdout();

  const std::string read_report = "err=" + std::string(std::strerror(EIO)) + ", 100,7 " +
                                  test::errno_report_line(103, EIO);
  int reads = 0, damaged = 0, headers = 0;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line == "-") continue;
    if (line.rfind("err=", 0) == 0) {
      ASSERT_EQ(line + "\n", read_report);
      ++reads;
    } else if (line.rfind("Fatal Error in decomp", 0) == 0) {
      std::string next;
      ASSERT_TRUE(std::getline(lines, next));
      ASSERT_EQ(next + "\n", test::report_line(105)) << line;
      ++damaged;
    } else {
      ASSERT_EQ(line.rfind("'in/g", 0), 0u) << line;
      std::string next;
      ASSERT_TRUE(std::getline(lines, next));
      ASSERT_EQ(next + "\n", test::report_line(104)) << line;
      ++headers;
    }
  }
  EXPECT_EQ(reads + damaged + headers, kThreads * kRounds);
}

TEST(ConsoleReporter, IncompleteOutputsAreNamedOnStandardError) {
  testing::internal::CaptureStderr();
  console_reporter().incomplete("out/a", 3, 8);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "'out/a' is incomplete: 3 of 8 blocks not written\n");
}

}  // namespace
}  // namespace uq::report
