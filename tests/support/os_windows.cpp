// The tests' system services on Windows.
#include "support/os.h"

#include <windows.h>

namespace uq::test {

const bool kWindows = true;
const char* const kProgramSuffix = ".exe";
const int kBrokenPipeStatus = 1;

int make_symlink(const char*, const char*) { return -1; }

int make_hard_link(const char* target, const char* link) {
  auto wide = [](const char* path) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path, -1, out.data(), size);
    return out;
  };
  return CreateHardLinkW(wide(link).c_str(), wide(target).c_str(), nullptr) ? 0 : -1;
}

int open_descriptors() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return static_cast<int>(count);
}

bool running_as_root() { return false; }

std::int64_t allocated_bytes(const std::string& path) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), size);
  DWORD high = 0;
  const DWORD low = GetCompressedFileSizeW(wide.c_str(), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return -1;
  return static_cast<std::int64_t>((std::uint64_t{high} << 32) | low);
}

// The C runtime has no try-lock for a stream.
bool try_lock_stream(std::FILE* stream) {
  _lock_file(stream);
  return true;
}
void unlock_stream(std::FILE* stream) { _unlock_file(stream); }

}  // namespace uq::test
