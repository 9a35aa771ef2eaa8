// Supports: which DOFs they hold, springs in the operator, the exact and penalty impositions on
// a reduced system, and the constrained solve with its singular-matrix message.
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "fatal.h"
#include "functions/geometry.h"
#include "logging.h"
#include "functions/support_utils.h"
#include "global_system_models.h"
#include "models/varn/first_order.h"

namespace {

using namespace varn;
using namespace varn::global_test;
using T = SupportConditionType;

constexpr double kP = 1.0e4;
const std::string kSingular = "Stiffness matrix is singular or near-singular";

std::vector<std::size_t> node_dofs(std::uint32_t node_id, std::initializer_list<int> ks) {
  std::vector<std::size_t> out;
  for (int k : ks) out.push_back(7 * (node_id - 1) + static_cast<std::size_t>(k));
  return out;
}

// ---------------------------------------------------------------------------------------------
// Springs.

class TipSpring : public ::testing::TestWithParam<double> {};

TEST_P(TipSpring, CantileverOnASpring) {
  // δ = P / (k_s + 3EI/L³): the spring and the cantilever share the load.
  const double k_s = GetParam();
  const Props p;
  VARN v = empty_model(p);
  v.nodal_supports.push_back(clamp(1));
  NodalSupport s = support(2, {T::Free, T::Spring, T::Free}, {T::Free, T::Free, T::Free});
  s.displacement_conditions["Y"].stiffness = k_s;
  v.nodal_supports.push_back(s);
  const double length = 3.0;
  add_line(v, 3, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), length, 1, 2);
  add_nodal_load(v, 1, 4, kP, {0, -1, 0});
  auto u = solve_case(v, 1);
  ASSERT_TRUE(u) << u.error();
  const double expected = -kP / (k_s + 3.0 * p.e * p.i_z / std::pow(length, 3));
  EXPECT_NEAR(dof(*u, 4, 1), expected, 1e-9 * std::abs(expected));
}

INSTANTIATE_TEST_SUITE_P(Stiffnesses, TipSpring, ::testing::Values(1e3, 1e5, 1.8666e5, 1e7, 1e10));

TEST(Springs, BeamCarriedBySpringsAloneSolvesWithoutConstraints) {
  // Every DOF of the base is a spring, so nothing is constrained and the operator carries the
  // structure on its own: δ = P/k_y + P·L²/k_rz + P·L³/(3EI).
  const Props p;
  VARN v = empty_model(p);
  NodalSupport s = support(1, {T::Spring, T::Spring, T::Spring}, {T::Spring, T::Spring, T::Spring});
  const double k_t = 4e6, k_r = 9e6;
  for (auto* m : {&s.displacement_conditions, &s.rotation_conditions})
    for (auto& [axis, c] : *m) c.stiffness = m == &s.displacement_conditions ? k_t : k_r;
  v.nodal_supports.push_back(s);
  const double length = 2.5;
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), length, 1);
  add_nodal_load(v, 1, 3, kP, {0, 1, 0});
  auto dofs = v.collect_constrained_dofs_full();
  ASSERT_TRUE(dofs);
  EXPECT_TRUE(dofs->empty());
  auto u = solve_case(v, 1);
  ASSERT_TRUE(u) << u.error();
  const double expected = kP / k_t + kP * length * length / k_r + kP * std::pow(length, 3) / (3.0 * p.e * p.i_z);
  EXPECT_NEAR(dof(*u, 3, 1), expected, 1e-9 * expected);
}

TEST(Springs, ReleasedOneSidedConditionsCarryNoSpring) {
  // A one-sided Y condition with a stiffness value at the tip, loaded so that it would have to
  // pull: the active-set loop releases it and the stiffness value makes no spring, so the tip
  // deflects as a free cantilever's.
  const Props p;
  for (T one_sided : {T::PositiveOnly, T::NegativeOnly}) {
    VARN v = empty_model(p);
    v.nodal_supports.push_back(clamp(1));
    NodalSupport tip = support(2, {T::Free, T::Free, T::Free}, {T::Free, T::Free, T::Free});
    tip.displacement_conditions["Y"] = condition(one_sided, 1e5);
    v.nodal_supports.push_back(tip);
    add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 2.0, 1, 2);
    const double sense = one_sided == T::PositiveOnly ? 1.0 : -1.0;
    add_nodal_load(v, 1, 3, kP, {0, sense, 0});
    auto solved = solve_load_case_unstored(v, 1);
    ASSERT_TRUE(solved) << solved.error();
    const double expected = sense * kP * 8.0 / (3.0 * p.e * p.i_z);
    EXPECT_NEAR(dof(solved->u, 3, 1), expected, 1e-9 * std::abs(expected));
  }
}

