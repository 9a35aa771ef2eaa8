#pragma once
// Co-rotational kinematics of a member and the element responses built on them.
//
// A member's motion is split into a rigid motion of its chord and small natural deformations
// in a frame that turns with the chord: the elongation of the chord and the rotations of the
// two ends relative to the frame. The frame's first axis is the deformed chord; its second
// axis lies in the plane of the chord and the mean of the two ends' turned local y axes, so
// that the frame follows the twist of the ends as well as the turn of the chord, whatever the
// path by which the member reached its state. Node rotations are rotations in space, composed
// and never added: the state holds each node's rotation as a rotation vector ψ with
// R = exp([ψ]×), and a change of it is a spin δw, R ← exp([δw]×)·R, in global axes. The end
// rotations of the element are the rotation vectors of R_frameᵀ·R·R_0ᵀ, the end's turned axes
// seen from the frame.
//
// The local response is that of the member in the frame, with the initial stress of its axial
// force: the strain energy of the elastic stiffness K on the natural deformations plus the work
// of the axial force on the length that bending adds to the member's axis over its chord,
// ½·θᵀ·G·θ with G the geometric stiffness per unit axial force on the end rotations (2L/15 and
// −L/30 in each bending plane, the Wagner term on the twist). The axial force is that of the
// member's elongation, N = k_a·(elongation of the chord + ½·θᵀ·G·θ), and the end moments carry
// N·G·θ beside K·θ, so that one element per member carries the bowing of the member between
// its ends (P-δ) as the P-delta element does. The end forces in global axes are the derivatives
// of that energy with respect to the node translations and spins: they balance each other on
// the deformed member exactly (the end shears are the end moments over the deformed chord),
// and the tangent is their exact derivative with respect to translations, spins and warping.
// It is not symmetric away from an equilibrium state (spins do not commute): a factorisation of
// it must read the whole matrix (LU), not one triangle.
#include <cstdint>
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
  // l_n − l_0, formed from the relative displacement of the ends so that a small elongation
  // of a long member keeps its digits (the difference of the two lengths would not).
  double elongation = 0.0;
};
// The chord from the undeformed chord vector plus the relative translation of the ends. A
// deformed length of 0 gives a non-finite e_n: callers that can meet one test l_n first. An
// element vector shorter than 14 entries is a fatal index fault.
DeformedChord deformed_chord(const Member& m, const Eigen::Ref<const Eigen::VectorXd>& u_e);

// J_r⁻¹(φ), the inverse of the right Jacobian of the rotation exponential
// (exp(φ + δφ) ≈ exp(φ)·exp(J_r(φ)·δφ)), with a series below 1e-2 rad, where the closed form
// cancels. The left Jacobian is J_l(φ) = J_r(−φ): a rotation vector ψ turned by a spin δw
// changes by J_l⁻¹(ψ)·δw.
Mat3 right_jacobian_so3_inverse(const Vec3& phi);

// The rotation vector of r closest to `near` among those of the same rotation (ψ and
// ψ·(1 + 2πk/|ψ|) for whole k): a node that turns more than half a turn keeps a rotation
// vector that grows continuously instead of jumping to the other side.
Vec3 rotation_vector_near(const Mat3& r, const Vec3& near);
// The rotation vector ψ of a node turned further by the spin w: exp([w]×)·exp([ψ]×), the
// representative nearest ψ.
Vec3 compose_rotation(const Vec3& psi, const Vec3& w);

// What the co-rotational beam needs of a member, fixed for the whole solve.
struct CorotationalBeam {
  std::uint32_t member = 0;  // id, for the messages
  Mat14 k;                   // local stiffness, condensed for end releases
  Mat14 g;                   // geometric stiffness per unit axial force, end rotations only
  double k_axial = 0.0;      // axial stiffness of the chord, k(7, 7)
  Mat3 r_0;                  // undeformed local axes (rows), the member's roll included
  double l_0 = 0.0;          // undeformed length
};
// The beam of member m with local (condensed) stiffness k_star and Wagner coefficient w. An
// undeformed member shorter than 1e-12 is the fatal fault of the transformation.
CorotationalBeam corotational_beam(const Member& m, const Mat14& k_star, double wagner);

// The beam of a member whose local stiffness is k_local: condensed for its end hinges (curves
// at their first points), with the Wagner coefficient of its section (0 without one). The
// condensation's message for a singular release pattern.
Expected<CorotationalBeam> corotational_beam_with_releases(const Member& m, const Mat14& k_local,
                                                           const SectionMap& sections, const MemberHingeMap& hinges);

// The state of a co-rotational beam under the element displacements u_e.
struct CorotationalState {
  Mat14 t_n;      // transformation of the current frame (rows r1, r2, r3 in each block)
  Vec14 natural;  // natural deformations: elongation at 7, end rotations at 3..5 and 10..12
                  // in the frame, warping at 6 and 13, the rest 0
  Vec14 local;    // local response (axial force at 7, end moments, bimoments), the rest 0
  Vec14 force;    // end forces in global axes
  double l_n = 0.0;  // deformed chord length
};
// The state at u_e. A state the element cannot describe is refused naming the member: its
// chord has collapsed to a point, or an end is bent through a right angle or more relative to
// the frame (or so far that the mean of the ends' y axes lies along the chord). An element
// vector shorter than 14 entries is a fatal index fault.
Expected<CorotationalState> corotational_state(const CorotationalBeam& b, const Eigen::Ref<const Eigen::VectorXd>& u_e);
// The end forces at u_e and their derivative with respect to the translations, spins and
// warping of u_e (columns in the order of u_e); refused as corotational_state refuses.
struct CorotationalTangent {
  Vec14 force;
  Mat14 tangent;
};
Expected<CorotationalTangent> corotational_tangent(const CorotationalBeam& b,
                                                   const Eigen::Ref<const Eigen::VectorXd>& u_e);

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
