// Member result recovery, equivalent member loads, section stations, node displacements and
// the result builders, checked against closed-form beam and truss mechanics.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <numbers>
#include <string>
#include <vector>

#include <tbb/global_control.h>

#include "equilibrium.h"
#include "fatal.h"
#include "models/varn/reactions.h"
#include "models/varn/member_results.h"
#include "models/varn/geometric_stiffness.h"
#include "recovery_test_support.h"

using namespace varn;
using namespace varn::test;

namespace {


double rel(double expected) { return 1e-9 * std::max(1.0, std::abs(expected)); }


// The identity frame of a member along global X (local y = global Y, local z = global Z).
Mat14 frame_along_x() { return Mat14::Identity(); }

VARN one_member_model(double length, MemberType type = MemberType::Normal) {
  return model_with({member(1, node(1, 0, 0, 0), node(2, length, 0, 0), type, 1, "test")}, {beam_section()});
}

}  // namespace

// ---- equivalent member loads ---------------------------------------------------------------

TEST(EquivalentLoads, UniformLoadOnBeamAlongX) {
  const VARN v = with_case(one_member_model(4.0), {line_load(1, 1, 10.0, 10.0, {0, -1, 0})});
  const MemberLoadSet loads = compute_feq_for_member(1, frame_along_x(), v, 4.0, ResultType::loadcase(1));
  // Fixed-end values of qL/2 and qL²/12, q = 10, L = 4, acting along −Y.
  EXPECT_NEAR(loads.f_eq[1], -20.0, 1e-12);
  EXPECT_NEAR(loads.f_eq[8], -20.0, 1e-12);
  EXPECT_NEAR(loads.f_eq[5], -160.0 / 12.0, 1e-12);
  EXPECT_NEAR(loads.f_eq[12], 160.0 / 12.0, 1e-12);
  for (int i : {0, 2, 3, 4, 6, 7, 9, 10, 11, 13}) EXPECT_EQ(loads.f_eq[i], 0.0) << i;
  ASSERT_EQ(loads.segments.size(), 1u);
  const LoadSegment& s = loads.segments[0];
  EXPECT_EQ(s.w_s, 10.0);
  EXPECT_EQ(s.w_e, 10.0);
  EXPECT_EQ(s.s, 0.0);
  EXPECT_EQ(s.e, 1.0);
  EXPECT_EQ(s.qx, 0.0);
  EXPECT_EQ(s.qy, -1.0);
  EXPECT_EQ(s.qz, 0.0);
}

struct AxialCase {
  const char* name;
  double q_s, q_e;
  double start_share, end_share;  // end values as fractions of q·L
};

void PrintTo(const AxialCase& c, std::ostream* os) { *os << c.name; }

class AxialLoadShares : public ::testing::TestWithParam<AxialCase> {};

// Along its axis a beam shares a load with the linear weights of its axial element, the lever
// rule of a pin-ended bar: a load rising from 0 to q gives qL/6 and qL/3.
TEST_P(AxialLoadShares, BeamTakesLinearWeightsAlongItsAxis) {
  const AxialCase& c = GetParam();
  const double l = 3.0;
  const double q = 6.0;
  const VARN v = with_case(one_member_model(l), {line_load(1, 1, c.q_s * q, c.q_e * q, {1, 0, 0})});
  const MemberLoadSet beam = compute_feq_for_member(1, frame_along_x(), v, l, ResultType::loadcase(1));
  EXPECT_NEAR(beam.f_eq[0], c.start_share * q * l, 1e-12);
  EXPECT_NEAR(beam.f_eq[7], c.end_share * q * l, 1e-12);
  // Along the axis: no transverse value and no moment.
  for (int i : {1, 2, 3, 4, 5, 8, 9, 10, 11, 12}) EXPECT_EQ(beam.f_eq[i], 0.0);
}

