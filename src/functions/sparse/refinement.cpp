#include "functions/sparse/refinement.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "functions/sparse/cholmod_support.h"
#include "functions/sparse/counters.h"

namespace varn::sparse_detail {

bool residual_ok(const SparseMatrix& k, bool lower_symmetric, const Eigen::MatrixXd& x,
                   const Eigen::MatrixXd& b) {
  Eigen::MatrixXd r;
  Eigen::VectorXd row_abs = Eigen::VectorXd::Zero(k.rows());
  if (lower_symmetric) {
    r = k.selfadjointView<Eigen::Lower>() * x;
    for (Index j = 0; j < k.outerSize(); ++j) {
      for (SparseMatrix::InnerIterator it(k, j); it; ++it) {
        if (it.row() < j) continue;
        row_abs[it.row()] += std::abs(it.value());
        if (it.row() != j) row_abs[j] += std::abs(it.value());
      }
    }
  } else {
    r = k * x;
    for (Index j = 0; j < k.outerSize(); ++j)
      for (SparseMatrix::InnerIterator it(k, j); it; ++it) row_abs[it.row()] += std::abs(it.value());
  }
  r -= b;
  const double k_norm = row_abs.size() ? row_abs.maxCoeff() : 0.0;
  for (Index c = 0; c < x.cols(); ++c) {
    const double scale = k_norm * x.col(c).lpNorm<Eigen::Infinity>() + b.col(c).lpNorm<Eigen::Infinity>();
    const double res = r.col(c).lpNorm<Eigen::Infinity>();
    if (!(res <= kResidualTolerance * scale)) return false;
  }
  return true;
}

namespace {

// r = b − K x over K's stored entries (the symmetric completion of the lower triangle, or the
// stored matrix), in column order: the same sums on every run. The residual is accumulated in
// x87 extended precision (64-bit significand, on every x86-64 machine whatever its vector
// units). Formed in double, its own round-off, eps·|K||x|, is all a correction can see, and on
// a slender chain |K||x| exceeds |b| by the cube of the number of elements: refinement would
// stop where the direct solve already is. Eleven more bits let the corrections carry the
// solution down to its own round-off.
//
// Row by row on the pool, each row's terms in the order a sweep over the columns meets them:
// first its entries left of the diagonal (by column), then its own column's from the diagonal
// down (the symmetric half taken from there), or, for a stored matrix, its entries by column.
// Every row thus sums the very terms of the column sweep in the very order, whatever the
// threads. The rows' entries left of the diagonal are indexed once per matrix (ExtendedResidual).
class ExtendedResidual {
 public:
  ExtendedResidual(const SparseMatrix& k, bool lower_symmetric) : k_(k), lower_symmetric_(lower_symmetric) {
    const Index n = k.rows();
    // Entry positions by row, in column order (a stable counting sort): the entries left of
    // the diagonal for the symmetric completion, every entry otherwise.
    start_.assign(static_cast<std::size_t>(n) + 1, 0);
    auto taken = [&](Index row, Index col) { return lower_symmetric_ ? row > col : true; };
    for (Index j = 0; j < k.outerSize(); ++j)
      for (Index p = k.outerIndexPtr()[j]; p < end_of(j); ++p)
        if (taken(k.innerIndexPtr()[p], j)) ++start_[static_cast<std::size_t>(k.innerIndexPtr()[p]) + 1];
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) start_[i + 1] += start_[i];
    entry_.resize(start_.back());
    column_.resize(start_.back());
    std::vector<Index> next(start_.begin(), start_.end() - 1);
    for (Index j = 0; j < k.outerSize(); ++j)
      for (Index p = k.outerIndexPtr()[j]; p < end_of(j); ++p) {
        const Index i = k.innerIndexPtr()[p];
        if (!taken(i, j)) continue;
        const auto at = static_cast<std::size_t>(next[static_cast<std::size_t>(i)]++);
        entry_[at] = p;
        column_[at] = j;
      }
  }

