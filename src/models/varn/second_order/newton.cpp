#include "models/varn/second_order/newton.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "logging.h"
#include "models/varn/active_set.h"
#include "models/varn/second_order/line_search.h"
#include "models/varn/varn.h"

namespace varn::second_order {

namespace {

using Clock = std::chrono::steady_clock;

// Step length below which the displacement counts as settled, relative to max(|u|, 1).
constexpr double kStepTolerance = 1e-4;
// Levenberg-Marquardt shifts tried in turn on a tangent that cannot be solved as it stands,
// relative to its largest physical diagonal entry: each ten times the last, from 1e-6.
constexpr int kDampingTries = 4;
constexpr double kFirstDamping = 1e-6;

// Adds `value` to every diagonal entry of k (the stored ones in place; a pattern without a
// full diagonal is rebuilt).
SparseMatrix shifted(const SparseMatrix& k, double value) {
  std::vector<std::pair<std::size_t, double>> diagonal;
  diagonal.reserve(static_cast<std::size_t>(k.rows()));
  for (Eigen::Index i = 0; i < k.rows(); ++i) diagonal.emplace_back(static_cast<std::size_t>(i), value);
  SparseMatrix out = k;
  if (sparse_add_diagonal_inplace(out, diagonal)) return out;
  return sparse_add_diagonal(k, diagonal);
}

// The stiffness of the pass without the geometric part: elastic (hinge curves at the current
// end forces once there are any) and the support springs (curves at the current support forces).
class PassStiffness {
 public:
  PassStiffness(const NewtonSetup& setup, const NewtonState& state) : setup_(setup), state_(state) {}

  Expected<void> rebuild_elastic() {
    const VARN& model = setup_.model;
    auto k = setup_.has_hinge_curves && !state_.end_forces.empty()
                 ? model.assemble_global_stiffness_matrix_sparse_with_hinge_forces(state_.active, state_.end_forces)
                 : model.assemble_global_stiffness_matrix_sparse(state_.active);
    if (!k) return fail(k.error());
    k_e_ = std::move(*k);
    return rebuild_springs();
  }

  Expected<void> rebuild_springs() {
    const VARN& model = setup_.model;
    auto springs = setup_.has_support_curves
                       ? collect_support_spring_entries_with_forces(model.member_sets, model.nodal_supports,
                                                                    &state_.support_forces)
                       : collect_support_spring_entries(model.member_sets, model.nodal_supports);
    if (!springs) return fail(springs.error());
    k_ = add_support_springs(k_e_, *springs);
    return {};
  }

  const SparseMatrix& k() const { return k_; }

