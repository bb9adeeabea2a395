// Pages over anonymous private mappings.
#include "platform/pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace uq::platform {

namespace {

// x86-64's huge page. Where the system's are smaller, a mapping aligned to it is aligned to them.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// A mapping this large is asked to have huge pages where the system gives them on request
// (transparent huge pages in "madvise" mode, Debian's default): a 16 MiB block's output buffer
// then takes 8 page faults as it fills instead of 4,096. Those faults took 7.5% of a one-worker
// restore of the bench corpus, and a restore grows no larger for it (the pages still come as the
// decoder reaches them). A hint: where it is refused, the pages are small as before. The
// smallest such mapping is one huge page: a chunk that small inputs are cut from.
constexpr std::size_t kHugePageHintMin = kHugePage;

std::size_t page_size() {
  static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

void* map_pages(std::size_t bytes) {
  if (bytes < kHugePageHintMin) {
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
  }
  // Only the huge pages that lie wholly inside a mapping can be huge, and the system places a
  // mapping on any small page: a 4 MiB block's output buffer (4 MiB and its margin) then held
  // one huge page and 512 small ones, and a 16 MiB restore in 4 MiB blocks took 1,000 more page
  // faults. So the mapping is made a huge page larger, and what lies before the first boundary
  // and after the end is given back.
  const std::size_t length = (bytes + page_size() - 1) / page_size() * page_size();
  const std::size_t reserved = length + kHugePage;
  void* raw = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned != start) munmap(raw, aligned - start);
  if (const std::size_t after = start + reserved - (aligned + length); after != 0) {
    munmap(reinterpret_cast<void*>(aligned + length), after);
  }
  void* memory = reinterpret_cast<void*>(aligned);
  madvise(memory, length, MADV_HUGEPAGE);
  return memory;
}

void unmap_pages(void* memory, std::size_t bytes) { munmap(memory, bytes); }

}  // namespace uq::platform
