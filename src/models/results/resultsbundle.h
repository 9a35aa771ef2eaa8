#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "models/json/record.h"
#include "models/results/results.h"
#include "models/unitychecks/unitycheck.h"

namespace varn {

// All result sets of a model, keyed by name (byte order), one map for load cases and one for
// load combinations, plus the unity-check overview another tool may have attached.
struct ResultsBundle {
  std::map<std::string, Results> loadcases;
  std::map<std::string, Results> loadcombinations;
  std::optional<std::map<std::string, UnityCheckOverview>> unity_checks_overview;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::ResultsBundle> {
  static constexpr std::string_view name = "ResultsBundle";
  static const auto& fields() {
    using varn::ResultsBundle;
    static const auto f = std::make_tuple(json::required("loadcases", &ResultsBundle::loadcases),
                                          json::required("loadcombinations", &ResultsBundle::loadcombinations),
                                          json::optional("unity_checks_overview", &ResultsBundle::unity_checks_overview));
    return f;
  }
};
