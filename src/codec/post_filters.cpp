// Post-filters. (Placeholder until the filters are built.)
#include "codec/post_filters.h"

namespace uq::codec {

std::uint32_t x86_branch_decode(std::uint8_t*, std::size_t, std::uint32_t, std::uint32_t*) { return 0; }
void delta3_decode(std::uint8_t*, std::size_t) {}
void apply_post_filter(std::uint8_t, std::uint8_t*, std::size_t) {}

}  // namespace uq::codec
