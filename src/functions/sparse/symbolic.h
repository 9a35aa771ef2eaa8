#pragma once
// The symbolic Cholesky analysis kept for every later matrix of one pattern.
#include <Eigen/Core>

#include <cstddef>
#include <memory>
#include <optional>

#include "expected.h"
#include "functions/sparse/factorization.h"

namespace varn {

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

}  // namespace varn
