// Physical memory from sysconf.
#include "platform/memory.h"

#include <unistd.h>

namespace uq::platform {

std::uint64_t physical_memory() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

}  // namespace uq::platform
