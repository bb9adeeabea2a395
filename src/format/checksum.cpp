// The archive checksum over XXH3-64 from Debian's xxhash library.
#include <xxhash.h>

#include "unquarvex.h"

namespace uq {

std::uint64_t block_digest(const std::uint8_t* data, std::size_t size) { return XXH3_64bits(data, size); }

std::uint64_t file_checksum(const std::vector<std::uint64_t>& block_digests) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(block_digests.size() * 8);
  for (std::uint64_t digest : block_digests) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(digest >> (8 * i)));
  }
  return XXH3_64bits(bytes.data(), bytes.size());
}

}  // namespace uq
