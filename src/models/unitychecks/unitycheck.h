#pragma once
// Outcomes of code checks made by another tool on an earlier result. The analysis never
// computes or interprets them: they are read, copied and written back unchanged, and no unit
// conversion touches them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "models/json/record.h"
#include "models/json/value.h"

namespace varn {

// What governs a check: a member, a load combination and/or a load case.
struct GoverningKey {
  std::optional<std::uint32_t> member_id;
  std::optional<std::uint32_t> load_combination_id;
  std::optional<std::uint32_t> load_case_id;
};

struct UnityCheck {
  std::string check_id;
  bool ok = false;
  std::optional<double> value;
  std::optional<double> limit;
  std::optional<std::string> message;
  std::optional<GoverningKey> governing;
  json::Value details;  // any JSON value; null is a present value here
};

struct UnityCheckOverview {
  std::string check_id;
  bool aggregated_ok = false;
  std::optional<double> aggregated_value;
  std::optional<GoverningKey> governing;
  std::vector<UnityCheck> children;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::GoverningKey> {
  static constexpr std::string_view name = "GoverningKey";
  static const auto& fields() {
    using varn::GoverningKey;
    static const auto f = std::make_tuple(json::optional("member_id", &GoverningKey::member_id),
                                          json::optional("load_combination_id", &GoverningKey::load_combination_id),
                                          json::optional("load_case_id", &GoverningKey::load_case_id));
    return f;
  }
};

template <>
struct varn::json::RecordMeta<varn::UnityCheck> {
  static constexpr std::string_view name = "UnityCheck";
  static const auto& fields() {
    using varn::UnityCheck;
    static const auto f = std::make_tuple(
        json::required("check_id", &UnityCheck::check_id), json::required("ok", &UnityCheck::ok),
        json::optional("value", &UnityCheck::value), json::optional("limit", &UnityCheck::limit),
        json::optional("message", &UnityCheck::message), json::optional("governing", &UnityCheck::governing),
        json::required("details", &UnityCheck::details));
    return f;
  }
};

template <>
struct varn::json::RecordMeta<varn::UnityCheckOverview> {
  static constexpr std::string_view name = "UnityCheckOverview";
  static const auto& fields() {
    using varn::UnityCheckOverview;
    static const auto f = std::make_tuple(json::required("check_id", &UnityCheckOverview::check_id),
                                          json::required("aggregated_ok", &UnityCheckOverview::aggregated_ok),
                                          json::optional("aggregated_value", &UnityCheckOverview::aggregated_value),
                                          json::optional("governing", &UnityCheckOverview::governing),
                                          json::required("children", &UnityCheckOverview::children));
    return f;
  }
};
