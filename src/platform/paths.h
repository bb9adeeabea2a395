// Path conventions of the platform: the one directory separator and the longest path it takes.
#pragma once

#include <climits>
#include <cstddef>

namespace uq::platform {

inline constexpr char kDirSeparator = '/';

// Longest path, in characters, that the platform accepts (PATH_MAX less the terminator).
inline constexpr std::size_t kMaxPathLength = PATH_MAX - 1;

}  // namespace uq::platform
