// Geometric stiffness against Euler buckling loads, the joint condensation of elastic and
// geometric stiffness for released ends, and the co-rotational split of end displacements.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <numbers>

#include <Eigen/Eigenvalues>

#include "element_test_support.h"
#include "fatal.h"
#include "functions/hinge_and_release_operations.h"
#include "models/members/element_kernels.h"
#include "models/members/memberhinge.h"

namespace varn {
namespace {

using namespace testing_support;
using std::numbers::pi;

constexpr double kE = 210e9;
constexpr double kG = 81e9;
constexpr double kA = 4e-3;
constexpr double kIy = 3e-5;
constexpr double kIz = 1e-5;  // the weak axis: bending in the local x-y plane
constexpr double kJ = 2e-7;

BeamProperties column_section(double i_w = 0.0) {
  BeamProperties p;
  p.e_mod = kE;
  p.g_mod = kG;
  p.area = kA;
  p.i_y = kIy;
  p.i_z = kIz;
  p.j = kJ;
  p.i_w = i_w;
  return p;
}

TEST(GeometricStiffness, ZeroForceGivesZeroMatrices) {
  EXPECT_EQ(consistent_geometric_stiffness(0.0, 0.7, 2.0), Mat14::Zero());
  EXPECT_EQ(simplified_geometric_stiffness(0.0, 2.0), Mat14::Zero());
  EXPECT_EQ(string_geometric_stiffness(0.0, 2.0), Mat14::Zero());
}

TEST(GeometricStiffness, ConsistentEntriesForTensionOnTwoMetres) {
  const Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(0, 2, 0));
  const Mat14 k = m.calculate_geometric_stiffness_matrix_3d(1000.0, 0.0);
  EXPECT_DOUBLE_EQ(k(1, 1), 600.0);
  EXPECT_DOUBLE_EQ(k(2, 9), -600.0);
  EXPECT_NEAR(k(5, 5), 2.0 * 1000.0 * 2.0 / 15.0, 1e-12);
  EXPECT_NEAR(k(5, 12), -1000.0 * 2.0 / 30.0, 1e-12);
  EXPECT_DOUBLE_EQ(k(1, 5), 100.0);
  EXPECT_DOUBLE_EQ(k(2, 4), -100.0);
  EXPECT_DOUBLE_EQ(k(0, 0), 500.0);
  EXPECT_EQ(k(3, 3), 0.0);
  EXPECT_EQ(k(6, 6), 0.0);
  EXPECT_EQ(k, k.transpose());
  const Mat14 w = m.calculate_geometric_stiffness_matrix_3d(1000.0, 0.5);
  EXPECT_DOUBLE_EQ(w(3, 3), 0.5 * 1000.0 / 2.0);
  EXPECT_DOUBLE_EQ(w(10, 10), 0.5 * 1000.0 / 2.0);
  EXPECT_DOUBLE_EQ(w(3, 10), -0.5 * 1000.0 / 2.0);
  // A rigid transverse translation does not load the geometric stiffness.
  Vec14 t = Vec14::Zero();
  t(1) = 1.0;
  t(8) = 1.0;
  EXPECT_LE((k * t).cwiseAbs().maxCoeff(), 1e-12);
}

TEST(GeometricStiffness, StringAndSimplifiedMatrices) {
  const Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(4, 0, 0));
  const Mat14 s = m.calculate_geometric_stiffness_matrix_truss_3d(-800.0);
  const Mat14 q = m.calculate_geometric_stiffness_matrix_3d_simplified(-800.0);
  Mat14 want_s = Mat14::Zero();
  for (int a : {1, 2}) {
    want_s(a, a) = want_s(a + 7, a + 7) = -200.0;
    want_s(a, a + 7) = want_s(a + 7, a) = 200.0;
  }
  EXPECT_EQ(s, want_s);
  Mat14 want_q = want_s;
  want_q(0, 0) = want_q(7, 7) = -200.0;
  want_q(0, 7) = want_q(7, 0) = 200.0;
  EXPECT_EQ(q, want_q);
}

