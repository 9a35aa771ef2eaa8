#pragma once
// Element matrices of the thin-walled beam and the truss as pure functions of plain numbers
// (SI units). The Member methods find the section and material constants and call these.
//
// Local element DOFs, start 0..6 then end 7..13: u, v, w, θx, θy, θz, warp. Bending in the
// local x-y plane couples 1, 5, 8, 12 (with I_z), bending in the x-z plane couples 2, 4, 9, 11
// (with I_y), torsion and warping couple 3, 6, 10, 13, the axial pair is 0, 7.
#include <optional>

#include <Eigen/Dense>

namespace varn {

using Mat14 = Eigen::Matrix<double, 14, 14>;

struct BeamProperties {
  double e_mod = 0.0;
  double g_mod = 0.0;
  double area = 0.0;
  double i_y = 0.0;
  double i_z = 0.0;
  double j = 0.0;                // St-Venant torsion constant
  double i_w = 0.0;              // warping constant (0 = none)
  std::optional<double> a_sy;    // shear area of the x-z plane (paired with i_y)
  std::optional<double> a_sz;    // shear area of the x-y plane (paired with i_z)
  double y_s = 0.0;              // shear-centre offsets, already mirrored where needed
  double z_s = 0.0;
  double principal_axis_deg = 0.0;  // principal-axis angle in degrees, already mirrored
};

// Shear-deformation parameter Φ = 12·E·I / (L²·G·A_s) of one bending plane. No shear area, or
// one without shear stiffness (G·A_s of zero, negative or not finite), means Euler-Bernoulli
// bending (Φ = 0) rather than an infinitely shear-flexible beam with non-finite entries.
double shear_deformation_parameter(double e_mod, double inertia, double g_mod, std::optional<double> shear_area,
                                   double length);

// Local 14x14 stiffness of the Timoshenko/Vlasov beam: axial, both bending planes with shear
// deformation, St-Venant plus warping torsion, the small stabilising warping stiffness when
// the section has no warping constant, then the shear-centre offset and the principal-axis
// rotation as congruence transforms (offset first).
Mat14 local_beam_stiffness(const BeamProperties& p, double length);

// Local truss stiffness: E·A/L on the axial pair and a stabilising 1e-10·E·A/L on every other
// diagonal, so that the transverse, rotational and warping DOFs of a node held only by trusses
// never have a zero diagonal. Across the bar that term couples the two ends (+k on both
// diagonals, −k between them): a force inside the member, so what it carries reaches the
// member's end forces and the reactions instead of leaking to the ground.
Mat14 local_truss_stiffness(double ea, double length);
// Clears the rows and columns of both ends' rotations and warping (3..6, 10..13; the same in
// local and in global axes) of a bar matrix once its released ends are condensed. The diagonal
// there serves the condensation only; left in an operator it would be a spring from the node to
// the ground, taking moment out of the structure at a node that a beam turns (no member result
// and no reaction would show it). At a node held by bars alone nothing stiffens those DOFs and
// the supports hold them at zero.
void drop_bar_end_rotations(Mat14& k);

// Geometric (initial-stress) stiffness for an axial force n (tension positive).
// Consistent beam matrix with the Wagner torsion term w·N/L on the twist pair.
Mat14 consistent_geometric_stiffness(double n, double wagner, double length);
// N/L on the three translation pairs (axial included).
Mat14 simplified_geometric_stiffness(double n, double length);
// String stiffness: N/L on the two transverse translation pairs only.
Mat14 string_geometric_stiffness(double n, double length);

}  // namespace varn
