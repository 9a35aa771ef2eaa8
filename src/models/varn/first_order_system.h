#pragma once
// Types of the first-order solves: the state a full active-set solve ends in, the timing sums
// of its loop, and the factorised first-order system that all load combinations of one
// request are solved against when the model has rigid links, ties or struts. The cached
// system is built and factorised once by the cached-combination strategy
// (`CachedCombinations::build`, cached_combinations.h), owned by the pipeline and read
// concurrently by the load-case tasks (their first pass) and then by the combination tasks;
// between the two phases the pipeline adds the factors the load cases ended with, and nothing
// in it changes while tasks read it. Every combination is one solve against the kept factor,
// and a re-solve starts from the nearest kept factor.
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <Eigen/Core>

#include "models/varn/member_results.h"
#include "functions/sparse.h"
#include "models/varn/active_map.h"
#include "models/varn/rigid_elimination.h"
#include "models/varn/support_state.h"
#include "models/varn/switch_basis.h"
#include "models/varn/switched_operator.h"

namespace varn {

// A factor of the penalised operator of one tie/strut state, kept for later solves (its
// solver holds the supported DOFs it was made with).
struct KeptActiveFactor {
  ActiveMap active;
  ConstrainedSparseSolver solver;
};

// The end of a full active-set solve: displacements, the tie/strut and one-sided support
// states they agree with and, on the penalty path, the factor of that state's operator.
struct FirstOrderSolveOutput {
  Eigen::VectorXd u;
  ActiveMap active;
  SupportState released;
  std::optional<KeptActiveFactor> factor;
  // The unstabilised operator of that state, when the solve built it (for the statics test).
  std::optional<MovableSparseMatrix> unstabilised;
};

// What one active-set solve spent where (seconds, monotonic clock), for the timing log line.
struct FirstOrderLoopStats {
  unsigned iterations = 0;  // passes of the active-set loop
  double elimination = 0.0;
  double assembly = 0.0;  // operator builds inside the loop
  double solve = 0.0;     // constrained solves inside the loop (reduction included)
  double active = 0.0;    // active-set updates inside the loop
  unsigned factorizations = 0;    // numeric factorisations made by the loop (a shared one not counted)
  unsigned low_rank_updates = 0;  // passes that modified a kept factor instead
};

// A solved load case before it is stored: its name, displacements, reactions, the final
// tie/strut state and the member results recovered with it, and what the solve spent.
struct FirstOrderCaseSolution {
  std::string name;
  Eigen::VectorXd u;
  Eigen::VectorXd reactions;
  ActiveMap active;
  MemberResultMap member_results;
  std::optional<KeptActiveFactor> factor;  // of the final state's operator, when the loop kept one
  FirstOrderLoopStats stats;
  double seconds = 0.0;  // from the start of the active-set loop to the recovered reactions
};

// Rigid links eliminated: the reduced stiffness K_r = Cᵀ·K·C with the supports imposed on it
// (exactly where a held DOF is retained or follows one reduced DOF, by a penalty otherwise),
// factorised once, and the reduced indices held exactly, at which every reduced load vector is
// zeroed before the solve. The factor is not made when nothing is retained.
struct PrecomputedFirstOrder {
  RigidElimination elimination;
  ReducedFactor factor;
};

// No elimination: the global stiffness with the support penalty on every constrained
// diagonal, factorised once; every load vector is zeroed at the constrained DOFs before the
// solve.
struct PenalisedSparseFirstOrder {
  ConstrainedSparseSolver solver;
};

// A load of the request made ready while the switch basis is built: its vector and the
// forward half of its solve with the all-on factor (SwitchBasis::forward_of).
struct PreparedLoad {
  Eigen::VectorXd f;
  SwitchBasis::StateInverse::Forward forward;
};

struct CachedFirstOrderSystem {
  std::variant<PrecomputedFirstOrder, PenalisedSparseFirstOrder> form;
  // Every tie and strut on: the state the cached stiffness was built for.
  ActiveMap initial_active;
  // The factors the load cases of the request ended with (list order), with the penalty of
  // `form`: a combination's re-solve starts from whichever kept factor is nearest its state.
  std::vector<KeptActiveFactor> case_factors;
  // The penalised form's operator without stabilising terms, that every cached solution is
  // carried over to.
  std::optional<MovableSparseMatrix> unstabilised;
  // The element matrices every active-set pass of the request assembles its operator from
  // (penalised form only).
  std::optional<SwitchedOperator> switched_operator;
  // Every tie and strut's columns solved with the all-on factor, through which every state of
  // the request's active-set loops is solved (penalised form, when the model is not too large
  // for it).
  std::optional<SwitchBasis> switch_basis;
  // The loads of the load cases and combinations named to `CachedCombinations::build`, by id,
  // made beside the switch basis (only with one); a load that failed to assemble is left out,
  // for its own solve to report.
  std::map<std::uint32_t, PreparedLoad> case_loads, combination_loads;
};

}  // namespace varn