// Smallest load factor λ with K + λ·K_G singular, from the generalized eigenproblem
// (−K_G) φ = μ K φ on the free DOFs, λ = 1/μ_max.
double smallest_buckling_factor(const Eigen::MatrixXd& k, const Eigen::MatrixXd& kg, const std::set<int>& held) {
  const auto dofs = free_dofs(k.rows(), held);
  const Eigen::MatrixXd kr = restrict(k, dofs);
  const Eigen::MatrixXd gr = restrict(kg, dofs);
  Eigen::GeneralizedSelfAdjointEigenSolver<Eigen::MatrixXd> es(-gr, kr);
  return 1.0 / es.eigenvalues().maxCoeff();
}

// The compressive force at which an operator that depends on the force itself stops being
// positive definite on the free DOFs (bisection).
double critical_force(const std::function<Eigen::MatrixXd(double)>& op, const std::set<int>& held, double hi) {
  double lo = 0.0;
  auto stable = [&](double p) {
    const Eigen::MatrixXd k = op(p);
    const Eigen::MatrixXd kr = restrict(k, free_dofs(k.rows(), held));
    return Eigen::LLT<Eigen::MatrixXd>(kr).info() == Eigen::Success;
  };
  if (!stable(lo) || stable(hi)) return std::nan("");
  for (int i = 0; i < 80; ++i) {
    const double mid = 0.5 * (lo + hi);
    (stable(mid) ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

TEST(Buckling, PinEndedColumnInEightElementsReachesEuler) {
  const double length = 5.0;
  const int n_el = 8;
  std::vector<std::pair<Member, Mat14>> ke, kg;
  for (int i = 0; i < n_el; ++i) {
    // A column along global Z, so that the frame and the transformation take part.
    const Member m = member_between(static_cast<std::uint32_t>(i + 1), static_cast<std::uint32_t>(i + 1),
                                    Vec3(0, 0, length * i / n_el), static_cast<std::uint32_t>(i + 2),
                                    Vec3(0, 0, length * (i + 1) / n_el));
    const Mat14 t = m.calculate_transformation_matrix_3d();
    ke.emplace_back(m, t.transpose() * local_beam_stiffness(column_section(), m.calculate_length()) * t);
    kg.emplace_back(m, t.transpose() * m.calculate_geometric_stiffness_matrix_3d(-1.0, 0.0) * t);
  }
  const Eigen::MatrixXd k = assemble_dense(n_el + 1, ke);
  const Eigen::MatrixXd g = assemble_dense(n_el + 1, kg);
  // Pinned at the base (translations and the twist about global Z), guided at the top
  // (transverse translations along global X and Y).
  const int top = 7 * n_el;
  const double lambda = smallest_buckling_factor(k, g, {0, 1, 2, 5, top + 0, top + 1});
  const double euler = pi * pi * kE * kIz / (length * length);
  EXPECT_NEAR(lambda, euler, 0.01 * euler);
  EXPECT_GT(lambda, euler);  // a consistent discretisation buckles from above
}

Mat14 flagpole_elastic(double length) { return local_beam_stiffness(column_section(), length); }

TEST(Buckling, ReleasedTopOfAOneElementColumnBucklesAtTheCantileverLoad) {
  // A cantilever column of one element whose free top has its bending rotation released. The
  // release at a free end changes nothing mechanically: the column must buckle at the
  // cantilever load of the unreleased element (≈ π²EI/(4L²), 0.75 % above it). Condensing the
  // geometric stiffness on its own would give 3/1.125 = 2.667 EI/L², 8 % too late.
  const double length = 3.0;
  const Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(length, 0, 0));
  MemberEndModes top_pin;
  top_pin.end_rotation[2] = AxisMode::released();
  const std::set<int> held = {0, 1, 2, 3, 4, 5, 6, 12};  // base fixed; the released node rotation is idle
  const double ei = kE * kIz;
  const double hi = 10.0 * ei / (length * length);

  const double joint = critical_force(
      [&](double p) {
        const auto c = condense_elastic_and_geometric(flagpole_elastic(length),
                                                      m.calculate_geometric_stiffness_matrix_3d(-p, 0.0), top_pin);
        EXPECT_TRUE(c.has_value());
        return Eigen::MatrixXd(c->combined);
      },
      held, hi);
  const double unreleased = critical_force(
      [&](double p) { return Eigen::MatrixXd(flagpole_elastic(length) + m.calculate_geometric_stiffness_matrix_3d(-p, 0.0)); },
      {0, 1, 2, 3, 4, 5, 6}, hi);
  const double cantilever = pi * pi * ei / (4 * length * length);
  EXPECT_NEAR(joint, unreleased, 1e-6 * unreleased);
  EXPECT_NEAR(joint, cantilever, 0.01 * cantilever);

  // The geometric part alone, added to the condensed elastic stiffness, gives the same operator.
  const double p = 0.5 * cantilever;
  const Mat14 kg = m.calculate_geometric_stiffness_matrix_3d(-p, 0.0);
  const auto c = *condense_elastic_and_geometric(flagpole_elastic(length), kg, top_pin);
  const Mat14 ke = *apply_end_releases_to_local_beam_k(flagpole_elastic(length), top_pin);
  EXPECT_LE((ke + c.geometric - c.combined).cwiseAbs().maxCoeff(), 1e-9 * c.combined.cwiseAbs().maxCoeff());

  // Separate condensation is the unconservative answer this must not reproduce.
  const double separate = critical_force(
      [&](double q) {
        // (At zero force the geometric interior block is zero and cannot be condensed at all.)
        const auto g = apply_end_releases_to_local_beam_k(m.calculate_geometric_stiffness_matrix_3d(-q, 0.0), top_pin);
        return Eigen::MatrixXd(g.has_value() ? Mat14(ke + *g) : ke);
      },
      held, hi);
  EXPECT_NEAR(separate, 8.0 / 3.0 * ei / (length * length), 1e-6 * separate);
  EXPECT_GT(separate, 1.05 * cantilever);
}

TEST(Buckling, FixedPinnedColumnThroughAReleaseOfTheTopElement) {
  // Eight elements, base fixed, top held laterally with the moment released at the top end of
  // the last element: the fixed-pinned column, P = 20.19·EI/L² (kL = 0.699 L).
  const double length = 6.0;
  const int n_el = 8;
  std::vector<Member> members;
  for (int i = 0; i < n_el; ++i) {
    members.push_back(member_between(static_cast<std::uint32_t>(i + 1), static_cast<std::uint32_t>(i + 1),
                                     Vec3(length * i / n_el, 0, 0), static_cast<std::uint32_t>(i + 2),
                                     Vec3(length * (i + 1) / n_el, 0, 0)));
  }
  MemberEndModes top_pin;
  top_pin.end_rotation[2] = AxisMode::released();
  const int top = 7 * n_el;
  std::set<int> held = {0, 1, 2, 3, 4, 5, 6, top + 1, top + 2, top + 5};
  const auto op = [&](double p) {
    std::vector<std::pair<Member, Mat14>> parts;
    for (int i = 0; i < n_el; ++i) {
      const Member& m = members[static_cast<std::size_t>(i)];
      const Mat14 k = local_beam_stiffness(column_section(), m.calculate_length());
      const Mat14 g = m.calculate_geometric_stiffness_matrix_3d(-p, 0.0);
      const MemberEndModes modes = i + 1 == n_el ? top_pin : MemberEndModes{};
      parts.emplace_back(m, condense_elastic_and_geometric(k, g, modes)->combined);
    }
    return assemble_dense(n_el + 1, parts);
  };
  const double ei = kE * kIz;
  const double p_cr = critical_force(op, held, 40.0 * ei / (length * length));
  const double closed_form = 20.1907 * ei / (length * length);
  EXPECT_NEAR(p_cr, closed_form, 0.01 * closed_form);
}

TEST(JointCondensation, ReleasedTwistOrWarpingEndUnderAxialForceDoesNotFail) {
  const double length = 2.5;
  const Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(length, 0, 0));
  const Mat14 k = local_beam_stiffness(column_section(4e-8), length);
  for (double wagner : {0.0, 0.3}) {
    const Mat14 kg = m.calculate_geometric_stiffness_matrix_3d(-2e5, wagner);
    for (int which = 0; which < 2; ++which) {
      MemberEndModes modes;
      if (which == 0) {
        modes.end_rotation[0] = AxisMode::released();  // twist
      } else {
        modes.end_warping = AxisMode::released();
      }
      // The geometric interior block alone has no twist or warping stiffness (w = 0) or none
      // for warping at all.
      if (wagner == 0.0 || which == 1) {
        EXPECT_FALSE(apply_end_releases_to_local_beam_k(kg, modes).has_value());
      }
      const auto c = condense_elastic_and_geometric(k, kg, modes);
      ASSERT_TRUE(c.has_value()) << c.error();
      EXPECT_TRUE(c->combined.allFinite());
      EXPECT_TRUE(c->geometric.allFinite());
      // The released end takes no torque (or bimoment) from the combined operator.
      const int dof = which == 0 ? 10 : 13;
      EXPECT_LE(c->combined.row(dof).cwiseAbs().maxCoeff(), 1e-9 * c->combined.cwiseAbs().maxCoeff());
      EXPECT_LE((c->combined - c->combined.transpose()).cwiseAbs().maxCoeff(),
                1e-9 * c->combined.cwiseAbs().maxCoeff());
    }
  }
}

TEST(JointCondensation, TrussEndWithRotationalHingeUnderAxialForce) {
  // A hinged truss end: the rotations carry only the stabilising stiffness of the truss, the
  // string stiffness has none, so the string matrix cannot be condensed alone.
  const double length = 3.0;
  const Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(length, 0, 0));
  const Mat14 kt = local_truss_stiffness(kE * kA, length);
  const Mat14 kg = m.calculate_geometric_stiffness_matrix_truss_3d(-5e4);
  MemberEndModes modes;
  for (auto& r : modes.end_rotation) r = AxisMode::released();
  EXPECT_FALSE(apply_end_releases_to_local_beam_k(kg, modes).has_value());
  const auto c = condense_elastic_and_geometric(kt, kg, modes);
  ASSERT_TRUE(c.has_value()) << c.error();
  // The rotations are not coupled to the string terms, so the geometric part is the string.
  EXPECT_LE((c->geometric - kg).cwiseAbs().maxCoeff(), 1e-9 * kg.cwiseAbs().maxCoeff());
}

