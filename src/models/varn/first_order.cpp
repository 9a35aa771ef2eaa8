// First-order (linear) solves of load cases and combinations: the tie/strut active-set loop
// of a single load case, and the batched solves that put every load case, or every
// combination, of a model without rigid links, ties and struts against one factorisation.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/logger.h>
#include <tbb/parallel_invoke.h>

#include "fatal.h"
#include "functions/member_loop.h"
#include "functions/reactions.h"
#include "functions/sparse.h"
#include "logging.h"
#include "models/varn/active_set.h"
#include "models/varn/equilibrium_check.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/support_state.h"
#include "models/varn/active_set_factor.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

using Clock = std::chrono::steady_clock;

const LoadCase* find_load_case(const VARN& model, std::uint32_t id) {
  const auto it = std::find_if(model.load_cases.begin(), model.load_cases.end(),
                               [&](const LoadCase& c) { return c.id == id; });
  return it == model.load_cases.end() ? nullptr : &*it;
}

const LoadCombination* find_combination(const VARN& model, std::uint32_t id) {
  const auto it = std::find_if(model.load_combinations.begin(), model.load_combinations.end(),
                               [&](const LoadCombination& c) { return c.id == id; });
  return it == model.load_combinations.end() ? nullptr : &*it;
}

std::string load_case_not_found(std::uint32_t id) { return "LoadCase " + std::to_string(id) + " not found."; }

// What a batched solve needs besides its operator: the load columns and the check of the
// solutions.
struct BatchInputs {
  Eigen::MatrixXd b;
  EquilibriumCheck check;
};

struct BatchSolution {
  Eigen::MatrixXd x;
  BatchInputs inputs;
};

// K factorised with the supports imposed by penalty while `prepare` builds the loads and the
// check on the pool (the factorisation's subtrees and tiles share it); then every column of B
// against that one factor, carried over to the unstabilised operator of the check. A message of
// `prepare` comes before that of a singular K, as if it had run first.
template <class Prepare>
Expected<BatchSolution> solve_all_columns(const SparseMatrix& k, const std::vector<std::size_t>& constrained,
                                          Prepare&& prepare, const std::string& singular_message) {
  ConstrainedSparseSolver solver;
  std::optional<Expected<BatchInputs>> inputs;
  // A model without members has nothing to factorise and nothing to move.
  if (k.rows() == 0) {
    inputs.emplace(prepare());
  } else {
    tbb::parallel_invoke([&] { solver.factorize(k, constrained); },
                         [&] { inputs.emplace(prepare()); });
  }
  if (!*inputs) return fail(inputs->error());
  BatchInputs& in = **inputs;
  // Nothing to move, or no column to solve (combinations alone whose loads cannot be formed:
  // their message is the outcome).
  if (k.rows() == 0 || in.b.cols() == 0) return BatchSolution{in.b, std::move(in)};
  // Solved for the structure as it is: the one refinement is the one towards the operator
  // without the factor's stabilising terms.
  auto x = solver.solve_towards(in.check.unstabilised_operator(), in.b);
  if (!x) return fail(with_unstable_dof(singular_message, solver.factorization().unstable_dof()));
  return BatchSolution{std::move(*x), std::move(in)};
}

// Column j of X recovered as the result of `types[j]` (member results and support reactions,
// every tie and strut on) and judged against its loads, column j of B, on the pool. The list
// holds every column up to the first that fails (in column order, as a serial walk would meet
// it), that one last; a fault thrown for the lowest such column is rethrown. Storing them is
// left to the caller, in column order.
std::vector<Expected<ReactionComposition>> recover_columns(const VARN& model, const std::vector<ResultType>& types,
                                                           const Eigen::MatrixXd& x, const Eigen::MatrixXd& b,
                                                           const EquilibriumCheck& check) {
  const ActiveMap all_on;
  const std::size_t columns = types.size();
  std::vector<std::optional<Expected<ReactionComposition>>> slots(columns);
  // The message of the first failing column is in its slot; only a rethrown fault matters here.
  (void)for_each_index(columns, [&](std::size_t j) -> Expected<void> {
    const auto c = static_cast<Eigen::Index>(j);
    auto composed =
        compose_support_reaction_vector_equilibrium(model, types[j], x.col(c), &all_on, RecoveryMode::FirstOrder);
    if (composed) {
      if (auto ok = check.judge(types[j], b.col(c), x.col(c), composed->reactions); !ok) composed = fail(ok.error());
    }
    const bool failed = !composed;
    slots[j].emplace(std::move(composed));
    return failed ? fail(std::string()) : Expected<void>{};
  });
  std::vector<Expected<ReactionComposition>> out;
  out.reserve(columns);
  for (std::size_t j = 0; j < columns && slots[j]; ++j) {
    out.push_back(std::move(*slots[j]));
    if (!out.back()) break;
  }
  return out;
}

}  // namespace

