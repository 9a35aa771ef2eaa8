#include "models/varn/reactions.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/member_loop.h"
#include "functions/rigid_graph.h"
#include "functions/support_utils.h"
#include "models/loads/load_lookup.h"
#include "models/members/enums.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/support_state.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

constexpr const char* kIndexFault = "Matrix index out of bounds.";
constexpr std::array<const char*, 3> kAxes = {"X", "Y", "Z"};

std::array<double, 3> triple(const NodeForces& f, bool moments) {
  return moments ? std::array<double, 3>{f.mx, f.my, f.mz} : std::array<double, 3>{f.fx, f.fy, f.fz};
}

std::array<double, 3> neg(const std::array<double, 3>& a) { return {-a[0], -a[1], -a[2]}; }

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

using Vec6 = Eigen::Matrix<double, 6, 1>;

// What a supported axis does in the reactions: it reports the force on its spring, nothing
// (free, or a one-sided support the solve has released), or holds its DOF rigidly, and then
// reports what equilibrium leaves to it.
enum class AxisRole { Spring, Free, Held };

AxisRole axis_role(const SupportCondition* c, bool released) {
  if (reports_spring_force(c)) return AxisRole::Spring;
  if (c != nullptr && (c->condition_type == SupportConditionType::Free || released)) return AxisRole::Free;
  return AxisRole::Held;  // no condition, Fixed, or a one-sided support that holds
}

// One tree of rigid links: its nodes, the root first, each with its position relative to the
// root.
struct RigidBody {
  std::vector<std::pair<std::uint32_t, Eigen::Vector3d>> nodes;
};

// The trees of the graph, in the order their roots first appear among the links (build order).
std::vector<RigidBody> rigid_bodies(const RigidGraph& graph) {
  std::vector<RigidBody> bodies;
  std::map<std::uint32_t, std::size_t> body_of_root;
  const auto& parents = graph.parent_map();
  for (const RigidEdge& edge : graph.edges()) {
    Eigen::Vector3d d = edge.offset;
    std::uint32_t root = edge.master;
    for (auto it = parents.find(root); it != parents.end(); it = parents.find(root)) {
      d += it->second.second;
      root = it->second.first;
    }
    const auto [it, added] = body_of_root.emplace(root, bodies.size());
    if (added) {
      bodies.emplace_back();
      bodies.back().nodes.emplace_back(root, Eigen::Vector3d::Zero());
    }
    bodies[it->second].nodes.emplace_back(edge.slave, d);
  }
  return bodies;
}

