#pragma once
// The load of a second-order solve applied in equal steps: each step attempt brought to
// equilibrium by Newton passes inside an outer loop on the tie/strut map, finer steps when an
// attempt cannot be completed, each step started from the secant through the last equilibrium
// states where the response is close to proportional; the finalisation of the tie/strut state
// at the full load; and the messages of the failures on the way.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "models/varn/active_map.h"
#include "models/varn/second_order/newton.h"

namespace varn::second_order {

// Why a step attempt could not be completed: the load steps are then refined.
enum class Refinement { SingularTangent, FailedLineSearch, NewtonExhausted, OuterLoopLimit };

// One step attempt at step k of n: Newton passes inside the outer loop on the tie/strut map,
// with cycle detection. `pass(frozen)` runs one pass on the state (with the map held when
// frozen); `reactivate()` is the post-convergence check that may switch members back on (it
// changes state.active and says whether it did). Returns nothing when the step is accepted,
// else the refinement it needs, with u (and u_r) back at the step start where the rules say
// so. A step is only accepted on a converged pass; a converged pass on a tangent that is not
// positive definite fails the solve.
// `indefinite(k, n)`, when set, words that failure (the load beyond the elastic critical
// load otherwise).
struct StepHooks {
  std::function<Expected<PassOutcome>(bool frozen)> pass;
  std::function<bool()> reactivate;
  std::function<std::string(std::size_t k, std::size_t n)> indefinite;
};
Expected<std::optional<Refinement>> run_step_attempt(NewtonState& state, std::size_t k, std::size_t n,
                                                     const StepHooks& hooks);

// Finalisation of the tie/strut state after the load steps: while `switch_off()` switches an
// active tie in compression (or strut in tension) beyond the full slack off, `step()` brings
// the structure without it back into equilibrium with the full load (a step attempt at step n
// of n). A step that would need refinement fails the solve with that refinement's message for
// step n of n. Returns whether anything was switched.
struct FinalisationHooks {
  std::function<bool()> switch_off;
  std::function<Expected<std::optional<Refinement>>()> step;
};
Expected<bool> run_finalisation(NewtonState& state, std::size_t n, const FinalisationHooks& hooks);

// The message of a refinement that the finest subdivision does not complete, at step k of n.
std::string refinement_failure(Refinement trigger, std::size_t k, std::size_t n);

// A tangent that is not positive definite with a structure that has no critical load at all:
// one that its elastic stiffness alone does not hold (a mechanism, a node free to move) is
// reported as first order finds it, the DOF where its factorisation breaks down named, for no
// load is small enough for it; otherwise the load exceeds the elastic critical load at step k
// of n.
std::string not_positive_definite(const NewtonSetup& setup, const ActiveMap& active, std::size_t k, std::size_t n);

// One step attempt with the Newton passes of the solve: the hooks of `run_step_attempt` on the
// setup, the kept factor, the statistics and the pass count the solve carries.
struct Stepper {
  const NewtonSetup& setup;
  TangentSolver& solver;
  NewtonStats& stats;
  std::size_t& passes;

  Expected<std::optional<Refinement>> run(const Eigen::VectorXd& f_ext, double load_factor, NewtonState& state,
                                          std::size_t k, std::size_t n, std::uint32_t* iterations);
};

// The start of each step from the secant through the last two equilibrium states (the unloaded
// one counting at λ = 0, and the solve's start, which carries the full load, at λ = 1 before
// the first step): the response of a P-delta model without ties, struts, curves or eliminated
// links is close to proportional, so the step starts near its solution and the kept factor needs
// few iterations. Only the first stepping has the full-load start among its anchors: a
// refinement discards them all, and its steps build their secant from their own equilibrium
// states. Disabled, it never gives a start.
class SecantStart {
 public:
  SecantStart(bool enabled, const Eigen::VectorXd& start);
  // The start of the step at λ, when two anchors exist.
  std::optional<Eigen::VectorXd> at(double lambda) const;
  // The step at λ was accepted with u.
  void accepted(double lambda, const Eigen::VectorXd& u);
  // The steps are refined: every anchor is dropped.
  void refined();

 private:
  struct Anchor {
    double lambda;
    Eigen::VectorXd u;
  };
  bool enabled_;
  std::vector<Anchor> anchors_;
  bool full_load_anchor_ = false;
};

// The load steps of f at `steps_total` steps of the coarsest subdivision, refined as the
// attempts need: k = 1..N, λ = k/N, N = m·steps_total with the substep multiplier m doubled at
// each refinement up to 1024. Returns N at the end; `multiplier` is m, `iterations_per_step`
// the Newton iterations of each accepted step of the final stepping.
struct LoadStepsReport {
  std::size_t& multiplier;
  std::vector<std::uint32_t>& iterations_per_step;
};
Expected<std::size_t> run_load_steps(const Eigen::VectorXd& f, std::size_t steps_total, Stepper& stepper,
                                     SecantStart& secant, NewtonState& state, const LoadStepsReport& report);

}  // namespace varn::second_order