INSTANTIATE_TEST_SUITE_P(Shapes, AxialLoadShares,
                         ::testing::Values(AxialCase{"uniform", 1.0, 1.0, 0.5, 0.5},
                                           AxialCase{"triangular", 0.0, 1.0, 1.0 / 6.0, 1.0 / 3.0},
                                           AxialCase{"falling", 1.0, 0.0, 1.0 / 3.0, 1.0 / 6.0}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SimpleBeamCase {
  const char* name;
  double q_s, q_e, s, e;
  double start_share, end_share;  // fractions of q·L
};

void PrintTo(const SimpleBeamCase& c, std::ostream* os) { *os << c.name; }

class SimpleBeamShares : public ::testing::TestWithParam<SimpleBeamCase> {};

TEST_P(SimpleBeamShares, LeverRuleOfPinEndedBar) {
  const SimpleBeamCase& c = GetParam();
  const double l = 2.5;
  const double q = 4.0;
  const VARN v =
      with_case(one_member_model(l, MemberType::Truss), {line_load(1, 1, c.q_s * q, c.q_e * q, {0, 0, -1}, c.s, c.e)});
  const MemberLoadSet loads = compute_simple_beam_loads_for_member(1, frame_along_x(), v, l, ResultType::loadcase(1));
  EXPECT_NEAR(loads.f_eq[2], -c.start_share * q * l, 1e-12);
  EXPECT_NEAR(loads.f_eq[9], -c.end_share * q * l, 1e-12);
  for (int i : {0, 1, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13}) EXPECT_EQ(loads.f_eq[i], 0.0) << i;
}

INSTANTIATE_TEST_SUITE_P(Shapes, SimpleBeamShares,
                         ::testing::Values(SimpleBeamCase{"uniform", 1, 1, 0, 1, 0.5, 0.5},
                                           SimpleBeamCase{"triangular", 0, 1, 0, 1, 1.0 / 6.0, 1.0 / 3.0},
                                           SimpleBeamCase{"first_half", 1, 1, 0, 0.5, 0.375, 0.125}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EquivalentLoads, LoadsThatContributeNothing) {
  const VARN v = with_case(one_member_model(4.0), {
                                                      line_load(1, 1, 10, 10, {0, -1, 0}, 0.3, 0.3),  // no extent
                                                      line_load(1, 2, 10, 10, {0, -1, 0}),  // filed under case 2
                                                      line_load(2, 1, 10, 10, {0, -1, 0}),  // another member
                                                  });
  const MemberLoadSet loads = compute_feq_for_member(1, frame_along_x(), v, 4.0, ResultType::loadcase(1));
  EXPECT_EQ(loads.f_eq, Vec14::Zero());
  EXPECT_TRUE(loads.segments.empty());
  for (const ResultType t : {ResultType::loadcase(9), ResultType::loadcombination(9)}) {
    const MemberLoadSet none = compute_feq_for_member(1, frame_along_x(), v, 4.0, t);
    EXPECT_EQ(none.f_eq, Vec14::Zero());
    EXPECT_TRUE(none.segments.empty());
  }
}

TEST(EquivalentLoads, DirectionIsNotNormalised) {
  const VARN one = with_case(one_member_model(4.0), {line_load(1, 1, 10, 10, {0, -1, 0})});
  const VARN two = with_case(one_member_model(4.0), {line_load(1, 1, 10, 10, {0, -2, 0})});
  const auto a = compute_feq_for_member(1, frame_along_x(), one, 4.0, ResultType::loadcase(1));
  const auto b = compute_feq_for_member(1, frame_along_x(), two, 4.0, ResultType::loadcase(1));
  for (int i = 0; i < 14; ++i) EXPECT_DOUBLE_EQ(b.f_eq[i], 2.0 * a.f_eq[i]);
  EXPECT_EQ(b.segments[0].qy, -2.0);
}

TEST(EquivalentLoads, CombinationFactorsTheCases) {
  VARN v = one_member_model(4.0);
  LoadCase lc1 = load_case(1, "LC1");
  lc1.distributed_loads = {line_load(1, 1, 10, 10, {0, -1, 0})};
  LoadCase lc2 = load_case(2, "LC2");
  lc2.distributed_loads = {line_load(1, 2, 0, 6, {0, 0, 1})};
  v.load_cases = {lc1, lc2};
  LoadCombination combo;
  combo.id = 5;
  combo.name = "C";
  combo.load_cases_factors[1] = 1.5;
  combo.load_cases_factors[2] = 1.0;
  combo.load_cases_factors[77] = 3.0;  // no such case: changes nothing
  v.load_combinations.push_back(combo);

  const auto c = compute_feq_for_member(1, frame_along_x(), v, 4.0, ResultType::loadcombination(5));
  const auto f1 = compute_feq_for_member(1, frame_along_x(), v, 4.0, ResultType::loadcase(1));
  const auto f2 = compute_feq_for_member(1, frame_along_x(), v, 4.0, ResultType::loadcase(2));
  for (int i = 0; i < 14; ++i) EXPECT_NEAR(c.f_eq[i], 1.5 * f1.f_eq[i] + f2.f_eq[i], 1e-12) << i;
  ASSERT_EQ(c.segments.size(), 2u);
  EXPECT_EQ(c.segments[0].w_s, 15.0);
  EXPECT_EQ(c.segments[0].w_e, 15.0);
  EXPECT_EQ(c.segments[1].w_s, 0.0);
  EXPECT_EQ(c.segments[1].w_e, 6.0);
}

TEST(EquivalentLoads, FrameResolvesTheGlobalDirection) {
  // A member along global Z: local x = Z, local y = Y, local z = −X (reference axis Y).
  VARN v = model_with({member(1, node(1, 0, 0, 0), node(2, 0, 0, 3), MemberType::Normal, 1, "test")}, {beam_section()});
  v = with_case(v, {line_load(1, 1, 2, 2, {1, 0, 0})});
  const Mat14 t = v.member_sets[0].members[0].calculate_transformation_matrix_3d();
  const auto loads = compute_feq_for_member(1, t, v, 3.0, ResultType::loadcase(1));
  ASSERT_EQ(loads.segments.size(), 1u);
  EXPECT_NEAR(loads.segments[0].qx, 0.0, 1e-15);
  EXPECT_NEAR(loads.segments[0].qy, 0.0, 1e-15);
  EXPECT_NEAR(loads.segments[0].qz, -1.0, 1e-15);
  EXPECT_NEAR(loads.f_eq[2], -3.0, 1e-12);            // −qL/2 along local z
  EXPECT_NEAR(loads.f_eq[4], 2.0 * 9.0 / 12.0, 1e-12);  // −(qL²/12)·qz about local y
}

// ---- section stations ------------------------------------------------------------------------

TEST(SectionStations, SimplySupportedUniformLoad) {
  const std::vector<LoadSegment> segs = {LoadSegment{10, 10, 0, 1, 0, -1, 0}};
  const auto st = compute_section_forces(NodeForces{0, 20, 0, 0, 0, 0, 0}, 4.0, segs);
  ASSERT_EQ(st.size(), 3u);
  const double vy[] = {10, 0, -10};
  const double mz[] = {-15, -20, -15};  // −3qL²/32, −qL²/8, −3qL²/32
  for (int i = 0; i < 3; ++i) {
    EXPECT_DOUBLE_EQ(st[static_cast<std::size_t>(i)].x_frac, 0.25 * (i + 1));
    EXPECT_NEAR(st[static_cast<std::size_t>(i)].forces.fy, vy[i], 1e-12);
    EXPECT_NEAR(st[static_cast<std::size_t>(i)].forces.mz, mz[i], 1e-12);
    EXPECT_EQ(st[static_cast<std::size_t>(i)].forces.bw, 0.0);
  }
}

TEST(SectionStations, PartialLoadActsOnlyBeyondItsStart) {
  const double l = 4.0;
  const double q = 8.0;
  const std::vector<LoadSegment> segs = {LoadSegment{q, q, 0.5, 1.0, 0, 0, -1}};
  const NodeForces start{0, 0, 1.0, 0, 0.5, 0, 0};
  const auto loaded = compute_section_forces(start, l, segs);
  const auto bare = compute_section_forces(start, l, {});
  for (int i : {0, 1}) {
    EXPECT_EQ(loaded[static_cast<std::size_t>(i)].forces.fz, bare[static_cast<std::size_t>(i)].forces.fz);
    EXPECT_EQ(loaded[static_cast<std::size_t>(i)].forces.my, bare[static_cast<std::size_t>(i)].forces.my);
  }
  // At 0.75: the load between 0.5 and 0.75, q·L/4 along −z, acting L/8 before the station.
  const double r = q * l * 0.25;
  EXPECT_NEAR(loaded[2].forces.fz - bare[2].forces.fz, -r, 1e-12);
  EXPECT_NEAR(loaded[2].forces.my - bare[2].forces.my, -r * l / 8.0, 1e-12);
}

TEST(SectionStations, MomentsFollowTheStartForces) {
  // Without loads: N, V, Mx constant; My = my + Vz·x, Mz = mz − Vy·x.
  const auto st = compute_section_forces(NodeForces{3, 2, -1, 7, 5, 4, 9}, 2.0, {});
  for (std::size_t i = 0; i < 3; ++i) {
    const double x = 0.5 * static_cast<double>(i + 1);
    EXPECT_EQ(st[i].forces.fx, 3);
    EXPECT_EQ(st[i].forces.mx, 7);
    EXPECT_NEAR(st[i].forces.my, 5 - x, 1e-14);
    EXPECT_NEAR(st[i].forces.mz, 4 - 2 * x, 1e-14);
    EXPECT_EQ(st[i].forces.bw, 0.0);
  }
}

// ---- helpers -----------------------------------------------------------------------------------

TEST(RecoveryHelpers, ExtremaIgnoreNaN) {
  Vec14 f = Vec14::Zero();
  f[1] = std::numeric_limits<double>::quiet_NaN();
  f[8] = 4.0;
  f[2] = -1.0;
  f[9] = 2.0;
  const auto [mx, mn] = compute_component_extrema(f);
  EXPECT_EQ(mx.fy, 4.0);
  EXPECT_EQ(mn.fy, 4.0);
  EXPECT_EQ(mx.fz, 2.0);
  EXPECT_EQ(mn.fz, -1.0);
}

TEST(RecoveryHelpers, EliminationOrderAndSpringValues) {
  MemberEndModes modes;
  modes.end_rotation[2] = AxisMode::spring(5e3);
  modes.start_rotation[1] = AxisMode::released();
  modes.start_translation[0] = AxisMode::spring(-3.0);
  modes.end_warping = AxisMode::spring(std::numeric_limits<double>::quiet_NaN());
  modes.start_warping = AxisMode::spring(std::numeric_limits<double>::infinity());  // rigid
  modes.end_translation[1] = AxisMode::spring(-std::numeric_limits<double>::infinity());
  const std::vector<ReleasedDof> expected = {{0, 0.0}, {4, 0.0}, {8, 0.0}, {12, 5e3}, {13, 0.0}};
  EXPECT_EQ(build_elimination_from_modes(modes), expected);
}

TEST(RecoveryHelpers, LocalDisplacementsNeedFourteenEntries) {
  const Eigen::VectorXd v = Eigen::VectorXd::LinSpaced(14, 0, 13);
  const auto a = local_displacements_from_vector(v);
  EXPECT_EQ(a[13], 13.0);
  try {
    (void)local_displacements_from_vector(Eigen::VectorXd::Zero(13));
    FAIL() << "expected a fault";
  } catch (const FatalFault& e) {
    EXPECT_STREQ(e.what(), "Matrix index out of bounds.");
  }
}

// ---- beams -------------------------------------------------------------------------------------

TEST(BeamRecovery, CantileverWithTipLoad) {
  const double l = 3.0;
  const double p = 1200.0;
  const VARN v = with_case(one_member_model(l), {}, {nodal_load(2, 1, p, {0, -1, 0})});
  // Exact Euler-Bernoulli tip displacement and rotation of a cantilever fixed at node 1.
  Eigen::VectorXd u = zeros(v);
  set_dof(u, 2, 1, -p * l * l * l / (3 * kE * kIz));
  set_dof(u, 2, 5, -p * l * l / (2 * kE * kIz));

  for (const bool solved : {false, true}) {
    VARN model = v;
    Eigen::VectorXd uu = u;
    if (solved) {
      model.nodal_supports = {support(1)};
      model.member_sets[0].members[0].start_node.nodal_support = 1;
      uu = solve_first_order(model, ResultType::loadcase(1));
      EXPECT_NEAR(uu[static_cast<Eigen::Index>(dof_index(2, 1))], u[static_cast<Eigen::Index>(dof_index(2, 1))],
                  1e-9 * std::abs(u[static_cast<Eigen::Index>(dof_index(2, 1))]));
    }
    const auto results =
        compute_member_results_from_displacement(model, ResultType::loadcase(1), uu, nullptr, RecoveryMode::FirstOrder);
    ASSERT_EQ(results.count(1), 1u);
    const MemberResult& r = results.at(1);
    EXPECT_NEAR(r.start_node_forces.fy, p, rel(p));
    EXPECT_NEAR(r.start_node_forces.mz, p * l, rel(p * l));
    EXPECT_NEAR(r.end_node_forces.fy, -p, rel(p));
    EXPECT_NEAR(r.end_node_forces.mz, 0.0, rel(p * l));
    ASSERT_EQ(r.section_forces.size(), 3u);
    const double mz[] = {0.75, 0.5, 0.25};
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_NEAR(r.section_forces[i].forces.fy, p, rel(p));
      EXPECT_NEAR(r.section_forces[i].forces.mz, mz[i] * p * l, rel(p * l));
    }
    EXPECT_NEAR(r.local_maximums.mz, p * l, rel(p * l));
    EXPECT_NEAR(r.local_minimums.mz, 0.0, rel(p * l));
    EXPECT_NEAR(r.local_displacement_end_node.dy, u[static_cast<Eigen::Index>(dof_index(2, 1))], 1e-15);
  }
}

TEST(BeamRecovery, SimplySupportedBeamUnderUniformLoad) {
  const double l = 6.0;
  const double w = 5000.0;
  const auto roller_x = condition(SupportConditionType::Free);
  const auto free_rot = condition(SupportConditionType::Free);
  VARN v =
      model_with({member(1, node(1, 0, 0, 0, 1), node(2, l, 0, 0, 2), MemberType::Normal, 1, "test")}, {beam_section()},
                 {support(1, {}, {{"Y", free_rot}, {"Z", free_rot}}),
                  support(2, {{"X", roller_x}}, {{"Y", free_rot}, {"Z", free_rot}})});
  v = with_case(v, {line_load(1, 1, w, w, {0, -1, 0})});
  const Eigen::VectorXd u = solve_first_order(v, ResultType::loadcase(1));
  // Midspan deflection is not a node here; the end rotations are ∓wL³/(24EI).
  const double theta = w * l * l * l / (24 * kE * kIz);
  EXPECT_NEAR(u[static_cast<Eigen::Index>(dof_index(1, 5))], -theta, 1e-9 * theta);
  EXPECT_NEAR(u[static_cast<Eigen::Index>(dof_index(2, 5))], theta, 1e-9 * theta);

  auto comp =
      compose_support_reaction_vector_equilibrium(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::FirstOrder);
  ASSERT_TRUE(comp) << comp.error();
  const MemberResult& r = comp->member_results.at(1);
  EXPECT_NEAR(r.local_start_forces.fy, w * l / 2, rel(w * l));
  EXPECT_NEAR(r.local_end_forces.fy, w * l / 2, rel(w * l));
  EXPECT_NEAR(r.local_start_forces.mz, 0.0, rel(w * l * l));
  EXPECT_NEAR(r.section_forces[1].x_frac, 0.5, 0);
  // Sagging moment wL²/8: negative about local +z with the start force taken upwards.
  EXPECT_NEAR(r.section_forces[1].forces.mz, -w * l * l / 8, rel(w * l * l));
  EXPECT_NEAR(r.section_forces[1].forces.fy, 0.0, rel(w * l));
  EXPECT_NEAR(r.local_minimums.mz, -w * l * l / 8, rel(w * l * l));

  const auto reactions = extract_reaction_nodes(v, comp->reactions);
  EXPECT_NEAR(reactions.at(1).nodal_forces.fy, w * l / 2, rel(w * l));
  EXPECT_NEAR(reactions.at(2).nodal_forces.fy, w * l / 2, rel(w * l));
  EXPECT_TRUE(ReactionsBalanceLoads(v, ResultType::loadcase(1), reactions));
}

TEST(BeamRecovery, EndReleaseCarriesNoMomentAndSpringCarriesItsShare) {
  // A beam held at both nodes (u = 0) under a uniform load q along −Y, with the end rotation
  // about z joined to node 2 by a spring k. Slope-deflection: the element end turns by
  // θ = (qL²/12)/(4EI/L + k) and the spring moment on the member is −k·θ.
  const double l = 4.0;
  const double q = 3000.0;
  for (const double k : {0.0, 1e5, 1e7, 1e12}) {
    VARN v = with_case(one_member_model(l), {line_load(1, 1, q, q, {0, -1, 0})});
    MemberHinge h;
    h.id = 3;
    h.rotational_release_mz = k;
    v.memberhinges = std::vector<MemberHinge>{h};
    v.member_sets[0].members[0].end_hinge = 3;
    const auto res = compute_member_results_from_displacement(v, ResultType::loadcase(1), zeros(v), nullptr,
                                                              RecoveryMode::FirstOrder);
    const MemberResult& r = res.at(1);
    const double kb = 4 * kE * kIz / l;
    const double theta = (q * l * l / 12) / (kb + k);
    EXPECT_NEAR(r.local_end_forces.mz, -k * theta, rel(q * l * l)) << k;
    if (k == 0.0) {
      // Propped cantilever: 5qL/8 and 3qL/8, start moment qL²/8.
      EXPECT_EQ(r.local_end_forces.mz, 0.0);
      EXPECT_NEAR(r.local_start_forces.fy, 5 * q * l / 8, rel(q * l));
      EXPECT_NEAR(r.local_end_forces.fy, 3 * q * l / 8, rel(q * l));
      EXPECT_NEAR(r.local_start_forces.mz, q * l * l / 8, rel(q * l * l));
    }
    EXPECT_TRUE(MemberInEquilibrium(v, v.member_sets[0].members[0], r, ResultType::loadcase(1)));
  }
}

TEST(BeamRecovery, SingularReleasePatternFallsBackToZeroElementSide) {
  // Twist released at both ends: the released block is singular; the recovery still gives a
  // result, with the element ends untwisted, so no torque.
  VARN v = one_member_model(2.0);
  MemberHinge h;
  h.id = 1;
  h.rotational_release_mx = 0.0;
  v.memberhinges = std::vector<MemberHinge>{h};
  v.member_sets[0].members[0].start_hinge = 1;
  v.member_sets[0].members[0].end_hinge = 1;
  Eigen::VectorXd u = zeros(v);
  set_dof(u, 2, 3, 0.01);
  set_dof(u, 2, 1, 0.001);
  const auto res =
      compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::FirstOrder);
  ASSERT_EQ(res.count(1), 1u);
  EXPECT_EQ(res.at(1).local_start_forces.mx, 0.0);
  EXPECT_EQ(res.at(1).local_end_forces.mx, 0.0);
  EXPECT_NE(res.at(1).local_end_forces.fy, 0.0);
}

// Principal axes at 90°: the section's principal y axis is the member's local z, its principal
// z axis the member's −y. The stiffness is then that of the section with i_y and i_z swapped
// (so the displacements are), and the forces are reported along the principal axes:
//   Vy_p = +Vz, Vz_p = −Vy, My_p = +Mz, Mz_p = −My.
// A mirrored member sees −90°: Vy_p = −Vz, Vz_p = +Vy, My_p = −Mz, Mz_p = +My.
struct PrincipalCase {
  const char* name;
  double angle;
  bool mirror;
  double sign;  // +1 for +90°, −1 for −90°
};

void PrintTo(const PrincipalCase& c, std::ostream* os) { *os << c.name; }

class PrincipalAxes : public ::testing::TestWithParam<PrincipalCase> {};

TEST_P(PrincipalAxes, QuarterTurnRelabelsTheSwappedSection) {
  const PrincipalCase& c = GetParam();
  const double l = 3.5;
  Section rotated = beam_section(1);
  rotated.principal_axis_angle = c.angle;
  const Section swapped = section(1, kA, kIz, kIy, kJ);

  const auto build = [&](const Section& s) {
    VARN v = model_with({member(1, node(1, 0, 0, 0, 1), node(2, l, 0, 0), MemberType::Normal, 1, "test")}, {s},
                        {support(1)});
    v.member_sets[0].members[0].mirror = c.mirror;
    return with_case(v, {line_load(1, 1, 2000, 500, {0, 0.6, -0.8})}, {nodal_load(2, 1, 900, {0.2, -1, 0.5})},
                     {nodal_moment(2, 1, 300, {1, 0.3, -0.4})});
  };
  const VARN vr = build(rotated);
  const VARN vs = build(swapped);
  const Eigen::VectorXd ur = solve_first_order(vr, ResultType::loadcase(1));
  const Eigen::VectorXd us = solve_first_order(vs, ResultType::loadcase(1));
  for (Eigen::Index i = 0; i < ur.size(); ++i) EXPECT_NEAR(ur[i], us[i], 1e-9 * us.cwiseAbs().maxCoeff()) << i;

  const MemberResult r =
      compute_member_results_from_displacement(vr, ResultType::loadcase(1), ur, nullptr, RecoveryMode::FirstOrder)
          .at(1);
  const MemberResult s =
      compute_member_results_from_displacement(vs, ResultType::loadcase(1), us, nullptr, RecoveryMode::FirstOrder)
          .at(1);
  const double sg = c.sign;
  const auto check = [&](const NodeForces& got, const NodeForces& ref, const char* where) {
    const double tol = 1e-7 * 1e4;
    EXPECT_NEAR(got.fx, ref.fx, tol) << where;
    EXPECT_NEAR(got.fy, sg * ref.fz, tol) << where;
    EXPECT_NEAR(got.fz, -sg * ref.fy, tol) << where;
    EXPECT_NEAR(got.mx, ref.mx, tol) << where;
    EXPECT_NEAR(got.my, sg * ref.mz, tol) << where;
    EXPECT_NEAR(got.mz, -sg * ref.my, tol) << where;
  };
  check(r.local_start_forces, s.local_start_forces, "start");
  check(r.local_end_forces, s.local_end_forces, "end");
  ASSERT_EQ(r.section_forces.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) check(r.section_forces[i].forces, s.section_forces[i].forces, "station");
  // Global end forces are not rotated.
  EXPECT_NEAR(r.start_node_forces.fy, s.start_node_forces.fy, 1e-3);
  EXPECT_NEAR(r.start_node_forces.mz, s.start_node_forces.mz, 1e-3);
  EXPECT_NEAR(r.maximums.mz, s.maximums.mz, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Angles, PrincipalAxes,
                         ::testing::Values(PrincipalCase{"plus90", 90.0, false, 1.0},
                                           PrincipalCase{"minus90", -90.0, false, -1.0},
                                           PrincipalCase{"plus90_mirrored", 90.0, true, -1.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BeamRecovery, TinyPrincipalAngleIsIgnored) {
  Section s = beam_section();
  s.principal_axis_angle = 1e-13;
  VARN v = model_with({member(1, node(1, 0, 0, 0), node(2, 2, 0, 0), MemberType::Normal, 1, "test")}, {s});
  VARN w = model_with({member(1, node(1, 0, 0, 0), node(2, 2, 0, 0), MemberType::Normal, 1, "test")}, {beam_section()});
  Eigen::VectorXd u = zeros(v);
  set_dof(u, 2, 1, 1e-3);
  set_dof(u, 2, 2, -2e-3);
  const auto a =
      compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::FirstOrder);
  const auto b =
      compute_member_results_from_displacement(w, ResultType::loadcase(1), u, nullptr, RecoveryMode::FirstOrder);
  EXPECT_EQ(a.at(1).local_end_forces.fy, b.at(1).local_end_forces.fy);
  EXPECT_EQ(a.at(1).local_end_forces.fz, b.at(1).local_end_forces.fz);
}

TEST(BeamRecovery, PortalFrameMembersAreInEquilibriumWithTheirLoads) {
  // Two columns, a beam hinged at its right end, a loaded diagonal truss and a tie; fixed bases.
  const double h = 4.0;
  const double b = 6.0;
  const Node n1 = node(1, 0, 0, 0, 1), n2 = node(2, 0, 0, h), n3 = node(3, b, 0, h), n4 = node(4, b, 0, 0, 1);
  Member beam = member(2, n2, n3, MemberType::Normal, 1, "test");
  beam.end_hinge = 7;
  VARN v = model_with(
      {member(1, n1, n2, MemberType::Normal, 1, "test"), beam, member(3, n4, n3, MemberType::Normal, 1, "test"),
       member(4, n1, n3, MemberType::Truss, 2, "test"), member(5, n2, n4, MemberType::Tension, 2, "test")},
      {beam_section(1), section(2, 1e-3, 1e-8, 1e-8, 1e-8)}, {support(1)});
  MemberHinge hinge;
  hinge.id = 7;
  hinge.rotational_release_my = 0.0;
  v.memberhinges = std::vector<MemberHinge>{hinge};
  v = with_case(v,
                {line_load(2, 1, 10e3, 10e3, {0, 0, -1}), line_load(1, 1, 0, 5e3, {1, 0, 0}),
                 line_load(4, 1, 800, 200, {0, 0, -1}), line_load(3, 1, 1e3, 1e3, {0.3, 0.5, 0}, 0.2, 0.7)},
                {nodal_load(2, 1, 20e3, {1, 0, 0}), nodal_load(3, 1, 4e3, {0, 1, 0})},
                {nodal_moment(3, 1, 5e3, {0, 1, 0})});
  const Eigen::VectorXd u = solve_first_order(v, ResultType::loadcase(1));
  const auto res =
      compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::FirstOrder);
  ASSERT_EQ(res.size(), 5u);
  for (const auto& m : v.member_sets[0].members)
    EXPECT_TRUE(MemberInEquilibrium(v, m, res.at(m.id), ResultType::loadcase(1))) << m.id;
  // The released end of the beam carries no bending moment about its local y.
  EXPECT_NEAR(res.at(2).local_end_forces.my, 0.0, 1e-6);
  // Truss members carry no moments and have no stations.
  for (std::uint32_t id : {4u, 5u}) {
    EXPECT_EQ(res.at(id).local_start_forces.my, 0.0);
    EXPECT_EQ(res.at(id).start_node_forces.mz, 0.0);
    EXPECT_TRUE(res.at(id).section_forces.empty());
  }
  // The right column is loaded only up to 0.7 of its length, so the part after its last station
  // carries no load: the station force is the negated end force, and the station moment
  // balances the end moment with the end force's lever.
  const MemberResult& col = res.at(3);
  const double l3 = h;
  const double x_rest = 0.25 * l3;
  EXPECT_NEAR(col.section_forces[2].forces.fy, -col.local_end_forces.fy, 1e-6);
  EXPECT_NEAR(col.section_forces[2].forces.mz - col.section_forces[2].forces.fy * x_rest, -col.local_end_forces.mz,
              1e-5);
}

TEST(BeamRecovery, SuppressedPDeltaAxes) {
  // A beam along X stretched by δ (so N > 0) with its end moved by v along Y; the simplified
  // geometric stiffness adds N/L·v to the transverse end forces unless Y is suppressed.
  const double l = 2.0;
  VARN v = one_member_model(l);
  v.settings.analysis_options.pdelta_formulation = PdeltaFormulation::Simplified;
  Eigen::VectorXd u = zeros(v);
  set_dof(u, 2, 0, 1e-4);
  set_dof(u, 2, 1, 5e-3);
  const double n = kE * kA / l * 1e-4;
  const auto fy_end = [&](std::vector<std::string> axes, bool second) {
    VARN m = v;
    m.settings.analysis_options.pdelta_suppress_axes = std::move(axes);
    return compute_member_results_from_displacement(m, ResultType::loadcase(1), u, nullptr,
                                                    second ? RecoveryMode::SecondOrder : RecoveryMode::FirstOrder)
        .at(1)
        .local_end_forces.fy;
  };
  const double first = fy_end({}, false);
  EXPECT_NEAR(fy_end({}, true) - first, n / l * 5e-3, 1e-6 * n);
  EXPECT_NEAR(fy_end({"y"}, true), first, 1e-9 * std::abs(first));
  EXPECT_NEAR(fy_end({"XY"}, true) - first, n / l * 5e-3, 1e-6 * n);
  EXPECT_NEAR(fy_end({"Q"}, true) - first, n / l * 5e-3, 1e-6 * n);
  EXPECT_NEAR(fy_end({"Z", "x"}, true) - first, n / l * 5e-3, 1e-6 * n);
}

TEST(BeamRecovery, CorotationalRigidMotionGivesNoForces) {
  const double l = 3.0;
  VARN v = one_member_model(l);
  Eigen::VectorXd u = zeros(v);
  // Rotate the member rigidly by 0.3 rad about global Z through its start node, and shift it.
  const double a = 0.3;
  for (std::uint32_t id : {1u, 2u}) {
    const double x = id == 1 ? 0.0 : l;
    set_dof(u, id, 0, x * std::cos(a) - x + 0.1);
    set_dof(u, id, 1, x * std::sin(a) - 0.2);
    set_dof(u, id, 2, 0.05);
    set_dof(u, id, 5, a);
  }
  const MemberResult r =
      compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::Corotational)
          .at(1);
  for (const NodeForces* f : {&r.start_node_forces, &r.end_node_forces, &r.local_start_forces, &r.local_end_forces}) {
    EXPECT_NEAR(f->fx, 0.0, 1e-3);
    EXPECT_NEAR(f->fy, 0.0, 1e-3);
    EXPECT_NEAR(f->mz, 0.0, 1e-3);
  }
}

TEST(BeamRecovery, CorotationalStationsMatchFirstOrderForSmallDeformation) {
  const double l = 5.0;
  const double q = 200.0;
  VARN v = model_with({member(1, node(1, 0, 0, 0, 1), node(2, l, 0, 0), MemberType::Normal, 1, "test")},
                      {beam_section()}, {support(1)});
  v = with_case(v, {line_load(1, 1, q, q, {0, -1, 0})});
  const Eigen::VectorXd u = solve_first_order(v, ResultType::loadcase(1));
  const auto lin =
      compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::FirstOrder).at(1);
  const auto cor =
      compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::Corotational)
          .at(1);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(cor.section_forces[i].forces.mz, lin.section_forces[i].forces.mz, 1e-2 * q * l * l);
    EXPECT_NEAR(cor.section_forces[i].forces.fy, lin.section_forces[i].forces.fy, 1e-2 * q * l);
  }
  EXPECT_NEAR(cor.local_start_forces.mz, q * l * l / 2, 1e-2 * q * l * l);
}

