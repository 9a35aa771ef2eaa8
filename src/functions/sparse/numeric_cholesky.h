#pragma once
// The numeric Cholesky factorisation into a supernodal factor of CHOLMOD's analysis, and the
// pivot test every Cholesky factor of this layer passes. Internal to the sparse layer.
#include <Eigen/Core>

#include "functions/sparse/cholesky_kinds.h"
#include "functions/sparse/cholmod_support.h"
#include "functions/sparse/supernodal_cholesky.h"

namespace varn::sparse_detail {

// Every pivot of a numeric factor compared with the diagonal stiffness of its DOF; the first
// DOF (original numbering) whose pivot fails is written to `failed`.
bool cholesky_pivots_sound(const cholmod_factor* l, const Eigen::VectorXd& diag, Index* failed = nullptr);

// The layout of a supernodal factor's arrays.
SupernodalLayout layout_of(const cholmod_factor* l);

// A numeric Cholesky factorisation of K's lower triangle into L, a supernodal factor (symbolic,
// or numeric of the same analysis, whose supernodes it fills again) of K's analysis. The
// outcome's column is in L's numbering. Unavailable: this kind cannot factorise into L (the
// pool's on a layout it does not read, CHOLMOD's out of memory).
class NumericCholesky {
 public:
  virtual ~NumericCholesky() = default;
  virtual SupernodalResult factorize(cholmod_factor* l, const SparseMatrix& k) const = 0;
};
const NumericCholesky& numeric_cholesky(NumericCholeskyKind kind);

// Numeric Cholesky of K (lower triangle) into L by the kind in use (NumericCholeskyScope), the
// supernodes of a numeric L cleared and filled again (the same numbers as a fresh copy of the
// symbolic factor gives). False when K is not (numerically) positive definite, with the DOF
// (original numbering) where elimination broke down in `failed` when there is one: the first
// pivot that was not positive, the first that kept only round-off of its diagonal, or the
// first that a non-finite entry of K reaches (then `not_finite` is set). That DOF is a
// combination of the ones eliminated before it: it moves with them without resistance.
bool cholesky_factorize_into(cholmod_factor* l, const SparseMatrix& k, Index* failed = nullptr,
                             bool* not_finite = nullptr);

// Numeric Cholesky of K on a copy of a symbolic factor; null when K is not positive definite.
cholmod_factor* cholesky_factorize(const cholmod_factor* symbolic, const SparseMatrix& k, Index* failed = nullptr,
                                   bool* not_finite = nullptr);

NumericCholeskyKind kind_in_use();
void set_kind_in_use(NumericCholeskyKind kind);

void free_cholesky(cholmod_factor* l);

}  // namespace varn::sparse_detail
