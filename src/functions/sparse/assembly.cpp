#include "functions/sparse/matrix.h"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "fatal.h"

namespace varn {

namespace {
using Index = std::int64_t;
}  // namespace

SparseAssembler SparseAssembler::with_capacity(std::size_t n, std::size_t number_of_members) {
  SparseAssembler a(n);
  a.triplets_.reserve(kTripletsPerMember * number_of_members);
  return a;
}

void SparseAssembler::assemble_element(std::size_t s, std::size_t e,
                                       const Eigen::Ref<const Eigen::MatrixXd>& k) {
  if (k.rows() < 14 || k.cols() < 14)
    fatal("index out of bounds: element matrix is " + std::to_string(k.rows()) + " x " +
          std::to_string(k.cols()) + " but 14 x 14 is required");
  for (std::size_t i = 0; i < 7; ++i) {
    for (std::size_t j = 0; j < 7; ++j) {
      const Eigen::Index ii = static_cast<Eigen::Index>(i), jj = static_cast<Eigen::Index>(j);
      add(s + i, s + j, k(ii, jj));
      add(s + i, e + j, k(ii, jj + 7));
      add(e + i, s + j, k(ii + 7, jj));
      add(e + i, e + j, k(ii + 7, jj + 7));
    }
  }
}

SparseAssembler SparseAssembler::concatenate(std::size_t n, const std::vector<const SparseAssembler*>& blocks,
                                             std::size_t members) {
  std::vector<std::size_t> offset(blocks.size() + 1, 0);
  for (std::size_t b = 0; b < blocks.size(); ++b)
    offset[b + 1] = offset[b] + (blocks[b] != nullptr ? blocks[b]->triplets_.size() : 0);
  SparseAssembler out = with_capacity(n, std::max(members, (offset.back() + kTripletsPerMember - 1) / kTripletsPerMember));
  out.triplets_.resize(offset.back());
  tbb::parallel_for(std::size_t{0}, blocks.size(), [&](std::size_t b) {
    if (blocks[b] != nullptr) std::copy(blocks[b]->triplets_.begin(), blocks[b]->triplets_.end(), out.triplets_.begin() + static_cast<std::ptrdiff_t>(offset[b]));
  });
  return out;
}

SparseMatrix SparseAssembler::to_csc() const {
  const std::string prefix = "SparseAssembler: failed to build CSC matrix from triplets: ";
  if (n_ > static_cast<std::size_t>(std::numeric_limits<Index>::max()))
    fatal(prefix + "matrix size " + std::to_string(n_) + " exceeds the index range");
  for (std::size_t t = 0; t < triplets_.size(); ++t) {
    const SparseTriplet& tr = triplets_[t];
    if (tr.row_index >= n_ || tr.col_index >= n_)
      fatal(prefix + "triplet " + std::to_string(t) + " at (" + std::to_string(tr.row_index) +
            ", " + std::to_string(tr.col_index) + ") lies outside the " + std::to_string(n_) +
            " x " + std::to_string(n_) + " matrix");
  }
  try {
    // The triplets by column, in their own order within each column (a stable counting sort);
    // then each column on its own: duplicates summed in triplet order (the first value, then
    // every later one added to it, as Eigen's triplet construction sums them), rows sorted.
    const std::size_t n = n_;
    std::vector<Index> start(n + 1, 0);
    for (const SparseTriplet& tr : triplets_) ++start[tr.col_index + 1];
    for (std::size_t c = 0; c < n; ++c) start[c + 1] += start[c];
    std::vector<std::pair<Index, double>> bucket(triplets_.size());
    {
      std::vector<Index> next(start.begin(), start.end() - 1);
      for (const SparseTriplet& tr : triplets_)
        bucket[static_cast<std::size_t>(next[tr.col_index]++)] = {static_cast<Index>(tr.row_index), tr.val};
    }
    std::vector<Index> unique(n, 0);
    tbb::enumerable_thread_specific<std::vector<Index>> slots([&] { return std::vector<Index>(n, -1); });
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 256), [&](const tbb::blocked_range<std::size_t>& r) {
      std::vector<Index>& slot = slots.local();
      for (std::size_t c = r.begin(); c != r.end(); ++c) {
        const auto first = static_cast<std::size_t>(start[c]), last = static_cast<std::size_t>(start[c + 1]);
        std::size_t kept = first;
        for (std::size_t q = first; q < last; ++q) {
          const auto [row, value] = bucket[q];
          Index& at = slot[static_cast<std::size_t>(row)];
          if (at >= static_cast<Index>(first) && at < static_cast<Index>(kept) && bucket[static_cast<std::size_t>(at)].first == row) {
            bucket[static_cast<std::size_t>(at)].second += value;
          } else {
            at = static_cast<Index>(kept);
            bucket[kept++] = {row, value};
          }
        }
        std::sort(bucket.begin() + static_cast<std::ptrdiff_t>(first), bucket.begin() + static_cast<std::ptrdiff_t>(kept),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        unique[c] = static_cast<Index>(kept - first);
      }
    });
    SparseMatrix m(static_cast<Index>(n), static_cast<Index>(n));
    Index nnz = 0;
    for (std::size_t c = 0; c < n; ++c) nnz += unique[c];
    m.resizeNonZeros(nnz);
    Index* outer = m.outerIndexPtr();
    outer[0] = 0;
    for (std::size_t c = 0; c < n; ++c) outer[c + 1] = outer[c] + unique[c];
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 256), [&](const tbb::blocked_range<std::size_t>& r) {
      for (std::size_t c = r.begin(); c != r.end(); ++c) {
        const auto from = static_cast<std::size_t>(start[c]);
        for (Index q = 0; q < unique[c]; ++q) {
          m.innerIndexPtr()[outer[c] + q] = bucket[from + static_cast<std::size_t>(q)].first;
          m.valuePtr()[outer[c] + q] = bucket[from + static_cast<std::size_t>(q)].second;
        }
      }
    });
    return m;
  } catch (const std::bad_alloc&) {
    fatal(prefix + "out of memory for " + std::to_string(triplets_.size()) + " triplets");
  }
}

}  // namespace varn
