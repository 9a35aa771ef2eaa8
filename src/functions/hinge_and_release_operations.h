#pragma once
// End releases and semi-rigid end springs.
//
// A member end is joined to its node DOF by DOF: rigidly, not at all, or through a spring.
// The element sees a released DOF through an extra internal DOF: the element is attached to
// the internal DOF, the spring (if any) joins the internal DOF to the node-side DOF, and the
// internal DOFs are eliminated by static condensation. The condensed matrix therefore has the
// stiffness of the element and the spring in series, and a fully released end transmits no
// force in that DOF.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "expected.h"

namespace varn {

struct MemberHinge;
struct Member;
// The hinge map of the per-solve lookup (models/varn/lookup.h).
using MemberHingeMap = std::unordered_map<std::uint32_t, const MemberHinge*>;

using Mat14 = Eigen::Matrix<double, 14, 14>;
using Vec14 = Eigen::Matrix<double, 14, 1>;

// The connection of one member-end DOF to its node.
struct AxisMode {
  enum Kind : std::uint8_t {
    Fixed,     // rigid: no release
    Released,  // free: no stiffness between node and element end
    Spring,    // spring of stiffness k between node and element end
  };
  Kind kind = Fixed;
  double k = 0.0;  // spring stiffness (N/m, N·m/rad or the warping unit); only for Spring

  static constexpr AxisMode fixed() { return AxisMode{Fixed, 0.0}; }
  static constexpr AxisMode released() { return AxisMode{Released, 0.0}; }
  static constexpr AxisMode spring(double stiffness) { return AxisMode{Spring, stiffness}; }
  bool is_fixed() const { return kind == Fixed; }
  bool operator==(const AxisMode&) const = default;
};

// The fourteen connection modes of one member, and the local element DOF each one governs:
// start translations x, y, z (DOFs 0, 1, 2), start rotations (3, 4, 5), end translations
// (7, 8, 9), end rotations (10, 11, 12), start warping (6), end warping (13).
struct MemberEndModes {
  std::array<AxisMode, 3> start_translation{};
  std::array<AxisMode, 3> start_rotation{};
  std::array<AxisMode, 3> end_translation{};
  std::array<AxisMode, 3> end_rotation{};
  AxisMode start_warping{};
  AxisMode end_warping{};

  // Local element DOF of the r-th mode in the order above.
  static constexpr std::array<int, 14> kLocalDof = {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 6, 13};

