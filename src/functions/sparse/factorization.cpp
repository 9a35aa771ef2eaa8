#include "functions/sparse/factorization.h"

#include <string>

#include "fatal.h"
#include "functions/sparse/cholesky_solve.h"
#include "functions/sparse/numeric_factor.h"

namespace varn {

using namespace sparse_detail;

const SupernodalSolvePlan* solve_plan(const SparseNumericFactor& f) {
  if (f.cholesky == nullptr || !f.cholesky->is_super || f.cholesky->xtype != CHOLMOD_REAL || !f.analysis)
    return nullptr;
  const CholeskySymbolic& a = *f.analysis;
  std::call_once(a.plan_once, [&] { a.plan = SupernodalSolvePlan::of(layout_of(f.cholesky)); });
  return a.plan ? &*a.plan : nullptr;
}

SparseFactorization::SparseFactorization() = default;
SparseFactorization::~SparseFactorization() = default;
SparseFactorization::SparseFactorization(const SparseFactorization&) = default;
SparseFactorization& SparseFactorization::operator=(const SparseFactorization&) = default;
SparseFactorization::SparseFactorization(SparseFactorization&&) noexcept = default;
SparseFactorization& SparseFactorization::operator=(SparseFactorization&&) noexcept = default;

void SparseFactorization::analyze_pattern(const SparseMatrix& k) {
  if (k.rows() != k.cols()) {
    fatal("SparseFactorization::analyze_pattern: the matrix is " + std::to_string(k.rows()) + " x " +
          std::to_string(k.cols()) + ", not square");
  }
  if (symbolic_ && symbolic_->same_pattern(k)) return;
  symbolic_.reset();
  ++symbolic_count_;
  if (auto s = analyse(k, /*keep_pattern=*/true)) symbolic_ = std::move(*s);
}

SparseSolveMethod SparseFactorization::factorize(const SparseMatrix& k_in) { return factorize_impl(k_in, true); }

SparseSolveMethod SparseFactorization::factorize(SparseMatrix&& k_in) { return factorize_impl(std::move(k_in), true); }

SparseSolveMethod SparseFactorization::factorize_unsymmetric(const SparseMatrix& k_in) {
  return factorize_impl(k_in, false);
}

SparseSolveMethod SparseFactorization::factorize_impl(MovableSparseMatrix k_in, bool try_cholesky) {
  if (k_in.rows() != k_in.cols()) {
    fatal("SparseFactorization::factorize: the matrix is " + std::to_string(k_in.rows()) + " x " +
          std::to_string(k_in.cols()) + ", not square");
  }
  std::shared_ptr<const SparseNumericFactor> previous = std::move(numeric_);
  numeric_.reset();
  method_ = SparseSolveMethod::Failed;
  unstable_dof_.reset();
  init_blas_single_thread();
  k_in.makeCompressed();
  n_ = static_cast<std::size_t>(k_in.rows());
  const bool kept = try_cholesky && n_ > 0 && symbolic_ && symbolic_->same_pattern(k_in);
  if (try_cholesky && n_ > 0 && !kept) analyze_pattern(k_in);

  // The previous Cholesky factor of this same analysis, when no copy of this object shares
  // it, is refactorised in place; any other is freed before a new one is allocated.
  std::shared_ptr<SparseNumericFactor> f;
  if (kept && previous && previous.use_count() == 1 && previous->cholesky != nullptr &&
      previous->analysis == symbolic_) {
    f = std::const_pointer_cast<SparseNumericFactor>(std::move(previous));
  }
  previous.reset();
  if (!f) f = std::make_shared<SparseNumericFactor>();
  f->k = std::move(k_in);
  const SparseMatrix& k = f->k;
  if (n_ == 0) {  // nothing to factorise: the empty system has the empty solution
    method_ = SparseSolveMethod::Cholesky;
    numeric_ = std::move(f);
    return method_;
  }

  Index failed = -1;
  bool not_finite = false;
  if (try_cholesky && symbolic_) {
    ++numeric_count_;
    const bool factorised = f->cholesky != nullptr
                                ? cholesky_factorize_into(f->cholesky, k, &failed, &not_finite)
                                : (f->cholesky = cholesky_factorize(symbolic_->factor, k, &failed, &not_finite)) != nullptr;
    if (factorised) {
      f->analysis = symbolic_;
      symbolic_->numeric_count.fetch_add(1, std::memory_order_relaxed);
      method_ = kept ? SparseSolveMethod::CholeskyCachedSymbolic : SparseSolveMethod::Cholesky;
    } else {
      free_cholesky(f->cholesky);
      f->cholesky = nullptr;
      f->analysis.reset();
    }
  }
  // A matrix with a NaN or an infinite entry has no factor of any kind: no LU is tried.
  if (f->cholesky == nullptr && !not_finite) {
    ++symbolic_count_;
    ++numeric_count_;
    if ((f->lu = lu_factorize(k)) != nullptr) method_ = SparseSolveMethod::LU;
  }
  if (method_ != SparseSolveMethod::Failed) numeric_ = std::move(f);
  if (method_ == SparseSolveMethod::Failed && failed >= 0) unstable_dof_ = static_cast<std::size_t>(failed);
  return method_;
}

std::optional<Eigen::MatrixXd> SparseFactorization::solve(const Eigen::MatrixXd& b) const {
  if (!numeric_) return std::nullopt;
  check_square_rhs(numeric_->k, b, "SparseFactorization::solve");
  if (n_ == 0) return Eigen::MatrixXd(0, b.cols());
  if (numeric_->cholesky != nullptr) return cholesky_solve(numeric_->cholesky, solve_plan(*numeric_), numeric_->k, b);
  return lu_solve_factored(numeric_->lu, numeric_->k, b);
}

std::optional<Eigen::MatrixXd> SparseFactorization::solve_once(const Eigen::MatrixXd& b) const {
  if (!numeric_) return std::nullopt;
  check_square_rhs(numeric_->k, b, "SparseFactorization::solve_once");
  if (n_ == 0) return Eigen::MatrixXd(0, b.cols());
  if (numeric_->cholesky != nullptr)
    return cholesky_solve(numeric_->cholesky, solve_plan(*numeric_), numeric_->k, b, false);
  return lu_solve_factored(numeric_->lu, numeric_->k, b, false);
}

namespace {

// The two halves of K = Pᵀ·L·Lᵀ·P with a supernodal factor: P then L, or Lᵀ then Pᵀ.
std::optional<Eigen::MatrixXd> supernodal_half_solve(const SparseNumericFactor* numeric, const Eigen::MatrixXd& b,
                                                     bool forward, const char* what) {
  if (numeric == nullptr || numeric->cholesky == nullptr || !numeric->cholesky->is_super) return std::nullopt;
  check_square_rhs(numeric->k, b, what);
  if (b.cols() == 0 || b.rows() == 0) return b;
  std::optional<Eigen::MatrixXd> x =
      factor_sweeps(numeric->cholesky, solve_plan(*numeric), forward ? Sweeps::Forward : Sweeps::Backward, b);
  if (!x || !all_finite(*x)) return std::nullopt;
  return x;
}

}  // namespace

std::optional<Eigen::MatrixXd> SparseFactorization::solve_forward(const Eigen::MatrixXd& b) const {
  return supernodal_half_solve(numeric_.get(), b, true, "SparseFactorization::solve_forward");
}

std::optional<Eigen::MatrixXd> SparseFactorization::solve_backward(const Eigen::MatrixXd& c) const {
  return supernodal_half_solve(numeric_.get(), c, false, "SparseFactorization::solve_backward");
}

bool SparseFactorization::positive_definite() const {
  return numeric_ && (numeric_->cholesky != nullptr || n_ == 0);
}

const SparseMatrix* SparseFactorization::matrix() const { return numeric_ ? &numeric_->k : nullptr; }

}  // namespace varn