  Eigen::VectorXd operator()(const Eigen::VectorXd& x, const Eigen::VectorXd& b) const {
    using Extended = long double;
    const Index n = b.rows();
    Eigen::VectorXd r(n);
    const double* values = k_.valuePtr();
    tbb::parallel_for(tbb::blocked_range<Index>(0, n, 1024), [&](const tbb::blocked_range<Index>& rows) {
      for (Index i = rows.begin(); i != rows.end(); ++i) {
        Extended acc = b(i);
        for (std::size_t q = start_[static_cast<std::size_t>(i)]; q < start_[static_cast<std::size_t>(i) + 1]; ++q)
          acc -= static_cast<Extended>(values[entry_[q]]) * static_cast<Extended>(x(column_[q]));
        if (lower_symmetric_ && i < k_.outerSize()) {
          const Extended xi = x(i);
          for (Index p = k_.outerIndexPtr()[i]; p < end_of(i); ++p) {
            const Index row = k_.innerIndexPtr()[p];
            if (row < i) continue;
            const Extended v = values[p];
            acc -= row == i ? v * xi : v * static_cast<Extended>(x(row));
          }
        }
        r(i) = static_cast<double>(acc);
      }
    });
    return r;
  }

 private:
  Index end_of(Index j) const {
    return k_.isCompressed() ? k_.outerIndexPtr()[j + 1] : k_.outerIndexPtr()[j] + k_.innerNonZeroPtr()[j];
  }
  const SparseMatrix& k_;
  bool lower_symmetric_;
  std::vector<std::size_t> start_;
  std::vector<Index> entry_, column_;
};

}  // namespace

std::optional<Eigen::MatrixXd> refine_solution(const SparseMatrix& k, bool lower_symmetric, const Eigen::MatrixXd& b,
                                               Eigen::MatrixXd x, const Correction& correction) {
  const Index m = x.cols();
  const ExtendedResidual residual(k, lower_symmetric);
  std::vector<double> previous(static_cast<std::size_t>(m), std::numeric_limits<double>::infinity());
  std::vector<Index> cols(static_cast<std::size_t>(m));
  for (Index c = 0; c < m; ++c) cols[static_cast<std::size_t>(c)] = c;
  for (int step = 0; step < kMaxRefinementSteps && !cols.empty(); ++step) {
    Eigen::MatrixXd r(x.rows(), static_cast<Index>(cols.size()));
    tbb::parallel_for(std::size_t{0}, cols.size(), [&](std::size_t q) {
      r.col(static_cast<Index>(q)) = residual(x.col(cols[q]), b.col(cols[q]));
    });
    g_refinement_steps.fetch_add(1, std::memory_order_relaxed);
    // A column whose residual is exactly zero is exact already.
    std::vector<Index> open;
    std::vector<Index> open_r;
    for (std::size_t q = 0; q < cols.size(); ++q) {
      if (r.col(static_cast<Index>(q)).isZero(0.0)) continue;
      open.push_back(cols[q]);
      open_r.push_back(static_cast<Index>(q));
    }
    cols.clear();
    if (open.empty()) break;
    Eigen::MatrixXd rhs(x.rows(), static_cast<Index>(open.size()));
    for (std::size_t q = 0; q < open.size(); ++q) rhs.col(static_cast<Index>(q)) = r.col(open_r[q]);
    std::optional<Eigen::MatrixXd> d = correction(rhs);
    if (!d) break;
    for (std::size_t q = 0; q < open.size(); ++q) {
      const Index c = open[q];
      const std::size_t a = static_cast<std::size_t>(c);
      const auto dc = d->col(static_cast<Index>(q));
      if (!dc.allFinite()) continue;
      const double dn = dc.lpNorm<Eigen::Infinity>();
      if (!(dn < previous[a])) continue;  // diverging: keep x as it is
      x.col(c) += dc;
      const double xn = x.col(c).lpNorm<Eigen::Infinity>();
      if (dn > kSettledCorrection * xn && dn <= 0.5 * previous[a]) cols.push_back(c);
      previous[a] = dn;
    }
  }
  return x;
}

}  // namespace varn::sparse_detail
