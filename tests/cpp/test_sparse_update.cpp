// Low-rank modification of a kept Cholesky factor: a network of springs whose springs are
// switched off and on, each switch the rank-1 change k·(e_a − e_b)(e_a − e_b)ᵀ; the modified
// factor is checked against a fresh factorisation of the modified matrix.
#include <gtest/gtest.h>

#include <Eigen/Cholesky>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "fatal.h"
#include "functions/sparse.h"

using varn::SparseMatrix;
using varn::SparseSolveMethod;

namespace {

struct Spring {
  std::size_t a, b;
  double k;
};

// Springs between the neighbours of an nx x ny x nz grid (stiffness 1 to 2, in a fixed
// order) and a ground spring of 0.1 at every node: positive definite, eigenvalues between 0.1
// and about 24, so a condition number below 250.
struct Network {
  std::size_t n = 0;
  std::vector<Spring> springs;
};

Network grid(int nx, int ny, int nz) {
  Network net;
  auto id = [&](int i, int j, int k) { return static_cast<std::size_t>((k * ny + j) * nx + i); };
  net.n = static_cast<std::size_t>(nx * ny * nz);
  std::size_t counter = 0;
  auto add = [&](std::size_t a, std::size_t b) {
    net.springs.push_back({a, b, 1.0 + static_cast<double>((counter++ * 7) % 10) / 10.0});
  };
  for (int k = 0; k < nz; ++k)
    for (int j = 0; j < ny; ++j)
      for (int i = 0; i < nx; ++i) {
        if (i + 1 < nx) add(id(i, j, k), id(i + 1, j, k));
        if (j + 1 < ny) add(id(i, j, k), id(i, j + 1, k));
        if (k + 1 < nz) add(id(i, j, k), id(i, j, k + 1));
      }
  return net;
}

// The stiffness with spring s scaled by scale[s] (a switched-off spring keeps a trace, so the
// pattern stays that of the whole network).
SparseMatrix stiffness(const Network& net, const std::vector<double>& scale) {
  varn::SparseAssembler as(net.n);
  for (std::size_t s = 0; s < net.springs.size(); ++s) {
    const Spring& sp = net.springs[s];
    const double k = scale[s] * sp.k;
    as.add(sp.a, sp.a, k);
    as.add(sp.b, sp.b, k);
    as.add(sp.a, sp.b, -k);
    as.add(sp.b, sp.a, -k);
  }
  for (std::size_t d = 0; d < net.n; ++d) as.add(d, d, 0.1);
  return as.to_csc();
}

// The columns √(share·k)·(e_a − e_b) of the listed springs.
SparseMatrix columns(const Network& net, const std::vector<std::size_t>& which, double share) {
  std::vector<Eigen::Triplet<double, std::int64_t>> t;
  for (std::size_t c = 0; c < which.size(); ++c) {
    const Spring& sp = net.springs[which[c]];
    const double v = std::sqrt(share * sp.k);
    t.emplace_back(static_cast<std::int64_t>(sp.a), static_cast<std::int64_t>(c), v);
    t.emplace_back(static_cast<std::int64_t>(sp.b), static_cast<std::int64_t>(c), -v);
  }
  SparseMatrix m(static_cast<std::int64_t>(net.n), static_cast<std::int64_t>(which.size()));
  m.setFromTriplets(t.begin(), t.end());
  return m;
}

Eigen::VectorXd load(std::size_t n) {
  Eigen::VectorXd f(static_cast<Eigen::Index>(n));
  for (Eigen::Index i = 0; i < f.size(); ++i) f[i] = std::sin(0.7 * static_cast<double>(i)) + 0.25;
  return f;
}

// Both solutions are backward stable for matrices of condition below 250; they differ by
// about cond · (entries an elimination sums, ~100 here) · ε ≈ 6e-12 relative.
constexpr double kAgreement = 1e-10;

double relative_difference(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  return (a - b).lpNorm<Eigen::Infinity>() / b.lpNorm<Eigen::Infinity>();
}

}  // namespace

