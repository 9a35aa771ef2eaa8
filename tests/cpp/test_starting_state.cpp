// Where a second-order solve starts: the predictor (projected onto the supports and rigid links), the
// first-order state of the full load with its tie/strut map, the zero start when that state
// cannot be found, the spring-consistent start under support stiffness curves; and the
// projector of the rigid path against a dense least-squares reference.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "analysis.h"
#include "fixture_models.h"
#include "functions/geometry.h"
#include "global_system_models.h"
#include "models/varn/active_set.h"
#include "models/varn/second_order/starting_state.h"
#include "models/varn/varn.h"

using namespace varn;
using namespace varn::global_test;

namespace {


using varn::testing::load_si;

::testing::AssertionResult close_relative(const Eigen::VectorXd& a, const Eigen::VectorXd& b, double rel) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
  const double diff = (a - b).lpNorm<Eigen::Infinity>();
  const double scale = std::max(a.lpNorm<Eigen::Infinity>(), b.lpNorm<Eigen::Infinity>());
  if (diff <= rel * scale) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "max difference " << diff << " > " << rel << " x " << scale;
}

Eigen::VectorXd random_vector(Eigen::Index n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Eigen::VectorXd v(n);
  for (Eigen::Index i = 0; i < n; ++i) v[i] = dist(gen);
  return v;
}

// A clamped cantilever along X in three members with a tip load.
VARN cantilever() {
  VARN model = empty_model();
  model.nodal_supports.push_back(clamp(1));
  add_line(model, 3, {0, 0, 0}, {1, 0, 0}, 6.0, 1);
  add_nodal_load(model, 1, 4, 1000.0, {0.0, 0.0, -1.0});
  return model;
}

// A clamped cantilever with a rigid arm at its tip (two links in a chain, so one slave hangs
// on another), loaded at the end of the arm: the rigid-elimination path.
VARN cantilever_with_rigid_arm() {
  VARN model = empty_model();
  model.nodal_supports.push_back(clamp(1));
  auto& members = model.member_sets.front().members;
  members.push_back(member(1, node(1, 0, 0, 0, 1), node(2, 3, 0, 0), MemberType::Normal));
  members.push_back(member(2, node(2, 3, 0, 0), node(3, 3, 1, 0), MemberType::Rigid));
  members.push_back(member(3, node(3, 3, 1, 0), node(4, 3, 1, 0.5), MemberType::Rigid));
  add_nodal_load(model, 1, 4, 1000.0, {0.0, 0.0, -1.0});
  return model;
}

RigidPath rigid_path(const VARN& model) {
  auto e = model.build_rigid_elimination_partial_using_hinges();
  if (!e) throw std::runtime_error(e.error());
  auto p = RigidProjector::create(*e);
  if (!p) throw std::runtime_error(p.error());
  return RigidPath{std::move(*e), std::move(*p)};
}

Eigen::VectorXd load_vector(const VARN& model, std::uint32_t case_id) {
  auto f = model.assemble_load_vector_for_case(case_id);
  if (!f) throw std::runtime_error(f.error());
  return *f;
}

// ---- projector ------------------------------------------------------------------------------

TEST(RigidProjector, LeastSquaresFitMatchesTheDenseNormalEquations) {
  const VARN model = cantilever_with_rigid_arm();
  ASSERT_TRUE(model.needs_dense_rigid_path());
  const RigidPath rigid = rigid_path(model);
  const Eigen::MatrixXd c = Eigen::MatrixXd(rigid.elimination.c);
  ASSERT_LT(c.cols(), c.rows());
  const Eigen::VectorXd p = random_vector(c.rows(), 7);

  const Eigen::VectorXd u_r = rigid.projector.reduce(p);
  const Eigen::VectorXd reference = (c.transpose() * c).ldlt().solve(c.transpose() * p);
  // CᵀC holds ones and the arm offsets (at most 1 m): its condition number is of order 10,
  // so both solves agree to a few hundred ulps of the data.
  EXPECT_TRUE(close_relative(u_r, reference, 1e-12));
  // The fit leaves a residual orthogonal to every displacement field the links allow.
  const Eigen::VectorXd u0 = VARN::expand_solution(rigid.elimination, u_r);
  EXPECT_LE((c.transpose() * (p - u0)).lpNorm<Eigen::Infinity>(), 1e-12 * p.lpNorm<Eigen::Infinity>() * c.rows());
}

