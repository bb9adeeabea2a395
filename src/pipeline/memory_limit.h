// The memory budget a threaded run gets: half of what the process may use, or what the variable
// UNQUARVEX_MEMORY_LIMIT says.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace uq::pipeline {

inline constexpr const char kMemoryLimitVariable[] = "UNQUARVEX_MEMORY_LIMIT";

// A value of the variable: a number of bytes with an optional K, M or G (powers of 1024, either
// case), or a percentage of `physical` such as "25%" (1 to 100). None when it is neither.
std::optional<std::uint64_t> parse_memory_limit(const std::string& text, std::uint64_t physical);

// Half of the memory the process may use: the smallest of `physical` memory (0: not known), its
// control group's limit and the limit on its address space (none: not set). With none of them
// known, 1 GiB.
std::uint64_t default_memory_budget(std::uint64_t physical, std::optional<std::uint64_t> cgroup,
                                    std::optional<std::uint64_t> address_space);

// The default for this process, from what the machine says.
std::uint64_t default_memory_budget();

// The budget for this run: the variable's value when it is set and well formed; otherwise the
// default, after one line on standard error when the value is malformed (`program` names the
// tool in it).
std::uint64_t memory_budget_from_environment(const std::string& program);

}  // namespace uq::pipeline
