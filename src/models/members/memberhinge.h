#pragma once
// How a member end is connected to its node, DOF by DOF: rigidly (no value), freely (value
// <= 0), or through a spring (value > 0, or a stiffness curve on one of the six end DOFs).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "expected.h"
#include "models/json/record.h"
#include "models/stiffness_curve/stiffness_curve.h"

namespace varn {

// The seven DOFs of a member end, named by the local axes: translations along x, y, z,
// rotations about x, y, z, and warping.
enum class HingeDof : std::uint8_t { Vx = 0, Vy = 1, Vz = 2, Mx = 3, My = 4, Mz = 5, Warp = 6 };

struct MemberHinge {
  std::uint32_t id = 0;
  std::string hinge_type;  // carried through
  std::optional<double> translational_release_vx;
  std::optional<double> translational_release_vy;
  std::optional<double> translational_release_vz;
  std::optional<double> rotational_release_mx;
  std::optional<double> rotational_release_my;
  std::optional<double> rotational_release_mz;
  std::optional<double> rotational_release_warp;
  // Limits are carried through; no computation reads them.
  std::optional<double> max_tension_vx;
  std::optional<double> max_tension_vy;
  std::optional<double> max_tension_vz;
  std::optional<double> max_moment_mx;
  std::optional<double> max_moment_my;
  std::optional<double> max_moment_mz;
  std::optional<double> max_bimoment_warp;
  // Never validated: a hinge curve may be empty, unsorted or carry non-positive stiffnesses.
  std::optional<StiffnessCurveConfig> stiffness_curve_vx;
  std::optional<StiffnessCurveConfig> stiffness_curve_vy;
  std::optional<StiffnessCurveConfig> stiffness_curve_vz;
  std::optional<StiffnessCurveConfig> stiffness_curve_mx;
  std::optional<StiffnessCurveConfig> stiffness_curve_my;
  std::optional<StiffnessCurveConfig> stiffness_curve_mz;

  // The release value of an end DOF.
  const std::optional<double>& release_for_dof(HingeDof dof) const;
  // The curve of an end DOF; warping never has one.
  const std::optional<StiffnessCurveConfig>& curve_for_dof(HingeDof dof) const;
  // True when at least one of the six curves is present.
  bool has_curve() const;
  // The spring stiffness that the curve of `dof` gives at the end force magnitude
  // |end_forces[index(depends_on)]| (end forces in the order of ForceComponent::index).
  // A hinge curve is never validated, so an empty one (or none at all) is refused here
  // with a message naming the hinge and the DOF rather than read out of bounds.
  Expected<double> curve_stiffness(HingeDof dof, const std::array<double, 6>& end_forces) const;

  bool operator==(const MemberHinge&) const = default;
};

// JSON key of the curve of an end DOF ("stiffness_curve_vx" ...; "" for warping).
std::string_view curve_key(HingeDof dof);

}  // namespace varn

// Array form: elements 0 to 14 must be present (null for none), except element 8 (the warping
// release), which is filled in when the array ends just before it; elements 15 to 21 may be
// left off the end.
template <>
struct varn::json::RecordMeta<varn::MemberHinge> {
  static constexpr std::string_view name = "MemberHinge";
  static const auto& fields() {
    using varn::MemberHinge;
    static const auto f = std::make_tuple(
        json::required("id", &MemberHinge::id), json::required("hinge_type", &MemberHinge::hinge_type),
        json::optional("translational_release_vx", &MemberHinge::translational_release_vx),
        json::optional("translational_release_vy", &MemberHinge::translational_release_vy),
        json::optional("translational_release_vz", &MemberHinge::translational_release_vz),
        json::optional("rotational_release_mx", &MemberHinge::rotational_release_mx),
        json::optional("rotational_release_my", &MemberHinge::rotational_release_my),
        json::optional("rotational_release_mz", &MemberHinge::rotational_release_mz),
        json::defaulted("rotational_release_warp", &MemberHinge::rotational_release_warp, std::nullopt),
        json::optional("max_tension_vx", &MemberHinge::max_tension_vx),
        json::optional("max_tension_vy", &MemberHinge::max_tension_vy),
        json::optional("max_tension_vz", &MemberHinge::max_tension_vz),
        json::optional("max_moment_mx", &MemberHinge::max_moment_mx),
        json::optional("max_moment_my", &MemberHinge::max_moment_my),
        json::optional("max_moment_mz", &MemberHinge::max_moment_mz),
        json::defaulted("max_bimoment_warp", &MemberHinge::max_bimoment_warp, std::nullopt),
        json::defaulted("stiffness_curve_vx", &MemberHinge::stiffness_curve_vx, std::nullopt),
        json::defaulted("stiffness_curve_vy", &MemberHinge::stiffness_curve_vy, std::nullopt),
        json::defaulted("stiffness_curve_vz", &MemberHinge::stiffness_curve_vz, std::nullopt),
        json::defaulted("stiffness_curve_mx", &MemberHinge::stiffness_curve_mx, std::nullopt),
        json::defaulted("stiffness_curve_my", &MemberHinge::stiffness_curve_my, std::nullopt),
        json::defaulted("stiffness_curve_mz", &MemberHinge::stiffness_curve_mz, std::nullopt));
    return f;
  }
};