TEST(RigidProjector, FieldTheLinksAllowIsReturnedUnchanged) {
  const VARN model = cantilever_with_rigid_arm();
  const RigidPath rigid = rigid_path(model);
  const Eigen::VectorXd u_r = random_vector(static_cast<Eigen::Index>(rigid.elimination.n_r), 3);
  const Eigen::VectorXd u = VARN::expand_solution(rigid.elimination, u_r);
  // Same conditioning bound as above.
  EXPECT_TRUE(close_relative(rigid.projector.reduce(u), u_r, 1e-12));
}

TEST(RigidProjector, NothingEliminatedIsTheIdentity) {
  VARN model = cantilever_with_rigid_arm();
  model.settings.analysis_options.rigid_strategy = RigidStrategy::RigidMember;
  const RigidPath rigid = rigid_path(model);
  ASSERT_TRUE(rigid.elimination.identity);
  const Eigen::VectorXd p = random_vector(static_cast<Eigen::Index>(rigid.elimination.n), 11);
  EXPECT_EQ(rigid.projector.reduce(p), p);

  // Started from p, only the clamp moves anything: stiff links are elastic members.
  auto start = compute_starting_state(model, load_vector(model, 1), p, ActiveMap{}, &rigid);
  ASSERT_TRUE(start) << start.error();
  ASSERT_TRUE(start->u_r);
  EXPECT_EQ(start->u0, *start->u_r);
  for (Eigen::Index k = 0; k < 6; ++k) EXPECT_EQ(start->u0[k], 0.0) << "clamped DOF " << k;
  EXPECT_EQ(start->u0.tail(start->u0.size() - 7), p.tail(p.size() - 7));
}

// A hand-made C of three global and retained DOFs.
RigidElimination elimination_from(const Eigen::MatrixXd& c) {
  RigidElimination e;
  e.n = static_cast<std::size_t>(c.rows());
  e.n_r = static_cast<std::size_t>(c.cols());
  e.c = c.sparseView();
  e.c_by_row = e.c;
  e.reduced_index.assign(e.n, -1);
  return e;
}

TEST(RigidProjector, SquarePermutationIsAnExactTranspose) {
  Eigen::MatrixXd c = Eigen::MatrixXd::Zero(3, 3);
  c(0, 2) = 1.0;
  c(1, 0) = 1.0;
  c(2, 1) = 1.0;
  auto p = RigidProjector::create(elimination_from(c));
  ASSERT_TRUE(p) << p.error();
  const Eigen::VectorXd v(Eigen::Vector3d(0.1, -2.0, 3.5));
  EXPECT_EQ(p->reduce(v), Eigen::VectorXd(c.transpose() * v));
}

TEST(RigidProjector, RetainedDofThatNoRowReachesIsReported) {
  Eigen::MatrixXd c = Eigen::MatrixXd::Zero(3, 2);
  c(0, 0) = 1.0;
  c(1, 0) = 2.0;  // column 1 is empty: CᵀC is singular
  auto p = RigidProjector::create(elimination_from(c));
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error(), "SᵀS is singular; check rigid MPC topology (cycles/duplicates).");
}

// ---- starting state -------------------------------------------------------------------------

// p with every DOF the solve holds (supports, and DOFs that nothing stiffens) at zero.
Eigen::VectorXd held_at_zero(const VARN& model, Eigen::VectorXd p) {
  auto held = model.collect_constrained_dofs_full();
  if (!held) throw std::runtime_error(held.error());
  for (const std::size_t d : *held) p[static_cast<Eigen::Index>(d)] = 0.0;
  return p;
}

// A predictor may come from anywhere: a supported DOF left where it says would act as a
// settlement of the support, for the solve holds a held DOF where it starts.
TEST(StartingState, PredictorOnTheSparsePathIsTakenAsItIsAwayFromTheSupports) {
  const VARN model = cantilever();
  const Eigen::VectorXd f = load_vector(model, 1);
  const Eigen::VectorXd p = random_vector(f.size(), 5);
  const ActiveMap initial{{42u, false}};
  auto start = compute_starting_state(model, f, p, initial, nullptr);
  ASSERT_TRUE(start) << start.error();
  EXPECT_EQ(start->u0, held_at_zero(model, p));
  for (Eigen::Index k = 0; k < 6; ++k) EXPECT_EQ(start->u0[k], 0.0) << "clamped DOF " << k;
  EXPECT_NE(start->u0[7], 0.0);  // node 2 is free
  EXPECT_EQ(start->active, initial);
  EXPECT_FALSE(start->u_r);
  EXPECT_TRUE(start->predictor_given);
}

