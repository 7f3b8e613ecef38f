#include "memory_limit.hpp"

#include <fstream>
#include <string>

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

// The limit file of the group at `path` (as /proc/self/cgroup names it)
// and of each of its ancestors below the hierarchy's mount point.
void lower_by_groups(std::uint64_t& limit, const std::string& mount, std::string path, const char* file) {
    while (true) {
        lower(limit, read_bytes(mount + (path == "/" ? "" : path) + "/" + file));
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

void lower_by_cgroups(std::uint64_t& limit) {
    // Even where the process's own group cannot be found, the limit at the
    // root of its namespace applies.
    lower(limit, read_bytes("/sys/fs/cgroup/memory.max"));
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
            lower_by_groups(limit, "/sys/fs/cgroup", path, "memory.max");
            lower_by_groups(limit, "/sys/fs/cgroup/unified", path, "memory.max");
        } else if (names_controller(controllers, "memory")) {
            lower_by_groups(limit, "/sys/fs/cgroup/memory", path, "memory.limit_in_bytes");
        }
    }
}

std::uint64_t read_limit() {
    std::uint64_t limit = 0;
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0)
        lower(limit, static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size));
#endif
#if defined(__linux__)
    lower_by_cgroups(limit);
#endif
#if defined(RLIMIT_AS)
    rlimit address_space{};
    if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY)
        lower(limit, static_cast<std::uint64_t>(address_space.rlim_cur));
#endif
    return limit;
}

}  // namespace

std::uint64_t memory_limit_bytes() {
    // Initialised exactly once even when threads race here without the
    // interpreter lock: the language guarantees it for a local static.
    static const std::uint64_t limit = read_limit();
    return limit;
}

}  // namespace tarnwick
