#include "functions/reactions.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/rigid_graph.h"
#include "functions/support_utils.h"
#include "models/members/enums.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

constexpr const char* kIndexFault = "Matrix index out of bounds.";
constexpr std::array<const char*, 3> kAxes = {"X", "Y", "Z"};

std::array<double, 3> triple(const NodeForces& f, bool moments) {
  return moments ? std::array<double, 3>{f.mx, f.my, f.mz} : std::array<double, 3>{f.fx, f.fy, f.fz};
}

std::array<double, 3> neg(const std::array<double, 3>& a) { return {-a[0], -a[1], -a[2]}; }

std::array<double, 3> vec_triple(const Eigen::Vector3d& v) { return {v.x(), v.y(), v.z()}; }

// True when the axis condition holds its DOF rigidly and reports the equilibrium value.
bool holds_rigidly(const SupportCondition* c) {
  return c == nullptr || (c->condition_type == SupportConditionType::Fixed && !c->has_curve());
}

// A support that holds all six translations and rotations rigidly can take any force and
// moment of a rigid body attached to it.
bool holds_all_axes(const NodalSupport& support) {
  for (const char* axis : kAxes) {
    if (!holds_rigidly(get_support_condition(support.displacement_conditions, axis))) return false;
    if (!holds_rigidly(get_support_condition(support.rotation_conditions, axis))) return false;
  }
  return true;
}

bool switched_off(const Member& m, const ActiveMap* active) {
  if (active == nullptr || active->empty()) return false;
  if (m.member_type != MemberType::Tension && m.member_type != MemberType::Compression) return false;
  return !is_member_active(*active, m.id);
}

std::size_t checked_dof(std::uint32_t node_id, std::size_t k, std::size_t size) {
  const std::size_t base = dof_index(node_id, 0);
  if (base > size || size - base < 7) fatal(kIndexFault);
  return base + k;
}

// Moves a wrench (force f, moment m about `from`) to the point `from + d`.
void move_wrench(const NodeWrench& w, const std::array<double, 3>& d, NodeWrench& target) {
  target.add_force(w.force);
  const std::array<double, 3> d_x_f = cross_r_x_f(d, w.force);
  target.add_moment({w.moment[0] - d_x_f[0], w.moment[1] - d_x_f[1], w.moment[2] - d_x_f[2]});
}

}  // namespace

void NodeWrench::add_force(const std::array<double, 3>& f) {
  for (std::size_t i = 0; i < 3; ++i) force[i] += f[i];
}

void NodeWrench::add_moment(const std::array<double, 3>& m) {
  for (std::size_t i = 0; i < 3; ++i) moment[i] += m[i];
}

void NodeWrench::sub_wrench(const NodeWrench& other) {
  for (std::size_t i = 0; i < 3; ++i) {
    force[i] -= other.force[i];
    moment[i] -= other.moment[i];
  }
}

bool NodeWrench::is_zero() const {
  for (std::size_t i = 0; i < 3; ++i)
    if (force[i] != 0.0 || moment[i] != 0.0) return false;
  return true;
}

std::array<double, 3> cross_r_x_f(const std::array<double, 3>& r, const std::array<double, 3>& f) {
  return {r[1] * f[2] - r[2] * f[1], r[2] * f[0] - r[0] * f[2], r[0] * f[1] - r[1] * f[0]};
}

bool reports_spring_force(const SupportCondition* condition) {
  return condition != nullptr &&
         (condition->has_curve() || condition->condition_type == SupportConditionType::Spring);
}

std::vector<std::size_t> spring_reported_dofs(const VARN& model) {
  std::set<std::size_t> dofs;
  visit_unique_supported_nodes(model.member_sets, supports_by_id(model.nodal_supports),
                               [&](const Node& node, const NodalSupport& support) {
                                 for (std::size_t a = 0; a < 3; ++a) {
                                   if (reports_spring_force(get_support_condition(support.displacement_conditions, kAxes[a])))
                                     dofs.insert(dof_index(node.id, a));
                                   if (reports_spring_force(get_support_condition(support.rotation_conditions, kAxes[a])))
                                     dofs.insert(dof_index(node.id, 3 + a));
                                 }
                               });
  return std::vector<std::size_t>(dofs.begin(), dofs.end());
}

std::set<std::uint32_t> deformable_member_ids(const VARN& model, const ActiveMap* active) {
  std::set<std::uint32_t> out;
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      if (m.member_type == MemberType::Rigid || switched_off(m, active)) continue;
      out.insert(m.id);
    }
  }
  return out;
}

