// The forward half of a solve for sparse columns, kept sparse.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "fatal.h"
#include "functions/blas.h"
#include "functions/sparse/factorization.h"
#include "functions/sparse/numeric_factor.h"

namespace varn {

using namespace sparse_detail;

std::optional<SparseMatrix> SparseFactorization::solve_forward_sparse(const SparseMatrix& u) const {
  if (!numeric_ || numeric_->cholesky == nullptr || !numeric_->cholesky->is_super) return std::nullopt;
  const cholmod_factor* l = numeric_->cholesky;
  const auto n = static_cast<Index>(l->n);
  if (u.rows() != n) fatal("SparseFactorization::solve_forward_sparse: columns of another order than the factor");
  const auto nsuper = static_cast<Index>(l->nsuper);
  const Index* super = static_cast<const Index*>(l->super);
  const Index* pi = static_cast<const Index*>(l->pi);
  const Index* px = static_cast<const Index*>(l->px);
  const Index* rows = static_cast<const Index*>(l->s);
  const Index* perm = static_cast<const Index*>(l->Perm);
  const double* values = static_cast<const double*>(l->x);
  // Where each row of U goes under P, the supernode of each factor column, and each
  // supernode's parent (the supernode of its first row below the diagonal block).
  std::vector<Index> position(static_cast<std::size_t>(n));
  for (Index k = 0; k < n; ++k) position[static_cast<std::size_t>(perm != nullptr ? perm[k] : k)] = k;
  std::optional<SupernodeTree> tree = supernode_tree(layout_of(l));
  if (!tree) return std::nullopt;
  const std::vector<Index>& supernode = tree->owner;
  const std::vector<Index>& parent = tree->parent;

  // All columns at once, supernode by supernode over the union of what they reach: the top
  // separators, which every column reaches and where the work is, are solved for all of them
  // in one block; a column that does not reach a supernode is zero there and stays zero.
  const Index m = u.cols();
  Eigen::MatrixXd y = Eigen::MatrixXd::Zero(n, m);
  std::vector<char> marked(static_cast<std::size_t>(nsuper), 0);
  std::vector<std::vector<Index>> reach(static_cast<std::size_t>(m));
  std::vector<Index> reached;
  for (Index j = 0; j < m; ++j) {
    std::vector<Index>& mine = reach[static_cast<std::size_t>(j)];
    for (SparseMatrix::InnerIterator it(u, j); it; ++it) {
      const Index k = position[static_cast<std::size_t>(it.row())];
      y(k, j) += it.value();
      for (Index sn = supernode[static_cast<std::size_t>(k)]; sn >= 0; sn = parent[static_cast<std::size_t>(sn)]) {
        if (std::find(mine.begin(), mine.end(), sn) != mine.end()) break;
        mine.push_back(sn);
        if (!marked[static_cast<std::size_t>(sn)]) {
          marked[static_cast<std::size_t>(sn)] = 1;
          reached.push_back(sn);
        }
      }
    }
    std::sort(mine.begin(), mine.end());
  }
  std::sort(reached.begin(), reached.end());
  // The supernodes' dense blocks with the BLAS's own kernels, single-threaded like every other
  // call of this layer.
  const blas::Kernels& kernels = blas::kernels();
  if (kernels.trsm == nullptr || kernels.gemm == nullptr) return std::nullopt;
  if (n > std::numeric_limits<int>::max() || m > std::numeric_limits<int>::max()) return std::nullopt;
  const int ldy = static_cast<int>(n), nrhs = static_cast<int>(m);
  const double one = 1.0, zero = 0.0;
  Eigen::MatrixXd below;
  for (const Index sn : reached) {
    const Index first = super[sn];
    const int columns = static_cast<int>(super[sn + 1] - first);
    const int height = static_cast<int>(pi[sn + 1] - pi[sn]);
    const double* block = values + px[sn];
    double* segment = y.data() + first;
    kernels.trsm("L", "L", "N", "N", &columns, &nrhs, &one, block, &height, segment, &ldy);
    if (height > columns) {
      const int rest = height - columns;
      below.resize(rest, m);
      kernels.gemm("N", "N", &rest, &nrhs, &columns, &one, block + columns, &height, segment, &ldy, &zero,
                   below.data(), &rest);
      const Index* below_rows = rows + pi[sn] + columns;
      for (Index c = 0; c < m; ++c)
        for (Index i = 0; i < rest; ++i) y(below_rows[i], c) -= below(i, c);
    }
  }
  // Each column's supernodes ascend, and their factor columns with them: rows in order.
  std::size_t entries = 0;
  for (Index j = 0; j < m; ++j)
    for (const Index sn : reach[static_cast<std::size_t>(j)])
      entries += static_cast<std::size_t>(super[sn + 1] - super[sn]);
  SparseMatrix v(n, m);
  v.reserve(static_cast<Index>(entries));
  for (Index j = 0; j < m; ++j) {
    v.startVec(j);
    for (const Index sn : reach[static_cast<std::size_t>(j)])
      for (Index k = super[sn]; k < super[sn + 1]; ++k) v.insertBack(k, j) = y(k, j);
  }
  v.finalize();
  if (!std::all_of(v.valuePtr(), v.valuePtr() + v.nonZeros(), [](double a) { return std::isfinite(a); }))
    return std::nullopt;
  return v;
}

}  // namespace varn
