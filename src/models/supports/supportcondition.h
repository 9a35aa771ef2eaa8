#pragma once
#include <optional>
#include <string_view>
#include <tuple>

#include "models/json/record.h"
#include "models/stiffness_curve/stiffness_curve.h"
#include "models/supports/supportconditiontype.h"

namespace varn {

// The restraint of one DOF of a support.
struct SupportCondition {
  SupportConditionType condition_type = SupportConditionType::Fixed;
  // Spring stiffness: force/length for translations, moment/radian for rotations,
  // bimoment per unit warping for warping (model units).
  std::optional<double> stiffness;
  // Force-dependent spring stiffness; when present it gives the stiffness whatever the type.
  std::optional<StiffnessCurveConfig> stiffness_curve;

  bool has_curve() const { return stiffness_curve.has_value(); }

  // Unit conversion with the length factor L and force factor F: the stiffness by F/L,
  // F*L or F*L^3 (bimoment per unit rate of twist), curve values by F (forces) or F*L (moments), curve stiffnesses like the
  // constant stiffness.
  void normalize_translation_units(double length_factor, double force_factor);
  void normalize_rotation_units(double length_factor, double force_factor);
  void normalize_warping_units(double length_factor, double force_factor);

  bool operator==(const SupportCondition&) const = default;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::SupportCondition> {
  static constexpr std::string_view name = "SupportCondition";
  static const auto& fields() {
    using varn::SupportCondition;
    static const auto f = std::make_tuple(
        json::required("condition_type", &SupportCondition::condition_type),
        json::optional("stiffness", &SupportCondition::stiffness),
        json::defaulted("stiffness_curve", &SupportCondition::stiffness_curve, std::nullopt));
    return f;
  }
};
