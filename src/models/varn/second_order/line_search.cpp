#include "models/varn/second_order/line_search.h"

#include <array>

namespace varn::second_order {

namespace {

// A trial of step length α must shave at least 1 % of α off the residual it started from
// (Armijo-like, with the slope of the residual norm taken as -res0): a full Newton step has
// to win 1 %, the shortest one only about five millionths.
constexpr double kDecreaseSlope = 0.01;

bool sufficient_decrease(double rel, double alpha, double res0) { return rel <= (1.0 - kDecreaseSlope * alpha) * res0; }

// Sparse path: three halvings, then straight to the shortest step, so that a direction that
// only helps in its first per mille is still tried before giving up.
constexpr std::array<double, 5> kSparseAlphas = {1.0, 0.5, 0.25, 0.125, kAlphaMin};
// Rigid path on the true residual: the linearised search has already probed the direction
// finely, so only the coarse lengths and the shortest are checked against equilibrium.
constexpr std::array<double, 4> kRigidTrueAlphas = {1.0, 0.5, 0.25, kAlphaMin};
// Sufficient decrease of the step against the direction on the rigid path: (1 - 0.01·2^-11).
constexpr double kRigidFlipFactor = 0.9999951171875;

}  // namespace

std::optional<AcceptedTrial> line_search_sparse(const Eigen::VectorXd& u, const Eigen::VectorXd& du, double res0,
                                                const TrialResidualFn& residual) {
  // Best so far; it starts as the unmoved state, which only a strictly smaller residual
  // replaces, so that a direction that cannot lower the residual at all is reported as
  // failed instead of being "accepted" without a move.
  std::optional<AcceptedTrial> best;
  double best_rel = res0;

  for (const double alpha : kSparseAlphas) {
    Eigen::VectorXd trial = u + alpha * du;
    auto r = residual(trial);
    if (!r) continue;  // internal forces not computable there: the trial does not exist
    const double rel = r->rel;
    const bool better = rel < best_rel;
    if (better) {
      best_rel = rel;
      best = AcceptedTrial{std::move(trial), std::move(r->f_int), alpha, rel};
    }
    if (sufficient_decrease(rel, alpha, res0)) {
      // An earlier trial may still have the smaller residual: it is the one taken.
      if (best) return best;
      // Only reachable with res0 = 0 and a trial that keeps it 0: that trial is taken, so the
      // caller receives internal forces that belong to the state it moves to.
      return AcceptedTrial{u + alpha * du, std::move(r->f_int), alpha, rel};
    }
  }
  if (best_rel < res0) return best;

  // Every length along the direction made matters worse: a tiny step the other way is the
  // last resort (it helps when the tangent's direction is slightly off near a limit point).
  const double flip = -kAlphaMin;
  Eigen::VectorXd trial = u + flip * du;
  if (auto r = residual(trial); r && r->rel < best_rel) {
    best_rel = r->rel;
    best = AcceptedTrial{std::move(trial), std::move(r->f_int), flip, r->rel};
  }
  if (best_rel < res0) return best;
  return std::nullopt;
}

std::optional<AcceptedReducedTrial> line_search_rigid(const Eigen::VectorXd& u_r, const Eigen::VectorXd& du_r,
                                                      double res0, const LinearisedResidualFn& linearised,
                                                      const TrueResidualFn& true_residual) {
  // Linearised search: α = 1, 1/2, ..., 2^-11 on the residual of the reduced linear system;
  // the first sufficient decrease is taken, and at the shortest length any residual not
  // above res0.
  double alpha = 1.0;
  Eigen::VectorXd trial = u_r + alpha * du_r;
  double r = linearised(trial);
  if (sufficient_decrease(r, alpha, res0)) return AcceptedReducedTrial{std::move(trial), alpha, r};
  do {
    alpha *= 0.5;
    trial = u_r + alpha * du_r;
    r = linearised(trial);
  } while (!(alpha <= kAlphaMin || sufficient_decrease(r, alpha, res0)));
  if (alpha > kAlphaMin) return AcceptedReducedTrial{std::move(trial), alpha, r};
  if (r <= res0) return AcceptedReducedTrial{std::move(trial), alpha, r};

  // The linear model sees no descent: judge the coarse lengths on the true equilibrium
  // residual instead (no fall-back to the best of them).
  for (const double a : kRigidTrueAlphas) {
    trial = u_r + a * du_r;
    const auto rel = true_residual(trial);
    if (!rel) continue;
    if (sufficient_decrease(*rel, a, res0)) return AcceptedReducedTrial{std::move(trial), a, *rel};
  }

  const double flip = -kAlphaMin;
  trial = u_r + flip * du_r;
  if (const auto rel = true_residual(trial); rel && *rel <= kRigidFlipFactor * res0) {
    return AcceptedReducedTrial{std::move(trial), flip, *rel};
  }
  return std::nullopt;
}

}  // namespace varn::second_order