std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> member_end_node_map(const VARN& model) {
  std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> out;
  for (const auto& set : model.member_sets)
    for (const auto& m : set.members) out.insert_or_assign(m.id, std::make_pair(m.start_node.id, m.end_node.id));
  return out;
}

NodeWrenchMap gather_external_nodal_wrenches_for_result_type(const VARN& model, const ResultType& result_type) {
  NodeWrenchMap out;
  const auto find_case = [&](std::uint32_t id) -> const LoadCase* {
    for (const auto& lc : model.load_cases)
      if (lc.id == id) return &lc;
    return nullptr;
  };
  const auto add_case = [&](const LoadCase& lc, double factor) {
    const auto scaled = [&](double magnitude, const std::array<double, 3>& d) {
      return std::array<double, 3>{magnitude * (factor * d[0]), magnitude * (factor * d[1]),
                                   magnitude * (factor * d[2])};
    };
    for (const auto& load : lc.nodal_loads) out[load.node].add_force(scaled(load.magnitude, load.direction));
    for (const auto& moment : lc.nodal_moments) out[moment.node].add_moment(scaled(moment.magnitude, moment.direction));
  };

  if (result_type.is_loadcase()) {
    if (const LoadCase* lc = find_case(result_type.id)) add_case(*lc, 1.0);
    return out;
  }
  const LoadCombination* combo = nullptr;
  for (const auto& c : model.load_combinations) {
    if (c.id == result_type.id) {
      combo = &c;
      break;
    }
  }
  if (combo == nullptr) return out;
  // The cases in the order the combination lists them: the same sums on every run.
  for (const auto& [case_id, factor] : combo->load_cases_factors)
    if (const LoadCase* lc = find_case(case_id)) add_case(*lc, factor);
  return out;
}

void roll_up_wrenches_via_rigid_links(const VARN& model, const RigidGraph& graph, NodeWrenchMap& wrenches) {
  if (graph.empty()) return;
  std::set<std::uint32_t> supported;
  std::set<std::uint32_t> held;
  visit_unique_supported_nodes(model.member_sets, supports_by_id(model.nodal_supports),
                               [&](const Node& node, const NodalSupport& support) {
                                 supported.insert(node.id);
                                 if (holds_all_axes(support)) held.insert(node.id);
                               });

  // A rigid link carries the slave's sums to its master unchanged in force, with the moment
  // of that force about the master added. A fully held slave is itself a support of the
  // rigid body: its sums are its reaction and stay.
  for (const RigidEdge& edge : graph.edges_sorted_child_first()) {
    if (held.count(edge.slave) != 0) continue;
    const auto it = wrenches.find(edge.slave);
    if (it == wrenches.end()) continue;
    const NodeWrench w = it->second;
    wrenches.erase(it);
    if (w.is_zero()) continue;
    NodeWrench& master = wrenches[edge.master];
    master.add_force(w.force);
    const std::array<double, 3> r_x_f = cross_r_x_f(vec_triple(edge.offset), w.force);
    master.add_moment({w.moment[0] + r_x_f[0], w.moment[1] + r_x_f[1], w.moment[2] + r_x_f[2]});
  }

  // The root of each tree now holds what its supports must carry. A root that no support holds
  // would lose it: hand it to a support of the same rigid body, nearest the root first (ties
  // in link order), so the reactions keep balancing the loads.
  struct Candidate {
    std::uint32_t node = 0;
    std::size_t depth = std::numeric_limits<std::size_t>::max();
    std::array<double, 3> from_root{0.0, 0.0, 0.0};  // node position − root position
  };
  std::map<std::uint32_t, Candidate> best_held;
  std::map<std::uint32_t, Candidate> best_supported;
  const auto& parents = graph.parent_map();
  for (const RigidEdge& edge : graph.edges()) {
    const bool is_held = held.count(edge.slave) != 0;
    if (!is_held && supported.count(edge.slave) == 0) continue;
    Candidate c;
    c.node = edge.slave;
    c.depth = 0;
    Eigen::Vector3d d = Eigen::Vector3d::Zero();
    std::uint32_t node = edge.slave;
    for (auto it = parents.find(node); it != parents.end(); it = parents.find(node)) {
      d += it->second.second;
      node = it->second.first;
      ++c.depth;
    }
    c.from_root = vec_triple(d);
    auto& slot = is_held ? best_held[node] : best_supported[node];
    if (c.depth < slot.depth) slot = c;
  }

  std::set<std::uint32_t> roots;
  for (const RigidEdge& edge : graph.edges())
    if (!graph.is_slave(edge.master)) roots.insert(edge.master);
  for (const std::uint32_t root : roots) {
    if (held.count(root) != 0) continue;
    const auto it = wrenches.find(root);
    if (it == wrenches.end() || it->second.is_zero()) continue;
    const Candidate* target = nullptr;
    if (const auto h = best_held.find(root); h != best_held.end()) {
      target = &h->second;
    } else if (supported.count(root) == 0) {
      if (const auto s = best_supported.find(root); s != best_supported.end()) target = &s->second;
    }
    if (target == nullptr) continue;
    const NodeWrench w = it->second;
    wrenches.erase(it);
    move_wrench(w, target->from_root, wrenches[target->node]);
  }
}

