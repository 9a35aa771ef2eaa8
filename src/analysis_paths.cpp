#include "analysis_paths.h"

#include <tbb/parallel_for.h>

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "logging.h"

namespace varn {

namespace {

// The sets this run computed (in SI), back in the model's units, side by side on the pool. A
// model in SI leaves them as they are: every factor is one, and so is every product with it.
void convert_run_sets(std::map<std::string, Results>& sets, const std::map<std::string, Results>* carried,
                      const std::set<std::string>& inserted_by_run, const UnitFactors& factors) {
  if (factors.length == 1.0 && factors.force == 1.0 && factors.pressure == 1.0) return;
  std::vector<Results*> computed;
  for (auto& [name, set] : sets) {
    const bool came_with_input = carried && carried->count(name) != 0 && inserted_by_run.count(name) == 0;
    if (!came_with_input) computed.push_back(&set);
  }
  tbb::parallel_for(std::size_t{0}, computed.size(), [&](std::size_t i) { denormalize_results(*computed[i], factors); });
}

}  // namespace

const std::shared_ptr<spdlog::logger>& analysis_log() {
  static const std::shared_ptr<spdlog::logger> log = logger_for("varn_calculations::analysis");
  return log;
}

Expected<void> insert_item_results(PipelineRun& run, ResultMap map, std::vector<ItemResult> items) {
  for (const ItemResult& item : items) {
    if (!item) return fail(item.error());
  }
  if (!run.working.results) run.working.results.emplace();
  ResultsBundle& bundle = *run.working.results;
  auto& target = map == ResultMap::LoadCases ? bundle.loadcases : bundle.loadcombinations;
  auto& inserted = map == ResultMap::LoadCases ? run.inserted_load_cases : run.inserted_combinations;
  for (auto& item : items) {
    auto& [name, set] = *item;
    std::string key = unique_result_key(target, name, map == ResultMap::LoadCombinations);
    set.name = key;
    inserted.insert(key);
    target.emplace(std::move(key), std::move(set));
  }
  return {};
}

ResultsBundle bundle_in_model_units(ResultsBundle working_bundle, const ResultsBundle* input, const PipelineRun& run,
                                    const UnitFactors& factors) {
  convert_run_sets(working_bundle.loadcases, input ? &input->loadcases : nullptr, run.inserted_load_cases, factors);
  convert_run_sets(working_bundle.loadcombinations, input ? &input->loadcombinations : nullptr,
                   run.inserted_combinations, factors);
  return working_bundle;
}

}  // namespace varn