TEST(StartingState, PredictorOnTheRigidPathIsTheProjectionOfItsHeldForm) {
  const VARN model = cantilever_with_rigid_arm();
  const RigidPath rigid = rigid_path(model);
  const Eigen::VectorXd f = load_vector(model, 1);
  const Eigen::VectorXd p = random_vector(f.size(), 9);
  auto start = compute_starting_state(model, f, p, ActiveMap{}, &rigid);
  ASSERT_TRUE(start) << start.error();
  ASSERT_TRUE(start->u_r);
  EXPECT_TRUE(start->predictor_given);
  const Eigen::MatrixXd c = Eigen::MatrixXd(rigid.elimination.c);
  // The support-fixed DOFs at zero (a slave DOF, which nothing but its link stiffens, is no
  // zero-energy DOF here: it moves with its master).
  Eigen::VectorXd held = p;
  model.zero_support_dofs(held);
  const Eigen::VectorXd reference = c * (c.transpose() * c).inverse() * c.transpose() * held;
  // Conditioning of CᵀC as in the projector tests.
  EXPECT_TRUE(close_relative(start->u0, reference, 1e-12));
  EXPECT_EQ(start->u0, VARN::expand_solution(rigid.elimination, *start->u_r));
  for (Eigen::Index k = 0; k < 6; ++k) EXPECT_EQ(start->u0[k], 0.0) << "clamped DOF " << k;
}

struct BracingCase {
  std::uint32_t load_case;
  std::uint32_t off_member;
};

class StartFromFirstOrder : public ::testing::TestWithParam<BracingCase> {};

// An X-braced portal: the compressed diagonal goes slack, so the start is the portal braced by
// the other diagonal alone, with the slack one switched off in the map handed on.
TEST_P(StartFromFirstOrder, ConvergedFirstOrderStateWithItsMap) {
  const BracingCase& c = GetParam();
  const VARN model = load_si("x_braced_portal_tension_diagonals.json");
  ASSERT_FALSE(model.needs_dense_rigid_path());
  const Eigen::VectorXd f = load_vector(model, c.load_case);
  auto start = compute_starting_state(model, f, std::nullopt, init_active_map_tie_comp(model), nullptr);
  ASSERT_TRUE(start) << start.error();
  EXPECT_FALSE(start->predictor_given);
  EXPECT_FALSE(start->u_r);
  EXPECT_FALSE(is_member_active(start->active, c.off_member));
  EXPECT_TRUE(is_member_active(start->active, 9 - c.off_member));

  VARN braced_once = model;
  for (auto& set : braced_once.member_sets)
    std::erase_if(set.members, [&](const Member& m) { return m.id == c.off_member; });
  auto reference = solve_case(braced_once, c.load_case);
  ASSERT_TRUE(reference) << reference.error();
  // The slack diagonal keeps 1e-10 of its stiffness, which moves the frame by that order
  // relative to its own stiffness; 1e-6 leaves four decades for it and round-off.
  EXPECT_TRUE(close_relative(start->u0, *reference, 1e-6));

  // The state is settled: the map agrees with the displacements.
  ActiveMap again = start->active;
  const AssemblyContext ctx = model.build_lookup_maps();
  EXPECT_FALSE(update_active_set(model, start->u0, again, ctx,
                                 axial_slack_tolerance(model), true));
}

INSTANTIATE_TEST_SUITE_P(StartingState, StartFromFirstOrder,
                         ::testing::Values(BracingCase{1, 5}, BracingCase{2, 4}));

TEST(StartingState, RigidPathStartsFromTheProjectedFirstOrderState) {
  const VARN model = cantilever_with_rigid_arm();
  const RigidPath rigid = rigid_path(model);
  const Eigen::VectorXd f = load_vector(model, 1);
  auto start = compute_starting_state(model, f, std::nullopt, ActiveMap{}, &rigid);
  ASSERT_TRUE(start) << start.error();
  ASSERT_TRUE(start->u_r);
  EXPECT_EQ(start->u0, VARN::expand_solution(rigid.elimination, *start->u_r));
  auto reference = solve_case(model, 1);
  ASSERT_TRUE(reference) << reference.error();
  // The first-order state already lies in the range of C; projecting it changes only round-off
  // (conditioning of CᵀC, see above) on top of the sparse solve's own.
  EXPECT_TRUE(close_relative(start->u0, *reference, 1e-9));
  // Torsion of the cantilever by the eccentric load at the arm's end: twist T·L/(G·J) at the
  // tip, T = 1000 N x 1 m.
  const double twist = 1000.0 * 1.0 * 3.0 / (8.1e10 * 3e-6);
  EXPECT_NEAR(std::abs(dof(start->u0, 2, 3)), twist, 1e-6 * twist);
}

