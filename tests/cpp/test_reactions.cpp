// Support reactions by nodal equilibrium: conditions per axis, springs, applied loads of cases
// and combinations, rigid links, switched-off members, and the balance of reactions and loads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <tbb/global_control.h>

#include "equilibrium.h"
#include "fatal.h"
#include "models/varn/reactions.h"
#include "models/varn/member_results.h"
#include "recovery_test_support.h"

using namespace varn;
using namespace varn::test;

namespace {



std::map<std::uint32_t, ReactionNodeResult> reactions_of(const VARN& v, const Eigen::VectorXd& u,
                                                         const ResultType& type = ResultType::loadcase(1),
                                                         const ActiveMap* active = nullptr) {
  auto comp = compose_support_reaction_vector_equilibrium(v, type, u, active, RecoveryMode::FirstOrder);
  EXPECT_TRUE(comp) << comp.error();
  if (!comp) return {};
  return extract_reaction_nodes(v, comp->reactions);
}

// Exact Euler-Bernoulli displacements of the free end of a cantilever along +X of length l
// under a tip force p along −Y.
void cantilever_tip(Eigen::VectorXd& u, std::uint32_t tip, double p, double l) {
  set_dof(u, tip, 1, -p * l * l * l / (3 * kE * kIz));
  set_dof(u, tip, 5, -p * l * l / (2 * kE * kIz));
}

}  // namespace

TEST(Reactions, CantileverFixedAtItsStart) {
  const double l = 2.5;
  const double p = 800.0;
  VARN v = with_case(model_with({member(1, node(1, 0, 0, 0, 3), node(2, l, 0, 0), MemberType::Normal, 1, "test")},
                                {beam_section()}, {support(3)}),
                     {}, {nodal_load(2, 1, p, {0, -1, 0})});
  Eigen::VectorXd u = zeros(v);
  cantilever_tip(u, 2, p, l);
  const auto r = reactions_of(v, u);
  ASSERT_EQ(r.size(), 1u);
  const ReactionNodeResult& n1 = r.at(1);
  EXPECT_NEAR(n1.nodal_forces.fy, p, 1e-9 * p);
  EXPECT_NEAR(n1.nodal_forces.mz, p * l, 1e-9 * p * l);
  EXPECT_NEAR(n1.nodal_forces.fx, 0.0, 1e-9 * p);
  EXPECT_EQ(n1.nodal_forces.bw, 0.0);
  EXPECT_EQ(n1.support_id, 3u);
  EXPECT_EQ(n1.location.X, 0.0);
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), r));
}

// The condition of the Y axis decides what is reported for an equilibrium value eq.
struct ConditionCase {
  const char* name;
  std::optional<SupportConditionType> type;  // none: no condition for the axis
  double load;                               // +Y load on the supported node: eq = −load
  double expected;
};

void PrintTo(const ConditionCase& c, std::ostream* os) { *os << c.name; }

class ReactionConditions : public ::testing::TestWithParam<ConditionCase> {};

