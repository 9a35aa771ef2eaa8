#pragma once
// The kept factorisation of one sparse matrix (supernodal Cholesky, LU as the fall-back for
// matrices that are not positive definite), how a solve was obtained, the power-of-two scaling
// of right-hand sides every solve uses, and the layer's work counters.
#include <Eigen/Core>

#include <cmath>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "functions/sparse/matrix.h"

namespace varn {

// How a sparse solve was obtained (for diagnostics and tests).
enum class SparseSolveMethod {
  Failed,                  // no trustworthy solution: the result is empty
  Cholesky,                // fresh symbolic analysis + numeric Cholesky
  CholeskyCachedSymbolic,  // numeric Cholesky on a reused symbolic analysis
  LU,                      // Cholesky failed (not positive definite): sparse LU
  CholeskyModified,        // a kept Cholesky factor modified by a low-rank update/downdate
};

struct SparseSolveInfo {
  SparseSolveMethod method = SparseSolveMethod::Failed;
  // A failed solve of a singular K: the DOF where the Cholesky elimination broke down (it
  // moves with the DOFs eliminated before it without resistance), when one was found.
  std::optional<std::size_t> unstable_dof;
};

// Solves with every right-hand side scaled by a power of two to a largest entry in [0.5, 1),
// and scales each solution back: exact in floating point (ldexp), and it makes the acceptance
// of a solve (finite values, a residual small against |K||x| + |b|) a property of the matrix
// alone, independent of the size of the load. Unscaled, a load of 1e-310 N is solved in
// subnormal numbers whose lost digits fail the residual test as if K were singular, and a
// huge load overflows inside the solve. A solution that overflows only when scaled back is
// the true answer in floating point, reported as the non-finite result it is.
// B with each column scaled by a power of two to a largest entry in [0.5, 1), and the
// exponents that scale a solution back (scale_back).
struct UnitScaled {
  Eigen::MatrixXd b;
  std::vector<int> exponent;
};
inline UnitScaled scale_to_unit(const Eigen::MatrixXd& b) {
  UnitScaled s{Eigen::MatrixXd(b.rows(), b.cols()), std::vector<int>(static_cast<std::size_t>(b.cols()), 0)};
  for (Eigen::Index c = 0; c < b.cols(); ++c) {
    const double m = b.col(c).lpNorm<Eigen::Infinity>();
    int e = 0;
    if (m > 0.0 && std::isfinite(m)) std::frexp(m, &e);
    s.exponent[static_cast<std::size_t>(c)] = e;
    for (Eigen::Index i = 0; i < b.rows(); ++i) s.b(i, c) = std::ldexp(b(i, c), -e);
  }
  return s;
}
inline void scale_back(Eigen::MatrixXd& x, const std::vector<int>& exponent) {
  for (Eigen::Index c = 0; c < x.cols(); ++c) {
    const int e = exponent[static_cast<std::size_t>(c)];
    for (Eigen::Index i = 0; i < x.rows(); ++i) x(i, c) = std::ldexp(x(i, c), e);
  }
}

template <class Solve>
std::optional<Eigen::MatrixXd> solve_unit_scaled(const Eigen::MatrixXd& b, Solve&& solve) {
  const UnitScaled scaled = scale_to_unit(b);
  std::optional<Eigen::MatrixXd> x = solve(scaled.b);
  if (!x) return std::nullopt;
  scale_back(*x, scaled.exponent);
  return x;
}

struct CholeskySymbolic;  // the analysis itself (ordering + supernodal structure), opaque
struct SparseNumericFactor;  // a numeric factor (Cholesky or LU) with the matrix it factorises

// One sparse matrix factorised once and solved against any number of times, in the shape of
// Eigen's solver concept (analyse the pattern, factorise, solve, read one status):
//  * the symbolic Cholesky analysis (ordering, supernodal) of K's lower triangle is kept
//    while later matrices have the identical lower-triangle pattern (column pointers and row
//    indices compared), so a Newton iteration or an active-set loop on one structure pays the
//    ordering once;
//  * the numeric factor is kept until the next factorize(): every solve() reads it only, so
//    concurrent solves on one object (or on its copies, which share the factor) are safe and
//    give the same bits as one after another;
//  * a K that is not (numerically) positive definite is factorised by sparse LU; a singular K
//    leaves no factor (info() Failed) and every solve() empty.
//  * a refactorisation on the kept analysis reuses the kept factor's memory when no copy
//    shares it: the supernodes are overwritten in place (the same numbers as a fresh factor)
//    instead of freeing tens of megabytes and faulting fresh pages in for every pass.
// The ordering (see CachedSymbolicCholesky) makes the factor, hence every solution, identical
// on every run whatever else runs at the same time; BLAS kernels run single-threaded
// (init_blas_single_thread), and the pool's thread count does not show in a single bit.
class SparseFactorization {
 public:
  SparseFactorization();
  ~SparseFactorization();
  SparseFactorization(const SparseFactorization&);
  SparseFactorization& operator=(const SparseFactorization&);
  SparseFactorization(SparseFactorization&&) noexcept;
  SparseFactorization& operator=(SparseFactorization&&) noexcept;

