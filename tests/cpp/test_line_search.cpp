// Line search of the Newton step against scripted residuals: every step length of both tables
// is reached, the sufficient-decrease boundary, the best-so-far fall-back, the step against
// the direction, and the rule that an unchanged residual is no decrease.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "models/varn/second_order/line_search.h"

using namespace varn::second_order;

namespace {

// u = 0 and du = 1 in one DOF: the trial's only entry is the step length itself, which the
// script looks up. A length the script does not list fails to evaluate (the trial is skipped).
struct Script {
  std::map<double, double> rel;
  std::vector<double> asked;

  std::optional<double> at(const Eigen::VectorXd& trial) {
    asked.push_back(trial[0]);
    const auto it = rel.find(trial[0]);
    if (it == rel.end()) return std::nullopt;
    return it->second;
  }
  TrialResidualFn sparse() {
    return [this](const Eigen::VectorXd& trial) -> std::optional<TrialResidual> {
      const auto r = at(trial);
      if (!r) return std::nullopt;
      // The internal forces carry the step length, to check which trial's forces come back.
      return TrialResidual{*r, Eigen::VectorXd::Constant(2, trial[0])};
    };
  }
  TrueResidualFn true_residual() {
    return [this](const Eigen::VectorXd& trial) { return at(trial); };
  }
};

const Eigen::VectorXd kU = Eigen::VectorXd::Zero(1);
const Eigen::VectorXd kDu = Eigen::VectorXd::Ones(1);
constexpr double kRes0 = 1.0;
const std::vector<double> kSparseTable = {1.0, 0.5, 0.25, 0.125, kAlphaMin};

// The largest residual that still counts as a sufficient decrease at α.
double boundary(double alpha) { return (1.0 - 0.01 * alpha) * kRes0; }

// ---- sparse path ------------------------------------------------------------------------------

class SparseTableRow : public ::testing::TestWithParam<std::size_t> {};

// Every length before row k raises the residual; row k sits exactly on the boundary.
TEST_P(SparseTableRow, AcceptedAtTheFirstSufficientDecrease) {
  const std::size_t k = GetParam();
  Script s;
  for (std::size_t i = 0; i < k; ++i) s.rel[kSparseTable[i]] = 2.0;
  s.rel[kSparseTable[k]] = boundary(kSparseTable[k]);
  const auto r = line_search_sparse(kU, kDu, kRes0, s.sparse());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->alpha, kSparseTable[k]);
  EXPECT_EQ(r->u[0], kSparseTable[k]);
  EXPECT_EQ(r->f_int[0], kSparseTable[k]);
  EXPECT_EQ(r->rel, boundary(kSparseTable[k]));
  EXPECT_EQ(s.asked.size(), k + 1);
}

INSTANTIATE_TEST_SUITE_P(LineSearch, SparseTableRow, ::testing::Values(0u, 1u, 2u, 3u, 4u));

TEST(LineSearchSparse, FullStepWithEnoughDecreaseTakesOneEvaluation) {
  Script s;
  s.rel[1.0] = 0.99;
  const auto r = line_search_sparse(kU, kDu, kRes0, s.sparse());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->alpha, 1.0);
  EXPECT_EQ(s.asked.size(), 1u);
}

TEST(LineSearchSparse, JustAboveTheBoundaryIsNotSufficient) {
  Script s;
  s.rel[1.0] = std::nextafter(0.99, 1.0);
  s.rel[0.5] = 0.5;
  const auto r = line_search_sparse(kU, kDu, kRes0, s.sparse());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->alpha, 0.5);
}

struct FallBackCase {
  const char* name;
  std::map<double, double> rel;
  double expected_alpha;
  std::size_t evaluations;
};

class SparseFallBack : public ::testing::TestWithParam<FallBackCase> {};

TEST_P(SparseFallBack, TakesTheBestTrial) {
  const FallBackCase& c = GetParam();
  Script s;
  s.rel = c.rel;
  const auto r = line_search_sparse(kU, kDu, kRes0, s.sparse());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->alpha, c.expected_alpha);
  EXPECT_EQ(r->u[0], c.expected_alpha);
  EXPECT_EQ(r->f_int[0], c.expected_alpha) << "the internal forces of another trial came back";
  EXPECT_EQ(r->rel, c.rel.at(c.expected_alpha));
  EXPECT_EQ(s.asked.size(), c.evaluations);
}

