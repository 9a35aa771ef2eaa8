// The rules of one Newton iteration, each on its own: when a small step settles the state,
// when a kept factor stays, when a line search that finds no descent has reached round-off,
// and when the pass has converged after its step.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "models/varn/second_order/newton.h"

namespace {

using namespace varn::second_order;

constexpr double kTol = 1e-6;

struct SettleCase {
  std::string what;
  double d, size, rel;
  bool settled;
};

TEST(NewtonRules, ASmallStepSettlesOnlyWithTheResidualItLeavesWithinTenTolerances) {
  const std::vector<SettleCase> cases = {
      {"small against |u|", 1e-6, 2.0, kTol, true},
      {"small against 1 when |u| < 1", 5e-5, 1e-3, kTol, true},
      {"too long", 3e-4, 2.0, kTol, false},
      {"ten tolerances left", 1e-6, 2.0, 10.0 * kTol, true},
      {"more than ten tolerances left", 1e-6, 2.0, 11.0 * kTol, false},
      {"residual not finite", 1e-6, 2.0, std::numeric_limits<double>::quiet_NaN(), false},
  };
  for (const SettleCase& c : cases) EXPECT_EQ(settled_step(c.d, c.size, c.rel, kTol), c.settled) << c.what;
}

TEST(NewtonRules, AKeptFactorStaysWhileItsFullStepContractsTheResidualFourfold) {
  EXPECT_TRUE(keeps_factor(true, 0.5, 0.9, 1.0));     // a fresh factor stays in any case
  EXPECT_TRUE(keeps_factor(false, 1.0, 0.25, 1.0));   // a quarter: still worth its solves
  EXPECT_FALSE(keeps_factor(false, 1.0, 0.26, 1.0));  // contracts too little
  EXPECT_FALSE(keeps_factor(false, 0.5, 0.1, 1.0));   // a shortened step: no tangent to keep
  EXPECT_FALSE(keeps_factor(false, 1.0, std::numeric_limits<double>::quiet_NaN(), 1.0));
}

TEST(NewtonRules, ANewtonStepFarBelowTheStateWithNoDescentIsRoundOff) {
  const SettleTest base{true, true, false, 1e-12, 1e-2, 6e-6, kTol};
  EXPECT_TRUE(settled_at_round_off(base));
  SettleTest t = base;
  t.fresh = false;  // a kept factor's step is no Newton step of this state
  EXPECT_FALSE(settled_at_round_off(t));
  t = base;
  t.damped = true;  // a damped step is small because it was made small
  EXPECT_FALSE(settled_at_round_off(t));
  t = base;
  t.curve_consistent = false;  // the curves not yet read at this pass's states
  EXPECT_FALSE(settled_at_round_off(t));
  t = base;
  t.residual = 2e-5;  // more unbalanced than the judgement of the reported state allows
  EXPECT_FALSE(settled_at_round_off(t));
}

struct ConvergedCase {
  std::string what;
  AcceptedStep step;
  ConvergenceTest test;
  bool converged;
};

TEST(NewtonRules, ThePassConvergesAfterItsStepOnlyByASettledFullStepOrAResidualBelowTheTolerance) {
  const AcceptedStep small_full{1e-8, 1.0, 1.0, 5e-6, false};
  const AcceptedStep equilibrium_half{1e-2, 1.0, 0.5, 5e-7, false};
  const ConvergenceTest plain{false, true, false, kTol};
  const ConvergenceTest curved{true, true, false, kTol};
  const ConvergenceTest rigid{false, true, true, kTol};
  const ConvergenceTest unread{true, false, false, kTol};
  const std::vector<ConvergedCase> cases = {
      {"small full step", small_full, plain, true},
      {"small full step, damped", {1e-8, 1.0, 1.0, 5e-6, true}, plain, false},
      {"small shortened step", {1e-8, 1.0, 0.5, 5e-6, false}, plain, false},
      {"small full step with curves: the next residual decides", small_full, curved, false},
      {"trial residual below the tolerance", equilibrium_half, plain, true},
      {"the same on the rigid path, whose trial residual is the linearised one", equilibrium_half, rigid, false},
      {"the same with curves", equilibrium_half, curved, false},
      {"curves not yet read", small_full, unread, false},
  };
  for (const ConvergedCase& c : cases) EXPECT_EQ(converged_after_step(c.step, c.test), c.converged) << c.what;
}

}  // namespace
