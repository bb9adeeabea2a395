// Output files over CreateFileW and WriteFile at the offset an OVERLAPPED record names: each
// write says where it goes, so blocks may be written in any order and from any thread.
#include "platform/output_file.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "platform/windows_common.h"

namespace uq::platform {

namespace {

using windows::last_errno;

HANDLE handle_of(std::intptr_t file) { return reinterpret_cast<HANDLE>(file); }

// One call moves at most this much: ReadFile and WriteFile count in 32 bits.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

OVERLAPPED at(std::uint64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return where;
}

int write_to_handle(HANDLE file, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  if (file == INVALID_HANDLE_VALUE) return EBADF;
  if (offset > static_cast<std::uint64_t>(INT64_MAX) - size) return EFBIG;
  while (size > 0) {
    OVERLAPPED where = at(offset);
    DWORD put = 0;
    if (!WriteFile(file, data, static_cast<DWORD>(std::min(size, kMaxTransfer)), &put, &where)) return last_errno();
    if (put == 0) return ENOSPC;
    data += put;
    size -= put;
    offset += put;
  }
  return 0;
}

int extend_handle(HANDLE file, std::uint64_t size) {
  if (file == INVALID_HANDLE_VALUE) return EBADF;
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(file, &length)) return last_errno();
  if (static_cast<std::uint64_t>(length.QuadPart) >= size) return 0;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) ? 0 : last_errno();
}

}  // namespace

int OutputFile::open() {
  // Opened if it exists and then emptied, rather than CREATE_ALWAYS, which refuses a hidden file;
  // others may read it meanwhile, as on POSIX.
  HANDLE file = CreateFileW(windows::wide_path(path_).c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return last_errno();
  regular_ = GetFileType(file) == FILE_TYPE_DISK;
  if (regular_ && !SetEndOfFile(file)) {  // the position of a new handle is 0
    const int err = last_errno();
    CloseHandle(file);
    return err;
  }
  file_ = reinterpret_cast<std::intptr_t>(file);
  return 0;
}

OutputFile::CopyResult OutputFile::copy_from(int source, std::uint64_t source_offset, std::uint64_t offset,
                                             std::size_t size) {
  HANDLE in = reinterpret_cast<HANDLE>(_get_osfhandle(source));
  if (in == INVALID_HANDLE_VALUE) return {EBADF, true, 0};
  const std::size_t asked = size;
  static constexpr std::size_t kChunk = std::size_t{1} << 16;
  std::uint8_t buffer[kChunk];
  while (size > 0) {
    OVERLAPPED where = at(source_offset);
    DWORD got = 0;
    if (!ReadFile(in, buffer, static_cast<DWORD>(std::min(size, kChunk)), &got, &where)) {
      const DWORD error = GetLastError();
      return {error == ERROR_HANDLE_EOF ? 0 : windows::errno_from(error), true, asked - size};
    }
    if (got == 0) return {0, true, asked - size};
    if (int err = write_at(offset, buffer, got); err != 0) return {err, false, asked - size};
    source_offset += got;
    offset += got;
    size -= got;
  }
  return {};
}

int OutputFile::extend_to(std::uint64_t size) { return extend_handle(handle_of(file_), size); }

OutputFile::~OutputFile() { close(); }

int OutputFile::write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  return write_to_handle(handle_of(file_), offset, data, size);
}

int write_at(int fd, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  return write_to_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), offset, data, size);
}

int extend_file(int fd, std::uint64_t size) {
  return extend_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), size);
}

// NTFS journals its metadata, and a directory handle can't be flushed without write access:
// there is nothing to do beyond what the rename itself made durable.
int sync_directory(const std::string&) { return 0; }

int OutputFile::close() {
  if (file_ == -1) return 0;
  HANDLE file = handle_of(file_);
  file_ = -1;
  return CloseHandle(file) ? 0 : last_errno();
}

}  // namespace uq::platform
