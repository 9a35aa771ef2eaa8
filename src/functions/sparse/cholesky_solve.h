#pragma once
// Solves with a numeric Cholesky factor: its sweeps on the pool where the layout allows, by
// CHOLMOD otherwise, refined against the factorised matrix. Internal to the sparse layer.
#include <Eigen/Core>

#include <optional>

#include "functions/sparse/cholmod_support.h"
#include "functions/sparse/supernodal_solve.h"

namespace varn::sparse_detail {

// One of CHOLMOD's systems with the factor (CHOLMOD_A: K X = B; CHOLMOD_L, CHOLMOD_Lt and the
// permutations: the halves of it), unrefined.
std::optional<Eigen::MatrixXd> cholmod_system_solve(const cholmod_factor* l, int system, const Eigen::MatrixXd& rhs);

// Which sweeps of K = Pᵀ·L·Lᵀ·P a solve takes: P then L (the forward half), Lᵀ then Pᵀ (the
// backward half), or all four.
enum class Sweeps { Forward, Backward, Both };

// The sweeps with a supernodal factor on the pool (SupernodalSolvePlan) where there is a plan
// for it, by CHOLMOD otherwise.
std::optional<Eigen::MatrixXd> factor_sweeps(const cholmod_factor* l, const SupernodalSolvePlan* plan, Sweeps which,
                                             const Eigen::MatrixXd& b);

// K X = B with the numeric Cholesky factor L of K (B scaled to unit magnitude, the solution
// refined unless `refine` is false); the factor is only read.
std::optional<Eigen::MatrixXd> cholesky_solve(const cholmod_factor* l, const SupernodalSolvePlan* plan,
                                              const SparseMatrix& k, const Eigen::MatrixXd& b, bool refine = true);

// Numeric Cholesky of K (lower triangle) on a copy of a symbolic factor, then K X = B.
std::optional<Eigen::MatrixXd> cholesky_numeric_solve(const cholmod_factor* symbolic,
                                                      const SparseMatrix& k,
                                                      const Eigen::MatrixXd& b, Index* failed = nullptr);

}  // namespace varn::sparse_detail
