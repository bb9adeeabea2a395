// The restore tool with every allocation of a run counted, and the k-th one made to fail: the
// program's own operator new (which then throws std::bad_alloc, or gives null for the nothrow
// forms) and the codec's block buffers and models (which give null). Tests run it once to count
// the allocations of a run, then once for each k.
//   UQ_FAIL_ALLOCATION=k        the k-th allocation (from 1) fails; unset or 0: none does
//   UQ_ALLOCATION_COUNT_FILE=f  the number of allocations made is written to f at the end
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "codec/block_buffers.h"
#include "unquarvex.h"

namespace {

std::atomic<bool> armed{false};
std::atomic<unsigned long> made{0};
unsigned long fail_at = 0;

// True when this allocation is the one to fail.
bool count_one() {
  if (!armed.load(std::memory_order_relaxed)) return false;
  return made.fetch_add(1, std::memory_order_relaxed) + 1 == fail_at;
}

void* allocate(std::size_t size, bool nothrow) {
  void* p = count_one() ? nullptr : std::malloc(size == 0 ? 1 : size);
  if (p == nullptr && !nothrow) throw std::bad_alloc();
  return p;
}

void* allocate_aligned(std::size_t size, std::align_val_t align, bool nothrow) {
  void* p = nullptr;
  if (!count_one()) {
    const auto a = static_cast<std::size_t>(align);
    p = std::aligned_alloc(a, (size + a - 1) / a * a);
  }
  if (p == nullptr && !nothrow) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, false); }
void* operator new[](std::size_t size) { return allocate(size, false); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, true); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, true); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate_aligned(size, a, false); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate_aligned(size, a, false); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
  if (const char* k = std::getenv("UQ_FAIL_ALLOCATION")) fail_at = std::strtoul(k, nullptr, 10);
  const char* count_file = std::getenv("UQ_ALLOCATION_COUNT_FILE");
  uq::codec::set_allocation_hook([] { return count_one(); });
  armed.store(true);
  const int status = uq::restore_main(argc, argv);
  armed.store(false);
  if (count_file != nullptr) {
    if (std::FILE* f = std::fopen(count_file, "w")) {
      std::fprintf(f, "%lu\n", made.load());
      std::fclose(f);
    }
  }
  return status;
}
