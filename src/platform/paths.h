// Path conventions of the platform: the one directory separator, the characters taken as one
// when a path is taken apart, and the longest path the programs take.
#pragma once

#include <cstddef>
#include <string>

namespace uq::platform {

#ifdef _WIN32
// Paths are joined with the backslash. Windows itself takes "/" as a separator too, so a name
// typed as dir/a.qvx is taken apart at either character; joins still use the backslash.
inline constexpr char kDirSeparator = '\\';
inline constexpr const char kDirSeparators[] = "\\/";
#else
inline constexpr char kDirSeparator = '/';
inline constexpr const char kDirSeparators[] = "/";
#endif

// Whether `c` separates two components of a path.
constexpr bool is_dir_separator(char c) {
  for (const char* s = kDirSeparators; *s != '\0'; ++s) {
    if (c == *s) return true;
  }
  return false;
}

// The form under which two spellings of one path name the same file, for telling the names a
// run will write apart before any of those files exists: on Windows, whose file names match
// without regard to case, the path upper-cased (as the invariant locale does) with "/" as "\";
// elsewhere the path itself.
std::string name_key(const std::string& path);

// Longest path, in bytes, that the programs take: Linux's PATH_MAX less the terminator. Windows
// is held to the same number: its wide calls take paths of up to 32,767 characters through the
// extended-length form, which the platform layer uses for every path too long for the classic
// limit of 260, so the number is the programs' own choice there.
inline constexpr std::size_t kMaxPathLength = 4095;

}  // namespace uq::platform
