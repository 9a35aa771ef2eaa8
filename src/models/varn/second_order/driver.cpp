// The second-order solve of one load case or combination: the load applied in equal steps,
// each step brought to equilibrium by Newton passes inside an outer loop on the tie/strut
// active set, finer steps when a step cannot be completed, and the result set recovered from
// the final state and stored in the model.
#include "models/varn/second_order/driver.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include <spdlog/logger.h>

#include "functions/geometry.h"
#include "functions/reactions.h"
#include "functions/support_utils.h"
#include "logging.h"
#include "models/varn/active_set.h"
#include "models/varn/second_order/corotational_phase.h"
#include "models/varn/equilibrium_check.h"
#include "models/varn/second_order/starting_state.h"
#include "models/varn/support_state.h"
#include "models/varn/varn.h"

namespace varn {

namespace second_order {

namespace {

using Clock = std::chrono::steady_clock;

// Load steps of the coarsest subdivision: many without a start near the solution, or when ties
// and struts may switch on the way; one from a combination's superposed start without them;
// few when supports follow stiffness curves from a start that already carries load.
constexpr std::size_t kStepsWithoutPredictor = 20;
constexpr std::size_t kStepsFromPredictor = 1;
constexpr std::size_t kStepsWithCurveSupports = 5;
constexpr std::size_t kPassesPerStep = 8;
constexpr std::size_t kLargestMultiplier = 1024;
constexpr double kLowestTolerance = 1e-6;

std::string refinement_failure(Refinement trigger, std::size_t k, std::size_t n) {
  switch (trigger) {
    case Refinement::SingularTangent:
      return "Second-order: tangent singular even after LM damping + max substepping";
    case Refinement::FailedLineSearch:
      return "Second-order: non-descent at αmin; flip-left failed; max substepping reached";
    case Refinement::NewtonExhausted:
      return "Second-order: step " + std::to_string(k) + "/" + std::to_string(n) +
             " did not converge and max substepping reached";
    case Refinement::OuterLoopLimit:
      return "Second-order: step " + std::to_string(k) + "/" + std::to_string(n) +
             " active-set outer loop did not converge; max substepping reached";
  }
  return {};
}

void log_refinement(Refinement trigger, std::size_t k, std::size_t n, std::size_t m, std::size_t new_n) {
  auto& log = *solver_log();
  switch (trigger) {
    case Refinement::SingularTangent:
      log.debug("  tangent singular ⇒ substep multiplier -> {}", m);
      break;
    case Refinement::FailedLineSearch:
      log.debug("  line-search failed at αmin → substep multiplier -> {}", m);
      break;
    case Refinement::NewtonExhausted:
      log.debug("  step {}/{} failed ⇒ refining substeps to {}", k, n, new_n);
      break;
    case Refinement::OuterLoopLimit:
      log.debug("  step {}/{}: active-set outer loop hit limit ⇒ refining substeps to {}", k, n, new_n);
      break;
  }
}

// A state past the elastic critical load satisfies the P-delta equations too (the structure
// then leans against the load), but no real structure reaches it: refused, not returned.
std::string beyond_critical_load(std::size_t k, std::size_t n) {
  return "Second-order: tangent not positive definite at step " + std::to_string(k) + "/" + std::to_string(n) +
         ": the load exceeds the elastic critical load";
}

// The mechanism of the structure as it is, for the state's ties and struts, if it is one.
std::optional<std::string> mechanism(const NewtonSetup& setup, const ActiveMap& active) {
  auto dof = find_mechanism(setup.model, &active, setup.released);
  if (!dof || !*dof || !setup.loads) return std::nullopt;
  return mechanism_message(*setup.loads, **dof);
}

// A tangent that is not positive definite with a structure that has no critical load at all:
// one that its elastic stiffness alone does not hold (a mechanism, a node free to move) is
// reported as first order finds it, the DOF where its factorisation breaks down named, for no
// load is small enough for it.
std::string not_positive_definite(const NewtonSetup& setup, const ActiveMap& active, std::size_t k, std::size_t n) {
  if (setup.rigid == nullptr && !setup.constrained.empty()) {
    auto elastic = setup.model.build_operator_with_supports_sparse_internal(active, nullptr);
    ConstrainedSparseSolver solver;
    if (elastic && solver.factorize(*elastic, setup.constrained) == SparseSolveMethod::Failed) {
      return with_unstable_dof("Second-order: Stiffness matrix is singular or near-singular",
                               solver.factorization().unstable_dof());
    }
  }
  if (auto cause = mechanism(setup, active)) return *cause;
  return beyond_critical_load(k, n);
}

// A step that no subdivision completes: on a structure that is a mechanism, the mechanism is
// the cause, named after the step's own message.
std::string with_mechanism(const NewtonSetup& setup, const ActiveMap& active, std::string message) {
  if (auto cause = mechanism(setup, active)) message += ". " + *cause;
  return message;
}

bool in_history(const std::vector<ActiveMap>& history, const ActiveMap& map) {
  return std::find(history.begin(), history.end(), map) != history.end();
}

// Everything a step attempt needs besides the state it changes.
struct Stepper {
  const NewtonSetup& setup;
  TangentSolver& solver;
  NewtonStats& stats;
  std::size_t& passes;