INSTANTIATE_TEST_SUITE_P(
    LineSearch, SparseFallBack,
    ::testing::Values(
        // 0.999 and 0.996 become best in turn but neither is sufficient (0.99 and 0.995 are
        // needed); nothing later is, so the smallest residual below res0 is taken after the table.
        FallBackCase{"best_after_table", {{1.0, 0.999}, {0.5, 0.996}, {0.25, 0.998}, {0.125, 0.9999}, {kAlphaMin, 1.5}},
                     0.5, 5},
        // The same start, then a sufficient decrease at 1/4.
        FallBackCase{"sufficient_later", {{1.0, 0.999}, {0.5, 0.996}, {0.25, 0.9}}, 0.25, 3},
        // 1/8 is sufficient (0.9985 <= 0.99875) but 1/2 had the smaller residual: 1/2 is taken.
        FallBackCase{"earlier_trial_smaller", {{1.0, 0.999}, {0.5, 0.996}, {0.25, 0.998}, {0.125, 0.9985}}, 0.5, 4},
        // The full step cannot be evaluated: skipped, the half step is sufficient.
        FallBackCase{"failed_trial_skipped", {{0.5, 0.5}}, 0.5, 2},
        // Every length along the direction increases the residual; the step against it lowers it.
        FallBackCase{"flip_step", {{1.0, 1.1}, {0.5, 1.1}, {0.25, 1.1}, {0.125, 1.1}, {kAlphaMin, 1.1}, {-kAlphaMin, 0.99999}},
                     -kAlphaMin, 6}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  std::map<double, double> rel;
};

class SparseFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(SparseFailure, NoTrialIsAccepted) {
  Script s;
  s.rel = GetParam().rel;
  EXPECT_FALSE(line_search_sparse(kU, kDu, kRes0, s.sparse()));
  // All five lengths and the step against the direction were tried.
  EXPECT_EQ(s.asked, (std::vector<double>{1.0, 0.5, 0.25, 0.125, kAlphaMin, -kAlphaMin}));
}

INSTANTIATE_TEST_SUITE_P(
    LineSearch, SparseFailure,
    ::testing::Values(
        // A residual equal to res0 is never a decrease, not even for the step against the direction.
        FailureCase{"equal_to_res0", {{1.0, kRes0}, {0.5, kRes0}, {0.25, kRes0}, {0.125, kRes0}, {kAlphaMin, kRes0},
                                      {-kAlphaMin, kRes0}}},
        FailureCase{"all_increase", {{1.0, 3.0}, {0.5, 2.0}, {0.25, 1.5}, {0.125, 1.2}, {kAlphaMin, 1.01}, {-kAlphaMin, 1.01}}},
        FailureCase{"nothing_evaluates", {}},
        // Non-finite residuals (a singular tangent's direction) satisfy no comparison.
        FailureCase{"nan", {{1.0, std::nan("")}, {0.5, std::nan("")}, {0.25, std::nan("")}, {0.125, std::nan("")},
                            {kAlphaMin, std::nan("")}, {-kAlphaMin, std::nan("")}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineSearchSparse, AlreadyInEquilibriumTakesTheTrialThatStaysThere) {
  // res0 = 0 and a full step that keeps it 0: the trial is returned with its own internal
  // forces, never the unmoved state without any.
  Script s;
  s.rel[1.0] = 0.0;
  const auto r = line_search_sparse(kU, kDu, 0.0, s.sparse());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->alpha, 1.0);
  EXPECT_EQ(r->f_int.size(), 2);
}

// ---- rigid path -------------------------------------------------------------------------------

std::vector<double> linearised_table() {
  std::vector<double> t;
  for (double a = 1.0; a >= kAlphaMin; a *= 0.5) t.push_back(a);
  return t;
}

TEST(LineSearchRigid, LinearisedTableHasTwelveLengthsDownToAlphaMin) {
  const auto t = linearised_table();
  ASSERT_EQ(t.size(), 12u);
  EXPECT_EQ(t.back(), kAlphaMin);
}

class RigidLinearisedRow : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RigidLinearisedRow, AcceptedAtTheFirstSufficientDecrease) {
  const auto table = linearised_table();
  const std::size_t k = GetParam();
  std::map<double, double> lin;
  for (std::size_t i = 0; i < k; ++i) lin[table[i]] = 2.0;
  lin[table[k]] = boundary(table[k]);
  std::vector<double> asked;
  Script truth;
  const auto r = line_search_rigid(
      kU, kDu, kRes0,
      [&](const Eigen::VectorXd& t) {
        asked.push_back(t[0]);
        return lin.at(t[0]);
      },
      truth.true_residual());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->alpha, table[k]);
  EXPECT_EQ(r->u_r[0], table[k]);
  EXPECT_EQ(asked.size(), k + 1);
  EXPECT_TRUE(truth.asked.empty()) << "the true residual is only consulted when the linearised search fails";
}

INSTANTIATE_TEST_SUITE_P(LineSearch, RigidLinearisedRow, ::testing::Range<std::size_t>(0, 12));

TEST(LineSearchRigid, ShortestLinearisedStepNeedsOnlyAPlainDecrease) {
  // At 2^-11 a residual equal to res0 is still taken (the sufficient decrease would need
  // 0.9999951171875·res0).
  std::vector<double> asked;
  Script truth;
  const auto r = line_search_rigid(
      kU, kDu, kRes0,
      [&](const Eigen::VectorXd& t) {
        asked.push_back(t[0]);
        return t[0] == kAlphaMin ? kRes0 : 2.0;
      },
      truth.true_residual());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->alpha, kAlphaMin);
  EXPECT_EQ(asked.size(), 12u);
  EXPECT_TRUE(truth.asked.empty());
}

