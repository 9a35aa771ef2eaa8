// Rigid elimination: the link transform, orientation towards the supports, chains, retained
// numbering, the sparse reduction against a dense reference, and rigid arms on cantilevers
// against closed-form results and against the stiff-beam representation of the same links.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "functions/support_utils.h"
#include "global_system_models.h"

namespace {

using namespace varn;
using namespace varn::global_test;
using T = SupportConditionType;

constexpr double kP = 1.0e4;

RigidTransform transform(const Eigen::Vector3d& r) { return VARN::rigid_map_c(r); }

Eigen::MatrixXd node_rows(const RigidElimination& e, std::uint32_t node_id) {
  return Eigen::MatrixXd(e.c).middleRows(7 * (node_id - 1), 7);
}

double rel(double a, double b) { return std::abs(a - b) / std::max(std::abs(a), std::abs(b)); }

// ---------------------------------------------------------------------------------------------
// The link transform: u_s = u_m + θ_m × r, rotations and warping copied.

class LinkTransform : public ::testing::TestWithParam<Eigen::Vector3d> {};

TEST_P(LinkTransform, SlaveFollowsTheRigidBodyMotion) {
  const Eigen::Vector3d r = GetParam();
  const RigidTransform t = transform(r);
  Eigen::Matrix<double, 7, 1> um;
  um << 0.3, -0.2, 0.7, 0.011, -0.023, 0.017, 0.4;
  const Eigen::Matrix<double, 7, 1> us = t * um;
  const Eigen::Vector3d expected = um.head<3>() + um.segment<3>(3).cross(r);
  EXPECT_NEAR((us.head<3>() - expected).norm(), 0.0, 1e-15);
  EXPECT_EQ(us.tail<4>(), um.tail<4>());
}

INSTANTIATE_TEST_SUITE_P(Offsets, LinkTransform,
                         ::testing::Values(Eigen::Vector3d(1, 0, 0), Eigen::Vector3d(0, 2, 0), Eigen::Vector3d(0, 0, -3),
                                           Eigen::Vector3d(1.5, -2.5, 0.75), Eigen::Vector3d(0, 0, 0)));

// ---------------------------------------------------------------------------------------------
// Building the elimination.

TEST(Build, RigidMemberStrategyIsTheIdentity) {
  VARN v = empty_model();
  v.settings.analysis_options.rigid_strategy = RigidStrategy::RigidMember;
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 2.0, 1);
  v.member_sets.front().members.push_back(member(3, node(3, 2, 0, 0), node(4, 2, 1, 0), MemberType::Rigid));
  EXPECT_FALSE(v.needs_dense_rigid_path());
  auto e = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_TRUE(e) << e.error();
  EXPECT_TRUE(e->identity);
  EXPECT_EQ(e->n_r, 28u);
  EXPECT_EQ(Eigen::MatrixXd(e->c), Eigen::MatrixXd::Identity(28, 28));
}

TEST(Build, WithoutRigidMembersNothingIsEliminated) {
  VARN v = empty_model();
  add_line(v, 3, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitY(), 3.0, 1);
  EXPECT_FALSE(v.needs_dense_rigid_path());
  auto e = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_TRUE(e);
  EXPECT_TRUE(e->identity);
  EXPECT_TRUE(e->links.empty());
}

TEST(Build, ZeroEnergyDofsAreDroppedExceptAtMasters) {
  // Bar 1-2, link 2->3, beam 3-4: node 2's rotations are stiffened only through its slave.
  VARN v = empty_model();
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(1, node(1, 0, 0, 0), node(2, 1, 0, 0), MemberType::Truss));
  ms.push_back(member(2, node(2, 1, 0, 0), node(3, 1, 0, 0.5), MemberType::Rigid));
  ms.push_back(member(3, node(3, 1, 0, 0.5), node(4, 3, 0, 0.5), MemberType::Normal));
  EXPECT_TRUE(v.needs_dense_rigid_path());
  auto e = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_TRUE(e) << e.error();
  for (int k = 3; k < 7; ++k) {
    EXPECT_FALSE(e->reduced_column(static_cast<std::size_t>(k))) << "node 1 DOF " << k;
    EXPECT_TRUE(e->reduced_column(static_cast<std::size_t>(7 + k))) << "node 2 DOF " << k;
    EXPECT_TRUE(e->row(static_cast<std::size_t>(k)).empty());
  }
  for (int k = 0; k < 7; ++k) EXPECT_FALSE(e->reduced_column(static_cast<std::size_t>(14 + k)));
  // Node 1: 3 translations, node 2: 7, node 4: 7.
  EXPECT_EQ(e->n_r, 17u);
  EXPECT_FALSE(e->identity);
}

