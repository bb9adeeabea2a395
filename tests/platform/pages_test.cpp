// Pages straight from the system: zeroed, and a mapping the size of a large block asks for huge
// pages (the kernel marks such a mapping "hg" in /proc/self/smaps), a small one not; a large one
// starts on a huge page's boundary and holds no more address space than its size.
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

// The address space the process has mapped, in kB, summed over /proc/self/smaps.
std::size_t mapped_kb() {
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  std::size_t total = 0;
  while (std::getline(smaps, line)) {
    std::size_t kb = 0;
    if (std::sscanf(line.c_str(), "Size: %zu kB", &kb) == 1) total += kb;
  }
  return total;
}

TEST(Pages, ALargeMappingAsksForHugePagesAndASmallOneDoesNot) {
  constexpr std::size_t kLarge = std::size_t{2} << 20;  // the smallest to ask: one huge page
  constexpr std::size_t kSmall = (std::size_t{2} << 20) - 4096;
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

// A 4 MiB block's output buffer, 4 MiB and a margin, and a chunk of small inputs, one huge page:
// only huge pages wholly inside a mapping can be huge.
TEST(Pages, ALargeMappingStartsOnAHugePageAndHoldsNoMoreThanItsSize) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  for (int round = 0; round < 8; ++round) {
    const std::size_t size = round % 2 == 0 ? (std::size_t{4} << 20) + 65552 : kHugePage;
    const std::size_t before = mapped_kb();
    auto* memory = static_cast<std::uint8_t*>(map_pages(size));
    const std::size_t after = mapped_kb();
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(memory) % kHugePage, 0u) << "round " << round;
    memory[0] = 1;
    memory[size - 1] = 1;
    // Reading smaps may itself map a page or two.
    EXPECT_GE(after - before, size / 1024) << "round " << round;
    EXPECT_LT(after - before, size / 1024 + 256) << "round " << round;
    unmap_pages(memory, size);
  }
}

}  // namespace
}  // namespace uq::platform