// ---- trusses -----------------------------------------------------------------------------------

TEST(TrussRecovery, BarInTension) {
  const double l = 2.0;
  VARN v = model_with({member(1, node(1, 0, 0, 0), node(2, 0, l, 0), MemberType::Truss, 1, "test")}, {beam_section()});
  Eigen::VectorXd u = zeros(v);
  set_dof(u, 2, 1, 1e-3);
  const double n = kE * kA / l * 1e-3;
  const MemberResult r =
      compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::FirstOrder).at(1);
  EXPECT_NEAR(r.local_start_forces.fx, -n, rel(n));
  EXPECT_NEAR(r.local_end_forces.fx, n, rel(n));
  EXPECT_NEAR(r.end_node_forces.fy, n, rel(n));  // the bar runs along global Y
  EXPECT_NEAR(r.start_node_forces.fy, -n, rel(n));
  for (const NodeForces* f : {&r.local_start_forces, &r.local_end_forces, &r.start_node_forces, &r.maximums,
                              &r.local_minimums}) {
    EXPECT_EQ(f->mx, 0.0);
    EXPECT_EQ(f->my, 0.0);
    EXPECT_EQ(f->mz, 0.0);
    EXPECT_EQ(f->bw, 0.0);
  }
  EXPECT_NEAR(r.local_maximums.fx, n, rel(n));
  EXPECT_NEAR(r.local_minimums.fx, -n, rel(n));
  EXPECT_TRUE(r.section_forces.empty());
  EXPECT_NEAR(r.local_displacement_end_node.dx, 1e-3, 1e-18);
}

