// Temporary files and their renames over CreateFileW (CREATE_NEW), SetFileInformationByHandle,
// SetFileTime and MoveFileExW; interruptions through a console control handler.
#include "platform/replaced_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/windows_common.h"

namespace uq::platform {

namespace {

using windows::last_errno;
using windows::wide_path;

void (*interruption_cleanup)() = nullptr;

// Runs on a thread of its own. FALSE hands the event on to the system's handler, which ends the
// process as it would have ended without this one.
BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    if (interruption_cleanup != nullptr) interruption_cleanup();
  }
  return FALSE;
}

FILETIME file_time(const FileTime& time) {
  // 100-nanosecond intervals since 1601; 1970 is this many of them later.
  constexpr std::int64_t kEpochDifference = 116444736000000000;
  const auto ticks = static_cast<std::uint64_t>(time.seconds * 10000000 + time.nanoseconds / 100 + kEpochDifference);
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

}  // namespace

// Others may read and delete it meanwhile, as on POSIX: the interruption's cleanup deletes it
// while it is open.
int create_new_file(const std::string& path) {
  HANDLE file = CreateFileW(wide_path(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = last_errno();
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    const int err = errno;
    CloseHandle(file);
    DeleteFileW(wide_path(path).c_str());
    errno = err;
  }
  return fd;
}

int open_for_reading(const std::string& path) {
  HANDLE file = CreateFileW(wide_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = last_errno();
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (fd < 0) CloseHandle(file);
  return fd;
}

std::uint32_t new_file_mode() { return 0666; }

// Windows keeps one permission of its own: read-only, which a mode without the owner's write
// bit stands for.
int set_file_mode(int fd, std::uint32_t mode) {
  HANDLE file = handle_of(fd);
  FILE_BASIC_INFO info{};
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info)) return last_errno();
  const DWORD before = info.FileAttributes;
  if ((mode & 0200) == 0) {
    info.FileAttributes |= FILE_ATTRIBUTE_READONLY;
  } else {
    info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  }
  if (info.FileAttributes == before) return 0;
  if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  // Zero times are left as they are.
  info.CreationTime.QuadPart = info.LastAccessTime.QuadPart = info.LastWriteTime.QuadPart = info.ChangeTime.QuadPart = 0;
  return SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info) ? 0 : last_errno();
}

int set_file_times(int fd, const FileTime* times) {
  FILETIME accessed;
  FILETIME modified;
  if (times == nullptr) {
    GetSystemTimeAsFileTime(&accessed);
    modified = accessed;
  } else {
    accessed = file_time(times[0]);
    modified = file_time(times[1]);
  }
  return SetFileTime(handle_of(fd), nullptr, &accessed, &modified) ? 0 : last_errno();
}

int rename_without_replacing(const std::string& from, const std::string& to) {
  return MoveFileExW(wide_path(from).c_str(), wide_path(to).c_str(), 0) ? 0 : last_errno();
}

// MoveFileExW refuses to replace a read-only file: its flag goes first, and comes back when the
// rename fails.
int rename_replacing(const std::string& from, const std::string& to) {
  const std::wstring target = wide_path(to);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  const bool read_only = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                         (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only && !SetFileAttributesW(target.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
    return last_errno();
  }
  if (MoveFileExW(wide_path(from).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return 0;
  const int err = last_errno();
  if (read_only) SetFileAttributesW(target.c_str(), attributes);
  return err;
}

void on_interruption(void (*cleanup)()) {
  interruption_cleanup = cleanup;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

// A file still open here is deleted when its last handle closes, at the process's end.
void remove_file_at_once(const char* path) { DeleteFileW(wide_path(path).c_str()); }

// The system's own handler, after ours, ends the process with STATUS_CONTROL_C_EXIT.
void interrupt_as_the_user_would() {
  on_console_event(CTRL_C_EVENT);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace uq::platform
