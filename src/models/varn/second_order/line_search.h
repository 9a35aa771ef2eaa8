#pragma once
// How far to go along a Newton direction: a short fixed table of step lengths, the first that
// reduces the relative residual enough is taken, else the best reduction seen, else one tiny
// step against the direction. The residual is supplied by the caller, so the rules can be
// exercised on a scripted residual as well as on the structure's equilibrium.
#include <functional>
#include <optional>

#include <Eigen/Core>

namespace varn::second_order {

// Smallest step length of every table, and the length of the step against the direction.
inline constexpr double kAlphaMin = 0.00048828125;  // 2^-11

// Sparse path: the relative equilibrium residual of a trial displacement and the internal
// force vector it was computed from; nothing when the internal forces cannot be evaluated
// (the trial is then skipped).
struct TrialResidual {
  double rel = 0.0;
  Eigen::VectorXd f_int;
};
using TrialResidualFn = std::function<std::optional<TrialResidual>(const Eigen::VectorXd& trial)>;

// The accepted state. `alpha` is the step length taken: 1.0 for a full step, negative
// (-kAlphaMin) for the step against the direction.
struct AcceptedTrial {
  Eigen::VectorXd u;
  Eigen::VectorXd f_int;
  double alpha = 0.0;
  double rel = 0.0;
};

// Trials u + α·du for α = 1, 1/2, 1/4, 1/8, 2^-11; sufficient decrease rel <= (1 - 0.01·α)·res0.
// Empty when no trial reduces the residual below res0.
std::optional<AcceptedTrial> line_search_sparse(const Eigen::VectorXd& u, const Eigen::VectorXd& du, double res0,
                                                const TrialResidualFn& residual);

// Rigid-elimination path on the reduced displacements: first the residual of the linearised
// reduced system (always computable), then the true residual of the expanded trial (nothing
// when the internal forces cannot be evaluated).
using LinearisedResidualFn = std::function<double(const Eigen::VectorXd& trial_r)>;
using TrueResidualFn = std::function<std::optional<double>(const Eigen::VectorXd& trial_r)>;

struct AcceptedReducedTrial {
  Eigen::VectorXd u_r;
  double alpha = 0.0;
  double rel = 0.0;  // the residual it was judged by: linearised, or true when that search ran
};

std::optional<AcceptedReducedTrial> line_search_rigid(const Eigen::VectorXd& u_r, const Eigen::VectorXd& du_r,
                                                      double res0, const LinearisedResidualFn& linearised,
                                                      const TrueResidualFn& true_residual);

}  // namespace varn::second_order
