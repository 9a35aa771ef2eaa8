#pragma once
// Sparse matrices of known character for the tests of the sparse layer.
#include <Eigen/Core>

#include <cstddef>
#include <cstdint>

#include "functions/sparse.h"

namespace varn::sparse_test {

using Mat14 = Eigen::Matrix<double, 14, 14>;
using Mat7 = Eigen::Matrix<double, 7, 7>;

// Deterministic generator (the standard distributions differ between library versions).
struct Lcg {
  std::uint64_t s;
  double next() {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(s >> 11) * (1.0 / 9007199254740992.0);
  }
};

inline Mat7 random_spd7(Lcg& g, double scale) {
  Mat7 m;
  for (int i = 0; i < 7; ++i)
    for (int j = 0; j < 7; ++j) m(i, j) = g.next() - 0.5;
  return scale * (m * m.transpose() + 0.5 * Mat7::Identity());
}

// A space-frame-like lattice: nodes on an nx x ny x nz grid, 7 DOFs each, a member between
// axis neighbours with the two-node block [A -A; -A A] (A random SPD). Without supports it
// floats freely (seven rigid-body-like modes); `diag_shift` > 0 makes it positive definite.
// Members are scattered in a fixed order, so equal (nx, ny, nz) give equal patterns.
inline SparseMatrix lattice(int nx, int ny, int nz, std::uint64_t seed, double diag_shift) {
  Lcg g{seed};
  auto id = [&](int i, int j, int k) { return static_cast<std::size_t>((k * ny + j) * nx + i); };
  const std::size_t n = 7u * static_cast<std::size_t>(nx * ny * nz);
  auto as = SparseAssembler::with_capacity(n, 3u * static_cast<std::size_t>(nx * ny * nz));
  Mat14 ke;
  auto member = [&](std::size_t a, std::size_t b) {
    const Mat7 A = random_spd7(g, 1.0 + g.next());
    ke << A, -A, -A, A;
    as.assemble_element(7 * a, 7 * b, ke);
  };
  for (int k = 0; k < nz; ++k)
    for (int j = 0; j < ny; ++j)
      for (int i = 0; i < nx; ++i) {
        if (i + 1 < nx) member(id(i, j, k), id(i + 1, j, k));
        if (j + 1 < ny) member(id(i, j, k), id(i, j + 1, k));
        if (k + 1 < nz) member(id(i, j, k), id(i, j, k + 1));
      }
  for (std::size_t d = 0; d < n && diag_shift != 0.0; ++d) as.add(d, d, diag_shift);
  return as.to_csc();
}

}  // namespace varn::sparse_test
