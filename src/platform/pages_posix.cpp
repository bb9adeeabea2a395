// Pages over anonymous private mappings.
#include "platform/pages.h"

#include <sys/mman.h>

namespace uq::platform {

void* map_pages(std::size_t bytes) {
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

void unmap_pages(void* memory, std::size_t bytes) { munmap(memory, bytes); }

}  // namespace uq::platform
