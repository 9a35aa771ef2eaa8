// First-order (linear) solve paths of the two pipeline phases. Models without rigid links,
// ties, struts and one-sided supports put all load cases, and all combinations, against one factorisation each.
// Otherwise load cases are solved one by one with the active-set loop, and combinations in
// parallel against one cached system with every tie and strut on. A combination that fails
// ends the run with its message, as a load case does.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/logger.h>
#include <tbb/parallel_for.h>

#include "analysis_paths.h"
#include "logging.h"
#include "models/varn/cached_combinations.h"
#include "models/varn/first_order.h"

namespace varn {

namespace {

// The pipeline's target, "varn_calculations::analysis".
const std::shared_ptr<spdlog::logger>& path_log() {
  static const std::shared_ptr<spdlog::logger> log = logger_for("varn_calculations::analysis");
  return log;
}

// Rigid links, ties, struts and one-sided supports each make the operator depend on the load
// (eliminated links aside, through the switched state): no batch over one factorisation.
bool has_special_members(const VARN& model) {
  return model.has_rigid_members() || model.has_tension_compression_members() || has_unilateral_supports(model);
}

// One load case solved without storing: its solution or message, or the fatal fault it raised.
struct CaseOutcome {
  std::optional<Expected<FirstOrderCaseSolution>> solution;
  std::exception_ptr fault;
};

// Every load case solved without storing, one task per case on the shared pool, kept in list
// order. Faults are held with their case so that the caller meets them in list order, where a
// solve in turn would have raised them.
std::vector<CaseOutcome> solve_cases_side_by_side(const VARN& model, const std::vector<std::uint32_t>& ids,
                                                 const CachedFirstOrderSystem* shared) {
  std::vector<CaseOutcome> outcomes(ids.size());
  tbb::parallel_for(std::size_t{0}, ids.size(), [&](std::size_t i) {
    try {
      outcomes[i].solution.emplace(solve_load_case_unstored(model, ids[i], shared));
    } catch (...) {
      outcomes[i].fault = std::current_exception();
    }
  });
  return outcomes;
}

}  // namespace

Expected<void> solve_load_cases_first_order(PipelineRun& run) {
  VARN& model = run.working;
  const std::vector<std::uint32_t>& ids = run.load_case_ids;

  Expected<void> outcome;
  if (ids.size() >= 2 && !has_special_members(model)) {
    path_log()->info("Batch-solving {} first-order load cases (single factorisation).", ids.size());
    if (!run.combination_ids.empty()) {
      // The combinations will be batched against the same operator: one factorisation for both.
      auto both = solve_cases_and_combinations_batched_first_order(model, ids, run.combination_ids);
      if (!both.cases) {
        outcome = fail("Batched LC solve error: " + both.cases.error());
      } else {
        run.combinations_solved_with_cases = true;
        if (!both.combinations) run.combination_outcome = fail("Batched combo solve error: " + both.combinations.error());
      }
    } else if (auto done = solve_load_cases_batched_first_order(model, ids); !done) {
      outcome = fail("Batched LC solve error: " + done.error());
    }
  } else {
    // First-order load cases are independent of each other: they are solved side by side on
    // the shared model and stored afterwards one by one in list order, so names, messages and
    // output are those of solving them in turn.
    // With ties or struts every load case starts from the all-on operator, which is also the
    // cached system of the combinations: it is factorised once here for all of them. A system
    // that cannot be built is left to each load case's own solve, which words the failure.
    if (model.has_tension_compression_members() && !ids.empty()) {
      if (auto cached = CachedCombinations::build(model, ids, run.combination_ids)) {
        run.cached_combinations = std::make_shared<CachedCombinations>(std::move(*cached));
      }
    }
    std::vector<CaseOutcome> solutions = solve_cases_side_by_side(
        model, ids, run.cached_combinations ? &run.cached_combinations->system() : nullptr);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const std::uint32_t id = ids[i];
      path_log()->info("Solving load case {} with first-order (linear).", id);
      if (solutions[i].fault) std::rethrow_exception(solutions[i].fault);
      Expected<FirstOrderCaseSolution>& solved = *solutions[i].solution;
      if (!solved) {
        outcome = fail("LC " + std::to_string(id) + " linear error: " + solved.error());
        break;
      }
      // The combinations' re-solves start from the nearest of these, in list order.
      if (run.cached_combinations && solved->factor) {
        run.cached_combinations->system().case_factors.push_back(std::move(*solved->factor));
      }
      solved->factor.reset();
      if (auto stored = store_load_case_solution(model, id, std::move(*solved)); !stored) {
        outcome = fail("LC " + std::to_string(id) + " linear error: " + stored.error());
        break;
      }
      path_log()->info("LC {}/{} (id={}) done.", i + 1, ids.size(), id);
    }
  }

  return outcome;
}

Expected<void> solve_combinations_first_order(PipelineRun& run) {
  VARN& model = run.working;
  const std::vector<std::uint32_t>& ids = run.combination_ids;

  if (!has_special_members(model)) {
    path_log()->info("Batch-solving {} first-order combos (single factorisation).", ids.size());
    if (run.combinations_solved_with_cases) return run.combination_outcome;
    if (auto done = solve_load_combinations_batched_first_order(model, ids); !done) {
      return fail("Batched combo solve error: " + done.error());
    }
    return {};
  }

  std::vector<ItemResult> items;
  {
    if (!run.cached_combinations) {
      auto cached = CachedCombinations::build(model);
      if (!cached) return fail("Combo precompute error: " + cached.error());
      run.cached_combinations = std::make_shared<CachedCombinations>(std::move(*cached));
    }
    // The tasks share the model and the cached system read-only; each owns its active map.
    const CachedCombinations& cached = *run.cached_combinations;
    items = run_items_in_parallel(ids, [&](std::uint32_t id) -> ItemResult {
      auto solved = cached.solve(id);
      if (!solved) return fail("Combo " + std::to_string(id) + " error: " + solved.error());
      std::string name = solved->name;
      return std::make_pair(std::move(name), std::move(*solved));
    });
  }
  return insert_item_results(run, ResultMap::LoadCombinations, std::move(items));
}

}  // namespace varn
