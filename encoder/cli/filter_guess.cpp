// --filter=auto: an ELF header (7F 'E' 'L' 'F', type EXEC or DYN, machine 386 or x86-64) or a PE
// header ("MZ", then "PE\0\0" at the offset in bytes 0x3C..0x3F, machine 0x014C or 0x8664) names
// x86 code; the x86 branch filter then turns its call and jump targets absolute.
#include "filter_guess.h"

#include <cerrno>
#include <vector>

#include "codec/forward_filters.h"
#include "platform/streams.h"

namespace uq::suite {

namespace {

constexpr std::size_t kHeadBytes = 4096;  // a PE header sits within the first few hundred bytes

std::uint32_t le(const std::uint8_t* p, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool is_x86_elf(const std::uint8_t* h, std::size_t n) {
  if (n < 20 || h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' || h[3] != 'F') return false;
  const std::uint32_t type = le(h + 16, 2);     // e_type: 2 an executable, 3 a shared object
  const std::uint32_t machine = le(h + 18, 2);  // e_machine: 3 i386, 62 x86-64
  return (type == 2 || type == 3) && (machine == 3 || machine == 62);
}

bool is_x86_pe(const std::uint8_t* h, std::size_t n) {
  if (n < 0x40 || h[0] != 'M' || h[1] != 'Z') return false;
  const std::uint32_t at = le(h + 0x3C, 4);
  if (at > n || n - at < 6) return false;
  if (h[at] != 'P' || h[at + 1] != 'E' || h[at + 2] != 0 || h[at + 3] != 0) return false;
  const std::uint32_t machine = le(h + at + 4, 2);
  return machine == 0x014C || machine == 0x8664;
}

}  // namespace

std::uint8_t guess_filter(const std::uint8_t* head, std::size_t size) {
  return is_x86_elf(head, size) || is_x86_pe(head, size) ? enc::kFilterX86 : enc::kFilterNone;
}

std::uint8_t guess_filter_of(int fd, std::uint64_t base) {
  std::vector<std::uint8_t> head(kHeadBytes);
  // A read that fails here fails again, and is reported, in the compression.
  const std::int64_t got = platform::read_full_at(fd, base, head.data(), head.size());
  return guess_filter(head.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
}

}  // namespace uq::suite