  Expected<std::optional<Refinement>> run(const Eigen::VectorXd& f_ext, double load_factor, NewtonState& state,
                                          std::size_t k, std::size_t n, std::uint32_t* iterations) {
    StepHooks hooks;
    hooks.pass = [&](bool frozen) -> Expected<PassOutcome> {
      ++passes;
      auto outcome = run_newton_pass(setup, f_ext, load_factor, state, solver, frozen, stats);
      if (outcome && iterations != nullptr) *iterations += outcome->iterations;
      return outcome;
    };
    hooks.reactivate = [&] {
      return update_active_set(setup.model, state.u, state.active, setup.ctx,
                               setup.switch_tol, true);
    };
    hooks.indefinite = [&](std::size_t step, std::size_t steps) {
      return not_positive_definite(setup, state.active, step, steps);
    };
    return run_step_attempt(state, k, n, hooks);
  }
};

}  // namespace

Expected<std::optional<Refinement>> run_step_attempt(NewtonState& state, std::size_t k, std::size_t n,
                                                     const StepHooks& hooks) {
  const Eigen::VectorXd u_start = state.u;
  const Eigen::VectorXd u_r_start = state.u_r;
  auto back_to_step_start = [&] {
    state.u = u_start;
    state.u_r = u_r_start;
    state.f_int.reset();
  };
  std::vector<ActiveMap> history{state.active};
  bool frozen = false;
  for (std::size_t pass = 1;; ++pass) {
    auto outcome = hooks.pass(frozen);
    if (!outcome) return fail(outcome.error());
    switch (outcome->end) {
      case PassEnd::Switched:
        if (in_history(history, state.active)) {
          // The map has come back to a state this step has seen: hold it, and let the step
          // stand only when a pass converges with it (a held map cannot switch again, so one
          // more pass decides).
          solver_log()->debug("  active-set cycle detected at step {} → freezing", k);
          frozen = true;
          continue;
        }
        history.push_back(state.active);
        break;
      case PassEnd::Converged: {
        if (outcome->tangent_indefinite) return fail(hooks.indefinite ? hooks.indefinite(k, n) : beyond_critical_load(k, n));
        if (frozen) return std::optional<Refinement>();
        const ActiveMap converged_with = state.active;
        if (!hooks.reactivate()) return std::optional<Refinement>();
        state.f_int.reset();
        if (in_history(history, state.active)) {
          solver_log()->debug("  reactivation cycle detected at step {} → freezing", k);
          // u is in equilibrium with the map it converged with, not with the switched one.
          state.active = converged_with;
          return std::optional<Refinement>();
        }
        history.push_back(state.active);
        solver_log()->debug("  post-convergence reactivation → repeating current substep");
        break;
      }
      case PassEnd::Exhausted:
        back_to_step_start();
        return std::optional<Refinement>(Refinement::NewtonExhausted);
      case PassEnd::SingularTangent:
        state.f_int.reset();
        return std::optional<Refinement>(Refinement::SingularTangent);
      case PassEnd::FailedLineSearch:
        state.f_int.reset();
        return std::optional<Refinement>(Refinement::FailedLineSearch);
    }
    if (pass >= kPassesPerStep) {
      back_to_step_start();
      return std::optional<Refinement>(Refinement::OuterLoopLimit);
    }
  }
}

Expected<bool> run_finalisation(NewtonState& state, std::size_t n, const FinalisationHooks& hooks) {
  // Every round switches a member off; the steps between may switch some back on, so the
  // rounds are bounded by the number of members that can switch, once each way.
  const std::size_t limit = 2 * state.active.size() + 1;
  bool rerun = false;
  for (std::size_t round = 0; hooks.switch_off(); ++round) {
    rerun = true;
    if (round >= limit) return fail(refinement_failure(Refinement::OuterLoopLimit, n, n));
    state.f_int.reset();
    auto step = hooks.step();
    if (!step) return fail(step.error());
    if (*step) return fail(refinement_failure(**step, n, n));
  }
  return rerun;
}

namespace {

// The end of the load steps and the finalisation for one state of the one-sided supports.
struct SupportStateSolve {
  NewtonState state;
  bool corotational = false;
  bool has_support_curves = false;
  bool has_hinge_curves = false;
};

// The load steps, the co-rotational phase and the finalisation with the one-sided supports
// held or released as `released` says.
Expected<SupportStateSolve> solve_with_support_state(VARN& model, const Eigen::VectorXd& f, bool is_combination,
                                                     std::uint32_t id, std::uint32_t max_iterations,
                                                     const std::optional<Eigen::VectorXd>& predictor,
                                                     const std::optional<ActiveMap>& initial_active,
                                                     const SupportState& released, SolveReport& rep) {
  // ---- set-up ----
  model.apply_pdelta_mode();
  const AssemblyContext ctx = model.build_lookup_maps();
  std::optional<RigidPath> rigid;
  std::vector<std::size_t> constrained;
  const auto t = Clock::now();
  if (model.needs_dense_rigid_path()) {
    auto elimination = model.build_rigid_elimination_partial_using_hinges();
    if (!elimination) return fail(elimination.error());
    auto projector = RigidProjector::create(*elimination);
    if (!projector) return fail(projector.error());
    rigid.emplace(RigidPath{std::move(*elimination), std::move(*projector)});
  } else {
    auto dofs = model.collect_constrained_dofs_full(released);
    if (!dofs) return fail(dofs.error());
    constrained = std::move(*dofs);
  }

  ActiveMap active = initial_active ? *initial_active : init_active_map_tie_comp(model);
  auto start = compute_starting_state(model, f, predictor, std::move(active), rigid ? &*rigid : nullptr, released);
  if (!start) return fail(start.error());
  rep.starting_state = seconds_since(t);

  const AnalysisOptions& options = model.settings.analysis_options;
  NewtonState state;
  state.u = std::move(start->u0);
  state.active = std::move(start->active);
  if (rigid) {
    state.u_r = start->u_r ? std::move(*start->u_r) : rigid->projector.reduce(state.u);
  }

  const bool has_support_curves = has_stiffness_curves(model.nodal_supports);
  const bool has_hinge_curves = has_hinge_stiffness_curves(model.memberhinges);
  std::size_t steps_total =
      !start->predictor_given || !state.active.empty() ? kStepsWithoutPredictor : kStepsFromPredictor;
  if (state.u.squaredNorm() > 0.0 && has_support_curves) steps_total = std::min(steps_total, kStepsWithCurveSupports);
  rep.steps_total = steps_total;

  const ReleasedMemberLoads member_loads = ReleasedMemberLoads::collect(
      model, ctx, is_combination ? ResultType::loadcombination(id) : ResultType::loadcase(id));
  const NewtonSetup setup{model,
                          ctx,
                          constrained,
                          rigid ? &*rigid : nullptr,
                          std::fmax(options.tolerance, kLowestTolerance),
                          axial_slack_tolerance(model),
                          max_iterations,
                          has_support_curves,
                          has_hinge_curves,
                          is_combination ? ResultType::loadcombination(id) : ResultType::loadcase(id),
                          released,
                          &member_loads};

  // The start carries the full load: the curve supports begin at what they carry there.
  if (has_support_curves) {
    if (auto carried = model.compute_carried_support_forces(state.u, state.active, false, f); carried) {
      state.support_forces = std::move(*carried);
    }
  }

  // ---- load steps ----
  TangentSolver solver;
  Stepper stepper{setup, solver, rep.newton, rep.passes};
  std::size_t m = 1;
  std::size_t n_steps = steps_total;
  // Without ties, struts, curves or eliminated links, each step starts from the secant through
  // the last two equilibrium states (the unloaded one counting at λ = 0, and the start, which
  // carries the full load, at λ = 1 before the first step): the response of a P-delta model is
  // close to proportional, so the step starts near its solution and the kept factor needs few
  // iterations. Nothing else changes: the same passes bring the same load level to the same
  // tolerance. After a refinement the steps start where the refined state left them.
  const bool secant_start = !rigid && state.active.empty() && !has_support_curves && !has_hinge_curves;
  struct Anchor {
    double lambda;
    Eigen::VectorXd u;
  };
  std::vector<Anchor> anchors;
  // Only the first pass has the full-load start among its anchors: a refinement discards
  // them all, and its steps build their secant from their own equilibrium states.
  bool full_load_anchor = false;
  if (secant_start) {
    anchors.push_back({0.0, Eigen::VectorXd::Zero(state.u.size())});
    anchors.push_back({1.0, state.u});
    full_load_anchor = true;
  }
  for (bool restart = true; restart;) {
    restart = false;
    n_steps = m * steps_total;
    state.f_int.reset();
    rep.iterations_per_step.clear();
    for (std::size_t k = 1; k <= n_steps; ++k) {
      const double lambda = static_cast<double>(k) / static_cast<double>(n_steps);
      const Eigen::VectorXd f_ext = lambda * f;
      if (anchors.size() >= 2) {
        const Anchor& a = anchors[anchors.size() - 2];
        const Anchor& b = anchors.back();
        state.u = a.u + ((lambda - a.lambda) / (b.lambda - a.lambda)) * (b.u - a.u);
        state.f_int.reset();
      }
      std::uint32_t iterations = 0;
      auto step = stepper.run(f_ext, lambda, state, k, n_steps, &iterations);
      if (!step) return fail(step.error());
      if (!*step) {
        rep.iterations_per_step.push_back(iterations);
        if (secant_start) {
          // The full-load start only serves the first step.
          if (full_load_anchor) anchors.pop_back();
          full_load_anchor = false;
          anchors.push_back({lambda, state.u});
          if (anchors.size() > 2) anchors.erase(anchors.begin());
        }
        continue;
      }
      anchors.clear();
      full_load_anchor = false;
      if (m >= kLargestMultiplier) return fail(with_mechanism(setup, state.active, refinement_failure(**step, k, n_steps)));
      m *= 2;
      log_refinement(**step, k, n_steps, m, m * steps_total);
      restart = true;
      break;
    }
  }
  rep.substep_multiplier = m;

  // The last steps may have converged on a factor made at a lower load level: the tangent of
  // the final state itself certifies that the state lies below the elastic critical load.
  if (!rigid) {
    auto certified = tangent_positive_definite(setup, state, solver, rep.newton);
    if (!certified) return fail(certified.error());
    if (!*certified) return fail(not_positive_definite(setup, state.active, n_steps, n_steps));
  }

  // A hinge-free model analysed with the co-rotational method is re-solved with the element
  // kinematics in the rotated chord frames; a re-solve that cannot reach the full load ends the
  // solve with its message (the P-delta state is no equilibrium of the large-displacement
  // problem), and a model the phase does not apply to keeps its P-delta state.
  bool corotational = false;
  if (corotational_phase_applies(model)) {
    const CorotationalPhaseInput phase_input{f,
                                             is_combination,
                                             id,
                                             load_case_has_distributed_loads(model, is_combination, id),
                                             state.u,
                                             state.active,
                                             steps_total,
                                             setup.tol,
                                             constrained,
                                             setup.rigid,
                                             has_support_curves,
                                             released};
    auto phase = run_corotational_phase(model, phase_input);
    if (!phase) return fail(phase.error());
    state.u = std::move(phase->u);
    if (rigid) state.u_r = std::move(phase->u_r);
    state.support_forces = std::move(phase->support_forces);
    state.f_int.reset();
    corotational = true;
  }

  // ---- finalisation ----
  // An active tie still in compression, or strut in tension, beyond the full slack is switched
  // off; the structure without it is brought back into equilibrium with the full load by
  // Newton passes, until the map agrees with the displacements it produced. The stored flags
  // then describe the stored displacements.
  {
    FinalisationHooks hooks;
    hooks.switch_off = [&] {
      return finalize_tie_strut_consistency(model, state.u, state.active, ctx);
    };
    hooks.step = [&] { return stepper.run(f, 1.0, state, n_steps, n_steps, nullptr); };
    auto finalised = run_finalisation(state, n_steps, hooks);
    if (!finalised) return fail(finalised.error());
    rep.finalisation_rerun = *finalised;
    // Passes at the full load after the co-rotational phase are P-delta passes: the stored
    // state is then a P-delta state and is recovered as one.
    if (*finalised) corotational = false;
  }

  return SupportStateSolve{std::move(state), corotational, has_support_curves, has_hinge_curves};
}

// The one-sided supports a second-order solve starts with: those the first-order solve of the
// same load releases (the structure's deflections seldom turn a support's force round), all
// held when that solve fails.
SupportState first_order_support_state(const VARN& model, const Eigen::VectorXd& f, const ResultType& type) {
  auto first = model.solve_first_order_common(f, Eigen::VectorXd::Zero(f.size()), init_active_map_tie_comp(model),
                                              true, nullptr, &type);
  return first ? std::move(first->released) : SupportState{};
}

}  // namespace

Expected<Results> solve_second_order(VARN& model, const Eigen::VectorXd& f, std::string name, bool is_combination,
                                     std::uint32_t id, std::uint32_t max_iterations,
                                     std::optional<Eigen::VectorXd> predictor, std::optional<ActiveMap> initial_active,
                                     SolveReport* report) {
  const auto solve_start = Clock::now();
  SolveReport local;
  SolveReport& rep = report != nullptr ? *report : local;
  const ResultType type = is_combination ? ResultType::loadcombination(id) : ResultType::loadcase(id);

  // The whole solve for one state of the one-sided supports; then each support is judged by
  // the force of the converged state as in the first-order loop, and a switch solves again.
  // A state met again is a cycle, and the rounds are bounded as the first-order passes are.
  const std::vector<UnilateralDof> unilateral = collect_unilateral_dofs(model);
  SupportState released = unilateral.empty() ? SupportState{} : first_order_support_state(model, f, type);
  std::vector<SupportState> history;
  const std::uint32_t rounds = bounded_active_set_passes(std::numeric_limits<std::uint32_t>::max(), unilateral.size());
  std::optional<SupportStateSolve> solved;
  std::optional<ReactionComposition> composed;
  for (;;) {
    rep = SolveReport{};
    history.push_back(released);
    auto round = solve_with_support_state(model, f, is_combination, id, max_iterations, predictor, initial_active,
                                          released, rep);
    if (!round) return fail(round.error());
    solved = std::move(*round);
    // Curve springs and hinges report the forces of the stiffnesses the state converged with.
    const NewtonState& state = solved->state;
    const SupportNodeForceMap* support_forces = solved->has_support_curves ? &state.support_forces : nullptr;
    const MemberEndForceMap* end_forces =
        solved->has_hinge_curves && !state.end_forces.empty() ? &state.end_forces : nullptr;
    const RecoveryMode mode = solved->corotational ? RecoveryMode::Corotational : RecoveryMode::SecondOrder;
    auto reactions = compose_support_reaction_vector_equilibrium(model, type, state.u, &state.active, mode,
                                                                 support_forces, end_forces, &released);
    if (!reactions) return fail(reactions.error());
    composed = std::move(*reactions);
    if (unilateral.empty() ||
        !update_support_state(unilateral, state.u, composed->reactions, unilateral_tolerances(model, state.u),
                              released)) {
      break;
    }
    if (const auto seen = std::find(history.begin(), history.end(), released); seen != history.end()) {
      return fail("Second-order: one-sided supports cycle between " + std::to_string(history.end() - seen) +
                  " states without settling");
    }
    if (history.size() >= rounds) {
      return fail("Second-order: one-sided supports did not settle within " + std::to_string(rounds) + " solves");
    }
  }

  const auto t = Clock::now();
  const NewtonState& state = solved->state;
  const RecoveryMode mode = solved->corotational ? RecoveryMode::Corotational : RecoveryMode::SecondOrder;
  // A structure that only the stabilising terms hold is a mechanism in second order as well.
  if (auto ok = check_regularisation(model, type, &state.active, f, state.u, composed->reactions, released); !ok) {
    return fail(ok.error());
  }
  Results stored = model.build_and_store_results(std::move(name), is_combination, id, state.u, composed->reactions,
                                                 &state.active, mode,
                                                 std::move(composed->member_results));
  if (auto ok = VARN::check_results_finite(stored); !ok) return fail(ok.error());
  rep.recovery = seconds_since(t);
  rep.total = seconds_since(solve_start);
  return stored;
}

}  // namespace second_order

namespace {

const LoadCase* find_case(const VARN& model, std::uint32_t id) {
  const auto it = std::find_if(model.load_cases.begin(), model.load_cases.end(),
                               [&](const LoadCase& c) { return c.id == id; });
  return it == model.load_cases.end() ? nullptr : &*it;
}

const LoadCombination* find_combo(const VARN& model, std::uint32_t id) {
  const auto it = std::find_if(model.load_combinations.begin(), model.load_combinations.end(),
                               [&](const LoadCombination& c) { return c.id == id; });
  return it == model.load_combinations.end() ? nullptr : &*it;
}

}  // namespace

Expected<Results> VARN::solve_second_order_common(const Eigen::VectorXd& f, std::string name, bool is_combination,
                                                  std::uint32_t id, std::uint32_t max_iterations,
                                                  std::optional<Eigen::VectorXd> predictor,
                                                  std::optional<ActiveMap> initial_active) {
  return second_order::solve_second_order(*this, f, std::move(name), is_combination, id, max_iterations,
                                          std::move(predictor), std::move(initial_active), nullptr);
}

Expected<Results> VARN::solve_for_load_case_second_order(std::uint32_t load_case_id, std::uint32_t max_iterations) {
  auto f = assemble_load_vector_for_case(load_case_id);
  if (!f) return fail(f.error());
  const LoadCase* lc = find_case(*this, load_case_id);
  if (lc == nullptr) return fail("LoadCase " + std::to_string(load_case_id) + " not found.");
  return solve_second_order_common(*f, lc->name, false, load_case_id, max_iterations, std::nullopt, std::nullopt);
}

Expected<Results> VARN::solve_for_load_combination_second_order(std::uint32_t combination_id,
                                                                std::uint32_t max_iterations) {
  auto f = assemble_load_vector_for_combination(combination_id);
  if (!f) return fail(f.error());
  const LoadCombination* combo = find_combo(*this, combination_id);
  if (combo == nullptr) return fail("LoadCombination " + std::to_string(combination_id) + " not found.");
  // The superposed load-case displacements of this run (in SI).
  std::optional<Eigen::VectorXd> predictor = build_combination_displacement_predictor(combination_id);
  std::optional<ActiveMap> initial;
  if (predictor) initial = active_map_from_trial_displacement(*this, *predictor);
  return solve_second_order_common(*f, combo->name, true, combination_id, max_iterations, std::move(predictor),
                                   std::move(initial));
}

}  // namespace varn
