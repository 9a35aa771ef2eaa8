#pragma once
// Load cases and combinations found by id. Of two records with one id the first in list order
// is the one found, by every solve and every recovery alike.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "models/loads/loadcase.h"
#include "models/loads/loadcombination.h"

namespace varn {

inline const LoadCase* find_load_case(const std::vector<LoadCase>& cases, std::uint32_t id) {
  const auto it = std::find_if(cases.begin(), cases.end(), [&](const LoadCase& c) { return c.id == id; });
  return it == cases.end() ? nullptr : &*it;
}

inline const LoadCombination* find_load_combination(const std::vector<LoadCombination>& combinations,
                                                    std::uint32_t id) {
  const auto it = std::find_if(combinations.begin(), combinations.end(),
                               [&](const LoadCombination& c) { return c.id == id; });
  return it == combinations.end() ? nullptr : &*it;
}

}  // namespace varn
