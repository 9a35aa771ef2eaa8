#pragma once
// The second-order solve of one load vector with a report of where its work went: the same
// solve as `VARN::solve_second_order_common`, which calls this without a report. The report is
// for benchmarks and tests; nothing of it reaches the results.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "models/results/results.h"
#include "models/varn/active_map.h"
#include "models/varn/second_order/load_stepping.h"
#include "models/varn/second_order/newton.h"

namespace varn {
struct VARN;
}

namespace varn::second_order {

struct SolveReport {
  std::size_t steps_total = 0;       // load steps at the coarsest subdivision (1, 5 or 20)
  std::size_t substep_multiplier = 1;
  // Newton iterations of each accepted load step of the final stepping, in load order.
  std::vector<std::uint32_t> iterations_per_step;
  std::size_t passes = 0;            // Newton passes over the whole solve
  NewtonStats newton;
  double starting_state = 0.0;       // seconds: projector, first-order state
  double recovery = 0.0;             // seconds: member results, reactions, storing
  double total = 0.0;
  bool finalisation_rerun = false;   // a tie or strut switched off after the load steps
};

Expected<Results> solve_second_order(VARN& model, const Eigen::VectorXd& f, std::string name, bool is_combination,
                                     std::uint32_t id, std::optional<Eigen::VectorXd> predictor, std::optional<ActiveMap> initial_active,
                                     SolveReport* report);

}  // namespace varn::second_order
