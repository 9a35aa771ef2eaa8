#pragma once
#include <cstdint>
#include <string_view>
#include <tuple>
#include <vector>

#include "models/imperfections/imperfection.h"
#include "models/json/record.h"

namespace varn {

// A set of imperfections tied to load combinations (ids not resolved).
struct ImperfectionCase {
  std::uint32_t imperfection_case_id = 0;
  std::vector<std::uint32_t> load_combinations;
  std::vector<RotationImperfection> rotation_imperfections;
  std::vector<TranslationImperfection> translation_imperfections;

  bool operator==(const ImperfectionCase&) const = default;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::ImperfectionCase> {
  static constexpr std::string_view name = "ImperfectionCase";
  static const auto& fields() {
    using varn::ImperfectionCase;
    static const auto f = std::make_tuple(
        json::required("imperfection_case_id", &ImperfectionCase::imperfection_case_id),
        json::required("load_combinations", &ImperfectionCase::load_combinations),
        json::required("rotation_imperfections", &ImperfectionCase::rotation_imperfections),
        json::required("translation_imperfections", &ImperfectionCase::translation_imperfections));
    return f;
  }
};