TEST(TrussRecovery, LoadedBarBalancesItsLoadMoment) {
  // Triangular load across a pin-ended bar: the ends take the simple-beam reactions qL/6 and
  // qL/3, so the bar's end forces balance the load's resultant and its moment.
  const double l = 3.0;
  const double q = 600.0;
  VARN v = with_case(
      model_with({member(1, node(1, 0, 0, 0), node(2, l, 0, 0), MemberType::Truss, 1, "test")}, {beam_section()}),
      {line_load(1, 1, 0, q, {0, 0, -1})});
  const MemberResult r =
      compute_member_results_from_displacement(v, ResultType::loadcase(1), zeros(v), nullptr, RecoveryMode::FirstOrder)
          .at(1);
  EXPECT_NEAR(r.local_start_forces.fz, q * l / 6, rel(q * l));
  EXPECT_NEAR(r.local_end_forces.fz, q * l / 3, rel(q * l));
  EXPECT_TRUE(MemberInEquilibrium(v, v.member_sets[0].members[0], r, ResultType::loadcase(1)));
}

TEST(TrussRecovery, ActiveMapSwitchesOnlyTiesAndStruts) {
  const auto model_of = [](MemberType t) {
    return model_with({member(1, node(1, 0, 0, 0), node(2, 2, 0, 0), t, 1, "test")}, {beam_section()});
  };
  Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
  u[7] = 1e-3;
  const ActiveMap off = {{1, false}};
  const ActiveMap other = {{9, false}};
  struct Row {
    MemberType type;
    const ActiveMap* active;
    bool zero;
  };
  for (const Row& row : {Row{MemberType::Tension, &off, true}, Row{MemberType::Compression, &off, true},
                         Row{MemberType::Tension, &other, false}, Row{MemberType::Tension, nullptr, false},
                         Row{MemberType::Truss, &off, false}}) {
    const MemberResult r = compute_member_results_from_displacement(model_of(row.type), ResultType::loadcase(1), u,
                                                                    row.active, RecoveryMode::FirstOrder)
                               .at(1);
    if (row.zero) {
      const std::string json = [&] {
        std::string out;
        json::write_from(out, r);
        return out;
      }();
      EXPECT_EQ(r.local_end_forces.fx, 0.0);
      EXPECT_EQ(r.local_displacement_end_node.dx, 0.0);
      EXPECT_EQ(json.find_first_of("123456789"), std::string::npos) << json;
    } else {
      EXPECT_GT(r.local_end_forces.fx, 0.0);
    }
  }
}