  // The fourteen modes in the order above.
  std::array<AxisMode, 14> in_order() const;
  // The mode that governs local element DOF d (0..13); any other d is a fatal index fault.
  AxisMode for_local_dof(int d) const;
  // True when at least one DOF is not rigidly connected.
  bool any_release() const;
  bool operator==(const MemberEndModes&) const = default;
};

// Six end forces of one member end in local axes: N, Vy, Vz, Mx, My, Mz (the positions that
// `ForceComponent::index` selects).
using EndForces = std::array<double, 6>;
// Member id -> (start forces, end forces); feeds hinge stiffness curves with current forces.
using MemberEndForceMap = std::map<std::uint32_t, std::pair<EndForces, EndForces>>;

// Connection from a release value: absent -> Fixed; v > 0 -> Spring(v); v <= 0 or NaN ->
// Released.
AxisMode axis_mode_from_option(std::optional<double> release_value);

// Modes of a member from its optional start and end hinge (nullptr = no hinge at that end).
// A hinge stiffness curve takes precedence over the release value of its DOF and is evaluated
// at |force| of its component when forces for that end are given (nullptr = no forces), at
// its first point otherwise. Warping follows the release value only. An empty curve evaluated
// with forces is a fatal index fault.
MemberEndModes modes_from_single_ends_with_forces(const MemberHinge* start_hinge,
                                                  const MemberHinge* end_hinge,
                                                  const EndForces* start_forces,
                                                  const EndForces* end_forces);
MemberEndModes modes_from_single_ends(const MemberHinge* start_hinge, const MemberHinge* end_hinge);

// Selected rows and columns of a dense matrix, in list order. An index outside the matrix is
// a fatal index fault.
Eigen::MatrixXd submatrix_by_indices(const Eigen::Ref<const Eigen::MatrixXd>& m,
                                     const std::vector<int>& rows, const std::vector<int>& cols);

// Released DOFs: every mode that is not Fixed, a Released one and a spring of NaN stiffness
// with k = 0, a spring with max(k, 0); a spring of infinite stiffness is rigid (not released).
//
// Local 14x14 element matrix condensed for the end releases. Without any release the input
// comes back unchanged. A singular interior block (for example the same rotation released at
// both ends) is returned as a message that lists the released DOFs and the interior diagonal.
Expected<Mat14> apply_end_releases_to_local_beam_k(const Eigen::Ref<const Eigen::MatrixXd>& k,
                                                   const MemberEndModes& modes);

// Local 14-entry load vector condensed for the end releases: the load of a released DOF acts
// on the element end, and what reaches the nodes is f_e - K_ei K_ii^-1 f_i.
Expected<Vec14> apply_end_releases_to_local_beam_f(const Eigen::Ref<const Eigen::MatrixXd>& k,
                                                   const Eigen::Ref<const Eigen::VectorXd>& f,
                                                   const MemberEndModes& modes);

// The elastic and geometric stiffness of a released member condensed together. The geometric
// stiffness must not be condensed on its own: its interior block is singular for a released
// twist or warping end (and for a truss end with a rotational hinge), and elsewhere its own
// condensation drops the coupling through the elastic interior stiffness (a column with a
// released top end would buckle too late). `combined` = condense(K + K_G) is the member's
// contribution to the tangent operator; `geometric` = condense(K + K_G) - condense(K) is the
// part to add to the condensed elastic stiffness. Without releases: K + K_G and K_G exactly.
struct CondensedStiffness {
  Mat14 combined;
  Mat14 geometric;
};
Expected<CondensedStiffness> condense_elastic_and_geometric(const Mat14& k_local, const Mat14& kg_local,
                                                            const MemberEndModes& modes);

// Local 14x14 matrix with the spring stiffness max(k, 0) of every Spring translational mode on
// its diagonal (DOFs 0..2 at the start, 7..9 at the end); NaN counts as 0. Rotational, warping
// and Released modes add nothing.
Mat14 build_local_truss_translational_spring_k(const std::array<AxisMode, 3>& start_translation,
                                               const std::array<AxisMode, 3>& end_translation);

// Local element matrix of a member to global axes with its end releases: the hinges are found
// by the member's hinge ids (an id the map does not hold means no hinge), the matrix is
// condensed with their modes (without forces), and T^T K* T is returned, T from the deformed
// end positions when a global displacement vector is given, else from the undeformed ones.
// A condensation message comes back as "{message} [member {id}]".
Expected<Mat14> local_to_global_with_releases(const Member& member, const Eigen::Ref<const Eigen::MatrixXd>& k_local,
                                              const MemberHingeMap& hinges,
                                              const Eigen::VectorXd* displacement = nullptr);
// The same with hinge stiffness curves evaluated at the member's current end forces when the
// map holds the member (nullptr or no entry: the curves' first points).
Expected<Mat14> local_to_global_with_releases_and_forces(const Member& member,
                                                         const Eigen::Ref<const Eigen::MatrixXd>& k_local,
                                                         const MemberHingeMap& hinges,
                                                         const Eigen::VectorXd* displacement,
                                                         const MemberEndForceMap* end_forces);
// Elastic and geometric stiffness of a member condensed together for its end releases (see
// condense_elastic_and_geometric) and transformed to global axes like
// local_to_global_with_releases: `combined` is the member's global tangent contribution,
// `geometric` its global geometric part. Messages as local_to_global_with_releases.
Expected<CondensedStiffness> local_to_global_elastic_and_geometric_with_releases(
    const Member& member, const Mat14& k_local, const Mat14& kg_local, const MemberHingeMap& hinges,
    const Eigen::VectorXd* displacement = nullptr);

}  // namespace varn
