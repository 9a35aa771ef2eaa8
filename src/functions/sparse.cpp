#include "functions/sparse.h"

#include <cholmod.h>
#include <dlfcn.h>
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>
#include <umfpack.h>

#include <Eigen/Cholesky>
#include <Eigen/LU>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <vector>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>

#include "fatal.h"
#include "functions/blas.h"
#include "functions/supernodal_cholesky.h"
#include "functions/supernodal_solve.h"
#include "huge_pages.h"

namespace varn {

static_assert(std::is_same_v<SuiteSparse_long, std::int64_t>,
              "the sparse matrix index type must be the index type of the long CHOLMOD/UMFPACK API");

namespace {

using Index = std::int64_t;
constexpr double kEps = std::numeric_limits<double>::epsilon();

// A Cholesky pivot d_k that has lost all but round-off of the DOF's own diagonal stiffness
// A_kk means the DOF is (numerically) a combination of the ones eliminated before it: a
// mechanism or an unrestrained rigid-body motion. Real structures, even slender ones with
// stiffness contrasts of many decades, stay far above this ratio; round-off pivots of a
// singular stiffness land at or below it.
constexpr double kCholeskyPivotRatio = 1e-14;
// The same test for the LU fall-back, on the pivots of UMFPACK's row-scaled matrix (every row
// scaled to unit absolute sum): the round-off pivots of a free-floating 50,000-DOF frame came
// out near 7e-16, a well-posed one's far above 1e-14.
constexpr double kLuScaledPivot = 1e-14;
// Residual acceptance: a backward-stable direct solve leaves |Kx - b| at a few n*eps of
// |K||x| + |b|. Far above that the factor is corrupt (never seen with a sound BLAS; it is the
// symptom of a BLAS that is not safe for concurrent calls) and the solution is rejected.
constexpr double kResidualTolerance = 1e-8;

bool all_finite(const Eigen::MatrixXd& x) { return x.allFinite(); }

// Process-wide counts of the work the solvers did, for benchmarks and tests.
std::atomic<std::size_t> g_symbolic_analyses{0};
std::atomic<std::size_t> g_numeric_factorizations{0};
std::atomic<std::size_t> g_low_rank_updates{0};

// Column j of a compressed or uncompressed matrix: [begin, end) into the index/value arrays.
inline std::pair<Index, Index> column_range(const SparseMatrix& k, Index j) {
  const Index begin = k.outerIndexPtr()[j];
  const Index end = k.isCompressed() ? k.outerIndexPtr()[j + 1] : begin + k.innerNonZeroPtr()[j];
  return {begin, end};
}

// Residual of the operator the solve used: the symmetric completion of the lower triangle for
// Cholesky, the stored matrix for LU.
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

// ---- Iterative refinement -------------------------------------------------------------------

// Refinement steps taken over every solve of this layer, for the benchmarks.
std::atomic<std::size_t> g_refinement_steps{0};

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

// Iterative refinement with the kept factor: x ← x + K⁻¹(b − K x), the residual taken against
// the very matrix that was factorised (supports' penalties included). A direct solve leaves an
// error that grows with the conditioning (a 2000-element cantilever of 1 cm elements came out
// 1.3e-4 off its closed form); each step with the same factor removes most of what is left,
// as long as the factor is a fair approximation of K. The residual itself cannot be the
// measure of progress: a solution rounded to double has a residual of eps·|K||x|, far above
// |b|·eps on such a chain, however exact it is. The corrections are: a column stops once its
// correction is below kSettledCorrection of x (converged), or no longer half the previous one
// (the limit the conditioning allows: that step is kept), and a correction larger than the
// previous one is discarded (the factor no longer contracts the error); at most
// kMaxRefinementSteps.
//
// While each step at least halves the error, the error a column keeps is at most its last
// correction: a correction of 2^-40 of x leaves x good to twelve digits, far past what any
// result is judged or compared to. Waiting for the correction to reach the round-off of x
// instead costs one more solve for every column: a factor that differs from its target by the
// stabilising terms alone leaves about 1e-13 of x to its first correction, and the second one,
// at 1e-16, only confirms it. On a frame of 25,000 DOFs that solve is a fifth of the time after
// the factorisation.
constexpr double kSettledCorrection = 0x1p-40;
// Each column keeps its own stopping rule; the residuals of the columns still refining are
// formed at once on the pool, and their corrections taken in one solve, which reads the factor
// once for all of them.
constexpr int kMaxRefinementSteps = 10;

template <class Correction>
std::optional<Eigen::MatrixXd> refine_solution(const SparseMatrix& k, bool lower_symmetric, const Eigen::MatrixXd& b,
                                               Eigen::MatrixXd x, Correction&& correction) {
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

// ---- CHOLMOD -------------------------------------------------------------------------------

// CHOLMOD opens an OpenMP region of four threads for every large supernode. Inside the TBB pool
// (up to one factorisation per core) that oversubscribes the machine, and each region's barrier
// waits for threads the scheduler has parked: on a loaded machine a factorisation of a few
// thousand DOFs went from 40 ms to 5 s. The parallelism belongs to the pool, so for the
// duration of a CHOLMOD call the calling thread runs OpenMP regions inactive (one thread).
// max-active-levels is an ICV of the calling thread's own task, so nothing outside the call and
// no other thread is affected; the functions are looked up at run time (CHOLMOD brings libgomp).
class SerialOpenMpRegions {
 public:
  SerialOpenMpRegions() {
    const Api& api = lookup();
    if (api.get && api.set) {
      previous_ = api.get();
      api.set(0);
    }
  }
  ~SerialOpenMpRegions() {
    const Api& api = lookup();
    if (api.get && api.set) api.set(previous_);
  }
  SerialOpenMpRegions(const SerialOpenMpRegions&) = delete;
  SerialOpenMpRegions& operator=(const SerialOpenMpRegions&) = delete;

 private:
  struct Api {
    int (*get)() = nullptr;
    void (*set)(int) = nullptr;
  };
  static const Api& lookup() {
    static const Api api = [] {
      Api a;
      a.get = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "omp_get_max_active_levels"));
      a.set = reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"));
      return a;
    }();
    return api;
  }
  int previous_ = 1;
};

// The factors of large frames are tens of megabytes that the numeric factorisation writes for
// the first time, one supernode after the other: on 4 KiB pages that is one fault per page on
// the factorisation's own path (about 40 ms for 72 MB). The sparse libraries allocate through
// the process-wide SuiteSparse hooks; these are glibc's own functions, with huge-page advice
// on every block large enough to hold whole huge pages (memory and its release unchanged, so
// a block allocated before the hooks were set is freed as it always was). Hooks that another
// module of the process has set are left as they are: its blocks must meet its own free.
constexpr std::size_t kAdvisedBlockBytes = std::size_t{4} << 20;

void* advised(void* block, std::size_t bytes) {
  if (block != nullptr && bytes >= kAdvisedBlockBytes) advise_huge_pages(block, bytes);
  return block;
}

void* advised_malloc(std::size_t bytes) { return advised(std::malloc(bytes), bytes); }
void* advised_calloc(std::size_t count, std::size_t size) {
  return advised(std::calloc(count, size), count * size);
}
void* advised_realloc(void* block, std::size_t bytes) { return advised(std::realloc(block, bytes), bytes); }

void use_advised_allocation() {
  static std::once_flag once;
  std::call_once(once, [] {
    const bool library_defaults = SuiteSparse_config.malloc_func == &std::malloc &&
                                  SuiteSparse_config.calloc_func == &std::calloc &&
                                  SuiteSparse_config.realloc_func == &std::realloc &&
                                  SuiteSparse_config.free_func == &std::free;
    if (!library_defaults) return;
    SuiteSparse_config.malloc_func = advised_malloc;
    SuiteSparse_config.calloc_func = advised_calloc;
    SuiteSparse_config.realloc_func = advised_realloc;
    SuiteSparse_config.free_func = std::free;
  });
}

// One CHOLMOD workspace per call: cholmod_common is not safe to share between threads.
struct CholmodCommon {
  cholmod_common c;
  CholmodCommon() {
    use_advised_allocation();
    cholmod_l_start(&c);
    c.print = 0;  // the fall-back decides what a non-positive-definite matrix means
    c.error_handler = nullptr;
    // One deterministic ordering: METIS, chosen by the automatic strategy, gave orderings
    // that differed between concurrent analyses, and with them results differing in the last
    // bits. AMD here; the analysis orders the node graph itself where it applies (and runs
    // METIS there one call at a time).
    c.nmethods = 1;
    c.method[0].ordering = CHOLMOD_AMD;
    c.postorder = 1;
    c.supernodal = CHOLMOD_SUPERNODAL;
    c.quick_return_if_not_posdef = 1;
    c.useGPU = 0;
  }
  ~CholmodCommon() { cholmod_l_finish(&c); }
  CholmodCommon(const CholmodCommon&) = delete;
  CholmodCommon& operator=(const CholmodCommon&) = delete;
};

// A non-owning CHOLMOD view of a compressed Eigen matrix.
cholmod_sparse cholmod_view(const SparseMatrix& k, int stype) {
  cholmod_sparse a{};
  a.nrow = static_cast<size_t>(k.rows());
  a.ncol = static_cast<size_t>(k.cols());
  a.nzmax = static_cast<size_t>(k.nonZeros());
  a.p = const_cast<Index*>(k.outerIndexPtr());
  a.i = const_cast<Index*>(k.innerIndexPtr());
  a.nz = nullptr;
  a.x = const_cast<double*>(k.valuePtr());
  a.z = nullptr;
  a.stype = stype;
  a.itype = CHOLMOD_LONG;
  a.xtype = CHOLMOD_REAL;
  a.dtype = CHOLMOD_DOUBLE;
  a.sorted = 1;
  a.packed = 1;
  return a;
}

cholmod_dense cholmod_view(const Eigen::MatrixXd& b) {
  cholmod_dense d{};
  d.nrow = static_cast<size_t>(b.rows());
  d.ncol = static_cast<size_t>(b.cols());
  d.nzmax = d.nrow * d.ncol;
  d.d = d.nrow;
  d.x = const_cast<double*>(b.data());
  d.z = nullptr;
  d.xtype = CHOLMOD_REAL;
  d.dtype = CHOLMOD_DOUBLE;
  return d;
}

// Compressed copy only when needed (CHOLMOD and UMFPACK read packed columns).
const SparseMatrix& compressed(const SparseMatrix& k, SparseMatrix& storage) {
  if (k.isCompressed()) return k;
  storage = k;
  storage.makeCompressed();
  return storage;
}

Eigen::VectorXd stored_diagonal(const SparseMatrix& k) {
  Eigen::VectorXd d = Eigen::VectorXd::Zero(k.cols());
  for (Index j = 0; j < k.outerSize(); ++j)
    for (SparseMatrix::InnerIterator it(k, j); it; ++it)
      if (it.row() == j) d[j] += it.value();
  return d;
}

// Every pivot of a numeric factor compared with the diagonal stiffness of its DOF; the first
// DOF (original numbering) whose pivot fails is written to `failed`.
bool cholesky_pivots_sound(const cholmod_factor* l, const Eigen::VectorXd& diag, Index* failed = nullptr) {
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

// The layout of a supernodal factor's arrays.
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

// Numeric Cholesky of K (lower triangle) into L: a copy of the symbolic factor, or a numeric
// factor of the same analysis, whose supernodes are cleared and filled again (the same numbers
// as a fresh copy gives); on the pool where L is supernodal, by CHOLMOD otherwise. False when K is not (numerically) positive definite, with
// the DOF (original numbering) where elimination broke down in `failed` when there is one:
// CHOLMOD's first non-positive pivot, or the first pivot that kept only round-off of its
// diagonal. That DOF is a combination of the ones eliminated before it: it moves with them
// without resistance.
bool cholesky_factorize_into(cholmod_factor* l, const SparseMatrix& k, Index* failed = nullptr) {
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
cholmod_factor* cholesky_factorize(const cholmod_factor* symbolic, const SparseMatrix& k, Index* failed = nullptr) {
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

// K X = B with the numeric Cholesky factor L of K, B scaled to unit magnitude. The factor is
// only read.
// One of CHOLMOD's systems with the factor (CHOLMOD_A: K X = B; CHOLMOD_L, CHOLMOD_Lt and the
// permutations: the halves of it), unrefined.
std::optional<Eigen::MatrixXd> cholmod_system_solve(const cholmod_factor* l, int system, const Eigen::MatrixXd& rhs) {
  SerialOpenMpRegions serial;
  CholmodCommon cc;
  std::optional<Eigen::MatrixXd> out;
  cholmod_dense bd = cholmod_view(rhs);
  cholmod_dense* xd = cholmod_l_solve(system, const_cast<cholmod_factor*>(l), &bd, &cc.c);
  if (xd && cc.c.status == CHOLMOD_OK)
    out = Eigen::Map<const Eigen::MatrixXd>(static_cast<const double*>(xd->x), rhs.rows(), rhs.cols());
  if (xd) cholmod_l_free_dense(&xd, &cc.c);
  return out;
}

// Which sweeps of K = Pᵀ·L·Lᵀ·P a solve takes: P then L (the forward half), Lᵀ then Pᵀ (the
// backward half), or all four.
enum class Sweeps { Forward, Backward, Both };

// The sweeps with a supernodal factor on the pool (SupernodalSolvePlan) where there is a plan
// for it, by CHOLMOD otherwise.
std::optional<Eigen::MatrixXd> factor_sweeps(const cholmod_factor* l, const SupernodalSolvePlan* plan, Sweeps which,
                                             const Eigen::MatrixXd& b) {
  if (plan != nullptr && l->is_super && l->xtype == CHOLMOD_REAL && b.rows() == static_cast<Index>(l->n)) {
    const SupernodalLayout layout = layout_of(l);
    const auto* x = static_cast<const double*>(l->x);
    const Index n = b.rows();
    const Index* perm = layout.perm;
    Eigen::MatrixXd y(n, b.cols());
    if (which == Sweeps::Backward) {
      y = b;
    } else {
      for (Index c = 0; c < b.cols(); ++c)
        for (Index k = 0; k < n; ++k) y(k, c) = b(perm != nullptr ? perm[k] : k, c);
    }
    if ((which == Sweeps::Backward || plan->lower(layout, x, y.data(), y.cols(), n)) &&
        (which == Sweeps::Forward || plan->upper(layout, x, y.data(), y.cols(), n))) {
      if (which == Sweeps::Forward) return y;
      Eigen::MatrixXd out(n, b.cols());
      for (Index c = 0; c < b.cols(); ++c)
        for (Index k = 0; k < n; ++k) out(perm != nullptr ? perm[k] : k, c) = y(k, c);
      return out;
    }
  }
  switch (which) {
    case Sweeps::Both: return cholmod_system_solve(l, CHOLMOD_A, b);
    case Sweeps::Forward: {
      std::optional<Eigen::MatrixXd> x = cholmod_system_solve(l, CHOLMOD_P, b);
      return x ? cholmod_system_solve(l, CHOLMOD_L, *x) : x;
    }
    case Sweeps::Backward: {
      std::optional<Eigen::MatrixXd> x = cholmod_system_solve(l, CHOLMOD_Lt, b);
      return x ? cholmod_system_solve(l, CHOLMOD_Pt, *x) : x;
    }
  }
  return std::nullopt;
}

std::optional<Eigen::MatrixXd> cholesky_solve_scaled(const cholmod_factor* l, const SupernodalSolvePlan* plan,
                                                     const SparseMatrix& k, const Eigen::MatrixXd& b, bool refine) {
  std::optional<Eigen::MatrixXd> result;
  auto solve_with_factor = [&](const Eigen::MatrixXd& rhs) { return factor_sweeps(l, plan, Sweeps::Both, rhs); };
  std::optional<Eigen::MatrixXd> x = solve_with_factor(b);
  if (!refine) return x && all_finite(*x) ? x : std::nullopt;
  if (x && all_finite(*x)) x = refine_solution(k, true, b, std::move(*x), solve_with_factor);
  if (x && all_finite(*x) && residual_ok(k, true, *x, b)) result = std::move(x);
  return result;
}

std::optional<Eigen::MatrixXd> cholesky_solve(const cholmod_factor* l, const SupernodalSolvePlan* plan,
                                              const SparseMatrix& k, const Eigen::MatrixXd& b, bool refine = true) {
  if (b.cols() == 0) return Eigen::MatrixXd(b.rows(), 0);
  return solve_unit_scaled(b,
                           [&](const Eigen::MatrixXd& scaled) { return cholesky_solve_scaled(l, plan, k, scaled, refine); });
}

// Numeric Cholesky of K (lower triangle) on a copy of a symbolic factor, then K X = B.
std::optional<Eigen::MatrixXd> cholesky_numeric_solve(const cholmod_factor* symbolic,
                                                      const SparseMatrix& k,
                                                      const Eigen::MatrixXd& b, Index* failed = nullptr) {
  cholmod_factor* l = cholesky_factorize(symbolic, k, failed);
  if (!l) return std::nullopt;
  // Swept as every kept factor is, so that a fresh solve is the kept factor's bits.
  const std::optional<SupernodalSolvePlan> plan =
      l->is_super && l->xtype == CHOLMOD_REAL ? SupernodalSolvePlan::of(layout_of(l)) : std::nullopt;
  auto x = cholesky_solve(l, plan ? &*plan : nullptr, k, b);
  free_cholesky(l);
  return x;
}

// ---- UMFPACK -------------------------------------------------------------------------------

void lu_control(double (&control)[UMFPACK_CONTROL]) {
  use_advised_allocation();
  umfpack_dl_defaults(control);
  control[UMFPACK_PRL] = 0;
  control[UMFPACK_ORDERING] = UMFPACK_ORDERING_AMD;  // reproducible, like the Cholesky path
  control[UMFPACK_SCALE] = UMFPACK_SCALE_SUM;        // the pivot test below relies on it
}

// Sparse LU of the whole K (the fall-back for matrices that are symmetric but indefinite, or
// not symmetric at all): the UMFPACK numeric object, null when K is singular. A factor with a
// zero or round-off pivot is a singular matrix.
void* lu_factorize(const SparseMatrix& k) {
  const Index n = k.rows();
  double control[UMFPACK_CONTROL];
  double info[UMFPACK_INFO];
  lu_control(control);
  const Index* ap = k.outerIndexPtr();
  const Index* ai = k.innerIndexPtr();
  const double* ax = k.valuePtr();

  void* symbolic = nullptr;
  g_symbolic_analyses.fetch_add(1, std::memory_order_relaxed);
  if (umfpack_dl_symbolic(n, n, ap, ai, ax, &symbolic, control, info) != UMFPACK_OK) {
    if (symbolic) umfpack_dl_free_symbolic(&symbolic);
    return nullptr;
  }
  void* numeric = nullptr;
  g_numeric_factorizations.fetch_add(1, std::memory_order_relaxed);
  const auto status = umfpack_dl_numeric(ap, ai, ax, symbolic, &numeric, control, info);
  umfpack_dl_free_symbolic(&symbolic);
  // UMFPACK_WARNING_singular_matrix is a "successful" factorisation of a singular matrix:
  // its solve divides by a zero pivot.
  if (status != UMFPACK_OK || !numeric) {
    if (numeric) umfpack_dl_free_numeric(&numeric);
    return nullptr;
  }
  Eigen::VectorXd udiag(n), rs(n);
  SuiteSparse_long do_recip = 0;
  bool pivots_ok = umfpack_dl_get_numeric(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          udiag.data(), &do_recip, rs.data(), numeric) == UMFPACK_OK;
  for (Index i = 0; pivots_ok && i < n; ++i)
    pivots_ok = std::isfinite(udiag[i]) && std::abs(udiag[i]) >= kLuScaledPivot;
  if (!pivots_ok) {
    umfpack_dl_free_numeric(&numeric);
    return nullptr;
  }
  return numeric;
}

void free_lu(void* numeric) {
  if (numeric) umfpack_dl_free_numeric(&numeric);
}

// K X = B with the UMFPACK numeric object of K, B scaled to unit magnitude. The object is only read.
std::optional<Eigen::MatrixXd> lu_solve_factored_scaled(void* numeric, const SparseMatrix& k,
                                                        const Eigen::MatrixXd& b, bool refine) {
  const Index n = k.rows();
  double control[UMFPACK_CONTROL];
  double info[UMFPACK_INFO];
  lu_control(control);
  // UMFPACK's own refinement is left off: the one refinement of this layer follows.
  control[UMFPACK_IRSTEP] = 0;
  auto solve_with_factor = [&](const Eigen::MatrixXd& rhs) -> std::optional<Eigen::MatrixXd> {
    Eigen::MatrixXd x(n, rhs.cols());
    for (Index c = 0; c < rhs.cols(); ++c) {
      if (umfpack_dl_solve(UMFPACK_A, k.outerIndexPtr(), k.innerIndexPtr(), k.valuePtr(), x.col(c).data(),
                           rhs.col(c).data(), numeric, control, info) != UMFPACK_OK)
        return std::nullopt;
    }
    return x;
  };
  std::optional<Eigen::MatrixXd> x = solve_with_factor(b);
  if (!refine) return x && all_finite(*x) ? x : std::nullopt;
  if (x && all_finite(*x)) x = refine_solution(k, false, b, std::move(*x), solve_with_factor);
  if (x && all_finite(*x) && residual_ok(k, false, *x, b)) return x;
  return std::nullopt;
}

std::optional<Eigen::MatrixXd> lu_solve_factored(void* numeric, const SparseMatrix& k, const Eigen::MatrixXd& b,
                                                 bool refine = true) {
  return solve_unit_scaled(b, [&](const Eigen::MatrixXd& scaled) {
    return lu_solve_factored_scaled(numeric, k, scaled, refine);
  });
}

std::optional<Eigen::MatrixXd> lu_solve(const SparseMatrix& k, const Eigen::MatrixXd& b) {
  void* numeric = lu_factorize(k);
  if (!numeric) return std::nullopt;
  auto x = lu_solve_factored(numeric, k, b);
  free_lu(numeric);
  return x;
}

void set_method(SparseSolveInfo* info, SparseSolveMethod m) {
  if (info) info->method = m;
}

void check_square_rhs(const SparseMatrix& k, const Eigen::MatrixXd& b, const char* what) {
  if (k.rows() != k.cols())
    fatal(std::string(what) + ": the matrix is " + std::to_string(k.rows()) + " x " +
          std::to_string(k.cols()) + ", not square");
  if (b.rows() != k.rows())
    fatal(std::string(what) + ": the right-hand side has " + std::to_string(b.rows()) +
          " rows but the matrix has " + std::to_string(k.rows()));
}

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

}  // namespace

// ---- BLAS threads ----------------------------------------------------------------------------

bool init_blas_single_thread() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (blas::SetThreads set = blas::thread_setter()) set(1);
  });
  return blas::thread_setter() != nullptr;
}

