#pragma once
// Small structural models built in code for the tests of the global system: frames on a line,
// supports, loads, and the assemble -> constrain -> solve chain that every first-order solve
// runs, so that displacements can be compared with closed-form structural mechanics.
#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "model_builders.h"
#include "models/varn/varn.h"

namespace varn::global_test {

using builders::condition;
using builders::member;
using builders::node;
using builders::section;

inline Material material(std::uint32_t id, double e, double g) {
  Material m;
  m.id = id;
  m.name = "M";
  m.name += std::to_string(id);
  m.e_mod = e;
  m.g_mod = g;
  return m;
}

// A support holding everything but warping (conditions absent count as held).
inline NodalSupport clamp(std::uint32_t id) {
  NodalSupport s;
  s.id = id;
  return s;
}

// A support with explicit conditions: "X", "Y", "Z" of translations and rotations.
inline NodalSupport support(std::uint32_t id, std::array<SupportConditionType, 3> disp,
                            std::array<SupportConditionType, 3> rot) {
  NodalSupport s;
  s.id = id;
  const char* axes[3] = {"X", "Y", "Z"};
  for (int a = 0; a < 3; ++a) {
    s.displacement_conditions[axes[a]] = condition(disp[static_cast<std::size_t>(a)]);
    s.rotation_conditions[axes[a]] = condition(rot[static_cast<std::size_t>(a)]);
  }
  return s;
}

// Steel-like material 1 and section 1 with the given bending constants.
struct Props {
  double e = 2.1e11;
  double g = 8.1e10;
  double area = 1e-2;
  double i_y = 2e-5;
  double i_z = 8e-6;
  double j = 3e-6;
  std::optional<double> a_sy;
  std::optional<double> a_sz;
};

inline VARN empty_model(const Props& p = {}) {
  VARN v;
  v.materials.push_back(material(1, p.e, p.g));
  Section s = section(1, p.area, p.i_y, p.i_z, p.j);
  s.a_sy = p.a_sy;
  s.a_sz = p.a_sz;
  v.sections.push_back(s);
  v.member_sets.push_back(MemberSet{});
  v.member_sets.back().id = 1;
  return v;
}

// A straight line of `count` Normal members from `start` in direction `dir` with total length
// `length`, node ids 1..count+1; node 1 carries support `start_support`.
inline void add_line(VARN& v, int count, const Eigen::Vector3d& start, const Eigen::Vector3d& dir, double length,
                     std::optional<std::uint32_t> start_support, std::optional<std::uint32_t> end_support = std::nullopt,
                     MemberType type = MemberType::Normal) {
  const Eigen::Vector3d step = dir.normalized() * (length / count);
  for (int i = 0; i < count; ++i) {
    const Eigen::Vector3d a = start + step * i;
    const Eigen::Vector3d b = start + step * (i + 1);
    const auto ia = static_cast<std::uint32_t>(i + 1);
    const auto ib = static_cast<std::uint32_t>(i + 2);
    std::optional<std::uint32_t> sa = ia == 1 ? start_support : std::nullopt;
    std::optional<std::uint32_t> sb = (i + 1 == count) ? end_support : std::nullopt;
    v.member_sets.front().members.push_back(member(static_cast<std::uint32_t>(i + 1), node(ia, a.x(), a.y(), a.z(), sa),
                                                   node(ib, b.x(), b.y(), b.z(), sb), type));
  }
}

inline void add_nodal_load(VARN& v, std::uint32_t case_id, std::uint32_t node_id, double magnitude,
                           std::array<double, 3> dir) {
  auto it = std::find_if(v.load_cases.begin(), v.load_cases.end(), [&](const LoadCase& c) { return c.id == case_id; });
  if (it == v.load_cases.end()) {
    LoadCase lc;
    lc.id = case_id;
    lc.name = "LC";
  lc.name += std::to_string(case_id);
    v.load_cases.push_back(lc);
    it = std::prev(v.load_cases.end());
  }
  NodalLoad l;
  l.id = static_cast<std::uint32_t>(it->nodal_loads.size() + 1);
  l.node = node_id;
  l.load_case = case_id;
  l.magnitude = magnitude;
  l.direction = dir;
  it->nodal_loads.push_back(l);
}

inline LoadCase& load_case(VARN& v, std::uint32_t case_id) {
  for (auto& c : v.load_cases)
    if (c.id == case_id) return c;
  LoadCase lc;
  lc.id = case_id;
  lc.name = "LC";
  lc.name += std::to_string(case_id);
  v.load_cases.push_back(lc);
  return v.load_cases.back();
}

// The whole first-order chain for one load case with every tie and strut on: operator,
// load vector, then either the supports' penalty (no rigid links) or the rigid elimination.
inline Expected<Eigen::VectorXd> solve_case(const VARN& v, std::uint32_t case_id) {
  auto k = v.build_operator_with_supports_sparse_internal(ActiveMap{}, nullptr);
  if (!k) return fail(k.error());
  auto f = v.assemble_load_vector_for_case(case_id);
  if (!f) return fail(f.error());
  const std::string singular = "Stiffness matrix is singular or near-singular";
  if (v.needs_dense_rigid_path()) {
    auto e = v.build_rigid_elimination_partial_using_hinges();
    if (!e) return fail(e.error());
    return v.solve_constrained_linear_system(*k, *f, {}, &*e, singular);
  }
  auto dofs = v.collect_constrained_dofs_full();
  if (!dofs) return fail(dofs.error());
  return v.solve_constrained_linear_system(*k, *f, *dofs, nullptr, singular);
}

inline double dof(const Eigen::VectorXd& u, std::uint32_t node_id, int k) {
  return u[static_cast<Eigen::Index>(7 * (node_id - 1) + static_cast<std::uint32_t>(k))];
}

}  // namespace varn::global_test