TEST_P(ReactionConditions, AxisRule) {
  const ConditionCase& c = GetParam();
  std::map<std::string, SupportCondition> disp;
  if (c.type) disp["Y"] = condition(*c.type);
  VARN v = with_case(model_with({member(1, node(1, 0, 0, 0, 1), node(2, 1, 0, 0), MemberType::Normal, 1, "test")},
                                {beam_section()}, {support(1, disp)}),
                     {}, {nodal_load(1, 1, c.load, {0, 1, 0})});
  const auto r = reactions_of(v, zeros(v));
  EXPECT_EQ(r.at(1).nodal_forces.fy, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReactionConditions,
    ::testing::Values(ConditionCase{"none", std::nullopt, 3.0, -3.0},
                      ConditionCase{"fixed", SupportConditionType::Fixed, 3.0, -3.0},
                      ConditionCase{"free", SupportConditionType::Free, 3.0, 0.0},
                      // One-sided: the force of the given state, whatever its sign; the solve's
                      // support state is what keeps the sign the allowed one.
                      ConditionCase{"positive_only_negative_eq", SupportConditionType::PositiveOnly, 3.0, -3.0},
                      ConditionCase{"negative_only_negative_eq", SupportConditionType::NegativeOnly, 3.0, -3.0},
                      ConditionCase{"positive_only_positive_eq", SupportConditionType::PositiveOnly, -3.0, 3.0},
                      ConditionCase{"negative_only_positive_eq", SupportConditionType::NegativeOnly, -3.0, 3.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Reactions, SpringReportsStiffnessTimesDisplacement) {
  // A Y spring of 1000 N/m at a node displaced by −0.002 m: the spring reports k·u, whatever the
  // beam to the held node 2 makes of the node's equilibrium.
  const double l = 1.0;
  VARN v =
      model_with({member(1, node(1, 0, 0, 0, 1), node(2, l, 0, 0, 2), MemberType::Normal, 1, "test")}, {beam_section()},
                 {support(1, {{"Y", condition(SupportConditionType::Spring, 1000.0)}}), support(2)});
  Eigen::VectorXd u = zeros(v);
  set_dof(u, 1, 1, -0.002);
  const auto r = reactions_of(v, u);
  EXPECT_DOUBLE_EQ(r.at(1).nodal_forces.fy, -2.0);

  // A curve gives the stiffness whatever the type: its first point at force 0.
  SupportCondition curved = condition(SupportConditionType::Free);
  curved.stiffness_curve = StiffnessCurveConfig{{{0.0, 500.0}, {10.0, 100.0}}, ForceComponent::Fy};
  v.nodal_supports[0] = support(1, {{"Y", curved}});
  EXPECT_DOUBLE_EQ(reactions_of(v, u).at(1).nodal_forces.fy, -1.0);
}

TEST(Reactions, SpringMessages) {
  VARN v = model_with({member(1, node(1, 0, 0, 0, 7), node(2, 1, 0, 0, 4), MemberType::Normal, 1, "test")},
                      {beam_section()}, {support(7, {{"Y", condition(SupportConditionType::Spring)}})});
  auto c = compose_support_reaction_vector_equilibrium(v, ResultType::loadcase(1), zeros(v), nullptr,
                                                       RecoveryMode::FirstOrder);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), "Support 7 displacement Y is Spring but stiffness is missing.");

  v.nodal_supports = {support(4, {}, {{"Y", condition(SupportConditionType::Spring, 0.0)}})};
  c = compose_support_reaction_vector_equilibrium(v, ResultType::loadcase(1), zeros(v), nullptr,
                                                  RecoveryMode::FirstOrder);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), "Support 4 rotation Y Spring stiffness must be positive.");
}

TEST(Reactions, NodesListedAndNotListed) {
  // Node 1: support id that no support has: listed with zero forces. Node 2: no support id.
  // Node 3: supported. A load on node 1 would otherwise show up there.
  VARN v = with_case(model_with({member(1, node(1, 0, 0, 0, 99), node(2, 1, 0, 0), MemberType::Normal, 1, "test"),
                                 member(2, node(2, 1, 0, 0), node(3, 2, 0, 0, 5), MemberType::Normal, 1, "test")},
                                {beam_section()}, {support(5)}),
                     {}, {nodal_load(1, 1, 10.0, {0, 0, 1})});
  auto comp = compose_support_reaction_vector_equilibrium(v, ResultType::loadcase(1), zeros(v), nullptr,
                                                          RecoveryMode::FirstOrder);
  ASSERT_TRUE(comp);
  for (Eigen::Index i = 0; i < 7; ++i) EXPECT_EQ(comp->reactions[i], 0.0);
  const auto r = extract_reaction_nodes(v, comp->reactions);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r.at(1).support_id, 99u);
  EXPECT_EQ(r.at(1).nodal_forces.fz, 0.0);
  EXPECT_EQ(r.count(2), 0u);
  EXPECT_EQ(r.at(3).support_id, 5u);
  EXPECT_EQ(r.at(3).location.X, 2.0);
  try {
    (void)extract_reaction_nodes(v, Eigen::VectorXd::Zero(20));
    FAIL() << "expected a fault";
  } catch (const FatalFault& e) {
    EXPECT_STREQ(e.what(), "Matrix index out of bounds.");
  }
}

