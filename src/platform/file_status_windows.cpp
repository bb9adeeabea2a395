// File status and directory creation over CreateFileW, GetFileInformationByHandle and
// CreateDirectoryW. Links and junctions are followed, as stat follows symbolic links.
#include "platform/file_status.h"

#include <windows.h>

#include "platform/windows_common.h"

namespace uq::platform {

using windows::last_errno;
using windows::wide_path;

FileStatus file_status(const std::string& path) {
  FileStatus status;
  const std::wstring wide = wide_path(path);
  // No access asked for: the status alone, which even a file locked by another program gives.
  // Directories open only with backup semantics.
  HANDLE file = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    status.err = last_errno();
    return status;
  }
  status.ok = true;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info)) {
    status.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::directory : FileKind::regular;
    // The volume's serial number and the file's index tell one directory from another.
    status.device = info.dwVolumeSerialNumber;
    status.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  }
  CloseHandle(file);
  return status;
}

int make_directory(const std::string& path) {
  return CreateDirectoryW(wide_path(path).c_str(), nullptr) ? 0 : last_errno();
}

}  // namespace uq::platform
