#pragma once
// Dense solvers for small and reduced systems.
#include <Eigen/Core>

#include <optional>

namespace varn {

// Dense solvers for small and reduced systems. Both detect a singular or near-singular matrix
// (estimated reciprocal condition number at round-off level, a zero or non-finite pivot, a
// non-finite solution or a residual far above round-off) and return empty instead of a
// solution full of inf/NaN. A non-square A or a B with another row count is a fatal fault.

// LU with partial pivoting; returns only the solution of B's first column (n x 1).
std::optional<Eigen::MatrixXd> solve_dense_lu(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b);
// Cholesky (LL^T) of a symmetric positive definite A; all columns of B. Empty when A is not
// positive definite.
std::optional<Eigen::MatrixXd> solve_dense_cholesky(const Eigen::MatrixXd& a,
                                                    const Eigen::MatrixXd& b);


}  // namespace varn
