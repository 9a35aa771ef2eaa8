// One-sided supports (PositiveOnly, NegativeOnly): held while the support pushes in its allowed
// sense, released where holding would need a pull, switched by the active-set loop; and the
// loop's end when its states cycle, whatever max_iterations says.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "equilibrium.h"
#include "models/varn/reactions.h"
#include "global_system_models.h"
#include "models/varn/active_set.h"
#include "models/varn/support_state.h"
#include "models/varn/cached_combinations.h"
#include "models/varn/first_order.h"

namespace {

using namespace varn;
using namespace varn::global_test;
using T = SupportConditionType;

constexpr double kP = 1.0e4;
constexpr double kLength = 4.0;

// Equal bending stiffness about both axes, so that the closed forms need not name the axis.
Props beam_props() {
  Props p;
  p.i_y = 2e-5;
  p.i_z = 2e-5;
  return p;
}

// A support holding nothing but the one condition given (rotations and translations free).
NodalSupport one_sided(std::uint32_t id, const char* axis, T type, bool rotation) {
  NodalSupport s = support(id, {T::Free, T::Free, T::Free}, {T::Free, T::Free, T::Free});
  (rotation ? s.rotation_conditions : s.displacement_conditions)[axis] = condition(type);
  return s;
}

struct Solved {
  Eigen::VectorXd u;
  std::map<std::uint32_t, ReactionNodeResult> reactions;
};

Solved solve(const VARN& v) {
  auto s = solve_load_case_unstored(v, 1);
  EXPECT_TRUE(s) << s.error();
  if (!s) return {};
  return Solved{s->u, extract_reaction_nodes(v, s->reactions)};
}

// ---------------------------------------------------------------------------------------------
// The beam of a cantilever clamped at node 1 (x = 0), loaded by P at mid-span node 2, with a
// one-sided Z support at its end node 3 (x = L). Held, the end is a prop: R = 5P/16 and no
// settlement. Released, the clamp takes the whole load and the end rises or falls by the
// cantilever's w(L) = P·a³/(3EI) + P·a²/(2EI)·(L − a) with a = L/2, that is 5PL³/(48EI).

struct PropCase {
  const char* name;
  T type;
  double load_z;  // sign of the load at mid-span
  bool held;
};

void PrintTo(const PropCase& c, std::ostream* os) { *os << c.name; }

class PropOnOneSidedSupport : public ::testing::TestWithParam<PropCase> {};

VARN propped_beam(T type, double load_z, bool rigid_end) {
  VARN v = empty_model(beam_props());
  v.nodal_supports.push_back(clamp(1));
  v.nodal_supports.push_back(one_sided(2, "Z", type, false));
  auto& members = v.member_sets.front().members;
  members.push_back(member(1, node(1, 0, 0, 0, 1), node(2, kLength / 2, 0, 0), MemberType::Normal));
  if (rigid_end) {
    // The prop acts through a rigid arm: node 3 follows node 2 by the rigid link, so the held
    // DOF is imposed on the reduced system.
    members.push_back(member(2, node(2, kLength / 2, 0, 0), node(3, kLength, 0, 0, 2), MemberType::Rigid));
  } else {
    members.push_back(member(2, node(2, kLength / 2, 0, 0), node(3, kLength, 0, 0, 2), MemberType::Normal));
  }
  add_nodal_load(v, 1, 2, kP, {0, 0, load_z});
  return v;
}

TEST_P(PropOnOneSidedSupport, HeldWhilePushedReleasedWhereItWouldPull) {
  const PropCase& c = GetParam();
  const Props p = beam_props();
  const double ei = p.e * p.i_y;
  const VARN v = propped_beam(c.type, c.load_z, false);
  const Solved s = solve(v);
  ASSERT_EQ(s.reactions.count(3), 1u);
  const double w_free = c.load_z * 5.0 * kP * std::pow(kLength, 3) / (48.0 * ei);
  const double uz3 = dof(s.u, 3, 2);
  const double rz3 = s.reactions.at(3).nodal_forces.fz;
  if (c.held) {
    // The penalty holds the DOF to 1e-10 of the structure's own stiffness; the closed forms
    // then hold to that, with a hundredfold margin for the round-off of the factorisation.
    EXPECT_NEAR(uz3, 0.0, 1e-8 * std::abs(w_free));
    EXPECT_NEAR(rz3, -c.load_z * 5.0 * kP / 16.0, 1e-8 * kP);
  } else {
    // A well-conditioned two-member cantilever: round-off of the solve is near 1e-14.
    EXPECT_NEAR(uz3, w_free, 1e-9 * std::abs(w_free));
    EXPECT_NEAR(rz3, 0.0, 1e-9 * kP);
  }
  // The reported support force has the allowed sign (to round-off when released).
  const double sense = c.type == T::PositiveOnly ? 1.0 : -1.0;
  EXPECT_GE(sense * rz3, -1e-9 * kP);
  // The reactions are recovered from the member forces by nodal equilibrium, so they balance
  // the loads to round-off whatever the penalty leaves.
  EXPECT_TRUE(test::ReactionsBalanceLoads(v, ResultType::loadcase(1), s.reactions));
}

INSTANTIATE_TEST_SUITE_P(
    Table, PropOnOneSidedSupport,
    ::testing::Values(PropCase{"PositiveOnlyLoadedDownIsHeld", T::PositiveOnly, -1.0, true},
                      PropCase{"PositiveOnlyLoadedUpIsReleased", T::PositiveOnly, 1.0, false},
                      PropCase{"NegativeOnlyLoadedUpIsHeld", T::NegativeOnly, 1.0, true},
                      PropCase{"NegativeOnlyLoadedDownIsReleased", T::NegativeOnly, -1.0, false}),
    [](const auto& info) { return std::string(info.param.name); });

class RigidArmProp : public ::testing::TestWithParam<PropCase> {};

TEST_P(RigidArmProp, TheReducedSystemHoldsAndReleasesTheSupport) {
  // The cantilever is node 1 to node 2 (a = L/2), and node 3 hangs on a rigid arm of length
  // e = L/2 beyond it. Released, node 3 moves by w(a) + θ(a)·e = P·a³/(3EI) + P·a²/(2EI)·e;
  // held, the arm props the cantilever end by a force R at lever e: the tip moment R·e and the
  // tip force R together stop node 3, R = P·(a³/3 + a²e/2) / (a³/3 + a²e + a·e²).
  const PropCase& c = GetParam();
  const Props p = beam_props();
  const double ei = p.e * p.i_y;
  const VARN v = propped_beam(c.type, c.load_z, true);
  ASSERT_TRUE(v.needs_dense_rigid_path());
  const Solved s = solve(v);
  ASSERT_EQ(s.reactions.count(3), 1u);
  const double a = kLength / 2, e = kLength / 2;
  const double w_free = c.load_z * kP * (a * a * a / 3.0 + a * a * e / 2.0) / ei;
  const double r_held =
      -c.load_z * kP * (a * a * a / 3.0 + a * a * e / 2.0) / (a * a * a / 3.0 + a * a * e + a * e * e);
  const double uz3 = dof(s.u, 3, 2);
  const double rz3 = s.reactions.at(3).nodal_forces.fz;
  if (c.held) {
    // Node 3 follows one reduced DOF or is penalised at 1000 times the largest diagonal:
    // the prop yields by at most 1e-3 of the structure's own flexibility there.
    EXPECT_NEAR(uz3, 0.0, 1e-3 * std::abs(w_free));
    EXPECT_NEAR(rz3, r_held, 1e-3 * kP);
  } else {
    // Well conditioned: round-off of the reduced solve is far below 1e-9.
    EXPECT_NEAR(uz3, w_free, 1e-9 * std::abs(w_free));
    EXPECT_NEAR(rz3, 0.0, 1e-9 * kP);
  }
  EXPECT_TRUE(test::ReactionsBalanceLoads(v, ResultType::loadcase(1), s.reactions));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RigidArmProp,
    ::testing::Values(PropCase{"PositiveOnlyLoadedDownIsHeld", T::PositiveOnly, -1.0, true},
                      PropCase{"PositiveOnlyLoadedUpIsReleased", T::PositiveOnly, 1.0, false},
                      PropCase{"NegativeOnlyLoadedUpIsHeld", T::NegativeOnly, 1.0, true},
                      PropCase{"NegativeOnlyLoadedDownIsReleased", T::NegativeOnly, -1.0, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Combinations against the cached system, which holds every one-sided support, on both paths:
// a combination that presses the prop keeps the cached solution, one that lifts the beam is
// re-solved with the prop released, and each ends in the state its own load case would.
class CachedCombinationProp : public ::testing::TestWithParam<bool> {};

TEST_P(CachedCombinationProp, LiftingCombinationIsReSolvedReleased) {
  const bool rigid_end = GetParam();
  VARN v = propped_beam(T::PositiveOnly, -1.0, rigid_end);
  add_nodal_load(v, 2, 2, 3.0 * kP, {0, 0, 1});
  for (const auto& [id, factors] :
       std::vector<std::pair<std::uint32_t, std::vector<std::pair<std::uint32_t, double>>>>{
           {1, {{1, 1.0}}}, {2, {{1, 1.0}, {2, 1.0}}}, {3, {{1, 2.0}, {2, 0.5}}}}) {
    LoadCombination c;
    c.id = id;
    c.name = "C" + std::to_string(id);
    for (const auto& [case_id, factor] : factors) c.load_cases_factors[case_id] = factor;
    v.load_combinations.push_back(c);
  }
  auto cache = CachedCombinations::build(v);
  ASSERT_TRUE(cache) << cache.error();
  const Props p = beam_props();
  // Net mid-span loads in units of P: −1 (held), +2 (released), −0.5 (held).
  for (const auto& [id, net] : std::vector<std::pair<std::uint32_t, double>>{{1, -1.0}, {2, 2.0}, {3, -0.5}}) {
    auto set = cache->solve(id);
    ASSERT_TRUE(set) << set.error();
    const double rz3 = set->reaction_nodes.at(3).nodal_forces.fz;
    const double uz3 = set->displacement_nodes.at(3).dz;
    // Both paths hold the prop to within 1e-3 of the structure's flexibility there (the penalty
    // of the reduced path is the weaker one); released, the solve is well conditioned.
    const double reach = rigid_end ? 1e-3 : 1e-8;
    if (net < 0) {
      EXPECT_GT(rz3, 0.0) << id;
      EXPECT_NEAR(uz3, 0.0, reach * std::abs(net) * kP * std::pow(kLength, 3) / (p.e * p.i_y)) << id;
    } else {
      EXPECT_NEAR(rz3, 0.0, 1e-9 * kP) << id;
      EXPECT_GT(uz3, 0.0) << id;
    }
    EXPECT_TRUE(test::ReactionsBalanceLoads(v, *set)) << id;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, CachedCombinationProp, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "RigidArm" : "Penalty"); });

// ---------------------------------------------------------------------------------------------
// A rotation condition: a cantilever clamped at node 1 whose tip node 2 carries a one-sided
// condition on its rotation about Y and a moment M about Y. Held, the tip support takes the
// whole moment (−M) and the beam stays straight; released, the tip turns by M·L/(EI) and the
// clamp takes the moment.

struct RotationCase {
  const char* name;
  T type;
  double moment_y;  // sign of the tip moment
  bool held;
};

void PrintTo(const RotationCase& c, std::ostream* os) { *os << c.name; }

class OneSidedRotation : public ::testing::TestWithParam<RotationCase> {};

TEST_P(OneSidedRotation, HeldOrReleasedBySignOfTheSupportMoment) {
  const RotationCase& c = GetParam();
  const Props p = beam_props();
  VARN v = empty_model(p);
  v.nodal_supports.push_back(clamp(1));
  v.nodal_supports.push_back(one_sided(2, "Y", c.type, true));
  v.member_sets.front().members.push_back(
      member(1, node(1, 0, 0, 0, 1), node(2, kLength, 0, 0, 2), MemberType::Normal));
  NodalMoment m;
  m.id = 1;
  m.node = 2;
  m.load_case = 1;
  m.magnitude = kP;
  m.direction = {0.0, c.moment_y, 0.0};
  load_case(v, 1).nodal_moments.push_back(m);
  // An axial pull at the tip, which the clamp takes, gives the force balance a scale.
  add_nodal_load(v, 1, 2, kP, {1, 0, 0});
  const Solved s = solve(v);
  ASSERT_EQ(s.reactions.count(2), 1u);
  const double theta_free = c.moment_y * kP * kLength / (p.e * p.i_y);
  const double ry2 = dof(s.u, 2, 4);
  const double my2 = s.reactions.at(2).nodal_forces.my;
  if (c.held) {
    // Penalty of 1e10 times the largest diagonal, with a hundredfold margin for round-off.
    EXPECT_NEAR(ry2, 0.0, 1e-8 * std::abs(theta_free));
    EXPECT_NEAR(my2, -c.moment_y * kP, 1e-8 * kP);
  } else {
    EXPECT_NEAR(ry2, theta_free, 1e-9 * std::abs(theta_free));
    EXPECT_NEAR(my2, 0.0, 1e-9 * kP);
  }
  EXPECT_TRUE(test::ReactionsBalanceLoads(v, ResultType::loadcase(1), s.reactions));
}

INSTANTIATE_TEST_SUITE_P(
    Table, OneSidedRotation,
    ::testing::Values(RotationCase{"PositiveOnlyAgainstNegativeMomentIsHeld", T::PositiveOnly, -1.0, true},
                      RotationCase{"PositiveOnlyAgainstPositiveMomentIsReleased", T::PositiveOnly, 1.0, false},
                      RotationCase{"NegativeOnlyAgainstPositiveMomentIsHeld", T::NegativeOnly, 1.0, true},
                      RotationCase{"NegativeOnlyAgainstNegativeMomentIsReleased", T::NegativeOnly, -1.0, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// A column standing on a positive-only base in Z: pressed down it stands on it with no
// settlement; pulled up it lifts off, and a Fixed lateral restraint at its head (holding Z
// as well) takes the load.

TEST(OneSidedBase, ColumnStandsOnItAndLiftsOffWhenPulled) {
  const double height = 3.0;
  for (const double load_z : {-1.0, 1.0}) {
    VARN v = empty_model(beam_props());
    NodalSupport base = one_sided(1, "Z", T::PositiveOnly, false);
    base.displacement_conditions["X"] = condition(T::Fixed);
    base.displacement_conditions["Y"] = condition(T::Fixed);
    v.nodal_supports.push_back(base);
    // The head holds its translations and the twist about the column's axis.
    v.nodal_supports.push_back(support(2, {T::Fixed, T::Fixed, T::Fixed}, {T::Free, T::Free, T::Fixed}));
    v.member_sets.front().members.push_back(
        member(1, node(1, 0, 0, 0, 1), node(2, 0, 0, height / 2), MemberType::Normal));
    v.member_sets.front().members.push_back(
        member(2, node(2, 0, 0, height / 2), node(3, 0, 0, height, 2), MemberType::Normal));
    add_nodal_load(v, 1, 2, kP, {0, 0, load_z});
    const Solved s = solve(v);
    ASSERT_EQ(s.reactions.count(1), 1u);
    const double rz_base = s.reactions.at(1).nodal_forces.fz;
    const double rz_head = s.reactions.at(3).nodal_forces.fz;
    if (load_z < 0) {
      // Two equal axial springs EA/(h/2) share the load: half each, no settlement at the base.
      EXPECT_NEAR(dof(s.u, 1, 2), 0.0, 1e-8 * kP * height / (beam_props().e * beam_props().area));
      EXPECT_NEAR(rz_base, kP / 2, 1e-8 * kP);
      EXPECT_NEAR(rz_head, kP / 2, 1e-8 * kP);
    } else {
      // The base would have to pull: released, the head carries it all and the base rises
      // with node 2 by the stretch of the upper half, P·(h/2)/(EA).
      const Props p = beam_props();
      EXPECT_NEAR(rz_base, 0.0, 1e-9 * kP);
      EXPECT_NEAR(rz_head, -kP, 1e-8 * kP);
      const double rise = kP * (height / 2) / (p.e * p.area);
      EXPECT_NEAR(dof(s.u, 1, 2), rise, 1e-8 * rise);
    }
    EXPECT_TRUE(test::ReactionsBalanceLoads(v, ResultType::loadcase(1), s.reactions));
  }
}

// ---------------------------------------------------------------------------------------------
// A state sequence that cycles. A node held by three bars, each along an eigenvector of the
// nodal stiffness K = Σ (EA/L)ᵢ·nᵢ·nᵢᵀ with the far ends clamped, stands on positive-only
// supports in X, Y and Z. With every support held, X and Y would pull: both are released. Then
// the node moves through X while Z pulls: X held, Z released. Then Y and Z move through their
// supports and are held, X pushes: every support held again, the first state. Each pass switches
// on a clear margin (forces of several newtons against a tolerance of half a millinewton), so
// the loop would go round these three states for ever.

VARN cycling_node(std::optional<std::uint32_t> max_iterations) {
  // K (in MN/m) = [[1.206, 1.324, −0.518], [1.324, 2.082, −1.01], [−0.518, −1.01, 0.623]],
  // load (kN) = (0.006, 0.524, −0.355): eigenvalues and unit eigenvectors of K.
  const std::array<double, 3> lambda = {0.052155755904804195, 0.37828877397066885, 3.4805554701245263};
  const std::array<std::array<double, 3>, 3> n = {{{0.3521093179160987, -0.5908526224427918, -0.7258871859932062},
                                                   {0.7721247998980345, -0.25497019798895526, 0.5820768776715778},
                                                   {-0.5290012491658975, -0.7654301906052233, 0.3664345803700459}}};
  Props p;
  VARN v = empty_model(p);
  v.sections.clear();
  v.settings.analysis_options.max_iterations = max_iterations;
  v.nodal_supports.push_back(clamp(1));
  NodalSupport node_support = support(2, {T::PositiveOnly, T::PositiveOnly, T::PositiveOnly},
                                      {T::Free, T::Free, T::Free});
  v.nodal_supports.push_back(node_support);
  for (std::size_t i = 0; i < 3; ++i) {
    const auto id = static_cast<std::uint32_t>(i + 1);
    // Bars of length 1 m: EA/L = λ·1e6 N/m.
    v.sections.push_back(section(id, lambda[i] * 1e6 / p.e, 1e-6, 1e-6, 1e-6));
    v.member_sets.front().members.push_back(
        member(id, node(1, 0, 0, 0, 2), node(id + 1, n[i][0], n[i][1], n[i][2], 1), MemberType::Truss, id));
  }
  add_nodal_load(v, 1, 1, 1e3 * 0.006, {1, 0, 0});
  add_nodal_load(v, 1, 1, 1e3 * 0.524, {0, 1, 0});
  add_nodal_load(v, 1, 1, 1e3 * 0.355, {0, 0, -1});
  return v;
}

TEST(ActiveSetCycle, EndsWithAMessageWhateverMaxIterationsSays) {
  // The largest max_iterations the format allows: the loop must still stop at the first
  // repeated state (a fourth pass), not after 4·10⁹ passes.
  for (const std::optional<std::uint32_t> limit :
       {std::optional<std::uint32_t>(), std::optional<std::uint32_t>(std::numeric_limits<std::uint32_t>::max())}) {
    const VARN v = cycling_node(limit);
    FirstOrderLoopStats stats;
    auto f = v.assemble_load_vector_for_case(1);
    ASSERT_TRUE(f) << f.error();
    const ResultType loading = ResultType::loadcase(1);
    auto solved = solve_first_order_active_set(v, *f, Eigen::VectorXd::Zero(f->size()), init_active_map_tie_comp(v),
                                               true, &stats, &loading);
    ASSERT_FALSE(solved);
    EXPECT_EQ(solved.error(), "Active-set iteration cycles between 3 states without settling");
    EXPECT_EQ(stats.iterations, 4u);
  }
}

TEST(ActiveSetCycle, PassesAreBoundedByTheSwitchableItems) {
  // Four passes per switchable item and four more, below any max_iterations that is larger.
  EXPECT_EQ(bounded_active_set_passes(std::numeric_limits<std::uint32_t>::max(), 3), 16u);
  EXPECT_EQ(bounded_active_set_passes(5, 3), 5u);
  EXPECT_EQ(bounded_active_set_passes(std::numeric_limits<std::uint32_t>::max(), 0), 4u);
}

// ---------------------------------------------------------------------------------------------
// The support state reaches every imposition: a released one-sided DOF leaves the constrained
// list and the zeroed entries, a held one is in both.

TEST(SupportStateImposition, ReleasedDofsAreFreeHeldOnesHeld) {
  VARN v = empty_model();
  v.nodal_supports.push_back(support(1, {T::PositiveOnly, T::Fixed, T::NegativeOnly}, {T::Fixed, T::Fixed, T::Fixed}));
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 2.0, 1);
  const auto unilateral = collect_unilateral_dofs(v);
  ASSERT_EQ(unilateral.size(), 2u);
  EXPECT_EQ(unilateral[0].dof, 0u);
  EXPECT_EQ(unilateral[0].sense, 1.0);
  EXPECT_EQ(unilateral[1].dof, 2u);
  EXPECT_EQ(unilateral[1].sense, -1.0);
  auto held = v.collect_constrained_dofs_full();
  ASSERT_TRUE(held);
  EXPECT_EQ(*held, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
  const SupportState released{2};
  auto some = v.collect_constrained_dofs_full(released);
  ASSERT_TRUE(some);
  EXPECT_EQ(*some, (std::vector<std::size_t>{0, 1, 3, 4, 5}));
  Eigen::VectorXd x = Eigen::VectorXd::Ones(21);
  v.zero_support_dofs(x, released);
  EXPECT_EQ(x[0], 0.0);
  EXPECT_EQ(x[2], 1.0);
}

// ---------------------------------------------------------------------------------------------
// A released one-sided support holds nothing, so the statics test judges its DOF like any free
// one. A horizontal bar pinned at node 1 rests on a PositiveOnly Z support at node 2 (X and Y
// held there); lifted at node 2, the support lets go and nothing but the bar's stabilising
// transverse term holds node 2 in Z: a mechanism, reported as one.

TEST(SupportStateImposition, StructureLeftByAReleasedSupportIsAMechanism) {
  VARN v = empty_model();
  v.nodal_supports.push_back(support(1, {T::Fixed, T::Fixed, T::Fixed}, {T::Free, T::Free, T::Free}));
  v.nodal_supports.push_back(support(2, {T::Fixed, T::Fixed, T::PositiveOnly}, {T::Free, T::Free, T::Free}));
  v.member_sets.front().members.push_back(member(1, node(1, 0, 0, 0, 1), node(2, kLength, 0, 0, 2), MemberType::Truss));
  for (const double lift : {-1.0, 1.0}) {
    VARN model = v;
    add_nodal_load(model, 1, 2, kP, {0, 0, lift});
    auto s = solve_load_case_unstored(model, 1);
    if (lift < 0.0) {
      // Pressed down, the support pushes back: a sound structure.
      ASSERT_TRUE(s) << s.error();
      EXPECT_NEAR(extract_reaction_nodes(model, s->reactions).at(2).nodal_forces.fz, kP, 1e-9 * kP);
    } else {
      ASSERT_FALSE(s);
      EXPECT_EQ(s.error(), "Structure is a mechanism: node 2 is free to move in UZ (LC 1)");
    }
  }
}

}  // namespace
