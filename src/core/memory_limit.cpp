#include "memory_limit.hpp"

#include <fstream>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#if __has_include(<unistd.h>)
#include <unistd.h>
#endif
#if __has_include(<sys/resource.h>)
#include <sys/resource.h>
#endif

namespace tarnwick {

namespace {

// Lowers `limit` to `bytes` (0 means unknown on either side).
void lower(std::uint64_t& limit, std::uint64_t bytes) {
    if (bytes != 0 && (limit == 0 || bytes < limit)) limit = bytes;
}

// A limit file's number; 0 when it is missing or reads "max".
std::uint64_t read_bytes(const std::string& file) {
    std::ifstream in(file);
    std::uint64_t bytes = 0;
    if (!(in >> bytes)) return 0;
    return bytes;
}

// A control group with a memory limit and the file that reads its use.
struct LimitedGroup {
    std::uint64_t limit;
    std::string usage_file;
};

// What the process can be given, read once.
struct Limits {
    std::uint64_t bytes = 0;
    std::vector<LimitedGroup> groups;
};

// The limit file of the group at `path` (as /proc/self/cgroup names it)
// and of each of its ancestors below the hierarchy's mount point; each
// group with a limit is kept with its usage file.
void lower_by_groups(Limits& limits, const std::string& mount, std::string path, const char* file, const char* usage) {
    while (true) {
        const std::string folder = mount + (path == "/" ? "" : path) + "/";
        const std::uint64_t bytes = read_bytes(folder + file);
        lower(limits.bytes, bytes);
        if (bytes != 0) limits.groups.push_back({bytes, folder + usage});
        if (path.empty() || path == "/") return;
        const std::size_t slash = path.rfind('/');
        path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    }
}

// Does a comma-separated controller list name `name`?
bool names_controller(const std::string& list, const std::string& name) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        if (list.compare(start, comma - start, name) == 0) return true;
        start = comma + 1;
    }
    return false;
}

void lower_by_cgroups(Limits& limits) {
    // Even where the process's own group cannot be found, the limit at the
    // root of its namespace applies.
    if (const std::uint64_t bytes = read_bytes("/sys/fs/cgroup/memory.max"); bytes != 0) {
        lower(limits.bytes, bytes);
        limits.groups.push_back({bytes, "/sys/fs/cgroup/memory.current"});
    }
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    while (std::getline(groups, line)) {
        // "hierarchy-id:controllers:path"; cgroup v2 has no controllers.
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (controllers.empty()) {
            lower_by_groups(limits, "/sys/fs/cgroup", path, "memory.max", "memory.current");
            lower_by_groups(limits, "/sys/fs/cgroup/unified", path, "memory.max", "memory.current");
        } else if (names_controller(controllers, "memory")) {
            lower_by_groups(limits, "/sys/fs/cgroup/memory", path, "memory.limit_in_bytes", "memory.usage_in_bytes");
        }
    }
}

Limits read_limits() {
    Limits limits;
    std::uint64_t& limit = limits.bytes;
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0)
        lower(limit, static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size));
#endif
#if defined(__linux__)
    lower_by_cgroups(limits);
#endif
#if defined(RLIMIT_AS)
    rlimit address_space{};
    if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY)
        lower(limit, static_cast<std::uint64_t>(address_space.rlim_cur));
#endif
    return limits;
}

const Limits& limits() {
    // Initialised exactly once even when threads race here without the
    // interpreter lock: the language guarantees it for a local static.
    static const Limits read = read_limits();
    return read;
}

// "MemAvailable:" of /proc/meminfo in bytes: what can be given to a new
// request without swapping; 0 when unknown.
std::uint64_t available_physical() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    while (in >> key >> kib) {
        if (key == "MemAvailable:") return kib << 10;
        in.ignore(256, '\n');
    }
    return 0;
}

// The process's address space (first field of /proc/self/statm, in pages).
std::uint64_t address_space_used() {
    std::ifstream in("/proc/self/statm");
    std::uint64_t pages = 0;
    if (!(in >> pages)) return 0;
#if defined(_SC_PAGESIZE)
    const long page_size = sysconf(_SC_PAGESIZE);
    return page_size > 0 ? pages * static_cast<std::uint64_t>(page_size) : 0;
#else
    return 0;
#endif
}

// Lowers `room` to what is left of `limit` beyond `used`.
void lower_room(std::uint64_t& room, std::uint64_t limit, std::uint64_t used) {
    const std::uint64_t left = used < limit ? limit - used : 0;
    if (left < room) room = left;
}

}  // namespace

std::uint64_t memory_limit_bytes() { return limits().bytes; }

std::uint64_t memory_room_bytes() {
    std::uint64_t room = std::numeric_limits<std::uint64_t>::max();
#if defined(__linux__)
    for (const LimitedGroup& group : limits().groups) {
        // A group whose use cannot be read is judged by its limit alone.
        lower_room(room, group.limit, read_bytes(group.usage_file));
    }
    if (const std::uint64_t available = available_physical(); available != 0) lower_room(room, available, 0);
#endif
#if defined(RLIMIT_AS)
    rlimit address_space{};
    if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY)
        lower_room(room, static_cast<std::uint64_t>(address_space.rlim_cur), address_space_used());
#endif
    return room;
}

}  // namespace tarnwick
