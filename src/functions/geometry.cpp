#include "functions/geometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "models/members/memberset.h"

namespace varn {

std::size_t compute_num_dofs_from_members(const std::vector<MemberSet>& member_sets) {
  std::uint32_t max_id = 0;
  bool any = false;
  for (const auto& set : member_sets) {
    for (const auto& m : set.members) {
      max_id = std::max({max_id, m.start_node.id, m.end_node.id});
      any = true;
    }
  }
  return any ? kDofsPerNode * static_cast<std::size_t>(max_id) : 0;
}

Mat14 transformation_from_rotation(const Mat3& r) {
  Mat14 t = Mat14::Zero();
  for (int b : {0, 3, 7, 10}) t.block<3, 3>(b, b) = r;
  t(6, 6) = 1.0;
  t(13, 13) = 1.0;
  return t;
}

Mat3 rotation_matrix_from_vector(const Vec3& v) {
  const double theta = v.norm();
  if (theta < 1e-12) return Mat3::Identity();
  const Vec3 k = v / theta;
  Mat3 kx;
  kx << 0.0, -k.z(), k.y(), k.z(), 0.0, -k.x(), -k.y(), k.x(), 0.0;
  const Mat3 k2 = k * k.transpose() - Mat3::Identity();
  return Mat3::Identity() + std::sin(theta) * kx + (1.0 - std::cos(theta)) * k2;
}

Vec3 rotation_vector_from_matrix(const Mat3& r) {
  // The angle from both its cosine (the trace) and its sine (the skew part): the cosine alone
  // rounds to 1 below about 1e-8 rad, and acos of it returns exactly 0, which would erase the
  // small deformational rotations of the co-rotational split.
  const Vec3 skew_part(r(2, 1) - r(1, 2), r(0, 2) - r(2, 0), r(1, 0) - r(0, 1));
  const double c = std::clamp((r.trace() - 1.0) * 0.5, -1.0, 1.0);
  const double theta = std::atan2(0.5 * skew_part.norm(), c);
  if (std::abs(theta) < 1e-12) return Vec3::Zero();
  if (std::abs(std::numbers::pi - theta) < 1e-6) {
    // Near a half turn the skew part vanishes; the axis is the largest column of R + I.
    Vec3 best = r.col(0) + Vec3::UnitX();
    double best_norm = best.squaredNorm() > 0.0 ? best.norm() : 0.0;
    for (int j = 1; j < 3; ++j) {
      Vec3 col = r.col(j) + Vec3::Unit(j);
      double n = col.norm();
      if (n > best_norm) {
        best = col;
        best_norm = n;
      }
    }
    if (best_norm > 1e-15) best /= best_norm;
    return theta * best;
  }
  return theta / (2.0 * std::sin(theta)) * skew_part;
}

}  // namespace varn
