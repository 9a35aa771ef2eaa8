// The pool's numeric supernodal Cholesky factorisation held against CHOLMOD's own numeric
// factorisation of the same analysis, on a table of matrices, and what the factorisation itself
// reports when a matrix has no Cholesky factor.
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "fixture_models.h"
#include "functions/sparse.h"
#include "functions/sparse/cholesky_kinds.h"
#include "sparse_test_matrices.h"

namespace {

using varn::NumericCholeskyFactor;
using varn::NumericCholeskyKind;
using varn::SparseMatrix;
using varn::SupernodalOutcome;

struct Case {
  std::string what;
  SparseMatrix k;
};

// A building frame as the first-order solve factorises it: the operator of a fixture with its
// supports' penalty.
SparseMatrix penalised_frame(const std::string& fixture) {
  const varn::VARN model = varn::testing::load_si(fixture);
  auto k = model.build_operator_with_supports_sparse_internal(varn::ActiveMap{}, nullptr);
  auto dofs = model.collect_constrained_dofs_full();
  if (!k || !dofs) throw std::runtime_error("cannot assemble " + fixture);
  return varn::apply_penalty_to_k(*k, *dofs);
}

// A dense positive definite matrix: every column couples to every other, one supernode.
SparseMatrix dense_spd(int n) {
  varn::sparse_test::Lcg g{17};
  Eigen::MatrixXd m(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) m(i, j) = g.next() - 0.5;
  const Eigen::MatrixXd a = m * m.transpose() + n * Eigen::MatrixXd::Identity(n, n);
  return a.sparseView(0.0, 0.0).cast<double>().eval();
}

std::vector<Case> positive_definite_cases() {
  std::vector<Case> cases;
  cases.push_back({"two-storey space frame", penalised_frame("space_frame_two_storeys.json")});
  cases.push_back({"portal frame with tension diagonals", penalised_frame("x_braced_portal_tension_diagonals.json")});
  // 12 x 12 x 10 nodes: the root separator of a nested dissection is a plane of 144 nodes,
  // about a thousand columns, eliminated in tiles on the pool.
  cases.push_back({"lattice with a large root separator", varn::sparse_test::lattice(12, 12, 10, 71, 1.0)});
  cases.push_back({"one supernode", dense_spd(40)});
  cases.push_back({"empty", SparseMatrix(0, 0)});
  return cases;
}

// Largest |L(i, j)| of each column.
Eigen::VectorXd column_scale(const SparseMatrix& l) {
  Eigen::VectorXd s = Eigen::VectorXd::Zero(l.cols());
  for (Eigen::Index j = 0; j < l.outerSize(); ++j)
    for (SparseMatrix::InnerIterator it(l, j); it; ++it) s[j] = std::max(s[j], std::abs(it.value()));
  return s;
}

TEST(NumericCholesky, PoolFactorIsCholmodsOnEveryMatrixOfTheTable) {
  for (const Case& c : positive_definite_cases()) {
    const NumericCholeskyFactor pool = varn::numeric_cholesky_factor(c.k, NumericCholeskyKind::Pool);
    const NumericCholeskyFactor oracle = varn::numeric_cholesky_factor(c.k, NumericCholeskyKind::Cholmod);
    ASSERT_EQ(oracle.outcome, SupernodalOutcome::Factorised) << c.what;
    ASSERT_EQ(pool.outcome, SupernodalOutcome::Factorised) << c.what;
    EXPECT_EQ(pool.perm, oracle.perm) << c.what;
    if (c.what == "one supernode") {
      EXPECT_EQ(pool.supernodes, 1);
    }
    // The same pattern, entry for entry: both fill the one layout of the analysis.
    ASSERT_EQ(pool.l.nonZeros(), oracle.l.nonZeros()) << c.what;
    ASSERT_EQ(pool.l.cols(), c.k.cols()) << c.what;
    const Eigen::VectorXd scale = column_scale(oracle.l);
    double worst = 0.0;
    for (Eigen::Index j = 0; j < pool.l.outerSize(); ++j) {
      SparseMatrix::InnerIterator p(pool.l, j), o(oracle.l, j);
      for (; p && o; ++p, ++o) {
        ASSERT_EQ(p.row(), o.row()) << c.what << ", column " << j;
        worst = std::max(worst, std::abs(p.value() - o.value()) / scale[j]);
      }
      EXPECT_FALSE(p || o) << c.what << ", column " << j;
    }
    // The two sum each entry's updates in other orders and blockings, so they differ by the
    // round-off of those sums, growing with the updates an entry gets (up to a few hundred in
    // the root separator) and with how far its pivots fall below their diagonals (within a few
    // decades in these matrices, the penalised frames' held DOFs included, each pivot there
    // being its penalty): well under 1e-12 of the column's largest entry on any x86-64 BLAS
    // kernel (AVX2 or AVX-512), while a single wrong or missing update is of the order of the
    // entries themselves.
    EXPECT_LE(worst, 1e-12) << c.what;
  }
}

TEST(NumericCholesky, PoolFactorIsTheSameBitsOnEveryThreadCount) {
  const SparseMatrix k = varn::sparse_test::lattice(12, 12, 10, 72, 1.0);
  const NumericCholeskyFactor all = varn::numeric_cholesky_factor(k, NumericCholeskyKind::Pool);
  ASSERT_EQ(all.outcome, SupernodalOutcome::Factorised);
  for (int threads : {1, 3}) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    const NumericCholeskyFactor some = varn::numeric_cholesky_factor(k, NumericCholeskyKind::Pool);
    ASSERT_EQ(some.l.nonZeros(), all.l.nonZeros());
    for (Eigen::Index q = 0; q < all.l.nonZeros(); ++q)
      ASSERT_EQ(some.l.valuePtr()[q], all.l.valuePtr()[q]) << threads << " threads, entry " << q;
  }
}

