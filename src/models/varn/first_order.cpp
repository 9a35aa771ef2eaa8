// First-order (linear) solves of load cases and combinations (see first_order.h): the
// tie/strut active-set loop of a single load case, and the batched solves that put every load
// case, or every combination, of a model without rigid links, ties and struts against one
// factorisation.
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
#include "models/varn/reactions.h"
#include "functions/sparse.h"
#include "logging.h"
#include "models/loads/load_lookup.h"
#include "models/varn/active_set.h"
#include "models/varn/equilibrium_check.h"
#include "models/varn/member_stiffness.h"
#include "models/varn/support_state.h"
#include "models/varn/active_set_loop.h"
#include "models/varn/first_order.h"
#include "models/varn/first_order_passes.h"
#include "models/varn/varn.h"

namespace varn {

namespace {

using Clock = std::chrono::steady_clock;

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

Expected<FirstOrderSolveOutput> solve_first_order_active_set(const VARN& model, const Eigen::VectorXd& f,
                                                             Eigen::VectorXd start, ActiveMap active,
                                                             bool reactivation_in_loop, FirstOrderLoopStats* stats,
                                                             const ResultType* loading, SupportState released,
                                                             const CachedFirstOrderSystem* shared,
                                                             SwitchBasis::StateInverse::Forward forward) {
  FirstOrderLoopStats local;
  FirstOrderLoopStats& st = stats != nullptr ? *stats : local;
  if (start.size() != f.size()) {
    fatal("solve_first_order_common: start displacement of " + std::to_string(start.size()) +
          " entries for a system of " + std::to_string(f.size()));
  }
  StructurePassSolver passes(model, f, loading, shared, std::move(forward), st);
  if (!passes.unilateral().empty() && loading == nullptr) {
    fatal("solve_first_order_common: one-sided supports are judged by the support forces of a load case or "
          "combination, and none was given");
  }
  const AnalysisOptions::SolverLimits limits = model.settings.analysis_options.limits();
  const std::uint32_t max_passes =
      bounded_active_set_passes(limits.max_iterations, active.size() + passes.unilateral().size());
  if (auto ok = passes.prepare(); !ok) return fail(ok.error());

  ActiveSetLoop loop(passes, ActiveSetLoopSettings{limits.tolerance, max_passes, reactivation_in_loop});
  auto settled = loop.run(std::move(start), LoopState{std::move(active), std::move(released)});
  st.iterations = loop.passes();
  st.active += loop.switching_seconds();
  if (!settled) return fail(settled.error());
  return passes.finish(std::move(*settled));
}

Expected<FirstOrderSolveOutput> VARN::solve_first_order_common(const Eigen::VectorXd& f, Eigen::VectorXd start,
                                                               ActiveMap active, bool reactivation_in_loop,
                                                               FirstOrderLoopStats* stats, const ResultType* loading,
                                                               SupportState released,
                                                               const CachedFirstOrderSystem* shared,
                                                               SwitchBasis::StateInverse::Forward forward) const {
  return solve_first_order_active_set(*this, f, std::move(start), std::move(active), reactivation_in_loop, stats,
                                      loading, std::move(released), shared, std::move(forward));
}

Expected<FirstOrderCaseSolution> solve_load_case_unstored(const VARN& model, std::uint32_t load_case_id,
                                                          const CachedFirstOrderSystem* shared) {
  const PreparedLoad* load = nullptr;
  if (shared != nullptr) {
    if (const auto prepared = shared->case_loads.find(load_case_id); prepared != shared->case_loads.end())
      load = &prepared->second;
  }
  Expected<Eigen::VectorXd> f =
      load != nullptr ? Expected<Eigen::VectorXd>(load->f) : model.assemble_load_vector_for_case(load_case_id);
  if (!f) return fail(f.error());
  const LoadCase* lc = find_load_case(model.load_cases, load_case_id);
  if (lc == nullptr) return fail(load_case_not_found(load_case_id));

  const auto start = Clock::now();
  FirstOrderCaseSolution solution;
  solution.name = lc->name;
  const Eigen::VectorXd u0 = Eigen::VectorXd::Zero(f->size());
  const ResultType loading = ResultType::loadcase(load_case_id);
  auto solved = solve_first_order_active_set(model, *f, u0, init_active_map_tie_comp(model), true, &solution.stats,
                                             &loading, {}, shared,
                                             load != nullptr ? load->forward : SwitchBasis::StateInverse::Forward{});
  if (!solved) return fail(solved.error());

  auto composed = compose_support_reaction_vector_equilibrium(model, ResultType::loadcase(load_case_id), solved->u,
                                                              &solved->active, RecoveryMode::FirstOrder, nullptr,
                                                              nullptr, &solved->released);
  if (!composed) return fail(composed.error());
  if (auto ok = check_equilibrium(model, ResultType::loadcase(load_case_id), &solved->active, *f, solved->u,
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

Expected<Results*> store_load_case_solution(VARN& model, std::uint32_t load_case_id, FirstOrderCaseSolution solution) {
  const auto post_start = Clock::now();
  Results& stored = model.build_and_store_results(std::move(solution.name), false, load_case_id, solution.u,
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
  if (auto ok = VARN::check_results_finite(stored); !ok) return fail(ok.error());
  return &stored;
}

Expected<Results> solve_for_load_case(VARN& model, std::uint32_t load_case_id) {
  auto solution = solve_load_case_unstored(model, load_case_id);
  if (!solution) return fail(solution.error());
  auto stored = store_load_case_solution(model, load_case_id, std::move(*solution));
  if (!stored) return fail(stored.error());
  return **stored;
}

Expected<void> solve_load_cases_batched_first_order(VARN& model, const std::vector<std::uint32_t>& load_case_ids) {
  return solve_cases_and_combinations_batched_first_order(model, load_case_ids, {}).cases;
}

Expected<void> solve_load_combinations_batched_first_order(VARN& model,
                                                           const std::vector<std::uint32_t>& combination_ids) {
  return solve_cases_and_combinations_batched_first_order(model, {}, combination_ids).combinations;
}

BatchedOutcome solve_cases_and_combinations_batched_first_order(VARN& model,
                                                                const std::vector<std::uint32_t>& load_case_ids,
                                                                const std::vector<std::uint32_t>& combination_ids) {
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
  auto constrained = model.collect_constrained_dofs_full();
  if (!constrained) return batch_fails(constrained.error());
  auto t = Clock::now();
  auto k = model.build_operator_with_supports_sparse_internal(all_on, nullptr);
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
      if (auto placed = place(j, model.assemble_load_vector_for_case(id)); !placed) return fail(placed.error());
      const LoadCase* lc = find_load_case(model.load_cases, id);
      if (lc == nullptr) return fail(load_case_not_found(id));
      names.push_back(lc->name);
    }
    for (Eigen::Index j = 0; j < combos && combination_loads; ++j) {
      const std::uint32_t id = combination_ids[static_cast<std::size_t>(j)];
      combination_loads = place(cases + j, model.assemble_load_vector_for_combination(id));
      if (combination_loads) names.push_back(find_load_combination(model.load_combinations, id)->name);
    }
    columns = combination_loads ? cases + combos : cases;
    auto check = EquilibriumCheck::build(model, &all_on);
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
  std::vector<Expected<ReactionComposition>> recovered = recover_columns(model, types, *x, loads, *check);
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
        model.build_and_store_results(std::move(names[static_cast<std::size_t>(j)]), combination, id, x->col(j),
                                composed->reactions, &all_on, RecoveryMode::FirstOrder,
                                std::move(composed->member_results));
    if (auto ok = VARN::check_results_finite(stored); !ok) {
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