// ---------------------------------------------------------------------------------------------
// Which DOFs a support holds.

struct FixityCase {
  const char* name;
  NodalSupport support;
  std::vector<int> held;  // DOFs of the supported node in the constrained list
};

NodalSupport with(NodalSupport s, const char* key, SupportConditionType t, bool rotation = false) {
  (rotation ? s.rotation_conditions : s.displacement_conditions)[key] = condition(t, 1e5);
  return s;
}

class Fixity : public ::testing::TestWithParam<FixityCase> {};

TEST_P(Fixity, ConstrainedDofsOfTheSupportedNode) {
  const auto& c = GetParam();
  VARN v = empty_model();
  v.nodal_supports.push_back(c.support);
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 2.0, 1);
  auto dofs = v.collect_constrained_dofs_full();
  ASSERT_TRUE(dofs) << dofs.error();
  std::vector<std::size_t> expected;
  for (int k : c.held) expected.push_back(static_cast<std::size_t>(k));
  EXPECT_EQ(*dofs, expected);
}

NodalSupport warping_fixed() {
  NodalSupport s = clamp(1);
  s.warping_condition = condition(T::Fixed);
  return s;
}
NodalSupport warping_free() {
  NodalSupport s = clamp(1);
  s.warping_condition = condition(T::Free);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Fixity,
    ::testing::Values(
        FixityCase{"NoConditionsHoldAllButWarping", clamp(1), {0, 1, 2, 3, 4, 5}},
        FixityCase{"WarpingFixed", warping_fixed(), {0, 1, 2, 3, 4, 5, 6}},
        FixityCase{"WarpingFree", warping_free(), {0, 1, 2, 3, 4, 5}},
        FixityCase{"LowerCaseKeyFound", with(clamp(1), "y", T::Free), {0, 2, 3, 4, 5}},
        FixityCase{"UpperCaseKeyWins", with(with(clamp(1), "y", T::Free), "Y", T::Fixed), {0, 1, 2, 3, 4, 5}},
        FixityCase{"SpringIsNotHeld", with(clamp(1), "Z", T::Spring), {0, 1, 3, 4, 5}},
        FixityCase{"RotationFree", with(clamp(1), "X", T::Free, true), {0, 1, 2, 4, 5}},
        // One-sided conditions are held until the active-set loop releases them.
        FixityCase{"PositiveOnlyIsHeld", with(with(clamp(1), "Y", T::Free), "X", T::PositiveOnly), {0, 2, 3, 4, 5}},
        FixityCase{"NegativeOnlyIsHeld", with(with(clamp(1), "X", T::Free, true), "Z", T::NegativeOnly, true),
                   {0, 1, 2, 4, 5}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Fixity, UnknownSupportIdHoldsNothing) {
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 2.0, 5);
  auto dofs = v.collect_constrained_dofs_full();
  ASSERT_TRUE(dofs);
  EXPECT_TRUE(dofs->empty());
  Eigen::VectorXd x = Eigen::VectorXd::Ones(21);
  v.zero_support_dofs(x);
  EXPECT_EQ(x, Eigen::VectorXd::Ones(21));
}

TEST(Fixity, FirstMemberEndDecidesButZeroingTakesEveryEnd) {
  // Node 2 is the end of member 1 with support 1 (all held) and the start of member 2 with
  // support 2 (only rz held).
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  v.nodal_supports.push_back(support(2, {T::Free, T::Free, T::Free}, {T::Free, T::Free, T::Fixed}));
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(1, node(1, 0, 0, 0), node(2, 1, 0, 0, 1), MemberType::Normal));
  ms.push_back(member(2, node(2, 1, 0, 0, 2), node(3, 2, 0, 0), MemberType::Normal));
  auto dofs = v.collect_constrained_dofs_full();
  ASSERT_TRUE(dofs);
  EXPECT_EQ(*dofs, node_dofs(2, {0, 1, 2, 3, 4, 5}));

  std::swap(ms[0], ms[1]);
  dofs = v.collect_constrained_dofs_full();
  ASSERT_TRUE(dofs);
  EXPECT_EQ(*dofs, node_dofs(2, {5}));

  Eigen::VectorXd x = Eigen::VectorXd::Ones(21);
  v.zero_support_dofs(x);
  for (int k = 0; k < 7; ++k) EXPECT_EQ(x[7 + k], k == 6 ? 1.0 : 0.0) << k;
  EXPECT_EQ(x.head(7), Eigen::VectorXd::Ones(7));
  EXPECT_EQ(x.tail(7), Eigen::VectorXd::Ones(7));
}