TEST(Reactions, CombinationFactorsTheAppliedLoads) {
  VARN v = model_with({member(1, node(1, 0, 0, 0), node(2, 1, 0, 0), MemberType::Normal, 1, "test")}, {beam_section()});
  LoadCase a = load_case(1, "A");
  a.nodal_loads = {nodal_load(2, 1, 10.0, {1, 0, 0})};
  LoadCase b = load_case(2, "B");
  b.nodal_loads = {nodal_load(2, 2, 2.0, {0, 1, 0})};
  b.nodal_moments = {nodal_moment(2, 2, 4.0, {0, 0, 1})};
  v.load_cases = {a, b};
  LoadCombination c;
  c.id = 3;
  c.load_cases_factors[1] = 1.5;
  c.load_cases_factors[2] = 0.9;
  v.load_combinations = {c};
  const auto e = gather_external_nodal_wrenches_for_result_type(v, ResultType::loadcombination(3));
  ASSERT_EQ(e.size(), 1u);
  EXPECT_DOUBLE_EQ(e.at(2).force[0], 15.0);
  EXPECT_DOUBLE_EQ(e.at(2).force[1], 1.8);
  EXPECT_DOUBLE_EQ(e.at(2).moment[2], 3.6);
  EXPECT_TRUE(gather_external_nodal_wrenches_for_result_type(v, ResultType::loadcombination(4)).empty());
  EXPECT_EQ(gather_external_nodal_wrenches_for_result_type(v, ResultType::loadcase(2)).at(2).force[1], 2.0);
}

// ---- rigid links -----------------------------------------------------------------------------

TEST(RigidLinkReactions, SupportedSlaveOfUnsupportedMasterCarriesEverything) {
  // Master 1 has no support; the rigid link 1→2 ties it to node 2, which is held. A cantilever
  // 1→3 carries a tip load P along −Y. Node 1 cannot move, so the cantilever is exact.
  const double l = 2.0;
  const double p = 500.0;
  VARN v = with_case(model_with({member(1, node(1, 0, 0, 0), node(2, 0, 0, -1, 1), MemberType::Rigid, 1, "test"),
                                 member(2, node(1, 0, 0, 0), node(3, l, 0, 0), MemberType::Normal, 1, "test")},
                                {beam_section()}, {support(1)}),
                     {}, {nodal_load(3, 1, p, {0, -1, 0})});
  Eigen::VectorXd u = zeros(v);
  cantilever_tip(u, 3, p, l);
  const auto r = reactions_of(v, u);
  ASSERT_EQ(r.size(), 1u);
  // About node 2 = (0, 0, −1): M = −(r3 − r2) × F = −((l, 0, 1) × (0, −P, 0)) = (−P, 0, P·l).
  EXPECT_NEAR(r.at(2).nodal_forces.fy, p, 1e-9 * p);
  EXPECT_NEAR(r.at(2).nodal_forces.mx, -p, 1e-9 * p);
  EXPECT_NEAR(r.at(2).nodal_forces.mz, p * l, 1e-9 * p * l);
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), r));
}

TEST(RigidLinkReactions, LoadOnUnsupportedMasterReachesTheSupportedSlave) {
  // Only a rigid link 1→2 (2 held) and a load P at 1: the support takes −P and the moment d × P,
  // d = r2 − r1.
  VARN v = with_case(
      model_with({member(1, node(1, 1, 2, 3), node(2, 4, 0, 3, 1), MemberType::Rigid, 1, "test")}, {}, {support(1)}),
      {}, {nodal_load(1, 1, 10.0, {0, 0, -1})});
  const auto r = reactions_of(v, zeros(v));
  const NodeForces& f = r.at(2).nodal_forces;
  const Eigen::Vector3d m = Eigen::Vector3d(3, -2, 0).cross(Eigen::Vector3d(0, 0, -10));
  EXPECT_DOUBLE_EQ(f.fz, 10.0);
  EXPECT_DOUBLE_EQ(f.mx, m.x());
  EXPECT_DOUBLE_EQ(f.my, m.y());
  EXPECT_DOUBLE_EQ(f.mz, m.z());
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), r));
}

