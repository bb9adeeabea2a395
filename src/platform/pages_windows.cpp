// Pages over VirtualAlloc and VirtualFree.
#include "platform/pages.h"

#include <windows.h>

namespace uq::platform {

void* map_pages(std::size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_pages(void* memory, std::size_t) { VirtualFree(memory, 0, MEM_RELEASE); }

}  // namespace uq::platform
