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

// Requests below this size are admitted without a look at the current use:
// reading it costs tens of microseconds, a small part of filling 16 MiB.
inline constexpr std::uint64_t large_request_bytes = std::uint64_t{16} << 20;

// What the limits leave beyond what is in use now: the least of each limited
// control group's limit minus its use (memory.current, or
// memory.usage_in_bytes), the available physical memory (MemAvailable) and
// RLIMIT_AS minus the process's address space. The largest count where none
// of them can be read. Reads the files on every call.
std::uint64_t memory_room_bytes();

// Whether a call whose buffers together peak at `bytes` may allocate them.
// Small requests always may. A large one may when it fits in
// memory_room_bytes() plus the buffers the calling thread has parked for
// reuse, which are then given back to make that room.
bool fits_in_memory(std::uint64_t bytes);

// Whether `buffers` buffers of `length` doubles each, held together, may be
// allocated (fits_in_memory); a count whose bytes overflow never may.
bool values_fit(std::uint64_t buffers, std::uint64_t length);

}  // namespace tarnwick
