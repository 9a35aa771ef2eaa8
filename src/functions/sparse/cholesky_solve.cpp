#include "functions/sparse/cholesky_solve.h"

#include "functions/sparse/numeric_cholesky.h"
#include "functions/sparse/refinement.h"

namespace varn::sparse_detail {

std::optional<Eigen::MatrixXd> cholmod_system_solve(const cholmod_factor* l, int system, const Eigen::MatrixXd& rhs) {
  SerialOpenMpRegions serial;
  CholmodCommon cc;
  std::optional<Eigen::MatrixXd> out;
  cholmod_dense bd = cholmod_view(rhs);
  cholmod_dense* xd = cholmod_l_solve(system, const_cast<cholmod_factor*>(l), &bd, &cc.c);
  if (xd && cc.c.status == CHOLMOD_OK)
    out = Eigen::Map<const Eigen::MatrixXd>(static_cast<const double*>(xd->x), rhs.rows(), rhs.cols());
  if (xd) cholmod_l_free_dense(&xd, &cc.c);
  return out;
}

std::optional<Eigen::MatrixXd> factor_sweeps(const cholmod_factor* l, const SupernodalSolvePlan* plan, Sweeps which,
                                             const Eigen::MatrixXd& b) {
  if (plan != nullptr && l->is_super && l->xtype == CHOLMOD_REAL && b.rows() == static_cast<Index>(l->n)) {
    const SupernodalLayout layout = layout_of(l);
    const auto* x = static_cast<const double*>(l->x);
    const Index n = b.rows();
    const Index* perm = layout.perm;
    Eigen::MatrixXd y(n, b.cols());
    if (which == Sweeps::Backward) {
      y = b;
    } else {
      for (Index c = 0; c < b.cols(); ++c)
        for (Index k = 0; k < n; ++k) y(k, c) = b(perm != nullptr ? perm[k] : k, c);
    }
    if ((which == Sweeps::Backward || plan->lower(layout, x, y.data(), y.cols(), n)) &&
        (which == Sweeps::Forward || plan->upper(layout, x, y.data(), y.cols(), n))) {
      if (which == Sweeps::Forward) return y;
      Eigen::MatrixXd out(n, b.cols());
      for (Index c = 0; c < b.cols(); ++c)
        for (Index k = 0; k < n; ++k) out(perm != nullptr ? perm[k] : k, c) = y(k, c);
      return out;
    }
  }
  switch (which) {
    case Sweeps::Both: return cholmod_system_solve(l, CHOLMOD_A, b);
    case Sweeps::Forward: {
      std::optional<Eigen::MatrixXd> x = cholmod_system_solve(l, CHOLMOD_P, b);
      return x ? cholmod_system_solve(l, CHOLMOD_L, *x) : x;
    }
    case Sweeps::Backward: {
      std::optional<Eigen::MatrixXd> x = cholmod_system_solve(l, CHOLMOD_Lt, b);
      return x ? cholmod_system_solve(l, CHOLMOD_Pt, *x) : x;
    }
  }
  return std::nullopt;
}

namespace {

std::optional<Eigen::MatrixXd> cholesky_solve_scaled(const cholmod_factor* l, const SupernodalSolvePlan* plan,
                                                     const SparseMatrix& k, const Eigen::MatrixXd& b, bool refine) {
  std::optional<Eigen::MatrixXd> result;
  auto solve_with_factor = [&](const Eigen::MatrixXd& rhs) { return factor_sweeps(l, plan, Sweeps::Both, rhs); };
  std::optional<Eigen::MatrixXd> x = solve_with_factor(b);
  if (!refine) return x && all_finite(*x) ? x : std::nullopt;
  if (x && all_finite(*x)) x = refine_solution(k, true, b, std::move(*x), solve_with_factor);
  if (x && all_finite(*x) && residual_ok(k, true, *x, b)) result = std::move(x);
  return result;
}

}  // namespace

std::optional<Eigen::MatrixXd> cholesky_solve(const cholmod_factor* l, const SupernodalSolvePlan* plan,
                                              const SparseMatrix& k, const Eigen::MatrixXd& b, bool refine) {
  if (b.cols() == 0) return Eigen::MatrixXd(b.rows(), 0);
  return solve_unit_scaled(b,
                           [&](const Eigen::MatrixXd& scaled) { return cholesky_solve_scaled(l, plan, k, scaled, refine); });
}

// Numeric Cholesky of K (lower triangle) on a copy of a symbolic factor, then K X = B.
std::optional<Eigen::MatrixXd> cholesky_numeric_solve(const cholmod_factor* symbolic,
                                                      const SparseMatrix& k,
                                                      const Eigen::MatrixXd& b, Index* failed) {
  cholmod_factor* l = cholesky_factorize(symbolic, k, failed);
  if (!l) return std::nullopt;
  // Swept as every kept factor is, so that a fresh solve is the kept factor's bits.
  const std::optional<SupernodalSolvePlan> plan =
      l->is_super && l->xtype == CHOLMOD_REAL ? SupernodalSolvePlan::of(layout_of(l)) : std::nullopt;
  auto x = cholesky_solve(l, plan ? &*plan : nullptr, k, b);
  free_cholesky(l);
  return x;
}

}  // namespace varn::sparse_detail
