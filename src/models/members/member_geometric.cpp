// Geometric stiffness of a member and the co-rotational split of its end displacements.
#include <cmath>

#include "fatal.h"
#include "functions/geometry.h"
#include "models/members/element_kernels.h"
#include "models/members/member.h"

namespace varn {

namespace {

Mat3 skew(const Vec3& k) {
  Mat3 m;
  m << 0.0, -k.z(), k.y(), k.z(), 0.0, -k.x(), -k.y(), k.x(), 0.0;
  return m;
}

// The smallest rotation that turns the unit vector a onto the unit vector b.
Mat3 rotation_between(const Vec3& a, const Vec3& b) {
  const Vec3 axis = a.cross(b);
  const double s = axis.norm();
  const double c = a.dot(b);
  if (s > 1e-12) {
    const Mat3 k = skew(axis / s);
    return Mat3::Identity() + s * k + (1.0 - c) * (k * k);
  }
  if (c > 0.0) return Mat3::Identity();
  // Reversed chord: a half turn about an axis perpendicular to a.
  const Vec3 b_ref = std::abs(a.x()) < 0.9 ? Vec3::UnitX() : Vec3::UnitY();
  const Vec3 k = b_ref.cross(a).normalized();
  return 2.0 * k * k.transpose() - Mat3::Identity();
}

}  // namespace

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
  check_index(13, static_cast<std::size_t>(u_e.size()), "element displacement vector");

  const Vec3 s0 = start_position();
  const Vec3 e0_pos = end_position();
  const Mat3 r0 = calculate_rotation_matrix_from_positions(s0, e0_pos);
  const double l0 = calculate_length();
  const Vec3 e0 = (e0_pos - s0) / l0;

  const Vec3 d = (e0_pos + Vec3(u_e[7], u_e[8], u_e[9])) - (s0 + Vec3(u_e[0], u_e[1], u_e[2]));
  const double ln = d.norm();
  const Vec3 en = d / ln;

  // Rigid rotation of the chord; the current axes are the original ones carried along by it.
  const Mat3 rr = rotation_between(e0, en);
  const Mat3 rn = r0 * rr.transpose();  // rows Rr·x0, Rr·y0, Rr·z0

  // Deformational rotation of each end: what remains of the node rotation after the rigid
  // rotation is taken off, Rs = Rr·Rd. Rd acts before Rr, so its rotation vector is expressed
  // in the original configuration and its local components are its projections on the
  // original axes x0, y0, z0 (equivalently, Rr·θ projected on the current axes).
  const Mat3 rs = rotation_matrix_from_vector(Vec3(u_e[3], u_e[4], u_e[5]));
  const Mat3 re = rotation_matrix_from_vector(Vec3(u_e[10], u_e[11], u_e[12]));
  const Vec3 theta_s = rotation_vector_from_matrix(rr.transpose() * rs);
  const Vec3 theta_e = rotation_vector_from_matrix(rr.transpose() * re);

  Vec14 nat = Vec14::Zero();
  nat.segment<3>(3) = r0 * theta_s;
  nat.segment<3>(10) = r0 * theta_e;
  nat[7] = ln - l0;
  nat[6] = u_e[6];
  nat[13] = u_e[13];
  return {nat, transformation_from_rotation(rn)};
}

}  // namespace varn
