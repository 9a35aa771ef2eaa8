#pragma once
// The second-order solve of one load vector with a report of where its work went: the same
// solve as `VARN::solve_second_order_common`, which calls this without a report. The report is
// for benchmarks and tests; nothing of it reaches the results.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "models/results/results.h"
#include "models/varn/active_map.h"
#include "models/varn/second_order/newton.h"

namespace varn {
struct VARN;
}

namespace varn::second_order {

struct SolveReport {
  std::size_t steps_total = 0;       // load steps at the coarsest subdivision (1, 5 or 20)
  std::size_t substep_multiplier = 1;
  // Newton iterations of each accepted load step of the final stepping, in load order.
  std::vector<std::uint32_t> iterations_per_step;
  std::size_t passes = 0;            // Newton passes over the whole solve
  NewtonStats newton;
  double starting_state = 0.0;       // seconds: projector, first-order state
  double recovery = 0.0;             // seconds: member results, reactions, storing
  double total = 0.0;
  bool finalisation_rerun = false;   // a tie or strut switched off after the load steps
};

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

Expected<Results> solve_second_order(VARN& model, const Eigen::VectorXd& f, std::string name, bool is_combination,
                                     std::uint32_t id, std::uint32_t max_iterations,
                                     std::optional<Eigen::VectorXd> predictor, std::optional<ActiveMap> initial_active,
                                     SolveReport* report);

}  // namespace varn::second_order
