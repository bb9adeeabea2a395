// Path conventions on Windows: names match without regard to case, and "/" separates as "\" does.
#include "platform/paths.h"

#include <windows.h>

#include "platform/windows_common.h"

namespace uq::platform {

std::string name_key(const std::string& path) {
  std::wstring wide = windows::widen(path);
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  if (wide.empty()) return path;
  std::wstring upper(wide.size(), L'\0');
  const int made = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), static_cast<int>(wide.size()),
                                 upper.data(), static_cast<int>(upper.size()), nullptr, nullptr, 0);
  return windows::narrow(made > 0 ? upper.substr(0, static_cast<std::size_t>(made)) : wide);
}

}  // namespace uq::platform
