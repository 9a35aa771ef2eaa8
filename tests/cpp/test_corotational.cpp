// Co-rotational internal forces and tangent: rigid-body invariance, agreement with the elastic
// stiffness at rest, the tangent as the derivative of the internal forces, bars that carry only
// their chord force, rigid members, and the elastica of a cantilever under an end moment.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "fatal.h"
#include "functions/geometry.h"
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
  Member m = member(1, type, node(1, 0.0, 0.0, 0.0), node(2, 1.2, 0.9, -0.8));
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

// Central differences of the internal forces, column by column.
Eigen::MatrixXd finite_difference_tangent(const VARN& v, const Eigen::VectorXd& u, double h,
                                          const ActiveMap& active = {}) {
  Eigen::MatrixXd k(u.size(), u.size());
  for (Eigen::Index j = 0; j < u.size(); ++j) {
    Eigen::VectorXd up = u;
    Eigen::VectorXd um = u;
    up[j] += h;
    um[j] -= h;
    k.col(j) = (forces(v, up, active) - forces(v, um, active)) / (2.0 * h);
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
                                           TangentCase{"Tie", MemberType::Tension, false, false}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace varn