// K with one entry set to `value` at (dof, dof), or at (dof, other) and (other, dof).
SparseMatrix with_entry(SparseMatrix k, Eigen::Index dof, Eigen::Index other, double value) {
  k.coeffRef(dof, other) = value;
  k.coeffRef(other, dof) = value;
  k.makeCompressed();
  return k;
}

TEST(NumericCholesky, NonFiniteEntryIsAFailedFactorisationWhereItsPivotIs) {
  const SparseMatrix base = varn::sparse_test::lattice(10, 10, 8, 73, 1.0);
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  for (const double bad : {nan, inf, -inf}) {
    // On the diagonal: the pivot it reaches first is its own DOF's.
    {
      const SparseMatrix k = with_entry(base, 300, 300, bad);
      const NumericCholeskyFactor f = varn::numeric_cholesky_factor(k, NumericCholeskyKind::Pool);
      EXPECT_EQ(f.outcome, SupernodalOutcome::NotFinite) << bad;
      ASSERT_TRUE(f.broken_dof.has_value()) << bad;
      EXPECT_EQ(*f.broken_dof, 300u) << bad;
      // The layer gives no factor of any kind, and tries none after the Cholesky.
      varn::SparseFactorization factor;
      const std::size_t before = varn::sparse_numeric_factorization_count();
      EXPECT_EQ(factor.factorize(k), varn::SparseSolveMethod::Failed) << bad;
      EXPECT_EQ(varn::sparse_numeric_factorization_count() - before, 1u) << bad;
      EXPECT_EQ(factor.unstable_dof(), std::optional<std::size_t>(300)) << bad;
    }
    // Off the diagonal, coupling DOFs 301 and 302 of one node: it reaches the pivot of
    // whichever of the two is eliminated later.
    {
      const SparseMatrix k = with_entry(base, 301, 302, bad);
      const NumericCholeskyFactor f = varn::numeric_cholesky_factor(k, NumericCholeskyKind::Pool);
      EXPECT_EQ(f.outcome, SupernodalOutcome::NotFinite) << bad;
      std::size_t later = 301;
      for (std::int64_t q = static_cast<std::int64_t>(f.perm.size()) - 1; q >= 0; --q)
        if (f.perm[static_cast<std::size_t>(q)] == 301 || f.perm[static_cast<std::size_t>(q)] == 302) {
          later = static_cast<std::size_t>(f.perm[static_cast<std::size_t>(q)]);
          break;
        }
      EXPECT_EQ(f.broken_dof, std::optional<std::size_t>(later)) << bad;
    }
  }
}

