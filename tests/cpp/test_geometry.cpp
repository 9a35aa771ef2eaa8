// Element frames: local axes of members in every direction, the roll angle, the 14x14
// transformation, DOF numbering and the rotation maps.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "fatal.h"
#include "functions/geometry.h"
#include "models/members/memberset.h"

namespace varn {
namespace {

Member member_between(Vec3 s, Vec3 e, double roll = 0.0, std::uint32_t a = 1, std::uint32_t b = 2) {
  Member m;
  m.id = 1;
  m.start_node = Node{a, s.x(), s.y(), s.z(), std::nullopt};
  m.end_node = Node{b, e.x(), e.y(), e.z(), std::nullopt};
  m.rotation_angle = roll;
  return m;
}

void expect_vec(const Vec3& got, const Vec3& want, const char* what) {
  EXPECT_NEAR((got - want).norm(), 0.0, 1e-12) << what << ": got " << got.transpose() << ", want " << want.transpose();
}

struct AxisCase {
  const char* name;
  Vec3 start, end;
  double roll;
  Vec3 x, y, z;
};

class LocalAxes : public ::testing::TestWithParam<AxisCase> {};

TEST_P(LocalAxes, RowsOfTheRotationAreTheLocalAxes) {
  const auto& c = GetParam();
  Member m = member_between(c.start, c.end, c.roll);
  Mat3 r = m.calculate_rotation_matrix_from_positions(c.start, c.end);
  expect_vec(r.row(0).transpose(), c.x, "x");
  expect_vec(r.row(1).transpose(), c.y, "y");
  expect_vec(r.row(2).transpose(), c.z, "z");
  // Right-handed and orthonormal.
  EXPECT_NEAR((r * r.transpose() - Mat3::Identity()).norm(), 0.0, 1e-12);
  EXPECT_NEAR(r.determinant(), 1.0, 1e-12);
}

const double s2 = std::sqrt(0.5);

INSTANTIATE_TEST_SUITE_P(
    Members, LocalAxes,
    ::testing::Values(
        AxisCase{"along_x", {0, 0, 0}, {3, 0, 0}, 0.0, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
        AxisCase{"along_minus_x", {3, 0, 0}, {0, 0, 0}, 0.0, {-1, 0, 0}, {0, 1, 0}, {0, 0, -1}},
        AxisCase{"along_z", {0, 0, 0}, {0, 0, 5}, 0.0, {0, 0, 1}, {0, 1, 0}, {-1, 0, 0}},
        // Along global Y the reference becomes global Z: z = x × Z.
        AxisCase{"along_y", {0, 0, 0}, {0, 4, 0}, 0.0, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}},
        AxisCase{"along_minus_y", {0, 4, 0}, {0, 0, 0}, 0.0, {0, -1, 0}, {0, 0, 1}, {-1, 0, 0}},
        // A skewed member in the XZ plane keeps global Y as its local y.
        AxisCase{"skewed_xz", {1, 2, 3}, {2, 2, 4}, 0.0, {s2, 0, s2}, {0, 1, 0}, {-s2, 0, s2}},
        // A roll of 90 degrees maps y to z and z to -y.
        AxisCase{"rolled_90", {0, 0, 0}, {3, 0, 0}, std::numbers::pi / 2, {1, 0, 0}, {0, 0, 1}, {0, -1, 0}},
        AxisCase{"rolled_30_along_z", {0, 0, 0}, {0, 0, 2}, std::numbers::pi / 6, {0, 0, 1},
                 {-0.5, std::sqrt(3.0) / 2, 0}, {-std::sqrt(3.0) / 2, -0.5, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LocalAxes, ReferenceSwitchesOnlyBeyondTheThreshold) {
  // x_Y exactly 0.999999 still takes global Y as the reference.
  const double xy = 0.999999;
  Vec3 d(std::sqrt(1 - xy * xy), xy, 0.0);
  Member m = member_between(Vec3::Zero(), d);
  Mat3 r = m.calculate_rotation_matrix_from_positions(Vec3::Zero(), d);
  Vec3 z_expected = d.cross(Vec3::UnitY()).normalized();
  expect_vec(r.row(2).transpose(), z_expected, "z");
}

TEST(Transformation, BlockDiagonalAndOrthonormalWithWarpingUntouched) {
  Member m = member_between({1, -2, 0.5}, {4, 1, 3}, 0.7);
  Mat14 t = m.calculate_transformation_matrix_3d();
  Mat3 r = m.calculate_rotation_matrix_from_positions(m.start_position(), m.end_position());
  EXPECT_NEAR((t * t.transpose() - Mat14::Identity()).norm(), 0.0, 1e-12);
  for (int b : {0, 3, 7, 10}) EXPECT_TRUE((t.block<3, 3>(b, b) == r));
  EXPECT_EQ(t(6, 6), 1.0);
  EXPECT_EQ(t(13, 13), 1.0);
  EXPECT_EQ(t.row(6).cwiseAbs().sum(), 1.0);
  EXPECT_EQ(t.col(13).cwiseAbs().sum(), 1.0);
  // The local x translation of the start node is the displacement along the member axis.
  Eigen::Matrix<double, 14, 1> g = Eigen::Matrix<double, 14, 1>::Zero();
  g.segment<3>(0) = (m.end_position() - m.start_position()).normalized();
  EXPECT_NEAR((t * g)(0), 1.0, 1e-12);
}

TEST(Transformation, CoincidentNodesAreAFatalFault) {
  Member m = member_between({1, 1, 1}, {1, 1, 1 + 1e-13});
  try {
    (void)m.calculate_transformation_matrix_3d();
    FAIL() << "no fault";
  } catch (const FatalFault& e) {
    EXPECT_STREQ(e.what(), "Start and end nodes are the same or too close to define a direction.");
  }
}

TEST(Transformation, OverflowingCoordinatesCannotDefineAnAxis) {
  // The squared length overflows: the direction is not finite.
  Member m = member_between({0, 0, 0}, {1e300, 1e300, 1e300});
  EXPECT_THROW((void)m.calculate_transformation_matrix_3d(), FatalFault);
}

TEST(Dofs, NumberingAndSystemSize) {
  EXPECT_EQ(dof_index(1, 0), 0u);
  EXPECT_EQ(dof_index(3, 6), 20u);
  auto idx = get_dof_indices(2);
  EXPECT_EQ(idx[0], 7u);
  EXPECT_EQ(idx[6], 13u);
  // 64-bit arithmetic: the largest id does not wrap.
  EXPECT_EQ(dof_index(4294967295u, 6), 7ull * 4294967294ull + 6ull);

  std::vector<MemberSet> sets(2);
  EXPECT_EQ(compute_num_dofs_from_members(sets), 0u);
  sets[0].members.push_back(member_between({0, 0, 0}, {1, 0, 0}, 0, 1, 12));
  sets[1].members.push_back(member_between({0, 0, 0}, {1, 0, 0}, 0, 5, 3));
  EXPECT_EQ(compute_num_dofs_from_members(sets), 84u);
}

TEST(Dofs, DeformedPositionsAddTheNodeTranslationsAndCheckTheVector) {
  Member m = member_between({0, 0, 0}, {2, 0, 0}, 0.0, 1, 2);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
  u(0) = 0.1;
  u(8) = -0.2;
  auto [s, e] = m.deformed_positions(u);
  expect_vec(s, {0.1, 0, 0}, "start");
  expect_vec(e, {2, -0.2, 0}, "end");
  Eigen::VectorXd short_u = Eigen::VectorXd::Zero(9);
  EXPECT_THROW((void)m.deformed_positions(short_u), FatalFault);
}

TEST(Rotations, ExponentialAndLogarithmMaps) {
  EXPECT_EQ(rotation_matrix_from_vector(Vec3(1e-13, 0, 0)), Mat3::Identity());
  EXPECT_EQ(rotation_vector_from_matrix(Mat3::Identity()), Vec3::Zero());
  for (const Vec3& v : {Vec3(0.3, -0.2, 0.5), Vec3(0, 0, 1.0), Vec3(2.0, 1.0, -0.5), Vec3(0, 3.0, 0)}) {
    Mat3 r = rotation_matrix_from_vector(v);
    EXPECT_NEAR((r * r.transpose() - Mat3::Identity()).norm(), 0.0, 1e-12);
    EXPECT_NEAR(r.determinant(), 1.0, 1e-12);
    // R v = v: the axis is fixed.
    EXPECT_NEAR((r * v - v).norm(), 0.0, 1e-12);
    expect_vec(rotation_vector_from_matrix(r), v, "log(exp(v))");
  }
  // Small rotations keep every digit: the angle is not taken from the trace alone, whose
  // cosine rounds to 1 below about 1e-8 rad. The map is exact to a few ε relative.
  for (const double angle : {1e-3, 1e-6, 1e-9, 1e-11}) {
    const Vec3 v = angle * Vec3(1.0, -2.0, 0.5).normalized();
    EXPECT_LE((rotation_vector_from_matrix(rotation_matrix_from_vector(v)) - v).norm(), 1e-14 * angle) << angle;
  }
  // Half a turn about Z: the axis comes out with its positive sign.
  Mat3 half = rotation_matrix_from_vector(Vec3(0, 0, std::numbers::pi));
  expect_vec(rotation_vector_from_matrix(half), Vec3(0, 0, std::numbers::pi), "half turn");
  // A quarter turn about Z maps x to y.
  expect_vec(rotation_matrix_from_vector(Vec3(0, 0, std::numbers::pi / 2)) * Vec3::UnitX(), Vec3::UnitY(), "quarter");
}

}  // namespace
}  // namespace varn
