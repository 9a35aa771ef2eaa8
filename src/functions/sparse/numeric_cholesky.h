#pragma once
// The numeric Cholesky factorisation into a supernodal factor of CHOLMOD's analysis, and the
// pivot test every Cholesky factor of this layer passes. Internal to the sparse layer.
#include <Eigen/Core>

#include "functions/sparse/cholmod_support.h"
#include "functions/sparse/supernodal_cholesky.h"

namespace varn::sparse_detail {

// Every pivot of a numeric factor compared with the diagonal stiffness of its DOF; the first
// DOF (original numbering) whose pivot fails is written to `failed`.
bool cholesky_pivots_sound(const cholmod_factor* l, const Eigen::VectorXd& diag, Index* failed = nullptr);

// The layout of a supernodal factor's arrays.
SupernodalLayout layout_of(const cholmod_factor* l);

// Numeric Cholesky of K (lower triangle) into L: a copy of the symbolic factor, or a numeric
// factor of the same analysis, whose supernodes are cleared and filled again (the same numbers
// as a fresh copy gives); on the pool where L is supernodal, by CHOLMOD otherwise. False when K is not (numerically) positive definite, with
// the DOF (original numbering) where elimination broke down in `failed` when there is one:
// CHOLMOD's first non-positive pivot, or the first pivot that kept only round-off of its
// diagonal. That DOF is a combination of the ones eliminated before it: it moves with them
// without resistance.
bool cholesky_factorize_into(cholmod_factor* l, const SparseMatrix& k, Index* failed = nullptr);

// Numeric Cholesky of K on a copy of a symbolic factor; null when K is not positive definite.
cholmod_factor* cholesky_factorize(const cholmod_factor* symbolic, const SparseMatrix& k, Index* failed = nullptr);

void free_cholesky(cholmod_factor* l);

}  // namespace varn::sparse_detail
