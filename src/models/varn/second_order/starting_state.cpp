// The state a second-order solve starts from, and the first-order state of the full load that
// serves as the start when no predictor is handed in.
#include "models/varn/second_order/starting_state.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/sparse.h"
#include "functions/support_utils.h"
#include "models/varn/active_set.h"
#include "models/varn/varn.h"

namespace varn {

Expected<FirstOrderSolveOutput> VARN::first_order_predictor_state(const Eigen::VectorXd& f,
                                                                  const SupportState& released) const {
  const AnalysisOptions& options = settings.analysis_options;
  const double switch_tol = axial_slack_tolerance(*this);

  ActiveMap active = init_active_map_tie_comp(*this);
  // Bounded as the first-order loop is, whatever max_iterations says.
  const std::uint32_t max_it = bounded_active_set_passes(options.max_iterations_or_default(), active.size());
  const std::size_t n = compute_num_dofs_from_members(member_sets);
  if (f.size() != static_cast<Eigen::Index>(n)) {
    fatal("first_order_predictor_state: a load vector of " + std::to_string(f.size()) + " entries for " +
          std::to_string(n) + " DOFs");
  }
  Eigen::VectorXd u = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  const AssemblyContext ctx = build_lookup_maps();

  // Rigid links eliminated (supports imposed on the reduced system) or supports imposed by
  // penalty on the global one.
  std::optional<RigidElimination> elimination;
  std::vector<std::size_t> constrained;
  if (needs_dense_rigid_path()) {
    auto built = build_rigid_elimination_partial_using_hinges();
    if (!built) return fail(built.error());
    elimination = std::move(*built);
  } else {
    auto dofs = collect_constrained_dofs_full(released);
    if (!dofs) return fail(dofs.error());
    constrained = std::move(*dofs);
  }
  const RigidElimination* elim = elimination ? &*elimination : nullptr;

  // The linear solve for the current tie/strut state. On the rigid path the reduced matrix
  // Cᵀ·K·C stays sparse and is factorised by the sparse layer: a dense copy of it would take
  // n_r² doubles.
  auto solve_for_current_map = [&](const std::string& singular_message) -> Expected<Eigen::VectorXd> {
    auto k = build_operator_with_supports_sparse_internal(active, nullptr);
    if (!k) return fail(k.error());
    return solve_constrained_linear_system(*k, f, elim != nullptr ? std::vector<std::size_t>{} : constrained, elim,
                                           singular_message, released);
  };

  bool converged = false;
  for (std::uint32_t it = 0; it < max_it; ++it) {
    auto u_new = solve_for_current_map(elim != nullptr ? "Reduced stiffness matrix is singular in predictor."
                                                       : "Sparse Cholesky failed in predictor.");
    if (!u_new) return fail(u_new.error());
    const Eigen::VectorXd du = *u_new - u;
    u = std::move(*u_new);
    const bool changed = update_active_set(*this, u, active, ctx, switch_tol, true);
    if (!changed && displacement_settled(du, u, options.tolerance)) {
      converged = true;
      break;
    }
  }
  if (!converged) {
    return fail("First-order predictor did not converge within " + std::to_string(max_it) + " iterations");
  }

  // A tie left in compression (or strut in tension) beyond the full slack would start the
  // second-order solve with a member the structure cannot load that way.
  if (finalize_tie_strut_consistency(*this, u, active, ctx)) {
    auto solved = solve_for_current_map(elim != nullptr ? "Predictor finalization solve failed (singular)."
                                                        : "Sparse finalization solve failed.");
    if (!solved) return fail(solved.error());
    u = std::move(*solved);
  }
  return FirstOrderSolveOutput{std::move(u), std::move(active), released, std::nullopt, std::nullopt};
}

namespace {

// The linear solution with the support springs read off their stiffness curves at the support
// forces of the first-order state: the curves then start from the stiffness that state
// actually mobilises instead of the one at zero force. Falls back to the first-order state
// when the forces or the solve are not available; the assembly, spring and constraint
// messages end the solve.
Expected<Eigen::VectorXd> spring_consistent_start(const VARN& model, const Eigen::VectorXd& f,
                                                  const FirstOrderSolveOutput& first_order, const RigidPath* rigid) {
  const SupportState& released = first_order.released;
  // What each support carries in that state: the load at the node less the members' share
  // (the total internal force would include the springs' own k·u and balance the load).
  auto support_forces = model.compute_carried_support_forces(first_order.u, first_order.active, false, f);
  if (!support_forces) return first_order.u;

  auto k = model.assemble_global_stiffness_matrix_sparse_impl(first_order.active, nullptr);
  if (!k) return fail(k.error());
  auto springs = collect_support_spring_entries_with_forces(model.member_sets, model.nodal_supports, &*support_forces);
  if (!springs) return fail(springs.error());
  const SparseMatrix op = add_support_springs(*k, *springs);
  auto constrained = model.collect_constrained_dofs_full(released);
  if (!constrained) return fail(constrained.error());
  if (op.rows() == 0) return first_order.u;
  if (rigid != nullptr) {
    // Rigid links carry no stiffness of their own: they exist only through C. Solved on the
    // global system, a node hanging on a link would have nothing to hold it (singular when it
    // is loaded, held at zero as a zero-energy DOF when it is not), so the system is reduced
    // by C like the first-order state's.
    auto u_s = model.solve_constrained_linear_system(op, f, {}, &rigid->elimination, std::string(), released);
    if (!u_s) return first_order.u;
    return std::move(*u_s);
  }
  auto u_s = solve_sparse_system(op, f, *constrained);
  if (!u_s) return first_order.u;
  return std::move(*u_s);
}

}  // namespace

Expected<StartingState> compute_starting_state(const VARN& model, const Eigen::VectorXd& f,
                                               const std::optional<Eigen::VectorXd>& predictor, ActiveMap initial,
                                               const RigidPath* rigid, const SupportState& released) {
  const std::size_t n = rigid != nullptr ? rigid->elimination.n : compute_num_dofs_from_members(model.member_sets);
  StartingState out;
  out.active = std::move(initial);
  out.predictor_given = predictor.has_value();

  // The start on the rigid path is the displacement field the links allow that lies closest
  // (least squares) to the target.
  auto start_from = [&](const Eigen::VectorXd& target) {
    if (target.size() != static_cast<Eigen::Index>(n)) {
      fatal("compute_starting_state: a start vector of " + std::to_string(target.size()) + " entries for " +
            std::to_string(n) + " DOFs");
    }
    if (rigid == nullptr) {
      out.u0 = target;
      return;
    }
    out.u_r = rigid->projector.reduce(target);
    out.u0 = VARN::expand_solution(rigid->elimination, *out.u_r);
  };

  if (predictor) {
    start_from(*predictor);
    return out;
  }
  start_from(Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n)));

  // A first-order state that cannot be found is no error: the load steps then start from rest.
  auto first_order = model.first_order_predictor_state(f, released);
  if (!first_order) return out;
  if (has_stiffness_curves(model.nodal_supports)) {
    auto target = spring_consistent_start(model, f, *first_order, rigid);
    if (!target) return fail(target.error());
    start_from(*target);
  } else {
    start_from(first_order->u);
  }
  out.active = std::move(first_order->active);
  return out;
}

}  // namespace varn