// ---- Triplet collector -----------------------------------------------------------------------

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

// ---- Matrix operations -----------------------------------------------------------------------

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

// ---- Penalty constraints ---------------------------------------------------------------------

double penalty_value(const SparseMatrix& k) {
  return std::max(sparse_max_abs_diagonal(k), 1.0) * 1e10;
}

SparseMatrix apply_penalty_to_k(const SparseMatrix& k, const std::vector<std::size_t>& dofs) {
  if (dofs.empty()) return k;
  return apply_given_penalty_to_k(k, dofs, penalty_value(k));
}

SparseMatrix apply_given_penalty_to_k(const SparseMatrix& k, const std::vector<std::size_t>& dofs, double p) {
  if (dofs.empty()) return k;
  std::vector<std::pair<std::size_t, double>> entries;
  entries.reserve(dofs.size());
  for (std::size_t d : dofs) {
    check_index(d, static_cast<std::size_t>(k.cols()), "apply_penalty_to_k: DOF");
    entries.emplace_back(d, p);
  }
  return sparse_add_diagonal(k, entries);
}

Eigen::VectorXd without_held_loads(const Eigen::VectorXd& f, const std::vector<std::size_t>& dofs) {
  Eigen::VectorXd out = f;
  for (const std::size_t d : dofs) {
    check_index(d, static_cast<std::size_t>(out.size()), "held DOF of a load vector");
    out[static_cast<Eigen::Index>(d)] = 0.0;
  }
  return out;
}

