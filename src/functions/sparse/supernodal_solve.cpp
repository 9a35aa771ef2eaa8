#include "functions/sparse/supernodal_solve.h"

#include <tbb/parallel_for_each.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <limits>
#include <memory>

#include "functions/blas.h"

namespace varn {

namespace {

using Index = std::int64_t;

// A subtree of fewer factor entries than this (about 0.1 ms of one core's sweep) is swept whole
// by one task: below it a task's overhead is no longer small against its work.
constexpr Index kUnitEntries = Index{1} << 15;

// A factor of fewer entries than this (8 MB) stays in the caches of the core that sweeps it,
// which then outruns any split of the sweep: it is swept whole by one task.
constexpr Index kParallelEntries = Index{1} << 20;

bool fits_int(Index v) { return v >= 0 && v <= std::numeric_limits<int>::max(); }

std::size_t at(Index i) { return static_cast<std::size_t>(i); }

// Supernode s's block as the BLAS takes it: its first column, its columns, rows and rows below
// them, and its values (column-major, leading dimension `height`).
struct Block {
  Index first;
  int columns, height, below;
  const double* values;
};

Block block_of(const SupernodalLayout& l, const double* x, Index s) {
  const int columns = static_cast<int>(l.super[s + 1] - l.super[s]);
  const int height = static_cast<int>(l.pi[s + 1] - l.pi[s]);
  return Block{l.super[s], columns, height, height - columns, x + l.px[s]};
}

// A right-hand side the BLAS's 32-bit sizes can hold, m columns of leading dimension ldy.
bool fits_sweep(const SupernodalLayout& l, Index m, Index ldy) { return fits_int(m) && fits_int(ldy) && ldy >= l.n; }

}  // namespace

std::optional<SupernodalSolvePlan> SupernodalSolvePlan::of(const SupernodalLayout& l) {
  const blas::Kernels& k = blas::kernels();
  if (!k.trsv || !k.gemv || !k.trsm || !k.gemm || !fits_int(l.n)) return std::nullopt;
  std::optional<SupernodeTree> tree = supernode_tree(l);
  if (!tree) return std::nullopt;
  const Index ns = l.supernodes;
  const std::vector<Index>& parent = tree->parent;
  SupernodalSolvePlan plan;

  // Each subtree's entries (children are numbered before parents). A heavy supernode, one whose
  // subtree holds kUnitEntries or more, is a unit of its own. A light one below a light parent
  // is swept with it. The light subtrees right below one heavy supernode (or at the roots) are
  // bundled, in turn, into units of up to about kUnitEntries.
  std::vector<Index> subtree(at(ns), 0);
  for (Index s = 0; s < ns; ++s) {
    subtree[at(s)] += (l.super[s + 1] - l.super[s]) * (l.pi[s + 1] - l.pi[s]);
    if (parent[at(s)] >= 0) subtree[at(parent[at(s)])] += subtree[at(s)];
  }
  Index entries = 0;
  for (Index s = 0; s < ns; ++s)
    if (parent[at(s)] < 0) entries += subtree[at(s)];
  const Index unit_entries = entries < kParallelEntries ? entries + 1 : kUnitEntries;
  auto heavy = [&](Index s) { return subtree[at(s)] >= unit_entries; };
  std::vector<Index> unit_of(at(ns), -1);
  std::vector<Index> bundle(at(ns) + 1, -1), bundled(at(ns) + 1, 0);  // open bundle below each (ns: the roots)
  Index units = 0;
  for (Index s = ns - 1; s >= 0; --s) {
    const Index p = parent[at(s)];
    if (heavy(s)) {
      unit_of[at(s)] = units++;
    } else if (p >= 0 && !heavy(p)) {
      unit_of[at(s)] = unit_of[at(p)];
    } else {
      const std::size_t above = p >= 0 ? at(p) : at(ns);
      if (bundle[above] < 0 || bundled[above] + subtree[at(s)] > unit_entries) {
        bundle[above] = units++;
        bundled[above] = 0;
      }
      bundled[above] += subtree[at(s)];
      unit_of[at(s)] = bundle[above];
    }
  }
  plan.unit_start.assign(at(units) + 1, 0);
  for (Index s = 0; s < ns; ++s) ++plan.unit_start[at(unit_of[at(s)]) + 1];
  for (Index u = 0; u < units; ++u) plan.unit_start[at(u) + 1] += plan.unit_start[at(u)];
  plan.members.resize(at(ns));
  std::vector<Index> next(plan.unit_start.begin(), plan.unit_start.end() - 1);
  for (Index s = 0; s < ns; ++s) plan.members[at(next[at(unit_of[at(s)])]++)] = s;
  plan.unit_parent.assign(at(units), -1);
  plan.child_start.assign(at(units) + 1, 0);
  for (Index u = 0; u < units; ++u) {
    // The members' supernode above them all: the parent of the highest (one heavy supernode, or
    // none, for every subtree of a bundle).
    const Index top = plan.members[at(plan.unit_start[at(u) + 1] - 1)];
    if (const Index p = parent[at(top)]; p >= 0) {
      plan.unit_parent[at(u)] = unit_of[at(p)];
      ++plan.child_start[at(unit_of[at(p)]) + 1];
    }
  }
  for (Index u = 0; u < units; ++u) plan.child_start[at(u) + 1] += plan.child_start[at(u)];
  plan.children.resize(at(plan.child_start[at(units)]));
  next.assign(plan.child_start.begin(), plan.child_start.end() - 1);
  for (Index u = 0; u < units; ++u)
    if (const Index p = plan.unit_parent[at(u)]; p >= 0) plan.children[at(next[at(p)]++)] = u;

  // Where each supernode keeps its update of the rows below it, and, for every factor column,
  // the updates it gathers in ascending order of the supernode that made them.
  plan.update_offset.assign(at(ns) + 1, 0);
  plan.gather_start.assign(at(l.n) + 1, 0);
  for (Index s = 0; s < ns; ++s) {
    const Index columns = l.super[s + 1] - l.super[s];
    const Index below = l.pi[s + 1] - l.pi[s] - columns;
    plan.update_offset[at(s) + 1] = plan.update_offset[at(s)] + below;
    plan.widest_below = std::max(plan.widest_below, below);
    for (Index q = l.pi[s] + columns; q < l.pi[s + 1]; ++q) ++plan.gather_start[at(l.rows[q]) + 1];
  }
  plan.update_entries = plan.update_offset[at(ns)];
  for (Index j = 0; j < l.n; ++j) plan.gather_start[at(j) + 1] += plan.gather_start[at(j)];
  plan.gather_from.resize(at(plan.update_entries));
  next.assign(plan.gather_start.begin(), plan.gather_start.end() - 1);
  for (Index s = 0; s < ns; ++s) {
    const Index columns = l.super[s + 1] - l.super[s];
    for (Index q = l.pi[s] + columns; q < l.pi[s + 1]; ++q)
      plan.gather_from[at(next[at(l.rows[q])]++)] = plan.update_offset[at(s)] + (q - l.pi[s] - columns);
  }
  return plan;
}

bool SupernodalSolvePlan::lower(const SupernodalLayout& l, const double* x, double* y, Index m, Index ldy) const {
  if (!fits_sweep(l, m, ldy)) return false;
  if (m == 0 || l.supernodes == 0) return true;
  const blas::Kernels& k = blas::kernels();
  const int nrhs = static_cast<int>(m), ldb = static_cast<int>(ldy), inc = 1;
  const double one = 1.0, zero = 0.0;
  // The updates of every supernode, row by row with the m columns side by side.
  std::unique_ptr<double[]> updates(new double[at(std::max<Index>(update_entries * m, 1))]);
  auto sweep = [&](Index u) {
    for (Index q = unit_start[at(u)]; q < unit_start[at(u) + 1]; ++q) {
      const Index s = members[at(q)];
      const auto [first, columns, height, below, block] = block_of(l, x, s);
      double* own = y + first;
      for (Index j = first; j < first + columns; ++j)
        for (Index g = gather_start[at(j)]; g < gather_start[at(j) + 1]; ++g) {
          const double* update = updates.get() + gather_from[at(g)] * m;
          for (Index c = 0; c < m; ++c) y[j + c * ldy] -= update[c];
        }
      // Zeroed first: the buffer is not initialised, and a product with β = 0 may still read
      // what it overwrites (the BLAS scales it by zero, and a NaN times zero stays NaN).
      double* mine = updates.get() + update_offset[at(s)] * m;
      std::fill_n(mine, below * m, 0.0);
      if (m == 1) {
        k.trsv("L", "N", "N", &columns, block, &height, own, &inc);
        if (below > 0) k.gemv("N", &below, &columns, &one, block + columns, &height, own, &inc, &zero, mine, &inc);
      } else {
        k.trsm("L", "L", "N", "N", &columns, &nrhs, &one, block, &height, own, &ldb);
        // The update transposed, (L₂·Y₁)ᵀ = Y₁ᵀ·L₂ᵀ: its rows of m side by side.
        if (below > 0)
          k.gemm("T", "T", &nrhs, &below, &columns, &one, own, &ldb, block + columns, &height, &zero, mine, &nrhs);
      }
    }
  };
  const auto units = static_cast<Index>(unit_parent.size());
  if (units == 1) {
    sweep(0);
    return true;
  }
  std::vector<std::atomic<Index>> pending(at(units));
  std::vector<Index> leaves;
  for (Index u = 0; u < units; ++u) {
    pending[at(u)].store(child_start[at(u) + 1] - child_start[at(u)]);
    if (child_start[at(u) + 1] == child_start[at(u)]) leaves.push_back(u);
  }
  tbb::this_task_arena::isolate([&] {
    tbb::parallel_for_each(leaves.begin(), leaves.end(), [&](Index u, tbb::feeder<Index>& feeder) {
      sweep(u);
      const Index p = unit_parent[at(u)];
      if (p >= 0 && --pending[at(p)] == 0) feeder.add(p);
    });
  });
  return true;
}

bool SupernodalSolvePlan::upper(const SupernodalLayout& l, const double* x, double* y, Index m, Index ldy) const {
  if (!fits_sweep(l, m, ldy)) return false;
  if (m == 0 || l.supernodes == 0) return true;
  const blas::Kernels& k = blas::kernels();
  const int nrhs = static_cast<int>(m), ldb = static_cast<int>(ldy), inc = 1;
  const double one = 1.0, minus_one = -1.0;
  auto sweep = [&](Index u) {
    std::vector<double> gathered(at(widest_below * m));
    for (Index q = unit_start[at(u) + 1] - 1; q >= unit_start[at(u)]; --q) {
      const Index s = members[at(q)];
      const auto [first, columns, height, below, block] = block_of(l, x, s);
      double* own = y + first;
      if (below > 0) {
        const Index* rows = l.rows + l.pi[s] + columns;
        for (Index c = 0; c < m; ++c)
          for (int i = 0; i < below; ++i) gathered[at(c * below + i)] = y[rows[i] + c * ldy];
        if (m == 1) {
          k.gemv("T", &below, &columns, &minus_one, block + columns, &height, gathered.data(), &inc, &one, own, &inc);
        } else {
          k.gemm("T", "N", &columns, &nrhs, &below, &minus_one, block + columns, &height, gathered.data(), &below, &one,
                 own, &ldb);
        }
      }
      if (m == 1) {
        k.trsv("L", "T", "N", &columns, block, &height, own, &inc);
      } else {
        k.trsm("L", "L", "T", "N", &columns, &nrhs, &one, block, &height, own, &ldb);
      }
    }
  };
  const auto units = static_cast<Index>(unit_parent.size());
  if (units == 1) {
    sweep(0);
    return true;
  }
  std::vector<Index> roots;
  for (Index u = 0; u < units; ++u)
    if (unit_parent[at(u)] < 0) roots.push_back(u);
  tbb::this_task_arena::isolate([&] {
    tbb::parallel_for_each(roots.begin(), roots.end(), [&](Index u, tbb::feeder<Index>& feeder) {
      sweep(u);
      for (Index c = child_start[at(u)]; c < child_start[at(u) + 1]; ++c) feeder.add(children[at(c)]);
    });
  });
  return true;
}

}  // namespace varn
