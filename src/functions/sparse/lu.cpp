#include "functions/sparse/lu.h"

#include <umfpack.h>

#include <cmath>

#include "functions/sparse/cholmod_support.h"
#include "functions/sparse/counters.h"
#include "functions/sparse/refinement.h"

namespace varn::sparse_detail {

namespace {

// The same test for the LU fall-back, on the pivots of UMFPACK's row-scaled matrix (every row
// scaled to unit absolute sum): the round-off pivots of a free-floating 50,000-DOF frame came
// out near 7e-16, a well-posed one's far above 1e-14.
constexpr double kLuScaledPivot = 1e-14;

void lu_control(double (&control)[UMFPACK_CONTROL]) {
  use_advised_allocation();
  umfpack_dl_defaults(control);
  control[UMFPACK_PRL] = 0;
  control[UMFPACK_ORDERING] = UMFPACK_ORDERING_AMD;  // reproducible, like the Cholesky path
  control[UMFPACK_SCALE] = UMFPACK_SCALE_SUM;        // the pivot test below relies on it
}

}  // namespace

void* lu_factorize(const SparseMatrix& k) {
  const Index n = k.rows();
  double control[UMFPACK_CONTROL];
  double info[UMFPACK_INFO];
  lu_control(control);
  const Index* ap = k.outerIndexPtr();
  const Index* ai = k.innerIndexPtr();
  const double* ax = k.valuePtr();

  void* symbolic = nullptr;
  g_symbolic_analyses.fetch_add(1, std::memory_order_relaxed);
  if (umfpack_dl_symbolic(n, n, ap, ai, ax, &symbolic, control, info) != UMFPACK_OK) {
    if (symbolic) umfpack_dl_free_symbolic(&symbolic);
    return nullptr;
  }
  void* numeric = nullptr;
  g_numeric_factorizations.fetch_add(1, std::memory_order_relaxed);
  const auto status = umfpack_dl_numeric(ap, ai, ax, symbolic, &numeric, control, info);
  umfpack_dl_free_symbolic(&symbolic);
  // UMFPACK_WARNING_singular_matrix is a "successful" factorisation of a singular matrix:
  // its solve divides by a zero pivot.
  if (status != UMFPACK_OK || !numeric) {
    if (numeric) umfpack_dl_free_numeric(&numeric);
    return nullptr;
  }
  Eigen::VectorXd udiag(n), rs(n);
  SuiteSparse_long do_recip = 0;
  bool pivots_ok = umfpack_dl_get_numeric(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          udiag.data(), &do_recip, rs.data(), numeric) == UMFPACK_OK;
  for (Index i = 0; pivots_ok && i < n; ++i)
    pivots_ok = std::isfinite(udiag[i]) && std::abs(udiag[i]) >= kLuScaledPivot;
  if (!pivots_ok) {
    umfpack_dl_free_numeric(&numeric);
    return nullptr;
  }
  return numeric;
}

void free_lu(void* numeric) {
  if (numeric) umfpack_dl_free_numeric(&numeric);
}

namespace {

// K X = B with the UMFPACK numeric object of K, B scaled to unit magnitude. The object is only read.
std::optional<Eigen::MatrixXd> lu_solve_factored_scaled(void* numeric, const SparseMatrix& k,
                                                        const Eigen::MatrixXd& b, bool refine) {
  const Index n = k.rows();
  double control[UMFPACK_CONTROL];
  double info[UMFPACK_INFO];
  lu_control(control);
  // UMFPACK's own refinement is left off: the one refinement of this layer follows.
  control[UMFPACK_IRSTEP] = 0;
  auto solve_with_factor = [&](const Eigen::MatrixXd& rhs) -> std::optional<Eigen::MatrixXd> {
    Eigen::MatrixXd x(n, rhs.cols());
    for (Index c = 0; c < rhs.cols(); ++c) {
      if (umfpack_dl_solve(UMFPACK_A, k.outerIndexPtr(), k.innerIndexPtr(), k.valuePtr(), x.col(c).data(),
                           rhs.col(c).data(), numeric, control, info) != UMFPACK_OK)
        return std::nullopt;
    }
    return x;
  };
  std::optional<Eigen::MatrixXd> x = solve_with_factor(b);
  if (!refine) return x && all_finite(*x) ? x : std::nullopt;
  if (x && all_finite(*x)) x = refine_solution(k, false, b, std::move(*x), solve_with_factor);
  if (x && all_finite(*x) && residual_ok(k, false, *x, b)) return x;
  return std::nullopt;
}

}  // namespace

std::optional<Eigen::MatrixXd> lu_solve_factored(void* numeric, const SparseMatrix& k, const Eigen::MatrixXd& b,
                                                 bool refine) {
  return solve_unit_scaled(b, [&](const Eigen::MatrixXd& scaled) {
    return lu_solve_factored_scaled(numeric, k, scaled, refine);
  });
}

std::optional<Eigen::MatrixXd> lu_solve(const SparseMatrix& k, const Eigen::MatrixXd& b) {
  void* numeric = lu_factorize(k);
  if (!numeric) return std::nullopt;
  auto x = lu_solve_factored(numeric, k, b);
  free_lu(numeric);
  return x;
}

}  // namespace varn::sparse_detail