// Springs switched off (downdates) and on (updates) in one modification and in a chain of
// them: each modified factor solves as a fresh factorisation of its matrix does.
TEST(LowRankUpdate, ModifiedFactorSolvesAsAFreshFactorisation) {
  const Network net = grid(8, 7, 5);
  std::vector<double> scale(net.springs.size(), 1.0);
  constexpr double kOff = 1e-10;
  // Springs 3, 11 and 40 start switched off.
  for (std::size_t s : {3u, 11u, 40u}) scale[s] = kOff;
  const Eigen::VectorXd f = load(net.n);

  varn::SparseFactorization factor;
  ASSERT_EQ(factor.factorize(stiffness(net, scale)), SparseSolveMethod::Cholesky);
  const std::size_t factorisations = varn::sparse_numeric_factorization_count();
  const std::size_t updates = varn::sparse_low_rank_update_count();

  struct Step {
    std::vector<std::size_t> on, off;
  };
  const std::vector<Step> steps = {{{3, 11}, {5, 17, 200}}, {{}, {1, 2, 30, 31, 32, 33, 34, 35, 36, 37}}, {{5, 200, 40}, {}}};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    for (std::size_t s : steps[i].on) scale[s] = 1.0;
    for (std::size_t s : steps[i].off) scale[s] = kOff;
    const SparseMatrix k = stiffness(net, scale);
    ASSERT_EQ(factor.modify_low_rank(k, columns(net, steps[i].on, 1.0 - kOff), columns(net, steps[i].off, 1.0 - kOff)),
              SparseSolveMethod::CholeskyModified)
        << "step " << i;
    EXPECT_EQ(factor.info(), SparseSolveMethod::CholeskyModified);
    EXPECT_TRUE(factor.positive_definite());
    const auto x = factor.solve(f);
    const auto fresh = varn::solve_sparse_cholesky(k, f);
    ASSERT_TRUE(x && fresh) << "step " << i;
    EXPECT_LE(relative_difference(*x, *fresh), kAgreement) << "step " << i;
  }
  EXPECT_EQ(varn::sparse_low_rank_update_count() - updates, steps.size());
  // The fresh reference solves above factorised; the modifications did not.
  EXPECT_EQ(varn::sparse_numeric_factorization_count() - factorisations, steps.size());
}

// A copy shares the factor it was made with and keeps solving with it after the original is
// modified: the request's shared factor stays what it was for every other user. A matrix of
// another order than the factor's is a fault.
TEST(LowRankUpdate, CopiesKeepTheFactorTheyShared) {
  const Network net = grid(6, 6, 4);
  std::vector<double> scale(net.springs.size(), 1.0);
  const SparseMatrix k = stiffness(net, scale);
  const Eigen::VectorXd f = load(net.n);
  varn::SparseFactorization shared;
  ASSERT_EQ(shared.factorize(k), SparseSolveMethod::Cholesky);
  const auto before = shared.solve(f);
  ASSERT_TRUE(before);

  varn::SparseFactorization pass = shared;
  scale[7] = 1e-10;
  ASSERT_EQ(pass.modify_low_rank(stiffness(net, scale), columns(net, {}, 1.0), columns(net, {7}, 1.0 - 1e-10)),
            SparseSolveMethod::CholeskyModified);
  EXPECT_THROW((void)pass.modify_low_rank(SparseMatrix(3, 3), columns(net, {}, 1.0), columns(net, {}, 1.0)),
               varn::FatalFault);
  const auto after = shared.solve(f);
  ASSERT_TRUE(after);
  EXPECT_EQ(*after, *before);  // bit for bit: the same factor
  EXPECT_EQ(shared.info(), SparseSolveMethod::Cholesky);
  const auto modified = pass.solve(f);
  ASSERT_TRUE(modified);
  EXPECT_GT(relative_difference(*modified, *before), 1e-6);  // a spring less moves the network
}