TEST(RigidLinkReactions, SupportedSlaveOfSupportedMasterKeepsItsReaction) {
  // Both ends of the link held; the cantilever hangs from the slave 2, so its support reacts.
  const double l = 3.0;
  const double p = 200.0;
  VARN v = with_case(model_with({member(1, node(1, 0, 0, 0, 1), node(2, 0, 1, 0, 1), MemberType::Rigid, 1, "test"),
                                 member(2, node(2, 0, 1, 0, 1), node(3, l, 1, 0), MemberType::Normal, 1, "test")},
                                {beam_section()}, {support(1)}),
                     {}, {nodal_load(3, 1, p, {0, -1, 0})});
  Eigen::VectorXd u = zeros(v);
  cantilever_tip(u, 3, p, l);
  const auto r = reactions_of(v, u);
  EXPECT_NEAR(r.at(2).nodal_forces.fy, p, 1e-9 * p);
  EXPECT_NEAR(r.at(2).nodal_forces.mz, p * l, 1e-9 * p * l);
  EXPECT_EQ(r.at(1).nodal_forces.fy, 0.0);
  EXPECT_EQ(r.at(1).nodal_forces.mz, 0.0);
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), r));
}

TEST(RigidLinkReactions, UnsupportedSlaveHandsItsSumsToTheMaster) {
  const double l = 3.0;
  const double p = 200.0;
  VARN v = with_case(model_with({member(1, node(1, 0, 0, 0, 1), node(2, 0, 0, 2), MemberType::Rigid, 1, "test"),
                                 member(2, node(2, 0, 0, 2), node(3, l, 0, 2), MemberType::Normal, 1, "test")},
                                {beam_section()}, {support(1)}),
                     {}, {nodal_load(3, 1, p, {0, -1, 0})});
  Eigen::VectorXd u = zeros(v);
  cantilever_tip(u, 3, p, l);
  const auto r = reactions_of(v, u);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NEAR(r.at(1).nodal_forces.fy, p, 1e-9 * p);
  // About node 1: −(l, 0, 2) × (0, −P, 0) = (−2P, 0, P·l).
  EXPECT_NEAR(r.at(1).nodal_forces.mx, -2 * p, 1e-9 * p);
  EXPECT_NEAR(r.at(1).nodal_forces.mz, p * l, 1e-9 * p * l);
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), r));
}

TEST(RigidLinkReactions, ChainWithHeldLeaf) {
  // 1 → 2 → 3, only 3 held; loads on 1 and 2.
  VARN v = with_case(model_with({member(1, node(1, 0, 0, 0), node(2, 1, 0, 0), MemberType::Rigid, 1, "test"),
                                 member(2, node(2, 1, 0, 0), node(3, 1, 2, 0, 1), MemberType::Rigid, 1, "test")},
                                {}, {support(1)}),
                     {}, {nodal_load(1, 1, 4.0, {0, 0, 1}), nodal_load(2, 1, 3.0, {1, 0, 0})},
                     {nodal_moment(1, 1, 2.0, {0, 1, 0})});
  const auto r = reactions_of(v, zeros(v));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), r));
  EXPECT_DOUBLE_EQ(r.at(3).nodal_forces.fz, -4.0);
  EXPECT_DOUBLE_EQ(r.at(3).nodal_forces.fx, -3.0);
}

TEST(RigidLinkReactions, LoadedRigidMemberHandsItsLoadToTheNodes) {
  VARN v = with_case(
      model_with({member(1, node(1, 0, 0, 0, 1), node(2, 2, 0, 0), MemberType::Rigid, 1, "test")}, {}, {support(1)}),
      {line_load(1, 1, 100.0, 300.0, {0, 0, -1})});
  const auto r = reactions_of(v, zeros(v));
  EXPECT_NEAR(r.at(1).nodal_forces.fz, 400.0, 1e-9);
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), r));
}

