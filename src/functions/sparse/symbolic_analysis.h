#pragma once
// The symbolic Cholesky analysis itself: node-graph ordering and CHOLMOD's supernodal
// analysis, and the pattern it was made for. Internal to the sparse layer.
#include <atomic>
#include <cstdint>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "expected.h"
#include "functions/sparse/cholmod_support.h"
#include "functions/sparse/supernodal_solve.h"

namespace varn {

struct CholeskySymbolic {
  std::int64_t n = 0;
  cholmod_factor* factor = nullptr;  // symbolic (pattern-only) supernodal factor
  double flops = 0.0;                // of one numeric factorisation, as the analysis counts them
  std::vector<std::int64_t> colptr, rows;   // the analysed lower-triangle pattern
  mutable std::atomic<std::size_t> numeric_count{0};
  // The plan of the solves with its supernodal factors (all laid out alike), made by the first
  // solve that needs it.
  mutable std::once_flag plan_once;
  mutable std::optional<SupernodalSolvePlan> plan;

  CholeskySymbolic() = default;
  CholeskySymbolic(const CholeskySymbolic&) = delete;
  CholeskySymbolic& operator=(const CholeskySymbolic&) = delete;
  ~CholeskySymbolic() {
    if (factor) {
      sparse_detail::CholmodCommon cc;
      cholmod_l_free_factor(&factor, &cc.c);
    }
  }

  // Does K's lower triangle lie inside the analysed pattern? Numeric factorisation on an
  // analysis of another pattern would silently drop the entries outside it.
  bool fits(const SparseMatrix& k) const {
    if (k.rows() != n || k.cols() != n) return false;
    const std::int64_t* ri = k.innerIndexPtr();
    for (std::int64_t j = 0; j < n; ++j) {
      auto [p, end] = sparse_detail::column_range(k, j);
      std::int64_t q = colptr[static_cast<size_t>(j)];
      const std::int64_t q_end = colptr[static_cast<size_t>(j) + 1];
      for (; p < end; ++p) {
        if (ri[p] < j) continue;
        while (q < q_end && rows[static_cast<size_t>(q)] < ri[p]) ++q;
        if (q == q_end || rows[static_cast<size_t>(q)] != ri[p]) return false;
      }
    }
    return true;
  }

  // Is K's lower-triangle pattern the analysed one, entry for entry?
  bool same_pattern(const SparseMatrix& k) const {
    if (k.rows() != n || k.cols() != n) return false;
    const std::int64_t* ri = k.innerIndexPtr();
    std::int64_t q = 0;
    for (std::int64_t j = 0; j < n; ++j) {
      auto [p, end] = sparse_detail::column_range(k, j);
      for (; p < end; ++p) {
        if (ri[p] < j) continue;
        if (q >= colptr[static_cast<size_t>(j) + 1] || rows[static_cast<size_t>(q)] != ri[p]) return false;
        ++q;
      }
      if (q != colptr[static_cast<size_t>(j) + 1]) return false;
    }
    return true;
  }
};

}  // namespace varn

namespace varn::sparse_detail {

// Symbolic analysis (node-graph ordering, supernodal) of K's lower triangle; the message on
// failure. `keep_pattern`: record the analysed pattern, needed only when the analysis is kept
// for other matrices.
Expected<std::shared_ptr<CholeskySymbolic>> analyse(const SparseMatrix& k_in, bool keep_pattern);

}  // namespace varn::sparse_detail
