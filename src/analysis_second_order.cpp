// Second-order (nonlinear) solve paths of the two pipeline phases.
#include "analysis_paths.h"

namespace varn {

Expected<void> solve_load_cases_second_order(PipelineRun& run) {
  (void)run;  // no second-order solver is wired in yet: the phase leaves the working model as it is
  return {};
}

Expected<void> solve_combinations_second_order(PipelineRun& run) {
  (void)run;  // no second-order solver is wired in yet: the phase leaves the working model as it is
  return {};
}

}  // namespace varn