TEST(RigidLinkReactions, SupportedSlaveTakesWhatTheBodysStaticsGiveIt) {
  // A rigid link 1→2 along X; master 1 held on every axis but RY, slave 2 in Z only; a
  // cantilever 2→3 (l) with P down at 3. About the master's free Y axis the slave's support
  // alone holds the load's moment: R2 = P·(2 + l)/2, and R1 = P − R2.
  const double l = 4.0;
  const double p = 1000.0;
  const auto free = condition(SupportConditionType::Free);
  VARN v = with_case(
      model_with({member(1, node(1, 0, 0, 0, 1), node(2, 2, 0, 0, 2), MemberType::Rigid, 1, "test"),
                  member(2, node(2, 2, 0, 0, 2), node(3, 2 + l, 0, 0), MemberType::Normal, 1, "test")},
                 {beam_section()}, {support(1, {}, {{"Y", free}}), support(2, {{"X", free}, {"Y", free}}, all_free())}),
      {}, {nodal_load(3, 1, p, {0, 0, -1})});
  Eigen::VectorXd u = zeros(v);
  set_dof(u, 3, 2, -p * l * l * l / (3 * kE * kIy));
  set_dof(u, 3, 4, p * l * l / (2 * kE * kIy));
  const auto r = reactions_of(v, u);
  EXPECT_NEAR(r.at(2).nodal_forces.fz, p * (2 + l) / 2, 1e-9 * p);
  EXPECT_NEAR(r.at(1).nodal_forces.fz, p - p * (2 + l) / 2, 1e-9 * p);
  EXPECT_NEAR(r.at(1).nodal_forces.my, 0.0, 1e-9 * p);  // free there
  EXPECT_EQ(r.at(2).nodal_forces.my, 0.0);
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), r));
}

TEST(RigidLinkReactions, LoadOnAnUnsupportedSlaveReachesTheSupportsByStatics) {
  // Master 1 of the links 1→2 (2 m along X) and 1→3 (1 m) held on every axis but RY, slave 2 in
  // Z only: P down at 3 goes half to each, by moments about the master's free Y axis.
  const double p = 800.0;
  const auto free = condition(SupportConditionType::Free);
  VARN v =
      with_case(model_with({member(1, node(1, 0, 0, 0, 1), node(2, 2, 0, 0, 2), MemberType::Rigid, 1, "test"),
                            member(2, node(1, 0, 0, 0, 1), node(3, 1, 0, 0), MemberType::Rigid, 1, "test")},
                           {}, {support(1, {}, {{"Y", free}}), support(2, {{"X", free}, {"Y", free}}, all_free())}),
                {}, {nodal_load(3, 1, p, {0, 0, -1})});
  const auto r = reactions_of(v, zeros(v));
  EXPECT_NEAR(r.at(1).nodal_forces.fz, p / 2, 1e-12 * p);
  EXPECT_NEAR(r.at(2).nodal_forces.fz, p / 2, 1e-12 * p);
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), r));
}

TEST(RigidLinkReactions, SupportsHoldingABodyTwiceShareWhatNeitherCarriesDirectly) {
  // Both ends of the same links held on every axis: the load at 3, which neither node carries
  // itself, is shared in the least-squares sense, half to each in Z and no moment (a rigid
  // body held twice over has no stiffness that would split it otherwise).
  const double p = 800.0;
  VARN v = with_case(model_with({member(1, node(1, 0, 0, 0, 1), node(2, 2, 0, 0, 1), MemberType::Rigid, 1, "test"),
                                 member(2, node(1, 0, 0, 0, 1), node(3, 1, 0, 0), MemberType::Rigid, 1, "test")},
                                {}, {support(1)}),
                     {}, {nodal_load(3, 1, p, {0, 0, -1})});
  const auto r = reactions_of(v, zeros(v));
  EXPECT_NEAR(r.at(1).nodal_forces.fz, p / 2, 1e-12 * p);
  EXPECT_NEAR(r.at(2).nodal_forces.fz, p / 2, 1e-12 * p);
  EXPECT_NEAR(r.at(1).nodal_forces.my, 0.0, 1e-12 * p);
  EXPECT_NEAR(r.at(2).nodal_forces.my, 0.0, 1e-12 * p);
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), r));
}