struct NoFirstOrderCase {
  const char* name;
  std::uint32_t max_iterations;
  std::string message;
};

class ZeroStart : public ::testing::TestWithParam<NoFirstOrderCase> {};

// Without a first-order state the start is zero with the map handed in, and the message of the
// first-order loop goes nowhere.
TEST_P(ZeroStart, WhenTheFirstOrderLoopDoesNotSettle) {
  const NoFirstOrderCase& c = GetParam();
  VARN model = load_si("x_braced_portal_tension_diagonals.json");
  model.settings.analysis_options.max_iterations = c.max_iterations;
  const Eigen::VectorXd f = load_vector(model, 1);

  auto fo = model.first_order_predictor_state(f);
  ASSERT_FALSE(fo);
  EXPECT_EQ(fo.error(), c.message);

  const ActiveMap initial{{4u, false}, {5u, true}};
  auto start = compute_starting_state(model, f, std::nullopt, initial, nullptr);
  ASSERT_TRUE(start) << start.error();
  EXPECT_EQ(start->u0, Eigen::VectorXd::Zero(f.size()));
  EXPECT_EQ(start->active, initial);
  EXPECT_FALSE(start->predictor_given);
}

INSTANTIATE_TEST_SUITE_P(
    StartingState, ZeroStart,
    ::testing::Values(NoFirstOrderCase{"no_iterations", 0, "First-order predictor did not converge within 0 iterations"},
                      // The first pass switches the compressed diagonal off: not settled yet.
                      NoFirstOrderCase{"still_switching", 1, "First-order predictor did not converge within 1 iterations"}),
    [](const auto& info) { return std::string(info.param.name); });

struct SingularCase {
  const char* name;
  bool rigid;
  std::string message;
};

class SingularPredictor : public ::testing::TestWithParam<SingularCase> {};

// A structure without supports: the first-order state has no solution, and the solve starts
// from rest.
TEST_P(SingularPredictor, MessageOfThePathAndAZeroStart) {
  const SingularCase& c = GetParam();
  VARN model = c.rigid ? cantilever_with_rigid_arm() : cantilever();
  for (auto& set : model.member_sets)
    for (auto& m : set.members)
      for (Node* n : {&m.start_node, &m.end_node}) n->nodal_support.reset();
  // Every DOF loaded so that none counts as a zero-energy DOF that the constraints would hold.
  for (std::uint32_t id = 1; id <= 4; ++id)
    if (!c.rigid || id != 3) add_nodal_load(model, 1, id, 10.0, {0.3, 0.5, 0.8});
  ASSERT_EQ(model.needs_dense_rigid_path(), c.rigid);
  const Eigen::VectorXd f = load_vector(model, 1);

  auto fo = model.first_order_predictor_state(f);
  ASSERT_FALSE(fo);
  // The path's message, then the DOF of the unsupported structure where the elimination broke
  // down (which one depends on the elimination order).
  EXPECT_TRUE(std::regex_match(fo.error(), std::regex(std::regex_replace(c.message, std::regex("\\."), "\\.") +
                                                      " Node [1-4] is free to move in (UX|UY|UZ|RX|RY|RZ)")))
      << fo.error();

  std::optional<RigidPath> rigid;
  if (c.rigid) rigid.emplace(rigid_path(model));
  auto start = compute_starting_state(model, f, std::nullopt, ActiveMap{}, rigid ? &*rigid : nullptr);
  ASSERT_TRUE(start) << start.error();
  EXPECT_EQ(start->u0, Eigen::VectorXd::Zero(f.size()));
  EXPECT_EQ(start->u_r.has_value(), c.rigid);
  if (c.rigid) {
    EXPECT_EQ(start->u_r->size(), static_cast<Eigen::Index>(rigid->elimination.n_r));
  }
}

