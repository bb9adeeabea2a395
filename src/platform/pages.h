// Memory in whole pages of its own, straight from the system: given back, its pages go back to
// the system at once instead of staying in an allocator's free lists.
#pragma once

#include <cstddef>

namespace uq::platform {

// `bytes` of zeroed, readable and writable memory, or null when the system has none to give.
void* map_pages(std::size_t bytes);

// Gives back memory from map_pages; `bytes` is the size it was asked for.
void unmap_pages(void* memory, std::size_t bytes);

}  // namespace uq::platform
