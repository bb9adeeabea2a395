// --filter=auto: which filter an input gets, from the first bytes of its file. x86 and x86-64
// programs and shared objects (ELF or PE) get the x86 branch filter, everything else none. A
// wrong guess costs size, never correctness: every filter restores exactly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace uq::suite {

// The filter byte for a file that starts with `head` (as many of its first bytes as it has, up
// to 4 KiB or more: a PE header is found through the offset at 0x3C).
std::uint8_t guess_filter(const std::uint8_t* head, std::size_t size);

// The same for the open file `fd`, read with pread from offset `base` (nothing moves).
std::uint8_t guess_filter_of(int fd, std::uint64_t base = 0);

}  // namespace uq::suite