TEST(Fixity, ZeroEnergyDofsAreConstrained) {
  // A node reached only by bars has no rotational or warping stiffness.
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(1, node(1, 0, 0, 0, 1), node(2, 1, 0, 0), MemberType::Truss));
  auto dofs = v.collect_constrained_dofs_full();
  ASSERT_TRUE(dofs);
  EXPECT_EQ(*dofs, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6, 10, 11, 12, 13}));
}

// ---------------------------------------------------------------------------------------------
// Constraint rows on a reduced system.

struct OneHotCase {
  const char* name;
  SparseRow row;
  std::optional<std::size_t> pivot;
};

class OneHot : public ::testing::TestWithParam<OneHotCase> {};

TEST_P(OneHot, DominantEntry) { EXPECT_EQ(VARN::detect_one_hot_constraint(GetParam().row), GetParam().pivot); }

INSTANTIATE_TEST_SUITE_P(
    Rows, OneHot,
    ::testing::Values(OneHotCase{"JustInside", {{0, 1.0}, {1, 0.04}}, 0},
                      OneHotCase{"JustOutside", {{0, 1.0}, {1, 0.06}}, std::nullopt},
                      OneHotCase{"AtTheThreshold", {{2, 0.05}, {5, -1.0}}, 5},
                      OneHotCase{"EqualPair", {{0, 0.7}, {1, -0.7}}, std::nullopt},
                      OneHotCase{"EqualMagnitudes", {{3, -2.0}, {4, 2.0}, {9, 0.0}}, std::nullopt},
                      OneHotCase{"Single", {{7, -3.0}}, 7},
                      OneHotCase{"Empty", {}, std::nullopt},
                      OneHotCase{"AllZero", {{0, 0.0}, {1, 0.0}}, std::nullopt},
                      OneHotCase{"NaN", {{0, 1.0}, {1, std::numeric_limits<double>::quiet_NaN()}}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

SparseMatrix diagonal(std::initializer_list<double> d) {
  SparseAssembler a(d.size());
  std::size_t i = 0;
  for (double v : d) {
    a.add(i, i, v);
    ++i;
  }
  return a.to_csc();
}

TEST(Penalty, WeightFromTheLargestDiagonal) {
  SparseMatrix k = diagonal({3.0, -5.0, 2.0});
  const double alpha = VARN::constrain_linear_constraint_penalty(k, {{0, 0.7}, {2, -0.7}});
  EXPECT_DOUBLE_EQ(alpha, 5000.0);
  const Eigen::MatrixXd d(k);
  const double h = 0.5 * alpha;  // α·ĉᵢ·ĉⱼ with ĉ = (1/√2, −1/√2)
  EXPECT_NEAR(d(0, 0), 3.0 + h, 1e-9);
  EXPECT_NEAR(d(2, 2), 2.0 + h, 1e-9);
  EXPECT_NEAR(d(0, 2), -h, 1e-9);
  EXPECT_NEAR(d(2, 0), -h, 1e-9);
  EXPECT_EQ(d(1, 1), -5.0);
}

TEST(Penalty, NoPositiveDiagonalGivesUnitScale) {
  // The scale is the largest diagonal magnitude; only an all-zero diagonal falls back to 1.
  SparseMatrix zero = diagonal({0.0, 0.0});
  EXPECT_DOUBLE_EQ(VARN::constrain_linear_constraint_penalty(zero, {{1, 4.0}}), 1000.0);
  EXPECT_NEAR(Eigen::MatrixXd(zero)(1, 1), 1000.0, 1e-12);
  SparseMatrix negative = diagonal({0.0, -2.0});
  EXPECT_DOUBLE_EQ(VARN::constrain_linear_constraint_penalty(negative, {{0, 1.0}}), 2000.0);
  EXPECT_NEAR(Eigen::MatrixXd(negative)(0, 0), 2000.0, 1e-12);
  SparseMatrix empty(0, 0);
  EXPECT_DOUBLE_EQ(VARN::constrain_linear_constraint_penalty(empty, {}), 1000.0);
  // A row without weight adds nothing.
  SparseMatrix k2 = diagonal({4.0});
  EXPECT_DOUBLE_EQ(VARN::constrain_linear_constraint_penalty(k2, {}), 4000.0);
  EXPECT_EQ(Eigen::MatrixXd(k2)(0, 0), 4.0);
}

TEST(ReducedConstraints, NothingEliminatedImposesEveryHeldDofExactly) {
  // With nothing eliminated every held DOF is retained: the reduced imposition is the dense
  // textbook one (zero row and column, unit diagonal, zero load).
  VARN v = empty_model();
  NodalSupport s = clamp(1);
  s.warping_condition = condition(T::Fixed);
  v.nodal_supports.push_back(s);
  v.nodal_supports.push_back(support(2, {T::Free, T::Fixed, T::Free}, {T::Free, T::Free, T::Free}));
  add_line(v, 3, Eigen::Vector3d::Zero(), Eigen::Vector3d(1, 1, 0), 3.0, 1, 2);
  auto e = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_TRUE(e) << e.error();
  ASSERT_TRUE(e->identity);
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(k);
  Eigen::VectorXd f = Eigen::VectorXd::LinSpaced(28, 1.0, 28.0);

  Eigen::MatrixXd kd(*k);
  Eigen::VectorXd fd = f;
  for (std::size_t d : {0, 1, 2, 3, 4, 5, 6, 22}) constrain_single_dof(kd, fd, d, 0.0);

  SparseMatrix kr = *k;
  Eigen::VectorXd fr = f;
  v.apply_boundary_conditions_reduced(*e, kr, fr);
  EXPECT_EQ(Eigen::MatrixXd(kr), kd);
  EXPECT_EQ(fr, fd);

  SparseMatrix kk = *k;
  const auto exact = v.apply_boundary_conditions_to_k_only(*e, kk);
  EXPECT_EQ(exact, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6, 22}));
  EXPECT_EQ(Eigen::MatrixXd(kk), kd);
}

class CollectingSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> messages;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override { messages.emplace_back(msg.payload.data(), msg.payload.size()); }
  void flush_() override {}
};