TEST(Build, LinkFromAFreeNodeIsTurnedTowardsTheStructure) {
  // The rigid member starts at node 3, which hangs free; its end node 2 is the beam's tip.
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  add_line(v, 1, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 2.0, 1);
  v.member_sets.front().members.push_back(member(2, node(3, 2, 0.5, 1.0), node(2, 2, 0, 0), MemberType::Rigid));
  auto e = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_TRUE(e) << e.error();
  ASSERT_EQ(e->links.size(), 1u);
  EXPECT_EQ(e->links[0].master, 2u);
  EXPECT_EQ(e->links[0].slave, 3u);
  EXPECT_EQ(e->links[0].r, Eigen::Vector3d(0, 0.5, 1.0));
  for (int k = 0; k < 7; ++k) {
    EXPECT_FALSE(e->reduced_column(static_cast<std::size_t>(14 + k)));
    EXPECT_TRUE(e->reduced_column(static_cast<std::size_t>(7 + k)));
  }
  const Eigen::MatrixXd master = node_rows(*e, 2);
  EXPECT_EQ(node_rows(*e, 3), transform(Eigen::Vector3d(0, 0.5, 1.0)) * master);
}

TEST(Build, ChainsComposeTheirTransforms) {
  // 1 -> 2 -> 3, listed leaf first: rows(3) = T(r23)·T(r12)·rows(1).
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(1, node(2, 1, 1, 0), node(3, 1, 1, 2), MemberType::Rigid));
  ms.push_back(member(2, node(1, 0, 0, 0, 1), node(2, 1, 1, 0), MemberType::Rigid));
  ms.push_back(member(3, node(1, 0, 0, 0, 1), node(4, -2, 0, 0), MemberType::Normal));
  auto e = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_TRUE(e) << e.error();
  const Eigen::Vector3d r12(1, 1, 0), r23(0, 0, 2);
  const Eigen::MatrixXd rows1 = node_rows(*e, 1);
  EXPECT_NEAR((node_rows(*e, 2) - transform(r12) * rows1).norm(), 0.0, 1e-15);
  EXPECT_NEAR((node_rows(*e, 3) - transform(r23) * transform(r12) * rows1).norm(), 0.0, 1e-15);
  // At most the seven DOFs of the root per row.
  for (Eigen::Index d = 0; d < e->c_by_row.rows(); ++d) EXPECT_LE(e->row(static_cast<std::size_t>(d)).size(), 7u);
}

TEST(Build, NodeWithTwoMastersAfterOrientationIsRefused) {
  // 1 -> 2 -> 3 with only node 3 held: turning 2 -> 3 towards the support gives node 2 the
  // masters 1 and 3.
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(1, node(1, 0, 0, 0), node(2, 1, 0, 0), MemberType::Rigid));
  ms.push_back(member(2, node(2, 1, 0, 0), node(3, 2, 0, 0, 1), MemberType::Rigid));
  ms.push_back(member(3, node(3, 2, 0, 0, 1), node(4, 2, 2, 0), MemberType::Normal));
  auto e = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error(),
            "Node 2 is slave of two rigid links once the links are oriented towards the supported nodes; a node can "
            "follow one master only.");
}

TEST(Build, GraphMessagesPassUnchanged) {
  VARN v = empty_model();
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(1, node(1, 0, 0, 0), node(2, 1, 0, 0), MemberType::Normal));
  ms.push_back(member(7, node(2, 1, 0, 0), node(3, 1, 0, 0), MemberType::Rigid));
  auto e = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error(), "Rigid member 7 has zero length.");
}

// ---------------------------------------------------------------------------------------------
// Rigid arms on a cantilever: closed forms, and the stiff-beam representation of the links.

