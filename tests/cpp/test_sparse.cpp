// Sparse assembly, penalty supports and the direct solvers, checked against closed-form beam
// results, dense reference solutions and residuals.
#include "functions/sparse.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fatal.h"
#include "sparse_test_matrices.h"

namespace {

using varn::SparseAssembler;
using varn::SparseMatrix;
using varn::SparseSolveInfo;
using varn::SparseSolveMethod;
using Mat14 = Eigen::Matrix<double, 14, 14>;
using Mat7 = Eigen::Matrix<double, 7, 7>;
using varn::sparse_test::lattice;
using varn::sparse_test::Lcg;
using varn::sparse_test::random_spd7;

Eigen::MatrixXd random_matrix(Eigen::Index rows, Eigen::Index cols, std::uint64_t seed) {
  Lcg g{seed};
  Eigen::MatrixXd m(rows, cols);
  for (Eigen::Index j = 0; j < cols; ++j)
    for (Eigen::Index i = 0; i < rows; ++i) m(i, j) = 2.0 * g.next() - 1.0;
  return m;
}

double relative_residual(const SparseMatrix& k, const Eigen::MatrixXd& x, const Eigen::MatrixXd& b) {
  return (k * x - b).norm() / b.norm();
}

// Thin-walled beam element along the global x axis (so local = global): axial, St Venant
// torsion, bending in both planes (Euler-Bernoulli) and an uncoupled warping spring.
struct Beam {
  double E = 2.1e11, G = 8.1e10, A = 5.3e-3, Iy = 2.0e-5, Iz = 8.4e-5, J = 1.2e-6, Iw = 1.0e-7;
};

Mat14 beam_x(const Beam& b, double L) {
  Mat14 k = Mat14::Zero();
  auto pair = [&](int d, double s) {
    k(d, d) += s;
    k(d + 7, d + 7) += s;
    k(d, d + 7) -= s;
    k(d + 7, d) -= s;
  };
  pair(0, b.E * b.A / L);
  pair(3, b.G * b.J / L);
  pair(6, b.E * b.Iw / L);
  // Bending in x-y: DOFs uy (1), rz (5); in x-z: uz (2), ry (4) with the opposite coupling sign.
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
  bending(1, 5, b.E * b.Iz, 1.0);
  bending(2, 4, b.E * b.Iy, -1.0);
  return k;
}

// Cantilever of `elements` equal beams along x, node 1 at the root.
SparseMatrix cantilever(const Beam& b, double length, int elements) {
  const std::size_t n = 7u * static_cast<std::size_t>(elements + 1);
  auto as = SparseAssembler::with_capacity(n, static_cast<std::size_t>(elements));
  const Mat14 ke = beam_x(b, length / elements);
  for (int e = 0; e < elements; ++e) as.assemble_element(7u * e, 7u * (e + 1), ke);
  return as.to_csc();
}

const std::vector<std::size_t> kRootDofs = {0, 1, 2, 3, 4, 5, 6};

// ---------------------------------------------------------------------------------------------
// Assembler

TEST(SparseAssembler, SkipsExactZerosButKeepsNaN) {
  SparseAssembler a(3);
  a.add(0, 0, 0.0);
  a.add(0, 1, -0.0);
  a.add(1, 1, std::numeric_limits<double>::quiet_NaN());
  a.add(2, 2, 1e-300);
  ASSERT_EQ(a.triplets().size(), 2u);
  EXPECT_TRUE(std::isnan(a.triplets()[0].value()));
  EXPECT_EQ(a.triplets()[1].value(), 1e-300);
}

TEST(SparseAssembler, ReservesRoomFor196TripletsPerMember) {
  const auto a = SparseAssembler::with_capacity(70, 25);
  EXPECT_GE(a.capacity(), 196u * 25u);
  EXPECT_EQ(a.n(), 70u);
  EXPECT_TRUE(a.triplets().empty());
}

TEST(SparseAssembler, DuplicatesAreSummedAndRowsSortedInEveryColumn) {
  SparseAssembler a(4);
  a.add(3, 0, 1.0);
  a.add(1, 0, 2.0);
  a.add(3, 0, 0.5);
  a.add(2, 2, 4.0);
  a.add(2, 2, -1.0);
  a.add(0, 3, 7.0);
  const SparseMatrix m = a.to_csc();
  EXPECT_EQ(m.nonZeros(), 4);
  EXPECT_EQ(m.coeff(3, 0), 1.5);
  EXPECT_EQ(m.coeff(1, 0), 2.0);
  EXPECT_EQ(m.coeff(2, 2), 3.0);
  EXPECT_EQ(m.coeff(0, 3), 7.0);
  for (Eigen::Index j = 0; j < m.outerSize(); ++j)
    for (auto p = m.outerIndexPtr()[j] + 1; p < m.outerIndexPtr()[j + 1]; ++p)
      EXPECT_LT(m.innerIndexPtr()[p - 1], m.innerIndexPtr()[p]);
}

// Many duplicates in no order, some cancelling: the compressed matrix is Eigen's triplet
// construction's bit for bit (each entry summed in triplet order), on every thread count.
TEST(SparseAssembler, CompressedMatrixIsTheTripletConstructionsBitForBit) {
  constexpr std::size_t kN = 3000;
  Lcg g{81};
  SparseAssembler a(kN);
  std::vector<Eigen::Triplet<double, std::int64_t>> eigen;
  for (int t = 0; t < 200000; ++t) {
    const auto r = static_cast<std::size_t>(g.next() * kN), c = static_cast<std::size_t>(g.next() * 40);
    const double v = (g.next() - 0.5) * std::pow(10.0, 8.0 * g.next());  // sums that round
    a.add(r, c * 70, v);
    a.add(r, c * 70, -v);  // and some that cancel exactly
    a.add(c, r, v / 3.0);
    eigen.emplace_back(r, c * 70, v);
    eigen.emplace_back(r, c * 70, -v);
    eigen.emplace_back(c, r, v / 3.0);
  }
  SparseMatrix reference(kN, kN);
  reference.setFromTriplets(eigen.begin(), eigen.end());
  reference.makeCompressed();
  for (const int threads : {1, 8}) {
    const tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
    const SparseMatrix m = a.to_csc();
    ASSERT_EQ(m.nonZeros(), reference.nonZeros());
    EXPECT_TRUE(std::equal(m.outerIndexPtr(), m.outerIndexPtr() + kN + 1, reference.outerIndexPtr()));
    const auto nnz = static_cast<std::size_t>(m.nonZeros());
    EXPECT_TRUE(std::equal(m.innerIndexPtr(), m.innerIndexPtr() + nnz, reference.innerIndexPtr()));
    EXPECT_TRUE(std::equal(m.valuePtr(), m.valuePtr() + nnz, reference.valuePtr())) << threads << " threads";
  }
}

TEST(SparseAssembler, ContributionsThatCancelKeepTheirPattern) {
  // Two members whose stiffness cancels at a DOF leave a stored zero, so the pattern (and a
  // cached analysis of it) does not depend on the values.
  SparseAssembler a(2);
  a.add(0, 0, 2.5);
  a.add(0, 0, -2.5);
  const SparseMatrix m = a.to_csc();
  EXPECT_EQ(m.nonZeros(), 1);
  EXPECT_EQ(m.coeff(0, 0), 0.0);
}

TEST(SparseAssembler, ElementScatterSkipsZeroBlocksAndSumsSharedNodes) {
  // A truss-like element with only its axial DOF coupled: the off-diagonal blocks hold one
  // entry each, the rest of the blocks are zero and add nothing.
  Mat14 ke = Mat14::Zero();
  ke(0, 0) = ke(7, 7) = 3.0;
  ke(0, 7) = ke(7, 0) = -3.0;
  ke(1, 1) = ke(8, 8) = 0.25;  // diagonal blocks only
  SparseAssembler a(21);
  a.assemble_element(0, 7, ke);   // member 1: nodes 1-2
  EXPECT_EQ(a.triplets().size(), 6u);
  a.assemble_element(7, 14, ke);  // member 2: nodes 2-3 share node 2
  const SparseMatrix k = a.to_csc();
  EXPECT_EQ(k.coeff(7, 7), 6.0);   // both members stiffen node 2 axially
  EXPECT_EQ(k.coeff(8, 8), 0.5);
  EXPECT_EQ(k.coeff(0, 7), -3.0);
  EXPECT_EQ(k.coeff(7, 14), -3.0);
  EXPECT_EQ(k.coeff(0, 14), 0.0);
  EXPECT_EQ(k.nonZeros(), 3 + 3 + 4);  // axial and transverse diagonals, axial couplings
}

TEST(SparseAssembler, ElementWithBothEndsOnOneNodeSumsItsFourBlocks) {
  Mat14 ke;
  for (int i = 0; i < 14; ++i)
    for (int j = 0; j < 14; ++j) ke(i, j) = 1.0 + i + 14.0 * j;
  SparseAssembler a(7);
  a.assemble_element(0, 0, ke);
  const Eigen::MatrixXd k = Eigen::MatrixXd(a.to_csc());
  const Eigen::MatrixXd expected =
      ke.topLeftCorner<7, 7>() + ke.topRightCorner<7, 7>() + ke.bottomLeftCorner<7, 7>() +
      ke.bottomRightCorner<7, 7>();
  EXPECT_EQ(k, expected);
}

TEST(SparseAssembler, AcceptsDynamicElementMatricesAndRejectsSmallOnes) {
  SparseAssembler a(14);
  Eigen::MatrixXd ok = Eigen::MatrixXd::Identity(14, 14);
  a.assemble_element(0, 7, ok);
  EXPECT_EQ(a.to_csc().nonZeros(), 14);
  Eigen::MatrixXd small = Eigen::MatrixXd::Identity(12, 14);
  EXPECT_THROW(a.assemble_element(0, 7, small), varn::FatalFault);
}

TEST(SparseAssembler, TripletOutsideTheMatrixIsTheFatalBuildFault) {
  for (auto [r, c] : std::vector<std::pair<std::size_t, std::size_t>>{{5, 0}, {0, 5}, {9, 9}}) {
    SparseAssembler a(5);
    a.add(0, 0, 1.0);
    a.add(r, c, 1.0);
    try {
      (void)a.to_csc();
      ADD_FAILURE() << "no fault for (" << r << ", " << c << ")";
    } catch (const varn::FatalFault& f) {
      EXPECT_EQ(std::string(f.what()).rfind("SparseAssembler: failed to build CSC matrix from triplets", 0), 0u)
          << f.what();
    }
  }
}

TEST(SparseAssembler, ConcatenateJoinsBlocksInOrder) {
  SparseAssembler a(3), b(3), c(3);
  a.add(0, 0, 1.0);
  b.add(1, 1, 2.0);
  b.add(0, 0, 3.0);
  c.add(2, 0, 5.0);
  const SparseAssembler joined = SparseAssembler::concatenate(3, {&a, nullptr, &b, &c}, 1);
  ASSERT_EQ(joined.triplets().size(), 4u);
  EXPECT_EQ(joined.triplets()[0].value(), 1.0);
  EXPECT_EQ(joined.triplets()[2].value(), 3.0);
  EXPECT_EQ(joined.triplets()[3].value(), 5.0);
  EXPECT_GE(joined.capacity(), SparseAssembler::kTripletsPerMember);
  EXPECT_EQ(joined.to_csc().coeff(0, 0), 4.0);
}

// ---------------------------------------------------------------------------------------------
// Matrix operations

SparseMatrix from_dense(const Eigen::MatrixXd& d, bool keep_zeros = false) {
  SparseMatrix m(d.rows(), d.cols());
  std::vector<Eigen::Triplet<double, std::int64_t>> t;
  for (Eigen::Index j = 0; j < d.cols(); ++j)
    for (Eigen::Index i = 0; i < d.rows(); ++i)
      if (d(i, j) != 0.0 || keep_zeros) t.emplace_back(i, j, d(i, j));
  m.setFromTriplets(t.begin(), t.end());
  m.makeCompressed();
  return m;
}

TEST(SparseOperations, AddSumsAndDropsExplicitZeros) {
  Eigen::MatrixXd a(3, 3), b(3, 3);
  a << 1, 0, 2, 0, 0, 0, 2, 0, 3;
  b << 0, 1, 0, 1, 5, 0, 0, 0, -3;
  const SparseMatrix sa = from_dense(a, /*keep_zeros=*/true);
  const SparseMatrix sum = varn::sparse_add(sa, from_dense(b));
  EXPECT_EQ(Eigen::MatrixXd(sum), a + b);
  EXPECT_EQ(sum.nonZeros(), 7);  // (2,2) = 3 - 3 stays, A's stored zeros are gone
}

TEST(SparseOperations, CloneAndAddKeepsThePatternWhenItFits) {
  Eigen::MatrixXd a(3, 3), b(3, 3);
  a << 4, 1, 0, 1, 4, 1, 0, 1, 4;
  b << 0.5, 0, 0, 0, 0, -1, 0, -1, 0;
  const SparseMatrix sa = from_dense(a);
  const SparseMatrix r = varn::sparse_clone_and_add(sa, from_dense(b));
  ASSERT_EQ(r.nonZeros(), sa.nonZeros());
  for (Eigen::Index p = 0; p < sa.nonZeros(); ++p) EXPECT_EQ(r.innerIndexPtr()[p], sa.innerIndexPtr()[p]);
  for (Eigen::Index j = 0; j <= 3; ++j) EXPECT_EQ(r.outerIndexPtr()[j], sa.outerIndexPtr()[j]);
  EXPECT_EQ(Eigen::MatrixXd(r), a + b);
  EXPECT_EQ(r.coeff(1, 2), 0.0);  // cancelled, but stays stored
}

TEST(SparseOperations, CloneAndAddRebuildsWhenBHasAnEntryOutsideA) {
  Eigen::MatrixXd a(3, 3), b(3, 3);
  a << 4, 0, 0, 0, 4, 0, 0, 0, 4;
  b << 0, 0, 2, 0, 0, 0, 2, 0, 0;
  const SparseMatrix sa = from_dense(a + Eigen::MatrixXd::Zero(3, 3));
  SparseMatrix sa_with_zero = from_dense(a);
  sa_with_zero.coeffRef(1, 0) = 0.0;  // explicit zero of A
  const SparseMatrix r = varn::sparse_clone_and_add(sa_with_zero, from_dense(b));
  EXPECT_EQ(Eigen::MatrixXd(r), a + b);
  EXPECT_EQ(r.nonZeros(), 5);  // rebuilt: the explicit zero of A is gone
}

TEST(SparseOperations, DiagonalAdditions) {
  Eigen::MatrixXd a(3, 3);
  a << 2, 1, 0, 1, 0, 0, 0, 0, 5;  // (1,1) not stored
  const SparseMatrix sa = from_dense(a);
  const SparseMatrix r = varn::sparse_add_diagonal(sa, {{1, 3.0}, {1, 4.0}, {2, 0.0}, {0, -1.0}});
  EXPECT_EQ(r.coeff(1, 1), 7.0);  // listed twice: both values
  EXPECT_EQ(r.coeff(0, 0), 1.0);
  EXPECT_EQ(r.coeff(2, 2), 5.0);

  SparseMatrix in = sa;
  EXPECT_TRUE(varn::sparse_add_diagonal_inplace(in, {}));
  EXPECT_FALSE(varn::sparse_add_diagonal_inplace(in, {{0, 1.0}, {1, 1.0}}));
  EXPECT_EQ(Eigen::MatrixXd(in), a);  // untouched, also at DOF 0
  EXPECT_TRUE(varn::sparse_add_diagonal_inplace(in, {{0, 1.0}, {2, 2.0}, {0, 0.5}}));
  EXPECT_EQ(in.coeff(0, 0), 3.5);
  EXPECT_EQ(in.coeff(2, 2), 7.0);
  EXPECT_EQ(in.nonZeros(), sa.nonZeros());
  EXPECT_THROW(varn::sparse_add_diagonal_inplace(in, {{3, 1.0}}), varn::FatalFault);
}

// The penalty copy and the support springs go through sparse_add_diagonal: K's stored zeros
// (couplings that cancel in one active-set state) stay stored, so the pattern of the result
// follows K's pattern and the listed DOFs, never the values.
TEST(SparseOperations, DiagonalAdditionKeepsStoredZeros) {
  Eigen::MatrixXd a(4, 4);
  a << 2, 0, 1, 0, 0, 0, 0, 0, 1, 0, 3, 0, 0, 0, 0, 4;  // (1,1) empty
  const SparseMatrix sa = from_dense(a, /*keep_zeros=*/true);  // every entry stored, zeros too
  struct Case {
    const char* name;
    std::vector<std::pair<std::size_t, double>> entries;
  };
  const std::vector<Case> cases = {
      {"every diagonal stored", {{0, 1.0}, {3, 2.0}, {0, 0.5}}},
      {"zero value", {{2, 0.0}, {3, 1.0}}},
  };
  for (const Case& c : cases) {
    const SparseMatrix r = varn::sparse_add_diagonal(sa, c.entries);
    Eigen::MatrixXd expected = a;
    for (const auto& [d, v] : c.entries) expected(static_cast<Eigen::Index>(d), static_cast<Eigen::Index>(d)) += v;
    EXPECT_EQ(Eigen::MatrixXd(r), expected) << c.name;
    EXPECT_EQ(r.nonZeros(), sa.nonZeros()) << c.name << ": the stored zeros stay";
  }
  // A diagonal entry that is not stored is inserted in its column's row order, beside the
  // stored zeros, and both values listed for it are added.
  const SparseMatrix sparse_a = from_dense(a);  // (1,1) and the zeros not stored
  SparseMatrix with_zero = sparse_a;
  with_zero.coeffRef(3, 1) = 0.0;  // one stored zero below the missing diagonal
  with_zero.coeffRef(0, 1) = 0.0;  // and one above
  with_zero.makeCompressed();
  const SparseMatrix r = varn::sparse_add_diagonal(with_zero, {{1, 3.0}, {1, 4.0}, {2, 0.0}});
  EXPECT_EQ(r.nonZeros(), with_zero.nonZeros() + 1);
  EXPECT_EQ(r.coeff(1, 1), 7.0);
  for (Eigen::Index j = 0; j < r.outerSize(); ++j)
    for (auto p = r.outerIndexPtr()[j] + 1; p < r.outerIndexPtr()[j + 1]; ++p)
      EXPECT_LT(r.innerIndexPtr()[p - 1], r.innerIndexPtr()[p]);
  Eigen::MatrixXd expected = a;
  expected(1, 1) = 7.0;
  EXPECT_EQ(Eigen::MatrixXd(r), expected);
  EXPECT_THROW(varn::sparse_add_diagonal(with_zero, {{1, 1.0}, {4, 1.0}}), varn::FatalFault);
}

TEST(SparseOperations, MaxAbsDiagonal) {
  struct Case {
    std::vector<std::tuple<int, int, double>> entries;
    double expected;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> cases = {
      {{{0, 0, 2.0}, {1, 1, -7.5}, {1, 0, 100.0}}, 7.5},  // off-diagonal ignored
      {{{0, 0, nan}, {1, 1, 0.25}}, 0.25},                 // NaN ignored
      {{{1, 0, 3.0}}, 0.0},                                // no diagonal stored
      {{}, 0.0},
  };
  for (const auto& c : cases) {
    SparseAssembler a(2);
    for (auto [r, col, v] : c.entries) a.add(r, col, v);
    EXPECT_EQ(varn::sparse_max_abs_diagonal(a.to_csc()), c.expected);
  }
}

TEST(SparseOperations, DenseSymmetricCopy) {
  Eigen::MatrixXd full(3, 3);
  full << 4, 1, 2, 1, 5, 3, 2, 3, 6;
  const Eigen::MatrixXd lower = full.triangularView<Eigen::Lower>();
  EXPECT_EQ(varn::sparse_to_dense_symmetric(from_dense(lower)), full);
  Eigen::MatrixXd skew = full;
  skew(0, 2) = 9.0;  // upper entry differs from its lower mirror: the upper one wins
  Eigen::MatrixXd expected = full;
  expected(0, 2) = expected(2, 0) = 9.0;
  EXPECT_EQ(varn::sparse_to_dense_symmetric(from_dense(skew)), expected);
}

TEST(SparseOperations, SparseTimesDenseEqualsDenseProduct) {
  const SparseMatrix k = lattice(4, 3, 2, 11, 0.1);
  Eigen::MatrixXd t = random_matrix(k.cols(), 37, 5);
  for (Eigen::Index i = 0; i < t.rows(); i += 3) t.row(i).setZero();  // skipped rows of T
  const Eigen::MatrixXd dense = Eigen::MatrixXd(k) * t;
  const Eigen::MatrixXd y = varn::spmm_sparse_dense(k, t);
  EXPECT_LE((y - dense).cwiseAbs().maxCoeff(), 1e-12 * dense.cwiseAbs().maxCoeff());
  EXPECT_EQ(varn::spmm_sparse_dense(k, t), y);  // same bits on every run
  EXPECT_THROW(varn::spmm_sparse_dense(k, random_matrix(k.cols() + 1, 2, 1)), varn::FatalFault);
}

TEST(SparseOperations, ReductionEqualsTransformedDenseStiffness) {
  const SparseMatrix k = lattice(5, 4, 2, 12, 0.1);
  for (Eigen::Index m : {1, 20, 130}) {  // one, part of one, and several column blocks
    const Eigen::MatrixXd t = random_matrix(k.cols(), m, 77);
    const Eigen::MatrixXd expected = t.transpose() * Eigen::MatrixXd(k) * t;
    const Eigen::MatrixXd r = varn::reduce_with_sparse_k(k, t);
    ASSERT_EQ(r.rows(), m);
    ASSERT_EQ(r.cols(), m);
    EXPECT_LE((r - expected).cwiseAbs().maxCoeff(), 1e-11 * expected.cwiseAbs().maxCoeff());
    EXPECT_EQ(varn::reduce_with_sparse_k(k, t), r);
  }
}

// ---------------------------------------------------------------------------------------------
// Penalty supports

// Columns that share a dense band of rows (the top separators every forward solve passes) and
// each have a scatter of their own below: several bands of rows and a partial tile of columns.
TEST(SparseOperations, GramIsVtVOnEveryThreadCount) {
  constexpr Eigen::Index kRows = 9000, kCols = 150, kShared = 1500;
  Lcg g{71};
  std::vector<Eigen::Triplet<double, std::int64_t>> entries;
  // Like the forward solves of a factor: every column reaches the shared top rows, one in
  // three the lower rows as well (the lower bands hold only those), and the last one nothing.
  for (Eigen::Index j = 0; j + 1 < kCols; ++j) {
    for (Eigen::Index i = kRows - kShared; i < kRows; ++i) entries.emplace_back(i, j, 2.0 * g.next() - 1.0);
    for (int e = 0; e < (j % 3 == 0 ? 60 : 0); ++e)
      entries.emplace_back(static_cast<Eigen::Index>(g.next() * (kRows - kShared)), j, 2.0 * g.next() - 1.0);
  }
  SparseMatrix v(kRows, kCols);
  v.setFromTriplets(entries.begin(), entries.end());
  const Eigen::MatrixXd dense = Eigen::MatrixXd(v);
  const Eigen::MatrixXd expected = dense.transpose() * dense;
  const auto gram = varn::sparse_gram(v);
  ASSERT_TRUE(gram.has_value());
  // Each entry sums at most kRows products of entries below one in magnitude, in another order
  // than the reference: apart by a few kRows·ε of the largest entry at most.
  EXPECT_LE((*gram - expected).cwiseAbs().maxCoeff(), 1e-12 * expected.cwiseAbs().maxCoeff());
  EXPECT_EQ(*gram, gram->transpose());
  for (const int threads : {1, 3, 8}) {
    const tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
    EXPECT_EQ(*varn::sparse_gram(v), *gram) << threads << " threads";
  }
  // No column, no row: the empty products.
  EXPECT_EQ(varn::sparse_gram(SparseMatrix(kRows, 0))->size(), 0);
  EXPECT_EQ(*varn::sparse_gram(SparseMatrix(0, 3)), Eigen::MatrixXd::Zero(3, 3));
}

TEST(PenaltySupports, PenaltyFollowsTheLargestDiagonal) {
  struct Case {
    double diagonal;
    double penalty;
  };
  for (const Case& c : std::vector<Case>{{0.5, 1e10}, {3e6, 3e16}, {-4.0, 4e10}}) {
    SparseAssembler a(3);
    a.add(0, 0, c.diagonal);
    a.add(1, 1, 0.25);
    a.add(2, 2, 0.25);
    const SparseMatrix k = a.to_csc();
    const SparseMatrix kp = varn::apply_penalty_to_k(k, {1, 2, 2});
    EXPECT_EQ(kp.coeff(1, 1), 0.25 + c.penalty);
    EXPECT_EQ(kp.coeff(2, 2), 0.25 + 2 * c.penalty);  // listed twice: 2p
    EXPECT_EQ(kp.coeff(0, 0), c.diagonal);
    EXPECT_EQ(Eigen::MatrixXd(varn::apply_penalty_to_k_pub(k, {1, 2, 2})), Eigen::MatrixXd(kp));
  }
}

TEST(PenaltySupports, EmptyListLeavesEverythingAsItWas) {
  const SparseMatrix k = lattice(2, 2, 1, 3, 0.0);
  Eigen::VectorXd f = Eigen::VectorXd::Ones(k.rows());
  EXPECT_EQ(Eigen::MatrixXd(varn::apply_penalty_to_k(k, {})), Eigen::MatrixXd(k));
  EXPECT_EQ(Eigen::MatrixXd(varn::apply_penalty_bc_sparse(k, f, {})), Eigen::MatrixXd(k));
  SparseMatrix kk = k;
  EXPECT_TRUE(varn::apply_penalty_bc_inplace(kk, f, {}));
  EXPECT_EQ(f, Eigen::VectorXd::Ones(k.rows()));
}

TEST(PenaltySupports, CopyingAndInPlaceFormsAgree) {
  const SparseMatrix k = lattice(3, 2, 1, 4, 0.0);
  Eigen::VectorXd f1 = random_matrix(k.rows(), 1, 9), f2 = f1;
  const SparseMatrix kp = varn::apply_penalty_bc_sparse(k, f1, {0, 8, 20});
  SparseMatrix kin = k;
  ASSERT_TRUE(varn::apply_penalty_bc_inplace(kin, f2, {0, 8, 20}));
  EXPECT_EQ(Eigen::MatrixXd(kin), Eigen::MatrixXd(kp));
  EXPECT_EQ(f1, f2);
  for (int d : {0, 8, 20}) EXPECT_EQ(f1[d], 0.0);
  EXPECT_THROW(varn::apply_penalty_bc_sparse(k, f1, {static_cast<std::size_t>(k.rows())}),
               varn::FatalFault);
}

TEST(PenaltySupports, InPlaceWithoutStoredDiagonalLeavesKButZeroesF) {
  SparseAssembler a(3);
  a.add(0, 0, 2.0);
  a.add(2, 2, 2.0);
  a.add(1, 0, 1.0);
  a.add(0, 1, 1.0);
  SparseMatrix k = a.to_csc();
  const Eigen::MatrixXd before = Eigen::MatrixXd(k);
  Eigen::VectorXd f = Eigen::VectorXd::Constant(3, 5.0);
  EXPECT_FALSE(varn::apply_penalty_bc_inplace(k, f, {0, 1}));
  EXPECT_EQ(Eigen::MatrixXd(k), before);
  EXPECT_EQ(f, Eigen::Vector3d(0.0, 0.0, 5.0));
}

// Cantilevers held by penalty supports at the root against the closed-form tip responses
// (exact for cubic beam elements under end loads): the supports hold, and the pivot tests that
// reject singular matrices leave a well-posed but very slender structure (2000 elements of
// 1 cm) alone; there round-off limits the match.
//
// The round-off allowed by the problem's conditioning, with the solution refined against the
// factorised matrix: one element is 12EI/l^3 stiff, the whole cantilever 3EI/L^3 at its tip, a
// ratio of 4N^3 for N elements, so an unrefined Cholesky solve may be off by a few N^3..N^4 eps
// relative (1.3e-4 at N = 2000 was seen). Refinement with a residual in extended precision
// removes the error of the factorisation and leaves that of the matrix itself: every entry of
// every element, rounded to eps relative (assembly sums included, in whatever order AVX2 or
// AVX-512 kernels take them), is a perturbation of that element's stiffness. Such an error in
// element i turns the rest of the chain by eps times its rotation there, which the lever arm of
// the N elements beyond it carries to the tip, and the N elements add up: N^2 eps relative,
// with a factor 64 for the 12/6/4 entries of an element matrix and a sum that may run one way.
// Axial and torsional responses are second-order chains inside the same bound.
// The root penalty (1e10 times the largest diagonal) does not enter: its rows are eliminated
// against a pivot 1e10 above every structural entry, so what they feed back into the free DOFs is
// 1e-10 relative, and the root moves by 1e-10 of the load's effect whatever N is.
// A floor of 1e-12 covers the few operations that remain in the short chain.
TEST(PenaltySupports, CantileverMatchesClosedFormAndRootStaysAtZero) {
  constexpr double eps = std::numeric_limits<double>::epsilon();
  struct Case {
    int elements;
    double tolerance;
  };
  auto bound = [&](double n) { return std::max(1e-12, 64.0 * n * n * eps); };
  for (const Case& c : std::vector<Case>{{20, bound(20)}, {200, bound(200)}, {2000, bound(2000)}}) {
    SCOPED_TRACE(c.elements);
    const Beam b;
    const double L = 20.0;
    const SparseMatrix k = cantilever(b, L, c.elements);
    const Eigen::Index tip = 7 * c.elements;
    Eigen::MatrixXd f = Eigen::MatrixXd::Zero(k.rows(), 4);
    const double P = 1.0e3, T = 250.0;
    f(tip + 0, 0) = P;  // axial
    f(tip + 1, 1) = P;  // transverse y
    f(tip + 2, 2) = P;  // transverse z
    f(tip + 3, 3) = T;  // torque
    f(3, 0) = 1e6;      // a load on a supported DOF is taken by the support
    SparseSolveInfo info;
    const auto u = varn::solve_sparse_system_multi_rhs(k, f, kRootDofs, &info);
    ASSERT_TRUE(u.has_value());
    EXPECT_EQ(info.method, SparseSolveMethod::Cholesky);
    auto near = [&](double got, double want) { EXPECT_NEAR(got, want, c.tolerance * std::abs(want)); };
    near((*u)(tip + 0, 0), P * L / (b.E * b.A));
    near((*u)(tip + 1, 1), P * L * L * L / (3 * b.E * b.Iz));
    near((*u)(tip + 5, 1), P * L * L / (2 * b.E * b.Iz));
    near((*u)(tip + 2, 2), P * L * L * L / (3 * b.E * b.Iy));
    near((*u)(tip + 4, 2), -P * L * L / (2 * b.E * b.Iy));
    near((*u)(tip + 3, 3), T * L / (b.G * b.J));
    for (int col = 0; col < 4; ++col) {
      const double scale = u->col(col).cwiseAbs().maxCoeff();
      for (std::size_t d : kRootDofs) EXPECT_LE(std::abs((*u)(d, col)), 1e-9 * scale) << "DOF " << d;
    }
    // The single right-hand-side form gives the same displacements: both are refined to the
    // bound above from first solves that round differently (one column against a block).
    const auto uy = varn::solve_sparse_system(k, f.col(1), kRootDofs, &info);
    ASSERT_TRUE(uy.has_value());
    EXPECT_EQ(info.method, SparseSolveMethod::Cholesky);
    EXPECT_LE((*uy - u->col(1)).cwiseAbs().maxCoeff(),
              std::max(1e-10, 2.0 * c.tolerance) * u->col(1).cwiseAbs().maxCoeff());
  }
}

// ---------------------------------------------------------------------------------------------
// Sparse solvers

TEST(SparseCholesky, FiftyThousandDofsReuseTheSymbolicAnalysis) {
  // A double-layer space-frame roof of 60 x 60 x 2 nodes, 7 DOFs each: n = 50,400.
  const SparseMatrix k1 = lattice(60, 60, 2, 1, 1e-3);
  const SparseMatrix k2 = lattice(60, 60, 2, 2, 5e-3);  // same members, other stiffnesses
  ASSERT_EQ(k1.rows(), 50400);
  ASSERT_EQ(k1.nonZeros(), k2.nonZeros());
  const Eigen::MatrixXd b = random_matrix(k1.rows(), 2, 3);

  auto analysis = varn::CachedSymbolicCholesky::create(k1);
  ASSERT_TRUE(analysis.has_value()) << analysis.error();
  EXPECT_EQ(analysis->n(), 50400u);
  EXPECT_GT(analysis->factor_nnz(), static_cast<double>(k1.nonZeros()) / 2);
  EXPECT_EQ(analysis->numeric_factorizations(), 0u);
  const void* id = analysis->symbolic_id();

  SparseSolveInfo info;
  const auto x1 = analysis->factorize_numerical_and_solve(k1, b, &info);
  ASSERT_TRUE(x1.has_value());
  EXPECT_EQ(info.method, SparseSolveMethod::CholeskyCachedSymbolic);
  EXPECT_LT(relative_residual(k1, *x1, b), 1e-10);

  const varn::CachedSymbolicCholesky shared = *analysis;  // copies share the one analysis
  const auto x2 = shared.factorize_numerical_and_solve(k2, b, &info);
  ASSERT_TRUE(x2.has_value());
  EXPECT_EQ(info.method, SparseSolveMethod::CholeskyCachedSymbolic);
  EXPECT_EQ(shared.symbolic_id(), id);
  EXPECT_EQ(analysis->numeric_factorizations(), 2u);
  // The second factorisation used the second matrix's values, not the first one's.
  EXPECT_LT(relative_residual(k2, *x2, b), 1e-10);
  EXPECT_GT((*x2 - *x1).norm(), 1e-3 * x1->norm());

  // A fresh solve of the same matrix (new analysis, same AMD ordering) gives the same bits.
  const auto x2_fresh = varn::solve_sparse_cholesky(k2, b, &info);
  ASSERT_TRUE(x2_fresh.has_value());
  EXPECT_EQ(info.method, SparseSolveMethod::Cholesky);
  EXPECT_EQ(*x2_fresh, *x2);
}

TEST(SparseCholesky, MatrixOutsideTheAnalysedPatternIsAnalysedAfresh) {
  const SparseMatrix k = lattice(4, 4, 3, 21, 1e-2);
  auto analysis = varn::CachedSymbolicCholesky::create(k);
  ASSERT_TRUE(analysis.has_value());
  // A spring coupling two far-apart nodes: an entry the analysis never saw.
  SparseAssembler extra(static_cast<std::size_t>(k.rows()));
  const std::size_t a = 0, c = static_cast<std::size_t>(k.rows()) - 1;
  extra.add(a, a, 10.0);
  extra.add(c, c, 10.0);
  extra.add(a, c, -10.0);
  extra.add(c, a, -10.0);
  const SparseMatrix k2 = varn::sparse_add(k, extra.to_csc());
  const Eigen::MatrixXd b = random_matrix(k.rows(), 1, 4);
  SparseSolveInfo info;
  const auto x = analysis->factorize_numerical_and_solve(k2, b, &info);
  ASSERT_TRUE(x.has_value());
  EXPECT_EQ(info.method, SparseSolveMethod::Cholesky);
  EXPECT_EQ(analysis->numeric_factorizations(), 0u);
  EXPECT_LT(relative_residual(k2, *x, b), 1e-10);
  // A matrix with fewer entries (part of the pattern) still uses the cached analysis.
  SparseMatrix kd = k;
  kd.coeffRef(7, 0) = 0.0;
  kd.coeffRef(0, 7) = 0.0;
  kd.prune(0.0, 0.0);
  ASSERT_LT(kd.nonZeros(), k.nonZeros());
  const auto xd = analysis->factorize_numerical_and_solve(kd, b, &info);
  ASSERT_TRUE(xd.has_value());
  EXPECT_EQ(info.method, SparseSolveMethod::CholeskyCachedSymbolic);
  EXPECT_LT(relative_residual(kd, *xd, b), 1e-10);
}

TEST(SparseCholesky, ParallelFactorisationsOnOneAnalysisAreBitIdentical) {
  const SparseMatrix base = lattice(8, 8, 6, 31, 1e-3);
  auto analysis = varn::CachedSymbolicCholesky::create(base);
  ASSERT_TRUE(analysis.has_value());
  constexpr int kTasks = 8;
  std::vector<SparseMatrix> ks;
  for (int t = 0; t < kTasks; ++t) ks.push_back(lattice(8, 8, 6, 100 + t, 1e-3));
  const Eigen::MatrixXd b = random_matrix(base.rows(), 3, 5);
  std::vector<Eigen::MatrixXd> sequential(kTasks), parallel(kTasks);
  for (int t = 0; t < kTasks; ++t) sequential[t] = *analysis->factorize_numerical_and_solve(ks[t], b);
  std::vector<int> ok(kTasks, 0);
  tbb::parallel_for(0, kTasks, [&](int t) {
    const varn::CachedSymbolicCholesky mine = *analysis;
    if (auto x = mine.factorize_numerical_and_solve(ks[t], b)) {
      parallel[t] = std::move(*x);
      ok[t] = 1;
    }
  });
  for (int t = 0; t < kTasks; ++t) {
    ASSERT_TRUE(ok[t]);
    EXPECT_EQ(parallel[t], sequential[t]) << "task " << t;
  }
  EXPECT_EQ(analysis->numeric_factorizations(), 2u * kTasks);
}

// From a thousand nodes on, the analysis also orders the node graph by nested dissection,
// whose library keeps its random state in globals. Analyses made at the same time on the pool
// must still find the ordering a lone analysis finds, so every solution has the same bits.
TEST(SparseCholesky, ConcurrentAnalysesOfALargeStructureAgreeBitForBit) {
  const SparseMatrix k = lattice(12, 10, 9, 33, 1e-3);  // 1,080 nodes
  const Eigen::MatrixXd b = random_matrix(k.rows(), 2, 6);
  auto lone = varn::CachedSymbolicCholesky::create(k);
  ASSERT_TRUE(lone.has_value());
  const auto reference = varn::solve_sparse_cholesky(k, b);
  ASSERT_TRUE(reference.has_value());
  constexpr int kTasks = 8;
  std::vector<std::optional<Eigen::MatrixXd>> x(kTasks);
  std::vector<double> flops(kTasks, 0.0);
  tbb::parallel_for(0, kTasks, [&](int t) {
    x[static_cast<std::size_t>(t)] = varn::solve_sparse_cholesky(k, b);
    if (auto a = varn::CachedSymbolicCholesky::create(k)) flops[static_cast<std::size_t>(t)] = a->factor_flops();
  });
  for (int t = 0; t < kTasks; ++t) {
    ASSERT_TRUE(x[static_cast<std::size_t>(t)].has_value()) << "task " << t;
    EXPECT_EQ(*x[static_cast<std::size_t>(t)], *reference) << "task " << t;
    EXPECT_EQ(flops[static_cast<std::size_t>(t)], lone->factor_flops()) << "task " << t;
  }
}

// A factorisation takes its parallelism from the pool. Made while other factorisations and
// solves run on the pool, it gives the bits it gives by itself, and they give theirs.
TEST(SparseCholesky, FactorisationsSideBySideOnThePoolKeepTheirBits) {
  const SparseMatrix k = lattice(12, 12, 10, 51, 1e-3);  // 10,080 DOFs: separators factorised in tiles
  const Eigen::MatrixXd b = random_matrix(k.rows(), 2, 7);
  auto solve = [&](const SparseMatrix& m) -> Eigen::MatrixXd {
    varn::SparseFactorization f;
    if (f.factorize(m) == SparseSolveMethod::Failed) return {};
    auto x = f.solve(Eigen::MatrixXd(b.topRows(m.rows())));
    return x ? *x : Eigen::MatrixXd();
  };
  const Eigen::MatrixXd alone = solve(k);
  ASSERT_EQ(alone.rows(), k.rows());
  constexpr int kOthers = 8;
  std::vector<SparseMatrix> others;
  for (int t = 0; t < kOthers; ++t) others.push_back(lattice(8, 8, 6, 200 + t, 1e-3));
  std::vector<Eigen::MatrixXd> sequential(kOthers), concurrent(kOthers + 1);
  for (int t = 0; t < kOthers; ++t) sequential[t] = solve(others[t]);
  tbb::parallel_for(0, kOthers + 1, [&](int t) { concurrent[t] = solve(t == 0 ? k : others[t - 1]); });
  EXPECT_EQ(concurrent[0], alone);
  for (int t = 0; t < kOthers; ++t) {
    ASSERT_GT(sequential[t].rows(), 0) << "task " << t;
    EXPECT_EQ(concurrent[t + 1], sequential[t]) << "task " << t;
  }
}

TEST(SparseCholesky, UsesTheLowerTriangle) {
  const SparseMatrix k = lattice(3, 3, 2, 41, 1e-2);
  const SparseMatrix lower = k.triangularView<Eigen::Lower>();
  const Eigen::MatrixXd b = random_matrix(k.rows(), 1, 6);
  SparseSolveInfo info;
  const auto x = varn::solve_sparse_cholesky(lower, b, &info);
  ASSERT_TRUE(x.has_value());
  EXPECT_EQ(info.method, SparseSolveMethod::Cholesky);
  EXPECT_LT(relative_residual(k, *x, b), 1e-11);
}

// Exact (Lagrange) supports around a supported lattice: [K C^T; C 0] is symmetric, regular and
// indefinite, so Cholesky must fail and LU must solve it.
SparseMatrix saddle_point(const SparseMatrix& k, const std::vector<std::size_t>& constrained) {
  const std::size_t n = static_cast<std::size_t>(k.rows());
  SparseAssembler a(n + constrained.size());
  for (Eigen::Index j = 0; j < k.outerSize(); ++j)
    for (SparseMatrix::InnerIterator it(k, j); it; ++it)
      a.add(static_cast<std::size_t>(it.row()), static_cast<std::size_t>(j), it.value());
  for (std::size_t c = 0; c < constrained.size(); ++c) {
    a.add(n + c, constrained[c], 1.0);
    a.add(constrained[c], n + c, 1.0);
  }
  return a.to_csc();
}

TEST(SparseLuFallBack, IndefiniteSystemsAreSolvedByLu) {
  const SparseMatrix k = lattice(6, 5, 4, 51, 0.0);  // floating lattice
  const SparseMatrix kkt = saddle_point(k, kRootDofs);
  Eigen::MatrixXd b = random_matrix(kkt.rows(), 2, 7);
  for (int c = 0; c < 7; ++c) b(k.rows() + c, 1) = 0.0;  // second case: supports at zero
  SparseSolveInfo info;
  const auto x = varn::solve_sparse_cholesky(kkt, b, &info);
  ASSERT_TRUE(x.has_value());
  EXPECT_EQ(info.method, SparseSolveMethod::LU);
  EXPECT_LT(relative_residual(kkt, *x, b), 1e-10);
  for (int c = 0; c < 7; ++c) EXPECT_NEAR((*x)(c, 1), 0.0, 1e-12);
  // The same through a cached analysis.
  auto analysis = varn::CachedSymbolicCholesky::create(kkt);
  ASSERT_TRUE(analysis.has_value());
  const auto y = analysis->factorize_numerical_and_solve(kkt, b, &info);
  ASSERT_TRUE(y.has_value());
  EXPECT_EQ(info.method, SparseSolveMethod::LU);
  EXPECT_LT(relative_residual(kkt, *y, b), 1e-10);

  // A stiffness with negative geometric stiffness beyond the first buckling load: symmetric,
  // indefinite, regular.
  const SparseMatrix kpen = varn::apply_penalty_to_k(lattice(5, 4, 3, 52, 0.0), kRootDofs);
  const SparseMatrix shifted = varn::sparse_add_diagonal(kpen, [&] {
    std::vector<std::pair<std::size_t, double>> d;
    for (Eigen::Index i = 0; i < kpen.rows(); ++i) d.emplace_back(i, -0.37);
    return d;
  }());
  const Eigen::MatrixXd bs = random_matrix(shifted.rows(), 1, 8);
  const auto xs = varn::solve_sparse_cholesky(shifted, bs, &info);
  ASSERT_TRUE(xs.has_value());
  EXPECT_EQ(info.method, SparseSolveMethod::LU);
  EXPECT_LT(relative_residual(shifted, *xs, bs), 1e-10);
}

TEST(SparseSolvers, SingularSystemsGiveTheEmptyResult) {
  struct Case {
    const char* what;
    SparseMatrix k;
  };
  std::vector<Case> cases;
  cases.push_back({"free-floating lattice (rigid-body modes)", lattice(6, 5, 4, 61, 0.0)});
  cases.push_back({"free-floating lattice, separators factorised in tiles", lattice(10, 10, 8, 64, 0.0)});
  {
    // A node that no member reaches: its seven DOFs have no stiffness at all.
    SparseMatrix k = varn::apply_penalty_to_k(lattice(3, 3, 2, 62, 0.0), kRootDofs);
    k.conservativeResize(k.rows() + 7, k.cols() + 7);
    k.makeCompressed();
    cases.push_back({"unconnected node", k});
  }
  {
    // A chain of unit springs without a support: singular in exact arithmetic.
    SparseAssembler a(50);
    for (std::size_t i = 0; i + 1 < 50; ++i) {
      a.add(i, i, 1.0);
      a.add(i + 1, i + 1, 1.0);
      a.add(i, i + 1, -1.0);
      a.add(i + 1, i, -1.0);
    }
    cases.push_back({"free spring chain", a.to_csc()});
  }
  {
    SparseMatrix k = varn::apply_penalty_to_k(lattice(3, 3, 2, 63, 0.0), kRootDofs);
    k.coeffRef(20, 20) = std::numeric_limits<double>::quiet_NaN();
    cases.push_back({"NaN stiffness", k});
  }
  {
    // Symmetric indefinite and singular: two identical rows.
    Eigen::MatrixXd d(3, 3);
    d << 1, 2, 3, 2, 1, 5, 2, 1, 5;
    Eigen::MatrixXd s = d + d.transpose();
    s.row(2) = s.row(1);
    s.col(2) = s.col(1);
    cases.push_back({"indefinite, repeated row", from_dense(s)});
  }
  for (const Case& c : cases) {
    const Eigen::MatrixXd b = random_matrix(c.k.rows(), 2, 9);
    SparseSolveInfo info;
    info.method = SparseSolveMethod::LU;
    EXPECT_FALSE(varn::solve_sparse_cholesky(c.k, b, &info).has_value()) << c.what;
    EXPECT_EQ(info.method, SparseSolveMethod::Failed) << c.what;
    EXPECT_FALSE(varn::solve_sparse_system(c.k, b.col(0), {}).has_value()) << c.what;
    EXPECT_FALSE(varn::solve_sparse_system_multi_rhs(c.k, b, {}).has_value()) << c.what;
    auto analysis = varn::CachedSymbolicCholesky::create(c.k);
    ASSERT_TRUE(analysis.has_value()) << c.what;  // the pattern itself is fine
    EXPECT_FALSE(analysis->factorize_numerical_and_solve(c.k, b).has_value()) << c.what;
  }
}

TEST(SparseSolvers, SupportsTurnAFloatingLatticeIntoAWellPosedOne) {
  const SparseMatrix k = lattice(6, 5, 4, 61, 0.0);  // the singular case above
  const Eigen::VectorXd f = random_matrix(k.rows(), 1, 10);
  SparseSolveInfo info;
  const auto u = varn::solve_sparse_system(k, f, kRootDofs, &info);
  ASSERT_TRUE(u.has_value());
  EXPECT_EQ(info.method, SparseSolveMethod::Cholesky);
  Eigen::VectorXd f0 = f;
  const SparseMatrix kp = varn::apply_penalty_bc_sparse(k, f0, kRootDofs);
  EXPECT_LT(relative_residual(kp, *u, f0), 1e-10);
  // Away from the supports the penalised solve is in equilibrium with the applied loads.
  const Eigen::VectorXd r = k * *u - f;
  EXPECT_LT(r.tail(r.size() - 7).cwiseAbs().maxCoeff(), 1e-8 * f.cwiseAbs().maxCoeff());
}

TEST(SparseSolvers, MultiRhsMatchesOneByOneSolves) {
  const SparseMatrix k = lattice(5, 4, 3, 71, 0.0);
  const Eigen::MatrixXd b = random_matrix(k.rows(), 3, 11);
  const std::vector<std::size_t> dofs = {0, 1, 2, 3, 4, 5, 6, 70, 71, 72};
  const auto x = varn::solve_sparse_system_multi_rhs(k, b, dofs);
  ASSERT_TRUE(x.has_value());
  ASSERT_EQ(x->cols(), 3);
  for (Eigen::Index c = 0; c < 3; ++c) {
    const auto xc = varn::solve_sparse_system(k, b.col(c), dofs);
    ASSERT_TRUE(xc.has_value());
    EXPECT_LE((x->col(c) - *xc).cwiseAbs().maxCoeff(), 1e-12 * xc->cwiseAbs().maxCoeff());
  }
  EXPECT_THROW(varn::solve_sparse_system_multi_rhs(k, b, {static_cast<std::size_t>(k.rows())}),
               varn::FatalFault);
}

TEST(SparseSolvers, RightHandSideOfTheWrongSizeIsAFault) {
  const SparseMatrix k = lattice(2, 2, 1, 81, 1.0);
  EXPECT_THROW(varn::solve_sparse_cholesky(k, Eigen::MatrixXd::Ones(k.rows() + 1, 1)),
               varn::FatalFault);
}

// ---------------------------------------------------------------------------------------------
// Kept factorisation

// One numeric factorisation serves every later right-hand side, and its solutions are those of
// a fresh factorisation of the same matrix bit for bit (same AMD ordering, same factor).
TEST(SparseFactorization, OneFactorSolvesEveryRightHandSideAsAFreshSolveWould) {
  const SparseMatrix k = varn::apply_penalty_to_k(lattice(6, 5, 3, 91, 0.0), kRootDofs);
  const std::size_t numeric_before = varn::sparse_numeric_factorization_count();
  const std::size_t symbolic_before = varn::sparse_symbolic_analysis_count();
  varn::SparseFactorization f;
  EXPECT_EQ(f.info(), SparseSolveMethod::Failed);
  EXPECT_FALSE(f.solve(random_matrix(k.rows(), 1, 1)).has_value());  // nothing factorised yet
  EXPECT_EQ(f.factorize(k), SparseSolveMethod::Cholesky);
  EXPECT_TRUE(f.positive_definite());
  EXPECT_EQ(f.rows(), static_cast<std::size_t>(k.rows()));
  for (std::uint64_t seed = 0; seed < 5; ++seed) {
    const Eigen::MatrixXd b = random_matrix(k.rows(), 1 + static_cast<Eigen::Index>(seed % 3), 40 + seed);
    const auto x = f.solve(b);
    ASSERT_TRUE(x.has_value());
    const auto fresh = varn::solve_sparse_cholesky(k, b);
    ASSERT_TRUE(fresh.has_value());
    EXPECT_EQ(*x, *fresh);
  }
  EXPECT_EQ(f.numeric_factorizations(), 1u);
  EXPECT_EQ(f.symbolic_analyses(), 1u);
  // Five fresh solves made five analyses and factorisations of their own; the kept factor one.
  EXPECT_EQ(varn::sparse_numeric_factorization_count() - numeric_before, 6u);
  EXPECT_EQ(varn::sparse_symbolic_analysis_count() - symbolic_before, 6u);
  EXPECT_THROW((void)f.solve(Eigen::MatrixXd::Ones(k.rows() + 1, 1)), varn::FatalFault);
}

// New values on the analysed pattern (a Newton tangent, an active-set pass) reuse the analysis;
// one entry more or one less is a new pattern and is analysed afresh, never factorised on the
// stale analysis.
TEST(SparseFactorization, AnalysisIsKeptExactlyWhileThePatternIsTheSame) {
  const SparseMatrix k1 = lattice(4, 4, 3, 92, 1e-2);
  const SparseMatrix k2 = lattice(4, 4, 3, 93, 5e-2);
  ASSERT_EQ(k1.nonZeros(), k2.nonZeros());
  const Eigen::MatrixXd b = random_matrix(k1.rows(), 2, 12);
  varn::SparseFactorization f;
  f.analyze_pattern(k1);
  EXPECT_EQ(f.symbolic_analyses(), 1u);
  EXPECT_EQ(f.numeric_factorizations(), 0u);
  EXPECT_EQ(f.factorize(k1), SparseSolveMethod::CholeskyCachedSymbolic);
  EXPECT_EQ(f.factorize(k2), SparseSolveMethod::CholeskyCachedSymbolic);
  EXPECT_EQ(f.symbolic_analyses(), 1u);
  const auto x2 = f.solve(b);
  ASSERT_TRUE(x2.has_value());
  EXPECT_LT(relative_residual(k2, *x2, b), 1e-10);  // the second matrix's values were used

  SparseMatrix fewer = k2;  // one coupling less
  fewer.coeffRef(7, 0) = 0.0;
  fewer.coeffRef(0, 7) = 0.0;
  fewer.prune(0.0, 0.0);
  SparseAssembler extra(static_cast<std::size_t>(k2.rows()));  // one coupling more
  const std::size_t last = static_cast<std::size_t>(k2.rows()) - 1;
  extra.add(0, 0, 10.0);
  extra.add(last, last, 10.0);
  extra.add(0, last, -10.0);
  extra.add(last, 0, -10.0);
  const SparseMatrix more = varn::sparse_add(k2, extra.to_csc());
  std::size_t analyses = f.symbolic_analyses();
  for (const SparseMatrix* k : std::vector<const SparseMatrix*>{&fewer, &more}) {
    EXPECT_EQ(f.factorize(*k), SparseSolveMethod::Cholesky);
    EXPECT_EQ(f.symbolic_analyses(), ++analyses);
    const auto x = f.solve(b);
    ASSERT_TRUE(x.has_value());
    EXPECT_LT(relative_residual(*k, *x, b), 1e-10);
    EXPECT_EQ(*x, *varn::solve_sparse_cholesky(*k, b));
  }
  // Analysing the pattern already analysed is no work.
  f.analyze_pattern(more);
  EXPECT_EQ(f.symbolic_analyses(), analyses);
  EXPECT_THROW(f.factorize(SparseMatrix(3, 4)), varn::FatalFault);
}

TEST(SparseFactorization, IndefiniteIsFactorisedByLuAndSingularLeavesNoFactor) {
  const SparseMatrix kkt = saddle_point(lattice(4, 3, 3, 94, 0.0), kRootDofs);
  const Eigen::MatrixXd b = random_matrix(kkt.rows(), 2, 13);
  varn::SparseFactorization f;
  EXPECT_EQ(f.factorize(kkt), SparseSolveMethod::LU);
  EXPECT_FALSE(f.positive_definite());
  const auto x = f.solve(b);
  ASSERT_TRUE(x.has_value());
  EXPECT_LT(relative_residual(kkt, *x, b), 1e-10);
  EXPECT_EQ(*x, *varn::solve_sparse_cholesky(kkt, b));

  // The free-floating lattice: singular. The earlier factor is gone with the failed one.
  const SparseMatrix floating = lattice(4, 3, 3, 94, 0.0);
  EXPECT_EQ(f.factorize(floating), SparseSolveMethod::Failed);
  EXPECT_EQ(f.info(), SparseSolveMethod::Failed);
  EXPECT_FALSE(f.positive_definite());
  EXPECT_FALSE(f.solve(random_matrix(floating.rows(), 1, 14)).has_value());

  // The empty system has the empty solution.
  EXPECT_EQ(f.factorize(SparseMatrix(0, 0)), SparseSolveMethod::Cholesky);
  const auto none = f.solve(Eigen::MatrixXd(0, 3));
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->cols(), 3);
}

// A positive definite matrix with a skew part (a turning frame's tangent) is factorised by LU
// straight away and solved as given, skew part included.
TEST(SparseFactorization, UnsymmetricMatrixIsSolvedAsGivenNotAsItsMirror) {
  const SparseMatrix spd = varn::apply_penalty_to_k(lattice(4, 3, 3, 96, 0.0), kRootDofs);
  varn::SparseAssembler skew_part(static_cast<std::size_t>(spd.rows()));
  for (std::size_t i = 0; i + 1 < static_cast<std::size_t>(spd.rows()); ++i) {
    const double s = 1e-2 * std::abs(spd.coeff(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(i)));
    skew_part.add(i, i + 1, s);
    skew_part.add(i + 1, i, -s);
  }
  const SparseMatrix k = varn::sparse_add(spd, skew_part.to_csc());
  const Eigen::MatrixXd b = random_matrix(k.rows(), 1, 17);
  varn::SparseFactorization f;
  EXPECT_EQ(f.factorize_unsymmetric(k), SparseSolveMethod::LU);
  EXPECT_FALSE(f.positive_definite());
  const auto x = f.solve(b);
  ASSERT_TRUE(x.has_value());
  // Well-conditioned lattice with a penalised root: LU leaves a residual near round-off
  // times the penalty's spread of scales (1e10), far below 1e-6.
  EXPECT_LT(relative_residual(k, *x, b), 1e-6);
}

// Combinations are solved in parallel against one kept factor: every task reads it, none
// changes it, and each gets the bits a lone solve gets.
TEST(SparseFactorization, ConcurrentSolvesOnOneFactorAreBitIdentical) {
  for (bool indefinite : {false, true}) {
    SCOPED_TRACE(indefinite);
    const SparseMatrix base = varn::apply_penalty_to_k(lattice(8, 6, 4, 95, 0.0), kRootDofs);
    const SparseMatrix k = indefinite ? saddle_point(base, {100, 200}) : base;
    varn::SparseFactorization f;
    ASSERT_NE(f.factorize(k), SparseSolveMethod::Failed);
    const varn::SparseFactorization copy = f;  // copies share the factor
    constexpr int kTasks = 16;
    std::vector<Eigen::MatrixXd> rhs, sequential(kTasks), parallel(kTasks);
    for (int t = 0; t < kTasks; ++t) rhs.push_back(random_matrix(k.rows(), 1, 200 + t));
    for (int t = 0; t < kTasks; ++t) sequential[t] = *f.solve(rhs[t]);
    tbb::parallel_for(0, kTasks, [&](int t) {
      const auto x = (t % 2 == 0 ? f : copy).solve(rhs[static_cast<std::size_t>(t)]);
      if (x) parallel[static_cast<std::size_t>(t)] = *x;
    });
    for (int t = 0; t < kTasks; ++t) EXPECT_EQ(parallel[t], sequential[t]) << "task " << t;
    // The failed Cholesky attempt of the indefinite matrix counts, then its LU.
    EXPECT_EQ(f.numeric_factorizations(), indefinite ? 2u : 1u);
  }
}

// A refactorisation on the kept analysis overwrites the kept factor in place when nothing else
// holds it: the solutions are those of a fresh factorisation bit for bit (every supernode is
// cleared and filled again), and a copy made before keeps solving its own matrix. The larger
// lattice has separators of several hundred columns, factorised in tiles.
TEST(SparseFactorization, RefactorisationInPlaceGivesTheFreshFactorsBits) {
  for (const auto& [nx, ny, nz] : {std::array{5, 4, 4}, std::array{12, 12, 10}}) {
    SCOPED_TRACE(nx * ny * nz);
    const SparseMatrix k1 = lattice(nx, ny, nz, 96, 1e-2);
    const SparseMatrix k2 = lattice(nx, ny, nz, 97, 3e-2);
    const SparseMatrix k3 = lattice(nx, ny, nz, 98, 2e-2);
    ASSERT_EQ(k1.nonZeros(), k2.nonZeros());
    const Eigen::MatrixXd b = random_matrix(k1.rows(), 2, 17);
    auto fresh = [&](const SparseMatrix& k) {
      varn::SparseFactorization g;
      EXPECT_EQ(g.factorize(k), SparseSolveMethod::Cholesky);
      return *g.solve(b);
    };
    varn::SparseFactorization f;
    ASSERT_EQ(f.factorize(k1), SparseSolveMethod::Cholesky);
    const varn::SparseFactorization copy = f;  // shares the factor of K1
    ASSERT_EQ(f.factorize(k2), SparseSolveMethod::CholeskyCachedSymbolic);
    EXPECT_EQ(*f.solve(b), fresh(k2));
    EXPECT_EQ(*copy.solve(b), fresh(k1)) << "the shared factor was not overwritten";
    ASSERT_EQ(f.factorize(SparseMatrix(k3)), SparseSolveMethod::CholeskyCachedSymbolic);  // in place now
    EXPECT_EQ(*f.solve(b), fresh(k3));
    // An indefinite matrix on the same pattern goes to LU; the next positive definite one is a
    // Cholesky factor again, with the fresh factor's bits.
    ASSERT_EQ(f.factorize(-1.0 * k1), SparseSolveMethod::LU);
    ASSERT_EQ(f.factorize(k2), SparseSolveMethod::CholeskyCachedSymbolic);
    EXPECT_EQ(*f.solve(b), fresh(k2));
    EXPECT_EQ(f.symbolic_analyses(), 2u);  // the one analysis, and the LU's own
  }
}

// The supernodes of a factorisation are taken on the pool as their subtrees finish, and the
// large ones in tiles: which thread does what must not show in a single bit, and the factor
// must be K's. Its unrefined solve is held to the backward error of a Cholesky solve: the shift
// of 1e-3 against member blocks of order 1 to 10 bounds the condition number near 1e5, so a
// sound factor leaves a residual within a few ε·cond of |b| (about 1e-11), and a single update
// added to the wrong place or left out leaves one of order one.
//
// The solves sweep the subtrees of a factor this large side by side as well, one right-hand
// side (vector kernels) or several (matrix kernels), whole or in halves: each is the same bits
// on every thread count, the halves are the whole's sweeps (its bits), and the whole solves K.
TEST(SparseCholesky, FactorAndItsSolvesAreTheSameBitsOnEveryThreadCount) {
  const SparseMatrix k = lattice(12, 12, 10, 52, 1e-3);  // root separator of some 800 columns
  const Eigen::MatrixXd b = random_matrix(k.rows(), 3, 8);
  struct Solved {
    Eigen::MatrixXd many, one, forward, backward;
    bool operator==(const Solved&) const = default;
  };
  auto unrefined = [&] {
    varn::SparseFactorization f;
    EXPECT_EQ(f.factorize(k), SparseSolveMethod::Cholesky);
    Solved s{*f.solve_once(b), *f.solve_once(b.leftCols(1)), *f.solve_forward(b.leftCols(1)), {}};
    s.backward = *f.solve_backward(s.forward);
    return s;
  };
  const Solved reference = unrefined();
  EXPECT_LT(relative_residual(k, reference.many, b), 1e-9);
  EXPECT_LT(relative_residual(k, reference.one, b.leftCols(1)), 1e-9);
  EXPECT_TRUE(reference.backward == reference.one);  // the same sweeps, the same bits
  for (const int threads : {1, 2, 3, 8}) {
    const tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
    EXPECT_TRUE(unrefined() == reference) << threads << " threads";
  }
}

// The constrained solver is the penalised solve of the support rules, factorised once: its
// solutions are those of solve_sparse_system for every load, the constrained rows of each load
// taken by the supports.
TEST(ConstrainedSparseSolver, PenalisedOnceAndSolvedForEveryLoad) {
  const Beam b;
  const SparseMatrix k = cantilever(b, 6.0, 30);
  varn::ConstrainedSparseSolver solver;
  EXPECT_EQ(solver.factorize(k, kRootDofs), SparseSolveMethod::Cholesky);
  EXPECT_EQ(solver.constrained(), kRootDofs);
  Eigen::MatrixXd loads = random_matrix(k.rows(), 3, 15);
  for (int c = 0; c < 3; ++c) loads(2, c) = 1e9;  // on a held DOF: taken by the support
  const auto x = solver.solve(loads);
  ASSERT_TRUE(x.has_value());
  for (int c = 0; c < 3; ++c) {
    const auto one = varn::solve_sparse_system(k, loads.col(c), kRootDofs);
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(*solver.solve_vector(loads.col(c)), *one);
    // Three columns at once go through blocked triangular solves: other roundings.
    EXPECT_LE((x->col(c) - *one).cwiseAbs().maxCoeff(),
              4.0 * std::pow(30.0, 4) * std::numeric_limits<double>::epsilon() * one->cwiseAbs().maxCoeff());
  }
  EXPECT_EQ(loads(2, 0), 1e9);  // the caller's loads are left as they were
  // Refactorised with other values on the same pattern: the analysis is kept.
  EXPECT_EQ(solver.factorize(2.0 * k, kRootDofs), SparseSolveMethod::CholeskyCachedSymbolic);
  EXPECT_EQ(solver.factorization().symbolic_analyses(), 1u);
  // 2K is factorised through other roundings (its factor is sqrt(2) L): the two solutions agree
  // to the round-off the 30-element chain allows, 4 N^4 eps (see the cantilever test above).
  const double chain_bound = 4.0 * std::pow(30.0, 4) * std::numeric_limits<double>::epsilon();
  EXPECT_LE((*solver.solve(loads) - 0.5 * *x).cwiseAbs().maxCoeff(), chain_bound * x->cwiseAbs().maxCoeff());
  EXPECT_THROW(solver.factorize(k, {static_cast<std::size_t>(k.rows())}), varn::FatalFault);
}

// ---------------------------------------------------------------------------------------------
// Dense solvers

TEST(DenseSolvers, LuSolvesAndReturnsOnlyTheFirstColumn) {
  Eigen::Matrix3d a;
  a << 0, 2, 1, 1, 1, 1, 4, -1, 3;  // needs a row exchange
  const Eigen::Vector3d x(1.0, -2.0, 0.5);
  Eigen::MatrixXd b(3, 2);
  b.col(0) = a * x;
  b.col(1) = Eigen::Vector3d(9, 9, 9);
  const auto r = varn::solve_dense_lu(a, b);
  ASSERT_TRUE(r.has_value());
  ASSERT_EQ(r->rows(), 3);
  ASSERT_EQ(r->cols(), 1);
  EXPECT_LE((r->col(0) - x).cwiseAbs().maxCoeff(), 1e-14);
}

TEST(DenseSolvers, CholeskySolvesEveryColumn) {
  Eigen::Matrix3d a;
  a << 4, 1, 0.5, 1, 3, 0.2, 0.5, 0.2, 2;
  const Eigen::MatrixXd x = random_matrix(3, 2, 12);
  const auto r = varn::solve_dense_cholesky(a, a * x);
  ASSERT_TRUE(r.has_value());
  EXPECT_LE((*r - x).cwiseAbs().maxCoeff(), 1e-14);
}

TEST(DenseSolvers, SingularAndNearSingularMatricesGiveTheEmptyResult) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* what;
    Eigen::MatrixXd a;
  };
  auto m2 = [](double a, double b, double c, double d) {
    Eigen::MatrixXd m(2, 2);
    m << a, b, c, d;
    return m;
  };
  Eigen::MatrixXd floating = varn::sparse_to_dense_symmetric(lattice(3, 2, 2, 91, 0.0));
  Eigen::MatrixXd mech = Eigen::MatrixXd::Zero(3, 3);  // bar chain with a free end node
  mech << 1, -1, 0, -1, 2, -1, 0, -1, 1;
  const std::vector<Case> cases = {
      {"exactly singular", m2(1, 2, 2, 4)},
      {"singular to working precision", m2(1, 2, 2, 4 + 1e-15)},
      {"zero matrix", Eigen::MatrixXd::Zero(3, 3)},
      {"zero row and column", m2(5, 0, 0, 0)},
      {"non-finite entry", m2(1, 0, 0, nan)},
      {"free bar chain", mech},
      {"floating lattice", floating},
  };
  for (const Case& c : cases) {
    const Eigen::MatrixXd b = Eigen::MatrixXd::Ones(c.a.rows(), 1);
    EXPECT_FALSE(varn::solve_dense_lu(c.a, b).has_value()) << c.what;
    EXPECT_FALSE(varn::solve_dense_cholesky(c.a, b).has_value()) << c.what;
  }
  // Indefinite but regular: LU solves, Cholesky refuses.
  const Eigen::MatrixXd indefinite = m2(1, 2, 2, 1);
  EXPECT_TRUE(varn::solve_dense_lu(indefinite, Eigen::MatrixXd::Ones(2, 1)).has_value());
  EXPECT_FALSE(varn::solve_dense_cholesky(indefinite, Eigen::MatrixXd::Ones(2, 1)).has_value());
}

