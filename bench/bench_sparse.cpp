// Sparse layer timings on a space-frame-like structure: a lattice of steel beams along the three
// axes (about 10,000 members, 7 DOFs per node), fixed at its base by penalty supports.
// Prints the median of several repetitions for each step.
//
//   bench_sparse [nx ny nz] [repetitions]      default 16 16 14 (10,048 members), 3
#include <tbb/parallel_for.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "functions/sparse.h"

namespace {

using Mat14 = Eigen::Matrix<double, 14, 14>;

// Beam stiffness in its own axes: axial, torsion, both bending planes, warping spring.
Mat14 beam_local(double L, double stiffness_factor) {
  const double E = 2.1e11 * stiffness_factor, G = 8.1e10 * stiffness_factor;
  const double A = 5.3e-3, Iy = 2.0e-5, Iz = 8.4e-5, J = 1.2e-6, Iw = 1.0e-7;
  Mat14 k = Mat14::Zero();
  auto pair = [&](int d, double s) {
    k(d, d) += s;
    k(d + 7, d + 7) += s;
    k(d, d + 7) -= s;
    k(d + 7, d) -= s;
  };
  pair(0, E * A / L);
  pair(3, G * J / L);
  pair(6, E * Iw / L);
  auto bending = [&](int u, int r, double EI, double sign) {
    const int dofs[4] = {u, r, u + 7, r + 7};
    const double L2 = L * L, c = EI / (L2 * L);
    const double m[4][4] = {{12, sign * 6 * L, -12, sign * 6 * L},
                            {sign * 6 * L, 4 * L2, -sign * 6 * L, 2 * L2},
                            {-12, -sign * 6 * L, 12, -sign * 6 * L},
                            {sign * 6 * L, 2 * L2, -sign * 6 * L, 4 * L2}};
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) k(dofs[i], dofs[j]) += c * m[i][j];
  };
  bending(1, 5, E * Iz, 1.0);
  bending(2, 4, E * Iy, -1.0);
  return k;
}

// Global stiffness of a member along global axis `axis` (0 x, 1 y, 2 z).
Mat14 beam_global(int axis, double L, double stiffness_factor) {
  Eigen::Matrix3d r;  // rows: local x, y, z in global components
  if (axis == 0) r << 1, 0, 0, 0, 1, 0, 0, 0, 1;
  if (axis == 1) r << 0, 1, 0, -1, 0, 0, 0, 0, 1;
  if (axis == 2) r << 0, 0, 1, 0, 1, 0, -1, 0, 0;
  Mat14 t = Mat14::Zero();
  for (int b = 0; b < 2; ++b) {
    t.block<3, 3>(7 * b, 7 * b) = r;
    t.block<3, 3>(7 * b + 3, 7 * b + 3) = r;
    t(7 * b + 6, 7 * b + 6) = 1.0;
  }
  return t.transpose() * beam_local(L, stiffness_factor) * t;
}

struct Frame {
  varn::SparseMatrix k;
  std::size_t members = 0;
  std::size_t triplets = 0;
  std::vector<std::size_t> supported;
  double max_diagonal = 0.0;  // before the supports
};

