// Pages straight from the system: zeroed, and a mapping the size of a large block asks for huge
// pages (the kernel marks such a mapping "hg" in /proc/self/smaps), a small one not.
#include "platform/pages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace uq::platform {
namespace {

// The VmFlags line of the mapping that holds `memory`, or "" when there is none. (A small mapping
// may have been merged with its neighbours into one.)
std::string vm_flags_of(const void* memory) {
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2) {
      const auto at = reinterpret_cast<std::uintptr_t>(memory);
      inside = start <= at && at < end;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line + " ";
    }
  }
  return "";
}

TEST(Pages, ALargeMappingAsksForHugePagesAndASmallOneDoesNot) {
  constexpr std::size_t kLarge = std::size_t{16} << 20;
  constexpr std::size_t kSmall = std::size_t{1} << 20;
  auto* large = static_cast<std::uint8_t*>(map_pages(kLarge));
  auto* small = static_cast<std::uint8_t*>(map_pages(kSmall));
  ASSERT_NE(large, nullptr);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(large[0] | large[kLarge - 1] | small[0] | small[kSmall - 1], 0);
  const std::string large_flags = vm_flags_of(large);
  const std::string small_flags = vm_flags_of(small);
  ASSERT_NE(large_flags, "") << "no mapping found at the large piece";
  ASSERT_NE(small_flags, "") << "no mapping found at the small piece";
  EXPECT_NE(large_flags.find(" hg "), std::string::npos) << large_flags;
  EXPECT_EQ(small_flags.find(" hg "), std::string::npos) << small_flags;
  unmap_pages(large, kLarge);
  unmap_pages(small, kSmall);
}

}  // namespace
}  // namespace uq::platform