TEST(NumericCholesky, NotPositiveDefiniteIsFoundWhereCholmodFindsIt) {
  struct Broken {
    std::string what;
    SparseMatrix k;
  };
  std::vector<Broken> cases;
  const SparseMatrix lattice = varn::sparse_test::lattice(10, 10, 8, 74, 1.0);
  // A diagonal entry far below what its couplings need: indefinite, the breakdown clear of
  // round-off.
  cases.push_back({"negative diagonal in a small supernode", with_entry(lattice, 5, 5, -10.0)});
  // The largest supernode is the root separator, eliminated last: a DOF of the last node.
  cases.push_back({"negative diagonal in the tiled root separator",
                   with_entry(lattice, lattice.rows() - 3, lattice.rows() - 3, -10.0)});
  cases.push_back({"negative dense block", with_entry(dense_spd(40), 17, 17, -1e3)});
  for (const Broken& c : cases) {
    const NumericCholeskyFactor pool = varn::numeric_cholesky_factor(c.k, NumericCholeskyKind::Pool);
    const NumericCholeskyFactor oracle = varn::numeric_cholesky_factor(c.k, NumericCholeskyKind::Cholmod);
    EXPECT_EQ(pool.outcome, SupernodalOutcome::NotPositiveDefinite) << c.what;
    EXPECT_EQ(oracle.outcome, SupernodalOutcome::NotPositiveDefinite) << c.what;
    ASSERT_TRUE(pool.broken_dof.has_value()) << c.what;
    EXPECT_EQ(pool.broken_dof, oracle.broken_dof) << c.what;
    // The same column on every thread count, whichever subtree the pool reaches first.
    {
      tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
      EXPECT_EQ(varn::numeric_cholesky_factor(c.k, NumericCholeskyKind::Pool).broken_dof, pool.broken_dof) << c.what;
    }
    // One Cholesky attempt, then the LU of the indefinite matrix solves it.
    varn::SparseFactorization factor;
    const std::size_t before = varn::sparse_numeric_factorization_count();
    EXPECT_EQ(factor.factorize(c.k), varn::SparseSolveMethod::LU) << c.what;
    EXPECT_EQ(varn::sparse_numeric_factorization_count() - before, 2u) << c.what;
  }
}

TEST(NumericCholesky, TheLayerOnCholmodsFactorisationSolvesAsOnThePools) {
  for (const Case& c : positive_definite_cases()) {
    if (c.k.rows() == 0) continue;
    Eigen::MatrixXd b(c.k.rows(), 2);
    varn::sparse_test::Lcg g{5};
    for (Eigen::Index i = 0; i < b.size(); ++i) b.data()[i] = g.next() - 0.5;
    varn::SparseFactorization pool;
    ASSERT_NE(pool.factorize(c.k), varn::SparseSolveMethod::Failed) << c.what;
    varn::SparseFactorization oracle;
    {
      const varn::NumericCholeskyScope cholmod(NumericCholeskyKind::Cholmod);
      EXPECT_EQ(varn::numeric_cholesky_in_use(), NumericCholeskyKind::Cholmod);
      ASSERT_NE(oracle.factorize(c.k), varn::SparseSolveMethod::Failed) << c.what;
    }
    EXPECT_EQ(varn::numeric_cholesky_in_use(), NumericCholeskyKind::Pool);
    const auto x = pool.solve(b), y = oracle.solve(b);
    ASSERT_TRUE(x && y) << c.what;
    // Both solutions are refined to 2^-40 of their size against the same matrix.
    EXPECT_LE((*x - *y).lpNorm<Eigen::Infinity>(), 1e-10 * x->lpNorm<Eigen::Infinity>()) << c.what;
  }
}

}  // namespace