TEST(JointCondensation, WithoutReleasesTheGeometricPartIsExactlyTheInput) {
  const Mat14 k = local_beam_stiffness(column_section(), 2.0);
  const Mat14 kg = consistent_geometric_stiffness(-3e4, 0.1, 2.0);
  const auto c = condense_elastic_and_geometric(k, kg, MemberEndModes{});
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->geometric, kg);
  EXPECT_EQ(c->combined, Mat14(k + kg));
}

TEST(JointCondensation, GlobalFormNamesTheMemberOnFailure) {
  MemberHinge both;
  both.id = 4;
  both.hinge_type = "t";
  both.rotational_release_mx = 0.0;
  const MemberHingeMap hinges = {{4, &both}};
  Member m = member_between(12, 1, Vec3(0, 0, 0), 2, Vec3(0, 3, 4));
  m.start_hinge = 4;
  m.end_hinge = 4;
  const Mat14 k = local_beam_stiffness(column_section(), 5.0);
  const Mat14 kg = consistent_geometric_stiffness(-1e4, 0.0, 5.0);
  const auto bad = local_to_global_elastic_and_geometric_with_releases(m, k, kg, hinges);
  ASSERT_FALSE(bad.has_value());
  EXPECT_TRUE(bad.error().ends_with("] [member 12]")) << bad.error();
  m.start_hinge.reset();
  const auto ok = local_to_global_elastic_and_geometric_with_releases(m, k, kg, hinges);
  ASSERT_TRUE(ok.has_value()) << ok.error();
  const Mat14 t = m.calculate_transformation_matrix_3d();
  MemberEndModes end_twist;
  end_twist.end_rotation[0] = AxisMode::released();
  const auto local = *condense_elastic_and_geometric(k, kg, end_twist);
  EXPECT_LE((ok->geometric - t.transpose() * local.geometric * t).cwiseAbs().maxCoeff(),
            1e-9 * local.combined.cwiseAbs().maxCoeff());
  EXPECT_LE((ok->combined - t.transpose() * local.combined * t).cwiseAbs().maxCoeff(),
            1e-9 * local.combined.cwiseAbs().maxCoeff());
}

