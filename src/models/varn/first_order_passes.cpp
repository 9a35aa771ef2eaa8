#include "models/varn/first_order_passes.h"

#include <chrono>
#include <map>
#include <memory>
#include <utility>

#include "models/varn/reactions.h"
#include "logging.h"
#include "models/varn/equilibrium_check.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

using Clock = std::chrono::steady_clock;

// The axial forces of a pass through the switch basis, and the state's inverse its
// displacements are solved with.
struct BasisForces final : PassForces {
  explicit BasisForces(ActiveSetFactor::BasisPass p) : pass(std::move(p)) {}
  ActiveSetFactor::BasisPass pass;
};

}  // namespace

StructurePassSolver::StructurePassSolver(const VARN& model, const Eigen::VectorXd& f, const ResultType* loading,
                                         const CachedFirstOrderSystem* shared,
                                         SwitchBasis::StateInverse::Forward forward, FirstOrderLoopStats& stats)
    : model_(model),
      f_(f),
      loading_(loading),
      shared_(shared),
      forward_(std::move(forward)),
      stats_(stats),
      unilateral_(collect_unilateral_dofs(model)),
      ctx_(model.build_lookup_maps()),
      switch_tol_(axial_slack_tolerance(model)) {}

Expected<void> StructurePassSolver::prepare() {
  if (model_.needs_dense_rigid_path()) {
    const auto t = Clock::now();
    auto built = model_.build_rigid_elimination_partial_using_hinges();
    if (!built) return fail(built.error());
    elimination_ = std::move(*built);
    stats_.elimination = seconds_since(t);
  }
  if (!elimination_ && shared_ != nullptr && shared_->switched_operator) switched_operator_ = &*shared_->switched_operator;
  return {};
}

Expected<void> StructurePassSolver::constrained_dofs(const SupportState& released) {
  if (elimination_ || (constrained_for_ && *constrained_for_ == released)) return {};
  auto dofs = model_.collect_constrained_dofs_full(released);
  if (!dofs) return fail(dofs.error());
  constrained_ = std::move(*dofs);
  constrained_for_ = released;
  return {};
}

Expected<SparseMatrix> StructurePassSolver::operator_for(const ActiveMap& active) const {
  return switched_operator_ != nullptr ? switched_operator_->assemble(model_, active)
                                       : model_.build_operator_with_supports_sparse_internal(active, nullptr);
}

// The first factor of the loop starts from the forward half the caller solved, if any.
void StructurePassSolver::make_factor() {
  factor_.emplace(model_, constrained_, shared_);
  factor_->start_from(std::move(forward_));
}

void StructurePassSolver::count_factor_work() {
  stats_.factorizations = earlier_factorizations_ + factor_->factorizations();
  stats_.low_rank_updates = earlier_updates_ + factor_->low_rank_updates();
}

Expected<Eigen::VectorXd> StructurePassSolver::solve_by_factorisation(const LoopState& state, const SparseMatrix& k,
                                                                      const std::string& singular_message) {
  if (auto ok = constrained_dofs(state.released); !ok) return fail(ok.error());
  const RigidElimination* elim = elimination_ ? &*elimination_ : nullptr;
  if (elim != nullptr || constrained_.empty()) {
    return model_.solve_constrained_linear_system(k, f_, constrained_, elim, singular_message, state.released);
  }
  // A one-sided support that switched holds other DOFs: a new factor for the new supports.
  if (factor_ && factor_->constrained() != constrained_) {
    earlier_factorizations_ += factor_->factorizations();
    earlier_updates_ += factor_->low_rank_updates();
    factor_.reset();
  }
  if (!factor_) make_factor();
  auto x = factor_->solve(state.active, k, f_, singular_message);
  count_factor_work();
  return x;
}

// Ties and struts alone on the penalty path (a one-sided support is judged by support forces,
// which need the displacements).
Expected<std::optional<ActiveSetFactor::BasisPass>> StructurePassSolver::basis_pass(const LoopState& state) {
  if (elimination_ || !unilateral_.empty()) return std::optional<ActiveSetFactor::BasisPass>();
  if (auto ok = constrained_dofs(state.released); !ok) return fail(ok.error());
  if (constrained_.empty() || (factor_ && factor_->constrained() != constrained_)) {
    return std::optional<ActiveSetFactor::BasisPass>();
  }
  if (!factor_) make_factor();
  return factor_->pass_by_basis(state.active, f_);
}

