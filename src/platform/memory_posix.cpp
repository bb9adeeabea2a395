// Physical memory from sysconf; the process's own limits from getrlimit; one heap for every thread
// through mallopt.
#include "platform/memory.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

namespace uq::platform {

std::uint64_t physical_memory() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

std::optional<std::uint64_t> address_space_limit() {
  std::optional<std::uint64_t> limit;
  for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    rlimit lim{};
    if (getrlimit(resource, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) {
      const auto value = static_cast<std::uint64_t>(lim.rlim_cur);
      if (!limit || value < *limit) limit = value;
    }
  }
  return limit;
}

void share_one_heap() { mallopt(M_ARENA_MAX, 1); }

}  // namespace uq::platform
