#pragma once
// Sparse LU by UMFPACK: the fall-back for matrices that are symmetric but indefinite, or not
// symmetric at all. Internal to the sparse layer.
#include <Eigen/Core>

#include <optional>

#include "functions/sparse/matrix.h"

namespace varn::sparse_detail {

// Sparse LU of the whole K: the UMFPACK numeric object, null when K is singular. A factor with
// a zero or round-off pivot is a singular matrix.
void* lu_factorize(const SparseMatrix& k);
void free_lu(void* numeric);
// K X = B with the UMFPACK numeric object of K (B scaled to unit magnitude, the solution
// refined unless `refine` is false). The object is only read.
std::optional<Eigen::MatrixXd> lu_solve_factored(void* numeric, const SparseMatrix& k, const Eigen::MatrixXd& b,
                                                 bool refine = true);
// Factorise, solve, free.
std::optional<Eigen::MatrixXd> lu_solve(const SparseMatrix& k, const Eigen::MatrixXd& b);

}  // namespace varn::sparse_detail
