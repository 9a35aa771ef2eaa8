// Second-order (nonlinear) solve paths of the two pipeline phases.
#include "analysis_paths.h"

namespace varn {

Expected<void> solve_load_cases_second_order(PipelineRun& run) {
  (void)run;
  return {};
}

Expected<void> solve_combinations_second_order(PipelineRun& run) {
  (void)run;
  return {};
}

}  // namespace varn
