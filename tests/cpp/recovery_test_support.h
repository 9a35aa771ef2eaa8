#pragma once
// Models built in code for the recovery tests, and a small dense first-order solve with the
// element library and the load assembly, so that member forces and reactions can be checked
// against closed-form mechanics on displacements a real solve produced.
#include <cstdint>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "functions/geometry.h"
#include "functions/hinge_and_release_operations.h"
#include "functions/load_assembler.h"
#include "functions/support_utils.h"
#include "model_builders.h"
#include "models/varn/varn.h"

namespace varn::test {

using builders::condition;
using builders::member;
using builders::node;
using builders::section;

constexpr double kE = 210e9;
constexpr double kG = 81e9;

inline Material steel() {
  Material m;
  m.id = 1;
  m.name = "S355";
  m.e_mod = kE;
  m.g_mod = kG;
  return m;
}

// One member set (id 1) holding the members.
inline std::vector<MemberSet> sets_of(std::vector<Member> members) {
  MemberSet s;
  s.id = 1;
  s.members = std::move(members);
  return {s};
}

// A support with the given translation and rotation conditions (axes "X", "Y", "Z"); an axis
// not listed is held.
inline NodalSupport support(std::uint32_t id, std::map<std::string, SupportCondition> displacement = {},
                            std::map<std::string, SupportCondition> rotation = {}) {
  NodalSupport s;
  s.id = id;
  s.displacement_conditions = std::move(displacement);
  s.rotation_conditions = std::move(rotation);
  return s;
}

inline std::map<std::string, SupportCondition> all_free() {
  const auto f = condition(SupportConditionType::Free);
  return {{"X", f}, {"Y", f}, {"Z", f}};
}

inline NodalLoad nodal_load(std::uint32_t node_id, std::uint32_t lc, double magnitude, std::array<double, 3> dir) {
  NodalLoad l;
  l.node = node_id;
  l.load_case = lc;
  l.magnitude = magnitude;
  l.direction = dir;
  return l;
}

inline NodalMoment nodal_moment(std::uint32_t node_id, std::uint32_t lc, double magnitude, std::array<double, 3> dir) {
  NodalMoment l;
  l.node = node_id;
  l.load_case = lc;
  l.magnitude = magnitude;
  l.direction = dir;
  return l;
}

inline DistributedLoad line_load(std::uint32_t member_id, std::uint32_t lc, double q_s, double q_e,
                                 std::array<double, 3> dir, double s = 0.0, double e = 1.0) {
  DistributedLoad l;
  l.member = member_id;
  l.load_case = lc;
  l.magnitude = q_s;
  l.end_magnitude = q_e;
  l.direction = dir;
  l.start_frac = s;
  l.end_frac = e;
  return l;
}

inline LoadCase load_case(std::uint32_t id, std::string name) {
  LoadCase lc;
  lc.id = id;
  lc.name = std::move(name);
  return lc;
}

// A model with one material, the given sections and one member set.
inline VARN model_with(std::vector<Member> members, std::vector<Section> sections,
                       std::vector<NodalSupport> supports = {}) {
  VARN v;
  v.materials.push_back(steel());
  v.sections = std::move(sections);
  v.nodal_supports = std::move(supports);
  MemberSet set;
  set.id = 1;
  set.members = std::move(members);
  v.member_sets.push_back(std::move(set));
  return v;
}

// The beam section of the recovery tests: a steel I-beam of moderate size.
constexpr double kA = 5e-3;
constexpr double kIy = 8e-5;
constexpr double kIz = 6e-6;
constexpr double kJ = 2e-7;

inline Section beam_section(std::uint32_t id = 1) { return section(id, kA, kIy, kIz, kJ); }

inline Eigen::VectorXd zeros(const VARN& model) {
  return Eigen::VectorXd::Zero(static_cast<Eigen::Index>(compute_num_dofs_from_members(model.member_sets)));
}

inline void set_dof(Eigen::VectorXd& u, std::uint32_t node_id, std::size_t k, double value) {
  u[static_cast<Eigen::Index>(dof_index(node_id, k))] = value;
}

// A model with one load case (id 1) holding the given loads.
inline VARN with_case(VARN v, std::vector<DistributedLoad> line = {}, std::vector<NodalLoad> point = {},
               std::vector<NodalMoment> moments = {}) {
  LoadCase lc = load_case(1, "LC1");
  lc.distributed_loads = std::move(line);
  lc.nodal_loads = std::move(point);
  lc.nodal_moments = std::move(moments);
  v.load_cases.push_back(std::move(lc));
  return v;
}

inline Eigen::VectorXd case_load_vector(const VARN& model, const LoadCase& lc) {
  const auto n = static_cast<Eigen::Index>(compute_num_dofs_from_members(model.member_sets));
  Eigen::VectorXd f = Eigen::VectorXd::Zero(n);
  const AssemblyContext ctx = model.build_lookup_maps();
  if (!assemble_nodal_loads(lc, model.member_sets, f)) throw std::runtime_error("nodal loads");
  if (!assemble_nodal_moments(lc, model.member_sets, f)) throw std::runtime_error("nodal moments");
  if (!assemble_distributed_loads(lc, model.member_sets, f, lc.id, &ctx)) throw std::runtime_error("line loads");
  return f;
}

// Global load vector of a load case or a combination (Σ factor × case vector).
inline Eigen::VectorXd load_vector(const VARN& model, const ResultType& type) {
  const auto n = static_cast<Eigen::Index>(compute_num_dofs_from_members(model.member_sets));
  Eigen::VectorXd f = Eigen::VectorXd::Zero(n);
  const auto find_case = [&](std::uint32_t id) -> const LoadCase* {
    for (const auto& lc : model.load_cases)
      if (lc.id == id) return &lc;
    return nullptr;
  };
  if (type.is_loadcase()) {
    if (const LoadCase* lc = find_case(type.id)) f = case_load_vector(model, *lc);
    return f;
  }
  for (const auto& combo : model.load_combinations) {
    if (combo.id != type.id) continue;
    for (const auto& [case_id, factor] : combo.load_cases_factors)
      if (const LoadCase* lc = find_case(case_id)) f += factor * case_load_vector(model, *lc);
    break;
  }
  return f;
}

// Dense first-order solve: element stiffness of every beam (condensed for its hinges) and
// truss (ties and struts that `active` switches off scaled by 1e-10), support conditions that
// are absent or Fixed held exactly, Spring conditions on the diagonal, everything else free.
// Rigid members are not modelled here.
inline Eigen::VectorXd solve_first_order(const VARN& model, const ResultType& type, const ActiveMap* active = nullptr) {
  const auto n = static_cast<Eigen::Index>(compute_num_dofs_from_members(model.member_sets));
  Eigen::MatrixXd k = Eigen::MatrixXd::Zero(n, n);
  const AssemblyContext ctx = model.build_lookup_maps();
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      Mat14 kg;
      if (m.member_type == MemberType::Normal) {
        const auto kl = m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections);
        auto g = local_to_global_with_releases(m, *kl, ctx.member_hinges);
        if (!g) throw std::runtime_error(g.error());
        kg = *g;
      } else if (is_truss_type(m.member_type)) {
        kg = *m.calculate_truss_stiffness_matrix_3d(ctx.materials, ctx.sections);
        if (active != nullptr && !is_member_active(*active, m.id)) kg *= 1e-10;
      } else {
        throw std::runtime_error("rigid members are not modelled by the test solve");
      }
      const auto s = static_cast<Eigen::Index>(dof_index(m.start_node.id, 0));
      const auto e = static_cast<Eigen::Index>(dof_index(m.end_node.id, 0));
      k.block(s, s, 7, 7) += kg.block(0, 0, 7, 7);
      k.block(s, e, 7, 7) += kg.block(0, 7, 7, 7);
      k.block(e, s, 7, 7) += kg.block(7, 0, 7, 7);
      k.block(e, e, 7, 7) += kg.block(7, 7, 7, 7);
    }
  }
  std::set<Eigen::Index> fixed;
  visit_unique_supported_nodes(model.member_sets, supports_by_id(model.nodal_supports),
                               [&](const Node& nd, const NodalSupport& sup) {
                                 for (int g = 0; g < 2; ++g) {
                                   const auto& conds = g == 0 ? sup.displacement_conditions : sup.rotation_conditions;
                                   for (int a = 0; a < 3; ++a) {
                                     const char* axis = a == 0 ? "X" : a == 1 ? "Y" : "Z";
                                     const auto dof = static_cast<Eigen::Index>(dof_index(nd.id, 3 * g + a));
                                     const SupportCondition* c = get_support_condition(conds, axis);
                                     if (c == nullptr || c->condition_type == SupportConditionType::Fixed) {
                                       fixed.insert(dof);
                                     } else if (c->condition_type == SupportConditionType::Spring) {
                                       k(dof, dof) += *c->stiffness;
                                     }
                                   }
                                 }
                               });
  const Eigen::VectorXd f = load_vector(model, type);
  std::vector<Eigen::Index> free;
  for (Eigen::Index i = 0; i < n; ++i)
    if (fixed.count(i) == 0) free.push_back(i);
  const auto m = static_cast<Eigen::Index>(free.size());
  Eigen::MatrixXd kr(m, m);
  Eigen::VectorXd fr(m);
  for (Eigen::Index i = 0; i < m; ++i) {
    fr[i] = f[free[static_cast<std::size_t>(i)]];
    for (Eigen::Index j = 0; j < m; ++j) kr(i, j) = k(free[static_cast<std::size_t>(i)], free[static_cast<std::size_t>(j)]);
  }
  const Eigen::VectorXd ur = kr.fullPivLu().solve(fr);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(n);
  for (Eigen::Index i = 0; i < m; ++i) u[free[static_cast<std::size_t>(i)]] = ur[i];
  return u;
}

}  // namespace varn::test
