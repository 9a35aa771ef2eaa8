#include "models/supports/supportcondition.h"

namespace varn {

std::string_view to_string(SupportConditionType t) {
  for (const auto& v : json::EnumMeta<SupportConditionType>::values())
    if (v.value == t) return v.written;
  return "Fixed";
}

namespace {

// One stiffness factor for the constant stiffness and the curve stiffnesses of a condition;
// curve values are forces (F) or moments (F*L) whatever DOF the condition restrains.
void scale(SupportCondition& c, double length_factor, double force_factor, double stiffness_factor) {
  if (c.stiffness) *c.stiffness *= stiffness_factor;
  if (c.stiffness_curve) c.stiffness_curve->normalize(force_factor, length_factor * force_factor, stiffness_factor);
}

}  // namespace

void SupportCondition::normalize_translation_units(double length_factor, double force_factor) {
  scale(*this, length_factor, force_factor, force_factor / length_factor);
}

void SupportCondition::normalize_rotation_units(double length_factor, double force_factor) {
  scale(*this, length_factor, force_factor, length_factor * force_factor);
}

// The warping DOF is the rate of twist (per length) and its force the bimoment (force times
// length squared): the spring is force times length cubed.
void SupportCondition::normalize_warping_units(double length_factor, double force_factor) {
  scale(*this, length_factor, force_factor, length_factor * (length_factor * (length_factor * force_factor)));
}

}  // namespace varn
