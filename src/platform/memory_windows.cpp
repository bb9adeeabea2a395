// Physical memory from GlobalMemoryStatusEx; the process's own limit from its job object.
#include "platform/memory.h"

#include <windows.h>

namespace uq::platform {

std::uint64_t physical_memory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

// Windows has no per-process rlimit; what bounds the memory a process may commit is the job it
// runs in, by a limit on each process or on the job as a whole. Outside a job there is none.
std::optional<std::uint64_t> address_space_limit() {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &info, sizeof info, nullptr)) {
    return std::nullopt;
  }
  std::optional<std::uint64_t> limit;
  const DWORD flags = info.BasicLimitInformation.LimitFlags;
  if ((flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0 && info.ProcessMemoryLimit != 0) {
    limit = info.ProcessMemoryLimit;
  }
  if ((flags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0 && info.JobMemoryLimit != 0 &&
      (!limit || info.JobMemoryLimit < *limit)) {
    limit = info.JobMemoryLimit;
  }
  return limit;
}

// Windows' process heap is one heap for every thread already.
void share_one_heap() {}

}  // namespace uq::platform