TEST(DenseSolvers, BadlyScaledButRegularSystemsAreSolved) {
  // Translational, rotational and warping stiffnesses differ by many decades in SI units;
  // that is scaling, not singularity.
  Eigen::Matrix3d a;
  a << 2e12, -1e6, 0, -1e6, 3e2, 1e-4, 0, 1e-4, 5e-8;
  const Eigen::Vector3d x(1e-9, 2e-3, -40.0);
  const auto lu = varn::solve_dense_lu(a, a * x);
  const auto ch = varn::solve_dense_cholesky(a, a * x);
  ASSERT_TRUE(lu.has_value());
  ASSERT_TRUE(ch.has_value());
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR((*lu)(i, 0), x[i], 1e-10 * std::abs(x[i]));
    EXPECT_NEAR((*ch)(i, 0), x[i], 1e-10 * std::abs(x[i]));
  }
}

TEST(DenseSolvers, ReducedCantileverWithUnitDiagonalSupports) {
  // The reduced systems carry supports as a unit diagonal with zeroed row and column.
  const Beam b;
  const double L = 6.0, P = 5e3;
  const int elements = 40;
  Eigen::MatrixXd k = varn::sparse_to_dense_symmetric(cantilever(b, L, elements));
  Eigen::VectorXd f = Eigen::VectorXd::Zero(k.rows());
  const Eigen::Index tip = 7 * elements;
  f[tip + 2] = P;
  for (std::size_t d : kRootDofs) {
    const auto i = static_cast<Eigen::Index>(d);
    k.row(i).setZero();
    k.col(i).setZero();
    k(i, i) = 1.0;
    f[i] = 0.0;
  }
  const auto lu = varn::solve_dense_lu(k, f);
  const auto ch = varn::solve_dense_cholesky(k, f);
  ASSERT_TRUE(lu.has_value());
  ASSERT_TRUE(ch.has_value());
  const double w = P * L * L * L / (3 * b.E * b.Iy);
  EXPECT_NEAR((*lu)(tip + 2, 0), w, 1e-9 * w);
  EXPECT_NEAR((*ch)(tip + 2, 0), w, 1e-9 * w);
  EXPECT_NEAR((*lu)(tip + 4, 0), -P * L * L / (2 * b.E * b.Iy), 1e-9 * w);
}

