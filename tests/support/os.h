// What the tests need of the system beyond the standard library, with a POSIX and a Windows
// side (os_posix.cpp, os_windows.cpp), so that one test source builds for both.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace uq::test {

// True in the Windows build, whose tests run under Wine.
extern const bool kWindows;

// The status of a program that a closed pipe ended: 128 + SIGPIPE on POSIX, 1 on Windows, where
// the program ends itself that way for want of the signal.
extern const int kBrokenPipeStatus;

// What the names of programs end with: "" on POSIX, ".exe" on Windows.
extern const char* const kProgramSuffix;

// symlink(target, link): 0, or -1 where it fails. Windows has no device such as /dev/full for a
// link to name; there it always fails.
int make_symlink(const char* target, const char* link);

// link(target, link): a second name for the file `target`. 0, or -1 where it fails.
int make_hard_link(const char* target, const char* link);

// Whether the tests run with the privileges of root, who reads whatever modes say.
bool running_as_root();

// How many descriptors (on Windows, handles) this process holds open.
int open_descriptors();

// The bytes of disk that the file at `path` takes up, or -1 when that can't be told.
std::int64_t allocated_bytes(const std::string& path);

// mkfifo(path, 0644): 0, or -1 where it fails; always -1 on Windows, which has no FIFOs.
int make_fifo(const std::string& path);

// A character device node like /dev/null at `path` (mknod): true where the system lets the tests
// make one, never on Windows.
bool make_null_device(const std::string& path);

// A time of a file: seconds and nanoseconds since 1970.
struct FileTime {
  std::int64_t seconds = 0;
  long nanoseconds = 0;
};

// What stat tells of a file.
struct FileStatus {
  unsigned mode = 0;  // st_mode on POSIX; 0 on Windows, whose files have no such modes
  FileTime modified;
  std::uint64_t id = 0;  // tells files apart: the inode, on Windows the file index
};

// stat(path): true with `status` filled in.
bool file_status(const std::string& path, FileStatus* status);

// The id (as FileStatus::id) of the file open on the C library's descriptor `fd`.
std::uint64_t descriptor_file_id(int fd);

// chmod(path, mode) and utimensat(path, {accessed, modified}): 0, or -1 where they fail; always
// -1 on Windows, whose tests of modes and times are its own (tests/windows).
int set_mode(const std::string& path, unsigned mode);
int set_times(const std::string& path, FileTime accessed, FileTime modified);

// Takes `stream`'s lock for this thread without waiting where the system allows (POSIX), else
// waiting for it; true when it is held. unlock_stream gives it back.
bool try_lock_stream(std::FILE* stream);
void unlock_stream(std::FILE* stream);

}  // namespace uq::test
