// End releases and semi-rigid end springs: connection modes from hinges and the static
// condensation of element matrices and load vectors, checked against propped cantilevers,
// series springs and fixed-end forces.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "element_test_support.h"
#include "fatal.h"
#include "functions/hinge_and_release_operations.h"
#include "models/members/element_kernels.h"
#include "models/members/memberhinge.h"

namespace varn {
namespace {

using namespace testing_support;

constexpr double kE = 210e9;
constexpr double kG = 81e9;
constexpr double kL = 4.0;
constexpr double kA = 6e-3;
constexpr double kIy = 9e-5;
constexpr double kIz = 4e-5;
constexpr double kJ = 1e-6;

Mat14 beam(double i_w = 0.0) {
  BeamProperties p;
  p.e_mod = kE;
  p.g_mod = kG;
  p.area = kA;
  p.i_y = kIy;
  p.i_z = kIz;
  p.j = kJ;
  p.i_w = i_w;
  return local_beam_stiffness(p, kL);
}

MemberEndModes none() { return MemberEndModes{}; }

MemberHinge hinge(std::uint32_t id) {
  MemberHinge h;
  h.id = id;
  h.hinge_type = "custom";
  return h;
}

StiffnessCurveConfig curve(std::vector<CurvePoint> pts, ForceComponent c) {
  StiffnessCurveConfig s;
  s.points = std::move(pts);
  s.depends_on = c;
  return s;
}

TEST(Condensation, NoReleaseReturnsTheMatrixUnchanged) {
  const Mat14 k = beam(1e-6);
  const auto c = apply_end_releases_to_local_beam_k(k, none());
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(*c, k);
  Vec14 f;
  for (int i = 0; i < 14; ++i) f(i) = i + 1.0;
  const auto g = apply_end_releases_to_local_beam_f(k, f, none());
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(*g, f);
}

TEST(Condensation, PinnedEndGivesTheProppedCantileverStiffness) {
  // Moment released at the end (θz, DOF 12): the x-y bending stiffness becomes that of a
  // beam fixed at the start and pinned at the end: 3EI/L³, 3EI/L², 3EI/L.
  MemberEndModes m;
  m.end_rotation[2] = AxisMode::released();
  const auto c = apply_end_releases_to_local_beam_k(beam(), m);
  ASSERT_TRUE(c.has_value()) << c.error();
  const Mat14& k = *c;
  const double ei = kE * kIz;
  const double l = kL;
  for (int i = 0; i < 14; ++i) {
    EXPECT_EQ(k(12, i), 0.0);
    EXPECT_EQ(k(i, 12), 0.0);
  }
  EXPECT_NEAR(k(1, 1), 3 * ei / (l * l * l), 1e-9 * k(1, 1));
  EXPECT_NEAR(k(8, 8), 3 * ei / (l * l * l), 1e-9 * k(1, 1));
  EXPECT_NEAR(k(1, 8), -3 * ei / (l * l * l), 1e-9 * k(1, 1));
  EXPECT_NEAR(k(1, 5), 3 * ei / (l * l), 1e-9 * k(1, 5));
  EXPECT_NEAR(k(5, 8), -3 * ei / (l * l), 1e-9 * k(1, 5));
  EXPECT_NEAR(k(5, 5), 3 * ei / l, 1e-9 * k(5, 5));
  // The other bending plane, torsion and the axial pair are untouched.
  const Mat14 k0 = beam();
  for (int a : {0, 2, 3, 4, 7, 9, 10, 11}) {
    for (int b : {0, 2, 3, 4, 7, 9, 10, 11}) EXPECT_EQ(k(a, b), k0(a, b)) << a << "," << b;
  }
}

TEST(Condensation, PinnedEndGivesNoCarryOver) {
  // A beam pinned at its far end: the near-end rotational stiffness is 3EI/L and a near-end
  // moment M is balanced by the shear couple ±M/L, with no moment reaching the far end.
  MemberEndModes m;
  m.end_rotation[2] = AxisMode::released();
  const Mat14 k = *apply_end_releases_to_local_beam_k(beam(), m);
  const double moment = 5e3;
  const double rotation = moment / k(5, 5);
  EXPECT_NEAR(rotation, moment * kL / (3 * kE * kIz), 1e-12);
  const double start_force = k(1, 5) * rotation;
  const double end_force = k(8, 5) * rotation;
  EXPECT_NEAR(start_force * kL, moment, 1e-9 * moment);
  EXPECT_NEAR(start_force + end_force, 0.0, 1e-9 * moment);
  EXPECT_EQ(k(12, 5) * rotation, 0.0);
}

TEST(Condensation, BeamPinnedAtOneEndBehavesAsProppedCantilever) {
  // Two elements over a span of 2L, fixed at node 1, propped at node 3 through a moment
  // release of the second element's end, point load P at mid-span (node 2): the prop carries
  // 5P/16 and the load point deflects by 7·P·(2L)³/(768·EI).
  const Member a = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0));
  const Member b = member_between(2, 2, Vec3(kL, 0, 0), 3, Vec3(2 * kL, 0, 0));
  MemberEndModes pinned_end;
  pinned_end.end_rotation[2] = AxisMode::released();
  const Eigen::MatrixXd k =
      assemble_dense(3, {{a, beam()}, {b, *apply_end_releases_to_local_beam_k(beam(), pinned_end)}});
  Eigen::VectorXd f = Eigen::VectorXd::Zero(21);
  const double p = -8e3;
  f(7 + 1) = p;
  // Node 1 fully held; node 3 held everywhere (its own rotation about z is disconnected by the
  // release, so holding it changes nothing).
  std::set<int> held = {0, 1, 2, 3, 4, 5, 6};
  for (int d = 14; d < 21; ++d) held.insert(d);
  const Eigen::VectorXd u = solve_held(k, f, held);
  const double span = 2 * kL;
  const double ei = kE * kIz;
  EXPECT_NEAR(u(8), 7 * p * span * span * span / (768 * ei), 1e-9 * std::abs(u(8)));
  const Eigen::VectorXd r = k * u - f;
  EXPECT_NEAR(r(15), -5 * p / 16, 1e-6 * std::abs(p));   // prop reaction
  EXPECT_NEAR(r(1), -11 * p / 16, 1e-6 * std::abs(p));   // root shear
  EXPECT_NEAR(r(5), -3 * p * span / 16, 1e-6 * std::abs(p * span));  // root moment 3PL/16, counter-clockwise
  EXPECT_NEAR(r(19), 0.0, 1e-9 * std::abs(p * span));    // no moment at the pin
}

