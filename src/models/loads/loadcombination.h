#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "models/json/record.h"

namespace varn {

enum class LimitState : std::uint8_t { SLS, ULS, FLS, ALS };

// A factored sum of load cases. The factors keep the order in which the input lists them:
// the combination's load vector is summed in that order, so the same model always gives the
// same floating-point result and the same output text.
struct LoadCombination {
  std::uint32_t id = 0;
  std::string name;
  json::InsertionOrderedMap<std::uint32_t, double> load_cases_factors;  // load-case id -> factor
  std::optional<std::string> situation;
  std::string check;
  std::optional<LimitState> limit_state;
};

}  // namespace varn

template <>
struct varn::json::EnumMeta<varn::LimitState> {
  static constexpr std::string_view name = "LimitState";
  static const auto& values() {
    using varn::LimitState;
    static const json::EnumTable<LimitState> t = {
        {LimitState::SLS, "SLS", {"SLS"}},
        {LimitState::ULS, "ULS", {"ULS"}},
        {LimitState::FLS, "FLS", {"FLS"}},
        {LimitState::ALS, "ALS", {"ALS"}},
    };
    return t;
  }
};

template <>
struct varn::json::RecordMeta<varn::LoadCombination> {
  static constexpr std::string_view name = "LoadCombination";
  static const auto& fields() {
    using varn::LoadCombination;
    static const auto f = std::make_tuple(
        json::required("id", &LoadCombination::id), json::required("name", &LoadCombination::name),
        json::required("load_cases_factors", &LoadCombination::load_cases_factors),
        json::optional("situation", &LoadCombination::situation), json::required("check", &LoadCombination::check),
        json::optional("limit_state", &LoadCombination::limit_state));
    return f;
  }
};