TEST(RigidLinkReactions, ReleasedOneSidedSupportOfASlaveCarriesNothing) {
  // The slave 2 rests on a PositiveOnly Z bearing that the solve has released, the master is
  // held on every axis: the master carries all, the released bearing 0.
  const double p = 600.0;
  const auto free = condition(SupportConditionType::Free);
  VARN v = with_case(
      model_with(
          {member(1, node(1, 0, 0, 0, 1), node(2, 2, 0, 0, 2), MemberType::Rigid, 1, "test")}, {},
          {support(1),
           support(2, {{"X", free}, {"Y", free}, {"Z", condition(SupportConditionType::PositiveOnly)}}, all_free())}),
      {}, {nodal_load(2, 1, p, {0, 0, 1})});
  const SupportState released{dof_index(2, 2)};
  auto comp = compose_support_reaction_vector_equilibrium(v, ResultType::loadcase(1), zeros(v), nullptr,
                                                          RecoveryMode::FirstOrder, nullptr, nullptr, &released);
  ASSERT_TRUE(comp) << comp.error();
  const auto r = extract_reaction_nodes(v, comp->reactions);
  EXPECT_EQ(r.at(2).nodal_forces.fz, 0.0);
  EXPECT_NEAR(r.at(1).nodal_forces.fz, -p, 1e-12 * p);
  EXPECT_NEAR(r.at(1).nodal_forces.my, 2 * p, 1e-12 * p);
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), r));
}

TEST(RigidLinkReactions, GraphFaultIsTheMessage) {
  VARN v = model_with({member(5, node(1, 0, 0, 0, 1), node(2, 0, 0, 0), MemberType::Rigid, 1, "test"),
                       member(6, node(2, 0, 0, 0), node(3, 1, 0, 0), MemberType::Normal, 1, "test")},
                      {beam_section()}, {support(1)});
  auto c = compose_support_reaction_vector_equilibrium(v, ResultType::loadcase(1), zeros(v), nullptr,
                                                       RecoveryMode::FirstOrder);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), "Rigid member 5 has zero length.");
}

// ---- whole structures ----------------------------------------------------------------------------

namespace {

// A portal frame with fixed bases (nodes 1, 4), a beam hinged at its right end, a diagonal
// truss and a tie, loads in two cases and a combination of them. The bars' stabilising
// transverse stiffness (1e-10·EA/L) carries forces that no bar reports, of the order of
// 1e-10·EA/L times the bars' transverse drift; the frame is stiff enough out of its plane that
// these stay far below the balance tolerance.
VARN portal() {
  const double h = 4.0;
  const double b = 6.0;
  const Node n1 = node(1, 0, 0, 0, 1), n2 = node(2, 0, 0, h), n3 = node(3, b, 0, h), n4 = node(4, b, 0, 0, 1);
  Member beam = member(2, n2, n3, MemberType::Normal, 1, "test");
  beam.end_hinge = 7;
  VARN v = model_with(
      {member(1, n1, n2, MemberType::Normal, 1, "test"), beam, member(3, n4, n3, MemberType::Normal, 1, "test"),
       member(4, n1, n3, MemberType::Truss, 2, "test"), member(5, n2, n4, MemberType::Tension, 2, "test")},
      {section(1, kA, kIy, 3e-5, 1e-6), section(2, 1e-3, 1e-8, 1e-8, 1e-8)}, {support(1)});
  MemberHinge hinge;
  hinge.id = 7;
  hinge.rotational_release_my = 0.0;
  v.memberhinges = std::vector<MemberHinge>{hinge};
  LoadCase g = load_case(1, "G");
  g.distributed_loads = {line_load(2, 1, 10e3, 10e3, {0, 0, -1}), line_load(4, 1, 800, 200, {0, 0, -1}),
                         line_load(5, 1, 150, 150, {0, 0, -1})};
  LoadCase w = load_case(2, "W");
  w.distributed_loads = {line_load(1, 2, 0, 5e3, {1, 0, 0}), line_load(3, 2, 1e3, 1e3, {0.3, 0.1, 0}, 0.2, 0.7)};
  w.nodal_loads = {nodal_load(2, 2, 20e3, {1, 0, 0}), nodal_load(3, 2, 500, {0, 1, 0})};
  w.nodal_moments = {nodal_moment(3, 2, 5e3, {0, 1, 0})};
  v.load_cases = {g, w};
  LoadCombination c;
  c.id = 10;
  c.name = "ULS";
  c.load_cases_factors[1] = 1.35;
  c.load_cases_factors[2] = 1.5;
  v.load_combinations = {c};
  return v;
}

}  // namespace

