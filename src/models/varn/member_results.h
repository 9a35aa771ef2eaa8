#pragma once
// Member result recovery: from a solved global displacement vector to the end forces of every
// member (global and local axes, componentwise extremes), its local end displacements and the
// stress resultants at three interior stations; and the node displacements of a result set.
// Everything in SI units.
//
// Sign convention: end forces are the forces and moments that act ON the member at its ends
// (exerted by the nodes). A station holds the resultant of the start-end force and of the
// member loads between the start node and the station, reduced to the station: the action of
// the part before the station on the part after it.
#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "functions/hinge_and_release_operations.h"
#include "models/results/memberresult.h"
#include "models/results/nodedisplacement.h"
#include "models/results/nodeforces.h"
#include "models/results/results.h"
#include "models/varn/active_map.h"

namespace varn {

struct VARN;
struct Member;

using Mat14 = Eigen::Matrix<double, 14, 14>;
using Vec14 = Eigen::Matrix<double, 14, 1>;

// Member id -> result, ascending by id.
using MemberResultMap = std::map<std::uint32_t, MemberResult>;

// ---- equivalent member loads and section stations ----------------------------------------

// One distributed load as it acts on a member in a result set: the factored intensities at
// its start and end fraction, the two fractions, and its direction in the member's local axes
// (not normalised, so the direction's length scales the load).
struct LoadSegment {
  double w_s = 0.0;
  double w_e = 0.0;
  double s = 0.0;
  double e = 0.0;
  double qx = 0.0;
  double qy = 0.0;
  double qz = 0.0;
};

// The work-equivalent end loads of a member's distributed loads (14 entries in the frame of
// the transformation passed in; torsion and warping entries always 0) and the segments that
// produced them, in the order the loads were taken.
struct MemberLoadSet {
  Vec14 f_eq = Vec14::Zero();
  std::vector<LoadSegment> segments;
};

// Fixed-end (cubic Hermite) loads of every distributed load on the member in the load case or
// combination of `result_type`, in the local axes of `t` (rows 0..2 give the load components),
// on a member of length `length`. A combination takes its load cases in the order it lists
// them, each with its factor. Loads of zero extent and loads filed under another case are
// skipped; an id that no case or combination has gives no loads.
MemberLoadSet compute_feq_for_member(std::uint32_t member_id, const Mat14& t, const VARN& model, double length,
                                     const ResultType& result_type);

// The same loads on a pin-ended bar: the simple-beam end forces (lever rule) on the three
// translations of each end, no end moments, so that the end forces balance the load's moment
// as well as its resultant. Truss-type members take these, as the load assembly gives them.
MemberLoadSet compute_simple_beam_loads_for_member(std::uint32_t member_id, const Mat14& t, const VARN& model,
                                                   double length, const ResultType& result_type);

// Ids of the members that carry at least one distributed load of non-zero extent in the load
// case or combination of `result_type`.
std::set<std::uint32_t> members_with_distributed_loads(const VARN& model, const ResultType& result_type);

// Stress resultants at 0.25, 0.5 and 0.75 of the length, member local axes, from the local
// start-end force and the load segments (components in the same axes). Bimoment 0.
std::vector<SectionForce> compute_section_forces(const NodeForces& local_start_forces, double length,
                                                 const std::vector<LoadSegment>& segments);

// ---- helpers of the member recovery ------------------------------------------------------

// The first 14 entries of a vector; a shorter vector is the fatal fault
// "Matrix index out of bounds.".
std::array<double, 14> local_displacements_from_vector(const Eigen::Ref<const Eigen::VectorXd>& v);

// A member-end DOF that is not rigidly connected: its local element DOF and the stiffness of
// the spring that joins it to the node (0 for a full release).
struct ReleasedDof {
  int dof = 0;
  double k = 0.0;
  bool operator==(const ReleasedDof&) const = default;
};

// The released DOFs of the modes in the order 0, 3, 7, 10, 1, 4, 8, 11, 2, 5, 9, 12, 6, 13
// (rigid ones left out). A spring enters with max(k, 0); as in the stiffness condensation, an
// infinitely stiff spring counts as rigid and a NaN or −∞ stiffness as a full release.
std::vector<ReleasedDof> build_elimination_from_modes(const MemberEndModes& modes);

// Local end forces f = K·u* − f_eq, where u* are the element-side displacements: the node
// displacements u on every rigid DOF, and on every released DOF the value that puts the
// element end in equilibrium with its spring. A singular released block (an exact zero pivot)
// is logged and the element-side values of the released DOFs are taken as 0.
Vec14 recover_member_end_forces_local(const Mat14& k_eff, const Vec14& u, const Vec14& f_eq,
                                      const std::vector<ReleasedDof>& released);

// Componentwise maxima and minima of the two ends of a 14-entry end-force vector (NaN-ignoring:
// NaN only when both ends are NaN).
std::pair<NodeForces, NodeForces> compute_component_extrema(const Vec14& f);

// ---- the recovery ------------------------------------------------------------------------

// The element relation the member forces are recovered with, the one the solve used:
//  * FirstOrder: the elastic stiffness on the undeformed geometry;
//  * SecondOrder: plus the geometric stiffness of the current axial force (P-delta), the same
//    matrix and suppressed axes as the tangent;
//  * Corotational: beams from their natural deformations in the co-rotated frame; bars as in
//    SecondOrder.
enum class RecoveryMode : std::uint8_t { FirstOrder, SecondOrder, Corotational };

// Member results for every non-rigid member of the model from the global displacement vector
// u. `active` is the tie/strut state (nullptr: all on). `end_forces` (nullptr: none) holds the
// member end forces a nonlinear solve converged with: the hinge stiffness curves of a member
// it holds are read at those forces, as the stiffness assembly read them, so that the
// recovered forces belong to the stiffness the displacements were solved with; without an
// entry a curve acts with its first point's stiffness. Members are recovered in parallel; a
// fatal fault of the lowest failing member index is the one that propagates. Of two members
// with one id the later in member-set and member order gives the entry.
MemberResultMap compute_member_results_from_displacement(const VARN& model, const ResultType& result_type,
                                                         const Eigen::Ref<const Eigen::VectorXd>& u,
                                                         const ActiveMap* active, RecoveryMode mode,
                                                         const MemberEndForceMap* end_forces = nullptr);

// Displacements (global axes) of every node that is an end of some member, ascending by id.
std::map<std::uint32_t, NodeDisplacement> extract_displacements(const VARN& model,
                                                                const Eigen::Ref<const Eigen::VectorXd>& u);

}  // namespace varn
