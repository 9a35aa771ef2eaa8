#pragma once
// Co-rotational kinematics of a member and the element responses built on them.
//
// A member's motion is split into a rigid motion of its chord and small natural deformations
// in a frame that turns with the chord: the elongation of the chord and the rotations of the
// two ends relative to the chord's rigid rotation. The linear element stiffness acts on the
// natural deformations and the end forces are turned back with the current frame. The
// tangents below are the exact derivatives of those end forces with respect to the fourteen
// global element displacements (the node rotations are total rotation vectors), so that a
// Newton iteration on them converges quadratically. They are not symmetric away from an
// equilibrium state: a factorisation must read the whole matrix (LU), not one triangle.
#include <optional>

#include <Eigen/Dense>

#include "expected.h"
#include "functions/hinge_and_release_operations.h"
#include "models/members/member.h"

namespace varn {

// The chord of a member under the fourteen global element displacements u_e.
struct DeformedChord {
  Vec3 e_n = Vec3::UnitX();  // unit vector of the deformed chord
  double l_n = 0.0;          // deformed chord length
  double l_0 = 0.0;          // undeformed length
};
// The chord from the undeformed end positions moved by the translations of u_e. A deformed
// length of 0 gives a non-finite e_n: callers that can meet one test l_n first. An element
// vector shorter than 14 entries is a fatal index fault.
DeformedChord deformed_chord(const Member& m, const Eigen::Ref<const Eigen::VectorXd>& u_e);

// Everything the co-rotational beam needs at one state.
struct CorotationalSplit {
  DeformedChord chord;
  Mat3 r_0;                 // undeformed local axes (rows), the member's roll included
  Mat3 r_r;                 // rigid rotation of the chord: the smallest one taking e_0 onto e_n
  Vec3 psi_s, psi_e;        // node rotation vectors of the start and the end
  Mat3 r_s, r_e;            // their rotation matrices
  Vec3 theta_s, theta_e;    // deformational rotation vectors: log(R_rᵀ·R_s), log(R_rᵀ·R_e)
  Vec14 natural;            // natural deformations (elongation at 7, end rotations at 3..5 and
                            // 10..12 as R_0·θ, warping at 6 and 13, the rest 0)
  Mat14 t_n;                // transformation of the current frame (rows R_0·R_rᵀ)
};
// The split of u_e. An undeformed member shorter than 1e-12 is the fatal fault of the
// transformation; an element vector shorter than 14 entries a fatal index fault.
CorotationalSplit corotational_split(const Member& m, const Eigen::Ref<const Eigen::VectorXd>& u_e);

// Right Jacobian of the rotation exponential, exp(φ + δφ) ≈ exp(φ)·exp(J_r(φ)·δφ), and its
// inverse; both with series below 1e-3 rad, where the closed forms cancel.
Mat3 right_jacobian_so3(const Vec3& phi);
Mat3 right_jacobian_so3_inverse(const Vec3& phi);
// Spin δw of the chord's rigid rotation (δR_r = [δw]×·R_r) per unit change of the deformed
// chord vector e_n·l_n: δw = W·δ(x_end − x_start).
Mat3 chord_spin_jacobian(const Vec3& e_0, const DeformedChord& chord);

// Beam: global end forces f = T_nᵀ·K*·d with K* the member's local (condensed) stiffness and
// d the natural deformations, and the tangent ∂f/∂u_e.
Vec14 corotational_beam_force(const CorotationalSplit& s, const Mat14& k_star);
Mat14 corotational_beam_tangent(const CorotationalSplit& s, const Mat14& k_star);

// Local stiffness of a bar as the co-rotational kernels and the recovery of its forces take it:
// the truss stiffness condensed for the end hinges (an axial spring acts in series with the
// bar, a free axial end leaves it without force). Its (7, 7) entry is the axial stiffness of
// the chord, the rest the tiny stabilising terms. None when the section or its material
// is not found; the condensation's message for a singular release pattern. A member without a
// section id is the fatal fault of the element library.
Expected<std::optional<Mat14>> corotational_bar_local_stiffness(const Member& m, const MaterialMap& materials,
                                                                const SectionMap& sections,
                                                                const MemberHingeMap& hinges);

// Bar: axial force N = k_axial·(l_n − l_0) along the deformed chord, end forces −N·e_n at the
// start and +N·e_n at the end (translations only), and the tangent
// k_axial·e_n·e_nᵀ + N/l_n·(I − e_n·e_nᵀ) in the pattern [[K, −K], [−K, K]].
double corotational_bar_axial_force(const DeformedChord& c, double k_axial);
Vec14 corotational_bar_force(const DeformedChord& c, double k_axial);
Mat14 corotational_bar_tangent(const DeformedChord& c, double k_axial);

}  // namespace varn
