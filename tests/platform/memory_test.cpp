// The process's own memory limits, read in a child that sets them (the test process keeps its
// own: the sanitizers map far more address space than any limit a test could set).
#include "platform/memory.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

namespace uq::platform {
namespace {

// Runs `check` in a child with the soft limits `as` and `data` (RLIM_INFINITY: none); true when
// it holds there.
bool holds_with_limits(rlim_t as, rlim_t data, const std::function<bool()>& check) {
  const pid_t pid = fork();
  if (pid == 0) {
    rlimit lim{};
    getrlimit(RLIMIT_AS, &lim);
    lim.rlim_cur = as;
    if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(2);
    getrlimit(RLIMIT_DATA, &lim);
    lim.rlim_cur = data;
    if (setrlimit(RLIMIT_DATA, &lim) != 0) _exit(2);
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Memory, TheTighterOfTheAddressSpaceAndDataLimits) {
  rlimit as{};
  rlimit data{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &as), 0);
  ASSERT_EQ(getrlimit(RLIMIT_DATA, &data), 0);
  if (as.rlim_max != RLIM_INFINITY || data.rlim_max != RLIM_INFINITY) GTEST_SKIP() << "hard limits set";
  const std::uint64_t gib = std::uint64_t{1} << 30;
  EXPECT_TRUE(holds_with_limits(RLIM_INFINITY, RLIM_INFINITY, [] { return !address_space_limit().has_value(); }));
  EXPECT_TRUE(holds_with_limits(900 * gib, RLIM_INFINITY, [&] { return address_space_limit() == 900 * gib; }));
  EXPECT_TRUE(holds_with_limits(RLIM_INFINITY, 700 * gib, [&] { return address_space_limit() == 700 * gib; }));
  EXPECT_TRUE(holds_with_limits(900 * gib, 700 * gib, [&] { return address_space_limit() == 700 * gib; }));
  EXPECT_TRUE(holds_with_limits(500 * gib, 700 * gib, [&] { return address_space_limit() == 500 * gib; }));
}

}  // namespace
}  // namespace uq::platform