TEST(Condensation, FullyReleasedMemberCarriesNoMoment) {
  // Bending moments released at both ends (the member is a pin-ended link in bending).
  MemberEndModes m;
  for (int a : {1, 2}) {
    m.start_rotation[static_cast<std::size_t>(a)] = AxisMode::released();
    m.end_rotation[static_cast<std::size_t>(a)] = AxisMode::released();
  }
  const auto c = apply_end_releases_to_local_beam_k(beam(), m);
  ASSERT_TRUE(c.has_value()) << c.error();
  Vec14 u;
  for (int i = 0; i < 14; ++i) u(i) = 1e-3 * std::cos(0.7 * i + 0.2);
  const Vec14 f = *c * u;
  // No end moment about y or z, and hence no shear (equilibrium of the link).
  for (int d : {1, 2, 4, 5, 8, 9, 11, 12}) EXPECT_NEAR(f(d), 0.0, 1e-6) << d;
  // It still carries axial force and torque.
  EXPECT_NEAR(f(0), kE * kA / kL * (u(0) - u(7)), 1e-6 * std::abs(f(0)));
  EXPECT_NEAR(f(3), kG * kJ / kL * (u(3) - u(10)), 1e-6 * std::abs(f(3)) + 1e-9);
}

TEST(Condensation, AxialSpringActsInSeriesWithTheMember) {
  const double k_spring = 5e7;
  MemberEndModes m;
  m.end_translation[0] = AxisMode::spring(k_spring);
  const Mat14 k = *apply_end_releases_to_local_beam_k(beam(), m);
  const double series = 1.0 / (kL / (kE * kA) + 1.0 / k_spring);
  EXPECT_NEAR(k(0, 0), series, 1e-9 * series);
  EXPECT_NEAR(k(7, 7), series, 1e-9 * series);
  EXPECT_NEAR(k(0, 7), -series, 1e-9 * series);
}