Frame build(int nx, int ny, int nz, double stiffness_factor, double* csc_seconds) {
  auto id = [&](int i, int j, int k) { return static_cast<std::size_t>((k * ny + j) * nx + i); };
  const std::size_t n = 7u * static_cast<std::size_t>(nx) * ny * nz;
  const std::size_t members = static_cast<std::size_t>((nx - 1) * ny * nz + nx * (ny - 1) * nz +
                                                       nx * ny * (nz - 1));
  const Mat14 kx = beam_global(0, 3.0, stiffness_factor);
  const Mat14 ky = beam_global(1, 3.0, stiffness_factor);
  const Mat14 kz = beam_global(2, 3.5, stiffness_factor);
  auto as = varn::SparseAssembler::with_capacity(n, members);
  for (int k = 0; k < nz; ++k)
    for (int j = 0; j < ny; ++j)
      for (int i = 0; i < nx; ++i) {
        const std::size_t a = id(i, j, k);
        if (i + 1 < nx) as.assemble_element(7 * a, 7 * id(i + 1, j, k), kx);
        if (j + 1 < ny) as.assemble_element(7 * a, 7 * id(i, j + 1, k), ky);
        if (k + 1 < nz) as.assemble_element(7 * a, 7 * id(i, j, k + 1), kz);
      }
  Frame f;
  f.members = members;
  f.triplets = as.triplets().size();
  const auto t0 = std::chrono::steady_clock::now();
  const varn::SparseMatrix k = as.to_csc();
  if (csc_seconds)
    *csc_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  for (int j = 0; j < ny; ++j)
    for (int i = 0; i < nx; ++i)
      for (std::size_t d = 0; d < 7; ++d) f.supported.push_back(7 * id(i, j, 0) + d);
  f.max_diagonal = varn::sparse_max_abs_diagonal(k);
  f.k = varn::apply_penalty_to_k(k, f.supported);
  return f;
}

double seconds(const std::function<void()>& fn) {
  const auto t0 = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void row(const char* what, const std::vector<double>& t) {
  std::printf("  %-58s %9.4f s   [%.4f - %.4f]\n", what, median(t), *std::min_element(t.begin(), t.end()),
              *std::max_element(t.begin(), t.end()));
}

}  // namespace

