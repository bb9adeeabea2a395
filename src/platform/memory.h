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

// Has every thread allocate from one shared heap. The C library would make each new thread that
// allocates a heap of its own, reserving 64 MiB of address space: under an address-space limit
// the heaps of sixteen workers could take what the memory budget leaves outside the blocks, and
// a block's buffer then failed to allocate (quarvex -t -p16 under ulimit -v 700000: 1 run in 10).
// Block buffers and the encoder's tables come from mapped pages, so the heap serves small
// allocations alone. Call before any thread starts.
void share_one_heap();

}  // namespace uq::platform