Expected<FirstOrderSolveOutput> VARN::solve_first_order_common(const Eigen::VectorXd& f, Eigen::VectorXd start,
                                                               ActiveMap active, bool reactivation_in_loop,
                                                               FirstOrderLoopStats* stats, const ResultType* loading,
                                                               SupportState released,
                                                               const CachedFirstOrderSystem* shared,
                                                               SwitchBasis::StateInverse::Forward forward) const {
  FirstOrderLoopStats local;
  FirstOrderLoopStats& st = stats != nullptr ? *stats : local;
  if (start.size() != f.size()) {
    fatal("solve_first_order_common: start displacement of " + std::to_string(start.size()) +
          " entries for a system of " + std::to_string(f.size()));
  }
  const std::vector<UnilateralDof> unilateral = collect_unilateral_dofs(*this);
  if (!unilateral.empty() && loading == nullptr) {
    fatal("solve_first_order_common: one-sided supports are judged by the support forces of a load case or "
          "combination, and none was given");
  }

  const AnalysisOptions& options = settings.analysis_options;
  const double tolerance = options.tolerance;
  const double switch_tol = axial_slack_tolerance(*this);
  const AssemblyContext ctx = build_lookup_maps();
  const std::uint32_t max_it = bounded_active_set_passes(options.max_iterations_or_default(),
                                                         active.size() + unilateral.size());

  // Rigid links eliminated (dense rigid path) or supports imposed by penalty on the global
  // system: never both.
  std::optional<RigidElimination> elimination;
  if (needs_dense_rigid_path()) {
    const auto t = Clock::now();
    auto built = build_rigid_elimination_partial_using_hinges();
    if (!built) return fail(built.error());
    elimination = std::move(*built);
    st.elimination = seconds_since(t);
  }
  const RigidElimination* elim = elimination ? &*elimination : nullptr;

  // The constrained list of the penalty path follows the support state; it is rebuilt only
  // when a one-sided support switches.
  std::vector<std::size_t> constrained;
  std::optional<SupportState> constrained_for;
  auto constrained_dofs = [&]() -> Expected<void> {
    if (elim != nullptr || (constrained_for && *constrained_for == released)) return {};
    auto dofs = collect_constrained_dofs_full(released);
    if (!dofs) return fail(dofs.error());
    constrained = std::move(*dofs);
    constrained_for = released;
    return {};
  };

  // Switching a tie or strut scales its entries and never removes them, and holding or
  // releasing a one-sided support moves its penalty on the diagonal, which is always stored:
  // every operator of this solve has the pattern of the first, so on the penalty path its
  // symbolic analysis is made once. Each pass either follows the switched ties and struts by
  // a low-rank modification of a kept factor with the same supports held, or refactorises
  // numerically on the kept analysis.
  std::optional<ActiveSetFactor> factor;
  unsigned earlier_factorizations = 0, earlier_updates = 0;  // of factors for earlier supports
  // The first factor of the loop starts from the forward half the caller solved, if any.
  auto make_factor = [&] {
    factor.emplace(*this, constrained, shared);
    factor->start_from(std::move(forward));
  };
  auto constrained_solve = [&](const SparseMatrix& k,
                               const std::string& singular_message) -> Expected<Eigen::VectorXd> {
    if (auto ok = constrained_dofs(); !ok) return fail(ok.error());
    if (elim != nullptr || constrained.empty()) {
      return solve_constrained_linear_system(k, f, constrained, elim, singular_message, released);
    }
    // A one-sided support that switched holds other DOFs: a new factor for the new supports.
    if (factor && factor->constrained() != constrained) {
      earlier_factorizations += factor->factorizations();
      earlier_updates += factor->low_rank_updates();
      factor.reset();
    }
    if (!factor) make_factor();
    auto x = factor->solve(active, k, f, singular_message);
    st.factorizations = earlier_factorizations + factor->factorizations();
    st.low_rank_updates = earlier_updates + factor->low_rank_updates();
    return x;
  };
  // The operator of a state: from the request's element matrices where it has them.
  const SwitchedOperator* switched_operator =
      elim == nullptr && shared != nullptr && shared->switched_operator ? &*shared->switched_operator : nullptr;
  auto operator_for = [&](const ActiveMap& state) {
    return switched_operator != nullptr ? switched_operator->assemble(*this, state)
                                        : build_operator_with_supports_sparse_internal(state, nullptr);
  };

  // The displacements of a pass: solved, or (a pass through the switch basis) only the axial
  // forces of the ties and struts, until the loop needs the displacements themselves.
  struct PassSolution {
    std::optional<Eigen::VectorXd> u;
    std::optional<ActiveSetFactor::BasisPass> pass;
    ActiveMap state;  // of a pass not yet solved
    const char* singular_message = nullptr;  // when its solve finds the operator singular
  };
  // A pass through the basis where the loop can take one: ties and struts alone on the penalty
  // path (a one-sided support is judged by support forces, which need the displacements).
  auto basis_pass = [&]() -> Expected<std::optional<ActiveSetFactor::BasisPass>> {
    if (elim != nullptr || !unilateral.empty()) return std::optional<ActiveSetFactor::BasisPass>();
    if (auto ok = constrained_dofs(); !ok) return fail(ok.error());
    if (constrained.empty() || (factor && factor->constrained() != constrained)) {
      return std::optional<ActiveSetFactor::BasisPass>();
    }
    if (!factor) make_factor();
    return factor->pass_by_basis(active, f);
  };
  // The displacements of `s`, solved in place; `as_read` tells whether they are those its
  // forces were read from.
  auto solve_pass = [&](PassSolution& s, bool* as_read) -> Expected<void> {
    if (as_read != nullptr) *as_read = true;
    if (s.u) return {};
    auto t = Clock::now();
    auto k = operator_for(s.state);
    if (!k) return fail(k.error());
    st.assembly += seconds_since(t);
    t = Clock::now();
    auto solved = factor->displacements(std::move(*s.pass), s.state, *k, f, s.singular_message);
    if (!solved) return fail(solved.error());
    st.solve += seconds_since(t);
    st.factorizations = earlier_factorizations + factor->factorizations();
    st.low_rank_updates = earlier_updates + factor->low_rank_updates();
    s.u = std::move(solved->u);
    s.pass.reset();
    if (as_read != nullptr) *as_read = solved->as_read;
    return {};
  };

  // The pass for the current state, through the basis where it can be taken, else solved.
  auto solve_state = [&](const char* singular_message) -> Expected<PassSolution> {
    auto pass = basis_pass();
    if (!pass) return fail(pass.error());
    if (*pass) return PassSolution{std::nullopt, std::move(**pass), active, singular_message};
    auto t = Clock::now();
    auto k = operator_for(active);
    if (!k) return fail(k.error());
    st.assembly += seconds_since(t);
    t = Clock::now();
    auto solved = constrained_solve(*k, singular_message);
    if (!solved) return fail(solved.error());
    st.solve += seconds_since(t);
    return PassSolution{std::move(*solved), std::nullopt, {}, singular_message};
  };
  // The axial forces of the ties and struts in a pass's displacements.
  auto axial_forces = [&](const PassSolution& s) -> AxialForceOf {
    if (s.pass) {
      const std::map<std::uint32_t, double>* axial = &s.pass->forces.axial;
      return [axial](const Member& m) { return axial->at(m.id); };
    }
    const Eigen::VectorXd* u = &*s.u;
    return [&ctx, u](const Member& m) { return member_axial_force(m, *u, ctx); };
  };

  // One switching pass of the loop: ties and struts by their axial forces, one-sided supports
  // by the support forces of the same displacements (a pass with one-sided supports is solved).
  auto switch_items = [&](const PassSolution& s, bool allow_reactivation) -> Expected<bool> {
    bool changed = update_active_set(*this, axial_forces(s), active, switch_tol, allow_reactivation);
    if (!unilateral.empty()) {
      const Eigen::VectorXd& u = *s.u;
      auto composed =
          compose_support_reaction_vector_equilibrium(*this, *loading, u, &active, RecoveryMode::FirstOrder, nullptr,
                                                      nullptr, &released);
      if (!composed) return fail(composed.error());
      changed = update_support_state(unilateral, u, composed->reactions, unilateral_tolerances(*this, u), released) ||
                changed;
    }
    return changed;
  };

  // The tie/strut and support state whose operator produced u. A pass with that same state
  // would build the same operator for the same load and return u again bit for bit (the
  // assembly and the factorisation are deterministic), so it is not repeated: du is exactly
  // zero.
  using LoopState = std::pair<ActiveMap, SupportState>;
  std::optional<LoopState> solved_for;
  // Every state a loop pass has switched from. The pass is a deterministic function of the
  // state alone, so a state met again, other than by the settling pass that repeats the
  // state just switched from, sends the loop round the same states for ever.
  std::vector<LoopState> history;
  // The switching rules have been applied to u in the state of `solved_for` and switched
  // nothing. Applied again to the same u in the same state they switch nothing again, so the
  // settling pass skips them (and with them a recovery of every member's forces).
  bool judged = false;
  // The loop's displacements, the last pass's.
  PassSolution current{std::move(start), std::nullopt, {}};

  // The pass of a state switched after the loop settled: the loop goes on from it.
  auto pass_after_loop = [&](const char* singular_message) -> Expected<void> {
    auto solved = solve_state(singular_message);
    if (!solved) return fail(solved.error());
    current = std::move(*solved);
    solved_for = LoopState{active, released};
    judged = false;
    return {};
  };
  // After the loop has settled: a switched-off tie that the structure now pulls on hard
  // (beyond the reactivation buffer) comes back; then any active tie still in compression, or
  // strut in tension, beyond the full slack goes off. Either switch changes the structure, so
  // the new displacements go back through the loop until the state agrees with them (the loop
  // settled with the one-sided supports agreeing with u already). True when one switched.
  auto switch_after_loop = [&]() -> Expected<bool> {
    bool switched = false;
    if (update_active_set(*this, axial_forces(current), active, switch_tol, true)) {
      if (auto ok = pass_after_loop("Stiffness matrix is singular after reactivation pass."); !ok) return fail(ok.error());
      switched = true;
    }
    if (finalize_tie_strut_consistency(*this, axial_forces(current), active)) {
      if (auto ok = pass_after_loop("Stiffness matrix is singular or near-singular in finalization."); !ok)
        return fail(ok.error());
      switched = true;
    }
    return switched;
  };

  for (;;) {
    bool settled = false;
    // The state the previous pass of this loop entry switched from.
    std::optional<std::size_t> previous;
    while (st.iterations < max_it) {
      ++st.iterations;
      LoopState state{active, released};
      if (!previous || history[*previous] != state) {
        const auto seen = std::find(history.begin(), history.end(), state);
        if (seen != history.end()) {
          return fail("Active-set iteration cycles between " + std::to_string(history.end() - seen) +
                      " states without settling");
        }
        history.push_back(std::move(state));
      }
      previous = history.size() - 1;
      const bool repeated = solved_for && solved_for->first == active && solved_for->second == released;
      PassSolution next;
      if (!repeated) {
        auto solved = solve_state("Stiffness matrix is singular or near-singular");
        if (!solved) return fail(solved.error());
        next = std::move(*solved);
        solved_for = LoopState{active, released};
        judged = false;
      }
      PassSolution& now = repeated ? current : next;
      bool changed = false;
      // The switching rules applied to this pass's displacements (or forces).
      auto judge = [&]() -> Expected<void> {
        const auto t = Clock::now();
        auto switched = switch_items(now, reactivation_in_loop);
        if (!switched) return fail(switched.error());
        st.active += seconds_since(t);
        changed = *switched;
        judged = !changed;
        return {};
      };
      if (!(repeated && judged)) {
        if (auto ok = judge(); !ok) return fail(ok.error());
      }
      // Whether the step from the previous pass is measured (displacement_settled). A previous
      // pass through the basis is not solved for that alone: the loop then settles not on this
      // step but on the settling pass that follows, which repeats this state for free and ends
      // with the same displacements and state. The last pass the loop may take measures it.
      const bool step_judged = repeated || current.u || st.iterations == max_it;
      // A pass through the basis that switched nothing, before the last pass the loop may
      // take, is not solved either: the settling pass that repeats its state settles on its
      // forces, and its displacements are solved once no switch after the loop changes that
      // state (a reactivation would make them needless).
      if (!changed && now.pass && st.iterations < max_it) {
        if (repeated) {
          settled = true;
          break;
        }
        current = std::move(next);
        continue;
      }
      if (!changed) {
        // The loop may settle on this state: the displacements of the pass before it first
        // where the step is measured (the basis then keeps this state's inverse), then its own.
        // Forces read from a solution that the residual test refuses are read again from the
        // solved one.
        if (!repeated && step_judged) {
          if (auto ok = solve_pass(current, nullptr); !ok) return fail(ok.error());
        }
        bool as_read = true;
        if (auto ok = solve_pass(now, &as_read); !ok) return fail(ok.error());
        if (!as_read) {
          if (auto ok = judge(); !ok) return fail(ok.error());
        }
      }
      if (!changed) {
        const bool step_settled =
            step_judged && displacement_settled(repeated ? Eigen::VectorXd(Eigen::VectorXd::Zero(now.u->size()))
                                                         : Eigen::VectorXd(*now.u - *current.u),
                                                *now.u, tolerance);
        if (!repeated) current = std::move(next);
        if (step_settled) {
          settled = true;
          break;
        }
      } else if (!repeated) {
        current = std::move(next);
      }
    }
    if (!settled) {
      return fail("Active-set iteration did not converge within " + std::to_string(max_it) + " iterations");
    }

    auto switched = switch_after_loop();
    if (!switched) return fail(switched.error());
    if (*switched) continue;
    // The loop ends on this state: its displacements, if its pass was read from the basis
    // alone. Forces read from a solution that the residual test refuses are read again from
    // the solved one, by the loop's rules and then by those after it.
    bool as_read = true;
    if (auto ok = solve_pass(current, &as_read); !ok) return fail(ok.error());
    if (as_read) break;
    auto changed = switch_items(current, reactivation_in_loop);
    if (!changed) return fail(changed.error());
    if (*changed) {
      judged = false;
      continue;
    }
    judged = true;
    switched = switch_after_loop();
    if (!switched) return fail(switched.error());
    if (!*switched) break;
  }
  // Solved: the loop settles only on the displacements of its last pass.
  Eigen::VectorXd& u = *current.u;
  const bool final_factor = factor && solved_for && solved_for->first == active && solved_for->second == released;
  std::optional<KeptActiveFactor> kept;
  if (final_factor) kept = factor->kept();
  // The factor of the last pass solved the operator with its stabilising terms and the traces
  // of switched-off members (through the switch basis, unrefined, with the stabilising terms of
  // those members too); carried over to the structure as it is, the solution sheds what they
  // held (reactions then balance the loads), wherever the structure holds without them.
  std::optional<MovableSparseMatrix> unstabilised;
  if (elim == nullptr && !constrained.empty() && final_factor) {
    auto k_u = switched_operator != nullptr ? switched_operator->assemble_unstabilised(*this, active)
                                            : EquilibriumCheck::unstabilised_operator(*this, &active);
    if (!k_u) return fail(k_u.error());
    if (auto x = factor->carry_over(*k_u, f, u)) u = std::move(*x);
    unstabilised = std::move(*k_u);
  } else if (elim != nullptr) {
    // The reduced solves carry the stabilising terms too: the last state's solution is carried
    // over the same way, on the reduced system.
    auto k = operator_for(active);
    if (!k) return fail(k.error());
    auto k_u = EquilibriumCheck::unstabilised_operator(*this, &active);
    if (!k_u) return fail(k_u.error());
    if (auto x = solve_reduced(factorize_reduced(*k, &*k_u, *elim, released), *elim, f)) u = std::move(*x);
  }
  return FirstOrderSolveOutput{std::move(u), std::move(active), std::move(released), std::move(kept),
                               std::move(unstabilised)};
}