int main(int argc, char** argv) {
  int nx = 16, ny = 16, nz = 14, reps = 3;
  if (argc >= 4) {
    nx = std::atoi(argv[1]);
    ny = std::atoi(argv[2]);
    nz = std::atoi(argv[3]);
  }
  if (argc >= 5) reps = std::max(1, std::atoi(argv[4]));
  const bool openblas = varn::init_blas_single_thread();

  std::vector<double> t_build, t_csc, t_sym, t_num, t_num_solve, t_solve_many, t_fresh, t_lu, t_par, t_seq,
      t_clone;
  Frame frame, frame2;
  double nnz_l = 0.0;
  bool all_ok = true;
  for (int r = 0; r < reps; ++r) {
    double csc = 0.0;
    t_build.push_back(seconds([&] { frame = build(nx, ny, nz, 1.0, &csc); }));
    t_csc.push_back(csc);
  }
  frame2 = build(nx, ny, nz, 1.3, nullptr);  // same members, other stiffnesses: same pattern
  const varn::SparseMatrix& k = frame.k;
  const Eigen::Index n = k.rows();
  Eigen::MatrixXd f = Eigen::MatrixXd::Zero(n, 1);
  for (Eigen::Index i = n - 7 * nx * ny; i < n; i += 7) f(i, 0) = 1e4;  // wind on the top storey
  constexpr int kRhs = 64;  // enough columns for the solve to stand out of the factor's noise
  Eigen::MatrixXd f_many = Eigen::MatrixXd::Zero(n, kRhs);
  for (int c = 0; c < kRhs; ++c) f_many.col(c) = f.col(0) * (1.0 + c);

  std::optional<varn::CachedSymbolicCholesky> analysis;
  for (int r = 0; r < reps; ++r) {
    t_sym.push_back(seconds([&] {
      auto a = varn::CachedSymbolicCholesky::create(k);
      if (!a) {
        std::printf("analysis failed: %s\n", a.error().c_str());
        std::exit(1);
      }
      analysis.emplace(std::move(*a));
    }));
  }
  nnz_l = analysis->factor_nnz();
  const Eigen::MatrixXd none(n, 0);
  varn::SparseSolveInfo info;
  for (int r = 0; r < reps; ++r) {
    t_num.push_back(seconds([&] { all_ok &= analysis->factorize_numerical_and_solve(frame2.k, none).has_value(); }));
    t_num_solve.push_back(seconds([&] { all_ok &= analysis->factorize_numerical_and_solve(frame2.k, f).has_value(); }));
    t_solve_many.push_back(seconds([&] { all_ok &= analysis->factorize_numerical_and_solve(frame2.k, f_many).has_value(); }));
    t_fresh.push_back(seconds([&] { all_ok &= varn::solve_sparse_cholesky(k, f, &info).has_value(); }));
    all_ok &= info.method == varn::SparseSolveMethod::Cholesky;
    t_clone.push_back(seconds([&] { (void)varn::sparse_clone_and_add(k, frame2.k); }));
  }
  // The solve is timed as the difference to the factorisation alone (no right-hand side).
  std::vector<double> t_per_rhs;
  for (int r = 0; r < reps; ++r) t_per_rhs.push_back(std::max(0.0, (t_solve_many[r] - t_num[r]) / kRhs));

  // Beyond the first buckling load the tangent is indefinite: LU carries the solve.
  std::vector<std::pair<std::size_t, double>> shift;
  const double s = -1e-3 * frame.max_diagonal;
  for (Eigen::Index i = 0; i < n; ++i) shift.emplace_back(static_cast<std::size_t>(i), s);
  const varn::SparseMatrix indefinite = varn::sparse_add_diagonal(k, shift);
  t_lu.push_back(seconds([&] { all_ok &= varn::solve_sparse_cholesky(indefinite, f, &info).has_value(); }));
  const bool lu_used = info.method == varn::SparseSolveMethod::LU;

  // Combinations solved in parallel on one shared analysis, against the same in sequence.
  constexpr int kTasks = 8;
  t_seq.push_back(seconds([&] {
    for (int t = 0; t < kTasks; ++t) all_ok &= analysis->factorize_numerical_and_solve(frame2.k, f).has_value();
  }));
  t_par.push_back(seconds([&] {
    tbb::parallel_for(0, kTasks, [&](int) {
      const varn::CachedSymbolicCholesky mine = *analysis;
      if (!mine.factorize_numerical_and_solve(frame2.k, f).has_value()) std::abort();
    });
  }));

  std::printf("space frame %d x %d x %d nodes: %zu members, n = %ld DOFs, %zu triplets, nnz(K) = %ld, "
              "nnz(L) = %.3g\n",
              nx, ny, nz, frame.members, static_cast<long>(n), frame.triplets,
              static_cast<long>(k.nonZeros()), nnz_l);
  double load[1] = {0.0};
  if (getloadavg(load, 1) < 1) load[0] = -1.0;
  std::printf("BLAS: %s; %d repetitions (median [min - max]); load average %.1f on %u hardware threads\n",
              openblas ? "OpenBLAS set to 1 thread" : "not OpenBLAS", reps, load[0],
              std::thread::hardware_concurrency());
  row("scatter 14x14 elements + triplets -> CSC", t_build);
  row("  of which triplets -> CSC (to_csc)", t_csc);
  row("symbolic analysis (AMD, supernodal)", t_sym);
  row("numeric factorisation on the cached analysis", t_num);
  row("numeric factorisation + solve, 1 right-hand side", t_num_solve);
  row("solve, per right-hand side (64 at once, incl. residual check)", t_per_rhs);
  row("fresh solve_sparse_cholesky (analysis + factor + solve)", t_fresh);
  row("sparse_clone_and_add (same pattern)", t_clone);
  row("indefinite matrix: Cholesky attempt + LU fall-back", t_lu);
  row("8 factorisations + solves on one analysis, sequential", t_seq);
  row("8 factorisations + solves on one analysis, tbb::parallel_for", t_par);
  std::printf("LU fall-back used for the indefinite matrix: %s; all solves succeeded: %s\n",
              lu_used ? "yes" : "no", all_ok ? "yes" : "no");
  return all_ok && lu_used ? 0 : 1;
}
