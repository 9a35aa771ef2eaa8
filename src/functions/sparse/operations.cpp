#include "functions/sparse/operations.h"

#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "fatal.h"
#include "functions/blas.h"
#include "functions/sparse/cholmod_support.h"

namespace varn {

using namespace sparse_detail;

namespace {
void append_nonzero_entries(const SparseMatrix& m, SparseAssembler& out) {
  for (Index j = 0; j < m.outerSize(); ++j)
    for (SparseMatrix::InnerIterator it(m, j); it; ++it)
      out.add(static_cast<std::size_t>(it.row()), static_cast<std::size_t>(j), it.value());
}
}  // namespace

SparseMatrix sparse_add(const SparseMatrix& a, const SparseMatrix& b) {
  SparseAssembler out(static_cast<std::size_t>(a.cols()));
  append_nonzero_entries(a, out);
  append_nonzero_entries(b, out);
  return out.to_csc();
}

SparseMatrix sparse_clone_and_add(const SparseMatrix& a, const SparseMatrix& b) {
  if (b.cols() > a.cols() || b.rows() > a.rows()) return sparse_add(a, b);
  SparseMatrix out = a;
  out.makeCompressed();
  const Index* a_rows = out.innerIndexPtr();
  double* a_vals = out.valuePtr();
  for (Index j = 0; j < b.outerSize(); ++j) {
    auto [p, end] = column_range(out, j);
    for (SparseMatrix::InnerIterator it(b, j); it; ++it) {
      while (p < end && a_rows[p] < it.row()) ++p;
      if (p == end || a_rows[p] != it.row()) return sparse_add(a, b);
      a_vals[p] += it.value();
    }
  }
  return out;
}

SparseMatrix sparse_add_diagonal(const SparseMatrix& k,
                                 const std::vector<std::pair<std::size_t, double>>& entries) {
  // K's stored entries keep their places, stored zeros included: a coupling that cancels in
  // one active-set state (two crossed braces meeting at a node) and not in the next must not
  // change the pattern of the penalised operator, or its kept symbolic analysis is lost.
  SparseMatrix out = k;
  out.makeCompressed();
  if (sparse_add_diagonal_inplace(out, entries)) return out;
  const Index n = out.cols();
  std::vector<char> insert(static_cast<std::size_t>(n), 0);
  for (const auto& [dof, value] : entries) {
    check_index(dof, static_cast<std::size_t>(std::min(out.rows(), n)), "sparse_add_diagonal: DOF");
    if (value == 0.0) continue;  // adds nothing, so it makes no entry either
    const Index d = static_cast<Index>(dof);
    auto [begin, end] = column_range(out, d);
    const Index* first = out.innerIndexPtr() + begin;
    const Index* last = out.innerIndexPtr() + end;
    const Index* hit = std::lower_bound(first, last, d);
    if (hit == last || *hit != d) insert[static_cast<std::size_t>(dof)] = 1;
  }
  // Merge the missing diagonal entries into their columns (rows stay sorted), then add every
  // value in the order listed, as the in-place form does: the same sums, bit for bit.
  SparseMatrix merged(out.rows(), n);
  Index added = 0;
  for (char c : insert) added += c;
  merged.resizeNonZeros(out.nonZeros() + added);
  Index q = 0;
  for (Index j = 0; j < n; ++j) {
    merged.outerIndexPtr()[j] = q;
    auto [p, end] = column_range(out, j);
    const bool put = insert[static_cast<std::size_t>(j)] != 0;
    bool done = !put;
    for (; p < end; ++p) {
      if (!done && out.innerIndexPtr()[p] > j) {
        merged.innerIndexPtr()[q] = j;
        merged.valuePtr()[q++] = 0.0;
        done = true;
      }
      merged.innerIndexPtr()[q] = out.innerIndexPtr()[p];
      merged.valuePtr()[q++] = out.valuePtr()[p];
    }
    if (!done) {
      merged.innerIndexPtr()[q] = j;
      merged.valuePtr()[q++] = 0.0;
    }
  }
  merged.outerIndexPtr()[n] = q;
  std::vector<std::pair<std::size_t, double>> present;
  present.reserve(entries.size());
  for (const auto& e : entries)
    if (e.second != 0.0) present.push_back(e);
  if (!sparse_add_diagonal_inplace(merged, present)) fatal("sparse_add_diagonal: a merged diagonal entry is missing");
  return merged;
}

bool sparse_add_diagonal_inplace(SparseMatrix& k,
                                 const std::vector<std::pair<std::size_t, double>>& entries) {
  if (entries.empty()) return true;
  const std::size_t n = static_cast<std::size_t>(std::min(k.rows(), k.cols()));
  std::vector<Index> positions;
  positions.reserve(entries.size());
  for (const auto& [dof, value] : entries) {
    check_index(dof, n, "sparse_add_diagonal_inplace: DOF");
    const Index d = static_cast<Index>(dof);
    auto [begin, end] = column_range(k, d);
    const Index* first = k.innerIndexPtr() + begin;
    const Index* last = k.innerIndexPtr() + end;
    const Index* hit = std::lower_bound(first, last, d);
    if (hit == last || *hit != d) return false;
    positions.push_back(static_cast<Index>(hit - k.innerIndexPtr()));
  }
  for (std::size_t i = 0; i < entries.size(); ++i) k.valuePtr()[positions[i]] += entries[i].second;
  return true;
}

double sparse_max_abs_diagonal(const SparseMatrix& k) {
  double m = 0.0;
  for (Index j = 0; j < k.outerSize(); ++j)
    for (SparseMatrix::InnerIterator it(k, j); it; ++it)
      if (it.row() == j && std::abs(it.value()) > m) m = std::abs(it.value());  // NaN never wins
  return m;
}

Eigen::MatrixXd sparse_to_dense_symmetric(const SparseMatrix& k) {
  Eigen::MatrixXd d = Eigen::MatrixXd::Zero(k.rows(), k.cols());
  for (Index j = 0; j < k.outerSize(); ++j) {
    for (SparseMatrix::InnerIterator it(k, j); it; ++it) {
      d(it.row(), j) = it.value();
      if (it.row() < d.cols() && j < d.rows()) d(j, it.row()) = it.value();
    }
  }
  return d;
}

Eigen::MatrixXd spmm_sparse_dense(const SparseMatrix& k, const Eigen::MatrixXd& t) {
  if (k.cols() != t.rows())
    fatal("index out of bounds: spmm_sparse_dense: the sparse matrix has " +
          std::to_string(k.cols()) + " columns but the dense one " + std::to_string(t.rows()) +
          " rows");
  Eigen::MatrixXd y = Eigen::MatrixXd::Zero(k.rows(), t.cols());
  // Each task owns one output column, so the sums do not depend on the scheduling.
  tbb::parallel_for(Index{0}, static_cast<Index>(t.cols()), [&](Index c) {
    auto out = y.col(c);
    for (Index i = 0; i < k.outerSize(); ++i) {
      const double x = t(i, c);
      if (x == 0.0) continue;  // rigid-link transformations are mostly zero
      for (SparseMatrix::InnerIterator it(k, i); it; ++it) out[it.row()] += x * it.value();
    }
  });
  return y;
}

Eigen::MatrixXd reduce_with_sparse_k(const SparseMatrix& k, const Eigen::MatrixXd& t) {
  const Eigen::MatrixXd kt = spmm_sparse_dense(k, t);
  const Index m = t.cols();
  Eigen::MatrixXd r(m, m);
  // Fixed column blocks of T^T (K T): the blocking, and so every rounding, is the same on
  // any number of threads.
  constexpr Index kBlock = 64;
  const Index blocks = (m + kBlock - 1) / kBlock;
  tbb::parallel_for(Index{0}, blocks, [&](Index blk) {
    const Index c0 = blk * kBlock;
    const Index w = std::min(kBlock, m - c0);
    r.middleCols(c0, w).noalias() = t.transpose() * kt.middleCols(c0, w);
  });
  return r;
}

namespace {

// The Gram matrix takes V's rows this many at a time into a dense band, and its products in
// square tiles of this many columns.
constexpr Index kGramBandRows = 2048;
constexpr Index kGramTileColumns = 64;

}  // namespace

std::optional<Eigen::MatrixXd> sparse_gram(const SparseMatrix& v) {
  const blas::Kernels& kernels = blas::kernels();
  if (kernels.gemm == nullptr || kernels.syrk == nullptr) return std::nullopt;
  const Index n = v.rows(), m = v.cols();
  if (m > std::numeric_limits<int>::max()) return std::nullopt;
  // The rows that hold an entry, in order, and each one's place among them.
  std::vector<Index> place(static_cast<std::size_t>(n), -1);
  for (Index j = 0; j < m; ++j)
    for (SparseMatrix::InnerIterator it(v, j); it; ++it) place[static_cast<std::size_t>(it.row())] = 0;
  Index used = 0;
  for (Index& p : place)
    if (p == 0) p = used++;
  Eigen::MatrixXd g = Eigen::MatrixXd::Zero(m, m);
  std::vector<Index> cursor(static_cast<std::size_t>(m));
  for (Index j = 0; j < m; ++j) cursor[static_cast<std::size_t>(j)] = v.outerIndexPtr()[j];
  Eigen::MatrixXd band, product;
  for (Index b0 = 0; b0 < used; b0 += kGramBandRows) {
    const Index rows = std::min(kGramBandRows, used - b0);
    // The columns with an entry in this band: a column reaches the rows of the supernodes on
    // its path to the root, so the lower bands hold few of them.
    std::vector<Index> present;
    for (Index j = 0; j < m; ++j) {
      const Index at = cursor[static_cast<std::size_t>(j)];
      if (at < v.outerIndexPtr()[j + 1] && place[static_cast<std::size_t>(v.innerIndexPtr()[at])] < b0 + rows)
        present.push_back(j);
    }
    const auto k = static_cast<Index>(present.size());
    if (k == 0) continue;
    band.setZero(rows, k);
    tbb::parallel_for(Index{0}, k, [&](Index q) {
      const Index j = present[static_cast<std::size_t>(q)];
      Index& at = cursor[static_cast<std::size_t>(j)];
      const Index end = v.outerIndexPtr()[j + 1];
      for (; at < end; ++at) {
        const Index p = place[static_cast<std::size_t>(v.innerIndexPtr()[at])];
        if (p >= b0 + rows) break;
        band(p - b0, q) = v.valuePtr()[at];
      }
    });
    // The band's own Gram matrix, its lower triangle by tiles (r ≥ c), then added to theirs.
    std::vector<std::pair<Index, Index>> tiles;
    for (Index c = 0; c < k; c += kGramTileColumns)
      for (Index r = c; r < k; r += kGramTileColumns) tiles.emplace_back(r, c);
    product.setZero(k, k);
    tbb::parallel_for(std::size_t{0}, tiles.size(), [&](std::size_t t) {
      const auto [r, c] = tiles[t];
      const int nr = static_cast<int>(std::min(kGramTileColumns, k - r));
      const int nc = static_cast<int>(std::min(kGramTileColumns, k - c));
      const int depth = static_cast<int>(rows), ld = static_cast<int>(rows), ldp = static_cast<int>(k);
      const double one = 1.0, zero = 0.0;
      if (r == c)
        kernels.syrk("L", "T", &nc, &depth, &one, band.data() + c * rows, &ld, &zero, product.data() + c * k + c, &ldp);
      else
        kernels.gemm("T", "N", &nr, &nc, &depth, &one, band.data() + r * rows, &ld, band.data() + c * rows, &ld, &zero,
                     product.data() + c * k + r, &ldp);
    });
    tbb::parallel_for(Index{0}, k, [&](Index qc) {
      const Index c = present[static_cast<std::size_t>(qc)];
      for (Index qr = qc; qr < k; ++qr) g(present[static_cast<std::size_t>(qr)], c) += product(qr, qc);
    });
  }
  for (Index c = 0; c < m; ++c)
    for (Index r = c + 1; r < m; ++r) g(c, r) = g(r, c);
  return g;
}

}  // namespace varn