SparseMatrix apply_penalty_to_k_pub(const SparseMatrix& k, const std::vector<std::size_t>& dofs) {
  return apply_penalty_to_k(k, dofs);
}

SparseMatrix apply_penalty_bc_sparse(const SparseMatrix& k, Eigen::VectorXd& f,
                                     const std::vector<std::size_t>& dofs) {
  if (dofs.empty()) return k;
  const double p = penalty_value(k);
  std::vector<std::pair<std::size_t, double>> entries;
  entries.reserve(dofs.size());
  for (std::size_t d : dofs) {
    check_index(d, static_cast<std::size_t>(f.size()), "apply_penalty_bc_sparse: DOF of f");
    check_index(d, static_cast<std::size_t>(k.cols()), "apply_penalty_bc_sparse: DOF of K");
    f[static_cast<Eigen::Index>(d)] = 0.0;
    entries.emplace_back(d, p);
  }
  return sparse_add_diagonal(k, entries);
}

bool apply_penalty_bc_inplace(SparseMatrix& k, Eigen::VectorXd& f,
                              const std::vector<std::size_t>& dofs) {
  if (dofs.empty()) return true;
  const double p = penalty_value(k);
  std::vector<std::pair<std::size_t, double>> entries;
  entries.reserve(dofs.size());
  for (std::size_t d : dofs) {
    check_index(d, static_cast<std::size_t>(f.size()), "apply_penalty_bc_inplace: DOF of f");
    f[static_cast<Eigen::Index>(d)] = 0.0;
    entries.emplace_back(d, p);
  }
  return sparse_add_diagonal_inplace(k, entries);
}