TEST(Condensation, RotationalSpringAtTheRootOfACantilever) {
  // Cantilever held at the start through a rotational spring k about z: tip deflection under
  // a tip load P along local y is P·L³/(3EI) + P·L²/k.
  for (double k_spring : {1e5, 1e6, 1e7}) {
    MemberEndModes m;
    m.start_rotation[2] = AxisMode::spring(k_spring);
    const Mat14 k = *apply_end_releases_to_local_beam_k(beam(), m);
    const Eigen::Matrix<double, 7, 7> kee = k.block<7, 7>(7, 7);
    Eigen::Matrix<double, 7, 1> f = Eigen::Matrix<double, 7, 1>::Zero();
    const double p = 2e3;
    f(1) = p;
    const auto u = kee.fullPivLu().solve(f).eval();
    const double want = p * kL * kL * kL / (3 * kE * kIz) + p * kL * kL / k_spring;
    EXPECT_NEAR(u(1), want, 1e-9 * want) << k_spring;
    // The tip rotation adds the spring's root rotation P·L/k.
    const double rot = p * kL * kL / (2 * kE * kIz) + p * kL / k_spring;
    EXPECT_NEAR(u(5), rot, 1e-9 * rot) << k_spring;
  }
}

TEST(Condensation, SpringBetweenReleaseAndRigidLimits) {
  // A very soft spring tends to the release, a very stiff one to the rigid connection.
  MemberEndModes soft, stiff, released;
  soft.end_rotation[2] = AxisMode::spring(1e-6);
  stiff.end_rotation[2] = AxisMode::spring(1e16);
  released.end_rotation[2] = AxisMode::released();
  const Mat14 ks = *apply_end_releases_to_local_beam_k(beam(), soft);
  const Mat14 kr = *apply_end_releases_to_local_beam_k(beam(), released);
  const Mat14 kf = *apply_end_releases_to_local_beam_k(beam(), stiff);
  EXPECT_LE((ks - kr).cwiseAbs().maxCoeff(), 1e-6 * kr.cwiseAbs().maxCoeff());
  EXPECT_LE((kf - beam()).cwiseAbs().maxCoeff(), 1e-6 * beam().cwiseAbs().maxCoeff());
}

TEST(Condensation, CondensedMatrixIsSymmetricAndKeepsRigidBodyMotions) {
  MemberEndModes m;
  m.start_rotation[1] = AxisMode::spring(3e6);
  m.end_rotation[2] = AxisMode::released();
  m.end_translation[0] = AxisMode::spring(1e8);
  m.end_warping = AxisMode::released();
  const Mat14 k = *apply_end_releases_to_local_beam_k(beam(2e-6), m);
  EXPECT_LE((k - k.transpose()).cwiseAbs().maxCoeff(), 1e-9 * k.cwiseAbs().maxCoeff());
  for (const Vec14& mode : rigid_body_motions(Vec3::Zero(), Vec3(kL, 0, 0))) {
    EXPECT_LE((k * mode).cwiseAbs().maxCoeff(), 1e-9 * k.cwiseAbs().maxCoeff());
  }
}

TEST(Condensation, SameRotationReleasedAtBothEndsIsSingular) {
  MemberEndModes m;
  m.start_rotation[0] = AxisMode::released();
  m.end_rotation[0] = AxisMode::released();
  // Twist diagonal G·J/L = 81e9·1e-6/4 = 20250 at both internal DOFs.
  const auto c = apply_end_releases_to_local_beam_k(beam(), m);
  ASSERT_FALSE(c.has_value());
  EXPECT_EQ(c.error(),
            "apply_end_releases_to_local_beam_k: interface block is singular (check release pattern). n_rel=2, "
            "rels=[dof3(k=0), dof10(k=0)], k_rr diag=[2.0250e4, 2.0250e4]");
  Vec14 f = Vec14::Zero();
  const auto g = apply_end_releases_to_local_beam_f(beam(), f, m);
  ASSERT_FALSE(g.has_value());
  EXPECT_EQ(g.error(), "apply_end_releases_to_local_beam_f: interface block is singular");
}

