#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include <Eigen/Dense>

#include "models/json/record.h"
#include "models/members/enums.h"
#include "models/nodes/node.h"

namespace varn {

using Vec3 = Eigen::Vector3d;
using Mat3 = Eigen::Matrix3d;
using Mat14 = Eigen::Matrix<double, 14, 14>;
using Vec14 = Eigen::Matrix<double, 14, 1>;

// One structural member between two nodes, both embedded by value.
struct Member {
  std::uint32_t id = 0;
  Node start_node;
  Node end_node;
  std::optional<std::uint32_t> section;
  double rotation_angle = 0.0;  // roll of the local axes about the member axis; radians once in SI
  std::optional<std::uint32_t> start_hinge;
  std::optional<std::uint32_t> end_hinge;
  std::string classification;
  double weight = 0.0;
  std::optional<double> chi;
  std::optional<std::uint32_t> reference_member;
  std::optional<std::uint32_t> reference_node;
  MemberType member_type = MemberType::Normal;
  bool mirror = false;

  // Undeformed length between the two end nodes.
  double calculate_length() const;
  // 14x14 block-diagonal transformation (local = T * global) for a member whose ends sit at
  // the given positions, rolled by the member's rotation angle.
  Mat14 calculate_transformation_matrix_3d_from_positions(const Vec3& start, const Vec3& end) const;
  Mat14 calculate_transformation_matrix_3d() const;
  // 3x3 rotation whose rows are the local axes x, y, z in global components.
  Mat3 calculate_rotation_matrix_from_positions(const Vec3& start, const Vec3& end) const;
  // Undeformed end positions plus the nodes' translations taken from a global vector.
  std::pair<Vec3, Vec3> deformed_positions(const Eigen::Ref<const Eigen::VectorXd>& u) const;
  Vec3 start_position() const { return Vec3(start_node.X, start_node.Y, start_node.Z); }
  Vec3 end_position() const { return Vec3(end_node.X, end_node.Y, end_node.Z); }
};

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::Member> {
  static constexpr std::string_view name = "Member";
  static const auto& fields() {
    using varn::Member;
    static const auto f = std::make_tuple(
        json::required("id", &Member::id), json::required("start_node", &Member::start_node),
        json::required("end_node", &Member::end_node), json::optional("section", &Member::section),
        json::required("rotation_angle", &Member::rotation_angle),
        json::optional("start_hinge", &Member::start_hinge), json::optional("end_hinge", &Member::end_hinge),
        json::required("classification", &Member::classification), json::required("weight", &Member::weight),
        json::optional("chi", &Member::chi), json::optional("reference_member", &Member::reference_member),
        json::optional("reference_node", &Member::reference_node),
        json::required("member_type", &Member::member_type), json::defaulted("mirror", &Member::mirror, false));
    return f;
  }
};