TEST(TrussRecovery, CoincidentNodesGiveAZeroResult) {
  VARN v = model_with({member(1, node(1, 1, 1, 1), node(2, 1, 1, 1), MemberType::Truss, 1, "test")}, {beam_section()});
  Eigen::VectorXd u = Eigen::VectorXd::Constant(14, 0.01);
  const MemberResult r =
      compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::FirstOrder).at(1);
  EXPECT_EQ(r.local_start_forces.fx, 0.0);
  EXPECT_EQ(r.local_displacement_start_node.dx, 0.0);
}

TEST(TrussRecovery, SecondOrderStringForcesOnlyInGlobalAxes) {
  const double l = 2.0;
  VARN v = model_with({member(1, node(1, 0, 0, 0), node(2, l, 0, 0), MemberType::Truss, 1, "test")}, {beam_section()});
  Eigen::VectorXd u = zeros(v);
  set_dof(u, 2, 0, 1e-3);
  set_dof(u, 2, 1, 0.02);
  const double n = kE * kA / l * 1e-3;
  const MemberResult r =
      compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::SecondOrder).at(1);
  EXPECT_NEAR(r.end_node_forces.fy, n * 0.02 / l, rel(n));
  EXPECT_NEAR(r.start_node_forces.fy, -n * 0.02 / l, rel(n));
  EXPECT_EQ(r.local_end_forces.fy, 0.0);
  EXPECT_EQ(r.local_start_forces.fz, 0.0);
  EXPECT_NEAR(r.local_end_forces.fx, n, rel(n));
}

