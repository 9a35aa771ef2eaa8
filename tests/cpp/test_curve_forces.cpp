// The force state that stiffness curves are read at: global forces at supported nodes and the
// local end forces of members whose hinges carry curves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "global_system_models.h"

namespace {

using namespace varn;
using namespace varn::global_test;

StiffnessCurveConfig curve() {
  StiffnessCurveConfig c;
  c.points = {CurvePoint{0.0, 1e6}, CurvePoint{1e3, 5e5}};
  c.depends_on = ForceComponent::My;
  return c;
}

TEST(SupportNodeForces, OneEntryPerSupportedNode) {
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  auto& ms = v.member_sets.front().members;
  // Node 2 carries support 1 on both of its member ends; node 3 names a support that does not
  // exist; node 1 has none.
  ms.push_back(member(1, MemberType::Normal, node(1, 0, 0, 0), node(2, 1, 0, 0, 1)));
  ms.push_back(member(2, MemberType::Normal, node(2, 1, 0, 0, 1), node(3, 2, 0, 0, 9)));
  ms.push_back(member(3, MemberType::Truss, node(4, 3, 0, 0, 1), node(3, 2, 0, 0, 9)));
  Eigen::VectorXd f = Eigen::VectorXd::LinSpaced(28, 1.0, 28.0);
  const auto map = v.extract_support_node_forces(f);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.at(2), (SupportNodeForces{8, 9, 10, 11, 12, 13}));
  EXPECT_EQ(map.at(4), (SupportNodeForces{22, 23, 24, 25, 26, 27}));
  // A vector too short for a node's six entries leaves the node out.
  const auto short_map = v.extract_support_node_forces(f.head(26));
  EXPECT_EQ(short_map.size(), 1u);
  EXPECT_TRUE(short_map.count(2));
}

class HingeForces : public ::testing::Test {
 protected:
  void SetUp() override {
    v = empty_model(p);
    MemberHinge with_curve;
    with_curve.id = 1;
    with_curve.stiffness_curve_my = curve();
    MemberHinge release_only;
    release_only.id = 2;
    release_only.rotational_release_mz = 0.0;
    v.memberhinges = std::vector<MemberHinge>{with_curve, release_only};
    auto& ms = v.member_sets.front().members;
    Member a = member(1, MemberType::Normal, node(1, 0, 0, 0), node(2, length, 0, 0));
    a.end_hinge = 1;  // a curve at one end only
    Member b = member(2, MemberType::Normal, node(2, length, 0, 0), node(3, length, 3, 0));
    b.start_hinge = 2;  // a release without a curve
    Member c = member(3, MemberType::Normal, node(3, length, 3, 0), node(4, 0, 3, 0));
    c.start_hinge = 1;
    c.section = 42;  // not found: skipped
    ms.push_back(a);
    ms.push_back(b);
    ms.push_back(c);
  }
  Props p;
  double length = 2.0;
  VARN v;
};

TEST_F(HingeForces, OnlyMembersWithCurveHinges) {
  const auto map = v.extract_member_hinge_forces(Eigen::VectorXd::Zero(28));
  ASSERT_EQ(map.size(), 1u);
  ASSERT_TRUE(map.count(1));
  for (double x : map.at(1).first) EXPECT_EQ(x, 0.0);
  for (double x : map.at(1).second) EXPECT_EQ(x, 0.0);
}

TEST_F(HingeForces, AxialStretchGivesTheBarForce) {
  // End node moved by δ along the axis: N = EA/L·δ, the start pulled back, the end forward.
  const double delta = 1e-3;
  Eigen::VectorXd u = Eigen::VectorXd::Zero(28);
  u[7] = delta;
  const auto map = v.extract_member_hinge_forces(u);
  const double n = p.e * p.area / length * delta;
  EXPECT_NEAR(map.at(1).first[0], -n, 1e-6 * n);
  EXPECT_NEAR(map.at(1).second[0], n, 1e-6 * n);
  for (int i = 1; i < 6; ++i) {
    EXPECT_NEAR(map.at(1).first[static_cast<std::size_t>(i)], 0.0, 1e-9 * n);
    EXPECT_NEAR(map.at(1).second[static_cast<std::size_t>(i)], 0.0, 1e-9 * n);
  }
}

TEST_F(HingeForces, UnreleasedStiffnessGivesTheEndMomentOfAFixedEnd) {
  // Rotating the end by θ about local y (global Y for a member along X): a fixed-fixed beam
  // carries 4EI/L·θ at the rotated end and 2EI/L·θ at the other, whatever the hinge releases.
  const double theta = 1e-4;
  Eigen::VectorXd u = Eigen::VectorXd::Zero(28);
  u[7 + 4] = theta;
  const auto map = v.extract_member_hinge_forces(u);
  const double ei = p.e * p.i_y;
  EXPECT_NEAR(map.at(1).second[4], 4 * ei / length * theta, 1e-9 * ei);
  EXPECT_NEAR(map.at(1).first[4], 2 * ei / length * theta, 1e-9 * ei);
  // A vector too short for the member's DOFs leaves it out.
  EXPECT_TRUE(v.extract_member_hinge_forces(Eigen::VectorXd::Zero(13)).empty());
}

}  // namespace
