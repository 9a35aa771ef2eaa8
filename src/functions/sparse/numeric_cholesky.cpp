#include "functions/sparse/numeric_cholesky.h"

#include <atomic>
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

// The pool's supernodal factorisation (factorize_supernodal).
class PoolCholesky final : public NumericCholesky {
 public:
  SupernodalResult factorize(cholmod_factor* l, const SparseMatrix& k) const override {
    if (!l->is_super || l->itype != CHOLMOD_LONG || l->dtype != CHOLMOD_DOUBLE) return {};
    if (l->xtype == CHOLMOD_PATTERN) {
      CholmodCommon cc;
      l->is_ll = 1;
      if (!cholmod_l_change_factor(CHOLMOD_REAL, 1, 1, 1, 1, l, &cc.c) || cc.c.status != CHOLMOD_OK) return {};
    }
    if (l->xtype != CHOLMOD_REAL || l->x == nullptr) return {};
    const SupernodalResult r = factorize_supernodal(layout_of(l), static_cast<double*>(l->x), k);
    if (r.outcome == SupernodalOutcome::Factorised) l->minor = l->n;
    return r;
  }
};

// CHOLMOD's own numeric factorisation, supernodal or simplicial as the analysis made L.
class CholmodCholesky final : public NumericCholesky {
 public:
  SupernodalResult factorize(cholmod_factor* l, const SparseMatrix& k) const override {
    if (l->n == 0) return {SupernodalOutcome::Factorised};  // the empty factor of the empty matrix
    CholmodCommon cc;
    cholmod_sparse a = cholmod_view(k, -1);
    const int ok = cholmod_l_factorize(&a, l, &cc.c);
    if (ok && l->minor < l->n) return {SupernodalOutcome::NotPositiveDefinite, static_cast<Index>(l->minor)};
    if (!ok || cc.c.status != CHOLMOD_OK) return {};
    return {SupernodalOutcome::Factorised};
  }
};

std::atomic<NumericCholeskyKind> g_kind_in_use{NumericCholeskyKind::Pool};

}  // namespace

const NumericCholesky& numeric_cholesky(NumericCholeskyKind kind) {
  static const PoolCholesky pool;
  static const CholmodCholesky cholmod;
  return kind == NumericCholeskyKind::Pool ? static_cast<const NumericCholesky&>(pool) : cholmod;
}

NumericCholeskyKind kind_in_use() { return g_kind_in_use.load(std::memory_order_relaxed); }
void set_kind_in_use(NumericCholeskyKind kind) { g_kind_in_use.store(kind, std::memory_order_relaxed); }

// K's factorisation by the kind in use, CHOLMOD's where the pool's cannot read L; then every
// pivot is held against its DOF's diagonal stiffness. A breakdown is reported by the
// factorisation that met it, in one attempt.
bool cholesky_factorize_into(cholmod_factor* l, const SparseMatrix& k, Index* failed, bool* not_finite) {
  SerialOpenMpRegions serial;
  g_numeric_factorizations.fetch_add(1, std::memory_order_relaxed);
  const NumericCholeskyKind kind = kind_in_use();
  SupernodalResult r = numeric_cholesky(kind).factorize(l, k);
  if (r.outcome == SupernodalOutcome::Unavailable && kind != NumericCholeskyKind::Cholmod)
    r = numeric_cholesky(NumericCholeskyKind::Cholmod).factorize(l, k);
  switch (r.outcome) {
    case SupernodalOutcome::Factorised: return cholesky_pivots_sound(l, stored_diagonal(k), failed);
    case SupernodalOutcome::NotFinite:
      if (not_finite != nullptr) *not_finite = true;
      [[fallthrough]];
    case SupernodalOutcome::NotPositiveDefinite:
      if (failed != nullptr && r.column >= 0) {
        const auto* perm = static_cast<const Index*>(l->Perm);
        *failed = perm ? perm[r.column] : r.column;
      }
      return false;
    case SupernodalOutcome::Unavailable: break;
  }
  return false;
}

// Numeric Cholesky of K on a copy of a symbolic factor; null when K is not positive definite.
cholmod_factor* cholesky_factorize(const cholmod_factor* symbolic, const SparseMatrix& k, Index* failed,
                                   bool* not_finite) {
  CholmodCommon cc;
  cholmod_factor* l = cholmod_l_copy_factor(const_cast<cholmod_factor*>(symbolic), &cc.c);
  if (!l) return nullptr;
  if (cholesky_factorize_into(l, k, failed, not_finite)) return l;
  cholmod_l_free_factor(&l, &cc.c);
  return nullptr;
}

void free_cholesky(cholmod_factor* l) {
  if (!l) return;
  CholmodCommon cc;
  cholmod_l_free_factor(&l, &cc.c);
}

}  // namespace varn::sparse_detail
