// Directory listing over a directory handle, read with GetFileInformationByHandleEx: the names
// come from the very directory whose identity was taken, as with opendir and fstat.
#include "platform/dir_listing.h"

#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <new>

#include "platform/windows_common.h"

namespace uq::platform {

namespace {

using windows::last_errno;

struct Listing {
  HANDLE directory = INVALID_HANDLE_VALUE;
  // Entries as the system gives them, several at a call; `next` is the offset of the next one,
  // or none (-1) when the buffer is to be filled again.
  alignas(8) std::byte buffer[64 * 1024];
  long next = -1;
  bool ended = false;
};

Listing* listing_of(void* handle) { return static_cast<Listing*>(handle); }

}  // namespace

int DirListing::open(const std::string& path) {
  close();
  error_ = 0;
  HANDLE directory = CreateFileW(windows::wide_path(path).c_str(), FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (directory == INVALID_HANDLE_VALUE) return last_errno();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(directory, &info)) {
    const int err = last_errno();
    CloseHandle(directory);
    return err;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(directory);
    return ENOTDIR;
  }
  auto* listing = new (std::nothrow) Listing;
  if (listing == nullptr) {
    CloseHandle(directory);
    return ENOMEM;
  }
  listing->directory = directory;
  handle_ = listing;
  device_ = info.dwVolumeSerialNumber;
  inode_ = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return 0;
}

bool DirListing::next(std::string& name) {
  Listing* listing = listing_of(handle_);
  if (listing == nullptr || listing->ended) return false;
  if (listing->next < 0) {
    if (!GetFileInformationByHandleEx(listing->directory, FileIdBothDirectoryInfo, listing->buffer,
                                      sizeof listing->buffer)) {
      const DWORD error = GetLastError();
      error_ = error == ERROR_NO_MORE_FILES ? 0 : windows::errno_from(error);
      listing->ended = true;
      return false;
    }
    listing->next = 0;
  }
  const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listing->buffer + listing->next);
  name = windows::narrow(std::wstring(entry->FileName, entry->FileNameLength / sizeof(WCHAR)));
  listing->next = entry->NextEntryOffset == 0 ? -1 : listing->next + static_cast<long>(entry->NextEntryOffset);
  return true;
}

void DirListing::close() {
  Listing* listing = listing_of(handle_);
  if (listing == nullptr) return;
  CloseHandle(listing->directory);
  delete listing;
  handle_ = nullptr;
}

}  // namespace uq::platform
