#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include "fatal.h"
#include "functions/geometry.h"
#include "functions/support_utils.h"
#include "models/loads/loadcase.h"
#include "models/varn/varn.h"
#include "recovery_test_support.h"

using namespace varn;
using namespace varn::test;

namespace {

SupportCondition cond(SupportConditionType t, std::optional<double> k = std::nullopt,
                      std::optional<StiffnessCurveConfig> curve = std::nullopt) {
  SupportCondition c;
  c.condition_type = t;
  c.stiffness = k;
  c.stiffness_curve = std::move(curve);
  return c;
}

StiffnessCurveConfig curve(std::vector<CurvePoint> pts, ForceComponent depends_on = ForceComponent::Vz) {
  StiffnessCurveConfig c;
  c.points = std::move(pts);
  c.depends_on = depends_on;
  return c;
}

const auto Fixed = SupportConditionType::Fixed;
const auto Free = SupportConditionType::Free;
const auto Spring = SupportConditionType::Spring;

// Fully fixed in the six translations and rotations, warping as given.
NodalSupport fixed_support(std::uint32_t id, std::optional<SupportCondition> warping = std::nullopt) {
  NodalSupport s;
  s.id = id;
  for (const char* a : {"X", "Y", "Z"}) {
    s.displacement_conditions[a] = cond(Fixed);
    s.rotation_conditions[a] = cond(Fixed);
  }
  s.warping_condition = std::move(warping);
  return s;
}

MemberHinge hinge(std::uint32_t id) {
  MemberHinge h;
  h.id = id;
  h.hinge_type = "pin";
  return h;
}

LoadCase load_case(std::uint32_t id) {
  LoadCase lc;
  lc.id = id;
  lc.name = "LC" + std::to_string(id);
  return lc;
}

std::set<std::size_t> dofs(std::initializer_list<std::size_t> d) { return std::set<std::size_t>(d); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Conditions by axis and spring stiffness

TEST(SupportCondition, LowerCaseKeyIsFoundWhenUpperCaseIsAbsent) {
  std::map<std::string, SupportCondition> m;
  m["x"] = cond(Spring, 10.0);
  const SupportCondition* c = get_support_condition(m, "X");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->stiffness, 10.0);
  EXPECT_EQ(get_support_condition(m, "Y"), nullptr);

  m["X"] = cond(Spring, 20.0);
  c = get_support_condition(m, "X");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->stiffness, 20.0);
}

struct SpringCase {
  const char* name;
  SupportCondition condition;
  std::uint32_t support;
  const char* axis;
  const char* kind;
  std::optional<SupportNodeForces> forces;
  std::optional<double> stiffness;  // expected stiffness when no message
  std::string message;              // expected message, empty for success
};

void PrintTo(const SpringCase& c, std::ostream* os) { *os << c.name; }

class ResolveSpring : public ::testing::TestWithParam<SpringCase> {};

TEST_P(ResolveSpring, StiffnessOrMessage) {
  const auto& p = GetParam();
  auto r = resolve_spring_stiffness(p.condition, p.support, p.axis, p.kind, p.forces ? &*p.forces : nullptr);
  if (!p.message.empty()) {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), p.message);
    return;
  }
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r.value(), p.stiffness);
}

const StiffnessCurveConfig kCurve = curve({{0, 1000}, {10, 2000}}, ForceComponent::Fz);

