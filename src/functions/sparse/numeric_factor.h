#pragma once
// The numeric factor a SparseFactorization keeps. Internal to the sparse layer.
#include <memory>
#include <mutex>

#include "functions/sparse/cholmod_support.h"
#include "functions/sparse/lu.h"
#include "functions/sparse/numeric_cholesky.h"
#include "functions/sparse/symbolic_analysis.h"

namespace varn {

struct SparseNumericFactor {
  MovableSparseMatrix k;               // the factorised matrix (compressed), for the residual test
  std::shared_ptr<const CholeskySymbolic> analysis;  // the analysis the Cholesky factor has
  cholmod_factor* cholesky = nullptr;  // the numeric Cholesky factor, or
  void* lu = nullptr;                  // the UMFPACK numeric object
  // The simplicial LDLᵀ form of a supernodal Cholesky factor that low-rank modifications
  // start from, made once by the first of them and copied by every one (modify_low_rank).
  mutable std::once_flag simplicial_once;
  mutable cholmod_factor* simplicial = nullptr;

  SparseNumericFactor() = default;
  SparseNumericFactor(const SparseNumericFactor&) = delete;
  SparseNumericFactor& operator=(const SparseNumericFactor&) = delete;
  ~SparseNumericFactor() {
    sparse_detail::free_cholesky(cholesky);
    sparse_detail::free_cholesky(simplicial);
    sparse_detail::free_lu(lu);
  }
};

// The plan of the solves with a numeric factor's supernodal Cholesky factor; null for any
// other factor, or one whose layout the plan does not read (CHOLMOD then solves).
const SupernodalSolvePlan* solve_plan(const SparseNumericFactor& f);

}  // namespace varn
