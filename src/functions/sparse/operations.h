#pragma once
// Operations on compressed-column matrices and the penalty that holds supported DOFs.
#include <Eigen/Core>

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "functions/sparse/matrix.h"

namespace varn {

// ---------------------------------------------------------------------------------------------
// Matrix operations (all return a new matrix unless "inplace").

// A + B, rebuilt from the two triplet lists; explicit zeros of either input disappear.
SparseMatrix sparse_add(const SparseMatrix& a, const SparseMatrix& b);
// A + B in A's pattern when B's pattern lies inside it (keeps a cached symbolic analysis
// valid); otherwise the rebuilt sparse_add(A, B).
SparseMatrix sparse_clone_and_add(const SparseMatrix& a, const SparseMatrix& b);
// K with each (dof, value) added on the diagonal; zero values are skipped, a DOF listed twice
// receives both values. K's stored entries keep their places, stored zeros included, so the
// pattern of the result depends on K's pattern and the listed DOFs only, never on values.
SparseMatrix sparse_add_diagonal(const SparseMatrix& k,
                                 const std::vector<std::pair<std::size_t, double>>& entries);
// Adds into K's stored diagonal entries. Returns false, with K unchanged, when one of the
// listed diagonal entries is not stored. A DOF >= n is a fatal index fault.
bool sparse_add_diagonal_inplace(SparseMatrix& k,
                                 const std::vector<std::pair<std::size_t, double>>& entries);
// Largest |K(i,i)| over the stored diagonal entries, NaN ignored, 0 when none is stored.
double sparse_max_abs_diagonal(const SparseMatrix& k);
// Dense copy in which every stored (r, c) is written at (r, c) and (c, r); when both triangles
// are stored the upper-triangle entry wins.
Eigen::MatrixXd sparse_to_dense_symmetric(const SparseMatrix& k);
// K * T (n x m dense), one task per column of T on the TBB pool; zero entries of T skipped.
Eigen::MatrixXd spmm_sparse_dense(const SparseMatrix& k, const Eigen::MatrixXd& t);
// T^T * K * T (m x m), used to condense the slave DOFs of rigid links onto retained DOFs.
Eigen::MatrixXd reduce_with_sparse_k(const SparseMatrix& k, const Eigen::MatrixXd& t);
// Vᵀ·V (m x m, dense) of a sparse V whose columns share many rows (the forward solves of a
// factor, which all pass its top separators): the rows that hold any entry are taken a band
// at a time into a dense block W of the columns with an entry there, and Wᵀ·W is formed in
// tiles on the pool with the BLAS's products and added to Vᵀ·V, where a sum per pair of sparse
// columns would spend its time gathering. The bands are added in order, and bands and tiles
// depend on V's pattern alone: the same bits on every thread count. None without the BLAS's
// kernels or beyond their sizes.
std::optional<Eigen::MatrixXd> sparse_gram(const SparseMatrix& v);

// ---------------------------------------------------------------------------------------------
// Penalty supports: p = max(max |K(i,i)|, 1) * 1e10 on each constrained diagonal, which holds
// the DOF at zero to about ten digits relative to the structure's own stiffness.

double penalty_value(const SparseMatrix& k);
SparseMatrix apply_penalty_to_k(const SparseMatrix& k, const std::vector<std::size_t>& dofs);
// The same with the penalty given (a DOF beyond K is a fatal index fault).
SparseMatrix apply_given_penalty_to_k(const SparseMatrix& k, const std::vector<std::size_t>& dofs, double penalty);
SparseMatrix apply_penalty_to_k_pub(const SparseMatrix& k, const std::vector<std::size_t>& dofs);
// f with no load at the held DOFs, the system a penalised operator solves (a DOF beyond f is a
// fatal index fault).
Eigen::VectorXd without_held_loads(const Eigen::VectorXd& f, const std::vector<std::size_t>& dofs);
// Also zeroes f at every constrained DOF (a DOF beyond f is a fatal index fault).
SparseMatrix apply_penalty_bc_sparse(const SparseMatrix& k, Eigen::VectorXd& f,
                                     const std::vector<std::size_t>& dofs);
// In K's stored diagonal. f is zeroed first in any case; returns false, with K unchanged,
// when a constrained diagonal entry is not stored (then use apply_penalty_bc_sparse).
bool apply_penalty_bc_inplace(SparseMatrix& k, Eigen::VectorXd& f,
                              const std::vector<std::size_t>& dofs);

}  // namespace varn