TEST(Condensation, SingularMessageListsSpringsAndTinyDiagonals) {
  // Both warping ends released on a section without warping constant: the interior block
  // holds only the stabilising term, which is not zero, so this condenses; releasing the twist
  // and its spring at both ends is singular and lists the springs in plain decimals.
  MemberEndModes m;
  m.start_rotation[0] = AxisMode::spring(0.0);
  m.end_rotation[0] = AxisMode::spring(-3.0);
  m.start_warping = AxisMode::released();
  m.end_warping = AxisMode::released();
  const auto c = apply_end_releases_to_local_beam_k(beam(), m);
  ASSERT_FALSE(c.has_value());
  // 1e-10·E·A/L = 1e-10·210e9·6e-3/4 = 0.0315.
  EXPECT_EQ(c.error(),
            "apply_end_releases_to_local_beam_k: interface block is singular (check release pattern). n_rel=4, "
            "rels=[dof3(k=0), dof10(k=0), dof6(k=0), dof13(k=0)], k_rr diag=[2.0250e4, 2.0250e4, 3.1500e-2, "
            "3.1500e-2]");
  // Springs are listed with their stiffness in plain decimals, a NaN spring as a release
  // (k=0). The interior diagonal holds element plus spring stiffness.
  MemberEndModes springs;
  springs.start_translation[1] = AxisMode::spring(1500000.5);
  springs.start_rotation[0] = AxisMode::released();
  springs.start_rotation[1] = AxisMode::spring(std::nan(""));
  springs.end_rotation[0] = AxisMode::released();
  const auto d = apply_end_releases_to_local_beam_k(beam(), springs);
  ASSERT_FALSE(d.has_value());
  // 12·E·I_z/L³ + k = 1575000 + 1500000.5; 4·E·I_y/L = 1.89e7.
  EXPECT_EQ(d.error(),
            "apply_end_releases_to_local_beam_k: interface block is singular (check release pattern). n_rel=4, "
            "rels=[dof1(k=1500000.5), dof3(k=0), dof4(k=0), dof10(k=0)], k_rr diag=[3.0750e6, 2.0250e4, "
            "1.8900e7, 2.0250e4]");
}

TEST(Condensation, InfinitelyStiffSpringIsARigidConnection) {
  // A release value that overflowed to +inf in the unit conversion: rigid, not free.
  MemberEndModes m;
  m.end_rotation[2] = AxisMode::spring(std::numeric_limits<double>::infinity());
  const auto c = apply_end_releases_to_local_beam_k(beam(), m);
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(*c, beam());
  MemberEndModes both = m;
  both.start_rotation[0] = AxisMode::released();
  MemberEndModes only_twist;
  only_twist.start_rotation[0] = AxisMode::released();
  EXPECT_EQ(*apply_end_releases_to_local_beam_k(beam(), both), *apply_end_releases_to_local_beam_k(beam(), only_twist));
}

TEST(Condensation, WrongSizesAreMessages) {
  const Eigen::MatrixXd k = Eigen::MatrixXd::Identity(12, 12);
  EXPECT_EQ(apply_end_releases_to_local_beam_k(k, none()).error(),
            "apply_end_releases_to_local_beam_k: matrix must be 14x14");
  const Eigen::VectorXd f = Eigen::VectorXd::Zero(14);
  EXPECT_EQ(apply_end_releases_to_local_beam_f(k, f, none()).error(),
            "apply_end_releases_to_local_beam_f: K must be 14x14");
  const Eigen::VectorXd g = Eigen::VectorXd::Zero(12);
  EXPECT_EQ(apply_end_releases_to_local_beam_f(beam(), g, none()).error(),
            "apply_end_releases_to_local_beam_f: f must have 14 rows");
}