Expected<Eigen::VectorXd> solve_with(VARN v, RigidStrategy s) {
  v.settings.analysis_options.rigid_strategy = s;
  return solve_case(v, 1);
}

TEST(RigidArm, ArmAlongTheAxis) {
  // Tip load P at the end of an arm a: δ3 = δ2 + a·θ2 with the tip under P and M = P·a.
  const Props p;
  const double length = 4.0, a = 0.4;
  VARN v = empty_model(p);
  v.nodal_supports.push_back(clamp(1));
  add_line(v, 4, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), length, 1);
  v.member_sets.front().members.push_back(
      member(5, node(5, length, 0, 0), node(6, length + a, 0, 0), MemberType::Rigid));
  add_nodal_load(v, 1, 6, kP, {0, -1, 0});
  auto u = solve_with(v, RigidStrategy::LinearMpc);
  ASSERT_TRUE(u) << u.error();
  const double ei = p.e * p.i_z;
  const double d2 = kP * std::pow(length, 3) / (3 * ei) + kP * a * length * length / (2 * ei);
  const double t2 = kP * length * length / (2 * ei) + kP * a * length / ei;
  EXPECT_NEAR(dof(*u, 5, 1), -d2, 1e-9 * d2);
  EXPECT_NEAR(dof(*u, 5, 5), -t2, 1e-9 * t2);
  EXPECT_NEAR(dof(*u, 6, 1), -(d2 + a * t2), 1e-9 * d2);
  EXPECT_NEAR(dof(*u, 6, 5), dof(*u, 5, 5), 1e-15);

  auto w = solve_with(v, RigidStrategy::RigidMember);
  ASSERT_TRUE(w) << w.error();
  for (std::uint32_t n : {2u, 5u, 6u}) {
    EXPECT_LT(rel(dof(*w, n, 1), dof(*u, n, 1)), 1e-6) << "node " << n;
    EXPECT_LT(rel(dof(*w, n, 5), dof(*u, n, 5)), 1e-6) << "node " << n;
  }
}

TEST(RigidArm, OffsetInZTwistsTheCantilever) {
  // P in Y at an offset e in Z: torque e·P, twist e·P·L/(GJ); the arm end moves by θx·e more.
  const Props p;
  const double length = 3.0, e = 0.3;
  VARN v = empty_model(p);
  v.nodal_supports.push_back(clamp(1));
  add_line(v, 3, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), length, 1);
  v.member_sets.front().members.push_back(member(4, node(4, length, 0, 0), node(5, length, 0, e), MemberType::Rigid));
  add_nodal_load(v, 1, 5, kP, {0, 1, 0});
  auto u = solve_with(v, RigidStrategy::LinearMpc);
  ASSERT_TRUE(u) << u.error();
  const double twist = e * kP * length / (p.g * p.j);
  const double bend = kP * std::pow(length, 3) / (3 * p.e * p.i_z);
  EXPECT_NEAR(dof(*u, 4, 3), -twist, 1e-9 * twist);
  EXPECT_NEAR(dof(*u, 4, 1), bend, 1e-9 * bend);
  EXPECT_NEAR(dof(*u, 5, 1), bend + e * twist, 1e-9 * bend);

  auto w = solve_with(v, RigidStrategy::RigidMember);
  ASSERT_TRUE(w) << w.error();
  EXPECT_LT(rel(dof(*w, 4, 3), dof(*u, 4, 3)), 1e-6);
  EXPECT_LT(rel(dof(*w, 5, 1), dof(*u, 5, 1)), 1e-6);
}

TEST(RigidArm, LoadOnTheSlaveReachesTheMasterAsForceAndMoment) {
  // Cᵀ·F: a force F at the slave is F and r × F at the master, exactly.
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  add_line(v, 1, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 2.0, 1);
  const Eigen::Vector3d r(0.25, -0.5, 0.75);
  v.member_sets.front().members.push_back(
      member(2, node(2, 2, 0, 0), node(3, 2 + r.x(), r.y(), r.z()), MemberType::Rigid));
  auto e = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_TRUE(e) << e.error();
  Eigen::VectorXd f = Eigen::VectorXd::Zero(21);
  const Eigen::Vector3d force(3.0, -7.0, 2.0), moment(0.5, 0.25, -1.0);
  f.segment<3>(14) = force;
  f.segment<3>(17) = moment;
  f[20] = 0.125;  // bimoment
  const SparseMatrix k(21, 21);
  const ReducedSystem red = VARN::reduce_system_sparse_internal(k, f, *e);
  Eigen::Matrix<double, 7, 1> at_master;
  for (int i = 0; i < 7; ++i) at_master[i] = red.f[static_cast<Eigen::Index>(*e->reduced_column(7 + static_cast<std::size_t>(i)))];
  EXPECT_EQ(at_master.head<3>(), force);
  EXPECT_NEAR((at_master.segment<3>(3) - (moment + r.cross(force))).norm(), 0.0, 1e-15);
  EXPECT_EQ(at_master[6], 0.125);
}

