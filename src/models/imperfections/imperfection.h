#pragma once
// Geometric imperfections of member sets. The analysis does not use them: they are read,
// kept in the model's own units and written back unchanged.
#include <array>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <vector>

#include "models/json/fixed_tuple.h"
#include "models/json/record.h"

namespace varn {

// A rotation of the given size about `axis` (X, Y, Z components).
struct RotationImperfection {
  std::vector<std::uint64_t> memberset_ids;  // not resolved
  double magnitude = 0.0;
  std::array<double, 3> axis{};

  bool operator==(const RotationImperfection&) const = default;
};

// A translation of the given size along `axis`.
struct TranslationImperfection {
  std::vector<std::uint64_t> memberset_ids;  // not resolved
  double magnitude = 0.0;
  std::array<double, 3> axis{};

  bool operator==(const TranslationImperfection&) const = default;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::RotationImperfection> {
  static constexpr std::string_view name = "RotationImperfection";
  static const auto& fields() {
    using varn::RotationImperfection;
    static const auto f = std::make_tuple(json::required("memberset_ids", &RotationImperfection::memberset_ids),
                                          json::required("magnitude", &RotationImperfection::magnitude),
                                          json::required("axis", &RotationImperfection::axis));
    return f;
  }
};

template <>
struct varn::json::RecordMeta<varn::TranslationImperfection> {
  static constexpr std::string_view name = "TranslationImperfection";
  static const auto& fields() {
    using varn::TranslationImperfection;
    static const auto f = std::make_tuple(json::required("memberset_ids", &TranslationImperfection::memberset_ids),
                                          json::required("magnitude", &TranslationImperfection::magnitude),
                                          json::required("axis", &TranslationImperfection::axis));
    return f;
  }
};