TEST(LoadCondensation, UniformLoadOnBeamPinnedAtTheEnd) {
  // Fixed-end forces of a fixed-fixed beam under w along local y: wL/2 at both ends and
  // ±wL²/12. With the end moment released they become those of the propped cantilever:
  // 5wL/8 and 3wL/8, start moment wL²/8, no end moment.
  const double w = 12e3;
  const double l = kL;
  Vec14 f = Vec14::Zero();
  f(1) = w * l / 2;
  f(5) = w * l * l / 12;
  f(8) = w * l / 2;
  f(12) = -w * l * l / 12;
  MemberEndModes m;
  m.end_rotation[2] = AxisMode::released();
  const auto c = apply_end_releases_to_local_beam_f(beam(), f, m);
  ASSERT_TRUE(c.has_value()) << c.error();
  EXPECT_NEAR((*c)(1), 5 * w * l / 8, 1e-9 * w * l);
  EXPECT_NEAR((*c)(8), 3 * w * l / 8, 1e-9 * w * l);
  EXPECT_NEAR((*c)(5), w * l * l / 8, 1e-9 * w * l * l);
  EXPECT_EQ((*c)(12), 0.0);
  // Total load is preserved.
  EXPECT_NEAR((*c)(1) + (*c)(8), w * l, 1e-9 * w * l);
}

TEST(LoadCondensation, LoadOnAFullyReleasedRotationGoesToTheTranslations) {
  // A moment M acting on the element end behind a released rotation is carried to the nodes
  // as a couple of transverse forces ±... plus a share at the other end; whatever the split,
  // the moment about the start node is preserved.
  const double moment = 3e3;
  Vec14 f = Vec14::Zero();
  f(12) = moment;
  MemberEndModes m;
  m.end_rotation[2] = AxisMode::released();
  const Vec14 c = *apply_end_releases_to_local_beam_f(beam(), f, m);
  EXPECT_EQ(c(12), 0.0);
  EXPECT_NEAR(c(1) + c(8), 0.0, 1e-9 * moment);
  EXPECT_NEAR(c(5) + c(12) + c(8) * kL, moment, 1e-9 * moment);
}

TEST(Modes, ReleaseValueRule) {
  EXPECT_EQ(axis_mode_from_option(std::nullopt), AxisMode::fixed());
  EXPECT_EQ(axis_mode_from_option(1e6), AxisMode::spring(1e6));
  EXPECT_EQ(axis_mode_from_option(0.0), AxisMode::released());
  EXPECT_EQ(axis_mode_from_option(-5.0), AxisMode::released());
  EXPECT_EQ(axis_mode_from_option(std::nan("")), AxisMode::released());
}

TEST(Modes, FromHingesInTheOrderOfTheEnds) {
  MemberHinge s = hinge(1);
  s.translational_release_vy = 1e6;
  s.rotational_release_mz = 0.0;
  s.rotational_release_warp = 0.0;
  MemberHinge e = hinge(2);
  e.rotational_release_mx = -1.0;
  e.rotational_release_warp = 250.0;
  const MemberEndModes m = modes_from_single_ends(&s, &e);
  EXPECT_EQ(m.start_translation[0], AxisMode::fixed());
  EXPECT_EQ(m.start_translation[1], AxisMode::spring(1e6));
  EXPECT_EQ(m.start_rotation[2], AxisMode::released());
  EXPECT_EQ(m.start_warping, AxisMode::released());
  EXPECT_EQ(m.end_rotation[0], AxisMode::released());
  EXPECT_EQ(m.end_warping, AxisMode::spring(250.0));
  EXPECT_EQ(m.for_local_dof(1), AxisMode::spring(1e6));
  EXPECT_EQ(m.for_local_dof(5), AxisMode::released());
  EXPECT_EQ(m.for_local_dof(6), AxisMode::released());
  EXPECT_EQ(m.for_local_dof(10), AxisMode::released());
  EXPECT_EQ(m.for_local_dof(13), AxisMode::spring(250.0));
  EXPECT_TRUE(m.any_release());
  EXPECT_THROW((void)m.for_local_dof(14), FatalFault);
  // No hinges: everything rigid.
  const MemberEndModes r = modes_from_single_ends(nullptr, nullptr);
  EXPECT_FALSE(r.any_release());
  EXPECT_EQ(r, MemberEndModes{});
}

