// Block buffers from malloc, so that a failed allocation is a null to report, not an exception.
#include "codec/block_buffers.h"

#include <cstdlib>
#include <cstring>

namespace uq::codec {

std::uint8_t* allocate_input(std::size_t comp_len) {
  auto* buffer = static_cast<std::uint8_t*>(std::malloc(comp_len + kInputPadding));
  if (buffer != nullptr) std::memset(buffer + comp_len, 0, kInputPadding);
  return buffer;
}

std::uint8_t* allocate_output(std::size_t out_len) {
  return static_cast<std::uint8_t*>(std::malloc(out_len + kOutputSlack));
}

void release_buffer(std::uint8_t* buffer) { std::free(buffer); }

}  // namespace uq::codec
