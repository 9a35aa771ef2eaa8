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

#include "fatal.h"
#include "functions/geometry.h"
#include "models/varn/reactions.h"
#include "functions/support_utils.h"
#include "logging.h"
#include "models/loads/load_lookup.h"
#include "models/varn/active_set.h"
#include "models/varn/second_order/corotational_phase.h"
#include "models/varn/equilibrium_check.h"
#include "models/varn/second_order/residual_measure.h"
#include "models/varn/second_order/starting_state.h"
#include "models/varn/second_order/state_judgement.h"
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

// The measure of the Newton residual: over the global DOFs with the constrained ones held, or
// over the retained DOFs of the rigid elimination (each in the direction of its global DOF;
// the reduced supports are imposed on the linearised system, whose residual vanishes there).
ResidualMeasure residual_measure(const VARN& model, const std::vector<std::size_t>& constrained,
                                 const RigidElimination* elimination, std::size_t n) {
  const double length = model_extent(model);
  if (elimination == nullptr) return ResidualMeasure::global(n, constrained, length);
  std::vector<std::uint8_t> direction(elimination->n_r, 0);
  for (std::size_t d = 0; d < elimination->n; ++d) {
    if (const auto col = elimination->reduced_column(d)) {
      check_index(*col, elimination->n_r, "retained DOF");
      direction[*col] = static_cast<std::uint8_t>(d % kDofsPerNode);
    }
  }
  return ResidualMeasure(std::move(direction), std::vector<char>(elimination->n_r, 0), length);
}

// The end of the load steps and the finalisation for one state of the one-sided supports.
struct SupportStateSolve {
  NewtonState state;
  bool corotational = false;
  bool has_support_curves = false;
  bool has_hinge_curves = false;
};

// The solve for one state of the one-sided supports (held or released as `released` says), as
// its steps: the path (rigid elimination or penalty supports), the starting state, the Newton
// set-up, the load steps, the certificate of the final tangent, the co-rotational phase, the
// finalisation of the tie/strut state and the judgement of the state to be reported.
class SupportStateSolver {
 public:
  SupportStateSolver(VARN& model, const Eigen::VectorXd& f, bool is_combination, std::uint32_t id,
                     std::uint32_t max_iterations, const SupportState& released, SolveReport& rep)
      : model_(model),
        f_(f),
        is_combination_(is_combination),
        id_(id),
        max_iterations_(max_iterations),
        released_(released),
        rep_(rep) {}

  Expected<SupportStateSolve> run(const std::optional<Eigen::VectorXd>& predictor,
                                  const std::optional<ActiveMap>& initial_active) {
    model_.apply_pdelta_mode();
    ctx_.emplace(model_.build_lookup_maps());
    const auto t = Clock::now();
    if (auto done = set_up_path(); !done) return fail(done.error());
    if (auto done = start(predictor, initial_active); !done) return fail(done.error());
    rep_.starting_state = seconds_since(t);
    if (auto done = set_up_newton(); !done) return fail(done.error());
    stepper_.emplace(Stepper{*setup_, solver_, rep_.newton, rep_.passes});
    if (auto done = load_steps(); !done) return fail(done.error());
    if (auto done = certify(); !done) return fail(done.error());
    if (auto done = corotational_phase(); !done) return fail(done.error());
    if (auto done = finalise(); !done) return fail(done.error());
    if (auto done = judge(); !done) return fail(done.error());
    return SupportStateSolve{std::move(state_), corotational_, has_support_curves_, has_hinge_curves_};
  }

 private:
  // Rigid links eliminated (with the projector onto the motions they allow), or supports held
  // by penalty at the constrained DOFs.
  Expected<void> set_up_path() {
    if (model_.needs_dense_rigid_path()) {
      auto elimination = model_.build_rigid_elimination_partial_using_hinges();
      if (!elimination) return fail(elimination.error());
      auto projector = RigidProjector::create(*elimination);
      if (!projector) return fail(projector.error());
      rigid_.emplace(RigidPath{std::move(*elimination), std::move(*projector)});
      return {};
    }
    auto dofs = model_.collect_constrained_dofs_full(released_);
    if (!dofs) return fail(dofs.error());
    constrained_ = std::move(*dofs);
    return {};
  }

  // The starting state, and the load steps of the coarsest subdivision it calls for.
  Expected<void> start(const std::optional<Eigen::VectorXd>& predictor, const std::optional<ActiveMap>& initial) {
    ActiveMap active = initial ? *initial : init_active_map_tie_comp(model_);
    auto start = compute_starting_state(model_, f_, predictor, std::move(active), rigid_ ? &*rigid_ : nullptr,
                                        released_);
    if (!start) return fail(start.error());
    state_.u = std::move(start->u0);
    state_.active = std::move(start->active);
    if (rigid_) state_.u_r = start->u_r ? std::move(*start->u_r) : rigid_->projector.reduce(state_.u);
    has_support_curves_ = has_stiffness_curves(model_.nodal_supports);
    has_hinge_curves_ = has_hinge_stiffness_curves(model_.memberhinges);
    steps_total_ = !start->predictor_given || !state_.active.empty() ? kStepsWithoutPredictor : kStepsFromPredictor;
    if (state_.u.squaredNorm() > 0.0 && has_support_curves_) {
      steps_total_ = std::min(steps_total_, kStepsWithCurveSupports);
    }
    rep_.steps_total = steps_total_;
    return {};
  }

