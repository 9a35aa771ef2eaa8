#pragma once
// The numeric supernodal Cholesky factorisation K = Pᵀ·L·Lᵀ·P on the pool, into the storage
// of a supernodal factor that CHOLMOD's analysis laid out, so that every solve of the sparse
// layer reads it as one of CHOLMOD's own.
//
// A supernode's columns are the left-looking sum of its matrix entries and of the updates of
// the supernodes below it in the elimination tree, then a dense Cholesky of its diagonal block
// and a triangular solve of the rows beneath. Supernodes in different subtrees share nothing,
// so the subtrees are factorised side by side on the pool: a supernode is taken up once its
// children are done. The few supernodes that hold most of the work (the last separators of a
// frame, dense blocks of up to a few thousand columns) are cut into square tiles, assembled and
// eliminated on the pool as well. Every BLAS call runs on one thread.
//
// Every entry sums its updates in one fixed order (the supernodes below in ascending order),
// and which supernodes are tiled, and how, depends on the pattern alone: the factor is the same
// bits on every thread count and in every run.
#include <cstdint>
#include <optional>
#include <vector>

#include "functions/sparse/matrix.h"

namespace varn {

// The layout of a supernodal factor (CHOLMOD's arrays): supernode s holds the columns
// super[s] .. super[s + 1] − 1, its rows are rows[pi[s] .. pi[s + 1]) (its own columns first,
// ascending), and its values the column-major block at x + px[s] with one column per factor
// column and one row per row index. perm[k] is the DOF of K eliminated k-th (null: none).
// Supernodes are numbered so that every supernode comes after those below it in the tree.
struct SupernodalLayout {
  std::int64_t n = 0;
  std::int64_t supernodes = 0;
  const std::int64_t* super = nullptr;
  const std::int64_t* pi = nullptr;
  const std::int64_t* px = nullptr;
  const std::int64_t* rows = nullptr;
  const std::int64_t* perm = nullptr;
};

// The elimination tree of the supernodes: parent[s] is the supernode of the first row below
// supernode s's own columns (−1 at a root), owner[j] the supernode of factor column j. None when
// the layout is not one the code of this layer reads: a supernode's own rows not its columns in
// order, rows below it not ascending or not in a supernode after it, blocks beyond the BLAS's
// 32-bit sizes.
struct SupernodeTree {
  std::vector<std::int64_t> parent;
  std::vector<std::int64_t> owner;
};
std::optional<SupernodeTree> supernode_tree(const SupernodalLayout& layout);

enum class SupernodalOutcome {
  Factorised,
  // A diagonal block was not positive definite: x holds no factor.
  NotPositiveDefinite,
  // An entry of K is NaN or infinite: nothing was eliminated.
  NotFinite,
  // The layout is not one this code reads (an entry of K outside the factor's pattern, a
  // supernode numbered before one below it, blocks beyond the BLAS's 32-bit sizes, no BLAS or
  // LAPACK kernels): x is untouched or holds no factor, and the caller factorises elsewhere.
  Unavailable,
};

struct SupernodalResult {
  SupernodalOutcome outcome = SupernodalOutcome::Unavailable;
  // NotPositiveDefinite: the factor column (P·K·Pᵀ's numbering) whose pivot was not positive,
  // the first a sequential elimination meets; NotFinite: the first column whose pivot a
  // non-finite entry reaches. −1 otherwise.
  std::int64_t column = -1;
};

// Factorises the lower triangle of K (entries above the diagonal are ignored) into x, laid
// out as `layout` says. The same outcome, and the same column, on every thread count.
SupernodalResult factorize_supernodal(const SupernodalLayout& layout, double* x, const SparseMatrix& k);

}  // namespace varn
