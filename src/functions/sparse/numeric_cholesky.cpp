#include "functions/sparse/numeric_cholesky.h"

#include <cmath>

#include "functions/sparse/counters.h"

namespace varn::sparse_detail {

namespace {

// A Cholesky pivot d_k that has lost all but round-off of the DOF's own diagonal stiffness
// A_kk means the DOF is (numerically) a combination of the ones eliminated before it: a
// mechanism or an unrestrained rigid-body motion. Real structures, even slender ones with
// stiffness contrasts of many decades, stay far above this ratio; round-off pivots of a
// singular stiffness land at or below it.
constexpr double kCholeskyPivotRatio = 1e-14;

}  // namespace

bool cholesky_pivots_sound(const cholmod_factor* l, const Eigen::VectorXd& diag, Index* failed) {
  const auto* perm = static_cast<const Index*>(l->Perm);
  const auto* x = static_cast<const double*>(l->x);
  const Index n = static_cast<Index>(l->n);
  auto pivot_ok = [&](Index k, double d_k) {
    const Index original = perm ? perm[k] : k;
    const double a_kk = diag[original];
    const bool ok = std::isfinite(d_k) && d_k > 0.0 && d_k >= kCholeskyPivotRatio * a_kk;
    if (!ok && failed != nullptr) *failed = original;
    return ok;
  };
  if (l->is_super) {
    const auto* super = static_cast<const Index*>(l->super);
    const auto* pi = static_cast<const Index*>(l->pi);
    const auto* px = static_cast<const Index*>(l->px);
    for (Index s = 0; s < static_cast<Index>(l->nsuper); ++s) {
      const Index k1 = super[s], k2 = super[s + 1];
      const Index nsrow = pi[s + 1] - pi[s];
      for (Index k = k1; k < k2; ++k) {
        const double l_kk = x[px[s] + (k - k1) + (k - k1) * nsrow];
        if (!pivot_ok(k, l_kk * l_kk)) return false;
      }
    }
    return true;
  }
  const auto* p = static_cast<const Index*>(l->p);
  for (Index k = 0; k < n; ++k) {
    const double v = x[p[k]];
    if (!pivot_ok(k, l->is_ll ? v * v : v)) return false;
  }
  return true;
}

SupernodalLayout layout_of(const cholmod_factor* l) {
  SupernodalLayout layout;
  layout.n = static_cast<Index>(l->n);
  layout.supernodes = static_cast<Index>(l->nsuper);
  layout.super = static_cast<const Index*>(l->super);
  layout.pi = static_cast<const Index*>(l->pi);
  layout.px = static_cast<const Index*>(l->px);
  layout.rows = static_cast<const Index*>(l->s);
  layout.perm = static_cast<const Index*>(l->Perm);
  return layout;
}

namespace {

// The supernodal factorisation on the pool (factorize_supernodal) into L, a supernodal factor,
// symbolic or numeric, of K's analysis. False when it did not factorise K: L is not one it
// reads, or K is not positive definite, which CHOLMOD's own factorisation then finds again and
// words (the column where elimination broke down).
bool factorize_supernodes_on_pool(cholmod_factor* l, const SparseMatrix& k, cholmod_common& c) {
  if (!l->is_super || l->itype != CHOLMOD_LONG || l->dtype != CHOLMOD_DOUBLE) return false;
  if (l->xtype == CHOLMOD_PATTERN) {
    l->is_ll = 1;
    if (!cholmod_l_change_factor(CHOLMOD_REAL, 1, 1, 1, 1, l, &c) || c.status != CHOLMOD_OK) return false;
  }
  if (l->xtype != CHOLMOD_REAL || l->x == nullptr) return false;
  if (factorize_supernodal(layout_of(l), static_cast<double*>(l->x), k) != SupernodalOutcome::Factorised)
    return false;
  l->minor = l->n;
  return true;
}

}  // namespace

bool cholesky_factorize_into(cholmod_factor* l, const SparseMatrix& k, Index* failed) {
  SerialOpenMpRegions serial;
  CholmodCommon cc;
  g_numeric_factorizations.fetch_add(1, std::memory_order_relaxed);
  if (factorize_supernodes_on_pool(l, k, cc.c)) return cholesky_pivots_sound(l, stored_diagonal(k), failed);
  cholmod_sparse a = cholmod_view(k, -1);
  const int ok = cholmod_l_factorize(&a, l, &cc.c);
  if (ok && l->minor < l->n && failed != nullptr) {
    const auto* perm = static_cast<const Index*>(l->Perm);
    const Index minor = static_cast<Index>(l->minor);
    *failed = perm ? perm[minor] : minor;
  }
  return ok && cc.c.status == CHOLMOD_OK && l->minor >= l->n && cholesky_pivots_sound(l, stored_diagonal(k), failed);
}

// Numeric Cholesky of K on a copy of a symbolic factor; null when K is not positive definite.
cholmod_factor* cholesky_factorize(const cholmod_factor* symbolic, const SparseMatrix& k, Index* failed) {
  CholmodCommon cc;
  cholmod_factor* l = cholmod_l_copy_factor(const_cast<cholmod_factor*>(symbolic), &cc.c);
  if (!l) return nullptr;
  if (cholesky_factorize_into(l, k, failed)) return l;
  cholmod_l_free_factor(&l, &cc.c);
  return nullptr;
}

void free_cholesky(cholmod_factor* l) {
  if (!l) return;
  CholmodCommon cc;
  cholmod_l_free_factor(&l, &cc.c);
}

}  // namespace varn::sparse_detail
