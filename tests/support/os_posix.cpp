// The tests' system services on POSIX.
#include "support/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>

namespace uq::test {

const bool kWindows = false;
const char* const kProgramSuffix = "";
const int kBrokenPipeStatus = 128 + SIGPIPE;

int make_symlink(const char* target, const char* link) { return ::symlink(target, link); }

int make_hard_link(const char* target, const char* link) { return ::link(target, link); }

int open_descriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
  closedir(dir);
  return count;
}

bool running_as_root() { return geteuid() == 0; }

std::int64_t allocated_bytes(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_blocks) * 512 : -1;
}

int make_fifo(const std::string& path) { return ::mkfifo(path.c_str(), 0644); }

bool make_null_device(const std::string& path) {
  return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
}

bool file_status(const std::string& path, FileStatus* status) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  *status = {st.st_mode, {st.st_mtim.tv_sec, st.st_mtim.tv_nsec}, st.st_ino};
  return true;
}

std::uint64_t descriptor_file_id(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

int set_mode(const std::string& path, unsigned mode) { return ::chmod(path.c_str(), mode); }

int set_times(const std::string& path, FileTime accessed, FileTime modified) {
  const timespec times[2] = {{accessed.seconds, accessed.nanoseconds}, {modified.seconds, modified.nanoseconds}};
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

bool try_lock_stream(std::FILE* stream) { return ftrylockfile(stream) == 0; }
void unlock_stream(std::FILE* stream) { funlockfile(stream); }

}  // namespace uq::test
