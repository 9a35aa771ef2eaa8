#include "models/varn/second_order/newton.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "logging.h"
#include "models/varn/active_set.h"
#include "models/varn/second_order/line_search.h"
#include "models/varn/second_order/reduced_reactions.h"
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

// Relative residual of the sparse path: the unbalanced force at the free DOFs, direction by
// direction, against the loads and reactions of that direction.
double relative_residual(const NewtonSetup& setup, const Eigen::VectorXd& f_int, const Eigen::VectorXd& f_ext,
                         const Eigen::VectorXd& u) {
  return setup.measure->relative(f_int - f_ext, f_ext, &u);
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

bool settled_step(double d, double size, double rel, double tol) {
  return d < kStepTolerance * std::fmax(size, 1.0) && rel <= kStateToleranceMultiple * tol;
}

bool keeps_factor(bool fresh, double alpha, double rel_new, double res0) {
  return fresh || (alpha == 1.0 && rel_new <= kKeptFactorContraction * res0);
}

bool settled_at_round_off(const SettleTest& t) {
  return t.curve_consistent && t.fresh && !t.damped &&
         settled_step(t.direction_norm, t.u_norm, t.residual, t.tol);
}

bool converged_after_step(const AcceptedStep& step, const ConvergenceTest& test) {
  if (!test.curve_consistent) return false;
  // A full undamped step that moves the state little says that it has settled, whether its
  // factor is fresh or kept, provided the residual it leaves is one the reported state may
  // keep (`settled_step`). A damped, shortened or reversed step is small because it was made
  // small, and says nothing. The accepted trial's residual is the one the next iteration
  // starts from only without curves: with them the springs and hinges are read anew at the
  // new state, and the next iteration's residual decides.
  const bool settled =
      !test.curves && step.alpha == 1.0 && !step.damped && settled_step(step.d, step.den, step.rel_new, test.tol);
  const bool in_equilibrium = !test.rigid && !test.curves && step.rel_new < test.tol;
  return settled || in_equilibrium;
}

namespace {

// One pass: the stiffness and the reduced system it keeps for its iterations, and the steps
// of an iteration, each a function: read the curves at the state, the residual, the
// direction (a kept factor, or the tangent of the state factorised afresh and damped when it
// must be), the line search, the curve forces of the new state, the tie/strut switch and the
// convergence test.
class NewtonPass {
 public:
  NewtonPass(const NewtonSetup& setup, const Eigen::VectorXd& f_ext, double load_factor, NewtonState& state,
             TangentSolver& solver, bool freeze_active, NewtonStats& stats)
      : setup_(setup),
        f_ext_(f_ext),
        load_factor_(load_factor),
        state_(state),
        solver_(solver),
        freeze_active_(freeze_active),
        stats_(stats),
        stiffness_(setup, state),
        curves_(setup.has_support_curves || setup.has_hinge_curves),
        curve_consistent_(!curves_),
        fnorm_ext_(std::fmax(f_ext.norm(), 1.0)) {}

  Expected<PassOutcome> run() {
    // Internal forces kept from another load level hold that level's share of the released
    // beams' loads.
    if (setup_.member_loads != nullptr && !setup_.member_loads->empty() &&
        state_.f_int_load_factor != load_factor_) {
      state_.f_int.reset();
    }
    if (setup_.rigid != nullptr) {
      if (auto built = build_stiffness(true); !built) return fail(built.error());
    }
    for (std::uint32_t it = 0; it < setup_.max_iterations; ++it) {
      ++outcome_.iterations;
      ++stats_.iterations;
      if (auto read = read_curves_at_state(); !read) return fail(read.error());
      auto step = setup_.rigid == nullptr ? sparse_step() : rigid_step();
      if (!step) return fail(step.error());
      if (step->end) return end(*step->end);
      if (curves_) refresh_forces();
      // A tie or strut that switches changes the structure: the pass ends there.
      if (!freeze_active_ &&
          update_active_set(setup_.model, state_.u, state_.active, setup_.ctx, setup_.switch_tol, false)) {
        state_.f_int.reset();
        return end(PassEnd::Switched);
      }
      if (converged_after_step(step->accepted, ConvergenceTest{curves_, curve_consistent_, setup_.rigid != nullptr,
                                                               setup_.tol})) {
        return end(PassEnd::Converged);
      }
    }
    return end(PassEnd::Exhausted);
  }

  // Rigid-elimination path: Newton steps on the state's own unbalanced forces, reduced to the
  // retained DOFs with the supports' reactions taken out, until they are within the
  // tolerance by the measure of the passes (at most `steps`).
  Expected<void> refine(std::size_t steps) {
    const RigidElimination& elim = setup_.rigid->elimination;
    if (auto built = build_stiffness(true); !built) return fail(built.error());
    const ReducedReactions& reactions = reduced_reactions();
    const Eigen::VectorXd f_r = elim.identity ? f_ext_ : Eigen::VectorXd(elim.c.transpose() * f_ext_);
    for (std::size_t k = 0; k < steps; ++k) {
      auto f = internal_forces(setup_, state_.u, state_, load_factor_);
      ++stats_.residual_evaluations;
      if (!f) return fail(f.error());
      const Eigen::VectorXd r = *f - f_ext_;
      const Eigen::VectorXd r_r = elim.identity ? r : Eigen::VectorXd(elim.c.transpose() * r);
      Eigen::VectorXd r_free = r_r;
      reactions.remove_from(r_free);
      if (setup_.measure->relative(r_free, r_r, f_r, &state_.u) < setup_.tol) return {};
      auto tangent = reduced_tangent();
      if (!tangent) return fail(tangent.error());
      std::optional<Eigen::VectorXd> dir;
      if (solver_.factorize(tangent->k_t, state_.active, stats_)) dir = solver_.solve(-r_free, stats_);
      if (!dir || !dir->allFinite()) return {};
      state_.u_r += *dir;
      state_.u = VARN::expand_solution(elim, state_.u_r);
      state_.f_int.reset();
    }
    return {};
  }

 private:
  // An iteration either ends the pass or hands on the step it accepted.
  struct Iteration {
    std::optional<PassEnd> end;
    AcceptedStep accepted;
  };
  static Iteration ending(PassEnd e) { return Iteration{e, {}}; }

  PassOutcome end(PassEnd e) {
    outcome_.end = e;
    return outcome_;
  }

  // The stiffness without the geometric part, built when the pass first needs it: a pass whose
  // iterations all reuse the kept factor never assembles it. On the rigid path also
  // K_red = CᵀKC (sparse) and F_red = Cᵀ·f_ext.
  Expected<void> build_stiffness(bool elastic_too) {
    const auto t = Clock::now();
    if (elastic_too || !stiffness_built_) {
      if (auto built = stiffness_.rebuild_elastic(); !built) return fail(built.error());
    } else if (auto built = stiffness_.rebuild_springs(); !built) {
      return fail(built.error());
    }
    stiffness_built_ = true;
    if (setup_.rigid != nullptr) {
      reduced_ = VARN::reduce_system_sparse_internal(stiffness_.k(), f_ext_, setup_.rigid->elimination);
    }
    stats_.tangent_assembly += seconds_since(t);
    return {};
  }

  // Curve refresh, tangent side: springs and hinges at the current curve forces. Convergence
  // is only declared once they have been read at forces of this pass's own states.
  Expected<void> read_curves_at_state() {
    const bool hinges = setup_.has_hinge_curves && !state_.end_forces.empty();
    const bool supports = setup_.has_support_curves && !state_.support_forces.empty();
    if (!hinges && !supports) return {};
    if (auto built = build_stiffness(hinges); !built) return fail(built.error());
    state_.f_int.reset();
    curve_consistent_ = true;
    return {};
  }

  // Curve refresh, force side: the forces of the new state.
  void refresh_forces() {
    const auto t = Clock::now();
    refresh_curve_forces(setup_, state_, f_ext_, load_factor_);
    stats_.line_search += seconds_since(t);
  }

  // Residual of the true equilibrium at the state (the internal forces kept from the last
  // accepted trial when they are still those of the state).
  Expected<double> sparse_residual() {
    if (!state_.f_int) {
      const auto t = Clock::now();
      auto f = internal_forces(setup_, state_.u, state_, load_factor_);
      ++stats_.residual_evaluations;
      stats_.line_search += seconds_since(t);
      if (!f) return fail(f.error());
      state_.f_int = std::move(*f);
      state_.f_int_load_factor = load_factor_;
    }
    return relative_residual(setup_, *state_.f_int, f_ext_, state_.u);
  }

  // Tangent and solve: the tangent of this state factorised afresh, shifted by growing damping
  // when it cannot be solved as it stands; none when no shift helps.
  Expected<std::optional<Eigen::VectorXd>> fresh_direction(const Eigen::VectorXd& b) {
    fresh_ = true;
    if (auto built = build_stiffness(false); !built) return fail(built.error());
    auto t = Clock::now();
    auto tangent = sparse_tangent(setup_, state_, stiffness_.k());
    if (!tangent) return fail(tangent.error());
    stats_.tangent_assembly += seconds_since(t);
    if (solver_.factorize(tangent->k, state_.active, stats_)) {
      outcome_.tangent_indefinite = !solver_.positive_definite();
      return solver_.solve(b, stats_);
    }
    outcome_.tangent_indefinite = true;
    damped_ = true;
    double mu = kFirstDamping;
    for (int attempt = 0; attempt < kDampingTries; ++attempt, mu *= 10.0) {
      if (!solver_.factorize(shifted(tangent->k, tangent->damping_scale * mu), state_.active, stats_)) continue;
      // A shifted factor is no tangent to keep.
      solver_.renew();
      return solver_.solve(b, stats_);
    }
    return std::optional<Eigen::VectorXd>();
  }

  // The direction: from the kept factor while it serves, else from a fresh tangent.
  Expected<std::optional<Eigen::VectorXd>> direction(const Eigen::VectorXd& b) {
    std::optional<Eigen::VectorXd> kept;
    if (solver_.usable_for(state_.active)) {
      kept = solver_.solve(b, stats_);
      outcome_.tangent_indefinite = !solver_.positive_definite();
    }
    if (kept) return kept;
    return fresh_direction(b);
  }

  // Line search along `direction` on the true residual.
  std::optional<AcceptedTrial> search(const Eigen::VectorXd& direction, double res0) {
    auto residual = [&](const Eigen::VectorXd& trial) -> std::optional<TrialResidual> {
      ++stats_.residual_evaluations;
      auto f = internal_forces(setup_, trial, state_, load_factor_);
      if (!f) return std::nullopt;
      const double rel = relative_residual(setup_, *f, f_ext_, trial);
      return TrialResidual{rel, std::move(*f)};
    };
    const auto t = Clock::now();
    auto accepted = line_search_sparse(state_.u, direction, res0, residual);
    stats_.line_search += seconds_since(t);
    return accepted;
  }

  // Sparse path: residual, direction, line search (a kept factor that finds no descent is
  // renewed before giving up), and the state moved to the accepted trial.
  Expected<Iteration> sparse_step() {
    fresh_ = false;
    damped_ = false;
    auto res0 = sparse_residual();
    if (!res0) return fail(res0.error());
    if (curve_consistent_ && *res0 < setup_.tol) return ending(PassEnd::Converged);
    Eigen::VectorXd b = f_ext_ - *state_.f_int;
    for (const std::size_t dof : setup_.constrained) b[static_cast<Eigen::Index>(dof)] = 0.0;

    auto dir = direction(b);
    if (!dir) return fail(dir.error());
    if (!*dir) return ending(PassEnd::SingularTangent);
    auto accepted = search(**dir, *res0);
    if (!accepted && !fresh_) {
      dir = fresh_direction(b);
      if (!dir) return fail(dir.error());
      if (!*dir) return ending(PassEnd::SingularTangent);
      accepted = search(**dir, *res0);
    }
    if (!accepted) {
      // At the round-off floor of the residual no trial lowers it. The Newton step of this
      // state's own undamped tangent, far below the size of the state, then says that the
      // state has reached equilibrium as closely as the arithmetic allows.
      const SettleTest settle{curve_consistent_, fresh_, damped_, (*dir)->norm(), state_.u.norm(), *res0,
                              setup_.tol};
      return ending(settled_at_round_off(settle) ? PassEnd::Converged : PassEnd::FailedLineSearch);
    }
    Iteration out;
    out.accepted = AcceptedStep{(accepted->u - state_.u).norm(), state_.u.norm(), accepted->alpha, accepted->rel,
                                damped_};
    if (!keeps_factor(fresh_, accepted->alpha, accepted->rel, *res0)) solver_.renew();
    state_.u = std::move(accepted->u);
    state_.f_int = std::move(accepted->f_int);
    state_.f_int_load_factor = load_factor_;
    return out;
  }

  // Rigid-elimination path: the tangent on the retained DOFs with the supports imposed on the
  // reduced system, the residual of that linearised system, its solve, and the line search on
  // the linearised, then on the true residual.
  // Rigid-elimination path: the reactions of the reduced system, made once a pass.
  const ReducedReactions& reduced_reactions() {
    if (!reactions_) reactions_.emplace(ReducedReactions::build(setup_.model, setup_.rigid->elimination, setup_.released));
    return *reactions_;
  }

  // Rigid-elimination path: the tangent of the state on the retained DOFs and the reduced
  // loads, the supports imposed on both.
  struct ReducedTangent {
    SparseMatrix k_t;
    Eigen::VectorXd b_red;
  };
  Expected<ReducedTangent> reduced_tangent() {
    const VARN& model = setup_.model;
    const RigidElimination& elim = setup_.rigid->elimination;
    const auto t = Clock::now();
    auto kg = model.assemble_geometric_stiffness_matrix_sparse(state_.u, state_.active);
    if (!kg) return fail(kg.error());
    const ReducedSystem kg_red = VARN::reduce_system_sparse_internal(*kg, f_ext_, elim);
    ReducedTangent out{sparse_clone_and_add(reduced_.k, kg_red.k), reduced_.f};
    if (setup_.member_loads != nullptr && !setup_.member_loads->empty()) {
      // The released beams' loads condensed at this state's axial forces, as on the other path.
      const Eigen::VectorXd shift =
          load_factor_ * setup_.member_loads->shift(model, setup_.ctx, state_.u, hinge_forces(setup_, state_));
      out.b_red += elim.identity ? shift : Eigen::VectorXd(elim.c.transpose() * shift);
    }
    model.apply_boundary_conditions_reduced(elim, out.k_t, out.b_red, setup_.released);
    stats_.tangent_assembly += seconds_since(t);
    return out;
  }

  Expected<Iteration> rigid_step() {
    const RigidElimination& elim = setup_.rigid->elimination;
    auto tangent = reduced_tangent();
    if (!tangent) return fail(tangent.error());
    const SparseMatrix& k_t = tangent->k_t;
    const Eigen::VectorXd& b_red = tangent->b_red;

    // The supports' reactions are no residual: the exact ones are held by the measure, the
    // penalised rows' directions are taken out (their penalty's round-off would otherwise count
    // against a direction that carries little of its own).
    const ReducedReactions& reactions = reduced_reactions();
    auto measured = [&](const Eigen::VectorXd& res) {
      Eigen::VectorXd free = res;
      reactions.remove_from(free);
      return setup_.measure->relative(free, res, b_red);
    };
    const Eigen::VectorXd r = k_t * state_.u_r - b_red;
    const double res0 = measured(r);
    if ((curve_consistent_ && res0 < setup_.tol) || k_t.rows() == 0) return ending(PassEnd::Converged);
    // A reduced tangent that cannot be solved gives no direction to search along.
    std::optional<Eigen::VectorXd> dir;
    if (solver_.factorize(k_t, state_.active, stats_)) dir = solver_.solve(-r, stats_);
    outcome_.tangent_indefinite = !dir || !solver_.positive_definite();
    if (!dir) return ending(PassEnd::FailedLineSearch);

    auto linearised = [&](const Eigen::VectorXd& trial_r) { return measured(k_t * trial_r - b_red); };
    auto true_residual = [&](const Eigen::VectorXd& trial_r) -> std::optional<double> {
      ++stats_.residual_evaluations;
      auto f = internal_forces(setup_, VARN::expand_solution(elim, trial_r), state_, load_factor_);
      if (!f) return std::nullopt;
      const Eigen::VectorXd rt = *f - f_ext_;
      if (elim.identity) return rt.norm() / fnorm_ext_;
      return Eigen::VectorXd(elim.c.transpose() * rt).norm() / fnorm_ext_;
    };
    const auto t = Clock::now();
    auto accepted = line_search_rigid(state_.u_r, *dir, res0, linearised, true_residual);
    stats_.line_search += seconds_since(t);
    if (!accepted) return ending(PassEnd::FailedLineSearch);
    Iteration out;
    out.accepted = AcceptedStep{(accepted->u_r - state_.u_r).norm(), state_.u_r.norm(), accepted->alpha,
                                accepted->rel, false};
    state_.u_r = std::move(accepted->u_r);
    state_.u = VARN::expand_solution(elim, state_.u_r);
    state_.f_int.reset();
    return out;
  }

  const NewtonSetup& setup_;
  const Eigen::VectorXd& f_ext_;
  const double load_factor_;
  NewtonState& state_;
  TangentSolver& solver_;
  const bool freeze_active_;
  NewtonStats& stats_;
  PassOutcome outcome_;
  PassStiffness stiffness_;
  std::optional<ReducedReactions> reactions_;
  bool stiffness_built_ = false;
  ReducedSystem reduced_;
  const bool curves_;
  bool curve_consistent_;
  const double fnorm_ext_;
  // Of the current iteration: the direction came from the tangent of this very state, and
  // that tangent had to be damped.
  bool fresh_ = false;
  bool damped_ = false;
};

}  // namespace

Expected<PassOutcome> run_newton_pass(const NewtonSetup& setup, const Eigen::VectorXd& f_ext, double load_factor,
                                      NewtonState& state, TangentSolver& solver, bool freeze_active,
                                      NewtonStats& stats) {
  return NewtonPass(setup, f_ext, load_factor, state, solver, freeze_active, stats).run();
}

Expected<void> refine_rigid_state(const NewtonSetup& setup, const Eigen::VectorXd& f_ext, NewtonState& state,
                                  TangentSolver& solver, NewtonStats& stats) {
  if (setup.rigid == nullptr) return {};
  // A few steps: each one is a Newton step from a state already converged on its
  // linearised residual, which leaves only the change of the geometric stiffness.
  constexpr std::size_t kRefineSteps = 4;
  return NewtonPass(setup, f_ext, 1.0, state, solver, true, stats).refine(kRefineSteps);
}

}  // namespace varn::second_order