TEST(StructureReactions, PortalFrameBalancesEveryResultSet) {
  const VARN v = portal();
  for (const ResultType t : {ResultType::loadcase(1), ResultType::loadcase(2), ResultType::loadcombination(10)}) {
    const Eigen::VectorXd u = solve_first_order(v, t);
    auto comp = compose_support_reaction_vector_equilibrium(v, t, u, nullptr, RecoveryMode::FirstOrder);
    ASSERT_TRUE(comp) << comp.error();
    const auto r = extract_reaction_nodes(v, comp->reactions);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_TRUE(ReactionsBalanceLoads(v, t, r)) << (t.is_loadcase() ? "case " : "combination ") << t.id;
    for (const auto& m : v.member_sets[0].members)
      EXPECT_TRUE(MemberInEquilibrium(v, m, comp->member_results.at(m.id), t)) << m.id;
  }
}

TEST(StructureReactions, SwitchedOffTieIsLeftOutButItsLoadIsNot) {
  const VARN v = portal();
  const ActiveMap active = {{5, false}};
  const Eigen::VectorXd u = solve_first_order(v, ResultType::loadcase(2), &active);
  auto comp =
      compose_support_reaction_vector_equilibrium(v, ResultType::loadcase(2), u, &active, RecoveryMode::FirstOrder);
  ASSERT_TRUE(comp) << comp.error();
  const MemberResult& tie = comp->member_results.at(5);
  EXPECT_EQ(tie.start_node_forces.fx, 0.0);
  EXPECT_EQ(tie.local_end_forces.fx, 0.0);
  EXPECT_EQ(tie.local_displacement_end_node.dx, 0.0);
  EXPECT_TRUE(tie.section_forces.empty());
  EXPECT_EQ(deformable_member_ids(v, &active).count(5), 0u);
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(2), extract_reaction_nodes(v, comp->reactions)));

  // The tie carries its own weight in case 1: the nodes hold it even while it is slack.
  const Eigen::VectorXd ug = solve_first_order(v, ResultType::loadcase(1), &active);
  auto cg =
      compose_support_reaction_vector_equilibrium(v, ResultType::loadcase(1), ug, &active, RecoveryMode::FirstOrder);
  ASSERT_TRUE(cg) << cg.error();
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), extract_reaction_nodes(v, cg->reactions)));
}

TEST(StructureReactions, SameBitsOnEveryThreadCount) {
  const VARN v = portal();
  const Eigen::VectorXd u = solve_first_order(v, ResultType::loadcombination(10));
  const auto run = [&](int threads) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    auto c = compose_support_reaction_vector_equilibrium(v, ResultType::loadcombination(10), u, nullptr,
                                                         RecoveryMode::FirstOrder);
    return c->reactions;
  };
  const Eigen::VectorXd one = run(1);
  for (const int t : {2, 8}) {
    const Eigen::VectorXd many = run(t);
    ASSERT_EQ(many.size(), one.size());
    for (Eigen::Index i = 0; i < one.size(); ++i) EXPECT_EQ(std::memcmp(&one[i], &many[i], sizeof(double)), 0) << i;
  }
}

// ---- force maps of a nonlinear solve ---------------------------------------------------------