TEST(Modes, CurveTakesPrecedenceOverTheReleaseValue) {
  MemberHinge h = hinge(3);
  h.rotational_release_my = 0.0;  // would be a full release
  h.stiffness_curve_my = curve({{10.0, 4e6}, {20.0, 2e6}}, ForceComponent::My);
  // Without forces: the first point's stiffness.
  EXPECT_EQ(modes_from_single_ends(&h, nullptr).start_rotation[1], AxisMode::spring(4e6));
  // With forces: at |My| of the end.
  const EndForces at15 = {0, 0, 0, 0, -15.0, 0};
  EXPECT_EQ(modes_from_single_ends_with_forces(&h, &h, &at15, nullptr).start_rotation[1], AxisMode::spring(3e6));
  EXPECT_EQ(modes_from_single_ends_with_forces(&h, &h, &at15, nullptr).end_rotation[1], AxisMode::spring(4e6));
  const EndForces below = {0, 0, 0, 0, 2.0, 0};
  const EndForces above = {0, 0, 0, 0, 200.0, 0};
  EXPECT_EQ(modes_from_single_ends_with_forces(nullptr, &h, nullptr, &below).end_rotation[1], AxisMode::spring(4e6));
  EXPECT_EQ(modes_from_single_ends_with_forces(nullptr, &h, nullptr, &above).end_rotation[1], AxisMode::spring(2e6));
  // A curve whose stiffness falls to zero releases the DOF.
  MemberHinge z = hinge(4);
  z.stiffness_curve_vz = curve({{0.0, 1e5}, {1.0, 0.0}}, ForceComponent::Vz);
  const EndForces big = {0, 0, 5.0, 0, 0, 0};
  EXPECT_EQ(modes_from_single_ends_with_forces(&z, nullptr, &big, nullptr).start_translation[2], AxisMode::released());
}

TEST(Modes, CurveWithoutPointsLeavesTheReleaseValueInCharge) {
  // A hinge curve is never validated; one without points has no stiffness to give, with or
  // without forces, so the DOF's release value decides instead of an out-of-range read.
  MemberHinge h = hinge(5);
  h.stiffness_curve_mz = curve({}, ForceComponent::Mz);
  const EndForces f = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(modes_from_single_ends_with_forces(&h, nullptr, &f, nullptr).start_rotation[2], AxisMode::fixed());
  h.rotational_release_mz = 7e5;
  EXPECT_EQ(modes_from_single_ends_with_forces(&h, nullptr, &f, nullptr).start_rotation[2], AxisMode::spring(7e5));
  EXPECT_EQ(modes_from_single_ends(&h, nullptr).start_rotation[2], AxisMode::spring(7e5));
}

TEST(Modes, WarpingFollowsOnlyTheReleaseValue) {
  MemberHinge h = hinge(6);
  h.stiffness_curve_mx = curve({{0.0, 9e9}}, ForceComponent::Mx);
  EXPECT_EQ(modes_from_single_ends(&h, &h).start_warping, AxisMode::fixed());
  h.rotational_release_warp = 3.0;
  EXPECT_EQ(modes_from_single_ends(&h, &h).end_warping, AxisMode::spring(3.0));
}

TEST(TrussSprings, OnlySpringTranslationsEnterTheDiagonal) {
  const std::array<AxisMode, 3> start = {AxisMode::spring(1e5), AxisMode::released(), AxisMode::fixed()};
  const std::array<AxisMode, 3> end = {AxisMode::spring(std::nan("")), AxisMode::spring(-4.0), AxisMode::spring(2e3)};
  const Mat14 ks = build_local_truss_translational_spring_k(start, end);
  Mat14 want = Mat14::Zero();
  want(0, 0) = 1e5;
  want(9, 9) = 2e3;
  EXPECT_EQ(ks, want);
}

