#pragma once
// The statics test every first-order solution passes before it is reported.
//
// The solved operator is regularised: bars carry a stabilising 1e-10·EA/L across and about
// their axis, switched-off ties and struts keep 1e-10 of their stiffness, supports are
// penalties. On a sound structure none of these carries anything that matters; on a mechanism
// (every tie slack, a pin-jointed frame that can sway, a structure held only by struts that
// are pulled) they are what holds the load, and the solution is displacements of 10^5 m that
// balance nothing. Two tests tell the two apart:
//  * nodal equilibrium of the structure as it is (bars axial only, switched-off members
//    absent, springs as springs) at every DOF that no support holds: a residual that is a
//    real share of the load, far above what round-off of the operator product can produce,
//    is load carried by regularisation: the structure is a mechanism there;
//  * global equilibrium: the forces the supports exert (a spring's reported k·u turned) must
//    balance the applied loads (forces, and moments about the centroid of the nodes). When the
//    nodal residuals are all at round-off but their sum is not, the system is too
//    ill-conditioned for the arithmetic (a long chain of very short elements) and the
//    reactions cannot be trusted.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "functions/sparse.h"
#include "models/results/results.h"
#include "models/varn/active_map.h"
#include "models/varn/rigid_elimination.h"
#include "models/varn/support_state.h"

namespace varn {

struct VARN;

// What one operator state (a tie/strut map) needs for judging any number of solutions.
class EquilibriumCheck {
 public:
  // Assembles the unstabilised operator for `active` (nullptr or empty: every member on),
  // unless `k_u` is that operator already, and finds the DOFs that supports or rigid links
  // hold; a one-sided support in `released` holds nothing, and its DOF is judged like any free
  // one. Messages: those of the assembly.
  static Expected<EquilibriumCheck> build(const VARN& model, const ActiveMap* active,
                                          const SupportState& released = {}, const SparseMatrix* k_u = nullptr);
  // For a state that does not satisfy K_u·u = f by construction (a second-order state, in
  // equilibrium on the deformed structure): judges only what the regularisation carries, the
  // force (K − K_u)·u of the stabilising terms and the switched-off traces at the DOFs that no
  // support holds. The balance of reactions and loads is not judged (it holds on the deformed
  // geometry). Messages: those of the assembly.
  static Expected<EquilibriumCheck> build_regularisation(const VARN& model, const ActiveMap* active,
                                                         const SupportState& released = {});
  // The unstabilised operator alone (support springs included unless `with_springs` is false, no
  // support penalties).
  static Expected<SparseMatrix> unstabilised_operator(const VARN& model, const ActiveMap* active,
                                                      bool with_springs = true);
  const SparseMatrix& unstabilised_operator() const { return k_; }

  // Judges the solution u of load vector f, with the reactions composed from it (the global
  // reaction vector). Messages:
  //   "Structure is a mechanism: node {id} is free to move in {UX..RZ, WARP} ({LC|Combo} {id})"
  //   "Stiffness matrix is too ill-conditioned: the reactions miss the loads by {ratio} ({LC|Combo} {id})"
  Expected<void> judge(const ResultType& type, const Eigen::VectorXd& f, const Eigen::VectorXd& u,
                       const Eigen::VectorXd& reactions) const;

  // Where the structure as it is (its unstabilised operator, springs included) is a mechanism under
  // the supports that hold: the DOF at which the elimination of its judged equations, every
  // held one taken out exactly, breaks down; none where the structure is held. Taken out
  // exactly, the supports show what the solve's penalty hides: the round-off of a penalised
  // neighbour (1e10 times the stiffest diagonal) lends a mechanism's pivot some 1e-6 of its
  // diagonal, far above the 1e-14 below which the factorisation calls a pivot lost, while the
  // pivots of a sound but slender structure (a chain of 10,000 short elements) stay above it.
  std::optional<std::size_t> mechanism_dof() const;

  // Largest nodal residual over the judged DOFs relative to the load scale, and the
  // relative imbalance of reactions and loads, of the last judged solution (for tests and the
  // benchmark).
  struct Figures {
    double nodal_residual = 0.0;
    double global_imbalance = 0.0;
  };
  Figures figures(const Eigen::VectorXd& f, const Eigen::VectorXd& u, const Eigen::VectorXd& reactions) const;

 private:
  EquilibriumCheck() = default;
  struct Verdict;
  Verdict assess(const Eigen::VectorXd& f, const Eigen::VectorXd& u, const Eigen::VectorXd& reactions) const;

  MovableSparseMatrix k_;                     // unstabilised operator with support springs
  MovableSparseMatrix structure_;             // a regularisation check's unstabilised operator
  Eigen::VectorXd row_abs_;                   // Σ_j |K_ij| per row
  std::vector<char> held_;                    // per global DOF: held by a support (or zero-energy)
  std::optional<RigidElimination> elimination_;  // rigid links eliminated: judged in reduced form
  std::vector<std::int64_t> judged_;          // judged equations (global DOFs, or reduced columns)
  std::vector<std::size_t> judged_dof_;       // per judged equation: the global DOF that names it
  std::vector<std::size_t> spring_dofs_;      // reactions reported as a spring's k·u
  std::vector<Eigen::Vector3d> position_;     // per node id − 1
  double length_ = 1.0;                       // size of the model [m]
  bool regularisation_only_ = false;          // k_ is K − K_u: judge k_·u alone
};

// "node {id} is free to move in {UX, UY, UZ, RX, RY, RZ, WARP}" for a global DOF.
std::string free_dof_text(std::size_t dof);
// "Structure is a mechanism: {free_dof_text} ({LC|Combo} {id})".
std::string mechanism_message(const ResultType& type, std::size_t dof);
// The DOF of a mechanism of the structure as it is for the tie/strut state `active` and the
// one-sided supports `released` (EquilibriumCheck::mechanism_dof), none where it is held.
// Messages: those of the assembly.
Expected<std::optional<std::size_t>> find_mechanism(const VARN& model, const ActiveMap* active,
                                                    const SupportState& released = {});
// A singular-matrix message with the DOF where the elimination broke down, when known:
// "{message}: node {id} is free to move in {DOF}", or "{message.} Node {id} is free to move
// in {DOF}" after a message that ends its sentence.
std::string with_unstable_dof(const std::string& message, std::optional<std::size_t> dof);

// The regularisation check of a second-order state.
Expected<void> check_regularisation(const VARN& model, const ResultType& type, const ActiveMap* active,
                                    const Eigen::VectorXd& f, const Eigen::VectorXd& u,
                                    const Eigen::VectorXd& reactions, const SupportState& released = {});

// Builds the check for `active` and judges one solution; the one call of the single-case paths.
Expected<void> check_equilibrium(const VARN& model, const ResultType& type, const ActiveMap* active,
                                 const Eigen::VectorXd& f, const Eigen::VectorXd& u,
                                 const Eigen::VectorXd& reactions, const SupportState& released = {},
                                 const SparseMatrix* k_u = nullptr);

}  // namespace varn
