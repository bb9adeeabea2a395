// Standard streams over GetStdHandle, GetConsoleMode, _setmode and WriteFile.
#include "platform/standard_streams.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/windows_common.h"

namespace uq::platform {

namespace {

HANDLE handle_of(StandardStream stream) {
  switch (stream) {
    case StandardStream::input: return GetStdHandle(STD_INPUT_HANDLE);
    case StandardStream::output: return GetStdHandle(STD_OUTPUT_HANDLE);
    case StandardStream::error: return GetStdHandle(STD_ERROR_HANDLE);
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

// A console, not any character device: the C runtime's _isatty also says yes for NUL.
bool is_terminal(StandardStream stream) {
  DWORD mode = 0;
  return GetConsoleMode(handle_of(stream), &mode) != 0;
}

// The C runtime opens standard input and output in text mode, which would turn "\n" into
// "\r\n" on the way out and stop at a Ctrl-Z on the way in.
void use_binary_standard_streams() {
  std::fflush(stdout);
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

// A pipe's buffer is set by whoever makes the pipe.
void widen_standard_output_pipe() {}

int write_standard_output(const std::uint8_t* data, std::size_t size) {
  HANDLE out = handle_of(StandardStream::output);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return EBADF;
  while (size > 0) {
    DWORD put = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size, std::size_t{1} << 30));
    if (!WriteFile(out, data, chunk, &put, nullptr)) return windows::last_errno();
    if (put == 0) return ENOSPC;
    data += put;
    size -= put;
  }
  return 0;
}

// Windows has no signal for a reader that went away: the write fails, and the process ends
// quietly with status 1.
void end_by_broken_pipe() {
  std::fflush(stderr);
  _exit(1);
}

}  // namespace uq::platform
