#include "functions/sparse/constrained_solver.h"

#include <cmath>
#include <string>

#include "fatal.h"
#include "functions/sparse/cholesky_solve.h"
#include "functions/sparse/lu.h"
#include "functions/sparse/operations.h"
#include "functions/sparse/refinement.h"
#include "functions/sparse/symbolic_analysis.h"

namespace varn {

using namespace sparse_detail;

std::optional<Eigen::MatrixXd> solve_sparse_cholesky(const SparseMatrix& k_in,
                                                     const Eigen::MatrixXd& b,
                                                     SparseSolveInfo* info) {
  check_square_rhs(k_in, b, "solve_sparse_cholesky");
  set_method(info, SparseSolveMethod::Failed);
  init_blas_single_thread();
  SparseMatrix storage;
  const SparseMatrix& k = compressed(k_in, storage);
  Index failed = -1;
  if (auto s = analyse(k, /*keep_pattern=*/false)) {
    if (auto x = cholesky_numeric_solve((*s)->factor, k, b, &failed)) {
      set_method(info, SparseSolveMethod::Cholesky);
      return x;
    }
  }
  if (auto x = lu_solve(k, b)) {
    set_method(info, SparseSolveMethod::LU);
    return x;
  }
  if (info != nullptr && failed >= 0) info->unstable_dof = static_cast<std::size_t>(failed);
  return std::nullopt;
}

std::optional<Eigen::VectorXd> solve_sparse_system(const SparseMatrix& k, const Eigen::VectorXd& f,
                                                   const std::vector<std::size_t>& dofs,
                                                   SparseSolveInfo* info) {
  set_method(info, SparseSolveMethod::Failed);
  for (std::size_t d : dofs) check_index(d, static_cast<std::size_t>(f.size()), "solve_sparse_system: DOF of f");
  ConstrainedSparseSolver solver;
  solver.factorize(k, dofs);
  check_square_rhs(k, f, "solve_sparse_system");
  auto x = solver.solve_vector(f);
  if (x) set_method(info, solver.info());
  if (!x && info != nullptr) info->unstable_dof = solver.factorization().unstable_dof();
  return x;
}

std::optional<Eigen::MatrixXd> solve_sparse_system_multi_rhs(const SparseMatrix& k,
                                                             const Eigen::MatrixXd& b,
                                                             const std::vector<std::size_t>& dofs,
                                                             SparseSolveInfo* info) {
  set_method(info, SparseSolveMethod::Failed);
  check_square_rhs(k, b, "solve_sparse_system_multi_rhs");
  ConstrainedSparseSolver solver;
  solver.factorize(k, dofs);
  auto x = solver.solve(b);
  if (x) set_method(info, solver.info());
  if (!x && info != nullptr) info->unstable_dof = solver.factorization().unstable_dof();
  return x;
}

SparseSolveMethod ConstrainedSparseSolver::factorize(const SparseMatrix& k, std::vector<std::size_t> constrained) {
  const double p = constrained.empty() ? 0.0 : penalty_value(k);
  return factorize_with_penalty(k, std::move(constrained), p);
}

SparseSolveMethod ConstrainedSparseSolver::factorize_with_penalty(const SparseMatrix& k,
                                                                  std::vector<std::size_t> constrained,
                                                                  double penalty) {
  constrained_ = std::move(constrained);
  penalty_ = constrained_.empty() ? 0.0 : penalty;
  for (std::size_t d : constrained_) check_index(d, static_cast<std::size_t>(k.rows()), "constrained DOF");
  return factorization_.factorize(apply_given_penalty_to_k(k, constrained_, penalty_));
}

SparseSolveMethod ConstrainedSparseSolver::modify_low_rank(const SparseMatrix& k_new, const SparseMatrix& c_add,
                                                           const SparseMatrix& c_remove) {
  for (std::size_t d : constrained_) check_index(d, static_cast<std::size_t>(k_new.rows()), "constrained DOF");
  return factorization_.modify_low_rank(apply_given_penalty_to_k(k_new, constrained_, penalty_), c_add, c_remove);
}

std::optional<Eigen::MatrixXd> ConstrainedSparseSolver::solve(const Eigen::MatrixXd& b) const {
  Eigen::MatrixXd rhs = b;
  // The penalty holds a constrained DOF at zero only when it carries no load.
  for (std::size_t d : constrained_) {
    check_index(d, static_cast<std::size_t>(rhs.rows()), "constrained row of a right-hand side");
    rhs.row(static_cast<Eigen::Index>(d)).setZero();
  }
  return factorization_.solve(rhs);
}

std::optional<Eigen::VectorXd> ConstrainedSparseSolver::solve_vector(const Eigen::VectorXd& f) const {
  auto x = solve(Eigen::MatrixXd(f));
  if (!x) return std::nullopt;
  return Eigen::VectorXd(x->col(0));
}

std::optional<Eigen::MatrixXd> ConstrainedSparseSolver::solve_towards(const SparseMatrix& k_t,
                                                                      const Eigen::MatrixXd& b,
                                                                      Eigen::MatrixXd x0) const {
  return solve_towards(k_t, b, std::move(x0),
                       [&](const Eigen::MatrixXd& r) { return factorization_.solve_once(r); });
}

std::optional<Eigen::MatrixXd> ConstrainedSparseSolver::solve_towards(const SparseMatrix& k_t,
                                                                      const Eigen::MatrixXd& b, Eigen::MatrixXd x0,
                                                                      const Correction& correction) const {
  if (factorization_.info() == SparseSolveMethod::Failed) return std::nullopt;
  const auto n = static_cast<Index>(factorization_.rows());
  if (k_t.rows() != n || k_t.cols() != n || b.rows() != n || x0.rows() != n || x0.cols() != b.cols())
    fatal("ConstrainedSparseSolver::solve_towards: operator, loads or start of another order than the factor");
  SparseMatrix target = apply_given_penalty_to_k(k_t, constrained_, penalty_);
  target.makeCompressed();
  Eigen::MatrixXd rhs = b;
  for (std::size_t d : constrained_) rhs.row(static_cast<Index>(d)).setZero();
  return solve_unit_scaled(rhs, [&](const Eigen::MatrixXd& scaled) -> std::optional<Eigen::MatrixXd> {
    // The start scaled with the loads (the same power of two per column: exact).
    Eigen::MatrixXd x = x0;
    for (Index c = 0; c < x.cols(); ++c) {
      const double m = rhs.col(c).lpNorm<Eigen::Infinity>();
      int e = 0;
      if (m > 0.0 && std::isfinite(m)) std::frexp(m, &e);
      for (Index i = 0; i < x.rows(); ++i) x(i, c) = std::ldexp(x(i, c), -e);
    }
    return refine_solution(target, true, scaled, std::move(x), correction);
  });
}

std::optional<Eigen::MatrixXd> ConstrainedSparseSolver::solve_once(const Eigen::MatrixXd& b) const {
  if (factorization_.info() == SparseSolveMethod::Failed) return std::nullopt;
  Eigen::MatrixXd rhs = b;
  for (std::size_t d : constrained_) {
    check_index(d, static_cast<std::size_t>(rhs.rows()), "constrained row of a right-hand side");
    rhs.row(static_cast<Index>(d)).setZero();
  }
  std::optional<Eigen::MatrixXd> x = factorization_.solve_once(rhs);
  if (!x || !x->allFinite()) return std::nullopt;
  return x;
}

std::optional<Eigen::MatrixXd> ConstrainedSparseSolver::solve_towards(const SparseMatrix& k_t,
                                                                      const Eigen::MatrixXd& b) const {
  std::optional<Eigen::MatrixXd> x0 = solve_once(b);
  if (!x0) return std::nullopt;
  return solve_towards(k_t, b, std::move(*x0));
}

}  // namespace varn
