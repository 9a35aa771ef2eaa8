#pragma once
#include <cstdint>
#include <string_view>

#include "models/json/record.h"

namespace varn {

enum class SupportConditionType : std::uint8_t {
  Fixed = 0,         // DOF held
  Free = 1,          // no restraint
  Spring = 2,        // elastic spring of the condition's stiffness
  PositiveOnly = 3,  // held while the support pushes along +axis, released where it would pull
  NegativeOnly = 4,  // held while the support pushes along −axis, released where it would pull
};

std::string_view to_string(SupportConditionType t);

}  // namespace varn

// The accepted spellings are listed in the order the "unknown variant" message gives them.
template <>
struct varn::json::EnumMeta<varn::SupportConditionType> {
  static constexpr std::string_view name = "SupportConditionType";
  static const auto& values() {
    using varn::SupportConditionType;
    static const json::EnumTable<SupportConditionType> t = {
        {SupportConditionType::Fixed, "Fixed", {"Fixed"}},
        {SupportConditionType::Free, "Free", {"Free"}},
        {SupportConditionType::Spring, "Spring", {"Spring", "StiffnessCurve"}},
        {SupportConditionType::PositiveOnly, "PositiveOnly", {"Positive-only", "PositiveOnly"}},
        {SupportConditionType::NegativeOnly, "NegativeOnly", {"Negative-only", "NegativeOnly"}},
    };
    return t;
  }
};