TEST(LineSearchRigid, LinearisedDecreaseWinsEvenWhenTheTrueResidualGrows) {
  Script truth;
  truth.rel[1.0] = 10.0;
  const auto r = line_search_rigid(kU, kDu, kRes0, [](const Eigen::VectorXd&) { return 0.5; }, truth.true_residual());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->alpha, 1.0);
  EXPECT_EQ(r->rel, 0.5);
  EXPECT_TRUE(truth.asked.empty());
}

const std::vector<double> kRigidTrueTable = {1.0, 0.5, 0.25, kAlphaMin};
const auto kLinearisedFails = [](const Eigen::VectorXd&) { return 2.0; };

class RigidTrueRow : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RigidTrueRow, ReachedOnlyAfterTheLinearisedSearchFails) {
  const std::size_t k = GetParam();
  Script truth;
  for (std::size_t i = 0; i < k; ++i) truth.rel[kRigidTrueTable[i]] = 2.0;
  truth.rel[kRigidTrueTable[k]] = boundary(kRigidTrueTable[k]);
  const auto r = line_search_rigid(kU, kDu, kRes0, kLinearisedFails, truth.true_residual());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->alpha, kRigidTrueTable[k]);
  EXPECT_EQ(r->rel, boundary(kRigidTrueTable[k]));
  EXPECT_EQ(truth.asked, std::vector<double>(kRigidTrueTable.begin(), kRigidTrueTable.begin() + static_cast<long>(k) + 1))
      << "1/8 is not among the true-residual lengths";
}

INSTANTIATE_TEST_SUITE_P(LineSearch, RigidTrueRow, ::testing::Values(0u, 1u, 2u, 3u));

TEST(LineSearchRigid, NoFallBackToTheBestTrueResidual) {
  // 0.999 at the full step is below res0 but not sufficient, and nothing later is: the search
  // fails (with the step against the direction tried last).
  Script truth;
  truth.rel = {{1.0, 0.999}, {0.5, 0.9999}, {0.25, 0.99999}, {kAlphaMin, 1.0}, {-kAlphaMin, 1.0}};
  EXPECT_FALSE(line_search_rigid(kU, kDu, kRes0, kLinearisedFails, truth.true_residual()));
  EXPECT_EQ(truth.asked, (std::vector<double>{1.0, 0.5, 0.25, kAlphaMin, -kAlphaMin}));
}

struct RigidFlipCase {
  const char* name;
  double flip_rel;
  bool accepted;
};

class RigidFlip : public ::testing::TestWithParam<RigidFlipCase> {};

TEST_P(RigidFlip, NeedsASufficientDecrease) {
  Script truth;
  truth.rel = {{1.0, 2.0}, {0.5, 2.0}, {0.25, 2.0}, {kAlphaMin, 2.0}, {-kAlphaMin, GetParam().flip_rel}};
  const auto r = line_search_rigid(kU, kDu, kRes0, kLinearisedFails, truth.true_residual());
  ASSERT_EQ(r.has_value(), GetParam().accepted);
  if (r) {
    EXPECT_EQ(r->alpha, -kAlphaMin);
    EXPECT_EQ(r->u_r[0], -kAlphaMin);
  }
}

INSTANTIATE_TEST_SUITE_P(LineSearch, RigidFlip,
                         ::testing::Values(RigidFlipCase{"on_the_boundary", 0.9999951171875, true},
                                           RigidFlipCase{"plain_decrease_is_not_enough", 0.999999, false},
                                           RigidFlipCase{"equal", 1.0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LineSearchRigid, NonFiniteDirectionFails) {
  // A singular dense tangent gives a non-finite direction: every residual is NaN.
  const Eigen::VectorXd du = Eigen::VectorXd::Constant(1, std::numeric_limits<double>::quiet_NaN());
  int true_calls = 0;
  const auto r = line_search_rigid(
      kU, du, kRes0, [](const Eigen::VectorXd& t) { return std::abs(t[0]) * 0.0 + t[0]; },
      [&](const Eigen::VectorXd& t) -> std::optional<double> {
        ++true_calls;
        return t[0];
      });
  EXPECT_FALSE(r);
  EXPECT_EQ(true_calls, 5);
}

}  // namespace