// The second-order end forces in global axes are the member's own part of the solve's tangent
// times its displacements: the elastic matrix plus the geometric matrix of the assembly, with
// the same choice of matrix and the same suppressed P-delta axes, for bars and beams, on an
// inclined member whose local axes mix every global one.
TEST(SecondOrderRecovery, GlobalEndForcesAreTheTangentsOwnMemberMatrixTimesU) {
  struct Case {
    const char* what;
    MemberType type;
    PdeltaFormulation formulation;
    std::vector<std::string> axes;
  };
  const std::vector<Case> cases = {
      {"bar", MemberType::Truss, PdeltaFormulation::Simplified, {}},
      {"bar, Y suppressed", MemberType::Truss, PdeltaFormulation::Simplified, {"Y"}},
      {"bar, x and z suppressed", MemberType::Truss, PdeltaFormulation::Simplified, {"x", "Z"}},
      {"beam, simplified", MemberType::Normal, PdeltaFormulation::Simplified, {}},
      {"beam, simplified, z suppressed", MemberType::Normal, PdeltaFormulation::Simplified, {"z"}},
      {"beam, consistent, Y suppressed", MemberType::Normal, PdeltaFormulation::Consistent, {"Y"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VARN v = model_with({member(1, node(1, 0, 0, 0), node(2, 2.0, 1.0, 0.5), c.type, 1, "test")}, {beam_section()});
    v.settings.analysis_options.pdelta_formulation = c.formulation;
    v.settings.analysis_options.pdelta_suppress_axes = c.axes;
    Eigen::VectorXd u = zeros(v);
    const double d[7] = {2e-3, 3e-2, -1e-2, 1e-3, -2e-3, 4e-3, 0.0};  // stretched and swayed
    for (int k = 0; k < 6; ++k) set_dof(u, 2, k, d[k]);
    if (c.type == MemberType::Truss) {
      for (int k = 3; k < 6; ++k) set_dof(u, 2, k, 0.0);  // a bar's node rotations carry nothing
    }
    const Member& m = v.member_sets[0].members[0];
    const AssemblyContext ctx = v.build_lookup_maps();
    const auto kg = member_geometric_stiffness_global(m, ctx, v.settings.analysis_options, u, ActiveMap{}, 0.0);
    ASSERT_TRUE(kg.has_value());
    ASSERT_TRUE(kg->has_value());  // the member carries an axial force
    // The elastic part: the beam's matrix; for a bar its axial stiffness alone (the bar's
    // vanishing transverse stabilisers of the assembly are not reported as forces).
    const Mat14 t = m.calculate_transformation_matrix_3d();
    Mat14 ke_local = c.type == MemberType::Truss
                         ? *m.calculate_truss_stiffness_matrix_local(ctx.materials, ctx.sections)
                         : *m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections);
    if (c.type == MemberType::Truss) {
      const double k_axial = ke_local(0, 0);
      ke_local.setZero();
      ke_local(0, 0) = ke_local(7, 7) = k_axial;
      ke_local(0, 7) = ke_local(7, 0) = -k_axial;
    }
    const std::optional<Mat14> ke = Mat14(t.transpose() * ke_local * t);
    Vec14 ue;
    for (int k = 0; k < 7; ++k) {
      ue[k] = 0.0;
      ue[7 + k] = k < 6 ? u[7 + k] : 0.0;
    }
    const Vec14 want = (*ke + **kg) * ue;
    const MemberResult r =
        compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::SecondOrder)
            .at(1);
    const double got[6] = {r.end_node_forces.fx, r.end_node_forces.fy, r.end_node_forces.fz,
                           r.end_node_forces.mx, r.end_node_forces.my, r.end_node_forces.mz};
    // Two products of the same matrices in other orders: round-off of the largest term.
    const double scale = ((*ke + **kg).cwiseAbs() * ue.cwiseAbs()).maxCoeff();
    for (int k = 0; k < 6; ++k) {
      EXPECT_NEAR(got[k], want[7 + k], 1e-12 * scale) << "component " << k;
    }
    // A suppressed axis carries no string force: along it the bar's end forces are those of
    // its axial force alone.
    if (c.type == MemberType::Truss && c.axes == std::vector<std::string>{"Y"}) {
      const double n = r.local_end_forces.fx;
      const double axis_y = 1.0 / std::sqrt(2.0 * 2.0 + 1.0 + 0.25);
      EXPECT_NEAR(r.end_node_forces.fy, n * axis_y, 1e-12 * std::abs(n));
    }
  }
}

