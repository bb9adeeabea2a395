// Block buffers from malloc, so that a failed allocation is a null to report, not an exception.
#include "codec/block_buffers.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace uq::codec {

namespace {

std::atomic<AllocationHook> allocation_hook{nullptr};

}  // namespace

void* allocate_block_memory(std::size_t bytes) {
  if (AllocationHook hook = allocation_hook.load(std::memory_order_relaxed); hook != nullptr && hook()) {
    return nullptr;
  }
  return std::malloc(bytes);
}

AllocationHook set_allocation_hook(AllocationHook hook) { return allocation_hook.exchange(hook); }

std::uint8_t* allocate_input(std::size_t comp_len) {
  auto* buffer = static_cast<std::uint8_t*>(allocate_block_memory(comp_len + kInputPadding));
  if (buffer != nullptr) std::memset(buffer + comp_len, 0, kInputPadding);
  return buffer;
}

std::uint8_t* allocate_output(std::size_t out_len) {
  return static_cast<std::uint8_t*>(allocate_block_memory(out_len + kOutputSlack));
}

void release_buffer(std::uint8_t* buffer) { std::free(buffer); }

}  // namespace uq::codec
