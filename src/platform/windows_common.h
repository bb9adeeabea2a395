// What the Windows side of the platform layer shares: paths for the wide-character calls and
// errno values for Windows' error codes. Included by the *_windows.cpp files alone.
#pragma once

#include <string>

namespace uq::platform::windows {

// Paths longer than this many UTF-16 units go to Windows in the extended-length form. The
// classic limit is 260 with the terminator; CreateDirectoryW keeps 12 of them for an 8.3 name.
inline constexpr std::size_t kClassicPathLimit = 260 - 12 - 1;

// `text` (UTF-8) in UTF-16; a byte that is not UTF-8 becomes U+FFFD.
std::wstring widen(const std::string& text);

// `text` (UTF-16) in UTF-8.
std::string narrow(const std::wstring& text);

// `path` (UTF-8) as the wide calls take it. A path longer than kClassicPathLimit, or whose full
// form is, becomes that full form: in the extended-length \\?\ way (\\?\UNC\ for a share) when
// it is long itself, which Windows takes up to 32,767 characters whatever its long-path policy.
std::wstring wide_path(const std::string& path);

// The errno value that best describes the Windows error code `error` (as the C runtime maps
// them, with a few more that the C runtime leaves to EINVAL).
int errno_from(unsigned long error);

// errno_from(GetLastError()).
int last_errno();

}  // namespace uq::platform::windows
