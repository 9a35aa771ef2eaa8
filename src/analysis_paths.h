#pragma once
// What the pipeline hands to the solve paths of its two phases, and the collection of the
// parallel loops those paths run. The driver (analysis.cpp) picks the phase by the analysis
// order; each path solves on the working model and stores or returns its result sets.
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

#include "expected.h"
#include "models/results/results.h"
#include "models/varn/cached_combinations.h"
#include "models/varn/varn.h"

namespace varn {

// The logger of the pipeline and its solve paths ("varn_calculations::analysis").
const std::shared_ptr<spdlog::logger>& analysis_log();

// The two maps of a results bundle.
enum class ResultMap { LoadCases, LoadCombinations };

// One request's working state as the solve paths see it.
struct PipelineRun {
  VARN& working;                              // SI copy of the parsed model; its bundle collects the run
  std::vector<std::uint32_t> load_case_ids;   // "load_cases" ids in list order
  std::vector<std::uint32_t> combination_ids; // "load_combinations" ids in list order
  std::uint32_t max_iterations = 20;          // for log lines; the solvers read it from the model
  double tolerance = 0.0;                     // for log lines; the solvers read it from the model

  // Set when the load-case phase solved the combinations too, with the same factorisation;
  // the combination phase then only reports their outcome.
  bool combinations_solved_with_cases = false;
  Expected<void> combination_outcome;

  // First order with ties or struts: the cached-combination strategy, its all-on system
  // factorised once by the load-case phase, whose factor the first pass of every load case, the
  // cached combination solves and their re-solves share, with the factors the load cases ended
  // with (null until made, or when the load-case phase did not run).
  std::shared_ptr<CachedCombinations> cached_combinations;
};

// One item of a parallel loop: the result set under the name to store it by (the load case's
// or combination's own name), or a message.
using ItemResult = Expected<std::pair<std::string, Results>>;

// Runs task(id) for every id on the shared pool and returns the item results in id order.
// Every item is computed before any result is looked at, and a fatal fault thrown by a task is
// held with its item, so that what reaches the caller never depends on the order in which the
// tasks ran: walking the items in list order, the first fault is rethrown, and the walk stops
// at the first message, with which the returned list then ends.
template <class Task>
std::vector<ItemResult> run_items_in_parallel(const std::vector<std::uint32_t>& ids, Task&& task) {
  std::vector<std::optional<ItemResult>> slots(ids.size());
  std::vector<std::exception_ptr> faults(ids.size());
  tbb::parallel_for(std::size_t{0}, ids.size(), [&](std::size_t i) {
    try {
      slots[i].emplace(task(ids[i]));
    } catch (...) {
      faults[i] = std::current_exception();
    }
  });
  std::vector<ItemResult> items;
  items.reserve(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (faults[i]) std::rethrow_exception(faults[i]);
    items.push_back(std::move(*slots[i]));
    if (!items.back()) break;
  }
  return items;
}

// Inserts the results of a finished loop, in list order, into the working model's bundle
// (created empty when absent), unless one failed: a load case or combination that fails ends
// the run with its message, the first in list order (a design that loops over the sets it
// finds must never pass over one that failed), and nothing is inserted. The working bundle
// holds only the sets of this run: a name an earlier item took is made unique as a stored
// set's is, "{name} ({n})" with the smallest free n >= 2, so that no result set of the run is
// lost; the set carries its final key as its name.
Expected<void> insert_item_results(PipelineRun& run, ResultMap map, std::vector<ItemResult> items);

// The output's results: the sets this run computed (`computed`, in SI) back in the model's
// units, each in place of a set of the same name that came with the input (`carried`, in the
// model's units already, handed back as it came otherwise, with its unity-check overview).
// Nothing when neither holds a bundle.
std::optional<ResultsBundle> output_results(std::optional<ResultsBundle> computed,
                                            std::optional<ResultsBundle> carried, const UnitFactors& factors);

// ---- solve paths of the two phases ----
// Load-case phase (run only when "solve_loadcases" is true) and combination phase (run only
// when the model has combinations), for each analysis order. A returned message ends the run.

Expected<void> solve_load_cases_first_order(PipelineRun& run);
Expected<void> solve_combinations_first_order(PipelineRun& run);
Expected<void> solve_load_cases_second_order(PipelineRun& run);
Expected<void> solve_combinations_second_order(PipelineRun& run);

}  // namespace varn
