// The tests' system services on POSIX.
#include "support/os.h"

#include <dirent.h>
#include <sys/stat.h>
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

bool try_lock_stream(std::FILE* stream) { return ftrylockfile(stream) == 0; }
void unlock_stream(std::FILE* stream) { funlockfile(stream); }

}  // namespace uq::test
