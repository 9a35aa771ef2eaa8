// Low-rank modification of a kept factor.
#include <string>
#include <vector>

#include "fatal.h"
#include "functions/sparse/counters.h"
#include "functions/sparse/factorization.h"
#include "functions/sparse/numeric_factor.h"

namespace varn {

using namespace sparse_detail;

namespace {

// C with its rows in the factor's elimination order (row i of C goes to the position of DOF i
// in the fill-reducing permutation): CHOLMOD's updown works on P·C, as the factor is of P·K·Pᵀ.
SparseMatrix permuted_rows(const SparseMatrix& c, const cholmod_factor* l) {
  const auto* perm = static_cast<const Index*>(l->Perm);
  const Index n = static_cast<Index>(l->n);
  std::vector<Index> position(static_cast<std::size_t>(n));
  for (Index k = 0; k < n; ++k) position[static_cast<std::size_t>(perm ? perm[k] : k)] = k;
  std::vector<Eigen::Triplet<double, Index>> entries;
  entries.reserve(static_cast<std::size_t>(c.nonZeros()));
  for (Index j = 0; j < c.outerSize(); ++j)
    for (SparseMatrix::InnerIterator it(c, j); it; ++it)
      entries.emplace_back(position[static_cast<std::size_t>(it.row())], j, it.value());
  SparseMatrix p(n, c.cols());
  p.setFromTriplets(entries.begin(), entries.end());
  p.makeCompressed();
  return p;
}

// One update (or downdate) of L by C·Cᵀ; false when CHOLMOD reports a failure.
bool updown(bool update, const SparseMatrix& c, cholmod_factor* l, cholmod_common* common) {
  if (c.cols() == 0 || c.nonZeros() == 0) return true;
  SparseMatrix permuted = permuted_rows(c, l);
  cholmod_sparse view = cholmod_view(permuted, 0);
  return cholmod_l_updown(update ? 1 : 0, &view, l, common) != 0 && common->status == CHOLMOD_OK;
}

}  // namespace

SparseSolveMethod SparseFactorization::modify_low_rank(const SparseMatrix& k_new, const SparseMatrix& c_add,
                                                       const SparseMatrix& c_remove) {
  if (!numeric_ || numeric_->cholesky == nullptr) return SparseSolveMethod::Failed;
  if (k_new.rows() != k_new.cols() || static_cast<std::size_t>(k_new.rows()) != n_ ||
      static_cast<std::size_t>(c_add.rows()) != n_ || static_cast<std::size_t>(c_remove.rows()) != n_) {
    fatal("SparseFactorization::modify_low_rank: a " + std::to_string(k_new.rows()) + " x " +
          std::to_string(k_new.cols()) + " matrix with updates of " + std::to_string(c_add.rows()) + " and " +
          std::to_string(c_remove.rows()) + " rows for a factor of order " + std::to_string(n_));
  }
  init_blas_single_thread();
  SerialOpenMpRegions serial;
  CholmodCommon cc;
  // A factor that this object alone holds is modified where it lies (turned into the
  // simplicial LDLᵀ form that updown works on, if it is not in it yet); one shared with copies
  // is copied first, so that they keep solving with it: a shared supernodal factor keeps
  // solving in its own form (its solutions stay bit for bit those of a fresh factorisation)
  // and is copied from its simplicial form, converted once for all its modifications.
  std::shared_ptr<SparseNumericFactor> f;
  if (numeric_.use_count() == 1 && !numeric_->cholesky->is_super) {
    f = std::const_pointer_cast<SparseNumericFactor>(numeric_);
  } else if (numeric_.use_count() == 1) {
    // A supernodal factor that no copy shares (this loop's own fresh factorisation) is turned
    // into the simplicial form where it lies: copying it first would cost as much again.
    f = std::const_pointer_cast<SparseNumericFactor>(numeric_);
    if (!cholmod_l_change_factor(CHOLMOD_REAL, 0, 0, 1, 1, f->cholesky, &cc.c) || f->cholesky->is_super) {
      numeric_.reset();
      method_ = SparseSolveMethod::Failed;
      return method_;
    }
    f->analysis.reset();  // no longer the analysis's supernodal form, so never refactorised in place
  } else {
    const cholmod_factor* source = numeric_->cholesky;
    if (source->is_super) {
      const SparseNumericFactor& shared = *numeric_;
      std::call_once(shared.simplicial_once, [&] {
        cholmod_factor* s = cholmod_l_copy_factor(const_cast<cholmod_factor*>(source), &cc.c);
        if (s != nullptr && cholmod_l_change_factor(CHOLMOD_REAL, 0, 0, 1, 1, s, &cc.c) && !s->is_super) {
          shared.simplicial = s;
        } else if (s != nullptr) {
          cholmod_l_free_factor(&s, &cc.c);
        }
      });
      if (shared.simplicial == nullptr) return SparseSolveMethod::Failed;
      source = shared.simplicial;
    }
    f = std::make_shared<SparseNumericFactor>();
    f->cholesky = cholmod_l_copy_factor(const_cast<cholmod_factor*>(source), &cc.c);
    if (f->cholesky == nullptr) return SparseSolveMethod::Failed;
  }
  numeric_.reset();
  method_ = SparseSolveMethod::Failed;
  f->k = k_new;
  f->k.makeCompressed();
  cholmod_factor* l = f->cholesky;
  // The update first: a downdate that takes a member away from a structure it alone stiffens
  // is the one that can lose positive definiteness, and after the update it meets the
  // stiffer of the two matrices.
  const bool ok = updown(true, c_add, l, &cc.c) && updown(false, c_remove, l, &cc.c) && l->minor >= l->n &&
                  cholesky_pivots_sound(l, stored_diagonal(f->k));
  if (!ok) return SparseSolveMethod::Failed;
  g_low_rank_updates.fetch_add(1, std::memory_order_relaxed);
  numeric_ = std::move(f);
  method_ = SparseSolveMethod::CholeskyModified;
  return method_;
}

}  // namespace varn