// ---- the map ------------------------------------------------------------------------------------

TEST(MemberResultMap, RigidAndUnbuildableMembersHaveNoEntry) {
  VARN v = model_with({member(1, node(1, 0, 0, 0), node(2, 1, 0, 0), MemberType::Rigid, 1, "test"),
                       member(2, node(2, 1, 0, 0), node(3, 2, 0, 0), MemberType::Normal, 42, "test"),
                       member(3, node(3, 2, 0, 0), node(4, 3, 0, 0), MemberType::Normal, 1, "test")},
                      {beam_section()});
  const auto res =
      compute_member_results_from_displacement(v, ResultType::loadcase(1), zeros(v), nullptr, RecoveryMode::FirstOrder);
  EXPECT_EQ(res.size(), 1u);
  EXPECT_EQ(res.count(3), 1u);
}

TEST(MemberResultMap, LaterMemberWithTheSameIdWins) {
  VARN v = model_with({member(7, node(1, 0, 0, 0), node(2, 1, 0, 0), MemberType::Normal, 1, "test"),
                       member(7, node(2, 1, 0, 0), node(3, 1, 2, 0), MemberType::Normal, 1, "test")},
                      {beam_section()});
  Eigen::VectorXd u = zeros(v);
  set_dof(u, 3, 1, 1e-3);
  const auto res =
      compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::FirstOrder);
  ASSERT_EQ(res.size(), 1u);
  EXPECT_NE(res.at(7).local_end_forces.fx, 0.0);  // the second member, along Y, is stretched
}

TEST(MemberResultMap, LowestFailingMemberIndexIsReported) {
  // Many members so that the pool splits the loop; two faults of different text.
  std::vector<Member> members;
  for (std::uint32_t i = 1; i <= 2000; ++i)
    members.push_back(member(i, node(i, i, 0, 0), node(i + 1, i + 1, 0, 0), MemberType::Normal, 1, "test"));
  members[1200].section.reset();                                  // Normal without a section id
  members[700].member_type = MemberType::Truss;                   // truss whose section is not found
  members[700].section = 99;
  const VARN v = model_with(members, {beam_section()});
  const Eigen::VectorXd u = zeros(v);
  for (const int threads : {1, 4, 16}) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    try {
      (void)compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::FirstOrder);
      FAIL() << "expected a fault";
    } catch (const FatalFault& e) {
      EXPECT_STREQ(e.what(), "Missing section data: member_id=701, section_id=99");
    }
  }
}

