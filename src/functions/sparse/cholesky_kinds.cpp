#include "functions/sparse/cholesky_kinds.h"

#include "functions/sparse/numeric_cholesky.h"
#include "functions/sparse/symbolic_analysis.h"

namespace varn {

using namespace sparse_detail;

NumericCholeskyScope::NumericCholeskyScope(NumericCholeskyKind kind) : previous_(kind_in_use()) {
  set_kind_in_use(kind);
}
NumericCholeskyScope::~NumericCholeskyScope() { set_kind_in_use(previous_); }

NumericCholeskyKind numeric_cholesky_in_use() { return kind_in_use(); }

namespace {

// L of a supernodal factor as a compressed lower-triangular matrix in the elimination order.
SparseMatrix lower_factor(const cholmod_factor* l) {
  const SupernodalLayout layout = layout_of(l);
  const auto* x = static_cast<const double*>(l->x);
  SparseMatrix out(layout.n, layout.n);
  Index entries = 0;
  for (Index s = 0; s < layout.supernodes; ++s) {
    const Index columns = layout.super[s + 1] - layout.super[s], height = layout.pi[s + 1] - layout.pi[s];
    entries += columns * height - columns * (columns - 1) / 2;
  }
  out.reserve(entries);
  for (Index s = 0; s < layout.supernodes; ++s) {
    const Index height = layout.pi[s + 1] - layout.pi[s];
    for (Index j = layout.super[s]; j < layout.super[s + 1]; ++j) {
      const Index c = j - layout.super[s];
      out.startVec(j);
      for (Index i = c; i < height; ++i)
        out.insertBack(layout.rows[layout.pi[s] + i], j) = x[layout.px[s] + c * height + i];
    }
  }
  out.finalize();
  return out;
}

}  // namespace

NumericCholeskyFactor numeric_cholesky_factor(const SparseMatrix& k_in, NumericCholeskyKind kind) {
  NumericCholeskyFactor out;
  init_blas_single_thread();
  SparseMatrix storage;
  const SparseMatrix& k = compressed(k_in, storage);
  if (k.rows() == 0 && k.cols() == 0) {  // the empty factor of the empty matrix
    out.outcome = SupernodalOutcome::Factorised;
    return out;
  }
  auto symbolic = analyse(k, /*keep_pattern=*/false);
  if (!symbolic) return out;
  CholmodCommon cc;
  cholmod_factor* l = cholmod_l_copy_factor((*symbolic)->factor, &cc.c);
  if (l == nullptr) return out;
  SupernodalResult r;
  {
    SerialOpenMpRegions serial;
    r = numeric_cholesky(kind).factorize(l, k);
  }
  out.outcome = r.outcome;
  const auto* perm = static_cast<const Index*>(l->Perm);
  const auto n = static_cast<Index>(l->n);
  out.perm.resize(static_cast<std::size_t>(n));
  for (Index q = 0; q < n; ++q) out.perm[static_cast<std::size_t>(q)] = perm ? perm[q] : q;
  if (r.column >= 0) out.broken_dof = static_cast<std::size_t>(out.perm[static_cast<std::size_t>(r.column)]);
  if (r.outcome == SupernodalOutcome::Factorised && l->is_super && l->xtype == CHOLMOD_REAL) {
    out.l = lower_factor(l);
    out.supernodes = static_cast<Index>(l->nsuper);
  }
  cholmod_l_free_factor(&l, &cc.c);
  return out;
}

}  // namespace varn
