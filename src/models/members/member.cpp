#include "models/members/member.h"

#include <cmath>

#include "fatal.h"
#include "functions/geometry.h"

namespace varn {

double Member::calculate_length() const { return start_node.distance_to(end_node); }

Mat3 Member::calculate_rotation_matrix_from_positions(const Vec3& s, const Vec3& e) const {
  const double length = chord_length(s, e);
  if (!(length >= kShortestChord) || !std::isfinite(length)) {
    fatal("Start and end nodes are the same or too close to define a direction.");
  }
  const Vec3 x = (e - s) / length;

  // Global Y is the reference direction, so that members perpendicular to Y keep Y as their
  // local y axis; members (nearly) along Y take global Z instead.
  Vec3 reference = std::abs(x.y()) > 0.999999 ? Vec3(0.0, 0.0, 1.0) : Vec3(0.0, 1.0, 0.0);
  Vec3 z = x.cross(reference);
  if (z.norm() < 1e-12) {
    z = x.cross(Vec3(1.0, 0.0, 0.0));
    if (z.norm() < 1e-12) fatal("Cannot define a valid local_z axis.");
  }
  z.normalize();
  Vec3 y = z.cross(x);
  y.normalize();

  const double a = rotation_angle;
  if (a != 0.0 && !std::isnan(a)) {
    const double c = std::cos(a);
    const double sn = std::sin(a);
    const Vec3 y_rolled = c * y + sn * z;
    const Vec3 z_rolled = c * z - sn * y;
    y = y_rolled;
    z = z_rolled;
  }
  Mat3 r;
  r.row(0) = x.transpose();
  r.row(1) = y.transpose();
  r.row(2) = z.transpose();
  return r;
}

Mat14 Member::calculate_transformation_matrix_3d_from_positions(const Vec3& s, const Vec3& e) const {
  return transformation_from_rotation(calculate_rotation_matrix_from_positions(s, e));
}

Mat14 Member::calculate_transformation_matrix_3d() const {
  return calculate_transformation_matrix_3d_from_positions(start_position(), end_position());
}

std::pair<Vec3, Vec3> Member::deformed_positions(const Eigen::Ref<const Eigen::VectorXd>& u) const {
  const std::size_t n = static_cast<std::size_t>(u.size());
  auto moved = [&](const Node& node) {
    const std::size_t base = dof_index(node.id, 0);
    check_index(base + 2, n, "deformed position of a member end");
    return Vec3(node.X + u[static_cast<Eigen::Index>(base)], node.Y + u[static_cast<Eigen::Index>(base + 1)],
                node.Z + u[static_cast<Eigen::Index>(base + 2)]);
  };
  return {moved(start_node), moved(end_node)};
}

Member Member::moved_to_deformed(const Eigen::Ref<const Eigen::VectorXd>& u) const {
  Member moved = *this;
  const auto [start, end] = deformed_positions(u);
  moved.start_node.X = start.x();
  moved.start_node.Y = start.y();
  moved.start_node.Z = start.z();
  moved.end_node.X = end.x();
  moved.end_node.Y = end.y();
  moved.end_node.Z = end.z();
  return moved;
}

}  // namespace varn