TEST(RigidArm, TurnedLinksAreReorderedBeforeTheirRowsAreUsed) {
  // Rigid members 3 -> 4 and 3 -> 2, node 2 the tip of a cantilever: 3 -> 2 is turned to
  // 2 -> 3, so node 4 follows node 3, which follows node 2. Node 4's rows must come from the
  // completed rows of node 3.
  const Props p;
  VARN v = empty_model(p);
  v.nodal_supports.push_back(clamp(1));
  add_line(v, 1, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 2.0, 1);
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(2, node(3, 2.5, 0, 0), node(4, 2.5, 0.5, 0), MemberType::Rigid));
  ms.push_back(member(3, node(3, 2.5, 0, 0), node(2, 2, 0, 0), MemberType::Rigid));
  auto e = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_TRUE(e) << e.error();
  const Eigen::MatrixXd rows2 = node_rows(*e, 2);
  EXPECT_NEAR((node_rows(*e, 4) - transform(Eigen::Vector3d(0.5, 0.5, 0)) * rows2).norm(), 0.0, 1e-15);

  add_nodal_load(v, 1, 4, kP, {0, 0, -1});
  auto u = solve_with(v, RigidStrategy::LinearMpc);
  ASSERT_TRUE(u) << u.error();
  Eigen::Matrix<double, 7, 1> u2 = u->segment<7>(7), u4 = u->segment<7>(21);
  EXPECT_NEAR((u4 - transform(Eigen::Vector3d(0.5, 0.5, 0)) * u2).norm(), 0.0, 1e-12);
  EXPECT_GT(std::abs(u4[2]), 1e-4);
  auto w = solve_with(v, RigidStrategy::RigidMember);
  ASSERT_TRUE(w) << w.error();
  // The stiff beams twist 1e-4 as much as the section would: the arms' own flexibility shows.
  EXPECT_LT(rel(dof(*w, 4, 2), dof(*u, 4, 2)), 1e-4);
}

TEST(RigidArm, HeldSlaveIsImposedOnItsConstraintRow) {
  // A cantilever tip propped through a vertical arm e onto a pinned node: the prop holds the
  // tip by the torsion of the beam, δ = P / (3EI/L³ + GJ/(L·e²)). The pinned translations of
  // the slave are penalised rows of C, its rotations are free.
  const Props p;
  const double length = 3.0, e = 0.5;
  VARN v = empty_model(p);
  v.nodal_supports.push_back(clamp(1));
  v.nodal_supports.push_back(support(2, {T::Fixed, T::Fixed, T::Fixed}, {T::Free, T::Free, T::Free}));
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), length, 1);
  v.member_sets.front().members.push_back(
      member(3, node(3, length, 0, 0), node(4, length, 0, -e, 2), MemberType::Rigid));
  add_nodal_load(v, 1, 3, kP, {0, 1, 0});
  auto u = solve_with(v, RigidStrategy::LinearMpc);
  ASSERT_TRUE(u) << u.error();
  ASSERT_TRUE(u->allFinite());
  const double expected = kP / (3 * p.e * p.i_z / std::pow(length, 3) + p.g * p.j / (length * e * e));
  EXPECT_LT(rel(dof(*u, 3, 1), expected), 1e-6);
  EXPECT_LT(std::abs(dof(*u, 4, 1)), 1e-6 * expected);
}