// --- Co-rotational split -----------------------------------------------------------------------

Mat3 rotation_about(const Vec3& axis, double angle) { return rotation_matrix_from_vector(axis.normalized() * angle); }

Vec14 element_vector(const Vec3& us, const Vec3& rs, const Vec3& ue, const Vec3& re, double ws = 0, double we = 0) {
  Vec14 u = Vec14::Zero();
  u.segment<3>(0) = us;
  u.segment<3>(3) = rs;
  u(6) = ws;
  u.segment<3>(7) = ue;
  u.segment<3>(10) = re;
  u(13) = we;
  return u;
}

TEST(Corotational, NoMotionAndRigidTranslation) {
  const Member m = member_between(1, 1, Vec3(1, 2, 3), 2, Vec3(4, 0, 5), 1, 0.4);
  const Mat14 t0 = m.calculate_transformation_matrix_3d();
  const auto [nat0, tn0] = m.extract_corotational_deformations(Vec14::Zero());
  EXPECT_EQ(nat0, Vec14::Zero());
  EXPECT_LE((tn0 - t0).cwiseAbs().maxCoeff(), 1e-15);
  const Vec3 d(0.3, -1.2, 0.7);
  const auto [nat1, tn1] = m.extract_corotational_deformations(element_vector(d, Vec3::Zero(), d, Vec3::Zero()));
  EXPECT_LE(nat1.cwiseAbs().maxCoeff(), 1e-12);
  EXPECT_LE((tn1 - t0).cwiseAbs().maxCoeff(), 1e-12);
}

