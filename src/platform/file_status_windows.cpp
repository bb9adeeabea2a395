// File status and directory creation over CreateFileW, GetFileInformationByHandle and
// CreateDirectoryW. Links and junctions are followed, as stat follows symbolic links.
#include "platform/file_status.h"

#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/windows_common.h"

namespace uq::platform {

using windows::last_errno;
using windows::wide_path;

namespace {

// 100-nanosecond intervals between 1601 and 1970, the two systems' epochs.
constexpr std::int64_t kEpochDifference = 116444736000000000;

FileTime unix_time(const FILETIME& time) {
  const std::int64_t ticks =
      static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime) - kEpochDifference;
  std::int64_t seconds = ticks / 10000000;
  std::int64_t rest = ticks % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --seconds;
  }
  return {seconds, rest * 100};
}

// What `file` is. A disk file or directory gets its identity (the volume's serial number and the
// file's index), size and times, and the permission bits the C runtime's stat makes of its
// read-only attribute; a pipe or a console is something else, with none of these.
FileStatus status_of(HANDLE file) {
  FileStatus status;
  status.ok = true;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info)) {
    const bool directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status.kind = directory ? FileKind::directory : FileKind::regular;
    status.device = info.dwVolumeSerialNumber;
    status.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    const bool read_only = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    status.mode = (read_only ? 0444 : 0666) | (directory ? 0111 : 0);
    if (!directory) status.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    status.accessed = unix_time(info.ftLastAccessTime);
    status.modified = unix_time(info.ftLastWriteTime);
  }
  return status;
}

}  // namespace

FileStatus file_status(const std::string& path) {
  // No access asked for: the status alone, which even a file locked by another program gives.
  // Directories open only with backup semantics.
  HANDLE file = CreateFileW(wide_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    FileStatus status;
    status.err = last_errno();
    return status;
  }
  FileStatus status = status_of(file);
  CloseHandle(file);
  return status;
}

// A reparse point is opened as itself; a symbolic link or a junction is the link.
FileStatus link_status(const std::string& path) {
  HANDLE file = CreateFileW(wide_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    FileStatus status;
    status.err = last_errno();
    return status;
  }
  FileStatus status = status_of(file);
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) &&
      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK || tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT)) {
    status.link = true;
    status.kind = FileKind::other;
  }
  CloseHandle(file);
  return status;
}

FileStatus descriptor_status(int fd) {
  const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (file == INVALID_HANDLE_VALUE) {
    FileStatus status;
    status.err = EBADF;
    return status;
  }
  return status_of(file);
}

FileStatus standard_input_status() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) {
    FileStatus status;
    status.err = EBADF;
    return status;
  }
  return status_of(input);
}

int make_directory(const std::string& path) {
  return CreateDirectoryW(wide_path(path).c_str(), nullptr) ? 0 : last_errno();
}

}  // namespace uq::platform
