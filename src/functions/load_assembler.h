#pragma once
// Loads of one load case as equivalent nodal loads in a global load vector: nodal forces and
// moments directly, linearly varying member loads through their work-equivalent end forces
// and moments (condensed for end releases when the member is hinged).
#include <array>
#include <cstdint>
#include <vector>

#include <Eigen/Dense>

#include "expected.h"

namespace varn {

struct AssemblyContext;
struct LoadCase;
struct MemberSet;

// End values of a load whose intensity varies linearly from q_s at the fraction s to q_e at
// the fraction e of a member of length L, weighted with the cubic Hermite functions of a
// fixed-ended beam: the end forces F and the end moments M (their sign refers to the moment
// axis x̂ × d, with d the load direction). For a uniform load over the whole span:
// F = qL/2 at both ends, M_start = qL²/12, M_end = -qL²/12.
struct HermiteEndLoads {
  double f_start = 0.0;
  double m_start = 0.0;
  double f_end = 0.0;
  double m_end = 0.0;
};
HermiteEndLoads hermite_end_loads(double length, double s, double e, double q_s, double q_e);

// End forces of the same load on a member that carries no end moments (a pin-ended bar): the
// lever rule of a simple beam, which is also the work-equivalent split of an axial bar with
// linear shape functions. Half-span uniform load from the start: 0.375 qL and 0.125 qL.
struct SimpleBeamEndForces {
  double f_start = 0.0;
  double f_end = 0.0;
};
SimpleBeamEndForces simple_beam_end_forces(double length, double s, double e, double q_s, double q_e);

// End values, in the member's local axes (x along the chord), of the same load acting along
// the local direction q on a member held at both ends: the transverse components take the
// cubic Hermite end forces and moments of the bending element, the axial component the linear
// weights of the axial element (its own shape functions, so that the load does the work that
// the element's axial displacement field sees). A bar held at both ends under an axial load
// rising from 0 to q takes qL/6 at the start and qL/3 at the end. Torsion and warping take
// nothing: the load acts through the member's axis.
Eigen::Matrix<double, 14, 1> fixed_end_member_load_local(double length, double s, double e, double q_s, double q_e,
                                                         const Eigen::Vector3d& q);

// Loads of a smaller extent (|end_frac − start_frac|) than this carry nothing: the load assembly
// and the member-force recovery skip them alike.
inline constexpr double kMinLoadExtent = 1e-14;

// A load direction (global) in the local axes of the member whose transformation is t (rows
// x, y, z of its leading 3 × 3 block).
Eigen::Vector3d load_direction_local(const Eigen::Matrix<double, 14, 14>& t, const std::array<double, 3>& direction);

// How a member takes a distributed load at its ends: the fixed-end values of a beam held at
// both ends (fixed_end_member_load_local: cubic across, linear along), or the lever-rule end
// forces of a pin-ended bar (simple_beam_end_forces along q at both ends, no moments).
enum class LoadSplit {
  FixedEnd,
  SimpleBeam,
};
// The 14 end values, times `factor`, of the load q_s..q_e over [s, e] acting along q (in the
// axes the result is wanted in: local for FixedEnd).
Eigen::Matrix<double, 14, 1> member_load_end_values(double length, double s, double e, double q_s, double q_e,
                                                    const Eigen::Vector3d& q, LoadSplit split, double factor = 1.0);

// Adds magnitude × direction of every nodal load (forces) or nodal moment (moments) of the
// case. A load on a node that no member connects is refused with a message, and the vector is
// then left as it was. The vector must have the system size of the member sets.
Expected<void> assemble_nodal_loads(const LoadCase& load_case, const std::vector<MemberSet>& member_sets,
                                    Eigen::VectorXd& f);
Expected<void> assemble_nodal_moments(const LoadCase& load_case, const std::vector<MemberSet>& member_sets,
                                      Eigen::VectorXd& f);

// Adds the equivalent nodal loads of the case's distributed loads whose `load_case` is
// `load_case_id`. Beams and rigid members receive the fixed-end values above, condensed
// for their hinges when a context is given; truss-type members receive the simple-beam end
// forces. A load on a member that the model does not have, or whose span does not lie within
// the member (0 <= start_frac < end_frac <= 1), is refused with a message, and the vector is
// then left as it was. Loads of zero extent add nothing.
Expected<void> assemble_distributed_loads(const LoadCase& load_case, const std::vector<MemberSet>& member_sets,
                                          Eigen::VectorXd& f, std::uint32_t load_case_id,
                                          const AssemblyContext* context);

}  // namespace varn
