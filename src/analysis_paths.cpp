#include "analysis_paths.h"

#include <tbb/parallel_for.h>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "logging.h"

namespace varn {

namespace {

// The sets this run computed (in SI), back in the model's units, side by side on the pool. A
// model in SI leaves them as they are: every factor is one, and so is every product with it.
void convert_run_sets(std::map<std::string, Results>& sets, const UnitFactors& factors) {
  if (factors.length == 1.0 && factors.force == 1.0 && factors.pressure == 1.0) return;
  std::vector<Results*> computed;
  computed.reserve(sets.size());
  for (auto& entry : sets) computed.push_back(&entry.second);
  tbb::parallel_for(std::size_t{0}, computed.size(), [&](std::size_t i) { denormalize_results(*computed[i], factors); });
}

// Each set of the run in place of a carried set of its name, the other carried sets kept.
void replace_by_name(std::map<std::string, Results>& carried, std::map<std::string, Results>& computed) {
  for (auto& [name, set] : computed) carried.insert_or_assign(name, std::move(set));
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
  for (auto& item : items) {
    auto& [name, set] = *item;
    std::string key = unique_result_key(target, name, map == ResultMap::LoadCombinations);
    set.name = key;
    target.emplace(std::move(key), std::move(set));
  }
  return {};
}

std::optional<ResultsBundle> output_results(std::optional<ResultsBundle> computed,
                                            std::optional<ResultsBundle> carried, const UnitFactors& factors) {
  if (!computed) return carried;
  convert_run_sets(computed->loadcases, factors);
  convert_run_sets(computed->loadcombinations, factors);
  if (!carried) return computed;
  replace_by_name(carried->loadcases, computed->loadcases);
  replace_by_name(carried->loadcombinations, computed->loadcombinations);
  return carried;
}

}  // namespace varn
