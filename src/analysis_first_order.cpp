// First-order (linear) solve paths of the two pipeline phases.
#include "analysis_paths.h"

namespace varn {

Expected<void> solve_load_cases_first_order(PipelineRun& run) {
  (void)run;
  return {};
}

Expected<void> solve_combinations_first_order(PipelineRun& run) {
  (void)run;
  return {};
}

}  // namespace varn
