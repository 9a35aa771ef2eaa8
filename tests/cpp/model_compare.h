#pragma once
// Comparison of two JSON documents up to floating-point round-off, reporting the paths where
// they differ, and fixture loading for the model tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "models/json/record.h"
#include "models/json/value.h"

namespace varn::testing {

inline std::string read_fixture(const std::string& name) {
  std::ifstream in(std::string(VARN_FIXTURES_DIR) + "/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline json::Value as_value(const std::string& text) {
  auto r = json::parse<json::Value>(text);
  return r.ok() ? *r.value : json::Value();
}

namespace detail {
inline void differences(const json::Value& a, const json::Value& b, double rel_tol, const std::set<std::string>& skip,
                        const std::string& path, std::vector<std::string>& out) {
  if (a.is_number() && b.is_number()) {
    const double x = a.as_number().as_double();
    const double y = b.as_number().as_double();
    if (!(std::abs(x - y) <= rel_tol * std::max(std::abs(x), std::abs(y))) && x != y) out.push_back(path);
    return;
  }
  if (a.is_object() && b.is_object()) {
    for (const auto& [k, v] : a.as_object()) {
      if (skip.count(k)) continue;
      const json::Value* w = b.find(k);
      if (!w) {
        out.push_back(path + "." + k + " (missing on the right)");
        continue;
      }
      differences(v, *w, rel_tol, skip, path + "." + k, out);
    }
    for (const auto& [k, v] : b.as_object())
      if (!skip.count(k) && !a.find(k)) out.push_back(path + "." + k + " (missing on the left)");
    return;
  }
  if (a.is_array() && b.is_array()) {
    if (a.as_array().size() != b.as_array().size()) {
      out.push_back(path + " (lengths differ)");
      return;
    }
    for (std::size_t k = 0; k < a.as_array().size(); ++k)
      differences(a.as_array()[k], b.as_array()[k], rel_tol, skip, path + "[" + std::to_string(k) + "]", out);
    return;
  }
  if (!(a == b)) out.push_back(path);
}
}  // namespace detail

// Paths at which two documents differ: numbers beyond a relative tolerance, anything else
// that is not equal. Keys in `skip` are left out wherever they occur.
inline std::vector<std::string> differences(const json::Value& a, const json::Value& b, double rel_tol,
                                            const std::set<std::string>& skip = {}) {
  std::vector<std::string> out;
  detail::differences(a, b, rel_tol, skip, "", out);
  return out;
}

template <class T>
std::vector<std::string> differences(const T& a, const T& b, double rel_tol, const std::set<std::string>& skip = {}) {
  return differences(as_value(json::to_json(a)), as_value(json::to_json(b)), rel_tol, skip);
}

}  // namespace varn::testing
