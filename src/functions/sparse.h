#pragma once
// The sparse numeric layer: the triplet collector that element matrices are scattered into,
// operations on compressed-column matrices, penalty supports, and the direct solvers
// (supernodal Cholesky with a reusable symbolic analysis, LU as the fall-back for matrices
// that are not positive definite, dense LU/Cholesky for small and reduced systems).
//
// The only sparse container the rest of the system sees is `varn::SparseMatrix`: an Eigen
// compressed-column matrix with 64-bit signed indices (std::int64_t, the index type of the
// "long" CHOLMOD/UMFPACK interfaces, so no index copy is made before a factorisation), with
// sorted, unique row indices in every column. SuiteSparse types never leave sparse.cpp.
//
// Failure conventions:
//  * a factorisation or solve that finds no trustworthy solution returns an empty optional;
//    the caller words the message ("Stiffness matrix is singular or near-singular"). A
//    solution with any non-finite entry is never returned.
//  * index faults (a DOF or triplet outside the matrix, an element matrix smaller than 14x14)
//    and a failed triplet build are fatal faults (varn::FatalFault).
#include <Eigen/Core>
#include <Eigen/SparseCore>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "expected.h"

namespace varn {

using SparseMatrix = Eigen::SparseMatrix<double, Eigen::ColMajor, std::int64_t>;

// Eigen's SparseMatrix has no move constructor or move assignment: a struct that holds one is
// copied, matrix and all, wherever it is moved (into an Expected, into a shared_ptr, out of a
// function). The large matrices kept across a request (a switch basis of tens of megabytes,
// the shared operators) are held in this instead: the same matrix, moved by swapping its
// storage.
class MovableSparseMatrix : public SparseMatrix {
 public:
  MovableSparseMatrix() = default;
  MovableSparseMatrix(const SparseMatrix& m) : SparseMatrix(m) {}
  MovableSparseMatrix(SparseMatrix&& m) noexcept { swap(m); }
  MovableSparseMatrix(const MovableSparseMatrix& m) = default;
  MovableSparseMatrix(MovableSparseMatrix&& m) noexcept { swap(m); }
  MovableSparseMatrix& operator=(const SparseMatrix& m) {
    SparseMatrix::operator=(m);
    return *this;
  }
  MovableSparseMatrix& operator=(SparseMatrix&& m) noexcept {
    swap(m);
    return *this;
  }
  MovableSparseMatrix& operator=(const MovableSparseMatrix& m) {
    SparseMatrix::operator=(m);
    return *this;
  }
  MovableSparseMatrix& operator=(MovableSparseMatrix&& m) noexcept {
    swap(m);
    return *this;
  }
  ~MovableSparseMatrix() = default;
};

// OpenBLAS (pthread build) must run its kernels on one thread: the parallelism of the
// analysis comes from the TBB pool, and BLAS threads on top of it oversubscribe the machine
// by an order of magnitude. Looks `openblas_set_num_threads` up at run time (nothing links
// OpenBLAS directly) and calls it with 1, once per process; every factorisation entry point
// calls this first. Returns true when an OpenBLAS was found and set (false with another BLAS).
// A supernodal Cholesky factorisation takes its parallelism from the pool as well, its
// supernodes and the tiles of its large ones side by side (functions/supernodal_cholesky.h).
bool init_blas_single_thread();

// ---------------------------------------------------------------------------------------------
// Triplet collector.

struct SparseTriplet {
  std::size_t row_index;
  std::size_t col_index;
  double val;
  // The accessor names Eigen's triplet construction expects.
  std::int64_t row() const { return static_cast<std::int64_t>(row_index); }
  std::int64_t col() const { return static_cast<std::int64_t>(col_index); }
  double value() const { return val; }
};

class SparseAssembler {
 public:
  static constexpr std::size_t kTripletsPerMember = 196;  // 14 x 14 element entries

  explicit SparseAssembler(std::size_t n) : n_(n) {}
  // Room for 196 triplets per member, so that the scatter loop never reallocates.
  static SparseAssembler with_capacity(std::size_t n, std::size_t number_of_members);

  // Appends (row, col, value) unless value == 0.0 exactly (-0.0 is skipped, NaN is kept so
  // that a broken element shows up in the solve instead of vanishing).
  void add(std::size_t row, std::size_t col, double value) {
    if (value != 0.0) triplets_.push_back(SparseTriplet{row, col, value});
  }

