#pragma once
// One Newton pass of the second-order solve: the displacement is brought into equilibrium with
// one fixed load level λ·F for the current tie/strut state. The tangent is the elastic
// stiffness, the support springs and the geometric stiffness of the current axial forces; every
// iteration solves it (damped only when it cannot be solved as it stands), shortens the step by
// the line search and keeps the stiffness-curve forces and the active set in step with the new
// displacements. The pass ends converged, switched (a tie or strut changed state), exhausted,
// or with a request for finer load steps; the load stepping around it lives in the driver.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "functions/hinge_and_release_operations.h"
#include "functions/sparse.h"
#include "functions/support_utils.h"
#include "models/varn/active_map.h"
#include "models/varn/support_state.h"
#include "models/results/results.h"
#include "models/varn/lookup.h"
#include "models/varn/second_order/released_member_loads.h"
#include "models/varn/second_order/residual_measure.h"
#include "models/varn/second_order/starting_state.h"

namespace varn {
struct VARN;
}

namespace varn::second_order {

// How a pass ended.
enum class PassEnd {
  Converged,         // residual below tolerance in every direction, or a full undamped step below 1e-4 of max(|u|, 1)
  Switched,          // an accepted step changed the state of a tie or strut
  Exhausted,         // max_iterations iterations without either
  SingularTangent,   // no solver found a direction, not even with damping
  FailedLineSearch,  // no trial along the direction reduced the residual
};

struct PassOutcome {
  PassEnd end = PassEnd::Exhausted;
  // The last tangent factorised in the pass was not positive definite (its Cholesky
  // factorisation failed and only the LU fall-back solved it): a converged state on such a
  // tangent lies beyond the structure's elastic critical load.
  bool tangent_indefinite = false;
  std::uint32_t iterations = 0;
};

// Where the time of a solve goes (seconds, monotonic clock) and how often the expensive steps
// ran. Summed over every pass of a solve.
struct NewtonStats {
  double tangent_assembly = 0.0;     // elastic, spring and geometric stiffness, penalty, reduction
  double factorization = 0.0;        // symbolic analyses and numeric factorisations
  double solve = 0.0;                // forward and back substitutions with a factor
  double line_search = 0.0;          // internal-force vectors of the trials
  std::size_t numeric_factorizations = 0;
  std::size_t symbolic_analyses = 0;
  std::size_t solves = 0;            // solves with a kept factor
  std::size_t residual_evaluations = 0;
  std::size_t iterations = 0;
};

// The factorised tangent of the solve. The numeric factorisation is by far the dearest step
// of an iteration, and the P-delta tangent K + K_G(u) is not the exact derivative of the
// internal forces anyway (it leaves out the change of the axial forces with u), so iterations
// converge linearly whether the factor is fresh or a few load levels old. A factor is therefore
// kept and reused while it contracts the residual well; it is made afresh when it contracts
// poorly, when the tie/strut state it was made for has changed, and whenever a pass needs a
// true Newton step (the step criterion, the line search's last resort). The symbolic analysis
// is kept while the pattern stays exactly the same (column pointers and row indices).
class TangentSolver {
 public:
  // Factorises k, the tangent of the state with tie/strut map `active`, and keeps the factor;
  // false when neither Cholesky nor the LU fall-back factorises it.
  bool factorize(const SparseMatrix& k, const ActiveMap& active, NewtonStats& stats);
  std::optional<Eigen::VectorXd> solve(const Eigen::VectorXd& b, NewtonStats& stats) const;
  // The kept factor may serve the current state: one exists, it was made for this tie/strut
  // state, and it has not been marked for renewal.
  bool usable_for(const ActiveMap& active) const { return factored_ && !renew_ && active == active_; }
  void renew() { renew_ = true; }
  // The kept factor is a Cholesky factor.
  bool positive_definite() const { return factored_ && factorization_.positive_definite(); }

