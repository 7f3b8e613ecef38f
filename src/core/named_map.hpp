// Records keyed by name, kept in the order the caller gave them.
//
// Every computation over named records (outlets, groundwater layers) walks
// them in this order, so results, the first error met and the dictionaries
// handed back follow the caller's own order on every run.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tarnwick {

template <class T>
using NamedMap = std::vector<std::pair<std::string, T>>;

}  // namespace tarnwick
