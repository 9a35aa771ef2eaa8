// Second-order (nonlinear) solve paths of the two pipeline phases.
#include "analysis_paths.h"

namespace varn {

namespace {

// No geometrically nonlinear solver is built into this engine yet. A model that asks for one
// is refused rather than returned without results, which a caller could take for success.
Expected<void> refuse_second_order(const std::vector<std::uint32_t>& ids) {
  if (ids.empty()) return {};
  return fail(
      "Second-order analysis is not available in this version of the engine: the load cases and "
      "combinations of a model with analysis_options.order \"Nonlinear\" cannot be solved.");
}

}  // namespace

Expected<void> solve_load_cases_second_order(PipelineRun& run) { return refuse_second_order(run.load_case_ids); }

Expected<void> solve_combinations_second_order(PipelineRun& run) {
  return refuse_second_order(run.combination_ids);
}

}  // namespace varn
