#pragma once
// The passes of a first-order active-set solve on the assembled structure, the pass solver the
// active-set loop runs. A pass of a state takes one of three routes:
//  * refactorisation: rigid links eliminated (the reduced system), or nothing held by
//    supports: each state's operator is assembled and solved afresh;
//  * a kept factor: on the penalty path the factor of an earlier state, modified by a low-rank
//    update for the ties and struts that switched (or refactorised numerically on the kept
//    symbolic analysis when many did), one factor per set of held supports;
//  * the switch basis: where the request made one and no one-sided support is to be judged,
//    the state's axial forces through the all-on factor, its displacements only for the state
//    the loop settles on.
// The rules of the loop (active_set_loop.h) judge each pass by the axial forces of its ties and
// struts and, with one-sided supports, by the support forces of its displacements.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "models/varn/member_results.h"
#include "models/varn/active_set.h"
#include "models/varn/active_set_factor.h"
#include "models/varn/active_set_loop.h"
#include "models/varn/first_order_system.h"
#include "models/varn/lookup.h"
#include "models/varn/rigid_elimination.h"
#include "models/varn/support_state.h"
#include "models/varn/switch_basis.h"
#include "models/varn/switched_operator.h"

namespace varn {

struct VARN;

class StructurePassSolver final : public PassSolver {
 public:
  // The passes of the load vector f on `model`, which must outlive the solver. `loading`: the
  // load case or combination whose vector f is (required with one-sided supports). `shared`:
  // the request's all-on system (or null); `forward`: the forward half of f through its switch
  // basis, when the caller solved it. Counts and times go into `stats`.
  StructurePassSolver(const VARN& model, const Eigen::VectorXd& f, const ResultType* loading,
                      const CachedFirstOrderSystem* shared, SwitchBasis::StateInverse::Forward forward,
                      FirstOrderLoopStats& stats);

  // Builds the rigid elimination where the model's rigid links are eliminated (its message
  // unchanged); to be called once, before the first pass.
  Expected<void> prepare();
  // The one-sided support DOFs this solve judges.
  const std::vector<UnilateralDof>& unilateral() const { return unilateral_; }

  Expected<LoopPass> pass(const LoopState& state, const char* singular_message) override;
  Expected<bool> displacements(LoopPass& pass) override;
  Expected<bool> switch_in_loop(const LoopPass& pass, LoopState& state, bool allow_reactivation) override;
  bool reactivate(const LoopPass& pass, ActiveMap& active) override;
  bool finalize(const LoopPass& pass, ActiveMap& active) override;

  // The solve's end from the loop's: the displacements of the last state carried over to the
  // structure without the factor's stabilising terms, and that state's factor where it is kept.
  Expected<FirstOrderSolveOutput> finish(SettledLoop settled);

 private:
  // The held supports of the penalty path, for the one-sided supports `released` leaves held.
  Expected<void> constrained_dofs(const SupportState& released);
  Expected<SparseMatrix> operator_for(const ActiveMap& active) const;
  void make_factor();
  void count_factor_work();
  // Refactorisation or a kept factor.
  Expected<Eigen::VectorXd> solve_by_factorisation(const LoopState& state, const SparseMatrix& k,
                                                   const std::string& singular_message);
  // A pass through the switch basis where the loop can take one.
  Expected<std::optional<ActiveSetFactor::BasisPass>> basis_pass(const LoopState& state);
  AxialForceOf axial_forces(const LoopPass& pass) const;

  const VARN& model_;
  const Eigen::VectorXd& f_;
  const ResultType* loading_;
  const CachedFirstOrderSystem* shared_;
  SwitchBasis::StateInverse::Forward forward_;
  FirstOrderLoopStats& stats_;
  std::vector<UnilateralDof> unilateral_;
  AssemblyContext ctx_;
  double switch_tol_;

  // Rigid links eliminated (dense rigid path) or supports imposed by penalty on the global
  // system: never both.
  std::optional<RigidElimination> elimination_;
  // The constrained list of the penalty path follows the support state; it is rebuilt only
  // when a one-sided support switches.
  std::vector<std::size_t> constrained_;
  std::optional<SupportState> constrained_for_;
  // Switching a tie or strut scales its entries and never removes them, and holding or
  // releasing a one-sided support moves its penalty on the diagonal, which is always stored:
  // every operator of this solve has the pattern of the first, so on the penalty path its
  // symbolic analysis is made once.
  std::optional<ActiveSetFactor> factor_;
  unsigned earlier_factorizations_ = 0, earlier_updates_ = 0;  // of factors for earlier supports
  // The operator of a state from the request's element matrices where it has them.
  const SwitchedOperator* switched_operator_ = nullptr;
};

}  // namespace varn