// A downdate that takes away more than the matrix holds leaves no positive definite matrix:
// reported, so that the caller factorises afresh; so is a factor that is not a Cholesky one.
TEST(LowRankUpdate, LostDefinitenessAndMissingCholeskyFactorAreReported) {
  const Network net = grid(5, 4, 3);
  const std::vector<double> scale(net.springs.size(), 1.0);
  const SparseMatrix k = stiffness(net, scale);
  varn::SparseFactorization factor;
  EXPECT_EQ(factor.modify_low_rank(k, columns(net, {}, 1.0), columns(net, {}, 1.0)), SparseSolveMethod::Failed);
  ASSERT_EQ(factor.factorize(k), SparseSolveMethod::Cholesky);
  // Spring 0 taken away 42 times over: its nodes are pushed apart by a negative spring far
  // stiffer than everything else at them.
  EXPECT_EQ(factor.modify_low_rank(k, columns(net, {}, 1.0), columns(net, {0}, 42.0)),
            SparseSolveMethod::Failed);
  EXPECT_EQ(factor.info(), SparseSolveMethod::Failed);
  EXPECT_FALSE(factor.solve(load(net.n)));

  // Indefinite: factorised by LU, which has nothing to update.
  SparseMatrix indefinite = k;
  indefinite.coeffRef(0, 0) = -50.0;
  ASSERT_EQ(factor.factorize(indefinite), SparseSolveMethod::LU);
  EXPECT_EQ(factor.modify_low_rank(k, columns(net, {1}, 1.0), columns(net, {}, 1.0)), SparseSolveMethod::Failed);
  EXPECT_EQ(factor.info(), SparseSolveMethod::LU);


}

// A given penalty is held through factorisations and modifications; the default one is the
// penalty the layer takes from the diagonal.
TEST(LowRankUpdate, ConstrainedSolverHoldsItsPenalty) {
  const Network net = grid(6, 5, 3);
  std::vector<double> scale(net.springs.size(), 1.0);
  const std::vector<std::size_t> held = {0, 1, 2};
  const Eigen::VectorXd f = load(net.n);
  const SparseMatrix k = stiffness(net, scale);

  varn::ConstrainedSparseSolver automatic;
  automatic.factorize(k, held);
  EXPECT_EQ(automatic.penalty(), varn::penalty_value(k));

  varn::ConstrainedSparseSolver solver;
  constexpr double kPenalty = 3e11;
  ASSERT_EQ(solver.factorize_with_penalty(k, held, kPenalty), SparseSolveMethod::Cholesky);
  EXPECT_EQ(solver.penalty(), kPenalty);
  ASSERT_NE(solver.factorization().matrix(), nullptr);
  EXPECT_EQ(Eigen::MatrixXd(*solver.factorization().matrix()),
            Eigen::MatrixXd(varn::apply_given_penalty_to_k(k, held, kPenalty)));

  scale[20] = 1e-10;
  const SparseMatrix k_off = stiffness(net, scale);
  ASSERT_EQ(solver.modify_low_rank(k_off, columns(net, {}, 1.0), columns(net, {20}, 1.0 - 1e-10)),
            SparseSolveMethod::CholeskyModified);
  EXPECT_EQ(solver.penalty(), kPenalty);
  varn::ConstrainedSparseSolver fresh;
  fresh.factorize_with_penalty(k_off, held, kPenalty);
  const auto x = solver.solve_vector(f);
  const auto y = fresh.solve_vector(f);
  ASSERT_TRUE(x && y);
  // The penalty raises the condition number to about 3e11 / 0.1, but only along the held DOFs,
  // which both solutions hold at zero to the same digits; the free DOFs see the network's
  // own conditioning.
  EXPECT_LE(relative_difference(*x, *y), kAgreement);

  // Carried over to an operator, a solution is refined towards that operator penalised as the
  // factor is, not with a penalty of the operator's own diagonal (here a third of it): the
  // held DOFs keep what the held penalty leaves them, the small displacement that the springs
  // pull them through, as a fresh factorisation with that penalty gives it. That displacement
  // is the free DOFs' pull over the penalty, so it carries their digits (kAgreement); with the
  // operator's own penalty it would follow that smaller penalty instead.
  ASSERT_LT(varn::penalty_value(k_off), kPenalty / 3);
  const auto carried = solver.solve_towards(k_off, Eigen::MatrixXd(f));
  ASSERT_TRUE(carried);
  for (const std::size_t d : held) {
    const auto i = static_cast<Eigen::Index>(d);
    EXPECT_NE((*y)[i], 0.0);
    EXPECT_LE(std::abs((*carried)(i, 0) - (*y)[i]), 1e-6 * std::abs((*y)[i])) << "held DOF " << d;
  }
}

