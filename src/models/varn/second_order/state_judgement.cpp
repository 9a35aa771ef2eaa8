#include "models/varn/second_order/state_judgement.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "diagnostics/diagnostics.h"
#include "fatal.h"
#include "functions/geometry.h"
#include "models/varn/equilibrium_check.h"
#include "models/varn/second_order/reduced_reactions.h"
#include "models/varn/second_order/residual_measure.h"
#include "models/varn/varn.h"

namespace varn::second_order {

namespace {

// Round-off of the residual itself: the iterations allow the bound eps·(|K||u| + |f|) once, the
// judgement ten times, so that no state the iterations accept is refused for the round-off of
// another evaluation of the same forces (the co-rotational forces are judged with the elastic
// operator's bound as well).
constexpr double kAboveRoundOff = 10.0;

using diagnostics::ratio_text;

}  // namespace

Expected<StateFigures> judge_second_order_state(const VARN& model, const ResultType& type, const JudgedState& state,
                                                const std::vector<std::size_t>& constrained, const RigidPath* rigid,
                                                const SupportState& released, double tol,
                                                const SparseMatrix& round_off) {
  const Eigen::Index n = state.f_ext.size();
  if (state.u.size() != n || state.f_int.size() != n) fatal("second-order state judgement: vectors differ in size");
  if (!state.u.allFinite() || !state.f_int.allFinite()) {
    // Results that are not finite have their own message, naming where they appear.
    return StateFigures{};
  }
  const Eigen::VectorXd r = state.f_int - state.f_ext;

  const double length = model_extent(model);
  ResidualMeasure::ByDirection figures;
  if (rigid == nullptr) {
    // Held: what the solve holds, and every DOF a support holds.
    Eigen::VectorXd free_flag = Eigen::VectorXd::Ones(n);
    model.zero_support_dofs(free_flag, released);
    for (const std::size_t d : constrained) {
      check_index(d, static_cast<std::size_t>(n), "constrained DOF");
      free_flag[static_cast<Eigen::Index>(d)] = 0.0;
    }
    std::vector<std::size_t> held;
    for (Eigen::Index i = 0; i < n; ++i) {
      if (free_flag[i] == 0.0) held.push_back(static_cast<std::size_t>(i));
    }
    ResidualMeasure measure = ResidualMeasure::global(static_cast<std::size_t>(n), held, length);
    measure.set_round_off(round_off);
    const Eigen::VectorXd r_free = r.cwiseProduct(free_flag);
    figures = measure.by_direction(r_free, r, state.f_ext, &state.u);
  } else {
    const RigidElimination& e = rigid->elimination;
    const ReducedReactions reactions = ReducedReactions::build(model, e, released);
    std::vector<std::uint8_t> direction(e.n_r, 0);
    for (std::size_t d = 0; d < e.n; ++d) {
      if (const auto col = e.reduced_column(d)) direction[*col] = static_cast<std::uint8_t>(d % kDofsPerNode);
    }
    std::vector<char> held(e.n_r, 0);
    for (const std::size_t i : reactions.exact) {
      check_index(i, e.n_r, "exactly fixed reduced DOF");
      held[i] = 1;
    }
    ResidualMeasure measure(std::move(direction), std::move(held), length);
    if (!e.identity) measure.set_round_off(round_off, &e.c);
    else measure.set_round_off(round_off);
    const Eigen::VectorXd r_r = e.identity ? r : Eigen::VectorXd(e.c.transpose() * r);
    const Eigen::VectorXd f_r = e.identity ? state.f_ext : Eigen::VectorXd(e.c.transpose() * state.f_ext);
    Eigen::VectorXd r_free = r_r;
    reactions.remove_from(r_free);
    figures = measure.by_direction(r_free, r_r, f_r, &state.u);
  }

  StateFigures out;
  for (std::size_t d = 0; d < figures.relative.size(); ++d) {
    const double allowed = kStateToleranceMultiple * tol + kAboveRoundOff * figures.round_off[d];
    const double share = figures.relative[d];
    if (!(share <= out.worst)) {
      out.worst = share;
      out.direction = d;
      out.allowed = allowed;
    }
    if (!(share <= allowed)) {
      return fail("Second-order: the final state is not in equilibrium: its unbalanced force in " +
                  diagnostics::dof_text(d) + " is " + ratio_text(share) + " of the loads and reactions in that direction (" +
                  type.label() + ")");
    }
  }
  return out;
}

}  // namespace varn::second_order