// ---- Sparse solvers --------------------------------------------------------------------------

struct CholeskySymbolic {
  Index n = 0;
  cholmod_factor* factor = nullptr;  // symbolic (pattern-only) supernodal factor
  double flops = 0.0;                // of one numeric factorisation, as the analysis counts them
  std::vector<Index> colptr, rows;   // the analysed lower-triangle pattern
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
      CholmodCommon cc;
      cholmod_l_free_factor(&factor, &cc.c);
    }
  }

  // Does K's lower triangle lie inside the analysed pattern? Numeric factorisation on an
  // analysis of another pattern would silently drop the entries outside it.
  bool fits(const SparseMatrix& k) const {
    if (k.rows() != n || k.cols() != n) return false;
    const Index* ri = k.innerIndexPtr();
    for (Index j = 0; j < n; ++j) {
      auto [p, end] = column_range(k, j);
      Index q = colptr[static_cast<size_t>(j)];
      const Index q_end = colptr[static_cast<size_t>(j) + 1];
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
    const Index* ri = k.innerIndexPtr();
    Index q = 0;
    for (Index j = 0; j < n; ++j) {
      auto [p, end] = column_range(k, j);
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

namespace {

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

// Symbolic analysis (node-graph ordering, supernodal) of K's lower triangle; the message on
// failure. `keep_pattern`: record the analysed pattern, needed only when the analysis is kept
// for other matrices.
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
}  // namespace

std::optional<Eigen::MatrixXd> solve_sparse_cholesky(const SparseMatrix& k_in,
                                                     const Eigen::MatrixXd& b,
                                                     SparseSolveInfo* info) {
  check_square_rhs(k_in, b, "solve_sparse_cholesky");
  set_method(info, SparseSolveMethod::Failed);
  init_blas_single_thread();
  SparseMatrix storage;
  const SparseMatrix& k = compressed(k_in, storage);
  Index failed = -1;
  if (auto s = analyse(k, /*keep_pattern=*/false)) {
    if (auto x = cholesky_numeric_solve((*s)->factor, k, b, &failed)) {
      set_method(info, SparseSolveMethod::Cholesky);
      return x;
    }
  }
  if (auto x = lu_solve(k, b)) {
    set_method(info, SparseSolveMethod::LU);
    return x;
  }
  if (info != nullptr && failed >= 0) info->unstable_dof = static_cast<std::size_t>(failed);
  return std::nullopt;
}

std::optional<Eigen::VectorXd> solve_sparse_system(const SparseMatrix& k, const Eigen::VectorXd& f,
                                                   const std::vector<std::size_t>& dofs,
                                                   SparseSolveInfo* info) {
  set_method(info, SparseSolveMethod::Failed);
  for (std::size_t d : dofs) check_index(d, static_cast<std::size_t>(f.size()), "solve_sparse_system: DOF of f");
  ConstrainedSparseSolver solver;
  solver.factorize(k, dofs);
  check_square_rhs(k, f, "solve_sparse_system");
  auto x = solver.solve_vector(f);
  if (x) set_method(info, solver.info());
  if (!x && info != nullptr) info->unstable_dof = solver.factorization().unstable_dof();
  return x;
}

std::optional<Eigen::MatrixXd> solve_sparse_system_multi_rhs(const SparseMatrix& k,
                                                             const Eigen::MatrixXd& b,
                                                             const std::vector<std::size_t>& dofs,
                                                             SparseSolveInfo* info) {
  set_method(info, SparseSolveMethod::Failed);
  check_square_rhs(k, b, "solve_sparse_system_multi_rhs");
  ConstrainedSparseSolver solver;
  solver.factorize(k, dofs);
  auto x = solver.solve(b);
  if (x) set_method(info, solver.info());
  if (!x && info != nullptr) info->unstable_dof = solver.factorization().unstable_dof();
  return x;
}

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

// ---- Kept factorisation ----------------------------------------------------------------------

struct SparseNumericFactor {
  MovableSparseMatrix k;               // the factorised matrix (compressed), for the residual test
  std::shared_ptr<const CholeskySymbolic> analysis;  // the analysis the Cholesky factor has
  cholmod_factor* cholesky = nullptr;  // the numeric Cholesky factor, or
  void* lu = nullptr;                  // the UMFPACK numeric object
  // The simplicial LDLᵀ form of a supernodal Cholesky factor that low-rank modifications
  // start from, made once by the first of them and copied by every one (modify_low_rank).
  mutable std::once_flag simplicial_once;
  mutable cholmod_factor* simplicial = nullptr;

  SparseNumericFactor() = default;
  SparseNumericFactor(const SparseNumericFactor&) = delete;
  SparseNumericFactor& operator=(const SparseNumericFactor&) = delete;
  ~SparseNumericFactor() {
    free_cholesky(cholesky);
    free_cholesky(simplicial);
    free_lu(lu);
  }
};

// The plan of the solves with a numeric factor's supernodal Cholesky factor; null for any
// other factor, or one whose layout the plan does not read (CHOLMOD then solves).
const SupernodalSolvePlan* solve_plan(const SparseNumericFactor& f) {
  if (f.cholesky == nullptr || !f.cholesky->is_super || f.cholesky->xtype != CHOLMOD_REAL || !f.analysis)
    return nullptr;
  const CholeskySymbolic& a = *f.analysis;
  std::call_once(a.plan_once, [&] { a.plan = SupernodalSolvePlan::of(layout_of(f.cholesky)); });
  return a.plan ? &*a.plan : nullptr;
}

std::size_t sparse_numeric_factorization_count() {
  return g_numeric_factorizations.load(std::memory_order_relaxed);
}

std::size_t sparse_refinement_step_count() { return g_refinement_steps.load(std::memory_order_relaxed); }

std::size_t sparse_symbolic_analysis_count() { return g_symbolic_analyses.load(std::memory_order_relaxed); }

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
  if (try_cholesky && symbolic_) {
    ++numeric_count_;
    const bool factorised = f->cholesky != nullptr
                                ? cholesky_factorize_into(f->cholesky, k, &failed)
                                : (f->cholesky = cholesky_factorize(symbolic_->factor, k, &failed)) != nullptr;
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
  if (f->cholesky == nullptr) {
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
  if (x && !all_finite(*x)) x.reset();
  return x;
}

}  // namespace

std::optional<Eigen::MatrixXd> SparseFactorization::solve_forward(const Eigen::MatrixXd& b) const {
  return supernodal_half_solve(numeric_.get(), b, true, "SparseFactorization::solve_forward");
}

std::optional<Eigen::MatrixXd> SparseFactorization::solve_backward(const Eigen::MatrixXd& c) const {
  return supernodal_half_solve(numeric_.get(), c, false, "SparseFactorization::solve_backward");
}

std::optional<SparseMatrix> SparseFactorization::solve_forward_sparse(const SparseMatrix& u) const {
  if (!numeric_ || numeric_->cholesky == nullptr || !numeric_->cholesky->is_super) return std::nullopt;
  const cholmod_factor* l = numeric_->cholesky;
  const auto n = static_cast<Index>(l->n);
  if (u.rows() != n) fatal("SparseFactorization::solve_forward_sparse: columns of another order than the factor");
  const auto nsuper = static_cast<Index>(l->nsuper);
  const Index* super = static_cast<const Index*>(l->super);
  const Index* pi = static_cast<const Index*>(l->pi);
  const Index* px = static_cast<const Index*>(l->px);
  const Index* rows = static_cast<const Index*>(l->s);
  const Index* perm = static_cast<const Index*>(l->Perm);
  const double* values = static_cast<const double*>(l->x);
  // Where each row of U goes under P, the supernode of each factor column, and each
  // supernode's parent (the supernode of its first row below the diagonal block).
  std::vector<Index> position(static_cast<std::size_t>(n));
  for (Index k = 0; k < n; ++k) position[static_cast<std::size_t>(perm != nullptr ? perm[k] : k)] = k;
  std::optional<SupernodeTree> tree = supernode_tree(layout_of(l));
  if (!tree) return std::nullopt;
  const std::vector<Index>& supernode = tree->owner;
  const std::vector<Index>& parent = tree->parent;

  // All columns at once, supernode by supernode over the union of what they reach: the top
  // separators, which every column reaches and where the work is, are solved for all of them
  // in one block; a column that does not reach a supernode is zero there and stays zero.
  const Index m = u.cols();
  Eigen::MatrixXd y = Eigen::MatrixXd::Zero(n, m);
  std::vector<char> marked(static_cast<std::size_t>(nsuper), 0);
  std::vector<std::vector<Index>> reach(static_cast<std::size_t>(m));
  std::vector<Index> reached;
  for (Index j = 0; j < m; ++j) {
    std::vector<Index>& mine = reach[static_cast<std::size_t>(j)];
    for (SparseMatrix::InnerIterator it(u, j); it; ++it) {
      const Index k = position[static_cast<std::size_t>(it.row())];
      y(k, j) += it.value();
      for (Index sn = supernode[static_cast<std::size_t>(k)]; sn >= 0; sn = parent[static_cast<std::size_t>(sn)]) {
        if (std::find(mine.begin(), mine.end(), sn) != mine.end()) break;
        mine.push_back(sn);
        if (!marked[static_cast<std::size_t>(sn)]) {
          marked[static_cast<std::size_t>(sn)] = 1;
          reached.push_back(sn);
        }
      }
    }
    std::sort(mine.begin(), mine.end());
  }
  std::sort(reached.begin(), reached.end());
  // The supernodes' dense blocks with the BLAS's own kernels, single-threaded like every other
  // call of this layer.
  const blas::Kernels& kernels = blas::kernels();
  if (kernels.trsm == nullptr || kernels.gemm == nullptr) return std::nullopt;
  if (n > std::numeric_limits<int>::max() || m > std::numeric_limits<int>::max()) return std::nullopt;
  const int ldy = static_cast<int>(n), nrhs = static_cast<int>(m);
  const double one = 1.0, zero = 0.0;
  Eigen::MatrixXd below;
  for (const Index sn : reached) {
    const Index first = super[sn];
    const int columns = static_cast<int>(super[sn + 1] - first);
    const int height = static_cast<int>(pi[sn + 1] - pi[sn]);
    const double* block = values + px[sn];
    double* segment = y.data() + first;
    kernels.trsm("L", "L", "N", "N", &columns, &nrhs, &one, block, &height, segment, &ldy);
    if (height > columns) {
      const int rest = height - columns;
      below.resize(rest, m);
      kernels.gemm("N", "N", &rest, &nrhs, &columns, &one, block + columns, &height, segment, &ldy, &zero,
                   below.data(), &rest);
      const Index* below_rows = rows + pi[sn] + columns;
      for (Index c = 0; c < m; ++c)
        for (Index i = 0; i < rest; ++i) y(below_rows[i], c) -= below(i, c);
    }
  }
  // Each column's supernodes ascend, and their factor columns with them: rows in order.
  std::size_t entries = 0;
  for (Index j = 0; j < m; ++j)
    for (const Index sn : reach[static_cast<std::size_t>(j)])
      entries += static_cast<std::size_t>(super[sn + 1] - super[sn]);
  SparseMatrix v(n, m);
  v.reserve(static_cast<Index>(entries));
  for (Index j = 0; j < m; ++j) {
    v.startVec(j);
    for (const Index sn : reach[static_cast<std::size_t>(j)])
      for (Index k = super[sn]; k < super[sn + 1]; ++k) v.insertBack(k, j) = y(k, j);
  }
  v.finalize();
  if (!std::all_of(v.valuePtr(), v.valuePtr() + v.nonZeros(), [](double a) { return std::isfinite(a); }))
    return std::nullopt;
  return v;
}

bool SparseFactorization::positive_definite() const {
  return numeric_ && (numeric_->cholesky != nullptr || n_ == 0);
}

SparseSolveMethod ConstrainedSparseSolver::factorize(const SparseMatrix& k, std::vector<std::size_t> constrained) {
  const double p = constrained.empty() ? 0.0 : penalty_value(k);
  return factorize_with_penalty(k, std::move(constrained), p);
}

SparseSolveMethod ConstrainedSparseSolver::factorize_with_penalty(const SparseMatrix& k,
                                                                  std::vector<std::size_t> constrained,
                                                                  double penalty) {
  constrained_ = std::move(constrained);
  penalty_ = constrained_.empty() ? 0.0 : penalty;
  for (std::size_t d : constrained_) check_index(d, static_cast<std::size_t>(k.rows()), "constrained DOF");
  return factorization_.factorize(apply_given_penalty_to_k(k, constrained_, penalty_));
}

SparseSolveMethod ConstrainedSparseSolver::modify_low_rank(const SparseMatrix& k_new, const SparseMatrix& c_add,
                                                           const SparseMatrix& c_remove) {
  for (std::size_t d : constrained_) check_index(d, static_cast<std::size_t>(k_new.rows()), "constrained DOF");
  return factorization_.modify_low_rank(apply_given_penalty_to_k(k_new, constrained_, penalty_), c_add, c_remove);
}

std::optional<Eigen::MatrixXd> ConstrainedSparseSolver::solve(const Eigen::MatrixXd& b) const {
  Eigen::MatrixXd rhs = b;
  // The penalty holds a constrained DOF at zero only when it carries no load.
  for (std::size_t d : constrained_) {
    check_index(d, static_cast<std::size_t>(rhs.rows()), "constrained row of a right-hand side");
    rhs.row(static_cast<Eigen::Index>(d)).setZero();
  }
  return factorization_.solve(rhs);
}

std::optional<Eigen::VectorXd> ConstrainedSparseSolver::solve_vector(const Eigen::VectorXd& f) const {
  auto x = solve(Eigen::MatrixXd(f));
  if (!x) return std::nullopt;
  return Eigen::VectorXd(x->col(0));
}

std::optional<Eigen::MatrixXd> ConstrainedSparseSolver::solve_towards(const SparseMatrix& k_t,
                                                                      const Eigen::MatrixXd& b,
                                                                      Eigen::MatrixXd x0) const {
  return solve_towards(k_t, b, std::move(x0),
                       [&](const Eigen::MatrixXd& r) { return factorization_.solve_once(r); });
}

std::optional<Eigen::MatrixXd> ConstrainedSparseSolver::solve_towards(const SparseMatrix& k_t,
                                                                      const Eigen::MatrixXd& b, Eigen::MatrixXd x0,
                                                                      const Correction& correction) const {
  if (factorization_.info() == SparseSolveMethod::Failed) return std::nullopt;
  const auto n = static_cast<Index>(factorization_.rows());
  if (k_t.rows() != n || k_t.cols() != n || b.rows() != n || x0.rows() != n || x0.cols() != b.cols())
    fatal("ConstrainedSparseSolver::solve_towards: operator, loads or start of another order than the factor");
  SparseMatrix target = apply_given_penalty_to_k(k_t, constrained_, penalty_);
  target.makeCompressed();
  Eigen::MatrixXd rhs = b;
  for (std::size_t d : constrained_) rhs.row(static_cast<Index>(d)).setZero();
  return solve_unit_scaled(rhs, [&](const Eigen::MatrixXd& scaled) -> std::optional<Eigen::MatrixXd> {
    // The start scaled with the loads (the same power of two per column: exact).
    Eigen::MatrixXd x = x0;
    for (Index c = 0; c < x.cols(); ++c) {
      const double m = rhs.col(c).lpNorm<Eigen::Infinity>();
      int e = 0;
      if (m > 0.0 && std::isfinite(m)) std::frexp(m, &e);
      for (Index i = 0; i < x.rows(); ++i) x(i, c) = std::ldexp(x(i, c), -e);
    }
    return refine_solution(target, true, scaled, std::move(x), correction);
  });
}

std::optional<Eigen::MatrixXd> ConstrainedSparseSolver::solve_once(const Eigen::MatrixXd& b) const {
  if (factorization_.info() == SparseSolveMethod::Failed) return std::nullopt;
  Eigen::MatrixXd rhs = b;
  for (std::size_t d : constrained_) {
    check_index(d, static_cast<std::size_t>(rhs.rows()), "constrained row of a right-hand side");
    rhs.row(static_cast<Index>(d)).setZero();
  }
  std::optional<Eigen::MatrixXd> x = factorization_.solve_once(rhs);
  if (!x || !x->allFinite()) return std::nullopt;
  return x;
}

std::optional<Eigen::MatrixXd> ConstrainedSparseSolver::solve_towards(const SparseMatrix& k_t,
                                                                      const Eigen::MatrixXd& b) const {
  std::optional<Eigen::MatrixXd> x0 = solve_once(b);
  if (!x0) return std::nullopt;
  return solve_towards(k_t, b, std::move(*x0));
}

// ---- Dense solvers ---------------------------------------------------------------------------

namespace {

// Power-of-two scale factor 1/|v| (exact in floating point, so scaling adds no rounding).
double pow2_reciprocal(double v) {
  int e = 0;
  std::frexp(v, &e);
  return std::ldexp(1.0, -e);
}

void check_dense(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b, const char* what) {
  if (a.rows() != a.cols())
    fatal(std::string(what) + ": the matrix is " + std::to_string(a.rows()) + " x " +
          std::to_string(a.cols()) + ", not square");
  if (b.rows() != a.rows())
    fatal(std::string(what) + ": the right-hand side has " + std::to_string(b.rows()) +
          " rows but the matrix has " + std::to_string(a.rows()));
}

// Round-off level of the reciprocal condition number of an equilibrated n x n matrix: below
// it the matrix is singular to working precision.
double singular_rcond(Eigen::Index n) { return kEps * static_cast<double>(std::max<Eigen::Index>(n, 1)); }

bool dense_residual_ok(const Eigen::MatrixXd& a, const Eigen::MatrixXd& x, const Eigen::MatrixXd& b) {
  const Eigen::MatrixXd r = a * x - b;
  const double a_norm = a.cwiseAbs().rowwise().sum().maxCoeff();
  for (Eigen::Index c = 0; c < x.cols(); ++c) {
    const double scale =
        a_norm * x.col(c).lpNorm<Eigen::Infinity>() + b.col(c).lpNorm<Eigen::Infinity>();
    if (!(r.col(c).lpNorm<Eigen::Infinity>() <= kResidualTolerance * scale)) return false;
  }
  return true;
}

}  // namespace

std::optional<Eigen::MatrixXd> solve_dense_lu(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  check_dense(a, b, "solve_dense_lu");
  if (b.cols() < 1) fatal("index out of bounds: solve_dense_lu: the right-hand side has no column");
  const Eigen::Index n = a.rows();
  if (n == 0) return Eigen::MatrixXd(0, 1);
  if (!a.allFinite() || !b.col(0).allFinite()) return std::nullopt;
  // Equilibrate rows, then columns, so that the condition estimate measures near-singularity
  // and not the mix of units (N/m against N*m/rad against warping stiffness).
  Eigen::VectorXd r(n), c(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double m = a.row(i).cwiseAbs().maxCoeff();
    if (m == 0.0) return std::nullopt;  // a DOF that nothing stiffens
    r[i] = pow2_reciprocal(m);
  }
  Eigen::MatrixXd as = r.asDiagonal() * a;
  for (Eigen::Index j = 0; j < n; ++j) {
    const double m = as.col(j).cwiseAbs().maxCoeff();
    if (m == 0.0) return std::nullopt;
    c[j] = pow2_reciprocal(m);
  }
  as = as * c.asDiagonal();
  Eigen::PartialPivLU<Eigen::MatrixXd> lu(as);
  const Eigen::VectorXd pivots = lu.matrixLU().diagonal();
  for (Eigen::Index i = 0; i < n; ++i)
    if (!std::isfinite(pivots[i]) || pivots[i] == 0.0) return std::nullopt;
  const double rcond = lu.rcond();
  if (!(rcond >= singular_rcond(n))) return std::nullopt;
  return solve_unit_scaled(b.col(0), [&](const Eigen::MatrixXd& scaled) -> std::optional<Eigen::MatrixXd> {
    const Eigen::VectorXd y = lu.solve(r.asDiagonal() * scaled);
    Eigen::MatrixXd x = c.asDiagonal() * y;
    if (!x.allFinite() || !dense_residual_ok(a, x, scaled)) return std::nullopt;
    return x;
  });
}

std::optional<Eigen::MatrixXd> solve_dense_cholesky(const Eigen::MatrixXd& a,
                                                    const Eigen::MatrixXd& b) {
  check_dense(a, b, "solve_dense_cholesky");
  const Eigen::Index n = a.rows();
  if (n == 0) return Eigen::MatrixXd(0, b.cols());
  if (!a.allFinite() || !b.allFinite()) return std::nullopt;
  // Symmetric scaling by the diagonal keeps the matrix symmetric and makes the condition
  // estimate independent of the DOF units; a non-positive diagonal is not positive definite.
  Eigen::VectorXd s(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    if (!(a(i, i) > 0.0)) return std::nullopt;
    s[i] = pow2_reciprocal(std::sqrt(a(i, i)));
  }
  const Eigen::MatrixXd as = s.asDiagonal() * a * s.asDiagonal();
  Eigen::LLT<Eigen::MatrixXd> llt(as);
  if (llt.info() != Eigen::Success) return std::nullopt;
  const Eigen::VectorXd l_diag = llt.matrixLLT().diagonal();
  for (Eigen::Index i = 0; i < n; ++i)
    if (!std::isfinite(l_diag[i]) || !(l_diag[i] > 0.0)) return std::nullopt;
  if (!(llt.rcond() >= singular_rcond(n))) return std::nullopt;
  return solve_unit_scaled(b, [&](const Eigen::MatrixXd& scaled) -> std::optional<Eigen::MatrixXd> {
    Eigen::MatrixXd x = s.asDiagonal() * llt.solve(s.asDiagonal() * scaled);
    if (!x.allFinite() || !dense_residual_ok(a, x, scaled)) return std::nullopt;
    return x;
  });
}

}  // namespace varn

// ---- Low-rank modification of a kept factor -------------------------------------------------

namespace varn {

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

const SparseMatrix* SparseFactorization::matrix() const { return numeric_ ? &numeric_->k : nullptr; }

std::size_t sparse_low_rank_update_count() { return g_low_rank_updates.load(std::memory_order_relaxed); }

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