  // Scatters a 14x14 global element matrix: the start-start, start-end, end-start and end-end
  // 7x7 blocks to the DOFs beginning at s = 7*(start id - 1) and e = 7*(end id - 1). A member
  // whose two ends are the same node simply sums its blocks. An element matrix smaller than
  // 14x14 is a fatal index fault.
  void assemble_element(std::size_t s, std::size_t e, const Eigen::Ref<const Eigen::MatrixXd>& k);

  // The triplets of `blocks` (null ones skipped) one after the other in their order, copied
  // side by side on the pool, with room for at least `members` members. Blocks of members
  // assembled in parallel and joined in member order keep the summation order of a serial
  // scatter, whatever the scheduling.
  static SparseAssembler concatenate(std::size_t n, const std::vector<const SparseAssembler*>& blocks,
                                     std::size_t members);

  // n x n compressed-column matrix, duplicate triplets summed (entries that sum to zero stay
  // stored, which keeps the pattern). A triplet outside the matrix or an allocation failure
  // is the fatal fault "SparseAssembler: failed to build CSC matrix from triplets: ...".
  SparseMatrix to_csc() const;

  std::size_t n() const { return n_; }
  const std::vector<SparseTriplet>& triplets() const { return triplets_; }
  std::size_t capacity() const { return triplets_.capacity(); }

 private:
  std::size_t n_;
  std::vector<SparseTriplet> triplets_;
};

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

// ---------------------------------------------------------------------------------------------
// Sparse direct solvers.

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

// The symbolic Cholesky analysis of one sparsity pattern, kept so that the numeric
// factorisations of every later matrix with that pattern (other load levels, Newton tangents,
// combinations solved in parallel) skip the ordering and the supernode analysis. Copies share
// the one analysis; it is read-only after creation, so concurrent calls of
// factorize_numerical_and_solve on one object (or its copies) are safe, each numeric factor
// being private to its call.
//
// The fill-reducing ordering is made on the node graph, not the DOF graph: for a matrix of
// whole nodes (7 DOFs each, DOF 7·(node − 1) + k) the nodes coupled by any stored entry are
// ordered, and each node's DOFs follow it together. The DOFs of a node are coupled to the
// same neighbours, and ordering them as one keeps the supernodes whole, where AMD on the DOF
// graph splits them by the odd zero coupling. The node graph is ordered by minimum degree
// (AMD) and, from a thousand nodes on, by nested dissection (METIS) too, and the ordering of
// fewer flops is kept. Other orders (reduced systems) are ordered by AMD on the DOF graph.
// Both orderings are deterministic (METIS runs one call at a time), so the factor is
// bit-identical on every run however many solves run at once.
class CachedSymbolicCholesky {
 public:
  // Analyses K's lower-triangle pattern; the message is
  // "Symbolic Cholesky analysis failed: {reason}".
  static Expected<CachedSymbolicCholesky> create(const SparseMatrix& k);

  // Numeric Cholesky of K on the cached analysis and solve K X = B. K must have the analysed
  // pattern (or a part of it); a K whose pattern does not fit is not factorised on the stale
  // analysis but analysed afresh (method Cholesky). When Cholesky fails, sparse LU of K.
  std::optional<Eigen::MatrixXd> factorize_numerical_and_solve(const SparseMatrix& k,
                                                               const Eigen::MatrixXd& b,
                                                               SparseSolveInfo* info = nullptr) const;

  std::size_t n() const;
  // Entries of the Cholesky factor the analysis predicts (for the benchmark and the log).
  double factor_nnz() const;
  // Floating-point operations of one numeric factorisation on this analysis (the simplicial
  // LL' count of the ordering, without supernodal padding).
  double factor_flops() const;
  // Identity of the shared analysis: equal for every copy of one analysis.
  const void* symbolic_id() const { return symbolic_.get(); }
  // How many numeric factorisations have used this analysis (over all copies).
  std::size_t numeric_factorizations() const;

 private:
  explicit CachedSymbolicCholesky(std::shared_ptr<const CholeskySymbolic> s)
      : symbolic_(std::move(s)) {}
  std::shared_ptr<const CholeskySymbolic> symbolic_;
};

// ---------------------------------------------------------------------------------------------
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
