#pragma once
// Small helpers for the element tests: members, sections and materials built in code, and a
// dense assembly/solve of a handful of members, so that the element matrices can be checked
// against closed-form structural mechanics.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "functions/geometry.h"
#include "model_builders.h"
#include "models/members/material.h"
#include "models/members/member.h"
#include "models/members/section.h"

namespace varn::testing_support {

inline Member member_between(std::uint32_t id, std::uint32_t a, Vec3 s, std::uint32_t b, Vec3 e,
                             std::optional<std::uint32_t> section = 1, double roll = 0.0) {
  Member m;
  m.id = id;
  m.start_node = Node{a, s.x(), s.y(), s.z(), std::nullopt};
  m.end_node = Node{b, e.x(), e.y(), e.z(), std::nullopt};
  m.section = section;
  m.rotation_angle = roll;
  return m;
}

inline Material steel(std::uint32_t id = 1, double e = 210e9, double g = 81e9) {
  Material m;
  m.id = id;
  m.name = "S355";
  m.e_mod = e;
  m.g_mod = g;
  m.density = 7850.0;
  m.yield_stress = 355e6;
  return m;
}

// The tests' one section builder, under the name these tests call it by.
inline Section section_with(std::uint32_t id, double area, double i_y, double i_z, double j, std::uint32_t material = 1) {
  return builders::section(id, area, i_y, i_z, j, material);
}

// Owns records and the id maps that point into them.
struct Library {
  std::vector<Material> materials;
  std::vector<Section> sections;
  MaterialMap material_map;
  SectionMap section_map;

  void rebuild() {
    material_map.clear();
    section_map.clear();
    for (const auto& m : materials) material_map[m.id] = &m;
    for (const auto& s : sections) section_map[s.id] = &s;
  }
};

// Dense global matrix of 7-DOF nodes 1..n_nodes from (member, global 14x14) pairs.
inline Eigen::MatrixXd assemble_dense(std::size_t n_nodes, const std::vector<std::pair<Member, Mat14>>& elements) {
  Eigen::MatrixXd k = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(7 * n_nodes), static_cast<Eigen::Index>(7 * n_nodes));
  for (const auto& [m, ke] : elements) {
    const auto s = static_cast<Eigen::Index>(dof_index(m.start_node.id, 0));
    const auto e = static_cast<Eigen::Index>(dof_index(m.end_node.id, 0));
    k.block(s, s, 7, 7) += ke.block(0, 0, 7, 7);
    k.block(s, e, 7, 7) += ke.block(0, 7, 7, 7);
    k.block(e, s, 7, 7) += ke.block(7, 0, 7, 7);
    k.block(e, e, 7, 7) += ke.block(7, 7, 7, 7);
  }
  return k;
}

// The DOFs that are not held.
inline std::vector<int> free_dofs(Eigen::Index n, const std::set<int>& fixed) {
  std::vector<int> f;
  for (int i = 0; i < n; ++i) {
    if (!fixed.count(i)) f.push_back(i);
  }
  return f;
}

inline Eigen::MatrixXd restrict(const Eigen::MatrixXd& k, const std::vector<int>& dofs) {
  const auto n = static_cast<Eigen::Index>(dofs.size());
  Eigen::MatrixXd r(n, n);
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = 0; j < n; ++j) r(i, j) = k(dofs[static_cast<std::size_t>(i)], dofs[static_cast<std::size_t>(j)]);
  }
  return r;
}

// Solves K u = f with the listed DOFs held at zero.
inline Eigen::VectorXd solve_held(const Eigen::MatrixXd& k, const Eigen::VectorXd& f, const std::set<int>& fixed) {
  const auto dofs = free_dofs(k.rows(), fixed);
  const Eigen::MatrixXd kr = restrict(k, dofs);
  Eigen::VectorXd fr(static_cast<Eigen::Index>(dofs.size()));
  for (std::size_t i = 0; i < dofs.size(); ++i) fr(static_cast<Eigen::Index>(i)) = f(dofs[i]);
  const Eigen::VectorXd ur = kr.fullPivLu().solve(fr);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(k.rows());
  for (std::size_t i = 0; i < dofs.size(); ++i) u(dofs[i]) = ur(static_cast<Eigen::Index>(i));
  return u;
}

// The six rigid-body motions of a two-node element in the axes of the given end positions:
// three translations and three small rotations about the start node (rotation vectors equal
// at both ends, translations ω × r, no warping).
inline std::vector<Vec14> rigid_body_motions(const Vec3& start, const Vec3& end) {
  std::vector<Vec14> modes;
  for (int a = 0; a < 3; ++a) {
    Vec14 u = Vec14::Zero();
    u(a) = 1.0;
    u(7 + a) = 1.0;
    modes.push_back(u);
  }
  for (int a = 0; a < 3; ++a) {
    const Vec3 w = Vec3::Unit(a);
    Vec14 u = Vec14::Zero();
    u.segment<3>(0) = w.cross(Vec3::Zero());
    u.segment<3>(3) = w;
    u.segment<3>(7) = w.cross(end - start);
    u.segment<3>(10) = w;
    modes.push_back(u);
  }
  return modes;
}

}  // namespace varn::testing_support