TEST(ReducedConstraints, EventsReportPenalisedTranslationsAndExactRotations) {
  // Clamped base (retained), and a pinned node hung from the beam tip by a vertical arm: its
  // X and Y translations are penalised rows, its Z translation follows the tip's uz alone.
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  v.nodal_supports.push_back(support(2, {T::Fixed, T::Fixed, T::Fixed}, {T::Free, T::Free, T::Free}));
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 3.0, 1);
  v.member_sets.front().members.push_back(member(3, node(3, 3, 0, 0), node(4, 3, 0, -0.5, 2), MemberType::Rigid));
  auto e = v.build_rigid_elimination_partial_using_hinges();
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(e && k);
  ReducedSystem red = VARN::reduce_system_sparse_internal(*k, Eigen::VectorXd::Zero(28), *e);
  const double alpha = 1000.0 * sparse_max_abs_diagonal(red.k);

  auto logger = logger_for("varn::diagnostics");
  auto sink = std::make_shared<CollectingSink>();
  logger->sinks().push_back(sink);
  logger->set_level(spdlog::level::debug);
  v.apply_boundary_conditions_reduced(*e, red.k, red.f);
  logger->set_level(spdlog::level::off);
  logger->sinks().pop_back();

  auto penalty = [&](const char* dof) {
    return diagnostics::to_json(diagnostics::Constraint{4, dof, false, "Penalty", alpha, std::nullopt});
  };
  auto exact = [&](const char* dof, std::uint64_t pivot) {
    return diagnostics::to_json(diagnostics::Constraint{1, dof, true, "ExactRetained", std::nullopt, pivot});
  };
  EXPECT_EQ(sink->messages,
            (std::vector<std::string>{exact("RX", 3), exact("RY", 4), exact("RZ", 5), penalty("UX"), penalty("UY")}));
  EXPECT_EQ(sink->messages.front(),
            "{\"type\":\"Constraint\",\"node_id\":1,\"dof\":\"RX\",\"retained_in_reduced\":true,"
            "\"method\":\"ExactRetained\",\"penalty_alpha\":null,\"pivot_index\":3}");
  // The matrix-only form makes the same choices without events and names the exact indices:
  // node 1's six DOFs and the tip's uz, which the pinned node follows alone.
  SparseMatrix kk = VARN::reduce_system_sparse_internal(*k, Eigen::VectorXd::Zero(28), *e).k;
  const auto fixed = v.apply_boundary_conditions_to_k_only(*e, kk);
  EXPECT_EQ(fixed, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, *e->reduced_column(14 + 2)}));
  EXPECT_EQ(Eigen::MatrixXd(kk), Eigen::MatrixXd(red.k));
}

