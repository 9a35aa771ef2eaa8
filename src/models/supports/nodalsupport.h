#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "models/json/record.h"
#include "models/supports/supportcondition.h"

namespace varn {

// The restraints of one support; nodes name it by id, and one support may serve many nodes.
struct NodalSupport {
  std::uint32_t id = 0;
  std::optional<std::string> classification;  // carried through
  // Conditions of the translations and rotations by global axis. The analysis reads "X", "Y",
  // "Z" (falling back to "x", "y", "z"); other keys are kept and written back. An axis without
  // an entry is held like Fixed.
  std::map<std::string, SupportCondition> displacement_conditions;
  std::map<std::string, SupportCondition> rotation_conditions;
  // Absent: warping free.
  std::optional<SupportCondition> warping_condition;

  bool operator==(const NodalSupport&) const = default;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::NodalSupport> {
  static constexpr std::string_view name = "NodalSupport";
  static const auto& fields() {
    using varn::NodalSupport;
    static const auto f = std::make_tuple(
        json::required("id", &NodalSupport::id), json::optional("classification", &NodalSupport::classification),
        json::required("displacement_conditions", &NodalSupport::displacement_conditions),
        json::required("rotation_conditions", &NodalSupport::rotation_conditions),
        json::defaulted("warping_condition", &NodalSupport::warping_condition, std::nullopt));
    return f;
  }
};