Expected<Eigen::VectorXd> compute_support_spring_reaction_vector_verbose(const VARN& model,
                                                                         const Eigen::Ref<const Eigen::VectorXd>& u,
                                                                         const SupportNodeForceMap* node_forces) {
  const std::size_t n = compute_num_dofs_from_members(model.member_sets);
  Eigen::VectorXd s = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  const std::size_t u_size = static_cast<std::size_t>(u.size());
  std::string error;
  visit_unique_supported_nodes(
      model.member_sets, supports_by_id(model.nodal_supports), [&](const Node& node, const NodalSupport& support) {
        if (!error.empty()) return;
        const SupportNodeForces* forces = nullptr;
        if (node_forces != nullptr) {
          if (const auto it = node_forces->find(node.id); it != node_forces->end()) forces = &it->second;
        }
        for (int group = 0; group < 2; ++group) {
          const auto& conditions = group == 0 ? support.displacement_conditions : support.rotation_conditions;
          const std::string_view kind = group == 0 ? "displacement" : "rotation";
          for (std::size_t a = 0; a < 3; ++a) {
            const SupportCondition* cond = get_support_condition(conditions, kAxes[a]);
            if (cond == nullptr) continue;
            auto k = resolve_spring_stiffness(*cond, support.id, kAxes[a], kind, forces);
            if (!k) {
              error = k.error();
              return;
            }
            if (!k->has_value()) continue;
            const std::size_t dof = checked_dof(node.id, 3 * static_cast<std::size_t>(group) + a, n);
            if (dof >= u_size) fatal(kIndexFault);
            s[static_cast<Eigen::Index>(dof)] += **k * u[static_cast<Eigen::Index>(dof)];
          }
        }
      });
  if (!error.empty()) return fail(error);
  return s;
}

