// Records keyed by name, kept in the order the caller gave them.
//
// Every computation over named records (outlets, groundwater layers) walks
// them in this order, so results, the first error met and the dictionaries
// handed back follow the caller's own order on every run.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarnwick {

template <class T>
using NamedMap = std::vector<std::pair<std::string, T>>;

// Leaves one record per name: a later record with the name of an earlier one
// gives that earlier record its value and is dropped, as building a dict from
// the records would. Names are then unique, so every result keyed by name
// holds exactly the records that went into any total.
template <class T>
void merge_repeated_names(NamedMap<T>& map) {
    if (map.size() < 2) return;
    std::vector<bool> repeated(map.size(), false);
    bool any = false;
    {
        // Views of the names, which stay in place until the compaction below.
        std::unordered_map<std::string_view, std::size_t> first;
        first.reserve(map.size());
        for (std::size_t i = 0; i < map.size(); ++i) {
            auto [at, fresh] = first.try_emplace(std::string_view(map[i].first), i);
            if (fresh) continue;
            map[at->second].second = std::move(map[i].second);
            repeated[i] = true;
            any = true;
        }
    }
    if (!any) return;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < map.size(); ++i)
        if (!repeated[i]) {
            if (kept != i) map[kept] = std::move(map[i]);
            ++kept;
        }
    map.erase(map.begin() + static_cast<std::ptrdiff_t>(kept), map.end());
}

}  // namespace tarnwick
