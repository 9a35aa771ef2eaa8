#pragma once
// The last test a second-order state passes before it is reported, made on the state itself and
// not on the history of the iterations that led to it: its unbalanced force on the deformed
// structure (the internal forces of the formulation it was solved with, less the loads), one
// global direction at a time, against the loads and reactions of that direction. Whatever
// ended the iterations (a residual test, a small step, a frozen tie/strut state, a phase that
// accepted its start), a state that does not balance its loads is refused, never reported.
#include <cstddef>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "functions/sparse.h"
#include "models/results/results.h"
#include "models/varn/active_map.h"
#include "models/varn/second_order/starting_state.h"
#include "models/varn/support_state.h"

namespace varn {
struct VARN;
}

namespace varn::second_order {

struct JudgedState {
  const Eigen::VectorXd& u;      // global displacements
  const Eigen::VectorXd& f_int;  // internal forces at u (global)
  const Eigen::VectorXd& f_ext;  // the loads at u (global)
  const ActiveMap& active;       // tie/strut state
};

// The largest unbalanced share of a direction's forces a state may keep, and where it lies.
struct StateFigures {
  double worst = 0.0;       // largest figure over the directions
  std::size_t direction = 0;  // 0..6 (UX..RZ, WARP) where it lies
  double allowed = 0.0;     // what that direction was allowed
};

// Judges the state. `constrained` are the DOFs the solve holds on the sparse path; `rigid` the
// elimination on the rigid path; `round_off` the structure's operator, whose |K|·|u| bounds
// the round-off of the residual. A direction may keep ten times the tolerance of its forces,
// beyond ten times the bound of what round-off can leave there. Messages:
//   "Second-order: the final state is not in equilibrium: its unbalanced force in {UX..WARP} is
//    {ratio} of the loads and reactions in that direction ({LC|Combo} {id})"
// and those of the stiffness assembly.
Expected<StateFigures> judge_second_order_state(const VARN& model, const ResultType& type, const JudgedState& state,
                                                const std::vector<std::size_t>& constrained, const RigidPath* rigid,
                                                const SupportState& released, double tol,
                                                const SparseMatrix& round_off);

}  // namespace varn::second_order