Expected<FirstOrderCaseSolution> VARN::solve_load_case_unstored(std::uint32_t load_case_id,
                                                                const CachedFirstOrderSystem* shared) const {
  const PreparedLoad* load = nullptr;
  if (shared != nullptr) {
    if (const auto prepared = shared->case_loads.find(load_case_id); prepared != shared->case_loads.end())
      load = &prepared->second;
  }
  Expected<Eigen::VectorXd> f =
      load != nullptr ? Expected<Eigen::VectorXd>(load->f) : assemble_load_vector_for_case(load_case_id);
  if (!f) return fail(f.error());
  const LoadCase* lc = find_load_case(*this, load_case_id);
  if (lc == nullptr) return fail(load_case_not_found(load_case_id));

  const auto start = Clock::now();
  FirstOrderCaseSolution solution;
  solution.name = lc->name;
  const Eigen::VectorXd u0 = Eigen::VectorXd::Zero(f->size());
  const ResultType loading = ResultType::loadcase(load_case_id);
  auto solved = solve_first_order_common(*f, u0, init_active_map_tie_comp(*this), true, &solution.stats, &loading,
                                         {}, shared, load != nullptr ? load->forward : SwitchBasis::StateInverse::Forward{});
  if (!solved) return fail(solved.error());

  auto composed = compose_support_reaction_vector_equilibrium(*this, ResultType::loadcase(load_case_id), solved->u,
                                                              &solved->active, RecoveryMode::FirstOrder, nullptr,
                                                              nullptr, &solved->released);
  if (!composed) return fail(composed.error());
  if (auto ok = check_equilibrium(*this, ResultType::loadcase(load_case_id), &solved->active, *f, solved->u,
                                  composed->reactions, solved->released,
                                  solved->unstabilised ? &*solved->unstabilised : nullptr);
      !ok) {
    return fail(ok.error());
  }
  solution.u = std::move(solved->u);
  solution.active = std::move(solved->active);
  solution.factor = std::move(solved->factor);
  solution.reactions = std::move(composed->reactions);
  solution.member_results = std::move(composed->member_results);
  solution.seconds = seconds_since(start);
  return solution;
}

