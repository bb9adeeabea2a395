// libFuzzer target: the block decoder on arbitrary coded bytes, checked against the plain
// reference decoder, with every output byte past out_len + 3 poisoned so that a stray write trips
// AddressSanitizer. Input: level, two bytes of out_len and a size byte, then the coded bytes.
// out_len is the first byte alone, or with a size byte of F0..FE the two little-endian, or with FF
// the two times 16 (up to 1 MiB - 16): large blocks are rare, which keeps the run fast.

#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/block_buffers.h"
#include "reference_decoder.h"
#include "support/method5.h"

namespace {

constexpr std::size_t kHeader = 4;
constexpr std::size_t kOvershoot = 3;  // a 4-byte unit copy may pass the block end by 3

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  const std::uint8_t level = data[0];
  std::uint32_t out_len = data[1];
  if (data[3] >= 0xF0) out_len |= data[2] << 8;
  if (data[3] == 0xFF) out_len <<= 4;
  const std::vector<std::uint8_t> coded(data + kHeader, data + size);

  std::uint8_t* in = uq::codec::allocate_input(coded.size());
  if (!coded.empty()) std::memcpy(in, coded.data(), coded.size());
  std::uint8_t* out = uq::codec::allocate_output(out_len);
  const std::size_t writable = out_len + kOvershoot > 2 ? out_len + kOvershoot : 2;
  ASAN_POISON_MEMORY_REGION(out + writable, out_len + uq::codec::kOutputSlack - writable);

  const std::optional<std::int32_t> decoded =
      uq::test::decode_method5(in, coded.size(), out, static_cast<std::int32_t>(out_len), level);
  if (!decoded) std::abort();
  const std::int32_t result = *decoded;

  const auto reference = uq::fuzz::reference_decode(coded, out_len, level);
  if (reference.has_value()) {
    if (result != static_cast<std::int32_t>(out_len) ||
        std::memcmp(out, reference->data(), out_len) != 0) {
      std::abort();
    }
  } else if (result != -1) {
    std::abort();
  }

  ASAN_UNPOISON_MEMORY_REGION(out + writable, out_len + uq::codec::kOutputSlack - writable);
  uq::codec::release_buffer(out);
  uq::codec::release_buffer(in);
  return 0;
}