TEST(Corotational, StretchAlongTheAxis) {
  const Vec3 s(0, 0, 0), e(1, 2, 2);
  const Member m = member_between(1, 1, s, 2, e);
  const double delta = 0.004;
  const auto [nat, tn] = m.extract_corotational_deformations(
      element_vector(Vec3::Zero(), Vec3::Zero(), delta * (e - s) / 3.0, Vec3::Zero(), 0.01, -0.02));
  EXPECT_NEAR(nat(7), delta, 1e-15);
  EXPECT_LE(nat.segment<3>(3).norm() + nat.segment<3>(10).norm(), 1e-15);
  EXPECT_EQ(nat(6), 0.01);  // warping passes through
  EXPECT_EQ(nat(13), -0.02);
}

TEST(Corotational, RigidRotationLeavesNoDeformation) {
  const Vec3 s(0, 0, 0), e(3, 0, 0);
  const Member m = member_between(1, 1, s, 2, e, 1, 0.25);
  const Vec3 axis = Vec3(0, 1, 1).normalized();  // perpendicular to the member
  const double angle = 0.8;
  const Mat3 r = rotation_about(axis, angle);
  const Vec3 rv = axis * angle;
  const auto [nat, tn] = m.extract_corotational_deformations(element_vector(Vec3::Zero(), rv, r * e - e, rv));
  EXPECT_LE(nat.cwiseAbs().maxCoeff(), 1e-12);
  const Mat3 r0 = m.calculate_rotation_matrix_from_positions(s, e);
  EXPECT_LE((tn.block<3, 3>(0, 0) - r0 * r.transpose()).cwiseAbs().maxCoeff(), 1e-12);
}

TEST(Corotational, TwistAfterAQuarterTurnOfTheChordIsTwist) {
  // Chord turned 90° about Z (X onto Y) with both nodes carried along, plus a twist of 0.1 rad
  // of the end about the member's current axis: the natural deformation is a pure twist. The
  // frame follows the mean of the ends' y axes, so each end is twisted by half of it relative
  // to the frame, in opposite senses.
  const double l = 2.0;
  const Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(l, 0, 0));
  const Mat3 quarter = rotation_about(Vec3::UnitZ(), pi / 2);
  const Mat3 end_rotation = rotation_about(Vec3::UnitY(), 0.1) * quarter;
  const Vec14 u = element_vector(Vec3::Zero(), Vec3(0, 0, pi / 2), Vec3(-l, l, 0), rotation_vector_from_matrix(end_rotation));
  const auto [nat, tn] = m.extract_corotational_deformations(u);
  EXPECT_NEAR(nat(3), -0.05, 1e-12);
  EXPECT_NEAR(nat(10), 0.05, 1e-12);
  for (int i : {4, 5, 11, 12}) EXPECT_NEAR(nat(i), 0.0, 1e-12) << i;
  EXPECT_NEAR(nat(7), 0.0, 1e-12);
  // The current local x axis is global Y.
  EXPECT_LE((tn.block<1, 3>(0, 0) - Vec3::UnitY().transpose()).norm(), 1e-12);
}