Expected<LoopPass> StructurePassSolver::pass(const LoopState& state, const char* singular_message) {
  auto by_basis = basis_pass(state);
  if (!by_basis) return fail(by_basis.error());
  if (*by_basis) {
    return LoopPass{std::nullopt, std::make_unique<BasisForces>(std::move(**by_basis)), state, singular_message};
  }
  auto t = Clock::now();
  auto k = operator_for(state.active);
  if (!k) return fail(k.error());
  stats_.assembly += seconds_since(t);
  t = Clock::now();
  auto solved = solve_by_factorisation(state, *k, singular_message);
  if (!solved) return fail(solved.error());
  stats_.solve += seconds_since(t);
  return LoopPass{std::move(*solved), nullptr, {}, singular_message};
}

Expected<bool> StructurePassSolver::displacements(LoopPass& pass) {
  auto& basis = static_cast<BasisForces&>(*pass.forces);
  auto t = Clock::now();
  auto k = operator_for(pass.state.active);
  if (!k) return fail(k.error());
  stats_.assembly += seconds_since(t);
  t = Clock::now();
  auto solved = factor_->displacements(std::move(basis.pass), pass.state.active, *k, f_, pass.singular_message);
  if (!solved) return fail(solved.error());
  stats_.solve += seconds_since(t);
  count_factor_work();
  pass.u = std::move(solved->u);
  return solved->as_read;
}

AxialForceOf StructurePassSolver::axial_forces(const LoopPass& pass) const {
  if (pass.forces) {
    const std::map<std::uint32_t, double>* axial = &static_cast<const BasisForces&>(*pass.forces).pass.forces.axial;
    return [axial](const Member& m) { return axial->at(m.id); };
  }
  const Eigen::VectorXd* u = &*pass.u;
  const AssemblyContext* ctx = &ctx_;
  return [ctx, u](const Member& m) { return member_axial_force(m, *u, *ctx); };
}

Expected<bool> StructurePassSolver::switch_in_loop(const LoopPass& pass, LoopState& state, bool allow_reactivation) {
  bool changed = update_active_set(model_, axial_forces(pass), state.active, switch_tol_, allow_reactivation);
  if (!unilateral_.empty()) {
    const Eigen::VectorXd& u = *pass.u;
    auto composed = compose_support_reaction_vector_equilibrium(model_, *loading_, u, &state.active,
                                                                RecoveryMode::FirstOrder, nullptr, nullptr,
                                                                &state.released);
    if (!composed) return fail(composed.error());
    changed = update_support_state(unilateral_, u, composed->reactions, unilateral_tolerances(model_, u),
                                   state.released) ||
              changed;
  }
  return changed;
}

bool StructurePassSolver::reactivate(const LoopPass& pass, ActiveMap& active) {
  return update_active_set(model_, axial_forces(pass), active, switch_tol_, true);
}

bool StructurePassSolver::finalize(const LoopPass& pass, ActiveMap& active) {
  return finalize_tie_strut_consistency(model_, axial_forces(pass), active);
}

Expected<FirstOrderSolveOutput> StructurePassSolver::finish(SettledLoop settled) {
  Eigen::VectorXd& u = settled.u;
  ActiveMap& active = settled.state.active;
  const bool final_factor = factor_ && settled.last_solved_is_final;
  std::optional<KeptActiveFactor> kept;
  if (final_factor) kept = factor_->kept();
  // The factor of the last pass solved the operator with its stabilising terms and the traces
  // of switched-off members (through the switch basis, unrefined, with the stabilising terms of
  // those members too); carried over to the structure as it is, the solution sheds what they
  // held (reactions then balance the loads), wherever the structure holds without them.
  std::optional<MovableSparseMatrix> unstabilised;
  if (!elimination_ && !constrained_.empty() && final_factor) {
    auto k_u = switched_operator_ != nullptr ? switched_operator_->assemble_unstabilised(model_, active)
                                             : EquilibriumCheck::unstabilised_operator(model_, &active);
    if (!k_u) return fail(k_u.error());
    if (auto x = factor_->carry_over(*k_u, f_, u)) u = std::move(*x);
    unstabilised = std::move(*k_u);
  } else if (elimination_) {
    // The reduced solves carry the stabilising terms too: the last state's solution is carried
    // over the same way, on the reduced system.
    auto k = operator_for(active);
    if (!k) return fail(k.error());
    auto k_u = EquilibriumCheck::unstabilised_operator(model_, &active);
    if (!k_u) return fail(k_u.error());
    if (auto x = ReducedFactor::factorize(model_, *k, &*k_u, *elimination_, settled.state.released)
                     .solve(*elimination_, f_)) {
      u = std::move(*x);
    }
  }
  return FirstOrderSolveOutput{std::move(u), std::move(active), std::move(settled.state.released), std::move(kept),
                               std::move(unstabilised)};
}

}  // namespace varn
