#pragma once
// Shared readings of the nodal supports: conditions by axis, spring stiffnesses (constant or
// following a stiffness curve at the current nodal force), the supported nodes, the support
// springs as global diagonal entries, and the DOFs that nothing stiffens, restrains or loads.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <Eigen/Dense>

#include "expected.h"
#include "functions/sparse.h"
#include "models/members/memberhinge.h"
#include "models/members/memberset.h"
#include "models/settings/analysissettings.h"
#include "models/supports/nodalsupport.h"

namespace varn {

// The largest stiffness (SI) that an element matrix entry or a support spring may bring into
// the operator. The supports' penalty puts 1e10 times the largest diagonal on every held DOF,
// and the factorisation forms sums and products of entries of that size: beyond 1e288 they
// leave the double range (1.8e308), and the operator would be refused as singular at a DOF
// that has nothing to do with the value. No real structure comes near it (steel: 1e11 Pa).
inline constexpr double kLargestStiffness = 1e288;

struct LoadCase;

// One support spring on the diagonal of the global operator: N/m for translations, N·m/rad
// for rotations, the warping unit for warping.
struct SupportSpringEntry {
  std::size_t dof = 0;
  double k = 0.0;
  bool operator==(const SupportSpringEntry&) const = default;
};

// Global forces and moments at a supported node (Fx, Fy, Fz, Mx, My, Mz: the positions that
// `index(ForceComponent)` selects), so that support curves follow the current state.
using SupportNodeForces = std::array<double, 6>;
using SupportNodeForceMap = std::map<std::uint32_t, SupportNodeForces>;

// Supports by id; of two supports with one id the later in list order is found.
using SupportsById = std::unordered_map<std::uint32_t, const NodalSupport*>;
SupportsById supports_by_id(const std::vector<NodalSupport>& nodal_supports);

// The condition under the axis key ("X", "Y", "Z"), else under the key with its first letter
// in lower case, else nullptr.
const SupportCondition* get_support_condition(const std::map<std::string, SupportCondition>& conditions,
                                              std::string_view axis);

// Spring stiffness of a condition: none when the condition is no spring, the stiffness, or a
// message. A stiffness curve gives the stiffness whatever the condition type, evaluated at
// |force| of its component (0 without forces) after validation. `axis` is "X", "Y", "Z" or
// "Warp"; `kind` is "displacement", "rotation" or "warping".
Expected<std::optional<double>> resolve_spring_stiffness(const SupportCondition& condition, std::uint32_t support_id,
                                                         std::string_view axis, std::string_view kind,
                                                         const SupportNodeForces* node_forces);
// The branch without a curve: none unless the type is Spring, which needs a stiffness > 0.
Expected<std::optional<double>> spring_stiffness_or_error(const SupportCondition& condition, std::uint32_t support_id,
                                                          std::string_view axis, std::string_view kind);

// Calls visitor(node, support) once per supported node, at the first member end (member-set
// order, member order, start before end) that carries the node id. Nodes without a support id,
// or whose id no support has, are passed over.
template <class Visitor>
void visit_unique_supported_nodes(const std::vector<MemberSet>& member_sets, const SupportsById& supports,
                                  Visitor&& visitor) {
  std::unordered_set<std::uint32_t> seen;
  for (const auto& set : member_sets) {
    for (const auto& member : set.members) {
      for (const Node* node : {&member.start_node, &member.end_node}) {
        if (!seen.insert(node->id).second) continue;
        if (!node->nodal_support) continue;
        const auto it = supports.find(*node->nodal_support);
        if (it == supports.end() || it->second == nullptr) continue;
        visitor(*node, *it->second);
      }
    }
  }
}

// Every support spring as (global DOF, k), in node order (first occurrence) and, within a
// node, displacement X, Y, Z, rotation X, Y, Z, warping. The first message ends the collection.
Expected<std::vector<SupportSpringEntry>> collect_support_spring_entries_with_forces(
    const std::vector<MemberSet>& member_sets, const std::vector<NodalSupport>& nodal_supports,
    const SupportNodeForceMap* node_forces);
Expected<std::vector<SupportSpringEntry>> collect_support_spring_entries(const std::vector<MemberSet>& member_sets,
                                                                         const std::vector<NodalSupport>& nodal_supports);

// K with every support spring added on its diagonal (K itself when there is none).
SparseMatrix add_support_springs(const SparseMatrix& k, const std::vector<SupportSpringEntry>& springs);
// The same with the springs of these supports (collect_support_spring_entries and its message).
Expected<SparseMatrix> add_support_springs(const SparseMatrix& k, const std::vector<MemberSet>& member_sets,
                                           const std::vector<NodalSupport>& nodal_supports);

// True when any displacement, rotation or warping condition carries a stiffness curve.
bool has_stiffness_curves(const std::vector<NodalSupport>& nodal_supports);
// True when any member hinge carries one of its six stiffness curves.
bool has_hinge_stiffness_curves(const std::vector<MemberHinge>& memberhinges);
bool has_hinge_stiffness_curves(const std::optional<std::vector<MemberHinge>>& memberhinges);

// Global DOFs (ascending) that no member stiffens, no support restrains and no nodal load or
// moment of any load case loads. Left free they make the operator singular; the constraint
// code holds them at zero. A member end DOF that a hinge releases completely stiffens nothing.
std::set<std::size_t> detect_zero_energy_dofs(const std::vector<MemberSet>& member_sets,
                                              const std::vector<NodalSupport>& nodal_supports,
                                              const std::vector<LoadCase>& load_cases,
                                              const std::optional<std::vector<MemberHinge>>& memberhinges,
                                              RigidStrategy rigid_strategy);

// Prescribes DOF d of a dense system K·u = f to `value`: the known value times column d moves
// to the right-hand side, row and column d become the unit vector, f[d] = value.
void constrain_single_dof(Eigen::MatrixXd& k, Eigen::VectorXd& f, std::size_t d, double value);

}  // namespace varn
