// libFuzzer target: the post-filters on arbitrary blocks. The decoding direction must stay inside
// the block and undo the compressor's forward filter exactly; the filter byte selects as documented.
// Input: one filter byte, then the block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/forward_filters.h"
#include "codec/post_filters.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t filter = data[0];
  const std::vector<std::uint8_t> block(data + 1, data + size);

  // Exactly sized copies, so that any access past the block is a heap overflow.
  std::vector<std::uint8_t> decoded(block);
  std::uint32_t state = filter & 7;
  const std::uint32_t passed =
      uq::codec::x86_branch_decode(decoded.data(), decoded.size(), filter, &state);
  if (state > 7 || (block.size() >= 5 && passed > block.size())) std::abort();
  uq::codec::delta3_decode(decoded.data(), decoded.size());

  // Forward then backward from a fresh state gives the block back.
  std::vector<std::uint8_t> round(block);
  uq::enc::apply_forward_filter(filter, round.data(), round.size());
  uq::codec::apply_post_filter(filter, round.data(), round.size());
  if (round != block) std::abort();
  return 0;
}
