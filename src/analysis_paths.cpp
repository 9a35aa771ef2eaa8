#include "analysis_paths.h"

#include <string>
#include <utility>
#include <vector>

namespace varn {

std::vector<std::string> insert_item_results(PipelineRun& run, ResultMap map, std::vector<ItemResult> items) {
  std::vector<std::string> failures;
  if (!run.working.results) run.working.results.emplace();
  ResultsBundle& bundle = *run.working.results;
  auto& target = map == ResultMap::LoadCases ? bundle.loadcases : bundle.loadcombinations;
  auto& inserted = map == ResultMap::LoadCases ? run.inserted_load_cases : run.inserted_combinations;
  for (auto& item : items) {
    if (!item) {
      failures.push_back(item.error());
      continue;
    }
    auto& [name, set] = *item;
    target.insert_or_assign(name, std::move(set));
    inserted.insert(std::move(name));
  }
  return failures;
}

}  // namespace varn
