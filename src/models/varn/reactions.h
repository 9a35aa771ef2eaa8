#pragma once
// Support reactions by nodal equilibrium. The reaction at a supported node is the force and
// moment that the support must exert on the node to balance the member end forces and the
// applied loads there; it is recomputed from the recovered member forces rather than read
// from the constraint equations of the solve. Everything in SI units, global axes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "expected.h"
#include "models/varn/member_results.h"
#include "functions/support_utils.h"
#include "models/results/reactionnoderesult.h"
#include "models/results/results.h"
#include "models/varn/active_map.h"
#include "models/varn/support_state.h"

namespace varn {

struct VARN;

// Force and moment sums at one node, global axes.
struct NodeWrench {
  std::array<double, 3> force{0.0, 0.0, 0.0};
  std::array<double, 3> moment{0.0, 0.0, 0.0};

  void add_force(const std::array<double, 3>& f);
  void add_moment(const std::array<double, 3>& m);
  void sub_wrench(const NodeWrench& other);
  // All six components exactly 0.0.
  bool is_zero() const;
};

// Node id -> wrench, ascending by id.
using NodeWrenchMap = std::map<std::uint32_t, NodeWrench>;

// r × f.
std::array<double, 3> cross_r_x_f(const std::array<double, 3>& r, const std::array<double, 3>& f);

// Ids of the members whose end forces take part in the nodal equilibrium: every member that
// is not Rigid, except ties and struts that `active` switches off (nullptr or empty: all on).
std::set<std::uint32_t> deformable_member_ids(const VARN& model, const ActiveMap* active);

// Member id -> (start node id, end node id) over all members; of two members with one id the
// later in member-set and member order stays.
std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> member_end_node_map(const VARN& model);

// The applied nodal forces and moments of the load case, or of the combination with its
// factors (its cases in the order it lists them), summed per node.
NodeWrenchMap gather_external_nodal_wrenches_for_result_type(const VARN& model, const ResultType& result_type);

// True when a support axis reports the force on its spring, k·u (a `Spring` condition, or any
// condition with a stiffness curve), rather than the force the support exerts on the node; the
// force on the node is then −k·u. The one rule for the sign of a reported reaction.
bool reports_spring_force(const SupportCondition* condition);

// The global DOFs whose reported reaction is a spring's k·u (`reports_spring_force`), ascending:
// turned, their entries give the force the supports exert on the nodes.
std::vector<std::size_t> spring_reported_dofs(const VARN& model);

// k·u at every DOF whose support condition yields a spring stiffness (translations and
// rotations; warping takes no part). A stiffness curve is read at the node's forces in
// `node_forces` (nullptr, or no entry for the node: at force 0). The first stiffness message
// ends the call.
Expected<Eigen::VectorXd> compute_support_spring_reaction_vector_verbose(
    const VARN& model, const Eigen::Ref<const Eigen::VectorXd>& u, const SupportNodeForceMap* node_forces = nullptr);

// The global reaction vector (size 7 × the largest member node id; zero except at supported
// DOFs) and the member results it was built from.
struct ReactionComposition {
  Eigen::VectorXd reactions;
  MemberResultMap member_results;
};

// Member results from u (arguments passed through to compute_member_results_from_displacement,
// `end_forces` with them), node sums of the deformable members' end forces minus the applied
// loads, then each supported DOF by its condition: k·u (Spring, or any condition with a
// stiffness curve), 0 (Free, or a one-sided support that `released` names), or what
// equilibrium leaves to it (no condition, Fixed, and a one-sided PositiveOnly or NegativeOnly
// that holds, whose sign the solve's support state has made the allowed one). That is the
// node's own sum, except at the nodes of a rigid body (a tree of rigid links), whose links
// carry force between them: there the body's held axes together carry what its nodes sum to
// (each its own node's sum first, the rest shared in the least-squares sense), so that a
// supported slave reports what its support carries. A support stiffness curve is read at the
// node's forces in `support_forces` (nullptr: at force 0), so that a nonlinear solve reports
// the spring force of the stiffness it converged with. Messages: those of the rigid-link graph
// and of the support spring stiffnesses.
Expected<ReactionComposition> compose_support_reaction_vector_equilibrium(
    const VARN& model, const ResultType& result_type, const Eigen::Ref<const Eigen::VectorXd>& u,
    const ActiveMap* active, RecoveryMode mode, const SupportNodeForceMap* support_forces = nullptr,
    const MemberEndForceMap* end_forces = nullptr, const SupportState* released = nullptr);

// The reaction records of every member-end node that carries a support id, ascending by node
// id: R at the node's seven DOFs, the node's coordinates (first member end with that id) and
// its support id (last member end with that id). A node beyond R is the fatal fault
// "Matrix index out of bounds.".
std::map<std::uint32_t, ReactionNodeResult> extract_reaction_nodes(const VARN& model,
                                                                   const Eigen::Ref<const Eigen::VectorXd>& reactions);

}  // namespace varn