TEST(DenseSolvers, ShapeMismatchIsAFault) {
  EXPECT_THROW(varn::solve_dense_lu(Eigen::MatrixXd::Identity(3, 2), Eigen::MatrixXd::Ones(3, 1)),
               varn::FatalFault);
  EXPECT_THROW(varn::solve_dense_lu(Eigen::MatrixXd::Identity(3, 3), Eigen::MatrixXd::Ones(2, 1)),
               varn::FatalFault);
  EXPECT_THROW(varn::solve_dense_lu(Eigen::MatrixXd::Identity(3, 3), Eigen::MatrixXd(3, 0)),
               varn::FatalFault);
  EXPECT_THROW(varn::solve_dense_cholesky(Eigen::MatrixXd::Identity(3, 3), Eigen::MatrixXd::Ones(4, 1)),
               varn::FatalFault);
}

// ---------------------------------------------------------------------------------------------

TEST(OpenMpRegions, FactorisationLeavesTheCallersSettingAsItWas) {
  // The factorisation runs CHOLMOD's OpenMP regions on the calling thread only; the caller's
  // own OpenMP nesting setting must come back unchanged.
  auto get = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "omp_get_max_active_levels"));
  auto set = reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"));
  if (!get || !set) GTEST_SKIP() << "CHOLMOD runs without OpenMP here";
  set(3);
  const SparseMatrix k = lattice(6, 6, 4, 95, 1e-2);
  ASSERT_TRUE(varn::solve_sparse_cholesky(k, random_matrix(k.rows(), 1, 1)).has_value());
  EXPECT_EQ(get(), 3);
  set(1);
}

TEST(BlasThreadsDeathTest, OpenBlasIsSetToOneThreadOnce) {
  using SetThreads = void (*)(int);
  using GetThreads = int (*)();
  auto set = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads"));
  auto get = reinterpret_cast<GetThreads>(dlsym(RTLD_DEFAULT, "openblas_get_num_threads"));
  if (!set || !get) {
    EXPECT_FALSE(varn::init_blas_single_thread());
    GTEST_SKIP() << "the BLAS in use is not OpenBLAS";
  }
  // In a fresh process (the once-only set-up must not have run yet): BLAS at four threads,
  // as a caller or the environment might leave it, then the set-up brings it to one.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        set(4);
        if (get() != 4) std::_Exit(10);
        const bool found = varn::init_blas_single_thread();
        const int after = get();
        set(3);  // a second call does nothing
        varn::init_blas_single_thread();
        std::_Exit(found && after == 1 && get() == 3 ? 0 : 11);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
