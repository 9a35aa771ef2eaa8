// The least-squares projection of a displacement onto the field rigid links allow, at frame
// scale: forming CᵀC, its factorisation when the projector is made, and one projection.
// C is synthetic: every fifth node hangs on the node before it by a rigid arm of 0.1 to 2 m.
//
//   bench_rigid_projector [nodes] [repetitions]      default 10000 (70,000 DOFs), 3
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "models/varn/second_order/starting_state.h"
#include "models/varn/varn.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

varn::RigidElimination synthetic_elimination(std::size_t nodes) {
  varn::RigidElimination e;
  e.n = 7 * nodes;
  e.reduced_index.assign(e.n, -1);
  std::mt19937 gen(1);
  std::uniform_real_distribution<double> arm(0.1, 2.0);
  std::vector<Eigen::Triplet<double, std::int64_t>> t;
  std::int64_t col = 0;
  std::vector<std::int64_t> first_col(nodes, -1);
  for (std::size_t i = 0; i < nodes; ++i) {
    const bool slave = i % 5 == 4;
    if (!slave) {
      first_col[i] = col;
      for (std::size_t k = 0; k < 7; ++k) {
        e.reduced_index[7 * i + k] = col;
        t.emplace_back(static_cast<std::int64_t>(7 * i + k), col++, 1.0);
      }
      continue;
    }
    const varn::RigidTransform m = varn::VARN::rigid_map_c(Eigen::Vector3d(arm(gen), arm(gen), arm(gen)));
    for (int r = 0; r < 7; ++r)
      for (int c = 0; c < 7; ++c)
        if (m(r, c) != 0.0) t.emplace_back(static_cast<std::int64_t>(7 * i + r), first_col[i - 1] + c, m(r, c));
  }
  e.n_r = static_cast<std::size_t>(col);
  e.c = varn::SparseMatrix(static_cast<Eigen::Index>(e.n), col);
  e.c.setFromTriplets(t.begin(), t.end());
  e.c_by_row = e.c;
  return e;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t nodes = argc > 1 ? static_cast<std::size_t>(std::atol(argv[1])) : 10000;
  const int reps = argc > 2 ? std::atoi(argv[2]) : 3;
  const varn::RigidElimination e = synthetic_elimination(nodes);
  std::printf("n = %zu, n_r = %zu, nnz(C) = %ld; a dense (CtC)^-1 would take %.1f GB\n", e.n, e.n_r,
              static_cast<long>(e.c.nonZeros()), 8.0 * static_cast<double>(e.n_r) * static_cast<double>(e.n_r) / 1e9);

  std::vector<double> create_t, reduce_t;
  std::mt19937 gen(2);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Eigen::VectorXd v(static_cast<Eigen::Index>(e.n));
  for (Eigen::Index i = 0; i < v.size(); ++i) v[i] = dist(gen);
  double check = 0.0;
  for (int r = 0; r < reps; ++r) {
    auto t = Clock::now();
    auto p = varn::RigidProjector::create(e);
    create_t.push_back(seconds_since(t));
    if (!p) {
      std::printf("create failed: %s\n", p.error().c_str());
      return 1;
    }
    t = Clock::now();
    const Eigen::VectorXd u_r = p->reduce(v);
    reduce_t.push_back(seconds_since(t));
    // The fit's residual is orthogonal to the columns of C.
    check = (e.c.transpose() * (v - e.c * u_r)).lpNorm<Eigen::Infinity>();
  }
  std::sort(create_t.begin(), create_t.end());
  std::sort(reduce_t.begin(), reduce_t.end());
  std::printf("create (CtC, analysis, factorisation) median %.3f s; reduce median %.3f s; |Ct(v - C u_r)|inf = %.2e\n",
              create_t[create_t.size() / 2], reduce_t[reduce_t.size() / 2], check);
  return 0;
}