// A skewed, rolled member whose chord turns (with a twist about itself) and stretches in 3-D;
// each end node turns with the frame and then by a deformation given in the frame's axes. The
// deformations are opposite at the two ends and lie in one bending plane, so that the mean of
// the ends' y axes stays in the frame's x-y plane and the frame is the turned one exactly.
struct FrameCase {
  const char* name;
  Vec3 phi_s;  // twist, θy, θz of the start in the frame; the end has the opposite
};

class CorotationalFrame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(CorotationalFrame, DeformationsGivenInTheCurrentFrameAreRecovered) {
  const Vec3 s(0.5, -1.0, 2.0), e(3.0, 1.0, 0.5);
  const Member m = member_between(1, 1, s, 2, e, 1, 0.7);
  const Mat3 r0 = m.calculate_rotation_matrix_from_positions(s, e);
  const Vec3 us(0.2, 0.1, -0.3);
  const Vec3 chord0 = e - s;
  // The frame's rigid rotation: a twist of 0.4 rad about the undeformed chord, then a turn of
  // 0.9 rad that carries the chord to its new direction.
  const Mat3 turn = rotation_about(Vec3(1, -2, 0.5).cross(chord0), 0.9);
  const Mat3 q = turn * rotation_about(chord0, 0.4);
  const Vec3 chord = turn * chord0 * 1.01;
  const Vec3 ue = s + us + chord - e;
  const Vec3 phi_s = GetParam().phi_s;
  const Vec3 phi_e = -phi_s;
  auto node_rotation = [&](const Vec3& phi_local) {
    return rotation_vector_from_matrix(q * rotation_matrix_from_vector(r0.transpose() * phi_local));
  };
  const auto [nat, tn] = m.extract_corotational_deformations(element_vector(us, node_rotation(phi_s), ue, node_rotation(phi_e)));
  // Rotations of about 0.05 rad composed with turns of about 1 rad: a few ε each.
  EXPECT_LE((nat.segment<3>(3) - phi_s).norm(), 1e-12) << nat.segment<3>(3).transpose();
  EXPECT_LE((nat.segment<3>(10) - phi_e).norm(), 1e-12) << nat.segment<3>(10).transpose();
  EXPECT_NEAR(nat(7), 0.01 * chord0.norm(), 1e-12);
  for (int i : {0, 1, 2, 8, 9}) EXPECT_EQ(nat(i), 0.0);
  const Mat3 rn = r0 * q.transpose();  // rows: the turned axes
  EXPECT_LE((tn.block<3, 3>(0, 0) - rn).cwiseAbs().maxCoeff(), 1e-12);
  EXPECT_LE((tn.block<3, 3>(10, 10) - rn).cwiseAbs().maxCoeff(), 1e-12);
  EXPECT_EQ(tn(6, 6), 1.0);
}

INSTANTIATE_TEST_SUITE_P(Planes, CorotationalFrame,
                         ::testing::Values(FrameCase{"TwistAndXYBending", Vec3(0.03, 0.0, 0.05)},
                                           FrameCase{"TwistAndXZBending", Vec3(0.03, -0.02, 0.0)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Corotational, ReversedChordIsRefused) {
  const Vec3 s(0, 0, 0), e(2, 0, 0);
  const Member m = member_between(1, 1, s, 2, e);
  // The end passes through the start while the nodes do not turn: the member is folded back
  // on itself, its ends turned half a turn against the frame, which no beam element describes.
  EXPECT_THROW((void)m.extract_corotational_deformations(
                   element_vector(Vec3::Zero(), Vec3::Zero(), Vec3(-4, 0, 0), Vec3::Zero())),
               FatalFault);
}

TEST(Corotational, ShortVectorIsAnIndexFault) {
  const Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(1, 0, 0));
  const Eigen::VectorXd u = Eigen::VectorXd::Zero(13);
  EXPECT_THROW((void)m.extract_corotational_deformations(u), FatalFault);
  const Member z = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(0, 0, 0));
  EXPECT_THROW((void)z.extract_corotational_deformations(Vec14::Zero()), FatalFault);
}

}  // namespace
}  // namespace varn
