// Second-order (nonlinear) solve paths of the two pipeline phases. A second-order solve writes
// into the model it runs on (the derived P-delta axes and its result set), so every solve that
// runs beside others owns a deep copy of the working model: load cases in parallel when there
// are two or more (a single one on the working model itself), combinations always in parallel.
// A load case or combination that fails ends the run with its message.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "analysis_paths.h"

namespace varn {

namespace {

// A task's set goes into the working bundle under the item's own name, made unique there as
// one solve after another would have made it in a single model.
template <class Item>
ItemResult named(Expected<Results> solved, const std::vector<Item>& items, std::uint32_t id,
                 const std::string& prefix) {
  if (!solved) return fail(prefix + solved.error());
  std::string name = solved->name;
  for (const Item& item : items) {
    if (item.id == id) {
      name = item.name;
      break;
    }
  }
  return std::make_pair(std::move(name), std::move(*solved));
}

}  // namespace

Expected<void> solve_load_cases_second_order(PipelineRun& run) {
  VARN& model = run.working;
  const std::vector<std::uint32_t>& ids = run.load_case_ids;

  if (ids.size() >= 2) {
    analysis_log()->info("Parallel-solving {} second-order load cases.", ids.size());
    const VARN& shared = model;
    std::vector<ItemResult> items = run_items_in_parallel(ids, [&](std::uint32_t id) -> ItemResult {
      VARN copy = shared.clone();
      return named(copy.solve_for_load_case_second_order(id), shared.load_cases, id,
                   "LC " + std::to_string(id) + " second-order error: ");
    });
    return insert_item_results(run, ResultMap::LoadCases, std::move(items));
  }

  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::uint32_t id = ids[i];
    analysis_log()->info("Solving load case {} with second-order (Newton–Raphson), tolerance={}, max_iterations={}",
                         id, run.tolerance, run.max_iterations);
    auto solved = model.solve_for_load_case_second_order(id);
    if (!solved) return fail("LC " + std::to_string(id) + " second-order error: " + solved.error());
    analysis_log()->info("LC {}/{} (id={}) done.", i + 1, ids.size(), id);
  }
  return {};
}

Expected<void> solve_combinations_second_order(PipelineRun& run) {
  const VARN& shared = run.working;
  const std::vector<std::uint32_t>& ids = run.combination_ids;
  std::vector<ItemResult> items = run_items_in_parallel(ids, [&](std::uint32_t id) -> ItemResult {
    VARN copy = shared.clone();
    return named(copy.solve_for_load_combination_second_order(id),
                 shared.load_combinations, id, "Combo " + std::to_string(id) + " second-order error: ");
  });
  return insert_item_results(run, ResultMap::LoadCombinations, std::move(items));
}

}  // namespace varn
