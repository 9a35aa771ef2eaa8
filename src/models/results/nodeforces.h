#pragma once
#include <string_view>
#include <tuple>

#include "models/json/record.h"

namespace varn {

// The seven generalised forces at a node or member end: three forces, three moments and the
// bimoment that works on the warping DOF.
struct NodeForces {
  double fx = 0.0;
  double fy = 0.0;
  double fz = 0.0;
  double mx = 0.0;
  double my = 0.0;
  double mz = 0.0;
  double bw = 0.0;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::NodeForces> {
  static constexpr std::string_view name = "NodeForces";
  static const auto& fields() {
    using varn::NodeForces;
    static const auto f = std::make_tuple(
        json::required("fx", &NodeForces::fx), json::required("fy", &NodeForces::fy),
        json::required("fz", &NodeForces::fz), json::required("mx", &NodeForces::mx),
        json::required("my", &NodeForces::my), json::required("mz", &NodeForces::mz),
        json::defaulted("bw", &NodeForces::bw, 0.0));
    return f;
  }
};
