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

// The DOFs a start holds at zero: on the penalty path every DOF the solve holds (supports, and
// DOFs that nothing stiffens); with the links eliminated the support-fixed DOFs, for there a
// slave, which nothing but its link stiffens, moves with its master.
Expected<std::vector<std::size_t>> held_dofs(const VARN& model, const RigidPath* rigid, const SupportState& released) {
  if (rigid == nullptr) return model.collect_constrained_dofs_full(released);
  Eigen::VectorXd free = Eigen::VectorXd::Ones(static_cast<Eigen::Index>(rigid->elimination.n));
  model.zero_support_dofs(free, released);
  std::vector<std::size_t> held;
  for (Eigen::Index d = 0; d < free.size(); ++d) {
    if (free[d] == 0.0) held.push_back(static_cast<std::size_t>(d));
  }
  return held;
}

// The start moved onto the displacements the supports allow. A start that comes from
// elsewhere (a combination's superposed load cases) may hold a supported DOF away from zero,
// and the solve would keep it there: a held DOF's residual and step are zero, so its start acts
// as a settlement of the support. With the links eliminated the start is then the field of C
// closest to the target; links kept as stiff members are elastic members like any other, which
// the solve itself brings into line.
Eigen::VectorXd held_at_zero(Eigen::VectorXd v, const std::vector<std::size_t>& held) {
  for (const std::size_t d : held) {
    check_index(d, static_cast<std::size_t>(v.size()), "start DOF");
    v[static_cast<Eigen::Index>(d)] = 0.0;
  }
  return v;
}

}  // namespace

Expected<StartingState> compute_starting_state(const VARN& model, const Eigen::VectorXd& f,
                                               const std::optional<Eigen::VectorXd>& predictor, ActiveMap initial,
                                               const RigidPath* rigid, const SupportState& released) {
  const std::size_t n = rigid != nullptr ? rigid->elimination.n : compute_num_dofs_from_members(model.member_sets);
  auto held = held_dofs(model, rigid, released);
  if (!held) return fail(held.error());
  StartingState out;
  out.active = std::move(initial);
  out.predictor_given = predictor.has_value();

  // Every start satisfies the supports; on the rigid path it is the displacement field the
  // links allow that lies closest (least squares) to the target.
  auto start_from = [&](const Eigen::VectorXd& target) -> Expected<void> {
    if (target.size() != static_cast<Eigen::Index>(n)) {
      fatal("compute_starting_state: a start vector of " + std::to_string(target.size()) + " entries for " +
            std::to_string(n) + " DOFs");
    }
    Eigen::VectorXd start = held_at_zero(target, *held);
    if (rigid == nullptr) {
      out.u0 = std::move(start);
      return {};
    }
    out.u_r = rigid->projector.reduce(start);
    // A held DOF that is retained is held exactly in the reduced system: the fit, which also
    // sees the slaves' targets, must not move it.
    for (const std::size_t d : *held) {
      if (auto col = rigid->elimination.reduced_column(d)) (*out.u_r)[static_cast<Eigen::Index>(*col)] = 0.0;
    }
    out.u0 = VARN::expand_solution(rigid->elimination, *out.u_r);
    return {};
  };

  if (predictor) {
    if (auto ok = start_from(*predictor); !ok) return fail(ok.error());
    return out;
  }
  if (auto ok = start_from(Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n))); !ok) return fail(ok.error());

  // A first-order state that cannot be found is no error: the load steps then start from rest.
  auto first_order = model.first_order_predictor_state(f, released);
  if (!first_order) return out;
  if (has_stiffness_curves(model.nodal_supports)) {
    auto target = spring_consistent_start(model, f, *first_order, rigid);
    if (!target) return fail(target.error());
    if (auto ok = start_from(*target); !ok) return fail(ok.error());
  } else if (auto ok = start_from(first_order->u); !ok) {
    return fail(ok.error());
  }
  out.active = std::move(first_order->active);
  return out;
}

}  // namespace varn