INSTANTIATE_TEST_SUITE_P(
    Table, ResolveSpring,
    ::testing::Values(
        SpringCase{"FixedIsNoSpring", cond(Fixed, 5.0), 1, "X", "displacement", {}, std::nullopt, ""},
        SpringCase{"FreeIsNoSpring", cond(Free), 1, "X", "displacement", {}, std::nullopt, ""},
        SpringCase{"ConstantSpring", cond(Spring, 2.5e6), 1, "Z", "displacement", {}, 2.5e6, ""},
        SpringCase{"MissingStiffness", cond(Spring), 3, "X", "displacement", {}, std::nullopt,
                   "Support 3 displacement X is Spring but stiffness is missing."},
        SpringCase{"ZeroStiffness", cond(Spring, 0.0), 4, "Y", "rotation", {}, std::nullopt,
                   "Support 4 rotation Y Spring stiffness must be positive."},
        SpringCase{"NegativeStiffness", cond(Spring, -1.0), 2, "Warp", "warping", {}, std::nullopt,
                   "Support 2 warping Warp Spring stiffness must be positive."},
        SpringCase{"NaNStiffness", cond(Spring, std::nan("")), 2, "Z", "rotation", {}, std::nullopt,
                   "Support 2 rotation Z Spring stiffness must be positive."},
        // A curve gives the stiffness whatever the type; without forces it is read at 0.
        SpringCase{"CurveOnFreeWithoutForces", cond(Free, std::nullopt, kCurve), 1, "X", "displacement", {}, 1000.0,
                   ""},
        SpringCase{"CurveOnFixed", cond(Fixed, std::nullopt, kCurve), 1, "X", "displacement", {}, 1000.0, ""},
        // |Fz| = 5 lies halfway along the curve.
        SpringCase{"CurveAtForceMagnitude", cond(Spring, 7.0, kCurve), 1, "Z", "displacement",
                   SupportNodeForces{100, 200, -5, 300, 400, 500}, 1500.0, ""},
        SpringCase{"CurveBeyondLastPointIsFlat", cond(Spring, std::nullopt, kCurve), 1, "Z", "displacement",
                   SupportNodeForces{0, 0, 50, 0, 0, 0}, 2000.0, ""},
        SpringCase{"MomentCurveReadsMomentComponent",
                   cond(Spring, std::nullopt, curve({{0, 10}, {4, 30}}, ForceComponent::My)), 1, "Y", "rotation",
                   SupportNodeForces{9, 9, 9, 9, -2, 9}, 20.0, ""},
        SpringCase{"InvalidCurve", cond(Spring, 5.0, curve({{0, 1000}})), 7, "Warp", "warping", {}, std::nullopt,
                   "Support 7 Warp StiffnessCurve must have at least 2 points (got 1)."},
        SpringCase{"CurveWithNonPositivePoint", cond(Free, std::nullopt, curve({{0, 1000}, {10, 0}})), 9, "X",
                   "displacement", {}, std::nullopt,
                   "Support 9 X StiffnessCurve point 1 has non-positive stiffness (0)."}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Supported nodes and spring collection

TEST(SupportSprings, NodeSharedByThreeMembersContributesOnce) {
  NodalSupport s;
  s.id = 5;
  s.displacement_conditions["X"] = cond(Spring, 100.0);
  s.displacement_conditions["z"] = cond(Spring, 300.0);
  s.displacement_conditions["Y"] = cond(Fixed);
  s.rotation_conditions["Y"] = cond(Spring, 50.0);
  s.warping_condition = cond(Spring, 7.0);
  const Node hub = node(2, 0, 0, 0, 5);
  auto sets = sets_of({member(1, node(1, -1, 0, 0), hub, MemberType::Normal, 1, "test"),
                       member(2, hub, node(3, 1, 0, 0), MemberType::Normal, 1, "test"),
                       member(3, node(4, 0, 1, 0), hub, MemberType::Normal, 1, "test")});
  auto r = collect_support_spring_entries(sets, {s});
  ASSERT_TRUE(r) << r.error();
  const std::size_t b = 7;  // node 2
  const std::vector<SupportSpringEntry> expected = {
      {b + 0, 100.0}, {b + 2, 300.0}, {b + 4, 50.0}, {b + 6, 7.0}};
  EXPECT_EQ(r.value(), expected);
}

TEST(SupportSprings, NodesInOrderOfFirstOccurrence) {
  NodalSupport s;
  s.id = 1;
  s.displacement_conditions["Z"] = cond(Spring, 10.0);
  auto sets = sets_of({member(1, node(3, 0, 0, 0, 1), node(1, 1, 0, 0, 1), MemberType::Normal, 1, "test"),
                       member(2, node(2, 2, 0, 0, 1), node(3, 0, 0, 0, 1), MemberType::Normal, 1, "test")});
  auto r = collect_support_spring_entries(sets, {s});
  ASSERT_TRUE(r) << r.error();
  const std::vector<SupportSpringEntry> expected = {{dof_index(3, 2), 10.0}, {dof_index(1, 2), 10.0}, {dof_index(2, 2), 10.0}};
  EXPECT_EQ(r.value(), expected);
}

TEST(SupportSprings, UnknownSupportIdIsPassedOver) {
  NodalSupport s;
  s.id = 1;
  s.displacement_conditions["X"] = cond(Spring, 10.0);
  auto sets = sets_of({member(1, node(1, 0, 0, 0, 99), node(2, 1, 0, 0), MemberType::Normal, 1, "test")});
  auto r = collect_support_spring_entries(sets, {s});
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->empty());
}

TEST(SupportSprings, CurveFollowsNodeForces) {
  NodalSupport s;
  s.id = 2;
  s.displacement_conditions["Z"] = cond(Spring, std::nullopt, kCurve);
  auto sets = sets_of({member(1, node(1, 0, 0, 0, 2), node(2, 1, 0, 0, 2), MemberType::Normal, 1, "test")});
  SupportNodeForceMap forces;
  forces[2] = SupportNodeForces{0, 0, 2.5, 0, 0, 0};
  auto r = collect_support_spring_entries_with_forces(sets, {s}, &forces);
  ASSERT_TRUE(r) << r.error();
  // Node 1 has no force entry and reads the curve at 0.
  const std::vector<SupportSpringEntry> expected = {{dof_index(1, 2), 1000.0}, {dof_index(2, 2), 1250.0}};
  EXPECT_EQ(r.value(), expected);
}

TEST(SupportSprings, FirstMessageEndsTheCollection) {
  NodalSupport good, bad;
  good.id = 1;
  good.displacement_conditions["X"] = cond(Spring, 10.0);
  bad.id = 2;
  bad.displacement_conditions["X"] = cond(Spring, 10.0);
  bad.rotation_conditions["Z"] = cond(Spring);
  bad.warping_condition = cond(Spring, -3.0);
  auto sets = sets_of({member(1, node(1, 0, 0, 0, 1), node(2, 1, 0, 0, 2), MemberType::Normal, 1, "test")});
  auto r = collect_support_spring_entries(sets, {good, bad});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Support 2 rotation Z is Spring but stiffness is missing.");
}

TEST(SupportSprings, LaterSupportWithSameIdIsUsed) {
  NodalSupport a, b;
  a.id = b.id = 1;
  a.displacement_conditions["X"] = cond(Spring, 10.0);
  b.displacement_conditions["X"] = cond(Spring, 20.0);
  auto r = collect_support_spring_entries(
      sets_of({member(1, node(1, 0, 0, 0, 1), node(2, 1, 0, 0), MemberType::Normal, 1, "test")}), {a, b});
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ(r->front().k, 20.0);
}

// ---------------------------------------------------------------------------------------------
// Curve tests

TEST(StiffnessCurveTests, SupportCurvesAnywhere) {
  EXPECT_FALSE(has_stiffness_curves({}));
  NodalSupport plain = fixed_support(1, cond(Spring, 4.0));
  EXPECT_FALSE(has_stiffness_curves({plain}));

  NodalSupport odd_key = plain;
  odd_key.rotation_conditions["torsion"] = cond(Free, std::nullopt, kCurve);  // read by nothing else
  EXPECT_TRUE(has_stiffness_curves({plain, odd_key}));

  NodalSupport warping = plain;
  warping.warping_condition = cond(Spring, std::nullopt, kCurve);
  EXPECT_TRUE(has_stiffness_curves({warping}));

  NodalSupport disp = plain;
  disp.displacement_conditions["Y"] = cond(Spring, std::nullopt, kCurve);
  EXPECT_TRUE(has_stiffness_curves({disp}));
}

TEST(StiffnessCurveTests, HingeCurves) {
  EXPECT_FALSE(has_hinge_stiffness_curves(std::optional<std::vector<MemberHinge>>{}));
  MemberHinge h = hinge(1);
  h.rotational_release_mz = 0.0;
  EXPECT_FALSE(has_hinge_stiffness_curves(std::vector<MemberHinge>{h}));
  MemberHinge c = hinge(2);
  c.stiffness_curve_my = curve({});
  EXPECT_TRUE(has_hinge_stiffness_curves(std::optional<std::vector<MemberHinge>>{std::vector<MemberHinge>{h, c}}));
}

// ---------------------------------------------------------------------------------------------
// Zero-energy DOFs

TEST(ZeroEnergyDofs, TrussOnlyNodeHasFreeRotationsAndWarping) {
  // Two bars meeting at node 2; nodes 1 and 3 fixed in translation and rotation, warping free.
  auto sets = sets_of({member(1, node(1, 0, 0, 0, 1), node(2, 2, 1, 0), MemberType::Truss, 1, "test"),
                       member(2, node(2, 2, 1, 0), node(3, 4, 0, 0, 1), MemberType::Tension, 1, "test")});
  const std::vector<NodalSupport> supports = {fixed_support(1)};
  const auto z = detect_zero_energy_dofs(sets, supports, {}, std::nullopt, RigidStrategy::LinearMpc);
  // Node 2: rotations 10, 11, 12 and warping 13; the supported nodes' warping 6 and 20.
  EXPECT_EQ(z, dofs({6, 10, 11, 12, 13, 20}));

  // A moment about Z at node 2 loads rz; a zero moment, and a zero direction component, load
  // nothing.
  LoadCase lc = load_case(1);
  NodalMoment m;
  m.node = 2;
  m.magnitude = 3.0;
  m.direction = {0.0, 0.0, 1.0};
  lc.nodal_moments.push_back(m);
  NodalMoment zero = m;
  zero.magnitude = 0.0;
  zero.direction = {1.0, 1.0, 1.0};
  lc.nodal_moments.push_back(zero);
  NodalMoment nan = m;
  nan.magnitude = std::nan("");
  nan.direction = {1.0, 0.0, 0.0};
  lc.nodal_moments.push_back(nan);
  // A load on a node that no member reaches has no DOF to mark.
  NodalLoad stray;
  stray.node = 40;
  stray.magnitude = 1.0;
  stray.direction = {1.0, 0.0, 0.0};
  lc.nodal_loads.push_back(stray);
  const auto z2 = detect_zero_energy_dofs(sets, supports, {lc}, std::nullopt, RigidStrategy::LinearMpc);
  EXPECT_EQ(z2, dofs({6, 10, 11, 13, 20}));

  // Warping held at the supports.
  const auto z3 =
      detect_zero_energy_dofs(sets, {fixed_support(1, cond(Fixed))}, {}, std::nullopt, RigidStrategy::LinearMpc);
  EXPECT_EQ(z3, dofs({10, 11, 12, 13}));
}

TEST(ZeroEnergyDofs, LoadsOfEveryLoadCaseCount) {
  auto sets = sets_of({member(1, node(1, 0, 0, 0, 1), node(2, 2, 0, 0), MemberType::Truss, 1, "test")});
  LoadCase a = load_case(1), b = load_case(2);
  NodalMoment m;
  m.node = 2;
  m.magnitude = 1.0;
  m.direction = {1.0, 0.0, 0.0};
  b.nodal_moments.push_back(m);
  NodalLoad l;  // a force marks translations only
  l.node = 2;
  l.magnitude = 1.0;
  l.direction = {0.0, 0.0, -1.0};
  a.nodal_loads.push_back(l);
  const auto z =
      detect_zero_energy_dofs(sets, {fixed_support(1, cond(Fixed))}, {a, b}, std::nullopt, RigidStrategy::LinearMpc);
  EXPECT_EQ(z, dofs({11, 12, 13}));
}

TEST(ZeroEnergyDofs, SupportConditionsThatHoldNothing) {
  // A single bar; node 1 carries a support whose conditions hold nothing: Free, a stiffness on
  // a Free condition (no spring is made of it) and a PositiveOnly condition. Node 1's
  // rotations therefore stay zero-energy; a Free condition with a curve is a spring and holds.
  NodalSupport s;
  s.id = 1;
  s.rotation_conditions["X"] = cond(Free);
  s.rotation_conditions["Y"] = cond(Free, 1e6);
  s.rotation_conditions["Z"] = cond(SupportConditionType::PositiveOnly, 1e6);
  s.warping_condition = cond(Free, std::nullopt, kCurve);
  auto sets = sets_of({member(1, node(1, 0, 0, 0, 1), node(2, 2, 0, 0), MemberType::Truss, 1, "test")});
  const auto z = detect_zero_energy_dofs(sets, {s}, {}, std::nullopt, RigidStrategy::LinearMpc);
  EXPECT_EQ(z, dofs({3, 4, 5, 10, 11, 12, 13}));

  // Spring conditions with a positive stiffness hold their DOF.
  s.rotation_conditions["X"] = cond(Spring, 10.0);
  s.rotation_conditions["y"] = cond(Spring, 10.0);
  s.rotation_conditions.erase("Y");
  s.rotation_conditions["Z"] = cond(Fixed);
  const auto z2 = detect_zero_energy_dofs(sets, {s}, {}, std::nullopt, RigidStrategy::LinearMpc);
  EXPECT_EQ(z2, dofs({10, 11, 12, 13}));
}

struct TipHingeCase {
  const char* name;
  Vec3 tip;            // the free end; the member starts at the origin
  double roll;         // rotation angle of the local axes [rad]
  bool start_release;  // release at the supported start instead of the tip
  double release_mz;   // hinge value for the local z rotation (<= 0 releases, > 0 is a spring)
  std::set<std::size_t> expected;
};

void PrintTo(const TipHingeCase& c, std::ostream* os) { *os << c.name; }

class TipHinge : public ::testing::TestWithParam<TipHingeCase> {};

TEST_P(TipHinge, ReleasedTipRotationIsZeroEnergy) {
  // Cantilever from a node fixed in all seven DOFs to a free tip (node 2, DOFs 7..13).
  const auto& p = GetParam();
  Member m = member(1, node(1, 0, 0, 0, 1), node(2, p.tip.x(), p.tip.y(), p.tip.z()), MemberType::Normal, 1, "test");
  m.rotation_angle = p.roll;
  (p.start_release ? m.start_hinge : m.end_hinge) = 9;
  MemberHinge h = hinge(9);
  h.rotational_release_mz = p.release_mz;
  const auto z = detect_zero_energy_dofs(sets_of({m}), {fixed_support(1, cond(Fixed))}, {},
                                         std::vector<MemberHinge>{h}, RigidStrategy::LinearMpc);
  EXPECT_EQ(z, p.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TipHinge,
    ::testing::Values(
        // Along X the local z axis is global Z: the tip's rz (7 + 5) is free.
        TipHingeCase{"AlongX", Vec3(3, 0, 0), 0.0, false, 0.0, dofs({12})},
        TipHingeCase{"NegativeReleaseValue", Vec3(3, 0, 0), 0.0, false, -1.0, dofs({12})},
        // Along Y the local z axis is global X: the tip's rx (7 + 3).
        TipHingeCase{"AlongY", Vec3(0, 3, 0), 0.0, false, 0.0, dofs({10})},
        // A quarter roll turns local z onto -global Y: the tip's ry (7 + 4), although cos(pi/2)
        // leaves a residue of 6e-17 in the other direction cosine.
        TipHingeCase{"AlongXRolledQuarterTurn", Vec3(3, 0, 0), std::numbers::pi / 2, false, 0.0, dofs({11})},
        // Skewed in the XY plane: local z stays global Z.
        TipHingeCase{"SkewedInPlane", Vec3(3, 4, 0), 0.0, false, 0.0, dofs({12})},
        // Out of plane the hinge axis (-0.8, 0, 0.6) is no global axis: every global rotation
        // is still reached by local x or y, so no single global DOF is without stiffness.
        TipHingeCase{"SkewedOutOfPlane", Vec3(3, 0, 4), 0.0, false, 0.0, dofs({})},
        // A spring in the hinge keeps stiffness.
        TipHingeCase{"SpringHinge", Vec3(3, 0, 0), 0.0, false, 5e4, dofs({})},
        // The released start rotation is held by the support; the tip is reached by the beam.
        TipHingeCase{"ReleaseAtSupport", Vec3(3, 0, 0), 0.0, true, 0.0, dofs({})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ZeroEnergyDofs, UnreleasedBeamAndUnknownHingeStiffenEverything) {
  Member m = member(1, node(1, 0, 0, 0, 1), node(2, 3, 0, 0), MemberType::Normal, 1, "test");
  EXPECT_TRUE(detect_zero_energy_dofs(sets_of({m}), {fixed_support(1, cond(Fixed))}, {}, std::nullopt,
                                      RigidStrategy::LinearMpc)
                  .empty());
  m.end_hinge = 77;  // no hinge has this id: the end is rigidly connected
  MemberHinge h = hinge(9);
  h.rotational_release_mz = 0.0;
  EXPECT_TRUE(detect_zero_energy_dofs(sets_of({m}), {fixed_support(1, cond(Fixed))}, {},
                                      std::vector<MemberHinge>{h}, RigidStrategy::LinearMpc)
                  .empty());
}

TEST(ZeroEnergyDofs, TipHingeReleasingTranslationAndWarping) {
  Member m = member(1, node(1, 0, 0, 0, 1), node(2, 3, 0, 0), MemberType::Normal, 1, "test");
  m.end_hinge = 4;
  MemberHinge h = hinge(4);
  h.translational_release_vy = 0.0;
  h.rotational_release_warp = 0.0;
  const auto z = detect_zero_energy_dofs(sets_of({m}), {fixed_support(1, cond(Fixed))}, {},
                                         std::vector<MemberHinge>{h}, RigidStrategy::LinearMpc);
  EXPECT_EQ(z, dofs({8, 13}));
}

TEST(ZeroEnergyDofs, RigidMembersDependOnStrategy) {
  // Beam 1-2 fixed at 1; rigid link 2-3; node 3 reached only by the rigid link.
  auto sets = sets_of({member(1, node(1, 0, 0, 0, 1), node(2, 3, 0, 0), MemberType::Normal, 1, "test"),
                       member(2, node(2, 3, 0, 0), node(3, 3, 1, 0), MemberType::Rigid, 1, "test")});
  const std::vector<NodalSupport> supports = {fixed_support(1, cond(Fixed))};
  EXPECT_EQ(detect_zero_energy_dofs(sets, supports, {}, std::nullopt, RigidStrategy::LinearMpc),
            dofs({14, 15, 16, 17, 18, 19, 20}));
  EXPECT_TRUE(detect_zero_energy_dofs(sets, supports, {}, std::nullopt, RigidStrategy::RigidMember).empty());
}

TEST(ZeroEnergyDofs, ReadsHingesAndStrategy) {
  VARN model;
  auto detect_zero_energy_dofs_of = [](const VARN& m) {
    return detect_zero_energy_dofs(m.member_sets, m.nodal_supports, m.load_cases, m.memberhinges,
                                   m.settings.analysis_options.rigid_strategy);
  };
  Member beam = member(1, node(1, 0, 0, 0, 1), node(2, 3, 0, 0), MemberType::Normal, 1, "test");
  beam.end_hinge = 3;
  model.member_sets = sets_of({beam, member(2, node(2, 3, 0, 0), node(3, 3, 0, 2), MemberType::Rigid, 1, "test")});
  model.nodal_supports = {fixed_support(1, cond(Fixed))};
  MemberHinge h = hinge(3);
  h.rotational_release_mz = 0.0;
  model.memberhinges = std::vector<MemberHinge>{h};
  model.settings.analysis_options.rigid_strategy = RigidStrategy::RigidMember;
  // The stiff beam of the rigid member reaches node 2's rz, which the hinge of member 1 frees.
  EXPECT_TRUE(detect_zero_energy_dofs_of(model).empty());
  model.settings.analysis_options.rigid_strategy = RigidStrategy::LinearMpc;
  EXPECT_EQ(detect_zero_energy_dofs_of(model), dofs({12, 14, 15, 16, 17, 18, 19, 20}));
}

TEST(ZeroEnergyDofs, NoMembersNoDofs) {
  EXPECT_TRUE(detect_zero_energy_dofs({}, {}, {}, std::nullopt, RigidStrategy::LinearMpc).empty());
}

// ---------------------------------------------------------------------------------------------
// Prescribing one DOF of a dense system

TEST(ConstrainSingleDof, PrescribedDisplacementOfASpringChain) {
  // Ground - k1 - node 0 - k2 - node 1 - k3 - node 2, force P at node 2, node 1 prescribed.
  const double k1 = 100, k2 = 200, k3 = 400, P = 10;
  Eigen::MatrixXd K(3, 3);
  K << k1 + k2, -k2, 0, -k2, k2 + k3, -k3, 0, -k3, k3;
  for (double u1 : {0.0, 0.05}) {
    Eigen::MatrixXd Kc = K;
    Eigen::VectorXd f(3);
    f << 0, 0, P;
    constrain_single_dof(Kc, f, 1, u1);
    EXPECT_EQ(Kc(1, 1), 1.0);
    EXPECT_EQ(Kc.row(1).sum(), 1.0);
    EXPECT_EQ(Kc.col(1).sum(), 1.0);
    const Eigen::VectorXd u = Kc.lu().solve(f);
    // With node 1 held at u1, node 0 sits between two springs: u0 = k2 u1 / (k1 + k2), and
    // node 2 stretches k3 by P: u2 = u1 + P / k3.
    EXPECT_NEAR(u(0), k2 * u1 / (k1 + k2), 1e-14);
    EXPECT_NEAR(u(1), u1, 1e-14);
    EXPECT_NEAR(u(2), u1 + P / k3, 1e-14);
  }
}

TEST(ConstrainSingleDof, IndexOutsideTheSystemIsAFatalFault) {
  Eigen::MatrixXd K = Eigen::MatrixXd::Identity(2, 2);
  Eigen::VectorXd f = Eigen::VectorXd::Zero(2);
  EXPECT_THROW(constrain_single_dof(K, f, 2, 0.0), FatalFault);
  Eigen::VectorXd g = Eigen::VectorXd::Zero(3);
  EXPECT_THROW(constrain_single_dof(K, g, 0, 0.0), FatalFault);
}
