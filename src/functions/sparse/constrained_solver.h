#pragma once
// Sparse systems with supports held by the penalty: one-shot solves and the constrained solver
// factorised once for any number of right-hand sides.
#include <Eigen/Core>

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "functions/sparse/factorization.h"

namespace varn {

// Solves K X = B: supernodal Cholesky of K (its lower triangle, node-graph ordering), falling
// back to sparse LU of the whole K when K is not (numerically) positive definite; empty when
// both fail, when the matrix is singular or when the solution is not finite.
std::optional<Eigen::MatrixXd> solve_sparse_cholesky(const SparseMatrix& k,
                                                     const Eigen::MatrixXd& b,
                                                     SparseSolveInfo* info = nullptr);
// Penalty on a copy of K and f at the listed DOFs, then solve_sparse_cholesky.
std::optional<Eigen::VectorXd> solve_sparse_system(const SparseMatrix& k, const Eigen::VectorXd& f,
                                                   const std::vector<std::size_t>& dofs,
                                                   SparseSolveInfo* info = nullptr);
// All load cases against one factorisation: penalty on K, listed rows of B zeroed.
std::optional<Eigen::MatrixXd> solve_sparse_system_multi_rhs(const SparseMatrix& k,
                                                             const Eigen::MatrixXd& b,
                                                             const std::vector<std::size_t>& dofs,
                                                             SparseSolveInfo* info = nullptr);
// A constrained sparse system factorised once for any number of right-hand sides: the support
// penalty p = max(max |K(i,i)|, 1)·1e10 added on every constrained diagonal (as
// apply_penalty_to_k), and every right-hand side zeroed at the constrained DOFs before the
// solve, so that the penalty holds them at zero. Successive factorize() calls with matrices
// of one pattern (Newton tangents, active-set passes) keep the symbolic analysis.
class ConstrainedSparseSolver {
 public:
  // Penalises K at the constrained DOFs (a DOF beyond K is a fatal index fault) and
  // factorises it. Returns the method, Failed when K is singular.
  SparseSolveMethod factorize(const SparseMatrix& k, std::vector<std::size_t> constrained);
  // The same with a given penalty instead of one taken from K's diagonal: a sequence of
  // operators that differ by a few members (active-set passes) keeps one penalty, so that
  // consecutive operators differ by exactly those members and a kept factor can follow them
  // by a low-rank modification. The penalty's value only decides how closely a held DOF
  // stays at zero.
  SparseSolveMethod factorize_with_penalty(const SparseMatrix& k, std::vector<std::size_t> constrained,
                                           double penalty);
  // The kept factor modified to that of K_new (penalised with the penalty of the last
  // factorisation) = K + C_add·C_addᵀ − C_remove·C_removeᵀ, as
  // SparseFactorization::modify_low_rank; Failed leaves the previous factor.
  SparseSolveMethod modify_low_rank(const SparseMatrix& k_new, const SparseMatrix& c_add,
                                    const SparseMatrix& c_remove);
  // The penalty of the last factorisation (0 before the first or without constrained DOFs).
  double penalty() const { return penalty_; }
  // Solution for every column of B (rows of a copy zeroed at the constrained DOFs); empty
  // when not factorised, singular or non-finite.
  std::optional<Eigen::MatrixXd> solve(const Eigen::MatrixXd& b) const;
  std::optional<Eigen::VectorXd> solve_vector(const Eigen::VectorXd& f) const;
  // One solve with the factor for B (zeroed at the constrained DOFs), neither refined nor
  // tested against K; empty when not factorised or not finite.
  std::optional<Eigen::MatrixXd> solve_once(const Eigen::MatrixXd& b) const;
  // Solutions X0 of the factorised K carried over to another operator K_t of the same order
  // that differs from K by small terms (K without its stabilising terms): X ← X + K⁻¹(B − K_t X)
  // with the kept factor, K_t penalised at the constrained DOFs like K, B zeroed there; the
  // stopping rules of every refinement of this layer. The iteration contracts by the size of
  // K − K_t against K, so it removes what the small terms carried; where they are all that holds
  // the structure it does not contract, and the last contracting X is returned. Empty when not
  // factorised. A K_t or X0 of another order than K is a fatal fault.
  std::optional<Eigen::MatrixXd> solve_towards(const SparseMatrix& k_t, const Eigen::MatrixXd& b,
                                               Eigen::MatrixXd x0) const;
  // The same with `correction` in place of the kept factor: an approximate inverse of K_t
  // penalised as here (another operator's inverse built on this factor), applied to residuals
  // zeroed at the constrained DOFs.
  using Correction = std::function<std::optional<Eigen::MatrixXd>(const Eigen::MatrixXd&)>;
  std::optional<Eigen::MatrixXd> solve_towards(const SparseMatrix& k_t, const Eigen::MatrixXd& b,
                                               Eigen::MatrixXd x0, const Correction& correction) const;
  // The same from the factor's own solution of B, taken once and unrefined: when the solution
  // is wanted only for K_t, its one refinement is the one towards K_t. Empty when not
  // factorised or when that solution is not finite.
  std::optional<Eigen::MatrixXd> solve_towards(const SparseMatrix& k_t, const Eigen::MatrixXd& b) const;

  SparseSolveMethod info() const { return factorization_.info(); }
  const std::vector<std::size_t>& constrained() const { return constrained_; }
  const SparseFactorization& factorization() const { return factorization_; }
  SparseFactorization& factorization() { return factorization_; }

 private:
  SparseFactorization factorization_;
  std::vector<std::size_t> constrained_;
  double penalty_ = 0.0;
};

}  // namespace varn