Expected<ReactionComposition> compose_support_reaction_vector_equilibrium(
    const VARN& model, const ResultType& result_type, const Eigen::Ref<const Eigen::VectorXd>& u,
    const ActiveMap* active, RecoveryMode mode, const SupportNodeForceMap* support_forces,
    const MemberEndForceMap* end_forces) {
  const std::set<std::uint32_t> deformable = deformable_member_ids(model, active);
  const auto ends = member_end_node_map(model);
  MemberResultMap members = compute_member_results_from_displacement(model, result_type, u, active, mode, end_forces);

  auto graph = RigidGraph::build(model.member_sets);
  if (!graph) return fail(graph.error());

  // Node sums: Σ (force acting on each member at its end there) − applied loads, which is
  // what the supports must supply to the node.
  NodeWrenchMap wrenches;
  for (const auto& [id, result] : members) {
    if (deformable.count(id) == 0) continue;
    const auto e = ends.find(id);
    if (e == ends.end()) continue;
    NodeWrench& ws = wrenches[e->second.first];
    ws.add_force(triple(result.start_node_forces, false));
    ws.add_moment(triple(result.start_node_forces, true));
    NodeWrench& we = wrenches[e->second.second];
    we.add_force(triple(result.end_node_forces, false));
    we.add_moment(triple(result.end_node_forces, true));
  }

  // Members that carry no recovered end forces (rigid links, switched-off ties and struts)
  // still hand their own member loads to their nodes, as the load vector did: the nodes hold
  // the member against its loads.
  const std::set<std::uint32_t> loaded = members_with_distributed_loads(model, result_type);
  if (!loaded.empty()) {
    std::map<std::uint32_t, const Member*> carriers;
    for (const auto& set : model.member_sets)
      for (const auto& m : set.members)
        if (loaded.count(m.id) != 0) carriers.insert_or_assign(m.id, &m);
    for (const auto& [id, m] : carriers) {
      const bool rigid = m->member_type == MemberType::Rigid;
      if (!rigid && !switched_off(*m, active)) continue;
      const double length = m->calculate_length();
      if (!(length >= 1e-12)) continue;
      const Mat14 t = m->calculate_transformation_matrix_3d();
      const MemberLoadSet loads = rigid ? compute_feq_for_member(id, t, model, length, result_type)
                                        : compute_simple_beam_loads_for_member(id, t, model, length, result_type);
      const Vec14 g = t.transpose() * loads.f_eq;
      NodeWrench& ws = wrenches[m->start_node.id];
      ws.add_force(neg({g[0], g[1], g[2]}));
      ws.add_moment(neg({g[3], g[4], g[5]}));
      NodeWrench& we = wrenches[m->end_node.id];
      we.add_force(neg({g[7], g[8], g[9]}));
      we.add_moment(neg({g[10], g[11], g[12]}));
    }
  }

  for (const auto& [node, applied] : gather_external_nodal_wrenches_for_result_type(model, result_type))
    wrenches[node].sub_wrench(applied);

  roll_up_wrenches_via_rigid_links(model, *graph, wrenches);

  const std::size_t n = compute_num_dofs_from_members(model.member_sets);
  Eigen::VectorXd r = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  auto springs = compute_support_spring_reaction_vector_verbose(model, u, support_forces);
  if (!springs) return fail(springs.error());
  const Eigen::VectorXd& s = *springs;

  visit_unique_supported_nodes(
      model.member_sets, supports_by_id(model.nodal_supports), [&](const Node& node, const NodalSupport& support) {
        static const NodeWrench kNone;
        const auto it = wrenches.find(node.id);
        const NodeWrench& w = it == wrenches.end() ? kNone : it->second;
        for (int group = 0; group < 2; ++group) {
          const auto& conditions = group == 0 ? support.displacement_conditions : support.rotation_conditions;
          const auto& eq_group = group == 0 ? w.force : w.moment;
          for (std::size_t a = 0; a < 3; ++a) {
            const std::size_t dof = checked_dof(node.id, 3 * static_cast<std::size_t>(group) + a, n);
            const double eq = eq_group[a];
            const SupportCondition* cond = get_support_condition(conditions, kAxes[a]);
            double value = eq;
            if (reports_spring_force(cond)) {
              value = s[static_cast<Eigen::Index>(dof)];
            } else if (cond != nullptr) {
              switch (cond->condition_type) {
                case SupportConditionType::Fixed: value = eq; break;
                case SupportConditionType::Free: value = 0.0; break;
                case SupportConditionType::Spring: break;  // reports its spring force
                // One-sided: the force of the solved state. The active-set loop has held
                // the DOF only where that force has the allowed sign (within the switching
                // tolerance), and where it released the DOF the force is zero to round-off.
                case SupportConditionType::PositiveOnly:
                case SupportConditionType::NegativeOnly: value = eq; break;
              }
            }
            r[static_cast<Eigen::Index>(dof)] = value;
          }
        }
      });

  return ReactionComposition{std::move(r), std::move(members)};
}

std::map<std::uint32_t, ReactionNodeResult> extract_reaction_nodes(const VARN& model,
                                                                   const Eigen::Ref<const Eigen::VectorXd>& reactions) {
  // Coordinates of each node id at its first member end.
  std::map<std::uint32_t, NodeLocation> locations;
  for (const auto& set : model.member_sets)
    for (const auto& m : set.members)
      for (const Node* node : {&m.start_node, &m.end_node})
        locations.emplace(node->id, NodeLocation{node->X, node->Y, node->Z});

  const std::size_t size = static_cast<std::size_t>(reactions.size());
  std::map<std::uint32_t, ReactionNodeResult> out;
  for (const auto& set : model.member_sets) {
    for (const auto& m : set.members) {
      for (const Node* node : {&m.start_node, &m.end_node}) {
        if (!node->nodal_support) continue;
        const std::size_t base = checked_dof(node->id, 0, size);
        const auto at = [&](std::size_t k) { return reactions[static_cast<Eigen::Index>(base + k)]; };
        ReactionNodeResult rec;
        rec.nodal_forces = NodeForces{at(0), at(1), at(2), at(3), at(4), at(5), at(6)};
        rec.location = locations.at(node->id);
        rec.support_id = *node->nodal_support;
        out.insert_or_assign(node->id, rec);
      }
    }
  }
  return out;
}

}  // namespace varn
