#pragma once
// The first-order (linear) solution strategies of load cases and combinations, on the model
// record as data: the tie/strut active-set solve of one load vector, the solve of one load
// case (with its storing apart, so that independent load cases can run side by side on a
// shared model), and the batched solves that put every load case, or every combination, of a
// model without rigid links, ties and struts against one factorisation. SI units. The
// combinations of models with rigid links, ties, struts or one-sided supports are solved by
// the cached-combination strategy (cached_combinations.h).
#include <cstdint>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "models/results/results.h"
#include "models/varn/active_map.h"
#include "models/varn/first_order_system.h"
#include "models/varn/support_state.h"
#include "models/varn/switch_basis.h"

namespace varn {

struct VARN;

// The active-set loop for the load vector f from (u_start, active_start, released_start):
// loop passes with or without reactivation of ties and struts, then a reactivation pass and
// a final consistency pass; a pass that switches a member sends the solve back into the
// loop, so the returned state always agrees with the returned displacements. Every loop
// pass also switches the one-sided supports, judged by the support forces of `loading` (the
// load case or combination whose vector f is; needed when the model has one-sided
// supports). A state met again after the loop has left it is a cycle: the message
// "Active-set iteration cycles between {n} states without settling". The passes are bounded
// by the number of switchable items whatever max_iterations says. Counts and times into
// `stats` when given. `shared`: the request's all-on system, whose factor serves the first
// pass and is modified by low rank for later ones; null: the loop factorises its own.
Expected<FirstOrderSolveOutput> solve_first_order_active_set(const VARN& model, const Eigen::VectorXd& f,
                                                             Eigen::VectorXd u_start, ActiveMap active_start,
                                                             bool reactivation_in_loop,
                                                             FirstOrderLoopStats* stats = nullptr,
                                                             const ResultType* loading = nullptr,
                                                             SupportState released_start = {},
                                                             const CachedFirstOrderSystem* shared = nullptr,
                                                             SwitchBasis::StateInverse::Forward forward = {});

// One load case solved from rest with every tie and strut on, its reactions recovered and
// its equilibrium checked, without storing; `shared` as above (its prepared load and forward
// half are used when it has them).
Expected<FirstOrderCaseSolution> solve_load_case_unstored(const VARN& model, std::uint32_t load_case_id,
                                                          const CachedFirstOrderSystem* shared = nullptr);
// Stores such a solution (name made unique, with its "[SOLVE]" timing line) and checks that
// it is finite; returns the stored set.
Expected<Results*> store_load_case_solution(VARN& model, std::uint32_t load_case_id, FirstOrderCaseSolution solution);
// Both: stores the load case's result set and returns a copy of it.
Expected<Results> solve_for_load_case(VARN& model, std::uint32_t load_case_id);

// Load cases and combinations of a model without ties, struts or rigid links meet one and
// the same operator, so both batches are solved with one factorisation, one result set
// stored per item. The outcome of each batch is what its own batched solve would have given;
// the combinations are only attempted once the load cases succeeded.
struct BatchedOutcome {
  Expected<void> cases;
  Expected<void> combinations;
};
BatchedOutcome solve_cases_and_combinations_batched_first_order(VARN& model,
                                                                const std::vector<std::uint32_t>& load_case_ids,
                                                                const std::vector<std::uint32_t>& combination_ids);
// The batch above with the other list empty.
Expected<void> solve_load_cases_batched_first_order(VARN& model, const std::vector<std::uint32_t>& load_case_ids);
Expected<void> solve_load_combinations_batched_first_order(VARN& model,
                                                           const std::vector<std::uint32_t>& combination_ids);

}  // namespace varn