// A cantilever whose root hinge (bending about local z) and root support (along Y) follow
// stiffness curves, solved with the stiffnesses the curves give at the forces it carries. Given
// those forces, member recovery and reactions read the curves there, and report exactly what
// the same structure with plain springs of those stiffnesses reports: forces that belong to the
// solved stiffness, reactions in balance with the loads. Read at their first points instead,
// the springs report forces the displacements do not carry.
TEST(ForceMaps, CurveHingeAndCurveSupportAreReadAtTheForcesTheyCarry) {
  const double l = 3.0;
  const double p = 2e4;
  const double k_hinge = 4e6;    // N·m/rad at the root moment p·l
  const double k_support = 5e7;  // N/m at the root shear p
  const auto curve = [](ForceComponent c, double knee, double k) {
    StiffnessCurveConfig s;
    s.depends_on = c;
    // Softer below the knee, flat at k from the knee on: the solved state lies on the flat part.
    s.points = {{0.0, 0.2 * k}, {knee, k}, {100.0 * knee, k}};
    return s;
  };
  const auto model = [&](bool curves) {
    MemberHinge h;
    h.id = 1;
    SupportCondition y = condition(SupportConditionType::Spring, k_support);
    if (curves) {
      h.stiffness_curve_mz = curve(ForceComponent::Mz, 0.5 * p * l, k_hinge);
      y.stiffness = std::nullopt;
      y.stiffness_curve = curve(ForceComponent::Fy, 0.5 * p, k_support);
    } else {
      h.rotational_release_mz = k_hinge;
    }
    Member m = member(1, node(1, 0, 0, 0, 1), node(2, l, 0, 0), MemberType::Normal, 1, "test");
    m.start_hinge = 1;
    VARN v = model_with({m}, {beam_section()}, {support(1, {{"Y", y}})});
    v.memberhinges = std::vector<MemberHinge>{h};
    return with_case(v, {}, {nodal_load(2, 1, p, {0, -1, 0})});
  };
  const VARN springs = model(false);
  const VARN curves = model(true);
  const ResultType type = ResultType::loadcase(1);
  const Eigen::VectorXd u = solve_first_order(springs, type);

  // A spring DOF reports k·u; the force the spring exerts on the node is −k·u, and with that
  // sign the reactions must balance the loads.
  const auto support_forces_on_nodes = [](const VARN& v, Eigen::VectorXd r) {
    r[static_cast<Eigen::Index>(dof_index(1, 1))] *= -1.0;
    return extract_reaction_nodes(v, r);
  };
  auto want = compose_support_reaction_vector_equilibrium(springs, type, u, nullptr, RecoveryMode::FirstOrder);
  ASSERT_TRUE(want) << want.error();
  ASSERT_TRUE(ReactionsBalanceLoads(springs, type, support_forces_on_nodes(springs, want->reactions)));
  const MemberResult& beam = want->member_results.at(1);
  EXPECT_NEAR(std::abs(beam.local_start_forces.mz), p * l, 1e-9 * p * l);  // the hinge carries the root moment

  // The forces the solve converged with: the member's end forces, the root node's forces.
  const auto six = [](const NodeForces& f) { return EndForces{f.fx, f.fy, f.fz, f.mx, f.my, f.mz}; };
  MemberEndForceMap end_forces;
  end_forces[1] = {six(beam.local_start_forces), six(beam.local_end_forces)};
  SupportNodeForceMap support_forces;
  support_forces[1] = {0.0, p, 0.0, 0.0, 0.0, p * l};

  auto got = compose_support_reaction_vector_equilibrium(curves, type, u, nullptr, RecoveryMode::FirstOrder,
                                                         &support_forces, &end_forces);
  ASSERT_TRUE(got) << got.error();
  EXPECT_EQ(got->reactions, want->reactions);
  const MemberResult& read = got->member_results.at(1);
  for (const auto& [a, b] : {std::pair{&read.local_start_forces, &beam.local_start_forces},
                             std::pair{&read.local_end_forces, &beam.local_end_forces},
                             std::pair{&read.start_node_forces, &beam.start_node_forces}}) {
    EXPECT_EQ(a->fy, b->fy);
    EXPECT_EQ(a->mz, b->mz);
  }
  ASSERT_EQ(read.section_forces.size(), 3u);
  EXPECT_EQ(read.section_forces[1].forces.mz, beam.section_forces[1].forces.mz);
  EXPECT_TRUE(ReactionsBalanceLoads(curves, type, support_forces_on_nodes(curves, got->reactions)));
  // The recovery alone takes the member map the same way.
  EXPECT_EQ(compute_member_results_from_displacement(curves, type, u, nullptr, RecoveryMode::FirstOrder, &end_forces)
                .at(1)
                .local_start_forces.mz,
            beam.local_start_forces.mz);

  // Without the maps the curves act with their first points: the support reports 0.2·k·u and
  // the reactions no longer balance the load.
  auto first_points = compose_support_reaction_vector_equilibrium(curves, type, u, nullptr, RecoveryMode::FirstOrder);
  ASSERT_TRUE(first_points) << first_points.error();
  EXPECT_FALSE(ReactionsBalanceLoads(curves, type, support_forces_on_nodes(curves, first_points->reactions)));
  EXPECT_NE(first_points->member_results.at(1).local_start_forces.mz, beam.local_start_forces.mz);
}
