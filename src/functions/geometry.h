#pragma once
// DOF numbering, system size and the rotation maps shared by every element computation.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <Eigen/Dense>

namespace varn {

struct MemberSet;
using Mat3 = Eigen::Matrix3d;
using Vec3 = Eigen::Vector3d;
using Mat14 = Eigen::Matrix<double, 14, 14>;

constexpr std::size_t kDofsPerNode = 7;

// Global index of DOF k (ux, uy, uz, rx, ry, rz, warp) of the node with this id. Node ids
// start at 1; id 0 is refused by the model checks before any numbering happens.
inline std::size_t dof_index(std::uint32_t node_id, std::size_t k) {
  return kDofsPerNode * (static_cast<std::size_t>(node_id) - 1) + k;
}

inline std::array<std::size_t, 7> get_dof_indices(std::uint32_t node_id) {
  std::array<std::size_t, 7> idx{};
  for (std::size_t k = 0; k < 7; ++k) idx[k] = dof_index(node_id, k);
  return idx;
}

// 7 x the largest node id used by any member end; 0 without members.
std::size_t compute_num_dofs_from_members(const std::vector<MemberSet>& member_sets);

// Block-diagonal 14x14 transformation from the 3x3 rotation: translations and rotations of
// both ends rotated, the warping DOFs (6 and 13) left as they are.
Mat14 transformation_from_rotation(const Mat3& r);

// Exponential map (Rodrigues) and its inverse.
Mat3 rotation_matrix_from_vector(const Vec3& v);
Vec3 rotation_vector_from_matrix(const Mat3& r);

}  // namespace varn
