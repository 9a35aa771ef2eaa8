#pragma once
// One-sided supports (PositiveOnly, NegativeOnly): a support that can push on its node but
// not pull, or the reverse. Each such DOF is held while the support force has its allowed
// sign and released where holding it would need a pull; a released DOF is held again where
// the node moves through the support. The state of these supports is switched by the same
// active-set loop as ties and struts.
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include <Eigen/Core>

namespace varn {

struct VARN;
struct SupportCondition;

// The one-sided support DOFs (global indices) currently released; every other one-sided DOF
// is held. Ordered, so that comparisons and walks are the same on every run.
using SupportState = std::set<std::size_t>;

// A one-sided condition without a stiffness curve (a curve makes any condition a spring).
bool is_unilateral(const SupportCondition* condition);

// One one-sided DOF: where it is, and the sign of the force its support can exert on the
// node (+1 for PositiveOnly, -1 for NegativeOnly).
struct UnilateralDof {
  std::size_t dof = 0;
  std::uint32_t node = 0;
  std::uint32_t support = 0;
  std::size_t k = 0;  // DOF within the node: translations 0..2, rotations 3..5
  double sense = 1.0;
};

// Every one-sided translation and rotation of the supported nodes, each node judged at its
// first member end (as the constrained list judges it), in node and DOF order.
std::vector<UnilateralDof> collect_unilateral_dofs(const VARN& model);
bool has_unilateral_supports(const VARN& model);

// Tolerances of the switching rule. Force: half the axial slack, the force below which a
// tie or strut counts as unloaded, so that a support carrying round-off is neither. Motion:
// a millionth of the largest displacement or rotation of the state; round-off of a solve is
// far smaller than that, and a real penetration of a released support is not.
struct UnilateralTolerances {
  double force = 0.0;
  double motion = 0.0;
};
UnilateralTolerances unilateral_tolerances(const VARN& model, const Eigen::Ref<const Eigen::VectorXd>& u);

// One switching pass over the one-sided DOFs for the state u and the support forces
// `reactions` (the global reaction vector by nodal equilibrium, what each support exerts on
// its node): a held DOF whose support would pull beyond `force_tolerance` is released; a
// released DOF whose node moves through the support beyond the motion tolerance is held
// again. Emits a decision event per switch. Returns whether any DOF switched.
bool update_support_state(const std::vector<UnilateralDof>& dofs, const Eigen::Ref<const Eigen::VectorXd>& u,
                          const Eigen::Ref<const Eigen::VectorXd>& reactions, const UnilateralTolerances& tol,
                          SupportState& released);

}  // namespace varn