// A rigid link 1→2 (2 m along X) whose master 1 is held in UX, UY, UZ, RX, RZ and whose slave 2
// is held in UZ, a cantilever 2→3 beyond it. The slave's condition uz₂ = uz₁ − 2·ry₁ = 0 meets
// the master's exact uz₁ = 0: on the free columns it says ry₁ = 0, which it then fixes exactly;
// it must neither be laid as a penalty over the master's exact row (which would undo it) nor
// depend on the order in which the members list the two nodes.
VARN supported_slave_model(bool link_first) {
  VARN v = empty_model();
  v.nodal_supports.push_back(support(1, {T::Fixed, T::Fixed, T::Fixed}, {T::Fixed, T::Free, T::Fixed}));
  v.nodal_supports.push_back(support(2, {T::Free, T::Free, T::Fixed}, {T::Free, T::Free, T::Free}));
  Member link = member(1, node(1, 0, 0, 0, 1), node(2, 2, 0, 0, 2), MemberType::Rigid);
  Member beam = member(2, node(2, 2, 0, 0, 2), node(3, 6, 0, 0), MemberType::Normal);
  v.member_sets.front().members = link_first ? std::vector<Member>{link, beam} : std::vector<Member>{beam, link};
  v.settings.analysis_options.rigid_strategy = RigidStrategy::LinearMpc;
  return v;
}

TEST(ReducedConstraints, SupportedSlaveKeepsItsMastersExactConditionWhateverTheMemberOrder) {
  const Props p;
  std::vector<Eigen::VectorXd> solutions;
  for (const bool link_first : {true, false}) {
    VARN v = supported_slave_model(link_first);
    auto e = v.build_rigid_elimination_partial_using_hinges();
    auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
    ASSERT_TRUE(e && k);
    Eigen::VectorXd f = Eigen::VectorXd::Zero(k->rows());
    f[static_cast<Eigen::Index>(dof_index(3, 2))] = -kP;
    ReducedSystem red = VARN::reduce_system_sparse_internal(*k, f, *e);
    SparseMatrix kk = red.k;
    const auto fixed = v.apply_boundary_conditions_to_k_only(*e, kk);
    // Node 1's UX, UY, UZ, RX, RZ as retained, and its RY through the slave's condition.
    std::vector<std::size_t> expected;
    for (int dof_k : {0, 1, 2, 3, 4, 5}) expected.push_back(*e->reduced_column(dof_index(1, dof_k)));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(fixed, expected) << (link_first ? "link first" : "beam first");
    // Every exactly fixed DOF keeps a unit diagonal and nothing else in its row.
    const Eigen::MatrixXd dense(kk);
    for (std::size_t i : fixed) {
      const auto r = static_cast<Eigen::Index>(i);
      EXPECT_EQ(dense(r, r), 1.0);
      EXPECT_EQ(dense.row(r).cwiseAbs().sum(), 1.0);
    }
    // The slave is a clamp then: the tip of the 4 m cantilever goes down by PL³/3EI.
    v.apply_boundary_conditions_reduced(*e, red.k, red.f);
    const Eigen::VectorXd u = VARN::expand_solution(*e, Eigen::MatrixXd(red.k).lu().solve(red.f));
    const double tip = -kP * 64.0 / (3.0 * p.e * p.i_y);
    // Exact conditions, an exact element and a well-conditioned 14-DOF system: round-off only.
    EXPECT_NEAR(dof(u, 3, 2), tip, 1e-12 * std::abs(tip));
    for (int dof_k : {0, 1, 2, 3, 4, 5}) EXPECT_EQ(dof(u, 1, dof_k), 0.0) << dof_k;
    solutions.push_back(u);
  }
  EXPECT_EQ(solutions[0], solutions[1]);
}

