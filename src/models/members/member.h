#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
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

struct Material;
struct Section;
// The id maps of the per-solve lookup (models/varn/lookup.h).
using MaterialMap = std::unordered_map<std::uint32_t, const Material*>;
using SectionMap = std::unordered_map<std::uint32_t, const Section*>;

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
  // A copy of this member with its end nodes placed at their deformed positions, so that any
  // rule of the undeformed geometry (loads, axes) can be applied to the current chord.
  Member moved_to_deformed(const Eigen::Ref<const Eigen::VectorXd>& u) const;
  Vec3 start_position() const { return Vec3(start_node.X, start_node.Y, start_node.Z); }
  Vec3 end_position() const { return Vec3(end_node.X, end_node.Y, end_node.Z); }

  // The chord between two end positions [m], as the local axes take it. Shorter than
  // kShortestChord, or not finite (coordinates whose squares leave the floating-point range),
  // it gives the member no direction.
  static constexpr double kShortestChord = 1e-12;
  static double chord_length(const Vec3& s, const Vec3& e) { return (e - s).norm(); }

  // --- Element stiffness (SI units, undeformed length) ---------------------------------------
  // A member without a section id is a fatal fault in the three functions below.

  // Local 14x14 thin-walled beam stiffness; none when the section or its material is not
  // found. The caller condenses end releases and transforms it (T^T K* T).
  std::optional<Mat14> calculate_stiffness_matrix_3d(const MaterialMap& materials, const SectionMap& sections) const;
  // Global 14x14 truss stiffness (transformed with the undeformed T); none when the section or
  // material is not found or the two end nodes coincide exactly.
  std::optional<Mat14> calculate_truss_stiffness_matrix_3d(const MaterialMap& materials,
                                                           const SectionMap& sections) const;
  // The same truss stiffness in local axes (the elastic partner of the string stiffness when
  // a hinged truss is condensed).
  std::optional<Mat14> calculate_truss_stiffness_matrix_local(const MaterialMap& materials,
                                                              const SectionMap& sections) const;
  // Axial force (tension positive) and elongation from a global displacement vector, with the
  // axis from the deformed end positions when use_deformed is set. A missing section or
  // material is a fatal fault; a vector too short for the member's DOFs an index fault.
  std::pair<double, double> calculate_axial_force_3d_impl(const Eigen::Ref<const Eigen::VectorXd>& u,
                                                          const MaterialMap& materials, const SectionMap& sections,
                                                          bool use_deformed) const;
  double calculate_axial_force_3d(const Eigen::Ref<const Eigen::VectorXd>& u, const MaterialMap& materials,
                                  const SectionMap& sections) const;
  // Shear-centre offset (y_s, z_s) of the section as this member sees it: y_s changes sign on
  // a mirrored member.
  std::pair<double, double> effective_shear_center(const Section& section) const;
  // Principal-axis angle in degrees, negated on a mirrored member.
  double effective_principal_axis_angle(const Section& section) const;

  // --- Geometric stiffness and co-rotational kinematics --------------------------------------
  // Local 14x14 matrices for the axial force n (tension positive), undeformed length.
  Mat14 calculate_geometric_stiffness_matrix_3d(double n, double wagner) const;
  Mat14 calculate_geometric_stiffness_matrix_3d_simplified(double n) const;
  Mat14 calculate_geometric_stiffness_matrix_truss_3d(double n) const;
  // Splits the 14 global element displacements (start node's seven, then end node's) into
  // the rigid motion of the chord and the natural deformations in the current local frame:
  // twist and bending rotations of each end, the elongation at entry 7 and the warping DOFs.
  // Returns (natural deformations, current-frame transformation).
  std::pair<Vec14, Mat14> extract_corotational_deformations(const Eigen::Ref<const Eigen::VectorXd>& u_e) const;
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
