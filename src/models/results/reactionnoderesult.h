#pragma once
#include <cstdint>
#include <string_view>
#include <tuple>

#include "models/json/record.h"
#include "models/results/nodeforces.h"

namespace varn {

// Coordinates of a supported node; in results computed by the analysis they are in metres.
struct NodeLocation {
  double X = 0.0;
  double Y = 0.0;
  double Z = 0.0;
};

// The force a support exerts on its node, global axes.
struct ReactionNodeResult {
  NodeForces nodal_forces;
  NodeLocation location;
  std::uint32_t support_id = 0;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::NodeLocation> {
  static constexpr std::string_view name = "NodeLocation";
  static const auto& fields() {
    using varn::NodeLocation;
    static const auto f = std::make_tuple(json::required("X", &NodeLocation::X), json::required("Y", &NodeLocation::Y),
                                          json::required("Z", &NodeLocation::Z));
    return f;
  }
};

template <>
struct varn::json::RecordMeta<varn::ReactionNodeResult> {
  static constexpr std::string_view name = "ReactionNodeResult";
  static const auto& fields() {
    using varn::ReactionNodeResult;
    static const auto f = std::make_tuple(json::required("nodal_forces", &ReactionNodeResult::nodal_forces),
                                          json::required("location", &ReactionNodeResult::location),
                                          json::required("support_id", &ReactionNodeResult::support_id));
    return f;
  }
};
