#include "functions/sparse/symbolic_analysis.h"

#include <tbb/parallel_invoke.h>

#include <algorithm>
#include <string>

#include "functions/sparse/cholesky_solve.h"
#include "functions/sparse/constrained_solver.h"
#include "functions/sparse/counters.h"
#include "functions/sparse/lu.h"
#include "functions/sparse/symbolic.h"

namespace varn::sparse_detail {

namespace {

// The lower-triangle pattern of K, the part a Cholesky analysis sees.
void lower_pattern(const SparseMatrix& k, std::vector<Index>& colptr, std::vector<Index>& rows) {
  colptr.assign(static_cast<size_t>(k.cols()) + 1, 0);
  rows.clear();
  for (Index j = 0; j < k.outerSize(); ++j) {
    auto [begin, end] = column_range(k, j);
    const Index* ri = k.innerIndexPtr();
    for (Index p = begin; p < end; ++p)
      if (ri[p] >= j) rows.push_back(ri[p]);
    colptr[static_cast<size_t>(j) + 1] = static_cast<Index>(rows.size());
  }
}

// DOFs of a node in the global numbering 7·(node − 1) + k.
constexpr Index kDofsPerNode = 7;

// The node graph of K's lower triangle: node b is coupled to node a when any DOF of one
// meets a DOF of the other in a stored entry. Every DOF of a node couples to the DOFs of the
// same neighbouring nodes, so the node graph carries the fill of the DOF graph at a 49th of
// its size, and a node eliminated as one keeps its 7 columns in one supernode.
struct NodeGraph {
  std::vector<Index> colptr, rows;
  cholmod_sparse view{};
};

// Empty (no columns) when K is not a matrix of whole nodes.
NodeGraph node_graph(const SparseMatrix& k) {
  NodeGraph g;
  const Index n = k.rows();
  if (n < 2 * kDofsPerNode || n % kDofsPerNode != 0) return g;
  const Index nodes = n / kDofsPerNode;
  g.colptr.assign(static_cast<std::size_t>(nodes) + 1, 0);
  g.rows.reserve(static_cast<std::size_t>(k.nonZeros() / (kDofsPerNode * kDofsPerNode)) + 1);
  std::vector<Index> seen(static_cast<std::size_t>(nodes), -1);
  const Index* ri = k.innerIndexPtr();
  for (Index b = 0; b < nodes; ++b) {
    const std::size_t first = g.rows.size();
    for (Index j = b * kDofsPerNode; j < (b + 1) * kDofsPerNode; ++j) {
      auto [p, end] = column_range(k, j);
      for (; p < end; ++p) {
        if (ri[p] < j) continue;
        const Index a = ri[p] / kDofsPerNode;
        if (seen[static_cast<std::size_t>(a)] != b) {
          seen[static_cast<std::size_t>(a)] = b;
          g.rows.push_back(a);
        }
      }
    }
    std::sort(g.rows.begin() + static_cast<std::ptrdiff_t>(first), g.rows.end());
    g.colptr[static_cast<std::size_t>(b) + 1] = static_cast<Index>(g.rows.size());
  }
  cholmod_sparse& v = g.view;
  v.nrow = v.ncol = static_cast<size_t>(nodes);
  v.nzmax = g.rows.size();
  v.p = g.colptr.data();
  v.i = g.rows.data();
  v.stype = -1;
  v.itype = CHOLMOD_LONG;
  v.xtype = CHOLMOD_PATTERN;
  v.dtype = CHOLMOD_DOUBLE;
  v.sorted = 1;
  v.packed = 1;
  return g;
}

// METIS keeps its random state in globals: two orderings made at once interleave it and come
// out different (and with them the last bits of every result). One at a time, each call
// starts from the same seed and gives the same ordering on every run.
std::mutex g_metis;

// Below this many nodes a factorisation takes a few milliseconds: a nested-dissection
// ordering and the second analysis it needs cost more than they can save.
constexpr Index kNestedDissectionNodes = 1000;

enum class NodeOrdering { MinimumDegree, NestedDissection };

// The node ordering expanded to the DOFs of each node in turn; empty when it fails (then the
// caller uses another).
std::vector<Index> node_ordering(NodeGraph& g, NodeOrdering method, cholmod_common& c) {
  const Index nodes = static_cast<Index>(g.view.ncol);
  std::vector<Index> node_perm(static_cast<std::size_t>(nodes));
  bool ok = false;
  if (method == NodeOrdering::MinimumDegree) {
    ok = cholmod_l_amd(&g.view, nullptr, 0, node_perm.data(), &c);
  } else {
    std::lock_guard<std::mutex> lock(g_metis);
    ok = cholmod_l_metis(&g.view, nullptr, 0, /*postorder=*/1, node_perm.data(), &c);
  }
  if (!ok) {
    c.status = CHOLMOD_OK;
    return {};
  }
  std::vector<Index> perm(static_cast<std::size_t>(nodes * kDofsPerNode));
  for (Index q = 0; q < nodes; ++q)
    for (Index d = 0; d < kDofsPerNode; ++d)
      perm[static_cast<std::size_t>(q * kDofsPerNode + d)] = node_perm[static_cast<std::size_t>(q)] * kDofsPerNode + d;
  return perm;
}

// Supernodal analysis of A on the given DOF permutation; null when it fails.
cholmod_factor* analyse_given(cholmod_sparse& a, std::vector<Index>& perm, cholmod_common& c) {
  c.method[0].ordering = CHOLMOD_GIVEN;
  return cholmod_l_analyze_p(&a, perm.data(), nullptr, 0, &c);
}

}  // namespace

Expected<std::shared_ptr<CholeskySymbolic>> analyse(const SparseMatrix& k_in, bool keep_pattern) {
  init_blas_single_thread();
  if (k_in.rows() != k_in.cols())
    return fail("matrix is " + std::to_string(k_in.rows()) + " x " + std::to_string(k_in.cols()) +
                ", not square");
  SparseMatrix storage;
  const SparseMatrix& k = compressed(k_in, storage);
  auto s = std::make_shared<CholeskySymbolic>();
  s->n = k.rows();
  SerialOpenMpRegions serial;
  CholmodCommon cc;
  cholmod_sparse a = cholmod_view(k, -1);
  g_symbolic_analyses.fetch_add(1, std::memory_order_relaxed);
  // Minimum degree and, on larger structures, nested dissection of the node graph; the
  // analysis of fewer flops is kept (minimum degree wins a tie). Which is better depends on
  // the structure: nested dissection saved a quarter of the flops of a square building, and
  // cost more on a slender braced one. The two are made at once, each with its own workspace.
  NodeGraph g = node_graph(k);
  if (g.view.ncol > 0) {
    struct Candidate {
      cholmod_factor* factor = nullptr;
      double flops = 0.0;
    };
    auto candidate = [&](NodeOrdering method, cholmod_common& c) {
      Candidate out;
      std::vector<Index> perm = node_ordering(g, method, c);
      if (!perm.empty() && (out.factor = analyse_given(a, perm, c)) != nullptr) out.flops = c.fl;
      c.status = CHOLMOD_OK;
      return out;
    };
    Candidate md, nd;
    CholmodCommon nd_common;
    if (static_cast<Index>(g.view.ncol) >= kNestedDissectionNodes) {
      // Either may run on another thread, whose OpenMP regions are made serial there.
      tbb::parallel_invoke(
          [&] {
            SerialOpenMpRegions serial_here;
            md = candidate(NodeOrdering::MinimumDegree, cc.c);
          },
          [&] {
            SerialOpenMpRegions serial_here;
            nd = candidate(NodeOrdering::NestedDissection, nd_common.c);
          });
    } else {
      md = candidate(NodeOrdering::MinimumDegree, cc.c);
    }
    if (nd.factor && (!md.factor || nd.flops < md.flops)) std::swap(md, nd);
    if (nd.factor) cholmod_l_free_factor(&nd.factor, &nd_common.c);
    s->factor = md.factor;
    s->flops = md.flops;
  }
  if (!s->factor) {
    cc.c.method[0].ordering = CHOLMOD_AMD;
    s->factor = cholmod_l_analyze(&a, &cc.c);
    s->flops = cc.c.fl;
  }
  if (!s->factor || cc.c.status < CHOLMOD_OK) {
    const int status = cc.c.status;
    if (s->factor) cholmod_l_free_factor(&s->factor, &cc.c);
    std::string reason = status == CHOLMOD_OUT_OF_MEMORY ? "OutOfMemory"
                         : status == CHOLMOD_TOO_LARGE   ? "TooLarge"
                         : status == CHOLMOD_INVALID     ? "Invalid"
                                                         : "Status(" + std::to_string(status) + ")";
    return fail(reason);
  }
  if (keep_pattern) lower_pattern(k, s->colptr, s->rows);
  return s;
}

}  // namespace varn::sparse_detail