 private:
  const NewtonSetup& setup_;
  const NewtonState& state_;
  SparseMatrix k_e_;
  SparseMatrix k_;
};

const MemberEndForceMap* hinge_forces(const NewtonSetup& setup, const NewtonState& state) {
  return setup.has_hinge_curves && !state.end_forces.empty() ? &state.end_forces : nullptr;
}

// Relative residual of the sparse path: |f_int − f_ext| over the free DOFs, by max(|f_ext|, 1).
double relative_residual(const Eigen::VectorXd& f_int, const Eigen::VectorXd& f_ext,
                         const std::vector<std::size_t>& constrained, double fnorm) {
  Eigen::VectorXd r = f_int - f_ext;
  for (const std::size_t d : constrained) r[static_cast<Eigen::Index>(d)] = 0.0;
  return r.norm() / fnorm;
}

// The curve forces that the springs and hinges are read at, from the accepted state: what each
// curve support carries (the load at its node less the members' share), and the force in each
// curve hinge's spring. Both are measured with the hinge stiffnesses the tangent was built with.
void refresh_curve_forces(const NewtonSetup& setup, NewtonState& state, const Eigen::VectorXd& f_ext,
                          double load_factor) {
  const VARN& model = setup.model;
  const MemberEndForceMap* current = hinge_forces(setup, state);
  if (setup.has_support_curves) {
    if (auto carried = model.compute_carried_support_forces(state.u, state.active, true, f_ext, current); carried) {
      state.support_forces = std::move(*carried);
    }
  }
  if (setup.has_hinge_curves) {
    HingeForceState hinge_state;
    hinge_state.current = current;
    hinge_state.loads = setup.loads;
    hinge_state.load_factor = load_factor;
    hinge_state.include_geometric = true;
    state.end_forces = model.extract_member_hinge_forces(state.u, hinge_state);
  }
}

}  // namespace

bool TangentSolver::factorize(const SparseMatrix& k, const ActiveMap& active, NewtonStats& stats) {
  const auto start = Clock::now();
  const std::size_t numeric_before = factorization_.numeric_factorizations();
  const std::size_t symbolic_before = factorization_.symbolic_analyses();
  factored_ = factorization_.factorize(k) != SparseSolveMethod::Failed;
  active_ = active;
  renew_ = false;
  stats.numeric_factorizations += factorization_.numeric_factorizations() - numeric_before;
  stats.symbolic_analyses += factorization_.symbolic_analyses() - symbolic_before;
  stats.factorization += seconds_since(start);
  return factored_;
}

std::optional<Eigen::VectorXd> TangentSolver::solve(const Eigen::VectorXd& b, NewtonStats& stats) const {
  if (!factored_) return std::nullopt;
  const auto start = Clock::now();
  auto x = factorization_.solve(Eigen::MatrixXd(b));
  ++stats.solves;
  stats.solve += seconds_since(start);
  if (!x) return std::nullopt;
  return Eigen::VectorXd(x->col(0));
}

Expected<Eigen::VectorXd> internal_forces(const NewtonSetup& setup, const Eigen::VectorXd& u,
                                          const NewtonState& state, double load_factor) {
  auto f = setup.model.compute_internal_force_vector_with_forces(u, state.active, true, state.support_forces,
                                                                 hinge_forces(setup, state));
  if (f && setup.member_loads != nullptr && !setup.member_loads->empty()) {
    *f -= load_factor * setup.member_loads->shift(setup.model, setup.ctx, u, hinge_forces(setup, state));
  }
  return f;
}

namespace {

// The sparse tangent K + K_G(u) of the state with the support penalty on its constrained
// diagonals, and the damping scale: the largest diagonal entry of the structure's own
// stiffness, taken before the penalty multiplies it by 1e10.
struct SparseTangent {
  SparseMatrix k;
  double damping_scale = 1.0;
};

Expected<SparseTangent> sparse_tangent(const NewtonSetup& setup, const NewtonState& state, const SparseMatrix& k) {
  auto kg = setup.model.assemble_geometric_stiffness_matrix_sparse(state.u, state.active);
  if (!kg) return fail(kg.error());
  SparseTangent t;
  t.k = sparse_clone_and_add(k, *kg);
  t.damping_scale = std::fmax(sparse_max_abs_diagonal(t.k), 1.0);
  Eigen::VectorXd unused = Eigen::VectorXd::Zero(t.k.rows());
  if (!apply_penalty_bc_inplace(t.k, unused, setup.constrained)) {
    t.k = apply_penalty_bc_sparse(t.k, unused, setup.constrained);
  }
  return t;
}

// Largest contraction of the relative residual per iteration for which a kept factor is
// still worth its cheap solves; above it the next iteration factorises afresh.
constexpr double kKeptFactorContraction = 0.25;

}  // namespace

Expected<bool> tangent_positive_definite(const NewtonSetup& setup, const NewtonState& state, TangentSolver& solver,
                                         NewtonStats& stats) {
  auto t = Clock::now();
  PassStiffness stiffness(setup, state);
  if (auto built = stiffness.rebuild_elastic(); !built) return fail(built.error());
  auto tangent = sparse_tangent(setup, state, stiffness.k());
  if (!tangent) return fail(tangent.error());
  stats.tangent_assembly += seconds_since(t);
  return solver.factorize(tangent->k, state.active, stats) && solver.positive_definite();
}

Expected<PassOutcome> run_newton_pass(const NewtonSetup& setup, const Eigen::VectorXd& f_ext, double load_factor,
                                      NewtonState& state, TangentSolver& solver, bool freeze_active,
                                      NewtonStats& stats) {
  const VARN& model = setup.model;
  const RigidPath* rigid = setup.rigid;
  PassOutcome outcome;

  // The stiffness without the geometric part, built when the pass first needs it: a pass whose
  // iterations all reuse the kept factor never assembles it.
  PassStiffness stiffness(setup, state);
  bool stiffness_built = false;
  ReducedSystem reduced;  // rigid-elimination path: K_red = CᵀKC (sparse), F_red = Cᵀ·f_ext
  auto build_stiffness = [&](bool elastic_too) -> Expected<void> {
    const auto t = Clock::now();
    if (elastic_too || !stiffness_built) {
      if (auto built = stiffness.rebuild_elastic(); !built) return fail(built.error());
    } else if (auto built = stiffness.rebuild_springs(); !built) {
      return fail(built.error());
    }
    stiffness_built = true;
    if (rigid != nullptr) reduced = VARN::reduce_system_sparse_internal(stiffness.k(), f_ext, rigid->elimination);
    stats.tangent_assembly += seconds_since(t);
    return {};
  };
  if (rigid != nullptr) {
    if (auto built = build_stiffness(true); !built) return fail(built.error());
  }

  // Convergence is only declared once the springs and hinges have been read at forces of
  // this pass's own states.
  const bool curves = setup.has_support_curves || setup.has_hinge_curves;
  bool curve_consistent = !curves;
  const double fnorm_ext = std::fmax(f_ext.norm(), 1.0);
  // Internal forces kept from another load level hold that level's share of the released beams'
  // loads.
  if (setup.member_loads != nullptr && !setup.member_loads->empty() && state.f_int_load_factor != load_factor) {
    state.f_int.reset();
  }

  for (std::uint32_t it = 0; it < setup.max_iterations; ++it) {
    ++outcome.iterations;
    ++stats.iterations;

    // 1. Springs and hinges at the current curve forces.
    if (setup.has_hinge_curves && !state.end_forces.empty()) {
      if (auto built = build_stiffness(true); !built) return fail(built.error());
      state.f_int.reset();
      curve_consistent = true;
    } else if (setup.has_support_curves && !state.support_forces.empty()) {
      if (auto built = build_stiffness(false); !built) return fail(built.error());
      state.f_int.reset();
      curve_consistent = true;
    }

    double d = 0.0;
    double den = 1.0;
    double alpha = 0.0;
    double rel_new = 0.0;
    bool fresh = false;   // the direction came from the tangent of this very state
    bool damped = false;

    if (rigid == nullptr) {
      // 2. Residual of the true equilibrium, the supported DOFs left out.
      if (!state.f_int) {
        const auto t = Clock::now();
        auto f = internal_forces(setup, state.u, state, load_factor);
        ++stats.residual_evaluations;
        stats.line_search += seconds_since(t);
        if (!f) return fail(f.error());
        state.f_int = std::move(*f);
        state.f_int_load_factor = load_factor;
      }
      const double fnorm = fnorm_ext;
      const double res0 = relative_residual(*state.f_int, f_ext, setup.constrained, fnorm);
      if (curve_consistent && res0 < setup.tol) {
        outcome.end = PassEnd::Converged;
        return outcome;
      }
      Eigen::VectorXd b = f_ext - *state.f_int;
      for (const std::size_t dof : setup.constrained) b[static_cast<Eigen::Index>(dof)] = 0.0;

      // 3. Direction: from the kept factor while it serves, else from the tangent of this
      // state, shifted by growing damping when it cannot be solved as it stands.
      auto fresh_direction = [&]() -> Expected<std::optional<Eigen::VectorXd>> {
        fresh = true;
        if (auto built = build_stiffness(false); !built) return fail(built.error());
        auto t = Clock::now();
        auto tangent = sparse_tangent(setup, state, stiffness.k());
        if (!tangent) return fail(tangent.error());
        stats.tangent_assembly += seconds_since(t);
        if (solver.factorize(tangent->k, state.active, stats)) {
          outcome.tangent_indefinite = !solver.positive_definite();
          return solver.solve(b, stats);
        }
        outcome.tangent_indefinite = true;
        damped = true;
        double mu = kFirstDamping;
        for (int attempt = 0; attempt < kDampingTries; ++attempt, mu *= 10.0) {
          if (!solver.factorize(shifted(tangent->k, tangent->damping_scale * mu), state.active, stats)) continue;
          // A shifted factor is no tangent to keep.
          solver.renew();
          return solver.solve(b, stats);
        }
        return std::optional<Eigen::VectorXd>();
      };

      std::optional<Eigen::VectorXd> direction;
      if (solver.usable_for(state.active)) {
        direction = solver.solve(b, stats);
        outcome.tangent_indefinite = !solver.positive_definite();
      }
      if (!direction) {
        auto computed = fresh_direction();
        if (!computed) return fail(computed.error());
        if (!*computed) {
          outcome.end = PassEnd::SingularTangent;
          return outcome;
        }
        direction = std::move(**computed);
      }

      // 4. Line search; a kept factor that finds no descent is renewed before giving up.
      auto residual = [&](const Eigen::VectorXd& trial) -> std::optional<TrialResidual> {
        ++stats.residual_evaluations;
        auto f = internal_forces(setup, trial, state, load_factor);
        if (!f) return std::nullopt;
        const double rel = relative_residual(*f, f_ext, setup.constrained, fnorm);
        return TrialResidual{rel, std::move(*f)};
      };
      auto t = Clock::now();
      auto accepted = line_search_sparse(state.u, *direction, res0, residual);
      stats.line_search += seconds_since(t);
      if (!accepted && !fresh) {
        auto computed = fresh_direction();
        if (!computed) return fail(computed.error());
        if (!*computed) {
          outcome.end = PassEnd::SingularTangent;
          return outcome;
        }
        t = Clock::now();
        accepted = line_search_sparse(state.u, **computed, res0, residual);
        stats.line_search += seconds_since(t);
      }
      if (!accepted) {
        outcome.end = PassEnd::FailedLineSearch;
        return outcome;
      }
      d = (accepted->u - state.u).norm();
      den = std::fmax(state.u.norm(), 1.0);
      alpha = accepted->alpha;
      rel_new = accepted->rel;
      if (!fresh && (alpha != 1.0 || !(rel_new <= kKeptFactorContraction * res0))) solver.renew();
      state.u = std::move(accepted->u);
      state.f_int = std::move(accepted->f_int);
      state.f_int_load_factor = load_factor;
    } else {
      // 2. Tangent on the retained DOFs, supports imposed on the reduced system.
      auto t = Clock::now();
      auto kg = model.assemble_geometric_stiffness_matrix_sparse(state.u, state.active);
      if (!kg) return fail(kg.error());
      const ReducedSystem kg_red = VARN::reduce_system_sparse_internal(*kg, f_ext, rigid->elimination);
      SparseMatrix k_t = sparse_clone_and_add(reduced.k, kg_red.k);
      Eigen::VectorXd b_red = reduced.f;
      if (setup.member_loads != nullptr && !setup.member_loads->empty()) {
        // The released beams' loads condensed at this state's axial forces, as on the other path.
        const Eigen::VectorXd shift =
            load_factor * setup.member_loads->shift(model, setup.ctx, state.u, hinge_forces(setup, state));
        b_red += rigid->elimination.identity ? shift : Eigen::VectorXd(rigid->elimination.c.transpose() * shift);
      }
      model.apply_boundary_conditions_reduced(rigid->elimination, k_t, b_red, setup.released);
      stats.tangent_assembly += seconds_since(t);

      // 3. Residual of the linearised reduced system.
      const double fnorm = std::fmax(b_red.norm(), 1.0);
      const Eigen::VectorXd r = k_t * state.u_r - b_red;
      const double res0 = r.norm() / fnorm;
      if ((curve_consistent && res0 < setup.tol) || k_t.rows() == 0) {
        outcome.end = PassEnd::Converged;
        return outcome;
      }
      // A reduced tangent that cannot be solved gives no direction to search along.
      fresh = true;
      std::optional<Eigen::VectorXd> direction;
      if (solver.factorize(k_t, state.active, stats)) direction = solver.solve(-r, stats);
      outcome.tangent_indefinite = !direction || !solver.positive_definite();
      if (!direction) {
        outcome.end = PassEnd::FailedLineSearch;
        return outcome;
      }

      // 4. Line search on the linearised, then on the true residual.
      const RigidElimination& elim = rigid->elimination;
      auto linearised = [&](const Eigen::VectorXd& trial_r) { return (k_t * trial_r - b_red).norm() / fnorm; };
      auto true_residual = [&](const Eigen::VectorXd& trial_r) -> std::optional<double> {
        ++stats.residual_evaluations;
        auto f = internal_forces(setup, VARN::expand_solution(elim, trial_r), state, load_factor);
        if (!f) return std::nullopt;
        const Eigen::VectorXd rt = *f - f_ext;
        if (elim.identity) return rt.norm() / fnorm_ext;
        return Eigen::VectorXd(elim.c.transpose() * rt).norm() / fnorm_ext;
      };
      t = Clock::now();
      auto accepted = line_search_rigid(state.u_r, *direction, res0, linearised, true_residual);
      stats.line_search += seconds_since(t);
      if (!accepted) {
        outcome.end = PassEnd::FailedLineSearch;
        return outcome;
      }
      d = (accepted->u_r - state.u_r).norm();
      den = std::fmax(state.u_r.norm(), 1.0);
      alpha = accepted->alpha;
      rel_new = accepted->rel;
      state.u_r = std::move(accepted->u_r);
      state.u = VARN::expand_solution(elim, state.u_r);
      state.f_int.reset();
    }

    // 5. Curve forces of the new state.
    if (curves) {
      const auto t = Clock::now();
      refresh_curve_forces(setup, state, f_ext, load_factor);
      stats.line_search += seconds_since(t);
    }

    // 6. Ties and struts: a switch changes the structure, the pass ends there.
    if (!freeze_active && update_active_set(model, state.u, state.active, setup.ctx,
                                            setup.switch_tol, false)) {
      state.f_int.reset();
      outcome.end = PassEnd::Switched;
      return outcome;
    }

    // 7. Convergence after the step. Only a full Newton step on this state's own undamped
    // tangent says that the state has settled when it moves little: a damped, shortened or
    // reversed step is small because it was made small, and a kept factor's step is not the
    // Newton step. Without curves the accepted trial's residual is the one the next iteration
    // would start from.
    if (curve_consistent) {
      const bool settled = fresh && alpha == 1.0 && !damped && d / den < kStepTolerance;
      const bool in_equilibrium = rigid == nullptr && !curves && rel_new < setup.tol;
      if (settled || in_equilibrium) {
        outcome.end = PassEnd::Converged;
        return outcome;
      }
    }
  }
  outcome.end = PassEnd::Exhausted;
  return outcome;
}

}  // namespace varn::second_order