TEST(LocalToGlobal, HingesAreFoundByIdAndMessagesNameTheMember) {
  Member m = member_between(5, 1, Vec3(0, 0, 0), 2, Vec3(1, 2, 2));
  MemberHinge pin = hinge(10);
  pin.rotational_release_mz = 0.0;
  MemberHinge twist = hinge(11);
  twist.rotational_release_mx = 0.0;
  MemberHingeMap hinges = {{10, &pin}, {11, &twist}};
  const Mat14 t = m.calculate_transformation_matrix_3d();

  m.end_hinge = 10;
  MemberEndModes pinned;
  pinned.end_rotation[2] = AxisMode::released();
  const Mat14 want = t.transpose() * *apply_end_releases_to_local_beam_k(beam(), pinned) * t;
  const auto got = local_to_global_with_releases(m, beam(), hinges);
  ASSERT_TRUE(got.has_value());
  EXPECT_LE((*got - want).cwiseAbs().maxCoeff(), 1e-12 * want.cwiseAbs().maxCoeff());

  // An id the map does not hold is no hinge.
  m.end_hinge = 99;
  EXPECT_LE((*local_to_global_with_releases(m, beam(), hinges) - t.transpose() * beam() * t).cwiseAbs().maxCoeff(),
            1e-12 * beam().cwiseAbs().maxCoeff());

  m.start_hinge = 11;
  m.end_hinge = 11;
  const auto bad = local_to_global_with_releases(m, beam(), hinges);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().substr(0, 60), "apply_end_releases_to_local_beam_k: interface block is singu");
  EXPECT_TRUE(bad.error().ends_with("] [member 5]")) << bad.error();
}

TEST(LocalToGlobal, EndForcesDriveTheHingeCurves) {
  Member m = member_between(8, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0));
  MemberHinge h = hinge(1);
  h.stiffness_curve_mz = curve({{0.0, 1e6}, {100.0, 1e5}}, ForceComponent::Mz);
  m.start_hinge = 1;
  MemberHingeMap hinges = {{1, &h}};
  MemberEndForceMap forces;
  forces[8] = {EndForces{0, 0, 0, 0, 0, -50.0}, EndForces{}};
  MemberEndModes at50;
  at50.start_rotation[2] = AxisMode::spring(5.5e5);
  const auto got = local_to_global_with_releases_and_forces(m, beam(), hinges, nullptr, &forces);
  ASSERT_TRUE(got.has_value());
  EXPECT_LE((*got - *apply_end_releases_to_local_beam_k(beam(), at50)).cwiseAbs().maxCoeff(),
            1e-9 * beam().cwiseAbs().maxCoeff());
  // A member not in the map uses the first point.
  MemberEndModes first;
  first.start_rotation[2] = AxisMode::spring(1e6);
  forces.clear();
  EXPECT_LE((*local_to_global_with_releases_and_forces(m, beam(), hinges, nullptr, &forces) -
             *apply_end_releases_to_local_beam_k(beam(), first))
                .cwiseAbs()
                .maxCoeff(),
            1e-9 * beam().cwiseAbs().maxCoeff());
}

TEST(LocalToGlobal, DisplacementGivesTheDeformedFrame) {
  const Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0));
  Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
  u(8) = kL;  // the end moves up by the length: the deformed axis turns 45 degrees about Z
  const MemberHingeMap hinges;
  const auto got = local_to_global_with_releases(m, beam(), hinges, &u);
  ASSERT_TRUE(got.has_value());
  const auto [s, e] = m.deformed_positions(u);
  const Mat14 t = m.calculate_transformation_matrix_3d_from_positions(s, e);
  EXPECT_LE((*got - t.transpose() * beam() * t).cwiseAbs().maxCoeff(), 1e-12 * beam().cwiseAbs().maxCoeff());
  EXPECT_GT((*got - beam()).cwiseAbs().maxCoeff(), 1e-3 * beam().cwiseAbs().maxCoeff());
}

TEST(Submatrix, RowsAndColumnsInListOrder) {
  Eigen::MatrixXd m(3, 3);
  m << 1, 2, 3, 4, 5, 6, 7, 8, 9;
  const Eigen::MatrixXd s = submatrix_by_indices(m, {2, 0}, {1, 1, 0});
  Eigen::MatrixXd want(2, 3);
  want << 8, 8, 7, 2, 2, 1;
  EXPECT_EQ(s, want);
  EXPECT_THROW((void)submatrix_by_indices(m, {3}, {0}), FatalFault);
}

}  // namespace
}  // namespace varn
