#include "functions/sparse/supernodal_cholesky.h"

#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for_each.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "functions/blas.h"

namespace varn {

namespace {

using Index = std::int64_t;

// A supernode with at least this many multiply-adds of its own (about a millisecond on one
// core) is worth cutting into tiles for the pool; one with fewer is factorised whole by one
// task. On a frame of 25,000 DOFs the last separators, a few dozen supernodes of up to 2,000
// columns, hold most of the work.
constexpr double kTiledWork = 0x1p24;

// Supernode `from` updates a supernode above it with its rows at positions [begin, end) of its
// row list: the rows that fall in the columns of the one it updates.
struct Update {
  Index from;
  Index begin;
  Index end;
};

// Who updates whom, and in which order, from the layout alone.
struct Schedule {
  std::vector<Index> parent;        // the supernode above in the tree, −1 at a root
  std::vector<Index> update_start;  // updates of supernode s: update_start[s] .. update_start[s + 1]
  std::vector<Update> updates;      // by target, each target's descendants in ascending order
  std::vector<char> tiled;          // factorised in tiles on the pool (kTiledWork)
  std::vector<Index> owner;         // the supernode of each factor column
};

bool fits_blas(Index v) { return v >= 0 && v <= std::numeric_limits<int>::max(); }

}  // namespace

std::optional<SupernodeTree> supernode_tree(const SupernodalLayout& l) {
  const Index ns = l.supernodes;
  if (ns < 0 || l.n < 0 || (ns == 0) != (l.n == 0)) return std::nullopt;
  SupernodeTree tree;
  tree.parent.assign(static_cast<std::size_t>(ns), -1);
  tree.owner.assign(static_cast<std::size_t>(l.n), -1);
  for (Index j = 0; j < ns; ++j) {
    const Index columns = l.super[j + 1] - l.super[j];
    const Index height = l.pi[j + 1] - l.pi[j];
    if (columns <= 0 || height < columns || !fits_blas(height) || l.px[j + 1] - l.px[j] < height * columns)
      return std::nullopt;
    for (Index c = 0; c < columns; ++c) {
      if (l.rows[l.pi[j] + c] != l.super[j] + c) return std::nullopt;
      tree.owner[static_cast<std::size_t>(l.super[j] + c)] = j;
    }
  }
  if (ns > 0 && (l.super[0] != 0 || l.super[ns] != l.n)) return std::nullopt;
  for (Index d = 0; d < ns; ++d) {
    const Index columns = l.super[d + 1] - l.super[d];
    const Index height = l.pi[d + 1] - l.pi[d];
    const Index* r = l.rows + l.pi[d];
    for (Index p = columns; p < height; ++p) {
      if (r[p] <= r[p - 1] || r[p] >= l.n) return std::nullopt;
      if (tree.owner[static_cast<std::size_t>(r[p])] <= d) return std::nullopt;
    }
    if (height > columns) tree.parent[static_cast<std::size_t>(d)] = tree.owner[static_cast<std::size_t>(r[columns])];
  }
  return tree;
}

namespace {

// The schedule, or none when the layout is not one this code reads.
std::optional<Schedule> schedule_of(const SupernodalLayout& l) {
  const Index ns = l.supernodes;
  std::optional<SupernodeTree> tree = supernode_tree(l);
  if (!tree) return std::nullopt;
  Schedule s;
  s.parent = std::move(tree->parent);
  s.owner = std::move(tree->owner);
  const std::vector<Index>& owner = s.owner;
  // Every run of rows below a supernode's own columns that falls in one supernode's columns.
  std::vector<std::pair<Index, Update>> runs;
  for (Index d = 0; d < ns; ++d) {
    const Index columns = l.super[d + 1] - l.super[d];
    const Index height = l.pi[d + 1] - l.pi[d];
    const Index* r = l.rows + l.pi[d];
    for (Index p = columns; p < height;) {
      const Index t = owner[static_cast<std::size_t>(r[p])];
      Index q = p + 1;
      while (q < height && r[q] < l.super[t + 1]) ++q;
      runs.push_back({t, Update{d, p, q}});
      p = q;
    }
  }
  // By target; a counting sort keeps each target's descendants in ascending order.
  s.update_start.assign(static_cast<std::size_t>(ns) + 1, 0);
  for (const auto& [t, u] : runs) ++s.update_start[static_cast<std::size_t>(t) + 1];
  for (Index j = 0; j < ns; ++j)
    s.update_start[static_cast<std::size_t>(j) + 1] += s.update_start[static_cast<std::size_t>(j)];
  s.updates.resize(runs.size());
  std::vector<Index> next(s.update_start.begin(), s.update_start.end() - 1);
  for (const auto& [t, u] : runs) s.updates[static_cast<std::size_t>(next[static_cast<std::size_t>(t)]++)] = u;
  // The work of each supernode, in multiply-adds: the updates it receives, the Cholesky of its
  // diagonal block and the solve of the rows below it.
  s.tiled.resize(static_cast<std::size_t>(ns));
  for (Index t = 0; t < ns; ++t) {
    const double columns = static_cast<double>(l.super[t + 1] - l.super[t]);
    const double below = static_cast<double>(l.pi[t + 1] - l.pi[t]) - columns;
    double w = columns * columns * columns / 3.0 + below * columns * columns;
    for (Index q = s.update_start[static_cast<std::size_t>(t)]; q < s.update_start[static_cast<std::size_t>(t) + 1];
         ++q) {
      const Update& u = s.updates[static_cast<std::size_t>(q)];
      const double from_columns = static_cast<double>(l.super[u.from + 1] - l.super[u.from]);
      const double from_height = static_cast<double>(l.pi[u.from + 1] - l.pi[u.from]);
      w += from_columns * static_cast<double>(u.end - u.begin) * (from_height - static_cast<double>(u.begin));
    }
    s.tiled[static_cast<std::size_t>(t)] = w >= kTiledWork ? 1 : 0;
  }
  return s;
}

// The lower triangle of P·K·Pᵀ by columns (the factor's numbering), rows in no order.
struct Permuted {
  std::vector<Index> start;
  std::vector<Index> row;
  std::vector<double> value;
};

Permuted permuted_lower(const SparseMatrix& k, const Index* perm) {
  const Index n = k.cols();
  std::vector<Index> inverse(static_cast<std::size_t>(n));
  for (Index j = 0; j < n; ++j) inverse[static_cast<std::size_t>(perm ? perm[j] : j)] = j;
  Permuted a;
  a.start.assign(static_cast<std::size_t>(n) + 1, 0);
  auto each_entry = [&](auto&& f) {
    for (Index j = 0; j < k.outerSize(); ++j)
      for (SparseMatrix::InnerIterator it(k, j); it; ++it) {
        if (it.row() < j) continue;
        const Index a_row = inverse[static_cast<std::size_t>(it.row())];
        const Index a_col = inverse[static_cast<std::size_t>(j)];
        f(std::max(a_row, a_col), std::min(a_row, a_col), it.value());
      }
  };
  each_entry([&](Index, Index c, double) { ++a.start[static_cast<std::size_t>(c) + 1]; });
  for (Index j = 0; j < n; ++j) a.start[static_cast<std::size_t>(j) + 1] += a.start[static_cast<std::size_t>(j)];
  a.row.resize(static_cast<std::size_t>(a.start.back()));
  a.value.resize(a.row.size());
  std::vector<Index> next(a.start.begin(), a.start.end() - 1);
  each_entry([&](Index r, Index c, double v) {
    const auto at = static_cast<std::size_t>(next[static_cast<std::size_t>(c)]++);
    a.row[at] = r;
    a.value[at] = v;
  });
  return a;
}

// What the entries of K say before any work: whether each lies in the factor's pattern (the row
// list of its column's supernode), and the first factor column whose pivot a non-finite entry
// reaches. An entry (r, c) of the permuted lower triangle is subtracted, through L(r, c), into
// row r only, so pivot r is the first it makes non-finite (or not positive, for an infinity);
// the lowest such r is where a sequential elimination would first meet one. One pass, the same
// answer on every thread count, so the outcome never depends on which supernode fails first.
struct EntryCheck {
  bool in_pattern = true;
  Index first_non_finite = -1;  // factor column, −1 when every entry is finite
};

EntryCheck check_entries(const SupernodalLayout& l, const std::vector<Index>& owner, const Permuted& a) {
  EntryCheck out;
  for (Index c = 0; c < l.n; ++c) {
    const Index t = owner[static_cast<std::size_t>(c)];
    const Index* first = l.rows + l.pi[t] + (l.super[t + 1] - l.super[t]);
    const Index* last = l.rows + l.pi[t + 1];
    for (Index q = a.start[static_cast<std::size_t>(c)]; q < a.start[static_cast<std::size_t>(c) + 1]; ++q) {
      const Index r = a.row[static_cast<std::size_t>(q)];
      // Rows in the supernode's own columns are in its pattern; those below it are listed.
      if (r >= l.super[t + 1] && !std::binary_search(first, last, r)) out.in_pattern = false;
      if (!std::isfinite(a.value[static_cast<std::size_t>(q)]) && (out.first_non_finite < 0 || r < out.first_non_finite))
        out.first_non_finite = r;
    }
  }
  return out;
}

// The position of each row of the supernode being factorised in its row list, with the
// supernode it was set for (an entry of K outside the pattern finds another one there).
struct RowMap {
  std::vector<Index> position;
  std::vector<Index> set_for;
  explicit RowMap(Index n) : position(static_cast<std::size_t>(n), 0), set_for(static_cast<std::size_t>(n), -1) {}
  void set(const SupernodalLayout& l, Index t) {
    for (Index p = l.pi[t]; p < l.pi[t + 1]; ++p) {
      position[static_cast<std::size_t>(l.rows[p])] = p - l.pi[t];
      set_for[static_cast<std::size_t>(l.rows[p])] = t;
    }
  }
};

enum class Step { Done, NotPositiveDefinite, Unavailable };

// A tile of supernode t's block, rows [r0, r1) (positions in its row list) and columns
// [c0, c1): its entries of K less every update from below, each update with one product of the
// BLAS. An entry gets its updates in ascending order of the supernode they come from, whatever
// the tile it was taken in.
Step assemble_tile(const SupernodalLayout& l, const Schedule& s, const Permuted& a, double* x, Index t,
                   const RowMap& map, Index r0, Index r1, Index c0, Index c1, std::vector<double>& block) {
  const blas::Kernels& blas = blas::kernels();
  const Index first = l.super[t];
  const Index height = l.pi[t + 1] - l.pi[t];
  double* lt = x + l.px[t];
  for (Index c = c0; c < c1; ++c) {
    double* column = lt + c * height;
    std::fill(column + std::max(r0, c), column + r1, 0.0);
    const auto column_start = static_cast<std::size_t>(a.start[static_cast<std::size_t>(first + c)]);
    const auto column_end = static_cast<std::size_t>(a.start[static_cast<std::size_t>(first + c) + 1]);
    for (std::size_t q = column_start; q < column_end; ++q) {
      const auto i = static_cast<std::size_t>(a.row[q]);
      if (map.set_for[i] != t) return Step::Unavailable;  // an entry of K outside the pattern
      const Index p = map.position[i];
      if (p >= r0 && p < r1) column[p] += a.value[q];
    }
  }
  const double one = 1.0, zero = 0.0;
  for (Index q = s.update_start[static_cast<std::size_t>(t)]; q < s.update_start[static_cast<std::size_t>(t) + 1]; ++q) {
    const Update& u = s.updates[static_cast<std::size_t>(q)];
    const Index* from_rows = l.rows + l.pi[u.from] + u.begin;
    const Index below = l.pi[u.from + 1] - l.pi[u.from] - u.begin;  // rows from t's columns down
    const Index inside = u.end - u.begin;                          // of which in t's columns
    // The update's rows that land at positions from `bound` on (positions rise with the rows).
    auto first_at = [&](Index bound, Index count) {
      Index lo = 0, hi = count;
      while (lo < hi) {
        const Index mid = lo + (hi - lo) / 2;
        if (map.position[static_cast<std::size_t>(from_rows[mid])] < bound) lo = mid + 1; else hi = mid;
      }
      return lo;
    };
    const bool whole = r0 == 0 && r1 == height && c0 == 0 && c1 == l.super[t + 1] - first;
    const Index i0 = whole ? 0 : first_at(r0, below), i1 = whole ? below : first_at(r1, below);
    const Index j0 = whole ? 0 : first_at(c0, inside), j1 = whole ? inside : first_at(c1, inside);
    if (i0 >= i1 || j0 >= j1 || i1 <= j0) continue;  // nothing of the lower triangle in the tile
    const int m = static_cast<int>(i1 - i0), n = static_cast<int>(j1 - j0);
    const int from_columns = static_cast<int>(l.super[u.from + 1] - l.super[u.from]);
    const int from_height = static_cast<int>(l.pi[u.from + 1] - l.pi[u.from]);
    const double* ld = x + l.px[u.from] + u.begin;
    block.resize(static_cast<std::size_t>(m) * static_cast<std::size_t>(n));
    blas.gemm("N", "T", &m, &n, &from_columns, &one, ld + i0, &from_height, ld + j0, &from_height, &zero,
              block.data(), &m);
    for (Index jj = j0; jj < j1; ++jj) {
      double* column = lt + (from_rows[jj] - first) * height;
      const double* cj = block.data() + static_cast<std::size_t>(jj - j0) * static_cast<std::size_t>(m) - i0;
      for (Index ii = std::max(i0, jj); ii < i1; ++ii)
        column[map.position[static_cast<std::size_t>(from_rows[ii])]] -= cj[ii];
    }
  }
  return Step::Done;
}

// The elimination of supernode t in square tiles of `tile` (the last ones shorter), right-
// looking, each step's tiles on the pool with the BLAS on one thread: the Cholesky of the
// diagonal tile, the solve of every tile beneath it, then the update of every tile of the
// trailing lower triangle (rows below the diagonal block included). The tiles, and with them
// every product and its rounding, depend on the block's size alone.
Step eliminate_in_tiles(const SupernodalLayout& l, double* x, Index t, Index tile, Index& broken) {
  const blas::Kernels& blas = blas::kernels();
  const Index columns = l.super[t + 1] - l.super[t];
  const Index height = l.pi[t + 1] - l.pi[t];
  const int ld = static_cast<int>(height);
  double* lt = x + l.px[t];
  auto at = [&](Index r, Index c) { return lt + c * height + r; };
  auto extent = [&](Index start, Index end) { return static_cast<int>(std::min(end, start + tile) - start); };
  const double one = 1.0, minus_one = -1.0;
  for (Index k = 0; k < columns; k += tile) {
    const int nk = extent(k, columns);
    int info = 0;
    blas.potrf("L", &nk, at(k, k), &ld, &info);
    if (info > 0) {
      // The first column of the tile whose pivot was not positive: the tiles before it were
      // eliminated, so it is the first of the block.
      broken = l.super[t] + k + info - 1;
      return Step::NotPositiveDefinite;
    }
    if (info < 0) return Step::Unavailable;
    const Index below = (height - (k + nk) + tile - 1) / tile;  // row tiles under the diagonal one
    tbb::parallel_for(Index{0}, below, [&](Index q) {
      const Index r = k + nk + q * tile;
      const int m = extent(r, height);
      blas.trsm("R", "L", "T", "N", &m, &nk, &one, at(k, k), &ld, at(r, k), &ld);
    });
    // The trailing tiles (r, c): c a column tile after k, r its diagonal tile, then the row
    // tiles beneath it.
    std::vector<std::pair<Index, Index>> trailing;
    for (Index c = k + nk; c < columns; c += tile) {
      trailing.emplace_back(c, c);
      for (Index r = c + extent(c, columns); r < height; r += tile) trailing.emplace_back(r, c);
    }
    tbb::parallel_for(std::size_t{0}, trailing.size(), [&](std::size_t q) {
      const auto [r, c] = trailing[q];
      const int n = extent(c, columns);
      if (r == c) {
        blas.syrk("L", "N", &n, &nk, &minus_one, at(c, k), &ld, &one, at(c, c), &ld);
      } else {
        const int m = extent(r, height);
        blas.gemm("N", "T", &m, &n, &nk, &minus_one, at(r, k), &ld, at(c, k), &ld, &one, at(r, c), &ld);
      }
    });
  }
  return Step::Done;
}

// The side of the square tiles of a large supernode: large enough for the BLAS's products to
// run near their best, small enough that the root separator of a large frame makes a few
// hundred tasks. Fixed, so that the products, and their rounding, are the same on every thread
// count.
constexpr Index kTile = 96;

SupernodalResult factorize_on_pool(const SupernodalLayout& layout, double* x, const SparseMatrix& k) {
  const blas::Kernels& blas = blas::kernels();
  if (!blas.trsm || !blas.gemm || !blas.syrk || !blas.potrf) return {SupernodalOutcome::Unavailable};
  if (layout.n != k.rows() || layout.n != k.cols()) return {SupernodalOutcome::Unavailable};
  if (layout.supernodes == 0)
    return {layout.n == 0 ? SupernodalOutcome::Factorised : SupernodalOutcome::Unavailable};
  const std::optional<Schedule> schedule = schedule_of(layout);
  if (!schedule) return {SupernodalOutcome::Unavailable};
  const Schedule& s = *schedule;
  const Permuted a = permuted_lower(k, layout.perm);
  const EntryCheck entries = check_entries(layout, s.owner, a);
  if (!entries.in_pattern) return {SupernodalOutcome::Unavailable};
  // Nothing to eliminate where an entry is not finite: the factor would carry it into every
  // pivot it reaches.
  if (entries.first_non_finite >= 0) return {SupernodalOutcome::NotFinite, entries.first_non_finite};
  struct Workspace {
    RowMap map;
    std::vector<double> block;
  };
  tbb::enumerable_thread_specific<Workspace> workspaces([&] { return Workspace{RowMap(layout.n), {}}; });
  // The lowest supernode that was not positive definite (ns while none) and the column where
  // each failed. A supernode is eliminated only while none below it in the numbering failed,
  // so every supernode numbered before the lowest failing one is eliminated, whatever the
  // order the pool takes them in, and the failure reported is the one a sequential elimination
  // meets first.
  const Index ns = layout.supernodes;
  std::atomic<bool> unavailable{false};
  std::atomic<Index> first_failed{ns};
  std::vector<Index> broken_column(static_cast<std::size_t>(ns), -1);
  auto stop = [&](Index t) { return unavailable.load(std::memory_order_relaxed) || first_failed.load() < t; };
  auto record = [&](Index t, Step step, Index broken) {
    if (step == Step::Unavailable) {
      unavailable.store(true);
      return;
    }
    broken_column[static_cast<std::size_t>(t)] = broken;
    Index seen = first_failed.load();
    while (t < seen && !first_failed.compare_exchange_weak(seen, t)) {
    }
  };

  // A supernode of little work, whole on the calling thread. Nothing here waits for the pool,
  // so the thread's workspace is its own throughout.
  auto whole = [&](Index t, Index& broken) {
    Workspace& w = workspaces.local();
    w.map.set(layout, t);
    const Step step = assemble_tile(layout, s, a, x, t, w.map, 0, layout.pi[t + 1] - layout.pi[t], 0,
                                    layout.super[t + 1] - layout.super[t], w.block);
    // One tile as tall as the block: one Cholesky and one solve, nothing on the pool.
    return step == Step::Done ? eliminate_in_tiles(layout, x, t, layout.pi[t + 1] - layout.pi[t], broken) : step;
  };
  // A large one in tiles on the pool. While it waits for them this thread may run other
  // supernodes, so its row map is its own.
  auto tiled = [&](Index t, Index& broken) {
    RowMap map(layout.n);
    map.set(layout, t);
    const Index height = layout.pi[t + 1] - layout.pi[t];
    const Index columns = layout.super[t + 1] - layout.super[t];
    std::vector<std::pair<Index, Index>> tiles;  // those that reach the lower triangle
    for (Index r = 0; r < height; r += kTile)
      for (Index c = 0; c < columns && c < r + kTile; c += kTile) tiles.emplace_back(r, c);
    std::atomic<bool> assembled{true};
    tbb::parallel_for(std::size_t{0}, tiles.size(), [&](std::size_t q) {
      if (stop(t)) return;
      const auto [r, c] = tiles[q];
      std::vector<double>& block = workspaces.local().block;
      const Step step =
          assemble_tile(layout, s, a, x, t, map, r, std::min(height, r + kTile), c, std::min(columns, c + kTile), block);
      if (step != Step::Done) assembled.store(false);
    });
    if (!assembled.load()) return Step::Unavailable;
    return stop(t) ? Step::Done : eliminate_in_tiles(layout, x, t, kTile, broken);
  };

  // A supernode is factorised once all its children are, by the task that finished the last
  // of them.
  std::vector<std::atomic<Index>> pending(static_cast<std::size_t>(ns));
  for (Index t = 0; t < ns; ++t)
    if (const Index p = s.parent[static_cast<std::size_t>(t)]; p >= 0) pending[static_cast<std::size_t>(p)]++;
  std::vector<Index> leaves;
  for (Index t = 0; t < ns; ++t)
    if (pending[static_cast<std::size_t>(t)].load() == 0) leaves.push_back(t);
  tbb::this_task_arena::isolate([&] {
    tbb::parallel_for_each(leaves.begin(), leaves.end(), [&](Index t, tbb::feeder<Index>& feeder) {
      if (stop(t)) return;
      Index broken = -1;
      const Step step = s.tiled[static_cast<std::size_t>(t)] ? tiled(t, broken) : whole(t, broken);
      if (step != Step::Done) return record(t, step, broken);
      const Index p = s.parent[static_cast<std::size_t>(t)];
      if (p >= 0 && --pending[static_cast<std::size_t>(p)] == 0) feeder.add(p);
    });
  });
  if (unavailable.load()) return {SupernodalOutcome::Unavailable};
  const Index failed = first_failed.load();
  if (failed < ns) return {SupernodalOutcome::NotPositiveDefinite, broken_column[static_cast<std::size_t>(failed)]};
  return {SupernodalOutcome::Factorised};
}

}  // namespace

SupernodalResult factorize_supernodal(const SupernodalLayout& layout, double* x, const SparseMatrix& k) {
  try {
    return factorize_on_pool(layout, x, k);
  } catch (const std::bad_alloc&) {
    return {SupernodalOutcome::Unavailable};  // the caller's factorisation reports it as it does
  }
}

}  // namespace varn