INSTANTIATE_TEST_SUITE_P(
    StartingState, SingularPredictor,
    ::testing::Values(SingularCase{"sparse", false, "Sparse Cholesky failed in predictor."},
                      SingularCase{"rigid", true, "Reduced stiffness matrix is singular in predictor."}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- support stiffness curves ---------------------------------------------------------------

// A column along Z standing on a vertical spring whose stiffness follows the vertical support
// force (k = 1e6 N/m at rest, 3e6 N/m at 2P), everything else at the base held; a load P
// presses on the top.
constexpr double kP = 5000.0;
constexpr double kColumn = 4.0;

VARN column_on_curve_spring() {
  VARN model = empty_model();
  NodalSupport s = clamp(1);
  SupportCondition spring = condition(SupportConditionType::Spring);
  StiffnessCurveConfig curve;
  curve.depends_on = ForceComponent::Fz;
  curve.points = {CurvePoint{0.0, 1e6}, CurvePoint{2.0 * kP, 3e6}};
  spring.stiffness_curve = curve;
  s.displacement_conditions["Z"] = spring;
  model.nodal_supports.push_back(s);
  add_line(model, 1, {0, 0, 0}, {0, 0, 1}, kColumn, 1);
  add_nodal_load(model, 1, 2, kP, {0.0, 0.0, -1.0});
  return model;
}

TEST(StartingState, CurveSpringsAreReadAtTheFirstOrderSupportForces) {
  const VARN model = column_on_curve_spring();
  ASSERT_TRUE(has_stiffness_curves(model.nodal_supports));
  const Eigen::VectorXd f = load_vector(model, 1);

  // The first-order state reads the curve at rest: base settles by P / 1e6.
  auto fo = model.first_order_predictor_state(f);
  ASSERT_TRUE(fo) << fo.error();
  EXPECT_NEAR(dof(fo->u, 1, 2), -kP / 1e6, 1e-9 * kP / 1e6);

  // The support carries P, where the curve gives k = 2e6: the start settles by P / 2e6, and
  // the top by that plus the column's shortening P·L/(E·A).
  auto start = compute_starting_state(model, f, std::nullopt, ActiveMap{}, nullptr);
  ASSERT_TRUE(start) << start.error();
  const double base = -kP / 2e6;
  const double top = base - kP * kColumn / (2.1e11 * 1e-2);
  // Two springs in series with a stiffness ratio of about 250: the penalty-held DOFs and the
  // solve leave round-off far below 1e-9 of the settlement.
  EXPECT_NEAR(dof(start->u0, 1, 2), base, 1e-9 * std::abs(base));
  EXPECT_NEAR(dof(start->u0, 2, 2), top, 1e-9 * std::abs(top));
}

TEST(StartingState, UnsolvableSpringConsistentSystemFallsBackToTheFirstOrderState) {
  // The curve drops to a vanishing stiffness once the support carries P/2: with the spring at
  // the carried force the column floats (a pivot at 1e-300 of the axial stiffness), so the
  // start is the first-order state with the spring at rest.
  VARN model = column_on_curve_spring();
  model.nodal_supports.front().displacement_conditions["Z"].stiffness_curve->points = {CurvePoint{0.0, 1e6},
                                                                                       CurvePoint{0.5 * kP, 1e-300}};
  const Eigen::VectorXd f = load_vector(model, 1);
  auto fo = model.first_order_predictor_state(f);
  ASSERT_TRUE(fo) << fo.error();
  auto start = compute_starting_state(model, f, std::nullopt, ActiveMap{}, nullptr);
  ASSERT_TRUE(start) << start.error();
  // The first-order state with the DOFs its penalty held at round-off level set to zero.
  EXPECT_EQ(start->u0, held_at_zero(model, fo->u));
  EXPECT_EQ(start->active, fo->active);
}

TEST(StartingState, CurveSpringsOnTheRigidPathAreReadAtTheCarriedForce) {
  // The load hangs on a rigid arm at the top of the column: the arm's end has no stiffness of
  // its own, only the link. The support still carries P, so the base settles by P / 2e6.
  VARN model = column_on_curve_spring();
  auto& members = model.member_sets.front().members;
  members.push_back(member(2, node(2, 0, 0, kColumn), node(3, 1.0, 0, kColumn), MemberType::Rigid));
  model.load_cases.clear();
  add_nodal_load(model, 1, 3, kP, {0.0, 0.0, -1.0});
  ASSERT_TRUE(model.needs_dense_rigid_path());
  const RigidPath rigid = rigid_path(model);
  const Eigen::VectorXd f = load_vector(model, 1);

  auto start = compute_starting_state(model, f, std::nullopt, ActiveMap{}, &rigid);
  ASSERT_TRUE(start) << start.error();
  ASSERT_TRUE(start->u_r);
  EXPECT_EQ(start->u0, VARN::expand_solution(rigid.elimination, *start->u_r));
  const double base = -kP / 2e6;
  // Axial settlement is uncoupled from the column's bending by the arm's moment; the reduced
  // penalties and the projection (CᵀC of condition about 10) leave round-off far below 1e-9.
  EXPECT_NEAR(dof(start->u0, 1, 2), base, 1e-9 * std::abs(base));
  EXPECT_NEAR(dof(start->u0, 2, 2), base - kP * kColumn / (2.1e11 * 1e-2), 1e-9 * std::abs(base));
}

}  // namespace
