// The tests' system services on Windows.
#include "support/os.h"

#include <io.h>
#include <windows.h>

namespace uq::test {

const bool kWindows = true;
const char* const kProgramSuffix = ".exe";
const int kBrokenPipeStatus = 1;

int make_symlink(const char*, const char*) { return -1; }

namespace {

std::wstring wide(const char* path) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path, -1, out.data(), size);
  return out;
}

std::uint64_t file_index(const BY_HANDLE_FILE_INFORMATION& info) {
  return (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

}  // namespace

int make_hard_link(const char* target, const char* link) {
  return CreateHardLinkW(wide(link).c_str(), wide(target).c_str(), nullptr) ? 0 : -1;
}

int make_fifo(const std::string&) { return -1; }

bool make_null_device(const std::string&) { return false; }

bool file_status(const std::string& path, FileStatus* status) {
  // Directories open only with backup semantics; any sharing, so that the file stays usable.
  HANDLE file = CreateFileW(wide(path.c_str()).c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!known) return false;
  // FILETIME counts 100 ns since 1601; 11644473600 s lie between 1601 and 1970.
  const std::int64_t ticks = static_cast<std::int64_t>(
      (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime);
  *status = {0, {ticks / 10000000 - 11644473600, static_cast<long>(ticks % 10000000) * 100}, file_index(info)};
  return true;
}

std::uint64_t descriptor_file_id(int fd) {
  BY_HANDLE_FILE_INFORMATION info{};
  const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info) ? file_index(info) : 0;
}

int set_mode(const std::string&, unsigned) { return -1; }
int set_times(const std::string&, FileTime, FileTime) { return -1; }

int open_descriptors() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return static_cast<int>(count);
}

bool running_as_root() { return false; }

std::int64_t allocated_bytes(const std::string& path) {
  DWORD high = 0;
  const DWORD low = GetCompressedFileSizeW(wide(path.c_str()).c_str(), &high);
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