TEST(RigidArm, ManyPenalisedRowsKeepTheirWeight) {
  // Four propped cantilevers side by side: eight penalised rows. Each penalty weighs 1000 times
  // the structure's largest stiffness, not 1000 times what the previous penalties left on the
  // diagonal, so every tip still meets the closed form.
  const Props p;
  const double length = 3.0;
  VARN v = empty_model(p);
  v.nodal_supports.push_back(clamp(1));
  v.nodal_supports.push_back(support(2, {T::Fixed, T::Fixed, T::Fixed}, {T::Free, T::Free, T::Free}));
  auto& ms = v.member_sets.front().members;
  std::uint32_t next_node = 1, next_member = 1;
  std::vector<std::pair<std::uint32_t, double>> tips;
  for (int c = 0; c < 4; ++c) {
    const double y = 2.0 * c, e = 0.3 + 0.2 * c;
    const std::uint32_t base = next_node, tip = next_node + 1, prop = next_node + 2;
    next_node += 3;
    ms.push_back(member(next_member++, node(base, 0, y, 0, 1), node(tip, length, y, 0), MemberType::Normal));
    ms.push_back(member(next_member++, node(tip, length, y, 0), node(prop, length, y, -e, 2), MemberType::Rigid));
    add_nodal_load(v, 1, tip, kP, {0, 1, 0});
    tips.emplace_back(tip, e);
  }
  auto u = solve_with(v, RigidStrategy::LinearMpc);
  ASSERT_TRUE(u) << u.error();
  for (const auto& [tip, e] : tips) {
    const double expected = kP / (3 * p.e * p.i_z / std::pow(length, 3) + p.g * p.j / (length * e * e));
    // The penalty itself yields by about stiffness/α, some 1e-6 here.
    EXPECT_LT(rel(dof(*u, tip, 1), expected), 1e-5) << "tip " << tip;
  }
}

TEST(RigidArm, FloatingRigidModelIsSingular) {
  VARN v = empty_model();
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 2.0, std::nullopt);
  v.member_sets.front().members.push_back(member(3, node(3, 2, 0, 0), node(4, 2, 0, 1), MemberType::Rigid));
  add_nodal_load(v, 1, 4, kP, {1, 0, 0});
  auto u = solve_with(v, RigidStrategy::LinearMpc);
  ASSERT_FALSE(u);
  // The floating structure moves as a rigid body: the message names a retained DOF of its
  // beam nodes (the rigid arm's slave is eliminated).
  EXPECT_TRUE(std::regex_match(u.error(), std::regex("Stiffness matrix is singular or near-singular: node [1-3] "
                                                     "is free to move in (UX|UY|UZ|RX|RY|RZ)")))
      << u.error();
}

// ---------------------------------------------------------------------------------------------
// The sparse reduction equals the dense Cᵀ·K·C.

VARN linked_frame() {
  // A portal frame with a rigid fan at one knee, a chain at the other and a slab-like link
  // between the two beams, all offsets in three dimensions.
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  v.nodal_supports.push_back(support(2, {T::Fixed, T::Fixed, T::Fixed}, {T::Fixed, T::Free, T::Free}));
  auto& ms = v.member_sets.front().members;
  auto n = [](std::uint32_t id, double x, double y, double z, std::optional<std::uint32_t> s = std::nullopt) {
    return node(id, x, y, z, s);
  };
  ms.push_back(member(1, n(1, 0, 0, 0, 1), n(2, 0, 0, 3), MemberType::Normal));
  ms.push_back(member(2, n(2, 0, 0, 3), n(3, 5, 0, 3), MemberType::Normal));
  ms.push_back(member(3, n(3, 5, 0, 3), n(4, 5, 0, 0, 2), MemberType::Normal));
  ms.push_back(member(4, n(2, 0, 0, 3), n(5, 0.3, 0.4, 3.2), MemberType::Rigid));
  ms.push_back(member(5, n(2, 0, 0, 3), n(6, -0.2, 0.1, 2.9), MemberType::Rigid));
  ms.push_back(member(6, n(3, 5, 0, 3), n(7, 5.1, 0.5, 3.0), MemberType::Rigid));
  ms.push_back(member(7, n(7, 5.1, 0.5, 3.0), n(8, 5.3, 1.0, 3.4), MemberType::Rigid));
  ms.push_back(member(8, n(7, 5.1, 0.5, 3.0), n(9, 2.0, 1.5, 3.4), MemberType::Normal));
  ms.push_back(member(9, n(5, 0.3, 0.4, 3.2), n(9, 2.0, 1.5, 3.4), MemberType::Normal));
  ms.push_back(member(10, n(6, -0.2, 0.1, 2.9), n(10, -0.2, 2.0, 2.9), MemberType::Normal));
  return v;
}