 private:
  SparseFactorization factorization_;
  ActiveMap active_;
  bool factored_ = false;
  bool renew_ = false;
};

// Fixed for the whole solve.
struct NewtonSetup {
  const VARN& model;
  const AssemblyContext& ctx;
  // Sparse path: the supports imposed by penalty at these DOFs. Rigid-elimination path: the
  // elimination and its projector (the constrained list is then unused).
  const std::vector<std::size_t>& constrained;
  const RigidPath* rigid = nullptr;
  double tol = 1e-6;         // relative residual that counts as equilibrium
  double switch_tol = 0.0;   // tie/strut switching tolerance (half the axial slack)
  std::uint32_t max_iterations = 20;
  bool has_support_curves = false;
  bool has_hinge_curves = false;
  // The load case or combination whose member loads act (the hinge curve forces leave their
  // fixed-end share out).
  std::optional<ResultType> loads;
  // The one-sided supports released for this solve (the others held), on both paths.
  SupportState released{};
  // How far a state is from equilibrium: over the global DOFs with the constrained ones held
  // (sparse path), over the retained DOFs (rigid-elimination path).
  const ResidualMeasure* measure = nullptr;
  // The loads of released beams, condensed with the geometric stiffness of each state as the
  // recovery condenses them (nullptr: none).
  const ReleasedMemberLoads* member_loads = nullptr;
};

// The solve's state, carried from pass to pass and from step to step.
struct NewtonState {
  Eigen::VectorXd u;    // global displacements (n)
  Eigen::VectorXd u_r;  // reduced displacements on the rigid-elimination path (n_r), u = C·u_r
  ActiveMap active;
  SupportNodeForceMap support_forces;
  MemberEndForceMap end_forces;
  // Internal forces of the current u for the current map and forces (sparse path), from the
  // last accepted line-search trial; empty when any of them changed since.
  std::optional<Eigen::VectorXd> f_int;
  // The load factor f_int was measured at: the released beams' loads make it depend on it.
  double f_int_load_factor = 0.0;
};

// Whether the tangent at the state is positive definite, by a fresh factorisation (kept for the
// next pass): the certificate that a converged state lies below the elastic critical load.
Expected<bool> tangent_positive_definite(const NewtonSetup& setup, const NewtonState& state, TangentSolver& solver,
                                         NewtonStats& stats);

// ---- the rules of an iteration ----

// A step of length d from a state of size |u| = `size` settles it: below 1e-4 of max(|u|, 1),
// while the residual it leaves, `rel`, is within what the judgement of the reported state
// allows (ten tolerances). Without that guard a step made small by slow convergence (a shallow
// truss near its limit load, a curve spring read anew, each moving a tenth of a millimetre)
// would end the pass with a share of the load unbalanced.
bool settled_step(double d, double size, double rel, double tol);

// A kept factor stays for the next iteration while its full step contracts the residual to a
// quarter or less (the cheap solves are then worth it); a fresh one is kept in any case.
bool keeps_factor(bool fresh, double alpha, double rel_new, double res0);

// A line search that lowers the residual nowhere along the Newton step of the state's own
// undamped tangent: at the round-off floor of the residual, the state has settled when that
// step is far below the size of the state (`settled_step`), once the curves have been read.
struct SettleTest {
  bool curve_consistent = true;
  bool fresh = false;
  bool damped = false;
  double direction_norm = 0.0;
  double u_norm = 0.0;
  double residual = 0.0;
  double tol = 1e-6;
};
bool settled_at_round_off(const SettleTest& test);

// The step an iteration accepted: its length d, the size of the state it left (den), its
// length along the direction (alpha, 1 for a full step), the residual it reached and whether
// its tangent was damped.
struct AcceptedStep {
  double d = 0.0;
  double den = 0.0;
  double alpha = 0.0;
  double rel_new = 0.0;
  bool damped = false;
};
struct ConvergenceTest {
  bool curves = false;            // the model has support or hinge curves
  bool curve_consistent = true;   // they have been read at a state of this pass
  bool rigid = false;             // rigid-elimination path (its residual is the linearised one)
  double tol = 1e-6;
};
// The pass has converged after the step: a settled full undamped step (without curves), or,
// on the sparse path without curves, a trial residual below the tolerance.
bool converged_after_step(const AcceptedStep& step, const ConvergenceTest& test);

// One pass at the load level f_ext = load_factor·F. With `freeze_active` the tie/strut map is held as it is:
// the pass then ends converged, exhausted or with a refinement request, never switched.
// Messages of the assemblies end the solve.
Expected<PassOutcome> run_newton_pass(const NewtonSetup& setup, const Eigen::VectorXd& f_ext, double load_factor,
                                      NewtonState& state, TangentSolver& solver, bool freeze_active,
                                      NewtonStats& stats);

// Rigid-elimination path: the passes converge on the residual of the linearised reduced system;
// this brings a converged state at the full load (f_ext) to the tolerance on its own
// unbalanced forces as well, by Newton steps on them. Nothing on the sparse path.
Expected<void> refine_rigid_state(const NewtonSetup& setup, const Eigen::VectorXd& f_ext, NewtonState& state,
                                  TangentSolver& solver, NewtonStats& stats);

// The internal forces at u for the state's map and curve forces (geometric stiffness included),
// the same vector the pass measures equilibrium with against load_factor·F: less load_factor
// times the part of the released beams' loads that depends on the state's axial forces.
Expected<Eigen::VectorXd> internal_forces(const NewtonSetup& setup, const Eigen::VectorXd& u,
                                          const NewtonState& state, double load_factor);

}  // namespace varn::second_order
