#include "functions/sparse/dense.h"

#include <Eigen/Cholesky>
#include <Eigen/LU>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "fatal.h"
#include "functions/sparse/factorization.h"
#include "functions/sparse/refinement.h"

namespace varn {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
using sparse_detail::kResidualTolerance;

// Power-of-two scale factor 1/|v| (exact in floating point, so scaling adds no rounding).
double pow2_reciprocal(double v) {
  int e = 0;
  std::frexp(v, &e);
  return std::ldexp(1.0, -e);
}

void check_dense(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b, const char* what) {
  if (a.rows() != a.cols())
    fatal(std::string(what) + ": the matrix is " + std::to_string(a.rows()) + " x " +
          std::to_string(a.cols()) + ", not square");
  if (b.rows() != a.rows())
    fatal(std::string(what) + ": the right-hand side has " + std::to_string(b.rows()) +
          " rows but the matrix has " + std::to_string(a.rows()));
}

// Round-off level of the reciprocal condition number of an equilibrated n x n matrix: below
// it the matrix is singular to working precision.
double singular_rcond(Eigen::Index n) { return kEps * static_cast<double>(std::max<Eigen::Index>(n, 1)); }

bool dense_residual_ok(const Eigen::MatrixXd& a, const Eigen::MatrixXd& x, const Eigen::MatrixXd& b) {
  const Eigen::MatrixXd r = a * x - b;
  const double a_norm = a.cwiseAbs().rowwise().sum().maxCoeff();
  for (Eigen::Index c = 0; c < x.cols(); ++c) {
    const double scale =
        a_norm * x.col(c).lpNorm<Eigen::Infinity>() + b.col(c).lpNorm<Eigen::Infinity>();
    if (!(r.col(c).lpNorm<Eigen::Infinity>() <= kResidualTolerance * scale)) return false;
  }
  return true;
}

}  // namespace

std::optional<Eigen::MatrixXd> solve_dense_lu(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  check_dense(a, b, "solve_dense_lu");
  if (b.cols() < 1) fatal("index out of bounds: solve_dense_lu: the right-hand side has no column");
  const Eigen::Index n = a.rows();
  if (n == 0) return Eigen::MatrixXd(0, 1);
  if (!a.allFinite() || !b.col(0).allFinite()) return std::nullopt;
  // Equilibrate rows, then columns, so that the condition estimate measures near-singularity
  // and not the mix of units (N/m against N*m/rad against warping stiffness).
  Eigen::VectorXd r(n), c(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double m = a.row(i).cwiseAbs().maxCoeff();
    if (m == 0.0) return std::nullopt;  // a DOF that nothing stiffens
    r[i] = pow2_reciprocal(m);
  }
  Eigen::MatrixXd as = r.asDiagonal() * a;
  for (Eigen::Index j = 0; j < n; ++j) {
    const double m = as.col(j).cwiseAbs().maxCoeff();
    if (m == 0.0) return std::nullopt;
    c[j] = pow2_reciprocal(m);
  }
  as = as * c.asDiagonal();
  Eigen::PartialPivLU<Eigen::MatrixXd> lu(as);
  const Eigen::VectorXd pivots = lu.matrixLU().diagonal();
  for (Eigen::Index i = 0; i < n; ++i)
    if (!std::isfinite(pivots[i]) || pivots[i] == 0.0) return std::nullopt;
  const double rcond = lu.rcond();
  if (!(rcond >= singular_rcond(n))) return std::nullopt;
  return solve_unit_scaled(b.col(0), [&](const Eigen::MatrixXd& scaled) -> std::optional<Eigen::MatrixXd> {
    const Eigen::VectorXd y = lu.solve(r.asDiagonal() * scaled);
    Eigen::MatrixXd x = c.asDiagonal() * y;
    if (!x.allFinite() || !dense_residual_ok(a, x, scaled)) return std::nullopt;
    return x;
  });
}

std::optional<Eigen::MatrixXd> solve_dense_cholesky(const Eigen::MatrixXd& a,
                                                    const Eigen::MatrixXd& b) {
  check_dense(a, b, "solve_dense_cholesky");
  const Eigen::Index n = a.rows();
  if (n == 0) return Eigen::MatrixXd(0, b.cols());
  if (!a.allFinite() || !b.allFinite()) return std::nullopt;
  // Symmetric scaling by the diagonal keeps the matrix symmetric and makes the condition
  // estimate independent of the DOF units; a non-positive diagonal is not positive definite.
  Eigen::VectorXd s(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    if (!(a(i, i) > 0.0)) return std::nullopt;
    s[i] = pow2_reciprocal(std::sqrt(a(i, i)));
  }
  const Eigen::MatrixXd as = s.asDiagonal() * a * s.asDiagonal();
  Eigen::LLT<Eigen::MatrixXd> llt(as);
  if (llt.info() != Eigen::Success) return std::nullopt;
  const Eigen::VectorXd l_diag = llt.matrixLLT().diagonal();
  for (Eigen::Index i = 0; i < n; ++i)
    if (!std::isfinite(l_diag[i]) || !(l_diag[i] > 0.0)) return std::nullopt;
  if (!(llt.rcond() >= singular_rcond(n))) return std::nullopt;
  return solve_unit_scaled(b, [&](const Eigen::MatrixXd& scaled) -> std::optional<Eigen::MatrixXd> {
    Eigen::MatrixXd x = s.asDiagonal() * llt.solve(s.asDiagonal() * scaled);
    if (!x.allFinite() || !dense_residual_ok(a, x, scaled)) return std::nullopt;
    return x;
  });
}

}  // namespace varn
