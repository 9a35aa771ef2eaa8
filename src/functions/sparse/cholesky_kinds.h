#pragma once
// The two numeric Cholesky factorisations of the sparse layer, both into the supernodal factor
// of CHOLMOD's analysis of K: the pool's (supernodal_cholesky.h), which every factorisation
// uses, and CHOLMOD's own numeric factorisation, the reference the pool's is tested against.
// Where the pool's cannot read a layout, CHOLMOD's factorises instead.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "functions/sparse/matrix.h"
#include "functions/sparse/supernodal_cholesky.h"

namespace varn {

enum class NumericCholeskyKind { Pool, Cholmod };

// The kind every numeric Cholesky factorisation of the process uses while the scope lives
// (Pool outside any scope). For tests that run the layer on CHOLMOD's factorisation as the
// oracle of the pool's; it is process-wide, so open it only while nothing else factorises.
class NumericCholeskyScope {
 public:
  explicit NumericCholeskyScope(NumericCholeskyKind kind);
  ~NumericCholeskyScope();
  NumericCholeskyScope(const NumericCholeskyScope&) = delete;
  NumericCholeskyScope& operator=(const NumericCholeskyScope&) = delete;

 private:
  NumericCholeskyKind previous_;
};
NumericCholeskyKind numeric_cholesky_in_use();

// The numeric factor of K's lower triangle by one kind alone, on K's own analysis, as the
// factorisation itself reports it (before the pivot test that every factor of the layer then
// passes): K = Pᵀ·L·Lᵀ·P with L lower triangular in the elimination order, perm[k] the DOF of K
// eliminated k-th. `l` is empty unless Factorised; `broken_dof` is the DOF (K's numbering) where
// a factorisation that was not positive definite, or met a non-finite entry, broke down.
struct NumericCholeskyFactor {
  SupernodalOutcome outcome = SupernodalOutcome::Unavailable;
  std::optional<std::size_t> broken_dof;
  SparseMatrix l;
  std::vector<std::int64_t> perm;
  std::int64_t supernodes = 0;
};
NumericCholeskyFactor numeric_cholesky_factor(const SparseMatrix& k, NumericCholeskyKind kind);

}  // namespace varn