  // What the Newton passes share: the residual measure with the round-off bound of the
  // structure's operator, and the curve supports at what they carry at the start.
  Expected<void> set_up_newton() {
    auto round_off = EquilibriumCheck::unstabilised_operator(model_, &state_.active);
    if (!round_off) return fail(round_off.error());
    round_off_ = std::move(*round_off);
    measure_.emplace(residual_measure(model_, constrained_, rigid_ ? &rigid_->elimination : nullptr,
                                      static_cast<std::size_t>(f_.size())));
    if (!rigid_) measure_->set_round_off(round_off_);
    member_loads_.emplace(ReleasedMemberLoads::collect(
        model_, *ctx_, is_combination_ ? ResultType::loadcombination(id_) : ResultType::loadcase(id_)));
    const AnalysisOptions& options = model_.settings.analysis_options;
    setup_.emplace(NewtonSetup{model_,
                               *ctx_,
                               constrained_,
                               rigid_ ? &*rigid_ : nullptr,
                               std::fmax(options.limits().tolerance, kLowestTolerance),
                               axial_slack_tolerance(model_),
                               max_iterations_,
                               has_support_curves_,
                               has_hinge_curves_,
                               is_combination_ ? ResultType::loadcombination(id_) : ResultType::loadcase(id_),
                               released_,
                               &*measure_,
                               &*member_loads_});
    // The start carries the full load: the curve supports begin at what they carry there, in
    // the P-delta equilibrium the passes measure (a combination's start is a second-order
    // state, and its supports read at the first-order share of its members would carry the
    // axial load's lever arm on the sway as well).
    if (has_support_curves_) {
      if (auto carried = model_.compute_carried_support_forces(state_.u, state_.active, true, f_); carried) {
        state_.support_forces = std::move(*carried);
      }
    }
    return {};
  }

  // The load steps, started from the secant where the response is close to proportional.
  Expected<void> load_steps() {
    const bool secant = !rigid_ && state_.active.empty() && !has_support_curves_ && !has_hinge_curves_;
    SecantStart start(secant, state_.u);
    auto n = run_load_steps(f_, steps_total_, *stepper_, start, state_,
                            LoadStepsReport{rep_.substep_multiplier, rep_.iterations_per_step});
    if (!n) return fail(n.error());
    n_steps_ = *n;
    return {};
  }

  // The last steps may have converged on a factor made at a lower load level: the tangent of
  // the final state itself certifies that the state lies below the elastic critical load.
  Expected<void> certify() {
    if (rigid_) return {};
    auto certified = tangent_positive_definite(*setup_, state_, solver_, rep_.newton);
    if (!certified) return fail(certified.error());
    if (!*certified) return fail(not_positive_definite(*setup_, state_.active, n_steps_, n_steps_));
    return {};
  }

  // A hinge-free model analysed with the co-rotational method is re-solved with the element
  // kinematics in the rotated chord frames; a re-solve that cannot reach the full load ends the
  // solve with its message (the P-delta state is no equilibrium of the large-displacement
  // problem), and a model the phase does not apply to keeps its P-delta state.
  Expected<void> corotational_phase() {
    if (!corotational_phase_applies(model_)) return {};
    phase_input_.emplace(CorotationalPhaseInput{f_,
                                                is_combination_,
                                                id_,
                                                load_case_has_distributed_loads(model_, is_combination_, id_),
                                                state_.u,
                                                state_.active,
                                                steps_total_,
                                                setup_->tol,
                                                constrained_,
                                                setup_->rigid,
                                                has_support_curves_,
                                                released_});
    phase_input_->round_off = &round_off_;
    auto phase = run_corotational_phase(model_, *phase_input_);
    if (!phase) return fail(phase.error());
    state_.u = std::move(phase->u);
    if (rigid_) state_.u_r = std::move(phase->u_r);
    state_.support_forces = std::move(phase->support_forces);
    state_.f_int.reset();
    corotational_ = true;
    return {};
  }

  // An active tie still in compression, or strut in tension, beyond the full slack is switched
  // off; the structure without it is brought back into equilibrium with the full load by
  // Newton passes, until the map agrees with the displacements it produced. The stored flags
  // then describe the stored displacements.
  Expected<void> finalise() {
    FinalisationHooks hooks;
    hooks.switch_off = [&] { return finalize_tie_strut_consistency(model_, state_.u, state_.active, *ctx_); };
    hooks.step = [&] { return stepper_->run(f_, 1.0, state_, n_steps_, n_steps_, nullptr); };
    auto finalised = run_finalisation(state_, n_steps_, hooks);
    if (!finalised) return fail(finalised.error());
    rep_.finalisation_rerun = *finalised;
    // Passes at the full load after the co-rotational phase are P-delta passes: the stored
    // state is then a P-delta state and is recovered as one.
    if (*finalised) corotational_ = false;
    return {};
  }