TEST(SparseReduction, EqualsTheDenseReference) {
  VARN v = linked_frame();
  add_nodal_load(v, 1, 9, kP, {0.3, -1, 0.2});
  add_nodal_load(v, 1, 8, kP, {0, 0.5, -1});
  add_nodal_load(v, 1, 6, 2 * kP, {1, 0, 0});
  add_nodal_load(v, 1, 10, kP, {0, 0, -1});
  auto e = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_TRUE(e) << e.error();
  auto k = v.build_operator_with_supports_sparse_internal(ActiveMap{}, nullptr);
  auto f = v.assemble_load_vector_for_case(1);
  ASSERT_TRUE(k && f);

  const Eigen::MatrixXd cd(e->c), kd(*k);
  const Eigen::MatrixXd kr_ref = cd.transpose() * kd * cd;
  const Eigen::VectorXd fr_ref = cd.transpose() * *f;
  const ReducedSystem red = VARN::reduce_system_sparse_internal(*k, *f, *e);
  EXPECT_LT((Eigen::MatrixXd(red.k) - kr_ref).norm(), 1e-13 * kr_ref.norm());
  EXPECT_LT((red.f - fr_ref).norm(), 1e-14 * fr_ref.norm());

  // Both supports sit on retained nodes: the dense reference imposes them exactly.
  Eigen::MatrixXd kr = kr_ref;
  Eigen::VectorXd fr = fr_ref;
  for (std::uint32_t node_id : {1u, 4u}) {
    for (int kk = 0; kk < 6; ++kk) {
      if (node_id == 4 && (kk == 4 || kk == 5)) continue;
      constrain_single_dof(kr, fr, *e->reduced_column(7 * (node_id - 1) + static_cast<std::size_t>(kk)), 0.0);
    }
  }
  const Eigen::VectorXd u_ref = cd * kr.fullPivLu().solve(fr);
  auto u = v.solve_constrained_linear_system(*k, *f, {}, &*e, "singular");
  ASSERT_TRUE(u) << u.error();
  EXPECT_LT((*u - u_ref).norm(), 1e-9 * u_ref.norm());
  EXPECT_EQ(VARN::expand_solution(*e, Eigen::VectorXd::Zero(static_cast<Eigen::Index>(e->n_r))),
            Eigen::VectorXd::Zero(static_cast<Eigen::Index>(e->n)));
}

TEST(SparseReduction, PermutedNumberingWithNothingEliminated) {
  // Members met from node 2 onwards: every DOF is retained, but the reduced numbering is not
  // the global one, so the reduction must not be skipped.
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(1, node(2, 2, 0, 0), node(3, 4, 0, 0), MemberType::Normal));
  ms.push_back(member(2, node(1, 0, 0, 0, 1), node(2, 2, 0, 0), MemberType::Normal));
  add_nodal_load(v, 1, 3, kP, {0, 0, 1});
  auto e = v.build_rigid_elimination_partial_using_hinges();
  ASSERT_TRUE(e);
  EXPECT_EQ(e->n_r, e->n);
  EXPECT_FALSE(e->identity);
  auto k = v.build_operator_with_supports_sparse_internal(ActiveMap{}, nullptr);
  auto f = v.assemble_load_vector_for_case(1);
  auto dofs = v.collect_constrained_dofs_full();
  ASSERT_TRUE(k && f && dofs);
  auto reduced = v.solve_constrained_linear_system(*k, *f, {}, &*e, "singular");
  auto penalty = v.solve_constrained_linear_system(*k, *f, *dofs, nullptr, "singular");
  ASSERT_TRUE(reduced && penalty);
  EXPECT_LT((*reduced - *penalty).norm(), 1e-8 * penalty->norm());
  const Props p;
  EXPECT_NEAR(dof(*reduced, 3, 2), kP * 64.0 / (3 * p.e * p.i_y), 1e-9);
}

}  // namespace
