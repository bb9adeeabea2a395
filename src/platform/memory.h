// How much memory this process may use: the machine's physical memory, where the process runs in
// a container its control group's limit, and the limits set on the process itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace uq::platform {

// Physical memory in bytes; 0 when it can't be read.
std::uint64_t physical_memory();

// The tightest memory limit of this process's control group and its ancestors (cgroup v2
// memory.max, or v1 memory.limit_in_bytes), or none where there is no limit. `root` is where the
// control-group file system is mounted and `self_cgroup` the text of /proc/self/cgroup; tests
// give their own.
std::optional<std::uint64_t> cgroup_memory_limit(const std::string& root = "/sys/fs/cgroup",
                                                 const std::string& self_cgroup = {});

// The tightest limit set on this process's own memory: its address space and its data (the soft
// RLIMIT_AS and RLIMIT_DATA, what `ulimit -v` and `ulimit -d` set), in bytes; none where neither
// is set. A port gives whatever bounds what the process may allocate (a job object's limit, say),
// or none.
std::optional<std::uint64_t> address_space_limit();

}  // namespace uq::platform