namespace varn {

using namespace sparse_detail;

Expected<CachedSymbolicCholesky> CachedSymbolicCholesky::create(const SparseMatrix& k) {
  auto s = analyse(k, /*keep_pattern=*/true);
  if (!s) return fail("Symbolic Cholesky analysis failed: " + s.error());
  return CachedSymbolicCholesky(std::shared_ptr<const CholeskySymbolic>(std::move(*s)));
}

std::optional<Eigen::MatrixXd> CachedSymbolicCholesky::factorize_numerical_and_solve(
    const SparseMatrix& k_in, const Eigen::MatrixXd& b, SparseSolveInfo* info) const {
  check_square_rhs(k_in, b, "factorize_numerical_and_solve");
  set_method(info, SparseSolveMethod::Failed);
  init_blas_single_thread();
  const std::shared_ptr<const CholeskySymbolic> s = symbolic_;  // keeps the analysis alive
  SparseMatrix storage;
  const SparseMatrix& k = compressed(k_in, storage);
  if (!s->fits(k)) return solve_sparse_cholesky(k, b, info);
  s->numeric_count.fetch_add(1, std::memory_order_relaxed);
  if (auto x = cholesky_numeric_solve(s->factor, k, b)) {
    set_method(info, SparseSolveMethod::CholeskyCachedSymbolic);
    return x;
  }
  if (auto x = lu_solve(k, b)) {
    set_method(info, SparseSolveMethod::LU);
    return x;
  }
  return std::nullopt;
}

std::size_t CachedSymbolicCholesky::n() const { return static_cast<std::size_t>(symbolic_->n); }

double CachedSymbolicCholesky::factor_nnz() const {
  const cholmod_factor* l = symbolic_->factor;
  if (l->is_super) return static_cast<double>(l->xsize);
  const auto* cc = static_cast<const Index*>(l->ColCount);
  double total = 0.0;
  for (size_t j = 0; j < l->n; ++j) total += static_cast<double>(cc[j]);
  return total;
}

double CachedSymbolicCholesky::factor_flops() const { return symbolic_->flops; }

std::size_t CachedSymbolicCholesky::numeric_factorizations() const {
  return symbolic_->numeric_count.load(std::memory_order_relaxed);
}

}  // namespace varn