  // Symbolic analysis of K's pattern (lower triangle), kept while later matrices have the
  // identical pattern. A failed analysis (out of memory) keeps none; factorize() then tries
  // again and falls back to LU. A non-square K is a fatal fault.
  void analyze_pattern(const SparseMatrix& k);
  // Numeric factorisation: Cholesky on the kept analysis (analysing afresh when the pattern
  // differs or none was made), sparse LU when K is not positive definite. Returns the method:
  // CholeskyCachedSymbolic when an analysis made before this call was used, Cholesky when the
  // analysis was made by it, LU, or Failed (then no factor is kept). K is copied into the
  // factor, which needs it for the residual test of every solve.
  SparseSolveMethod factorize(const SparseMatrix& k);
  // The same, taking K's storage instead of copying it.
  SparseSolveMethod factorize(SparseMatrix&& k);
  // Sparse LU of the whole K, for a matrix that is not symmetric (the consistent tangent of
  // elements whose frames turn with the motion): the Cholesky path reads one triangle only
  // and would solve another matrix. Returns LU, or Failed.
  SparseSolveMethod factorize_unsymmetric(const SparseMatrix& k);
  // The factor of K_new = K + C_add·C_addᵀ − C_remove·C_removeᵀ from the kept Cholesky factor
  // of K by a rank-k update and downdate (CHOLMOD's updown on a simplicial LDLᵀ copy), instead
  // of a new factorisation: the work is that of the factor columns the changed DOFs reach, not
  // of the whole elimination. A factor shared with copies of this object is not changed (they
  // keep solving with it); one held by this object alone is modified in place. C_add and C_remove are n x k (k may be 0); K_new must be the matrix
  // they describe, kept for the residual test of every solve. Returns CholeskyModified, or
  // Failed when there is no Cholesky factor to modify, when
  // the modification fails, or when K_new's pivots show it is no longer positive definite
  // (a factor this object alone held is then gone): the caller factorises K_new afresh.
  SparseSolveMethod modify_low_rank(const SparseMatrix& k_new, const SparseMatrix& c_add,
                                    const SparseMatrix& c_remove);
  // Solve with the kept numeric factor; empty when not factorised, singular or non-finite
  // (or when the residual shows a corrupt factor). B with another row count than K is a fatal
  // fault.
  std::optional<Eigen::MatrixXd> solve(const Eigen::MatrixXd& b) const;
  // One solve with the kept factor, neither refined nor tested against K: the correction
  // step of a refinement towards another operator. Empty when not factorised or not finite.
  std::optional<Eigen::MatrixXd> solve_once(const Eigen::MatrixXd& b) const;
  // The halves of the solve with a supernodal Cholesky factor, K = Pᵀ·L·Lᵀ·P, unrefined:
  // solve_forward(B) = L⁻¹·P·B and solve_backward(C) = Pᵀ·L⁻ᵀ·C, so that K⁻¹·B is
  // solve_backward(solve_forward(B)). Empty without such a factor or when not finite.
  std::optional<Eigen::MatrixXd> solve_forward(const Eigen::MatrixXd& b) const;
  std::optional<Eigen::MatrixXd> solve_backward(const Eigen::MatrixXd& c) const;
  // L⁻¹·P·U for sparse columns U, kept sparse: a column reaches only the supernodes on the
  // paths from its rows to the root of the elimination tree, and only those are solved (a
  // member's columns touch a few percent of a large frame's factor). The same values as
  // solve_forward up to round-off; empty without a supernodal Cholesky factor.
  std::optional<SparseMatrix> solve_forward_sparse(const SparseMatrix& u) const;
  // The method of the last factorize() (Failed before the first).
  SparseSolveMethod info() const { return method_; }
  // After a failed factorize(): the DOF where the Cholesky elimination broke down, if any.
  std::optional<std::size_t> unstable_dof() const { return unstable_dof_; }
  // The kept factor is a Cholesky factor (K was found positive definite).
  bool positive_definite() const;
  // The order of the matrix given to the last factorize() (0 before the first).
  std::size_t rows() const { return n_; }
  // The matrix the kept factor stands for (null without a factor).
  const SparseMatrix* matrix() const;
  // Analyses and numeric factorisations made by this object (copies count on).
  std::size_t symbolic_analyses() const { return symbolic_count_; }
  std::size_t numeric_factorizations() const { return numeric_count_; }

 private:
  SparseSolveMethod factorize_impl(MovableSparseMatrix k, bool try_cholesky);
  std::shared_ptr<const CholeskySymbolic> symbolic_;
  std::shared_ptr<const SparseNumericFactor> numeric_;
  SparseSolveMethod method_ = SparseSolveMethod::Failed;
  std::optional<std::size_t> unstable_dof_;
  std::size_t n_ = 0;
  std::size_t symbolic_count_ = 0;
  std::size_t numeric_count_ = 0;
};

// Process-wide counters of symbolic analyses (Cholesky orderings and LU analyses) and of
// numeric factorisations (Cholesky and LU), over every solver of this layer, for benchmarks
// and for tests that count how often a path factorises.
std::size_t sparse_numeric_factorization_count();
std::size_t sparse_symbolic_analysis_count();
// Low-rank modifications of a kept factor (SparseFactorization::modify_low_rank), counted apart
// from the numeric factorisations they stand in for.
std::size_t sparse_low_rank_update_count();
// Iterative-refinement steps (one residual and one solve with the kept factor each) taken by
// every sparse solve of this layer: each solution is refined against the matrix it solves
// until its correction falls below 2^-40 of it or stops halving (at most ten steps).
std::size_t sparse_refinement_step_count();

}  // namespace varn
