// The residual measure of the second-order solve: each global direction's unbalanced force
// against that direction's loads and reactions, with a floor for directions that carry almost
// nothing and an allowance for the round-off of the operator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include <Eigen/Core>

#include "functions/sparse.h"
#include "models/varn/second_order/residual_measure.h"

namespace {

using varn::second_order::ResidualMeasure;

// Two nodes (14 DOFs): node 1 held in every direction, node 2 free. `r` entries at node 2
// are residuals, at node 1 reactions.
constexpr std::size_t kN = 14;

std::vector<std::size_t> node_one_held() { return {0, 1, 2, 3, 4, 5, 6}; }

Eigen::VectorXd zeros() { return Eigen::VectorXd::Zero(static_cast<Eigen::Index>(kN)); }

TEST(ResidualMeasure, EachDirectionIsJudgedAgainstItsOwnForces) {
  // A column: 1 MN down and 1 kN sideways at node 2, reacted at node 1, with 10 N left
  // unbalanced sideways. Against the whole load vector that is 1e-5; against the sideways
  // forces (1 kN applied, 1 kN reacted) it is 10 / 2000.
  const ResidualMeasure m = ResidualMeasure::global(kN, node_one_held(), 5.0);
  Eigen::VectorXd f = zeros(), r = zeros();
  f[7 + 0] = 1e3;
  f[7 + 2] = -1e6;
  r[0] = -1e3;  // reactions
  r[2] = 1e6;
  r[7 + 0] = 10.0;  // residual
  EXPECT_DOUBLE_EQ(m.relative(r, f), 10.0 / 2e3);
}

TEST(ResidualMeasure, ADirectionWithoutForcesIsJudgedAgainstAShareOfTheLargest) {
  // Nothing acts along Y: its 1e-3 N of residual is judged against 1e-4 of the largest
  // direction's forces, 2 MN along Z.
  const ResidualMeasure m = ResidualMeasure::global(kN, node_one_held(), 5.0);
  Eigen::VectorXd f = zeros(), r = zeros();
  f[7 + 2] = -1e6;
  r[2] = 1e6;
  r[7 + 1] = 1e-3;
  EXPECT_DOUBLE_EQ(m.relative(r, f), 1e-3 / (1e-4 * 2e6));
}

TEST(ResidualMeasure, MomentsAreJudgedAmongMoments) {
  // A moment residual of 1 N·m against 100 N·m applied and reacted about Y.
  const ResidualMeasure m = ResidualMeasure::global(kN, node_one_held(), 5.0);
  Eigen::VectorXd f = zeros(), r = zeros();
  f[7 + 4] = 100.0;
  r[4] = -100.0;
  r[7 + 4] = 1.0;
  EXPECT_DOUBLE_EQ(m.relative(r, f), 1.0 / 200.0);
}

TEST(ResidualMeasure, NothingUnbalancedIsZeroAndNotFiniteIsInfinite) {
  const ResidualMeasure m = ResidualMeasure::global(kN, node_one_held(), 1.0);
  EXPECT_EQ(m.relative(zeros(), zeros()), 0.0);
  Eigen::VectorXd r = zeros();
  r[7] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(m.relative(r, zeros()), std::numeric_limits<double>::infinity());
}

TEST(ResidualMeasure, RoundOffOfTheOperatorIsNoUnbalancedForce) {
  // A spring of 1e16 N/m between the nodes displaced by 1 m carries forces whose last digit
  // is eps·1e16 ≈ 2 N; a residual of 1 N there is round-off, one of 1 kN is not.
  varn::SparseAssembler a(kN);
  a.add(7, 7, 1e16);
  a.add(0, 0, 1e16);
  a.add(0, 7, -1e16);
  a.add(7, 0, -1e16);
  ResidualMeasure m = ResidualMeasure::global(kN, node_one_held(), 1.0);
  m.set_round_off(a.to_csc());
  Eigen::VectorXd u = zeros(), f = zeros(), r = zeros();
  u[7] = 1.0;
  f[7] = 1e4;
  r[0] = -1e4;
  r[7] = 1.0;
  EXPECT_EQ(m.relative(r, f, &u), 0.0);
  const auto figures = m.by_direction(r, r, f, &u);
  EXPECT_DOUBLE_EQ(figures.relative[0], 1.0 / 2e4);
  EXPECT_NEAR(figures.round_off[0], std::numeric_limits<double>::epsilon() * (1e16 + 1e4) / 2e4, 1e-18);
  r[7] = 1e3;
  EXPECT_GT(m.relative(r, f, &u), 0.0);
}

}  // namespace
