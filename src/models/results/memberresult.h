#pragma once
#include <string_view>
#include <tuple>
#include <vector>

#include "models/json/record.h"
#include "models/results/nodedisplacement.h"
#include "models/results/nodeforces.h"

namespace varn {

// The stress resultants at one station along a member, member local axes.
struct SectionForce {
  double x_frac = 0.0;  // position as a fraction of the member length from the start node
  NodeForces forces;
};

// A member's end forces (acting on the member) in global and local axes, their componentwise
// extremes, its local end displacements and its interior stations.
struct MemberResult {
  NodeForces start_node_forces;
  NodeForces end_node_forces;
  NodeForces maximums;
  NodeForces minimums;
  NodeForces local_start_forces;
  NodeForces local_end_forces;
  NodeForces local_maximums;
  NodeForces local_minimums;
  NodeDisplacement local_displacement_start_node;
  NodeDisplacement local_displacement_end_node;
  std::vector<SectionForce> section_forces;
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::SectionForce> {
  static constexpr std::string_view name = "SectionForce";
  static const auto& fields() {
    using varn::SectionForce;
    static const auto f =
        std::make_tuple(json::required("x_frac", &SectionForce::x_frac), json::required("forces", &SectionForce::forces));
    return f;
  }
};

template <>
struct varn::json::RecordMeta<varn::MemberResult> {
  static constexpr std::string_view name = "MemberResult";
  static const auto& fields() {
    using varn::MemberResult;
    static const auto f = std::make_tuple(
        json::required("start_node_forces", &MemberResult::start_node_forces),
        json::required("end_node_forces", &MemberResult::end_node_forces),
        json::required("maximums", &MemberResult::maximums), json::required("minimums", &MemberResult::minimums),
        json::required("local_start_forces", &MemberResult::local_start_forces),
        json::required("local_end_forces", &MemberResult::local_end_forces),
        json::required("local_maximums", &MemberResult::local_maximums),
        json::required("local_minimums", &MemberResult::local_minimums),
        json::required("local_displacement_start_node", &MemberResult::local_displacement_start_node),
        json::required("local_displacement_end_node", &MemberResult::local_displacement_end_node),
        json::required("section_forces", &MemberResult::section_forces));
    return f;
  }
};
