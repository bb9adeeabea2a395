// Reading the memory budget from the environment and the machine.
#include "pipeline/memory_limit.h"

#include <algorithm>
#include <cstdlib>

#include "platform/memory.h"
#include "report/console.h"

namespace uq::pipeline {

namespace {

constexpr std::uint64_t kFallbackBudget = std::uint64_t{1} << 30;

}  // namespace

std::optional<std::uint64_t> parse_memory_limit(const std::string& text, std::uint64_t physical) {
  std::size_t i = 0;
  std::uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > (UINT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  if (i == 0) return std::nullopt;
  const std::string unit = text.substr(i);
  if (unit.empty()) return value;
  if (unit == "%") {
    if (value < 1 || value > 100) return std::nullopt;
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(physical) * value / 100);
  }
  unsigned shift = 0;
  if (unit == "K" || unit == "k") shift = 10;
  else if (unit == "M" || unit == "m") shift = 20;
  else if (unit == "G" || unit == "g") shift = 30;
  else return std::nullopt;
  if (value > (UINT64_MAX >> shift)) return std::nullopt;
  return value << shift;
}

std::uint64_t default_memory_budget(std::uint64_t physical, std::optional<std::uint64_t> cgroup,
                                    std::optional<std::uint64_t> address_space) {
  std::uint64_t usable = physical;
  for (std::optional<std::uint64_t> limit : {cgroup, address_space}) {
    if (limit) usable = usable == 0 ? *limit : std::min(usable, *limit);
  }
  // The other half is left to everything else the process maps: code, thread stacks, the decode
  // models, the allocator's own arenas.
  return usable == 0 ? kFallbackBudget : usable / 2;
}

std::uint64_t default_memory_budget() {
  return default_memory_budget(platform::physical_memory(), platform::cgroup_memory_limit(),
                               platform::address_space_limit());
}

std::uint64_t memory_budget_from_environment(const std::string& program) {
  const char* text = std::getenv(kMemoryLimitVariable);
  if (text == nullptr) return default_memory_budget();
  if (std::optional<std::uint64_t> limit = parse_memory_limit(text, platform::physical_memory())) return *limit;
  report::print_message(stderr,
                        "%s: ignoring %s='%s': give bytes with an optional K, M or G, or a "
                        "percentage of memory such as 25%%\n",
                        program.c_str(), kMemoryLimitVariable, text);
  return default_memory_budget();
}

}  // namespace uq::pipeline