  // The state as it will be reported, judged on its own with the forces of the formulation it
  // stands in.
  Expected<void> judge() {
    Eigen::VectorXd f_int;
    Eigen::VectorXd f_ext;
    if (corotational_) {
      auto forces = corotational_forces_at(model_, *phase_input_, state_.u, state_.support_forces);
      if (!forces) return fail(forces.error());
      f_int = std::move(forces->f_int);
      f_ext = std::move(forces->f_ext);
    } else {
      if (auto refined = refine_rigid_state(*setup_, f_, state_, solver_, rep_.newton); !refined) {
        return fail(refined.error());
      }
      auto forces = internal_forces(*setup_, state_.u, state_, 1.0);
      if (!forces) return fail(forces.error());
      f_int = std::move(*forces);
      f_ext = f_;
    }
    auto judged = judge_second_order_state(model_, *setup_->loads, JudgedState{state_.u, f_int, f_ext, state_.active},
                                           constrained_, setup_->rigid, released_, setup_->tol, round_off_);
    if (!judged) return fail(judged.error());
    return {};
  }

  VARN& model_;
  const Eigen::VectorXd& f_;
  const bool is_combination_;
  const std::uint32_t id_;
  const std::uint32_t max_iterations_;
  const SupportState& released_;
  SolveReport& rep_;

  std::optional<AssemblyContext> ctx_;
  std::optional<RigidPath> rigid_;
  std::vector<std::size_t> constrained_;
  NewtonState state_;
  bool has_support_curves_ = false;
  bool has_hinge_curves_ = false;
  std::size_t steps_total_ = 0;
  std::size_t n_steps_ = 0;
  SparseMatrix round_off_;
  std::optional<ResidualMeasure> measure_;
  std::optional<ReleasedMemberLoads> member_loads_;
  std::optional<NewtonSetup> setup_;
  TangentSolver solver_;
  std::optional<Stepper> stepper_;
  std::optional<CorotationalPhaseInput> phase_input_;
  bool corotational_ = false;
};

Expected<SupportStateSolve> solve_with_support_state(VARN& model, const Eigen::VectorXd& f, bool is_combination,
                                                     std::uint32_t id, std::uint32_t max_iterations,
                                                     const std::optional<Eigen::VectorXd>& predictor,
                                                     const std::optional<ActiveMap>& initial_active,
                                                     const SupportState& released, SolveReport& rep) {
  return SupportStateSolver(model, f, is_combination, id, max_iterations, released, rep).run(predictor,
                                                                                            initial_active);
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
                                     std::uint32_t id, std::optional<Eigen::VectorXd> predictor,
                                     std::optional<ActiveMap> initial_active, SolveReport* report) {
  // The iteration limit and the tolerance come from the model, as for the first-order solves.
  const std::uint32_t max_iterations = model.settings.analysis_options.limits().max_iterations;
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

Expected<Results> VARN::solve_second_order_common(const Eigen::VectorXd& f, std::string name, bool is_combination,
                                                  std::uint32_t id, std::optional<Eigen::VectorXd> predictor,
                                                  std::optional<ActiveMap> initial_active) {
  return second_order::solve_second_order(*this, f, std::move(name), is_combination, id, std::move(predictor),
                                          std::move(initial_active), nullptr);
}

Expected<Results> VARN::solve_for_load_case_second_order(std::uint32_t load_case_id) {
  auto f = assemble_load_vector_for_case(load_case_id);
  if (!f) return fail(f.error());
  const LoadCase* lc = find_load_case(load_cases, load_case_id);
  if (lc == nullptr) return fail("LoadCase " + std::to_string(load_case_id) + " not found.");
  return solve_second_order_common(*f, lc->name, false, load_case_id, std::nullopt, std::nullopt);
}

Expected<Results> VARN::solve_for_load_combination_second_order(std::uint32_t combination_id) {
  auto f = assemble_load_vector_for_combination(combination_id);
  if (!f) return fail(f.error());
  const LoadCombination* combo = find_load_combination(load_combinations, combination_id);
  if (combo == nullptr) return fail("LoadCombination " + std::to_string(combination_id) + " not found.");
  // The superposed load-case displacements of this run (in SI).
  std::optional<Eigen::VectorXd> predictor = build_combination_displacement_predictor(combination_id);
  std::optional<ActiveMap> initial;
  if (predictor) initial = active_map_from_trial_displacement(*this, *predictor);
  return solve_second_order_common(*f, combo->name, true, combination_id, std::move(predictor), std::move(initial));
}

}  // namespace varn
