// Process-level services over GetProcessAffinityMask, SetErrorMode, the C runtime's descriptors
// and TerminateProcess.
#include "platform/system.h"

#include <fcntl.h>
#include <io.h>
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

void ignore_file_size_signal() {}

// The C runtime has no text for the few POSIX values it does not know but the programs report
// (a directory loop); those get the text that POSIX systems give.
const char* error_text(int err) {
  if (err == ELOOP) return "Too many levels of symbolic links";
  return std::strerror(err);
}

namespace {
StandardStreams missing;
}  // namespace

// A descriptor from 0 to 2 whose handle is missing (a process started detached, or with a
// handle closed) gets the null device, so that a file opened later can't land on it.
void guard_standard_streams() {
  bool* const closed[3] = {&missing.input_closed, &missing.output_closed, &missing.error_closed};
  const DWORD which[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int fd = 0; fd < 3; ++fd) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (handle != INVALID_HANDLE_VALUE && handle != reinterpret_cast<HANDLE>(-2) && handle != nullptr) continue;
    *closed[fd] = true;
    const int null_fd = _wopen(L"NUL", (fd == 0 ? _O_RDONLY : _O_WRONLY) | _O_BINARY);
    if (null_fd < 0) continue;
    if (null_fd != fd) {
      _dup2(null_fd, fd);
      _close(null_fd);
    }
    SetStdHandle(which[fd], reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
  }
}

const StandardStreams& missing_standard_streams() { return missing; }

void exit_now(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  // At once: ExitProcess would first let the C runtime tidy up under the live threads.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace uq::platform
