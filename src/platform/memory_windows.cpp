// Physical memory from GlobalMemoryStatusEx.
#include "platform/memory.h"

#include <windows.h>

namespace uq::platform {

std::uint64_t physical_memory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

}  // namespace uq::platform
