// Process-level services over GetProcessAffinityMask, SetErrorMode and TerminateProcess.
#include "platform/system.h"

#include <windows.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace uq::platform {

int processor_count() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  int count = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
    count = std::popcount(static_cast<std::uint64_t>(process));
  }
  if (count <= 0) {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    count = static_cast<int>(info.dwNumberOfProcessors);
  }
  return count <= 0 ? 1 : count;
}

// Windows has no signals for a closed pipe or a file-size limit: a write there just fails.
// What would stop a run half way instead is the system's dialog for a drive without its disk,
// which waits for someone to click; with it turned off the call fails and is reported.
void ignore_fatal_write_signals() { SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS); }

// The C runtime has no text for the few POSIX values it does not know but the programs report
// (a directory loop); those get the text that POSIX systems give.
const char* error_text(int err) {
  if (err == ELOOP) return "Too many levels of symbolic links";
  return std::strerror(err);
}

void exit_now(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  // At once: ExitProcess would first let the C runtime tidy up under the live threads.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace uq::platform