Expected<Results*> VARN::store_load_case_solution(std::uint32_t load_case_id, FirstOrderCaseSolution solution) {
  const auto post_start = Clock::now();
  Results& stored = build_and_store_results(std::move(solution.name), false, load_case_id, solution.u,
                                            solution.reactions, &solution.active, RecoveryMode::FirstOrder,
                                            std::move(solution.member_results));
  const double post = seconds_since(post_start);
  if (solver_log()->should_log(spdlog::level::debug)) {
    const FirstOrderLoopStats& st = solution.stats;
    solver_log()->debug(
        "[SOLVE] '{}' iters={} factorisations={} low-rank updates={} elim={:.3f}s asm={:.3f}s red={:.3f}s "
        "lu={:.3f}s active={:.3f}s post={:.3f}s total={:.3f}s",
        stored.name, st.iterations, st.factorizations, st.low_rank_updates, st.elimination, st.assembly, 0.0,
        st.solve, st.active, post, solution.seconds + post);
  }
  if (auto ok = check_results_finite(stored); !ok) return fail(ok.error());
  return &stored;
}

Expected<Results> VARN::solve_for_load_case(std::uint32_t load_case_id) {
  auto solution = solve_load_case_unstored(load_case_id);
  if (!solution) return fail(solution.error());
  auto stored = store_load_case_solution(load_case_id, std::move(*solution));
  if (!stored) return fail(stored.error());
  return **stored;
}

