#pragma once
#include <string_view>
#include <tuple>

#include "models/json/record.h"

namespace varn {

// The seven displacements of a node (global axes) or of a member end (member local axes):
// translations in the length unit, rotations in radians, and the warping DOF.
struct NodeDisplacement {
  double dx = 0.0;
  double dy = 0.0;
  double dz = 0.0;
  double rx = 0.0;
  double ry = 0.0;
  double rz = 0.0;
  double warp = 0.0;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::NodeDisplacement> {
  static constexpr std::string_view name = "NodeDisplacement";
  static const auto& fields() {
    using varn::NodeDisplacement;
    static const auto f = std::make_tuple(
        json::required("dx", &NodeDisplacement::dx), json::required("dy", &NodeDisplacement::dy),
        json::required("dz", &NodeDisplacement::dz), json::required("rx", &NodeDisplacement::rx),
        json::required("ry", &NodeDisplacement::ry), json::required("rz", &NodeDisplacement::rz),
        json::defaulted("warp", &NodeDisplacement::warp, 0.0));
    return f;
  }
};