struct FaultCase {
  const char* name;
  MemberType type;
  std::optional<std::uint32_t> section_id;
  std::uint32_t material_of_section;
  const char* message;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class MissingRecords : public ::testing::TestWithParam<FaultCase> {};

TEST_P(MissingRecords, StopTheRecoveryWithTheirFault) {
  const FaultCase& c = GetParam();
  Section s = beam_section(1);
  s.material = c.material_of_section;
  const VARN v = model_with({member(4, node(1, 0, 0, 0), node(2, 2, 0, 0), c.type, c.section_id, "test")}, {s});
  try {
    (void)compute_member_results_from_displacement(v, ResultType::loadcase(1), zeros(v), nullptr,
                                                   RecoveryMode::FirstOrder);
    FAIL() << "expected a fault";
  } catch (const FatalFault& e) {
    EXPECT_EQ(std::string(e.what()), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, MissingRecords,
    ::testing::Values(
        FaultCase{"beam_without_section", MemberType::Normal, std::nullopt, 1,
                  "Member 4 (Normal) missing section id required to compute axial force."},
        FaultCase{"tie_without_section", MemberType::Tension, std::nullopt, 1,
                  "Member 4 (Tension) missing section id required to compute axial force."},
        FaultCase{"truss_section_not_found", MemberType::Truss, 3, 1, "Missing section data: member_id=4, section_id=3"},
        FaultCase{"truss_material_not_found", MemberType::Compression, 1, 8,
                  "Missing material for section: member_id=4, section_id=1, material_id=8"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MemberResultMap, BeamWhoseStiffnessCannotBeBuiltIsLeftOut) {
  Section s = beam_section(1);
  s.material = 8;
  const VARN v = model_with({member(4, node(1, 0, 0, 0), node(2, 2, 0, 0), MemberType::Normal, 1, "test")}, {s});
  EXPECT_TRUE(
      compute_member_results_from_displacement(v, ResultType::loadcase(1), zeros(v), nullptr, RecoveryMode::FirstOrder)
          .empty());
}

TEST(MemberResultMap, ShortDisplacementVectorIsAFault) {
  const VARN v = one_member_model(2.0);
  try {
    (void)compute_member_results_from_displacement(v, ResultType::loadcase(1), Eigen::VectorXd::Zero(10), nullptr,
                                                   RecoveryMode::FirstOrder);
    FAIL() << "expected a fault";
  } catch (const FatalFault& e) {
    EXPECT_STREQ(e.what(), "Matrix index out of bounds.");
  }
}

TEST(MemberResultMap, SameBitsOnEveryThreadCount) {
  std::vector<Member> members;
  for (std::uint32_t i = 1; i <= 600; ++i)
    members.push_back(member(i, node(i, std::cos(i) * i, std::sin(i), 0.1 * i),
                             node(i + 1, std::cos(i + 1.0) * (i + 1), std::sin(i + 1.0), 0.1 * (i + 1)),
                             MemberType::Normal, 1, "test"));
  VARN v = model_with(members, {beam_section()});
  LoadCase lc1 = load_case(1, "A");
  LoadCase lc2 = load_case(2, "B");
  for (std::uint32_t i = 1; i <= 600; i += 3) {
    lc1.distributed_loads.push_back(line_load(i, 1, 0.1 * i, 3.0, {0.1, -1, 0.3}, 0.1, 0.9));
    lc2.distributed_loads.push_back(line_load(i, 2, 1.0 / i, 2.0, {0, 0.7, 1}));
  }
  v.load_cases = {lc1, lc2};
  LoadCombination c;
  c.id = 3;
  c.load_cases_factors[2] = 1.35;
  c.load_cases_factors[1] = 0.7;
  v.load_combinations.push_back(c);
  Eigen::VectorXd u = zeros(v);
  for (Eigen::Index i = 0; i < u.size(); ++i) u[i] = 1e-4 * std::sin(0.37 * static_cast<double>(i));

  const auto run = [&](int threads) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    std::string out;
    json::write_from(out, compute_member_results_from_displacement(v, ResultType::loadcombination(3), u, nullptr,
                                                                   RecoveryMode::FirstOrder));
    return out;
  };
  const std::string one = run(1);
  EXPECT_EQ(run(8), one);
  EXPECT_EQ(run(3), one);
}

// ---- node displacements ---------------------------------------------------------------------------

TEST(Displacements, EveryMemberEndNodeIncludingRigidOnes) {
  VARN v = model_with({member(1, node(1, 0, 0, 0), node(2, 1, 0, 0), MemberType::Rigid, 1, "test"),
                       member(2, node(2, 1, 0, 0), node(4, 2, 0, 0), MemberType::Normal, 1, "test")},
                      {beam_section()});
  Eigen::VectorXd u = Eigen::VectorXd::LinSpaced(28, 0, 27);
  const auto d = extract_displacements(v, u);
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d.count(3), 0u);
  EXPECT_EQ(d.at(1).dx, 0.0);
  EXPECT_EQ(d.at(4).dx, 21.0);
  EXPECT_EQ(d.at(4).warp, 27.0);
  try {
    (void)extract_displacements(v, Eigen::VectorXd::Zero(27));
    FAIL() << "expected a fault";
  } catch (const FatalFault& e) {
    EXPECT_STREQ(e.what(), "Matrix index out of bounds.");
  }
}

// ---- building and storing -------------------------------------------------------------------------

namespace {

VARN small_model() {
  VARN v = model_with({member(1, node(1, 0, 0, 0, 1), node(2, 2, 0, 0), MemberType::Normal, 1, "test")},
                      {beam_section()}, {support(1)});
  return with_case(v, {}, {nodal_load(2, 1, 100, {0, -1, 0})});
}

}  // namespace

TEST(ResultBuilders, DuplicateNamesBecomeUnique) {
  VARN v = small_model();
  const Eigen::VectorXd u = solve_first_order(v, ResultType::loadcase(1));
  auto comp =
      compose_support_reaction_vector_equilibrium(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::FirstOrder);
  ASSERT_TRUE(comp);
  const std::vector<std::string> expected = {"LC1", "LC1 (2)", "LC1 (3)"};
  for (const auto& name : expected) {
    Results& r = v.build_and_store_results("LC1", false, 1, u, comp->reactions, nullptr, RecoveryMode::FirstOrder,
                                           comp->member_results);
    EXPECT_EQ(r.name, name);
    EXPECT_EQ(v.results->loadcases.at(name).name, name);
  }
  EXPECT_EQ(v.results->loadcases.size(), 3u);
  EXPECT_TRUE(v.results->loadcombinations.empty());
  // A case and a combination may share a name.
  Results& c = v.build_and_store_results("LC1", true, 4, u, comp->reactions, nullptr, RecoveryMode::FirstOrder);
  EXPECT_EQ(c.name, "LC1");
  EXPECT_EQ(c.result_type, ResultType::loadcombination(4));
  EXPECT_TRUE(ReactionsBalanceLoads(v, v.results->loadcases.at("LC1 (2)")));
}

TEST(ResultBuilders, ExistingNamedSetsAreKept) {
  VARN v = small_model();
  v.results.emplace();
  v.results->loadcases["LC1"].name = "LC1";
  v.results->loadcases["LC1 (2)"].name = "LC1 (2)";
  const Eigen::VectorXd u = zeros(v);
  Results& r = v.build_and_store_results("LC1", false, 1, u, u, nullptr, RecoveryMode::FirstOrder);
  EXPECT_EQ(r.name, "LC1 (3)");
  EXPECT_TRUE(v.results->loadcases.at("LC1").member_results.empty());
}

TEST(ResultBuilders, NewBundleAndItsJson) {
  VARN v = small_model();
  ASSERT_FALSE(v.results);
  const Eigen::VectorXd u = solve_first_order(v, ResultType::loadcase(1));
  auto comp =
      compose_support_reaction_vector_equilibrium(v, ResultType::loadcase(1), u, nullptr, RecoveryMode::FirstOrder);
  ASSERT_TRUE(comp);
  Results& r = v.build_and_store_results("LC1", false, 1, u, comp->reactions, nullptr, RecoveryMode::FirstOrder);
  EXPECT_EQ(r.result_type, ResultType::loadcase(1));
  EXPECT_FALSE(r.unity_checks);
  EXPECT_EQ(r.member_results.size(), 1u);
  EXPECT_NEAR(r.member_results.at(1).start_node_forces.fy, 100.0, 1e-9);
  EXPECT_NEAR(r.reaction_nodes.at(1).nodal_forces.fy, 100.0, 1e-9);
  EXPECT_EQ(r.displacement_nodes.size(), 2u);
  std::string out;
  json::write_from(out, *v.results);
  EXPECT_NE(out.find("\"unity_checks_overview\":null"), std::string::npos);
  EXPECT_NE(out.find("\"result_type\":{\"Loadcase\":1}"), std::string::npos);
  EXPECT_NE(out.find("\"unity_checks\":null"), std::string::npos);
}

TEST(ResultBuilders, SummaryCountsMembersAndSupportEntries) {
  MemberSet a;
  a.id = 1;
  a.members = {member(1, node(1, 0, 0, 0), node(2, 1, 0, 0), MemberType::Normal, 1, "test"),
               member(2, node(2, 1, 0, 0), node(3, 2, 0, 0), MemberType::Normal, 1, "test"),
               member(3, node(3, 2, 0, 0), node(4, 3, 0, 0), MemberType::Rigid, 1, "test")};
  MemberSet b;
  b.id = 2;
  for (std::uint32_t i = 0; i < 4; ++i)
    b.members.push_back(
        member(10 + i, node(4 + i, 3.0 + i, 0, 0), node(5 + i, 4.0 + i, 0, 0), MemberType::Normal, 1, "test"));
  VARN v = model_with({}, {beam_section()});
  v.member_sets = {a, b};
  for (std::uint32_t i = 1; i <= 5; ++i) v.nodal_supports.push_back(support(i));
  const Eigen::VectorXd u = zeros(v);
  const Results r = v.build_results_only("C", 2, u, u, nullptr, RecoveryMode::FirstOrder);
  EXPECT_EQ(r.summary.total_displacements, 7u);
  EXPECT_EQ(r.summary.total_reaction_forces, 5u);
  EXPECT_EQ(r.summary.total_member_forces, 7u);
  EXPECT_EQ(r.member_results.size(), 6u);
}

TEST(ResultBuilders, ResultsOnlyKeepsTheNameAndStoresNothing) {
  VARN v = small_model();
  v.results.emplace();
  v.results->loadcombinations["C"].name = "C";
  const Eigen::VectorXd u = zeros(v);
  const Results r = v.build_results_only("C", 9, u, u, nullptr, RecoveryMode::FirstOrder);
  EXPECT_EQ(r.name, "C");
  EXPECT_EQ(r.result_type, ResultType::loadcombination(9));
  EXPECT_EQ(v.results->loadcombinations.size(), 1u);
  EXPECT_TRUE(v.results->loadcases.empty());
}
