// A process started without some of its standard streams: each gets the null device, so that the
// next file opened can't take its number, and the ones that were missing are told.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/system.h"

namespace uq::platform {
namespace {

TEST(StandardStreams, MissingOnesGetTheNullDeviceAndAreTold) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The child reports by its exit status alone: 0, or the number of the first check that failed.
    ::close(0);
    ::close(2);
    if (missing_standard_streams().input_closed) ::_exit(1);
    guard_standard_streams();
    for (int fd = 0; fd < 3; ++fd) {
      if (::fcntl(fd, F_GETFD) == -1) ::_exit(2 + fd);
    }
    const StandardStreams& missing = missing_standard_streams();
    if (!missing.input_closed || missing.output_closed || !missing.error_closed) ::_exit(5);
    const int next = ::open("/dev/null", O_RDONLY);
    ::_exit(next > 2 ? 0 : 6);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace uq::platform
