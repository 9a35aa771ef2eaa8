// Co-rotational internal forces and tangent: rigid-body invariance, agreement with the elastic
// stiffness at rest, the tangent as the derivative of the internal forces, bars that carry only
// their chord force, rigid members, and the elastica of a cantilever under an end moment.
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "fatal.h"
#include "functions/geometry.h"
#include "models/varn/member_results.h"
#include "functions/sparse.h"
#include "global_system_models.h"
#include "models/members/corotational.h"
#include "models/varn/varn.h"

namespace varn {
namespace {

using global_test::add_line;
using global_test::empty_model;
using global_test::member;
using global_test::node;
using global_test::Props;

Eigen::MatrixXd dense(const SparseMatrix& k) { return Eigen::MatrixXd(k); }

Eigen::VectorXd forces(const VARN& v, const Eigen::VectorXd& u, const ActiveMap& active = {}) {
  auto f = v.assemble_corotational_internal_forces(u, active, SupportNodeForceMap{});
  EXPECT_TRUE(f.has_value()) << (f ? "" : f.error());
  return f ? *f : Eigen::VectorXd();
}

Eigen::MatrixXd tangent(const VARN& v, const Eigen::VectorXd& u, const ActiveMap& active = {}) {
  auto k = v.assemble_corotational_tangent_stiffness_sparse(u, active, SupportNodeForceMap{});
  EXPECT_TRUE(k.has_value()) << (k ? "" : k.error());
  return k ? dense(*k) : Eigen::MatrixXd();
}

// A stocky section, so that bending and torsion are not lost beside the axial stiffness when
// the tangent is compared with its finite-difference estimate.
Props stocky() {
  Props p;
  p.area = 1e-2;
  p.i_y = 2e-4;
  p.i_z = 1e-4;
  p.j = 5e-5;
  return p;
}

MemberHinge hinge(std::uint32_t id) {
  MemberHinge h;
  h.id = id;
  return h;
}

// One member from (0,0,0) to (1.2, 0.9, -0.8) (skew to every global axis), rolled.
VARN single_member(MemberType type, const Props& p = stocky()) {
  VARN v = empty_model(p);
  Member m = member(1, node(1, 0.0, 0.0, 0.0), node(2, 1.2, 0.9, -0.8), type);
  m.rotation_angle = 0.4;
  v.member_sets.front().members.push_back(m);
  return v;
}

// A deformed state of two nodes: node rotations of about 0.3 rad about skew axes, the chord
// turned by about 0.3 rad and stretched by 1e-3 of its length, twist, bending and warping.
Eigen::VectorXd deformed_two_node_state(const Member& m) {
  const Vec3 xs = m.start_position();
  const Vec3 xe = m.end_position();
  const Mat3 turn = rotation_matrix_from_vector(Vec3(0.1, -0.25, 0.15));
  const Vec3 us(0.03, -0.05, 0.02);
  const Vec3 ue = xs + us + 1.001 * (turn * (xe - xs)) - xe;
  Eigen::VectorXd u(14);
  u << us, Vec3(0.30, -0.20, 0.25), 0.01, ue, Vec3(0.05, -0.32, 0.12), -0.02;
  return u;
}

// Translations stay in metres, rotations are scaled by the member length, so that every entry
// of K̃ = S·K·S is a force per length and one relative bound fits the whole matrix.
Eigen::MatrixXd scaled(const Eigen::MatrixXd& k, double length) {
  Eigen::VectorXd s = Eigen::VectorXd::Ones(k.rows());
  for (Eigen::Index i = 0; i < k.rows(); ++i) {
    const Eigen::Index d = i % 7;
    if (d >= 3) s[i] = 1.0 / length;
  }
  return s.asDiagonal() * k * s.asDiagonal();
}

// u moved by h along DOF j: a translation or warping DOF shifted, a rotation DOF turned in space
// by the spin h about its global axis, R ← exp([h·e_k]×)·R (rotations are composed, never
// added), the rotation vector kept continuous.
Eigen::VectorXd moved(const Eigen::VectorXd& u, Eigen::Index j, double h) {
  Eigen::VectorXd out = u;
  const Eigen::Index component = j % 7;
  if (component < 3 || component > 5) {
    out[j] += h;
    return out;
  }
  const Eigen::Index first = j - component + 3;
  out.segment<3>(first) = compose_rotation(u.segment<3>(first), h * Vec3::Unit(component - 3));
  return out;
}

// Central differences of the internal forces, column by column, along translations, spins and
// warping: the derivative the tangent stands for.
Eigen::MatrixXd finite_difference_tangent(const VARN& v, const Eigen::VectorXd& u, double h,
                                          const ActiveMap& active = {}) {
  Eigen::MatrixXd k(u.size(), u.size());
  for (Eigen::Index j = 0; j < u.size(); ++j) {
    k.col(j) = (forces(v, moved(u, j, h), active) - forces(v, moved(u, j, -h), active)) / (2.0 * h);
  }
  return k;
}

// ---------------------------------------------------------------------------------------------
// The tangent is the derivative of the internal forces.

struct TangentCase {
  std::string name;
  MemberType type;
  bool general_section;  // shear areas, shear-centre offset, principal axes, warping
  bool hinges;           // released bending rotation, semi-rigid twist spring
};

class CorotationalTangent : public ::testing::TestWithParam<TangentCase> {};

TEST_P(CorotationalTangent, EqualsTheCentralDifferenceOfTheInternalForces) {
  const TangentCase& c = GetParam();
  VARN v = single_member(c.type);
  v.settings.analysis_options.rigid_strategy = RigidStrategy::RigidMember;
  if (c.general_section) {
    Section& s = v.sections.front();
    s.a_sy = 6e-3;
    s.a_sz = 4e-3;
    s.y_s = 0.03;
    s.z_s = -0.02;
    s.principal_axis_angle = 25.0;
    s.i_w = 3e-7;
  }
  if (c.hinges) {
    MemberHinge end = hinge(1);
    end.rotational_release_mz = 0.0;
    end.rotational_release_mx = 2e5;
    MemberHinge start = hinge(2);
    start.rotational_release_my = 3e6;
    start.translational_release_vx = 5e8;  // an axial spring in series with the member
    v.memberhinges = std::vector<MemberHinge>{end, start};
    v.member_sets.front().members.front().end_hinge = 1;
    v.member_sets.front().members.front().start_hinge = 2;
  }
  const Member& m = v.member_sets.front().members.front();
  const Eigen::VectorXd u = deformed_two_node_state(m);
  const double length = m.calculate_length();

  const Eigen::MatrixXd k = scaled(tangent(v, u), length);
  // Step 1e-6 (m and rad) on displacements of order 0.1 to 1: the truncation error of central
  // differences, h²/6·|f'''| with |f'''| ≲ |K|/L², stays near 1e-13·|K|; the round-off of the
  // forces, ε·|K|·|u| (the chord length subtracts to the elongation, the logarithm of the end
  // rotations loses ε/θ for deformational angles θ of 0.05 and more), divided by 2h, stays
  // below 1e-9·|K|. A bound of 1e-6 of the largest entry holds on any machine, while a wrong
  // term of the geometric stiffness (N/L is 1e-3 of E·A/L here) or of the frame would not.
  const Eigen::MatrixXd k_fd = scaled(finite_difference_tangent(v, u, 1e-6), length);
  const double scale = k.cwiseAbs().maxCoeff();
  EXPECT_LE((k - k_fd).cwiseAbs().maxCoeff(), 1e-6 * scale) << "tangent\n" << k << "\nfinite differences\n" << k_fd;
}

INSTANTIATE_TEST_SUITE_P(Members, CorotationalTangent,
                         ::testing::Values(TangentCase{"Beam", MemberType::Normal, false, false},
                                           TangentCase{"GeneralBeam", MemberType::Normal, true, false},
                                           TangentCase{"ReleasedBeam", MemberType::Normal, true, true},
                                           TangentCase{"Bar", MemberType::Truss, false, false},
                                           TangentCase{"Tie", MemberType::Tension, false, false},
                                           TangentCase{"HingedBar", MemberType::Truss, false, true},
                                           TangentCase{"StiffBeamOfARigidMember", MemberType::Rigid, false, true}),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// A small space frame with every kind of member the kernels treat: beams (one rolled, one with a
// released end), a truss diagonal, a tie, a strut switched off, and optionally spring supports.

constexpr std::uint32_t kStrut = 6;

VARN space_frame(bool with_springs, RigidStrategy rigid = RigidStrategy::RigidMember) {
  VARN v = empty_model(stocky());
  v.sections.push_back(global_test::section(2, 4e-3, 0.0, 0.0, 0.0));  // bar section
  const Node n1 = node(1, 0.0, 0.0, 0.0, 1);
  const Node n2 = node(2, 0.0, 0.0, 3.0);
  const Node n3 = node(3, 4.0, 0.0, 3.0);
  const Node n4 = node(4, 4.0, 0.0, 0.0, with_springs ? std::optional<std::uint32_t>(2) : std::nullopt);
  const Node n5 = node(5, 4.0, 3.0, 3.5);
  const Node n6 = node(6, 5.0, 3.5, 3.0);
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(1, n1, n2, MemberType::Normal));
  ms.push_back(member(2, n2, n3, MemberType::Normal));
  ms.back().end_hinge = 1;
  ms.push_back(member(3, n4, n3, MemberType::Normal));
  ms.back().rotation_angle = 0.3;
  ms.push_back(member(4, n1, n3, MemberType::Truss, 2));
  ms.push_back(member(5, n2, n4, MemberType::Tension, 2));
  ms.push_back(member(kStrut, n2, n5, MemberType::Compression, 2));
  ms.push_back(member(7, n3, n5, MemberType::Normal));
  ms.push_back(member(8, n5, n6, MemberType::Rigid, std::nullopt));  // stiff beam of member 7's section
  v.settings.analysis_options.rigid_strategy = rigid;
  MemberHinge h = hinge(1);
  h.rotational_release_my = 0.0;
  v.memberhinges = std::vector<MemberHinge>{h};
  v.nodal_supports.push_back(global_test::clamp(1));
  if (with_springs) {
    NodalSupport s = global_test::support(2, {SupportConditionType::Spring, SupportConditionType::Fixed,
                                              SupportConditionType::Fixed},
                                          {SupportConditionType::Free, SupportConditionType::Spring,
                                           SupportConditionType::Free});
    s.displacement_conditions["X"].stiffness = 3e7;
    s.rotation_conditions["Y"].stiffness = 4e6;
    v.nodal_supports.push_back(s);
  }
  return v;
}

ActiveMap strut_off() { return ActiveMap{{kStrut, false}}; }

TEST(CorotationalAtRest, TangentIsTheElasticStiffnessAndTheForcesVanish) {
  for (const RigidStrategy rigid : {RigidStrategy::RigidMember, RigidStrategy::LinearMpc}) {
    const VARN v = space_frame(true, rigid);
    const Eigen::VectorXd zero = Eigen::VectorXd::Zero(42);
    for (const ActiveMap& active : {ActiveMap{}, strut_off()}) {
      auto elastic = v.build_operator_with_supports_sparse_internal(active, nullptr);
      ASSERT_TRUE(elastic.has_value()) << elastic.error();
      const Eigen::MatrixXd k0 = dense(*elastic);
      const Eigen::MatrixXd kt = tangent(v, zero, active);
      // At rest the derivative of the natural deformations differs from the undeformed
      // transformation by rigid-body modes, which the element stiffness annihilates up to
      // round-off of the largest entries (a few ε of |K|).
      EXPECT_LE((kt - k0).cwiseAbs().maxCoeff(), 1e-12 * k0.cwiseAbs().maxCoeff());
      EXPECT_EQ(forces(v, zero, active), Eigen::VectorXd::Zero(42));
    }
  }
}

TEST(CorotationalAtRest, SmallMotionGivesTheLinearResponse) {
  // Without the stiff beam, whose forces would dwarf the others.
  const VARN v = space_frame(true, RigidStrategy::LinearMpc);
  auto elastic = v.build_operator_with_supports_sparse_internal(ActiveMap{}, nullptr);
  ASSERT_TRUE(elastic.has_value());
  Eigen::VectorXd u(42);
  for (Eigen::Index i = 0; i < u.size(); ++i) u[i] = 1e-9 * std::cos(2.3 * static_cast<double>(i) + 0.1);
  const Eigen::VectorXd linear = dense(*elastic) * u;
  const Eigen::VectorXd f = forces(v, u);
  // Displacements and rotations of 1e-9: the terms of second order are 1e-9 of the linear
  // ones, and the round-off of the chord length (a few ε·L against an elongation of 1e-9·L) a
  // few 1e-7. Forces and moments are compared each against their own largest value:
  // deformational rotations of 1e-9 rad must survive the logarithm of the split, which would
  // turn them into exact zeros if the angle came from the trace of the rotation alone.
  for (const bool moments : {false, true}) {
    double error = 0.0;
    double scale = 0.0;
    for (Eigen::Index i = 0; i < u.size(); ++i) {
      if ((i % 7 >= 3 && i % 7 < 6) != moments) continue;
      error = std::max(error, std::abs(f[i] - linear[i]));
      scale = std::max(scale, std::abs(linear[i]));
    }
    EXPECT_LE(error, 1e-5 * scale) << (moments ? "moments" : "forces");
  }
}

// ---------------------------------------------------------------------------------------------
// Node rotations are composed: R(ψ') = exp([w]×)·R(ψ), the rotation vector kept continuous.

TEST(CorotationalRotations, ComposedSpinsTurnTheNode) {
  const Vec3 psi(0.3, -1.1, 0.6);
  const Vec3 w(-0.4, 0.2, 0.9);
  const Vec3 turned = compose_rotation(psi, w);
  // Rotation matrices of order 1: a few ε.
  EXPECT_LE((rotation_matrix_from_vector(turned) - rotation_matrix_from_vector(w) * rotation_matrix_from_vector(psi))
                .cwiseAbs()
                .maxCoeff(),
            1e-14);
  // Spins about skew axes do not add.
  EXPECT_GT((turned - (psi + w)).norm(), 0.1);
}

TEST(CorotationalRotations, TinySpinsAreKept) {
  // A node turned by 3.6e-7 rad, turned further by 1e-14 rad (the spins a Newton step asks of a
  // chain of millimetre elements near equilibrium): the rotation vector moves by J_l⁻¹(ψ)·w
  // (w less half of ψ × w, 1.8e-21 across the axis), to the round-off of the node's own
  // rotation, a few ε·3.6e-7, and the spin's square.
  const Vec3 psi(0.0, 3.6e-7, 0.0);
  for (int k = 0; k < 3; ++k) {
    const Vec3 w = 1e-14 * Vec3::Unit(k);
    const Vec3 expected = psi + right_jacobian_so3_inverse(-psi) * w;
    EXPECT_LE((compose_rotation(psi, w) - expected).norm(), 1e-21) << k;
  }
  EXPECT_EQ(compose_rotation(Vec3::Zero(), Vec3(0.0, 0.0, 1e-15)), Vec3(0.0, 0.0, 1e-15));
}

TEST(CorotationalRotations, RotationVectorGrowsPastAHalfTurn) {
  // About one axis, spins add up: 3 rad and 0.5 rad more make 3.5 rad, not the equivalent
  // −2.78 rad about the same axis; whole turns are kept too.
  const Vec3 axis = Vec3(1.0, 2.0, -2.0).normalized();
  EXPECT_LE((compose_rotation(3.0 * axis, 0.5 * axis) - 3.5 * axis).norm(), 1e-14);
  EXPECT_LE((compose_rotation(6.0 * axis, 0.5 * axis) - 6.5 * axis).norm(), 1e-14);
  EXPECT_LE((compose_rotation(12.0 * axis, 0.7 * axis) - 12.7 * axis).norm(), 1e-13);
}

// The whole frame at a state of finite rotations in space (about 0.1 to 0.3 rad at every node,
// the spring-supported node included): the assembled tangent, beams, bars, the switched-off
// strut and the support springs together, is the derivative of the assembled internal forces
// along translations and spins, and its symmetric form is exactly the symmetric part of it.
TEST(CorotationalTangentOfTheFrame, EqualsTheCentralDifferenceAtFiniteRotations) {
  const VARN v = space_frame(true, RigidStrategy::LinearMpc);
  Eigen::VectorXd u(42);
  for (Eigen::Index i = 0; i < u.size(); ++i) {
    u[i] = (i % 7 >= 3 && i % 7 < 6 ? 0.3 : 0.05) * std::sin(1.3 * static_cast<double>(i) + 0.2);
  }
  const Eigen::MatrixXd k = tangent(v, u, strut_off());
  const Eigen::MatrixXd k_fd = finite_difference_tangent(v, u, 1e-6, strut_off());
  // As for single members (see above): truncation and round-off of the central differences
  // stay below 1e-9 of the largest entry; translations and rotations share one scale here
  // (members of 1 to 4 m), which a wrong spring or frame term would leave far behind.
  const double scale = k.cwiseAbs().maxCoeff();
  EXPECT_LE((k - k_fd).cwiseAbs().maxCoeff(), 1e-6 * scale);
  auto symmetric = v.assemble_corotational_tangent_stiffness_sparse(u, strut_off(), SupportNodeForceMap{},
                                                                    CorotationalTangentForm::Symmetric);
  ASSERT_TRUE(symmetric.has_value()) << symmetric.error();
  // Halves of the same numbers summed in another order: a few ε of the largest entry.
  EXPECT_LE((dense(*symmetric) - 0.5 * (k + k.transpose())).cwiseAbs().maxCoeff(), 1e-13 * scale);
}

// The end forces of a beam balance each other as forces on the deformed member: their sum, and
// the sum of their moments about a point with the forces at the deformed end positions (the
// shears are the end moments over the deformed chord, not over the undeformed length).
TEST(CorotationalBeamForces, BalanceOnTheDeformedMember) {
  const VARN v = single_member(MemberType::Normal);
  const Member& m = v.member_sets.front().members.front();
  const Eigen::VectorXd u = deformed_two_node_state(m);
  const Eigen::VectorXd f = forces(v, u);
  const Vec3 x_s = m.start_position() + u.segment<3>(0);
  const Vec3 x_e = m.end_position() + u.segment<3>(7);
  const Vec3 force_sum = f.segment<3>(0) + f.segment<3>(7);
  const Vec3 moment_sum = x_s.cross(Vec3(f.segment<3>(0))) + x_e.cross(Vec3(f.segment<3>(7))) +
                          f.segment<3>(3) + f.segment<3>(10);
  // Round-off of forces of order E·A·1e-3 (the stretch of the state) over lever arms of 2 m.
  const double scale = f.cwiseAbs().maxCoeff();
  EXPECT_GT(scale, 1e5);
  EXPECT_LE(force_sum.norm(), 1e-12 * scale);
  EXPECT_LE(moment_sum.norm(), 1e-12 * scale * 2.0);
}

TEST(CorotationalRigidMotion, LargeRotationAboutASkewAxisGivesNoInternalForce) {
  const VARN v = space_frame(false);
  const Vec3 omega = Vec3(1.0, -2.0, 3.0).normalized();  // 1 rad about a skew axis
  const Mat3 r = rotation_matrix_from_vector(omega);
  const Vec3 centre(1.0, 2.0, -0.5);
  const Vec3 shift(0.3, -0.2, 0.7);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(42);
  for (const auto& m : v.member_sets.front().members) {
    for (const Node* n : {&m.start_node, &m.end_node}) {
      const Vec3 x(n->X, n->Y, n->Z);
      const auto at = static_cast<Eigen::Index>(dof_index(n->id, 0));
      u.segment<3>(at) = r * (x - centre) + centre + shift - x;
      u.segment<3>(at + 3) = omega;
    }
  }
  const double ea = 2.1e11 * 1e-2;
  for (const ActiveMap& active : {ActiveMap{}, strut_off()}) {
    const Eigen::VectorXd f = forces(v, u, active);
    // The tiny stiffness 1e-10·E·A/L that keeps the free rotations of a bar's nodes regular is
    // linear in the undeformed axes, as in the elastic stiffness, and sees the motion: at most
    // 1e-10·E·A·|u|/L with |u|/L below 2 here. Round-off of the elongation (ε·L) and of the end
    // rotations (a few ε) adds a few ε·E·A, 1e4 times that in the stiff beam of the rigid
    // member. A strain of 1e-9 bounds all of it; an error in the removal of the rigid rotation
    // would leave moments of order E·I/L·θ, ten orders larger.
    EXPECT_LE(f.cwiseAbs().maxCoeff(), 1e-9 * ea) << f.transpose();
  }
}

TEST(CorotationalSplit, QuarterTurnAboutZWithAnEndTwistGivesTheTwist) {
  VARN v = empty_model(stocky());
  v.member_sets.front().members.push_back(member(1, node(1, 0, 0, 0), node(2, 2, 0, 0), MemberType::Normal));
  const Member& m = v.member_sets.front().members.front();
  const double alpha = 0.05;
  const Vec3 quarter(0.0, 0.0, std::numbers::pi / 2);
  // The end twists about the turned member axis, global Y.
  const Mat3 r_end = rotation_matrix_from_vector(Vec3(0.0, alpha, 0.0)) * rotation_matrix_from_vector(quarter);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
  u.segment<3>(3) = quarter;
  u.segment<3>(7) = Vec3(-2.0, 2.0, 0.0);
  u.segment<3>(10) = rotation_vector_from_matrix(r_end);

  const auto [natural, t_n] = m.extract_corotational_deformations(u);
  EXPECT_NEAR(natural[10] - natural[3], alpha, 1e-14);
  EXPECT_NEAR(natural.segment<2>(11).norm() + natural.segment<2>(4).norm(), 0.0, 1e-14);

  // The end torque G·J/L·α acts about the turned axis, global Y; nothing else.
  const double torque = 8.1e10 * 5e-5 / 2.0 * alpha;
  Vec14 expected = Vec14::Zero();
  expected[4] = -torque;
  expected[11] = torque;
  EXPECT_LE((forces(v, u) - expected).cwiseAbs().maxCoeff(), 1e-9 * torque);
}

TEST(CorotationalBar, CarriesTheChordForceAndNoMoment) {
  const double ea = 2.1e11 * 1e-2;
  // Without hinges, and with an axial spring of the bar's own stiffness at one end, which acts
  // in series with it and halves the force of a given elongation.
  for (const bool spring : {false, true}) {
    VARN v = single_member(MemberType::Truss);
    Member& m = v.member_sets.front().members.front();
    const double l0 = m.calculate_length();
    if (spring) {
      MemberHinge h = hinge(1);
      h.translational_release_vx = ea / l0;
      v.memberhinges = std::vector<MemberHinge>{h};
      m.end_hinge = 1;
    }
    const Eigen::VectorXd u = deformed_two_node_state(m);
    const Vec3 chord = m.end_position() + u.segment<3>(7) - m.start_position() - u.segment<3>(0);
    const double n = (spring ? 0.5 : 1.0) * ea * (chord.norm() - l0) / l0;
    const Eigen::VectorXd f = forces(v, u);
    // Besides N·e_n only the tiny regularising stiffness 1e-10·E·A/L acts on the
    // displacements (below 1e-10·E·A here); the moments of a clamped beam would be of order
    // E·I/L·0.3.
    const double tiny = 1e-10 * ea;
    EXPECT_LE((f.segment<3>(7) - n * chord.normalized()).norm(), tiny) << spring;
    EXPECT_LE((f.segment<3>(0) + n * chord.normalized()).norm(), tiny) << spring;
    EXPECT_LE(f.segment<4>(3).norm() + f.segment<4>(10).norm(), tiny) << spring;
    EXPECT_GT(std::abs(n), 1e5);
  }
}

TEST(CorotationalBar, SwitchedOffStrutKeepsATraceOfItsElasticStiffness) {
  VARN v = single_member(MemberType::Compression);
  const Member& m = v.member_sets.front().members.front();
  const Eigen::VectorXd u = deformed_two_node_state(m);
  const ActiveMap off{{1, false}};
  auto elastic = v.build_operator_with_supports_sparse_internal(ActiveMap{}, nullptr);
  ASSERT_TRUE(elastic.has_value());
  const Eigen::MatrixXd k_trace = 1e-10 * dense(*elastic);
  // Linear, with no initial stress: the tangent is the trace itself and the forces follow it.
  EXPECT_LE((tangent(v, u, off) - k_trace).cwiseAbs().maxCoeff(), 1e-14 * k_trace.cwiseAbs().maxCoeff());
  const Eigen::VectorXd f = forces(v, u, off);
  EXPECT_LE((f - k_trace * u).cwiseAbs().maxCoeff(), 1e-14 * (k_trace * u).cwiseAbs().maxCoeff());
}

TEST(CorotationalMessages, SingularReleaseIsNamedWithTheMemberInTheTangent) {
  VARN v = single_member(MemberType::Normal);
  MemberHinge h = hinge(1);
  h.rotational_release_mx = 0.0;
  v.memberhinges = std::vector<MemberHinge>{h};
  v.member_sets.front().members.front().start_hinge = 1;
  v.member_sets.front().members.front().end_hinge = 1;
  const Eigen::VectorXd u = deformed_two_node_state(v.member_sets.front().members.front());
  auto f = v.assemble_corotational_internal_forces(u, ActiveMap{}, SupportNodeForceMap{});
  auto k = v.assemble_corotational_tangent_stiffness_sparse(u, ActiveMap{}, SupportNodeForceMap{});
  ASSERT_FALSE(f.has_value());
  ASSERT_FALSE(k.has_value());
  EXPECT_EQ(f.error().rfind("apply_end_releases_to_local_beam_k: interface block is singular", 0), 0u);
  EXPECT_EQ(k.error(), f.error() + " [member 1]");
}

TEST(CorotationalDeterminism, SameBytesOnOneThreadAndOnAll) {
  const VARN v = space_frame(true);
  Eigen::VectorXd u(42);
  for (Eigen::Index i = 0; i < u.size(); ++i) u[i] = 0.05 * std::sin(1.7 * static_cast<double>(i) + 0.3);
  const auto run = [&](std::size_t threads) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
    return std::make_pair(forces(v, u, strut_off()), tangent(v, u, strut_off()));
  };
  const auto [f1, k1] = run(1);
  const auto [f8, k8] = run(8);
  ASSERT_EQ(f1.size(), f8.size());
  ASSERT_EQ(k1.size(), k8.size());
  EXPECT_EQ(std::memcmp(f1.data(), f8.data(), sizeof(double) * static_cast<std::size_t>(f1.size())), 0);
  EXPECT_EQ(std::memcmp(k1.data(), k8.data(), sizeof(double) * static_cast<std::size_t>(k1.size())), 0);
}

TEST(CorotationalMessages, MemberCollapsedToAPointIsRefusedInBothKernels) {
  // A trial state of a Newton step may pull a member's ends together; its frame is undefined,
  // and the state is refused with a message rather than filled with non-finite forces.
  for (const MemberType type : {MemberType::Normal, MemberType::Truss}) {
    const VARN v = single_member(type);
    const Member& m = v.member_sets.front().members.front();
    Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
    u.segment<3>(7) = m.start_position() - m.end_position();
    auto f = v.assemble_corotational_internal_forces(u, ActiveMap{}, SupportNodeForceMap{});
    auto k = v.assemble_corotational_tangent_stiffness_sparse(u, ActiveMap{}, SupportNodeForceMap{});
    ASSERT_FALSE(f.has_value());
    ASSERT_FALSE(k.has_value());
    EXPECT_EQ(f.error(), "Member 1 has collapsed to zero length in the deformed state.");
    EXPECT_EQ(k.error(), f.error());
  }
}

// ---------------------------------------------------------------------------------------------
// Member results recovered from a co-rotational state.

Vec14 end_forces_of(const MemberResult& r) {
  const auto seven = [](const NodeForces& f) {
    Eigen::Matrix<double, 7, 1> v;
    v << f.fx, f.fy, f.fz, f.mx, f.my, f.mz, f.bw;
    return v;
  };
  Vec14 f;
  f << seven(r.start_node_forces), seven(r.end_node_forces);
  return f;
}

MemberResultMap corotational_results(const VARN& v, const Eigen::VectorXd& u) {
  return compute_member_results_from_displacement(v, ResultType::loadcase(1), u, nullptr,
                                                  RecoveryMode::Corotational);
}

TEST(CorotationalRecovery, BarForcesAreTheChordForce) {
  const double ea = 2.1e11 * 1e-2;
  for (const bool spring : {false, true}) {
    VARN v = single_member(MemberType::Truss);
    Member& m = v.member_sets.front().members.front();
    const double l0 = m.calculate_length();
    if (spring) {
      MemberHinge h = hinge(1);
      h.translational_release_vx = ea / l0;  // in series: half the force of an elongation
      v.memberhinges = std::vector<MemberHinge>{h};
      m.start_hinge = 1;
    }
    const Eigen::VectorXd u = deformed_two_node_state(m);
    const Vec3 chord = m.end_position() + u.segment<3>(7) - m.start_position() - u.segment<3>(0);
    const double n = (spring ? 0.5 : 1.0) * ea * (chord.norm() - l0) / l0;
    const MemberResult r = corotational_results(v, u).at(1);
    // The chord force, along the turned chord in global axes and along the bar in its own.
    const Vec14 f = end_forces_of(r);
    // Round-off of the elongation: a few ε·E·A.
    const double tol = 1e-12 * ea;
    EXPECT_LE((f.segment<3>(0) + n * chord.normalized()).norm(), tol) << spring;
    EXPECT_LE((f.segment<3>(7) - n * chord.normalized()).norm(), tol) << spring;
    EXPECT_NEAR(r.local_start_forces.fx, -n, tol);
    EXPECT_NEAR(r.local_end_forces.fx, n, tol);
    EXPECT_EQ(r.local_end_forces.fy, 0.0);
    EXPECT_EQ(r.local_end_forces.fz, 0.0);
  }
}

TEST(CorotationalRecovery, MemberEndForcesSumToTheInternalForces) {
  // Reactions are found from the recovered end forces by nodal equilibrium, so the recovered
  // forces of every member must add up to the internal forces the solve balanced.
  const VARN v = space_frame(false, RigidStrategy::LinearMpc);
  Eigen::VectorXd u(42);
  for (Eigen::Index i = 0; i < u.size(); ++i) u[i] = 0.08 * std::sin(0.9 * static_cast<double>(i) + 0.4);
  const MemberResultMap results = corotational_results(v, u);
  Eigen::VectorXd sum = Eigen::VectorXd::Zero(42);
  for (const auto& m : v.member_sets.front().members) {
    const auto it = results.find(m.id);
    if (it == results.end()) continue;
    const Vec14 f = end_forces_of(it->second);
    sum.segment<7>(static_cast<Eigen::Index>(dof_index(m.start_node.id, 0))) += f.head<7>();
    sum.segment<7>(static_cast<Eigen::Index>(dof_index(m.end_node.id, 0))) += f.tail<7>();
  }
  const Eigen::VectorXd f_int = forces(v, u);
  // The internal forces hold besides the tiny regularising stiffness of the bars, 1e-10·E·A/L
  // times displacements below 0.1 m; the round-off of both is a few ε·E·A.
  EXPECT_LE((sum - f_int).cwiseAbs().maxCoeff(), 1e-10 * 2.1e11 * 1e-2);
  EXPECT_GT(f_int.cwiseAbs().maxCoeff(), 1e6);
}

// ---------------------------------------------------------------------------------------------
// Elastica: a cantilever of 20 beams under the end moment that curls it into a quarter circle.

TEST(CorotationalElastica, CantileverUnderEndMomentBendsIntoAQuarterCircle) {
  const Props p;  // E·I_z = 2.1e11 · 8e-6
  const double length = 10.0;
  VARN v = empty_model(p);
  add_line(v, 20, Vec3::Zero(), Vec3::UnitX(), length, 1);
  v.nodal_supports.push_back(global_test::clamp(1));
  const double ei = p.e * p.i_z;
  const double moment = std::numbers::pi * ei / (2.0 * length);
  const std::size_t n = 7 * 21;
  const auto tip = static_cast<Eigen::Index>(dof_index(21, 0));
  Eigen::VectorXd f_ext = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  f_ext[tip + 5] = moment;
  auto held = v.collect_constrained_dofs_full();
  ASSERT_TRUE(held.has_value());

  // Plain Newton on four equal load steps. The tangent is not symmetric away from
  // equilibrium, so the penalised system is solved by LU.
  Eigen::VectorXd u = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
  const int steps = 4;
  for (int step = 1; step <= steps; ++step) {
    const Eigen::VectorXd load = f_ext * (static_cast<double>(step) / steps);
    std::vector<double> history;
    for (int it = 0;; ++it) {
      Eigen::VectorXd r = load - forces(v, u);
      for (std::size_t d : *held) r[static_cast<Eigen::Index>(d)] = 0.0;
      history.push_back(r.norm());
      // Round-off of the internal forces is a few ε·E·A (the chord length subtracts to the
      // elongation), near 1e-6 N here against a moment of 2.6e5 N·m.
      if (r.norm() <= 1e-9 * moment) break;
      ASSERT_LT(it, 8) << "no quadratic convergence in step " << step << ", last residual " << r.norm();
      auto k = v.assemble_corotational_tangent_stiffness_sparse(u, ActiveMap{}, SupportNodeForceMap{});
      ASSERT_TRUE(k.has_value());
      const SparseMatrix k_held = apply_penalty_bc_sparse(*k, r, *held);
      const auto du = solve_dense_lu(dense(k_held), r);
      ASSERT_TRUE(du.has_value());
      u += du->col(0);
      // The penalty holds the support to about 1e-10 of each correction; the members' axial
      // stiffness would turn that slip into a residual that hides the quadratic convergence.
      for (std::size_t d : *held) u[static_cast<Eigen::Index>(d)] = 0.0;
    }
  }
  EXPECT_NEAR(u[tip + 0], -0.36338 * length, 0.005 * length);
  EXPECT_NEAR(u[tip + 1], 0.63662 * length, 0.005 * length);
  EXPECT_NEAR(u[tip + 5], std::numbers::pi / 2, 0.005 * std::numbers::pi / 2);
}

}  // namespace
}  // namespace varn