// The halves of a supernodal solve, forward L⁻¹·P·B and backward Pᵀ·L⁻ᵀ·C, compose to the
// solve itself; the sparse forward solve of a few springs' columns gives the dense one's values
// and is zero beyond the elimination-tree paths of their nodes, a small part of the factor. A
// Sherman–Morrison–Woodbury solve through them is the solve of the network less those springs.
TEST(SplitSolve, HalvesComposeAndSparseColumnsStayOnTheirPaths) {
  const Network net = grid(14, 12, 10);
  std::vector<double> scale(net.springs.size(), 1.0);
  const SparseMatrix k = stiffness(net, scale);
  const Eigen::VectorXd f = load(net.n);
  varn::SparseFactorization factor;
  ASSERT_EQ(factor.factorize(k), SparseSolveMethod::Cholesky);
  const auto x = factor.solve(f);
  const auto c = factor.solve_forward(f);
  ASSERT_TRUE(x && c);
  const auto halves = factor.solve_backward(*c);
  ASSERT_TRUE(halves);
  EXPECT_LE(relative_difference(*halves, *x), kAgreement);

  const std::vector<std::size_t> off = {0, 17, 401, 1250};
  const double share = 1.0 - 1e-10;
  const SparseMatrix u = columns(net, off, share);
  const auto sparse = factor.solve_forward_sparse(u);
  const auto dense = factor.solve_forward(Eigen::MatrixXd(u));
  ASSERT_TRUE(sparse && dense);
  EXPECT_LE(relative_difference(Eigen::MatrixXd(*sparse), *dense), kAgreement);
  EXPECT_LT(sparse->nonZeros(), static_cast<Eigen::Index>(net.n * off.size() / 4));

  // K less the springs: (K − U·Uᵀ)⁻¹·f = Pᵀ·L⁻ᵀ·(c + V·z), (I − Vᵀ·V)·z = Vᵀ·c.
  const Eigen::MatrixXd v = Eigen::MatrixXd(*sparse);
  const Eigen::MatrixXd capacitance = Eigen::MatrixXd::Identity(v.cols(), v.cols()) - v.transpose() * v;
  const Eigen::VectorXd z = capacitance.llt().solve(v.transpose() * *c);
  const auto woodbury = factor.solve_backward(*c + v * z);
  for (const std::size_t s : off) scale[s] = 1e-10;
  varn::SparseFactorization fresh;
  ASSERT_EQ(fresh.factorize(stiffness(net, scale)), SparseSolveMethod::Cholesky);
  const auto expected = fresh.solve(f);
  ASSERT_TRUE(woodbury && expected);
  EXPECT_LE(relative_difference(*woodbury, *expected), kAgreement);
  EXPECT_GT(relative_difference(*woodbury, *x), 1e-6);  // four springs less move the network

  // A factor that is not supernodal Cholesky has no halves.
  EXPECT_FALSE(varn::SparseFactorization().solve_forward(f));
  EXPECT_FALSE(varn::SparseFactorization().solve_forward_sparse(u));
}
