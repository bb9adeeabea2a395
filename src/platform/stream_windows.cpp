// The input stream's file over _wfopen, _fileno, _get_osfhandle and ReOpenFile.
#include "platform/stream.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/windows_common.h"

namespace uq::platform {

namespace {

HANDLE handle_of(std::FILE* stream) {
  const int fd = _fileno(stream);
  return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

}  // namespace

std::FILE* open_input(const char* path) { return _wfopen(windows::wide_path(path).c_str(), L"rb"); }

std::optional<std::uint64_t> regular_file_size(std::FILE* stream) {
  HANDLE file = handle_of(stream);
  LARGE_INTEGER size{};
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

// A positioned ReadFile moves the file pointer of the handle it reads through, and a duplicated
// handle shares that pointer with the stream: the copies read through a handle opened anew.
int duplicate_input(std::FILE* stream) {
  HANDLE file = handle_of(stream);
  if (file == INVALID_HANDLE_VALUE) return -1;
  HANDLE own = ReOpenFile(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
  if (own == INVALID_HANDLE_VALUE) return -1;
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(own), _O_RDONLY | _O_BINARY);
  if (fd < 0) CloseHandle(own);
  return fd;
}

void close_input(int descriptor) { _close(descriptor); }

void lock_stream(std::FILE* stream) { _lock_file(stream); }
void unlock_stream(std::FILE* stream) { _unlock_file(stream); }

}  // namespace uq::platform
