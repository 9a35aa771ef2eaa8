#include "models/varn/second_order/load_stepping.h"

#include <algorithm>
#include <string>
#include <utility>

#include <spdlog/logger.h>

#include "logging.h"
#include "models/varn/active_set.h"
#include "models/varn/equilibrium_check.h"
#include "models/varn/varn.h"

namespace varn::second_order {

namespace {

constexpr std::size_t kPassesPerStep = 8;
constexpr std::size_t kLargestMultiplier = 1024;

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

// A step that no subdivision completes: on a structure that is a mechanism, the mechanism is
// the cause, named after the step's own message.
std::string with_mechanism(const NewtonSetup& setup, const ActiveMap& active, std::string message) {
  if (auto cause = mechanism(setup, active)) message += ". " + *cause;
  return message;
}

bool in_history(const std::vector<ActiveMap>& history, const ActiveMap& map) {
  return std::find(history.begin(), history.end(), map) != history.end();
}

}  // namespace

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


Expected<std::optional<Refinement>> Stepper::run(const Eigen::VectorXd& f_ext, double load_factor,
                                                 NewtonState& state, std::size_t k, std::size_t n,
                                                 std::uint32_t* iterations) {
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


SecantStart::SecantStart(bool enabled, const Eigen::VectorXd& start) : enabled_(enabled) {
  if (!enabled_) return;
  anchors_.push_back({0.0, Eigen::VectorXd::Zero(start.size())});
  anchors_.push_back({1.0, start});
  full_load_anchor_ = true;
}

std::optional<Eigen::VectorXd> SecantStart::at(double lambda) const {
  if (anchors_.size() < 2) return std::nullopt;
  const Anchor& a = anchors_[anchors_.size() - 2];
  const Anchor& b = anchors_.back();
  return Eigen::VectorXd(a.u + ((lambda - a.lambda) / (b.lambda - a.lambda)) * (b.u - a.u));
}

void SecantStart::accepted(double lambda, const Eigen::VectorXd& u) {
  if (!enabled_) return;
  // The full-load start only serves the first step.
  if (full_load_anchor_) anchors_.pop_back();
  full_load_anchor_ = false;
  anchors_.push_back({lambda, u});
  if (anchors_.size() > 2) anchors_.erase(anchors_.begin());
}

void SecantStart::refined() {
  anchors_.clear();
  full_load_anchor_ = false;
}

Expected<std::size_t> run_load_steps(const Eigen::VectorXd& f, std::size_t steps_total, Stepper& stepper,
                                     SecantStart& secant, NewtonState& state, const LoadStepsReport& report) {
  std::size_t m = 1;
  std::size_t n_steps = steps_total;
  for (bool restart = true; restart;) {
    restart = false;
    n_steps = m * steps_total;
    state.f_int.reset();
    report.iterations_per_step.clear();
    for (std::size_t k = 1; k <= n_steps; ++k) {
      const double lambda = static_cast<double>(k) / static_cast<double>(n_steps);
      const Eigen::VectorXd f_ext = lambda * f;
      if (auto start = secant.at(lambda)) {
        state.u = std::move(*start);
        state.f_int.reset();
      }
      std::uint32_t iterations = 0;
      auto step = stepper.run(f_ext, lambda, state, k, n_steps, &iterations);
      if (!step) return fail(step.error());
      if (!*step) {
        report.iterations_per_step.push_back(iterations);
        secant.accepted(lambda, state.u);
        continue;
      }
      secant.refined();
      if (m >= kLargestMultiplier) {
        return fail(with_mechanism(stepper.setup, state.active, refinement_failure(**step, k, n_steps)));
      }
      m *= 2;
      log_refinement(**step, k, n_steps, m, m * steps_total);
      restart = true;
      break;
    }
  }
  report.multiplier = m;
  return n_steps;
}

}  // namespace varn::second_order
