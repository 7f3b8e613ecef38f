// How much memory this process can be given.
//
// Guards that refuse a request "needing more than can be allocated" compare
// against this instead of letting an allocation succeed on paper (the
// kernel overcommits) and then killing the process when it is filled.
#pragma once

#include <cstdint>

namespace tarnwick {

// The smallest of the machine's physical memory, the memory limit of the
// process's control group (cgroup v2 memory.max or v1 memory.limit_in_bytes,
// of its own group and every ancestor) and its address-space limit
// (RLIMIT_AS), in bytes; 0 where none of them can be read. Read once per
// process, on the first call from any thread; later calls cost a load.
std::uint64_t memory_limit_bytes();

}  // namespace tarnwick
