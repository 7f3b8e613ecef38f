// How much memory this process can be given, and how much of it is left.
//
// Only reads limits and uses; it knows nothing of who asks. The admission
// check of large buffers (large_buffer.hpp) compares against it instead of
// letting an allocation succeed on paper (the kernel overcommits) and then
// killing the process when it is filled.
#pragma once

#include <cstdint>

namespace tarnwick {

// The smallest of the machine's physical memory, the memory limit of the
// process's control group (cgroup v2 memory.max or v1 memory.limit_in_bytes,
// of its own group and every ancestor) and its address-space limit
// (RLIMIT_AS), in bytes; 0 where none of them can be read. Read once per
// process, on the first call from any thread (the module makes it when it
// loads, through buffers::prepare()); later calls cost a load.
std::uint64_t memory_limit_bytes();

// What the limits leave beyond what is in use now: the least of each limited
// control group's limit minus its use (memory.current, or
// memory.usage_in_bytes), the available physical memory (MemAvailable) and
// RLIMIT_AS minus the process's address space. The largest count where none
// of them can be read. The control groups' limits and the files of their
// uses are those found once; the uses themselves, MemAvailable and the
// address space are read on every call (tens of microseconds), on purpose:
// what the process and its neighbours use changes from call to call, and a
// call the kernel would kill for want of memory must be refused first.
// RLIMIT_AS is asked of the kernel each time too (a system call, no file),
// as the process may lower it at any moment.
std::uint64_t memory_room_bytes();

}  // namespace tarnwick
