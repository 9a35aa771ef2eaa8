// Geometric stiffness of a member and the co-rotational split of its end displacements.
#include "fatal.h"
#include "models/members/corotational.h"
#include "models/members/element_kernels.h"
#include "models/members/member.h"

namespace varn {

Mat14 Member::calculate_geometric_stiffness_matrix_3d(double n, double wagner) const {
  return consistent_geometric_stiffness(n, wagner, calculate_length());
}

Mat14 Member::calculate_geometric_stiffness_matrix_3d_simplified(double n) const {
  return simplified_geometric_stiffness(n, calculate_length());
}

Mat14 Member::calculate_geometric_stiffness_matrix_truss_3d(double n) const {
  return string_geometric_stiffness(n, calculate_length());
}

std::pair<Vec14, Mat14> Member::extract_corotational_deformations(const Eigen::Ref<const Eigen::VectorXd>& u_e) const {
  // Kinematics only: the stiffness plays no part in the frame or the natural deformations.
  const auto s = corotational_state(corotational_beam(*this, Mat14::Zero(), 0.0), u_e);
  if (!s) fatal(s.error());
  return {s->natural, s->t_n};
}

}  // namespace varn