// ---------------------------------------------------------------------------------------------
// Singular systems.

TEST(Singular, BeamWithoutSupports) {
  VARN v = empty_model();
  add_line(v, 3, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 3.0, std::nullopt);
  add_nodal_load(v, 1, 4, kP, {0, -1, 0});
  auto dofs = v.collect_constrained_dofs_full();
  ASSERT_TRUE(dofs);
  EXPECT_TRUE(dofs->empty());  // nothing to impose: the free operator itself is solved
  auto u = solve_case(v, 1);
  ASSERT_FALSE(u);
  // The elimination breaks down at one of the rigid-body DOFs of the free line of beams.
  EXPECT_TRUE(std::regex_match(u.error(), std::regex(std::string(kSingular) +
                                                     ": node [1-4] is free to move in (UX|UY|UZ|RX|RY|RZ)")))
      << u.error();
}

TEST(Singular, FreeTwistIsAMechanism) {
  // Pinned at both ends with the twist free at both: the beam spins about its axis.
  VARN v = empty_model();
  v.nodal_supports.push_back(support(1, {T::Fixed, T::Fixed, T::Fixed}, {T::Free, T::Free, T::Free}));
  v.nodal_supports.push_back(support(2, {T::Free, T::Fixed, T::Fixed}, {T::Free, T::Free, T::Free}));
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 3.0, 1, 2);
  add_nodal_load(v, 1, 2, kP, {0, -1, 0});
  auto u = solve_case(v, 1);
  ASSERT_FALSE(u);
  // The twist is the one motion nothing resists: the message names it at one of the two nodes
  // (which one depends on the elimination order).
  EXPECT_TRUE(std::regex_match(u.error(), std::regex(std::string(kSingular) + ": node [12] is free to move in RX")))
      << u.error();
}

TEST(Singular, CallerMessageIsReturned) {
  VARN v = empty_model();
  add_line(v, 1, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 3.0, std::nullopt);
  auto k = v.build_operator_with_supports_sparse_internal(ActiveMap{}, nullptr);
  ASSERT_TRUE(k);
  Eigen::VectorXd f = Eigen::VectorXd::Ones(14);
  const std::string msg = "Stiffness matrix is singular after reactivation pass.";
  // The caller's message, followed by the DOF where the elimination broke down: a free beam
  // can move as a rigid body, so it names one of the DOFs of its two nodes.
  const std::regex worded("Stiffness matrix is singular after reactivation pass\\. Node [12] is free to move in "
                          "(UX|UY|UZ|RX|RY|RZ|WARP)");
  auto u = v.solve_constrained_linear_system(*k, f, {}, nullptr, msg);
  ASSERT_FALSE(u);
  EXPECT_TRUE(std::regex_match(u.error(), worded)) << u.error();
  auto w = v.solve_constrained_linear_system(*k, f, {0, 1}, nullptr, msg);  // still spins
  ASSERT_FALSE(w);
  EXPECT_TRUE(std::regex_match(w.error(), worded)) << w.error();
}

}  // namespace