// The reactions at the supported nodes of one rigid body. Its rigid links carry force between
// its nodes, so no node's own sums say what its support carries; the supports together carry
// what the body's nodes sum to (members' end forces less the loads, about the root), and the
// springs on it their k·u. Each held axis takes its own node's sum first; what these leave
// unbalanced is shared among the held axes in the least-squares sense (moments weighed over the
// size of the body), which is the unique answer wherever the supports hold the body statically
// determinately (a master held on five axes and a slave on the sixth), and the one least
// removed from each node carrying its own sums where they hold it more than once.
void share_rigid_body_reactions(const RigidBody& body, const NodeWrenchMap& wrenches,
                                const std::map<std::uint32_t, const NodalSupport*>& support_of,
                                const Eigen::VectorXd& springs, const SupportState* released, std::size_t n,
                                Eigen::VectorXd& r) {
  // A power of two near the size of the body: the weighing of moments is exact.
  double size = 0.0;
  for (const auto& [node, d] : body.nodes) size = std::fmax(size, d.norm());
  const double l = size > 0.0 && std::isfinite(size) ? std::ldexp(1.0, std::ilogb(size)) : 1.0;

  struct Held {
    std::size_t dof = 0;
    Vec6 column = Vec6::Zero();  // the wrench about the root of a unit reaction
    double own = 0.0;            // the node's own sum on this axis
    double weight = 1.0;         // 1 for a force, l for a moment
  };
  std::vector<Held> held;
  Vec6 carried = Vec6::Zero();  // what the body's rigid supports must exert, about the root
  for (const auto& [node, d] : body.nodes) {
    static const NodeWrench kNone;
    const auto w = wrenches.find(node);
    const NodeWrench& sum = w == wrenches.end() ? kNone : w->second;
    const Eigen::Vector3d f(sum.force[0], sum.force[1], sum.force[2]);
    const Eigen::Vector3d m(sum.moment[0], sum.moment[1], sum.moment[2]);
    carried.head<3>() += f;
    carried.tail<3>() += m + d.cross(f);
    const auto s = support_of.find(node);
    if (s == support_of.end()) continue;
    for (std::size_t k = 0; k < 6; ++k) {
      const bool translation = k < 3;
      const auto& conditions = translation ? s->second->displacement_conditions : s->second->rotation_conditions;
      const std::size_t dof = checked_dof(node, k, n);
      const AxisRole role = axis_role(get_support_condition(conditions, kAxes[k % 3]),
                                      released != nullptr && released->count(dof) != 0);
      Vec6 column = Vec6::Zero();
      const Eigen::Vector3d e = Eigen::Vector3d::Unit(static_cast<Eigen::Index>(k % 3));
      if (translation) {
        column.head<3>() = e;
        column.tail<3>() = d.cross(e);
      } else {
        column.tail<3>() = e;
      }
      const auto i = static_cast<Eigen::Index>(dof);
      switch (role) {
        case AxisRole::Spring:
          r[i] = springs[i];
          carried -= column * -springs[i];  // the spring exerts −k·u on the node
          break;
        case AxisRole::Free: r[i] = 0.0; break;
        case AxisRole::Held:
          held.push_back(Held{dof, column, translation ? f[static_cast<Eigen::Index>(k)] : m[static_cast<Eigen::Index>(k - 3)],
                              translation ? 1.0 : l});
          break;
      }
    }
  }
  if (held.empty()) return;
  Vec6 left = carried;
  for (const Held& h : held) left -= h.column * h.own;
  // Forces, and moments over l, against unknowns scaled to forces: a well-scaled system.
  const Vec6 rows = (Vec6() << 1.0, 1.0, 1.0, 1.0 / l, 1.0 / l, 1.0 / l).finished();
  Eigen::Matrix<double, 6, Eigen::Dynamic> a(6, static_cast<Eigen::Index>(held.size()));
  for (std::size_t j = 0; j < held.size(); ++j)
    a.col(static_cast<Eigen::Index>(j)) = rows.cwiseProduct(held[j].column) * held[j].weight;
  const Eigen::VectorXd y = a.completeOrthogonalDecomposition().solve(Vec6(rows.cwiseProduct(left)));
  for (std::size_t j = 0; j < held.size(); ++j)
    r[static_cast<Eigen::Index>(held[j].dof)] = held[j].own + held[j].weight * y[static_cast<Eigen::Index>(j)];
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
  const auto add_case = [&](const LoadCase& lc, double factor) {
    const auto scaled = [&](double magnitude, const std::array<double, 3>& d) {
      return std::array<double, 3>{magnitude * (factor * d[0]), magnitude * (factor * d[1]),
                                   magnitude * (factor * d[2])};
    };
    for (const auto& load : lc.nodal_loads) out[load.node].add_force(scaled(load.magnitude, load.direction));
    for (const auto& moment : lc.nodal_moments) out[moment.node].add_moment(scaled(moment.magnitude, moment.direction));
  };

  if (result_type.is_loadcase()) {
    if (const LoadCase* lc = find_load_case(model.load_cases, result_type.id)) add_case(*lc, 1.0);
    return out;
  }
  const LoadCombination* combo = find_load_combination(model.load_combinations, result_type.id);
  if (combo == nullptr) return out;
  // The cases in the order the combination lists them: the same sums on every run.
  for (const auto& [case_id, factor] : combo->load_cases_factors)
    if (const LoadCase* lc = find_load_case(model.load_cases, case_id)) add_case(*lc, factor);
  return out;
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

namespace {

// First order with rigid links kept as stiff beams: the force each beam carries, K·u of its
// element, added to its nodes' sums as any member's end forces are. Each supported node then
// reports what its own support carries in the solve, also where the supports hold a body of
// links more often than its six motions need (the share is then the elastic one, by which
// the one-sided supports are judged). Second order keeps the bodies' shared reactions: the
// beams' geometric part is not recovered here.
Expected<bool> add_stiff_link_forces(const VARN& model, const Eigen::Ref<const Eigen::VectorXd>& u,
                                     const ActiveMap* active, NodeWrenchMap& wrenches) {
  if (model.settings.analysis_options.rigid_strategy != RigidStrategy::RigidMember) return false;
  const std::vector<const Member*> members = flatten_members(model.member_sets);
  if (std::none_of(members.begin(), members.end(),
                   [](const Member* m) { return m->member_type == MemberType::Rigid; })) {
    return false;
  }
  const ActiveMap all_on;
  const AssemblyContext ctx = model.build_lookup_maps();
  const auto rigid_sections = stiff_beam_sections(model, members);
  const MemberStiffnessInputs inputs{model, ctx, active != nullptr ? *active : all_on, nullptr, rigid_sections,
                                     model.max_e_mod_in_model(), StiffnessMessages::Assembly};
  const auto n = static_cast<std::size_t>(u.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = *members[i];
    if (m.member_type != MemberType::Rigid) continue;
    auto k = member_elastic_stiffness_global(m, i, inputs);
    if (!k) return fail(k.error());
    if (!k->has_value()) continue;
    Vec14 ue;
    for (std::size_t j = 0; j < 7; ++j) {
      ue[static_cast<Eigen::Index>(j)] = u[static_cast<Eigen::Index>(checked_dof(m.start_node.id, j, n))];
      ue[static_cast<Eigen::Index>(7 + j)] = u[static_cast<Eigen::Index>(checked_dof(m.end_node.id, j, n))];
    }
    const Vec14 g = **k * ue;
    NodeWrench& ws = wrenches[m.start_node.id];
    ws.add_force({g[0], g[1], g[2]});
    ws.add_moment({g[3], g[4], g[5]});
    NodeWrench& we = wrenches[m.end_node.id];
    we.add_force({g[7], g[8], g[9]});
    we.add_moment({g[10], g[11], g[12]});
  }
  return true;
}

}  // namespace

Expected<ReactionComposition> compose_support_reaction_vector_equilibrium(
    const VARN& model, const ResultType& result_type, const Eigen::Ref<const Eigen::VectorXd>& u,
    const ActiveMap* active, RecoveryMode mode, const SupportNodeForceMap* support_forces,
    const MemberEndForceMap* end_forces, const SupportState* released) {
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

  const std::size_t n = compute_num_dofs_from_members(model.member_sets);
  Eigen::VectorXd r = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  auto springs = compute_support_spring_reaction_vector_verbose(model, u, support_forces);
  if (!springs) return fail(springs.error());
  const Eigen::VectorXd& s = *springs;

  // Nodes joined by rigid links share their reactions as one body; every other supported node
  // reports, axis by axis, what its own equilibrium leaves to the support.
  auto stiff_links = mode == RecoveryMode::FirstOrder ? add_stiff_link_forces(model, u, active, wrenches)
                                                     : Expected<bool>(false);
  if (!stiff_links) return fail(stiff_links.error());
  const std::vector<RigidBody> bodies = *stiff_links ? std::vector<RigidBody>{} : rigid_bodies(*graph);
  std::set<std::uint32_t> in_body;
  for (const RigidBody& body : bodies)
    for (const auto& entry : body.nodes) in_body.insert(entry.first);
  std::map<std::uint32_t, const NodalSupport*> support_of;
  visit_unique_supported_nodes(
      model.member_sets, supports_by_id(model.nodal_supports), [&](const Node& node, const NodalSupport& support) {
        support_of.emplace(node.id, &support);
        if (in_body.count(node.id) != 0) return;
        static const NodeWrench kNone;
        const auto it = wrenches.find(node.id);
        const NodeWrench& w = it == wrenches.end() ? kNone : it->second;
        for (std::size_t k = 0; k < 6; ++k) {
          const std::size_t dof = checked_dof(node.id, k, n);
          const auto& conditions = k < 3 ? support.displacement_conditions : support.rotation_conditions;
          const double eq = k < 3 ? w.force[k] : w.moment[k - 3];
          double value = eq;
          // One-sided: the force of the solved state. The active-set loop has held the DOF only
          // where that force has the allowed sign (within the switching tolerance); where it
          // released the DOF nothing holds it.
          switch (axis_role(get_support_condition(conditions, kAxes[k % 3]),
                            released != nullptr && released->count(dof) != 0)) {
            case AxisRole::Spring: value = s[static_cast<Eigen::Index>(dof)]; break;
            case AxisRole::Free: value = 0.0; break;
            case AxisRole::Held: break;
          }
          r[static_cast<Eigen::Index>(dof)] = value;
        }
      });
  for (const RigidBody& body : bodies) share_rigid_body_reactions(body, wrenches, support_of, s, released, n, r);

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