Expected<void> VARN::solve_load_cases_batched_first_order(const std::vector<std::uint32_t>& load_case_ids) {
  return solve_cases_and_combinations_batched_first_order(load_case_ids, {}).cases;
}

Expected<void> VARN::solve_load_combinations_batched_first_order(const std::vector<std::uint32_t>& combination_ids) {
  return solve_cases_and_combinations_batched_first_order({}, combination_ids).combinations;
}

VARN::BatchedOutcome VARN::solve_cases_and_combinations_batched_first_order(
    const std::vector<std::uint32_t>& load_case_ids, const std::vector<std::uint32_t>& combination_ids) {
  BatchedOutcome out;
  const auto cases = static_cast<Eigen::Index>(load_case_ids.size());
  const auto combos = static_cast<Eigen::Index>(combination_ids.size());
  if (cases == 0 && combos == 0) return out;
  // What fails before any column is solved fails the whole batch: the load cases' when there
  // are any (the combinations are then not reached), else the combinations'.
  auto batch_fails = [&](const std::string& message) {
    (cases > 0 ? out.cases : out.combinations) = fail(message);
    return out;
  };
  const auto total_start = Clock::now();

  const ActiveMap all_on;
  auto constrained = collect_constrained_dofs_full();
  if (!constrained) return batch_fails(constrained.error());
  auto t = Clock::now();
  auto k = build_operator_with_supports_sparse_internal(all_on, nullptr);
  if (!k) return batch_fails(k.error());
  const double asm_time = seconds_since(t);

  const auto n = k->rows();
  std::vector<std::string> names;
  names.reserve(load_case_ids.size() + combination_ids.size());
  // A combination whose load vector fails leaves the load cases to be solved and stored as
  // their own batch would; the combinations then report that failure.
  Expected<void> combination_loads;
  Eigen::Index columns = cases;
  auto prepare = [&]() -> Expected<BatchInputs> {
    Eigen::MatrixXd b = Eigen::MatrixXd::Zero(n, cases + combos);
    auto place = [&](Eigen::Index j, Expected<Eigen::VectorXd> f) -> Expected<void> {
      if (!f) return fail(f.error());
      if (f->size() != n) fatal("load vector of " + std::to_string(f->size()) + " entries for a system of " +
                                std::to_string(n));
      b.col(j) = *f;
      return {};
    };
    for (Eigen::Index j = 0; j < cases; ++j) {
      const std::uint32_t id = load_case_ids[static_cast<std::size_t>(j)];
      if (auto placed = place(j, assemble_load_vector_for_case(id)); !placed) return fail(placed.error());
      const LoadCase* lc = find_load_case(*this, id);
      if (lc == nullptr) return fail(load_case_not_found(id));
      names.push_back(lc->name);
    }
    for (Eigen::Index j = 0; j < combos && combination_loads; ++j) {
      const std::uint32_t id = combination_ids[static_cast<std::size_t>(j)];
      combination_loads = place(cases + j, assemble_load_vector_for_combination(id));
      if (combination_loads) names.push_back(find_combination(*this, id)->name);
    }
    columns = combination_loads ? cases + combos : cases;
    auto check = EquilibriumCheck::build(*this, &all_on);
    if (!check) return fail(check.error());
    return BatchInputs{Eigen::MatrixXd(b.leftCols(columns)), std::move(*check)};
  };
  t = Clock::now();
  auto solved = solve_all_columns(*k, *constrained, prepare,
                                  cases > 0 ? "Stiffness matrix is singular or near-singular (batched solve)"
                                            : "Stiffness matrix is singular or near-singular (batched combo solve)");
  // Combinations alone whose loads cannot be formed have nothing to solve: that is their message.
  if (cases == 0 && !combination_loads) {
    out.combinations = combination_loads;
    return out;
  }
  if (!solved) return batch_fails(solved.error());
  const double solve_time = seconds_since(t);
  const Eigen::MatrixXd* x = &solved->x;
  const Eigen::MatrixXd& loads = solved->inputs.b;
  const EquilibriumCheck* check = &solved->inputs.check;

  t = Clock::now();
  std::vector<ResultType> types;
  for (Eigen::Index j = 0; j < columns; ++j) {
    types.push_back(j >= cases ? ResultType::loadcombination(combination_ids[static_cast<std::size_t>(j - cases)])
                               : ResultType::loadcase(load_case_ids[static_cast<std::size_t>(j)]));
  }
  std::vector<Expected<ReactionComposition>> recovered = recover_columns(*this, types, *x, loads, *check);
  for (Eigen::Index j = 0; j < columns; ++j) {
    const bool combination = j >= cases;
    const std::uint32_t id = combination ? combination_ids[static_cast<std::size_t>(j - cases)]
                                         : load_case_ids[static_cast<std::size_t>(j)];
    Expected<ReactionComposition>& composed = recovered[static_cast<std::size_t>(j)];
    if (!composed) {
      (combination ? out.combinations : out.cases) = fail(composed.error());
      return out;
    }
    const Results& stored =
        build_and_store_results(std::move(names[static_cast<std::size_t>(j)]), combination, id, x->col(j),
                                composed->reactions, &all_on, RecoveryMode::FirstOrder,
                                std::move(composed->member_results));
    if (auto ok = check_results_finite(stored); !ok) {
      (combination ? out.combinations : out.cases) = fail(ok.error());
      return out;
    }
    if (j + 1 == cases && solver_log()->should_log(spdlog::level::debug)) {
      solver_log()->debug("[BATCH] {} LCs: asm={:.3f}s solve={:.3f}s post={:.3f}s total={:.3f}s", cases, asm_time,
                          solve_time, seconds_since(t), seconds_since(total_start));
    }
  }
  if (!combination_loads) out.combinations = combination_loads;
  return out;
}

}  // namespace varn
