#include "models/members/memberhinge.h"

#include <cmath>

namespace varn {

namespace {
const std::optional<StiffnessCurveConfig> kNoCurve;
}

std::string_view curve_key(HingeDof dof) {
  switch (dof) {
    case HingeDof::Vx: return "stiffness_curve_vx";
    case HingeDof::Vy: return "stiffness_curve_vy";
    case HingeDof::Vz: return "stiffness_curve_vz";
    case HingeDof::Mx: return "stiffness_curve_mx";
    case HingeDof::My: return "stiffness_curve_my";
    case HingeDof::Mz: return "stiffness_curve_mz";
    case HingeDof::Warp: break;
  }
  return "";
}

const std::optional<double>& MemberHinge::release_for_dof(HingeDof dof) const {
  switch (dof) {
    case HingeDof::Vx: return translational_release_vx;
    case HingeDof::Vy: return translational_release_vy;
    case HingeDof::Vz: return translational_release_vz;
    case HingeDof::Mx: return rotational_release_mx;
    case HingeDof::My: return rotational_release_my;
    case HingeDof::Mz: return rotational_release_mz;
    case HingeDof::Warp: break;
  }
  return rotational_release_warp;
}

const std::optional<StiffnessCurveConfig>& MemberHinge::curve_for_dof(HingeDof dof) const {
  switch (dof) {
    case HingeDof::Vx: return stiffness_curve_vx;
    case HingeDof::Vy: return stiffness_curve_vy;
    case HingeDof::Vz: return stiffness_curve_vz;
    case HingeDof::Mx: return stiffness_curve_mx;
    case HingeDof::My: return stiffness_curve_my;
    case HingeDof::Mz: return stiffness_curve_mz;
    case HingeDof::Warp: break;
  }
  return kNoCurve;  // warping has no force-dependent spring
}

bool MemberHinge::has_curve() const {
  return stiffness_curve_vx || stiffness_curve_vy || stiffness_curve_vz || stiffness_curve_mx || stiffness_curve_my ||
         stiffness_curve_mz;
}

Expected<double> MemberHinge::curve_stiffness(HingeDof dof, const std::array<double, 6>& end_forces) const {
  const auto& curve = curve_for_dof(dof);
  if (!curve) {
    return fail("Member hinge " + std::to_string(id) + " has no stiffness curve for " +
                (dof == HingeDof::Warp ? std::string("warping") : std::string(curve_key(dof))) + ".");
  }
  if (curve->points.empty()) {
    return fail("Member hinge " + std::to_string(id) + " " + std::string(curve_key(dof)) +
                " has no points: a stiffness curve needs at least one (value, stiffness) point to give the "
                "spring stiffness at the end force.");
  }
  return curve->interpolate(std::abs(end_forces[index(curve->depends_on)]));
}

}  // namespace varn
