// Byte streams over the handles beneath the C runtime's descriptors: GetFileType,
// GetFileInformationByHandle, NtQueryInformationFile (a handle's access), ReadFile and WriteFile
// (at an offset an OVERLAPPED record names), and a spool file that Windows deletes when its last
// handle closes.
#include "platform/streams.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/windows_common.h"

namespace uq::platform {

namespace {

using windows::last_errno;

// One call moves at most this much: ReadFile and WriteFile count in 32 bits.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Whether `file` may only append (FILE_APPEND_DATA without FILE_WRITE_DATA): Windows then puts
// every write at the end, one at an offset too. False when its access can't be told.
bool appends_only(HANDLE file) {
  IO_STATUS_BLOCK io{};
  FILE_ACCESS_INFORMATION access{};
  if (NtQueryInformationFile(file, &io, &access, sizeof access, FileAccessInformation) < 0) return false;
  return (access.AccessFlags & FILE_APPEND_DATA) != 0 && (access.AccessFlags & FILE_WRITE_DATA) == 0;
}

OVERLAPPED at(std::uint64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return where;
}

// Reads into `dst` at `offset`, or from the handle's position when `offset` is null. A pipe whose
// writer has gone, and the end of a file, read as the end.
std::int64_t read_loop(int fd, const std::uint64_t* offset, std::uint8_t* dst, std::size_t len) {
  HANDLE file = handle_of(fd);
  if (file == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  std::size_t got = 0;
  while (got < len) {
    DWORD n = 0;
    OVERLAPPED where = at(offset != nullptr ? *offset + got : 0);
    if (!ReadFile(file, dst + got, static_cast<DWORD>(std::min(len - got, kMaxTransfer)), &n,
                  offset != nullptr ? &where : nullptr)) {
      const DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) break;
      errno = windows::errno_from(error);
      return -1;
    }
    if (n == 0) break;
    got += n;
  }
  return static_cast<std::int64_t>(got);
}

int write_loop(int fd, const std::uint64_t* offset, const std::uint8_t* data, std::size_t len) {
  HANDLE file = handle_of(fd);
  if (file == INVALID_HANDLE_VALUE) return EBADF;
  std::size_t done = 0;
  while (done < len) {
    DWORD n = 0;
    OVERLAPPED where = at(offset != nullptr ? *offset + done : 0);
    if (!WriteFile(file, data + done, static_cast<DWORD>(std::min(len - done, kMaxTransfer)), &n,
                   offset != nullptr ? &where : nullptr)) {
      return last_errno();
    }
    if (n == 0) return ENOSPC;
    done += n;
  }
  return 0;
}

}  // namespace

StreamInfo describe_stream(int fd) {
  StreamInfo info;
  HANDLE file = handle_of(fd);
  if (file == INVALID_HANDLE_VALUE || file == nullptr) {
    info.err = EBADF;
    return info;
  }
  info.ok = true;
  DWORD mode = 0;
  info.terminal = GetConsoleMode(file, &mode) != 0;
  BY_HANDLE_FILE_INFORMATION file_info{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &file_info) ||
      (file_info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return info;
  }
  info.device = file_info.dwVolumeSerialNumber;
  info.inode = (std::uint64_t{file_info.nFileIndexHigh} << 32) | file_info.nFileIndexLow;
  info.regular = true;
  info.size = (std::uint64_t{file_info.nFileSizeHigh} << 32) | file_info.nFileSizeLow;
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  const bool placed = SetFilePointerEx(file, zero, &position, FILE_CURRENT) != 0;
  info.position = placed && position.QuadPart > 0 ? static_cast<std::uint64_t>(position.QuadPart) : 0;
  // A handle that may only append puts a header written again at the end instead. (The C
  // runtime's own append flag is no such handle, and keeps itself to the runtime: cmd's ">>"
  // seeks to the end instead, and a file is taken as written where it stands.)
  info.rewritable = placed && !appends_only(file);
  return info;
}

std::int64_t read_full(int fd, std::uint8_t* dst, std::size_t len) { return read_loop(fd, nullptr, dst, len); }

// A positioned read on a handle opened for ordinary (not overlapped) use moves its file pointer
// as well; the callers read such a file at offsets alone, so nothing depends on the position.
std::int64_t read_full_at(int fd, std::uint64_t offset, std::uint8_t* dst, std::size_t len) {
  return read_loop(fd, &offset, dst, len);
}

int write_full(int fd, const std::uint8_t* data, std::size_t len) { return write_loop(fd, nullptr, data, len); }

int write_full_at(int fd, std::uint64_t offset, const std::uint8_t* data, std::size_t len) {
  return write_loop(fd, &offset, data, len);
}

// A new name in the directory for temporary files, opened with FILE_FLAG_DELETE_ON_CLOSE: the
// system removes it when its handle closes, however the process ends.
int open_spool_file() {
  std::wstring dir;
  if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && *tmpdir != '\0') {
    dir = windows::widen(tmpdir);
  } else {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    if (n == 0 || n > MAX_PATH) {
      errno = n == 0 ? last_errno() : ENAMETOOLONG;
      return -1;
    }
    dir.assign(buffer, n);
  }
  if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = dir + L"quarvex-spool." + std::to_wstring(GetCurrentProcessId()) + L"." +
                              std::to_wstring(counter.fetch_add(1)) + L"." + std::to_wstring(GetTickCount());
    HANDLE file = CreateFileW(windows::wide_path(windows::narrow(name)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      errno = last_errno();
      return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_RDWR | _O_BINARY);
    if (fd < 0) CloseHandle(file);
    return fd;
  }
  errno = EEXIST;
  return -1;
}

int close_file(int fd) { return _close(fd) == 0 ? 0 : errno; }

// A read-only file can't be deleted: its flag goes first (a temporary file gets it before its
// rename, and a failed rename removes it).
int remove_file(const std::string& path) {
  const std::wstring wide = windows::wide_path(path);
  if (DeleteFileW(wide.c_str())) return 0;
  const int err = last_errno();
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return err;
  }
  SetFileAttributesW(wide.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  if (DeleteFileW(wide.c_str())) return 0;
  const int again = last_errno();
  SetFileAttributesW(wide.c_str(), attributes);
  return again;
}

}  // namespace uq::platform
