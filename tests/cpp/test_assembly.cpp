// Global stiffness and load assembly, checked through the whole chain assemble -> constrain ->
// solve against closed-form beam deflections, and the assembly's own rules (node numbering,
// missing sections, switched-off ties, stiff beams of rigid members, load combinations,
// independence of the thread count).
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cmath>
#include <limits>
#include <cstdint>
#include <string>
#include <vector>

#include "fatal.h"
#include "global_system_models.h"
#include "models/varn/first_order.h"

namespace {

using namespace varn;
using namespace varn::global_test;

constexpr double kP = 1.0e4;

// Dense copy for entry-wise comparisons.
Eigen::MatrixXd dense(const SparseMatrix& k) { return Eigen::MatrixXd(k); }

double rel_diff(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  const double scale = std::max(a.norm(), b.norm());
  return scale == 0.0 ? 0.0 : (a - b).norm() / scale;
}

// ---------------------------------------------------------------------------------------------
// Cantilever under a tip load: δ = P·L³/(3EI) + P·L/(G·A_s), whatever the member's direction,
// the bending plane and the number of elements (the shear-flexible element is exact for it).

struct CantileverCase {
  const char* name;
  Eigen::Vector3d axis;
  std::array<double, 3> load_dir;
  int load_dof;
  bool strong_axis;  // bending with i_y / a_sy, else i_z / a_sz
  int elements;
  bool shear;
};

class Cantilever : public ::testing::TestWithParam<CantileverCase> {};

TEST_P(Cantilever, TipDeflectionIsBendingPlusShear) {
  const auto& c = GetParam();
  Props p;
  if (c.shear) {
    p.a_sy = 6e-3;
    p.a_sz = 4e-3;
  }
  VARN v = empty_model(p);
  v.nodal_supports.push_back(clamp(1));
  const double length = 3.0;
  add_line(v, c.elements, Eigen::Vector3d(1.0, -2.0, 0.5), c.axis, length, 1);
  const auto tip = static_cast<std::uint32_t>(c.elements + 1);
  add_nodal_load(v, 1, tip, kP, c.load_dir);

  auto u = solve_case(v, 1);
  ASSERT_TRUE(u) << u.error();
  const double inertia = c.strong_axis ? p.i_y : p.i_z;
  const auto shear_area = c.strong_axis ? p.a_sy : p.a_sz;
  double expected = kP * std::pow(length, 3) / (3.0 * p.e * inertia);
  if (shear_area) expected += kP * length / (p.g * *shear_area);
  expected *= c.load_dir[static_cast<std::size_t>(c.load_dof)];  // the deflection follows the load
  EXPECT_NEAR(dof(*u, tip, c.load_dof), expected, 1e-9 * std::abs(expected));
  // The support holds.
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(dof(*u, 1, k), 0.0, 1e-9 * std::abs(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Directions, Cantilever,
    ::testing::Values(CantileverCase{"AlongX_LoadY", {1, 0, 0}, {0, 1, 0}, 1, false, 4, true},
                      CantileverCase{"AlongX_LoadZ", {1, 0, 0}, {0, 0, 1}, 2, true, 4, true},
                      CantileverCase{"AlongX_LoadY_OneElement", {1, 0, 0}, {0, 1, 0}, 1, false, 1, true},
                      CantileverCase{"AlongZ_LoadX", {0, 0, 1}, {1, 0, 0}, 0, true, 3, true},
                      CantileverCase{"AlongZ_LoadY", {0, 0, 1}, {0, 1, 0}, 1, false, 3, false},
                      CantileverCase{"AlongY_LoadX", {0, 1, 0}, {1, 0, 0}, 0, true, 5, true},
                      CantileverCase{"AlongY_LoadZ", {0, 1, 0}, {0, 0, 1}, 2, false, 2, false},
                      CantileverCase{"AlongX_EulerBernoulli", {1, 0, 0}, {0, -1, 0}, 1, false, 6, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Negative load direction: the deflection follows the load.
TEST(Cantilever, DeflectionFollowsTheLoadSign) {
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 2.0, 1);
  add_nodal_load(v, 1, 3, kP, {0, -1, 0});
  auto u = solve_case(v, 1);
  ASSERT_TRUE(u) << u.error();
  const Props p;
  EXPECT_NEAR(dof(*u, 3, 1), -kP * 8.0 / (3.0 * p.e * p.i_z), 1e-12);
  // Rotation at the tip: θz = −P·L²/(2EI).
  EXPECT_NEAR(dof(*u, 3, 5), -kP * 4.0 / (2.0 * p.e * p.i_z), 1e-12);
}

// ---------------------------------------------------------------------------------------------
// Simply supported beam under a uniform load: midspan δ = 5wL⁴/(384EI) (+ wL²/(8·G·A_s)).

struct SimpleBeamCase {
  const char* name;
  int elements;  // even, so a node sits at midspan
  bool shear;
};

class SimpleBeam : public ::testing::TestWithParam<SimpleBeamCase> {};

TEST_P(SimpleBeam, MidspanDeflectionUnderUniformLoad) {
  const auto& c = GetParam();
  Props p;
  if (c.shear) p.a_sz = 3e-3;
  VARN v = empty_model(p);
  using T = SupportConditionType;
  v.nodal_supports.push_back(support(1, {T::Fixed, T::Fixed, T::Fixed}, {T::Fixed, T::Free, T::Free}));
  v.nodal_supports.push_back(support(2, {T::Free, T::Fixed, T::Fixed}, {T::Fixed, T::Free, T::Free}));
  const double length = 6.0;
  const double w = 5.0e3;
  add_line(v, c.elements, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), length, 1, 2);
  LoadCase& lc = load_case(v, 1);
  for (int i = 1; i <= c.elements; ++i) {
    DistributedLoad d;
    d.member = static_cast<std::uint32_t>(i);
    d.load_case = 1;
    d.magnitude = w;
    d.end_magnitude = w;
    d.direction = {0.0, -1.0, 0.0};
    lc.distributed_loads.push_back(d);
  }
  auto u = solve_case(v, 1);
  ASSERT_TRUE(u) << u.error();
  double expected = 5.0 * w * std::pow(length, 4) / (384.0 * p.e * p.i_z);
  if (p.a_sz) expected += w * length * length / (8.0 * p.g * *p.a_sz);
  const auto mid = static_cast<std::uint32_t>(c.elements / 2 + 1);
  EXPECT_NEAR(dof(*u, mid, 1), -expected, 1e-9 * expected);
  // End slopes wL³/(24EI), of opposite sign.
  const double slope = w * std::pow(length, 3) / (24.0 * p.e * p.i_z);
  EXPECT_NEAR(dof(*u, 1, 5), -slope, 1e-9 * slope);
  EXPECT_NEAR(dof(*u, static_cast<std::uint32_t>(c.elements + 1), 5), slope, 1e-9 * slope);
}

INSTANTIATE_TEST_SUITE_P(Meshes, SimpleBeam,
                         ::testing::Values(SimpleBeamCase{"TwoElements", 2, false},
                                           SimpleBeamCase{"FourElements", 4, false},
                                           SimpleBeamCase{"EightElements", 8, false},
                                           SimpleBeamCase{"FourElementsWithShear", 4, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Node numbering.

TEST(NodeIds, GapIsNamed) {
  VARN v = empty_model();
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(1, node(1, 0, 0, 0), node(2, 1, 0, 0), MemberType::Normal));
  ms.push_back(member(2, node(2, 1, 0, 0), node(4, 2, 0, 0), MemberType::Normal));
  const std::string msg = "Node ID 3 is missing. Node IDs must be consecutive starting from 1.";
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_FALSE(k);
  EXPECT_EQ(k.error(), msg);
  auto op = v.build_operator_with_supports_sparse_internal(ActiveMap{}, nullptr);
  ASSERT_FALSE(op);
  EXPECT_EQ(op.error(), msg);
  auto f = v.assemble_load_vector_for_case(1);
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error(), msg);
  auto dofs = v.collect_constrained_dofs_full();
  ASSERT_FALSE(dofs);
  EXPECT_EQ(dofs.error(), msg);
}

TEST(NodeIds, FirstGapOfSeveral) {
  VARN v = empty_model();
  v.member_sets.front().members.push_back(member(1, node(2, 0, 0, 0), node(5, 1, 0, 0), MemberType::Normal));
  auto r = v.validate_node_ids();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Node ID 1 is missing. Node IDs must be consecutive starting from 1.");
}

TEST(NodeIds, NodeZeroIsRefusedWithAMessage) {
  VARN v = empty_model();
  v.member_sets.front().members.push_back(member(1, node(0, 0, 0, 0), node(1, 1, 0, 0), MemberType::Normal));
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_FALSE(k);
  EXPECT_EQ(k.error(), "Node ID 0 is not allowed. Node IDs must be consecutive starting from 1.");
}

TEST(NodeIds, ModelWithoutMembers) {
  VARN v = empty_model();
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(k) << k.error();
  EXPECT_EQ(k->rows(), 0);
  EXPECT_EQ(k->cols(), 0);
  auto f = v.assemble_load_vector_for_case(1);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->size(), 0);
}

// ---------------------------------------------------------------------------------------------
// Members that cannot be built.

struct BrokenMemberCase {
  const char* name;
  MemberType type;
  std::optional<std::uint32_t> section;
  std::string message;  // empty: contributes nothing, no message
};

class BrokenMember : public ::testing::TestWithParam<BrokenMemberCase> {};

TEST_P(BrokenMember, MessageOrNoContribution) {
  const auto& c = GetParam();
  VARN v = empty_model();
  v.sections.push_back(section(2, 1e-3, 1e-6, 1e-6, 1e-7, 99));  // its material does not exist
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(1, node(1, 0, 0, 0), node(2, 2, 0, 0), MemberType::Normal));
  ms.push_back(member(7, node(2, 2, 0, 0), node(3, 2, 2, 0), c.type, c.section));
  ms.push_back(member(3, node(3, 2, 2, 0), node(1, 0, 0, 0), MemberType::Normal));
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  if (!c.message.empty()) {
    ASSERT_FALSE(k);
    EXPECT_EQ(k.error(), c.message);
    return;
  }
  ASSERT_TRUE(k) << k.error();
  VARN without = v;
  without.member_sets.front().members.erase(without.member_sets.front().members.begin() + 1);
  auto k0 = without.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(k0);
  EXPECT_EQ(dense(*k), dense(*k0));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenMember,
    ::testing::Values(BrokenMemberCase{"NormalWithoutSection", MemberType::Normal, std::nullopt,
                                       "Member 7 (Normal) is missing a section id."},
                      BrokenMemberCase{"NormalUnknownSection", MemberType::Normal, 42,
                                       "Member 7 failed to build local stiffness."},
                      BrokenMemberCase{"NormalUnknownMaterial", MemberType::Normal, 2,
                                       "Member 7 failed to build local stiffness."},
                      BrokenMemberCase{"TrussUnknownMaterial", MemberType::Truss, 2,
                                       "Member 7 (Truss) failed to build truss stiffness."},
                      BrokenMemberCase{"TrussUnknownSection", MemberType::Truss, 42,
                                       "Member 7 (Truss) failed to build truss stiffness."},
                      BrokenMemberCase{"TieUnknownMaterial", MemberType::Tension, 2, ""},
                      BrokenMemberCase{"StrutUnknownSection", MemberType::Compression, 42, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BrokenMember, TrussWithoutAnySectionIdIsAFault) {
  VARN v = empty_model();
  v.member_sets.front().members.push_back(
      member(5, node(1, 0, 0, 0), node(2, 1, 0, 0), MemberType::Truss, std::nullopt));
  EXPECT_THROW((void)v.assemble_global_stiffness_matrix_sparse(ActiveMap{}), FatalFault);
}

TEST(BrokenMember, LowestFailingMemberIsReported) {
  // Many failing members: whatever the order the pool runs them in, the first one is named.
  VARN v = empty_model();
  auto& ms = v.member_sets.front().members;
  for (std::uint32_t i = 1; i <= 400; ++i) {
    ms.push_back(member(1000 + i, node(i, i, 0, 0), node(i + 1, i + 1.0, 0, 0), MemberType::Normal,
                        i >= 37 ? std::optional<std::uint32_t>() : std::optional<std::uint32_t>(1)));
  }
  for (int rep = 0; rep < 5; ++rep) {
    auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
    ASSERT_FALSE(k);
    EXPECT_EQ(k.error(), "Member 1037 (Normal) is missing a section id.");
  }
}

// ---------------------------------------------------------------------------------------------
// Ties, struts and truss hinges.

TEST(TiesAndStruts, SwitchedOffTieKeepsOneTenBillionthOfItsStiffness) {
  VARN v = empty_model();
  MemberHinge h;
  h.id = 4;
  h.translational_release_vx = 5e7;  // an axial spring in series
  v.memberhinges = std::vector<MemberHinge>{h};
  Member tie = member(9, node(1, 0, 0, 0), node(2, 3, 4, 0), MemberType::Tension);
  tie.end_hinge = 4;
  v.member_sets.front().members.push_back(tie);
  auto on = v.assemble_global_stiffness_matrix_sparse(ActiveMap{{9, true}});
  auto off = v.assemble_global_stiffness_matrix_sparse(ActiveMap{{9, false}});
  ASSERT_TRUE(on && off);
  const Eigen::MatrixXd a = dense(*on), b = dense(*off);
  for (Eigen::Index i = 0; i < a.rows(); ++i)
    for (Eigen::Index j = 0; j < a.cols(); ++j) EXPECT_EQ(b(i, j), a(i, j) * 1e-10);
  // A member without an entry is on.
  auto absent = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(absent);
  EXPECT_EQ(dense(*absent), a);
}

TEST(TrussHinges, AxialSpringActsInSeriesWithTheBar) {
  // A bar of axial stiffness k with an end spring k_s pulled by P: δ = P/k + P/k_s.
  const Props p;
  const double length = 2.0;
  const double k_bar = p.e * p.area / length;
  for (double k_s : {1e6, 1e8, k_bar}) {
    VARN v = empty_model(p);
    using T = SupportConditionType;
    v.nodal_supports.push_back(clamp(1));
    v.nodal_supports.push_back(support(2, {T::Free, T::Fixed, T::Fixed}, {T::Fixed, T::Fixed, T::Fixed}));
    MemberHinge h;
    h.id = 1;
    h.translational_release_vx = k_s;
    v.memberhinges = std::vector<MemberHinge>{h};
    Member bar = member(1, node(1, 0, 0, 0, 1), node(2, length, 0, 0, 2), MemberType::Truss);
    bar.end_hinge = 1;
    v.member_sets.front().members.push_back(bar);
    add_nodal_load(v, 1, 2, kP, {1, 0, 0});
    auto u = solve_case(v, 1);
    ASSERT_TRUE(u) << u.error();
    const double expected = kP / k_bar + kP / k_s;
    EXPECT_NEAR(dof(*u, 2, 0), expected, 1e-9 * expected) << "k_s = " << k_s;
  }
}

TEST(TrussHinges, HingedBarDoesNotHoldARigidTranslation) {
  // A member's stiffness must not resist a rigid-body translation of its two nodes.
  VARN v = empty_model();
  MemberHinge h;
  h.id = 1;
  h.translational_release_vx = 3e6;
  h.translational_release_vy = 1e5;
  v.memberhinges = std::vector<MemberHinge>{h};
  Member bar = member(1, node(1, 0, 0, 0), node(2, 1, 2, 2), MemberType::Truss);
  bar.start_hinge = 1;
  v.member_sets.front().members.push_back(bar);
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(k);
  for (int axis = 0; axis < 3; ++axis) {
    Eigen::VectorXd t = Eigen::VectorXd::Zero(14);
    t[axis] = 1.0;
    t[7 + axis] = 1.0;
    EXPECT_LT((*k * t).norm(), 1e-6 * dense(*k).norm()) << "axis " << axis;
  }
}

// ---------------------------------------------------------------------------------------------
// Rigid members.

struct StiffBeamCase {
  const char* name;
  std::vector<Material> materials;
  std::optional<std::uint32_t> rigid_section;  // the rigid member's own section id
  std::uint32_t reference_section;             // section of the equivalent Normal member
  double scale;
};

class StiffBeam : public ::testing::TestWithParam<StiffBeamCase> {};

TEST_P(StiffBeam, RigidMemberIsAScaledBeam) {
  const auto& c = GetParam();
  VARN v = empty_model();
  v.materials = c.materials;
  v.sections.push_back(section(2, 4e-3, 3e-6, 2e-6, 1e-6, c.materials.back().id));
  v.settings.analysis_options.rigid_strategy = RigidStrategy::RigidMember;
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(1, node(1, 0, 0, 0), node(2, 2, 0, 0), MemberType::Normal, c.reference_section));
  ms.push_back(member(2, node(2, 2, 0, 0), node(3, 2, 0.5, 0.3), MemberType::Rigid, c.rigid_section));
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(k) << k.error();

  // The same model with the rigid member as an ordinary beam of the reference section, and
  // the first member alone: their difference is the beam's own matrix.
  VARN beam = v;
  beam.member_sets.front().members[1].member_type = MemberType::Normal;
  beam.member_sets.front().members[1].section = c.reference_section;
  VARN first = v;
  first.member_sets.front().members.pop_back();
  auto kn = beam.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  auto k1 = first.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(kn && k1);
  Eigen::MatrixXd k1_full = Eigen::MatrixXd::Zero(kn->rows(), kn->cols());
  k1_full.topLeftCorner(k1->rows(), k1->cols()) = dense(*k1);
  const Eigen::MatrixXd expected = k1_full + c.scale * (dense(*kn) - k1_full);
  EXPECT_LT(rel_diff(dense(*k), expected), 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Scales, StiffBeam,
    ::testing::Values(
        // One material: 1e4·E/E.
        StiffBeamCase{"OwnSection", {material(1, 2.1e11, 8.1e10)}, 1, 1, 1e4},
        // Borrowed from the adjacent elastic member.
        StiffBeamCase{"AdjacentSection", {material(1, 2.1e11, 8.1e10)}, std::nullopt, 1, 1e4},
        // A soft stiff-beam material in a steel model: 2.1e15 / 1 clamped to 1e8.
        StiffBeamCase{"ClampedAbove", {material(1, 2.1e11, 8.1e10), material(2, 1.0, 0.4)}, 2, 2, 1e8},
        // Emax / E = 2.1e11 / 7e10: 3e4.
        StiffBeamCase{"Ratio", {material(1, 2.1e11, 8.1e10), material(2, 7e10, 2.6e10)}, 2, 2, 3e4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StiffBeam, ModelFirstSectionWhenNoNeighbourHasOne) {
  VARN v = empty_model();
  v.settings.analysis_options.rigid_strategy = RigidStrategy::RigidMember;
  v.member_sets.front().members.push_back(
      member(4, node(1, 0, 0, 0), node(2, 0, 0, 1), MemberType::Rigid, std::nullopt));
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(k) << k.error();
  VARN beam = v;
  beam.member_sets.front().members[0].member_type = MemberType::Normal;
  beam.member_sets.front().members[0].section = 1;
  auto kb = beam.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(kb);
  EXPECT_LT(rel_diff(dense(*k), 1e4 * dense(*kb)), 1e-13);

  v.sections.clear();
  auto none = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error(), "RigidMember needs at least one section in the model or a section on rigid member 4.");
}

TEST(StiffBeam, RigidMemberWithUnknownSection) {
  VARN v = empty_model();
  v.settings.analysis_options.rigid_strategy = RigidStrategy::RigidMember;
  v.member_sets.front().members.push_back(member(4, node(1, 0, 0, 0), node(2, 0, 0, 1), MemberType::Rigid, 77));
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_FALSE(k);
  EXPECT_EQ(k.error(), "Rigid member 4 failed to build local K.");
}

TEST(StiffBeam, EliminatedRigidMemberContributesNothing) {
  VARN v = empty_model();
  auto& ms = v.member_sets.front().members;
  ms.push_back(member(1, node(1, 0, 0, 0), node(2, 2, 0, 0), MemberType::Normal));
  ms.push_back(member(2, node(2, 2, 0, 0), node(3, 2, 1, 0), MemberType::Rigid));
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(k);
  ASSERT_EQ(k->rows(), 21);
  const Eigen::MatrixXd d = dense(*k);
  EXPECT_EQ(d.bottomRows(7).norm(), 0.0);
  EXPECT_EQ(d.rightCols(7).norm(), 0.0);
  EXPECT_DOUBLE_EQ(v.max_e_mod_in_model(), 2.1e11);
}

TEST(StiffBeam, LargestFiniteModulus) {
  VARN v;
  EXPECT_EQ(v.max_e_mod_in_model(), 0.0);
  v.materials = {material(1, 7e10, 1), material(2, std::numeric_limits<double>::infinity(), 1),
                 material(3, std::nan(""), 1), material(4, 2e11, 1)};
  EXPECT_EQ(v.max_e_mod_in_model(), 2e11);
}

// ---------------------------------------------------------------------------------------------
// Operator and load vectors.

TEST(Operator, ElasticStiffnessPlusSupportSprings) {
  VARN v = empty_model();
  NodalSupport s = clamp(3);
  s.displacement_conditions["Y"] = condition(SupportConditionType::Spring, 2.5e6);
  s.rotation_conditions["z"] = condition(SupportConditionType::Spring, 7e5);
  v.nodal_supports.push_back(s);
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 4.0, std::nullopt, 3);
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  auto op = v.build_operator_with_supports_sparse_internal(ActiveMap{}, nullptr);
  ASSERT_TRUE(k && op);
  Eigen::MatrixXd diff = dense(*op) - dense(*k);
  EXPECT_DOUBLE_EQ(diff(15, 15), 2.5e6);
  EXPECT_DOUBLE_EQ(diff(19, 19), 7e5);
  diff(15, 15) = 0.0;
  diff(19, 19) = 0.0;
  EXPECT_EQ(diff.norm(), 0.0);
}

TEST(Operator, DisplacementStateAddsTheGeometricStiffness) {
  // A column shortened by 1 mm: the operator is elastic + geometric stiffness + springs.
  VARN v = empty_model();
  NodalSupport s = clamp(2);
  s.displacement_conditions["X"] = condition(SupportConditionType::Spring, 1e6);
  v.nodal_supports.push_back(clamp(1));
  v.nodal_supports.push_back(s);
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitZ(), 4.0, 1, 2);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(21);
  u[14 + 2] = -1e-3;
  u[7 + 2] = -0.5e-3;
  auto op = v.build_operator_with_supports_sparse_internal(ActiveMap{}, &u);
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  auto kg = v.assemble_geometric_stiffness_matrix_sparse(u, ActiveMap{});
  ASSERT_TRUE(op && k && kg) << (op ? "" : op.error());
  ASSERT_GT(Eigen::MatrixXd(*kg).norm(), 0.0);
  Eigen::MatrixXd expected = dense(*k) + dense(*kg);
  expected(14, 14) += 1e6;
  EXPECT_LT(rel_diff(dense(*op), expected), 1e-15);
}

TEST(Operator, SpringMessagePassesUp) {
  VARN v = empty_model();
  NodalSupport s = clamp(3);
  s.rotation_conditions["Y"] = condition(SupportConditionType::Spring, 0.0);
  v.nodal_supports.push_back(s);
  add_line(v, 1, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 4.0, 3);
  auto op = v.build_operator_with_supports_sparse_internal(ActiveMap{}, nullptr);
  ASSERT_FALSE(op);
  EXPECT_EQ(op.error(), "Support 3 rotation Y Spring stiffness must be positive.");
}

// ---------------------------------------------------------------------------------------------
// Pattern of the penalised operator across active-set states. Two storeys of one X-braced bay:
// at the mid-height nodes the brace from below and the brace above are mirror images, so their
// ux-uz couplings cancel exactly while both are on and not once one is switched off. The
// penalised operator must keep that cancelled entry stored, so every pass of the active-set
// loop refactorises on the one symbolic analysis.

VARN two_storey_x_braced_bay() {
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  v.settings.analysis_options.axial_slack = 0.001;
  constexpr double L = 6.0, h = 3.5;
  const Node n1 = node(1, 0, 0, 0, 1), n2 = node(2, L, 0, 0, 1), n3 = node(3, 0, 0, h), n4 = node(4, L, 0, h),
             n5 = node(5, 0, 0, 2 * h), n6 = node(6, L, 0, 2 * h);
  auto& m = v.member_sets.front().members;
  m.push_back(member(1, n1, n3, MemberType::Normal));
  m.push_back(member(2, n3, n5, MemberType::Normal));
  m.push_back(member(3, n2, n4, MemberType::Normal));
  m.push_back(member(4, n4, n6, MemberType::Normal));
  m.push_back(member(5, n3, n4, MemberType::Normal));
  m.push_back(member(6, n5, n6, MemberType::Normal));
  m.push_back(member(7, n1, n4, MemberType::Tension));
  m.push_back(member(8, n2, n3, MemberType::Tension));  // mirror of 9 at node 3
  m.push_back(member(9, n3, n6, MemberType::Tension));
  m.push_back(member(10, n4, n5, MemberType::Tension));
  add_nodal_load(v, 1, 5, 2.0e4, {1.0, 0.0, 0.0});
  add_nodal_load(v, 1, 3, 2.0e4, {1.0, 0.0, 0.0});
  return v;
}

TEST(Operator, PenalisedPatternIsTheSameInEveryActiveSetState) {
  const VARN v = two_storey_x_braced_bay();
  auto dofs = v.collect_constrained_dofs_full();
  ASSERT_TRUE(dofs) << dofs.error();
  const ActiveMap all_on{{7, true}, {8, true}, {9, true}, {10, true}};
  ActiveMap one_off = all_on;
  one_off[8] = false;
  auto k_on = v.build_operator_with_supports_sparse_internal(all_on, nullptr);
  auto k_off = v.build_operator_with_supports_sparse_internal(one_off, nullptr);
  ASSERT_TRUE(k_on && k_off);
  const Eigen::Index ux3 = 14, uz3 = 16;
  ASSERT_EQ(k_on->coeff(uz3, ux3), 0.0) << "the mirrored braces cancel while both are on";
  ASSERT_NE(k_off->coeff(uz3, ux3), 0.0);
  const SparseMatrix p_on = apply_penalty_to_k(*k_on, *dofs);
  const SparseMatrix p_off = apply_penalty_to_k(*k_off, *dofs);
  ASSERT_EQ(p_on.nonZeros(), p_off.nonZeros());
  for (Eigen::Index j = 0; j <= p_on.cols(); ++j) ASSERT_EQ(p_on.outerIndexPtr()[j], p_off.outerIndexPtr()[j]);
  for (Eigen::Index q = 0; q < p_on.nonZeros(); ++q) ASSERT_EQ(p_on.innerIndexPtr()[q], p_off.innerIndexPtr()[q]);
}

TEST(Operator, ActiveSetLoopAnalysesThePatternOnce) {
  const VARN v = two_storey_x_braced_bay();
  const std::size_t analyses = sparse_symbolic_analysis_count();
  const std::size_t factorisations = sparse_numeric_factorization_count();
  const std::size_t updates = sparse_low_rank_update_count();
  auto solved = solve_load_case_unstored(v, 1);
  ASSERT_TRUE(solved) << solved.error();
  ASSERT_FALSE(is_member_active(solved->active, 8)) << "the brace pushed by the sway is off";
  ASSERT_FALSE(is_member_active(solved->active, 10));
  EXPECT_TRUE(is_member_active(solved->active, 7));
  EXPECT_TRUE(is_member_active(solved->active, 9));
  // The switch is followed either by a refactorisation or by a low-rank update of the kept
  // factor; neither may analyse the pattern again.
  EXPECT_GE(sparse_numeric_factorization_count() - factorisations + sparse_low_rank_update_count() - updates, 2u)
      << "the loop switched and followed the switch";
  EXPECT_EQ(sparse_symbolic_analysis_count() - analyses, 1u);
}

TEST(Loads, CaseVectorAndMissingCase) {
  VARN v = empty_model();
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 4.0, std::nullopt);
  add_nodal_load(v, 1, 3, 5.0, {1, 0, 0});
  add_nodal_load(v, 1, 2, 2.0, {0, 0, -3});
  NodalMoment m;
  m.node = 1;
  m.load_case = 1;
  m.magnitude = 4.0;
  m.direction = {0, 1, 0};
  load_case(v, 1).nodal_moments.push_back(m);
  auto f = v.assemble_load_vector_for_case(1);
  ASSERT_TRUE(f);
  Eigen::VectorXd expected = Eigen::VectorXd::Zero(21);
  expected[14] = 5.0;
  expected[9] = -6.0;
  expected[4] = 4.0;
  EXPECT_EQ(*f, expected);
  auto none = v.assemble_load_vector_for_case(8);
  ASSERT_TRUE(none);
  EXPECT_EQ(*none, Eigen::VectorXd::Zero(21));
}

TEST(Loads, LoadOnANodeOrMemberThatDoesNotExistIsRefused) {
  VARN v = empty_model();
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 4.0, std::nullopt);
  add_nodal_load(v, 1, 99, 5.0, {1, 0, 0});
  auto f = v.assemble_load_vector_for_case(1);
  ASSERT_FALSE(f);
  EXPECT_NE(f.error().find("99"), std::string::npos) << f.error();

  VARN w = empty_model();
  add_line(w, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 4.0, std::nullopt);
  DistributedLoad d;
  d.member = 55;
  d.load_case = 2;
  d.magnitude = 1.0;
  d.end_magnitude = 1.0;
  d.direction = {0, -1, 0};
  load_case(w, 2).distributed_loads.push_back(d);
  auto g = w.assemble_load_vector_for_case(2);
  ASSERT_FALSE(g);
  EXPECT_NE(g.error().find("55"), std::string::npos) << g.error();

  // The combination passes the message on.
  LoadCombination c;
  c.id = 3;
  c.name = "ULS";
  c.load_cases_factors.entries.push_back({2, 1.35});
  w.load_combinations.push_back(c);
  auto h = w.assemble_load_vector_for_combination(3);
  ASSERT_FALSE(h);
  EXPECT_EQ(h.error(), g.error());
}

TEST(Loads, CombinationIsTheFactoredSum) {
  VARN v = empty_model();
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 4.0, std::nullopt);
  add_nodal_load(v, 1, 3, 10.0, {0, -1, 0});
  add_nodal_load(v, 2, 2, 4.0, {1, 0, 0});
  LoadCombination c;
  c.id = 7;
  c.name = "ULS";
  c.load_cases_factors.entries.push_back({1, 1.35});
  c.load_cases_factors.entries.push_back({2, 1.5});
  c.load_cases_factors.entries.push_back({9, 100.0});  // no such case: adds nothing
  v.load_combinations.push_back(c);
  auto f = v.assemble_load_vector_for_combination(7);
  ASSERT_TRUE(f) << f.error();
  Eigen::VectorXd expected = Eigen::VectorXd::Zero(21);
  expected[15] = 1.35 * -10.0;
  expected[7] = 1.5 * 4.0;
  EXPECT_EQ(*f, expected);

  auto missing = v.assemble_load_vector_for_combination(8);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "LoadCombination 8 not found.");

  LoadCombination only_missing;
  only_missing.id = 8;
  only_missing.load_cases_factors.entries.push_back({42, 2.0});
  v.load_combinations.push_back(only_missing);
  auto zeros = v.assemble_load_vector_for_combination(8);
  ASSERT_TRUE(zeros);
  EXPECT_EQ(*zeros, Eigen::VectorXd::Zero(21));
}

// ---------------------------------------------------------------------------------------------
// The compressed matrix does not depend on the number of threads.

VARN grid_frame(int nx, int ny, int storeys) {
  VARN v = empty_model();
  v.nodal_supports.push_back(clamp(1));
  auto id = [&](int i, int j, int k) { return static_cast<std::uint32_t>((k * ny + j) * nx + i + 1); };
  auto at = [&](int i, int j, int k) { return node(id(i, j, k), 4.0 * i, 5.0 * j, 3.2 * k, k == 0 ? 1u : std::optional<std::uint32_t>()); };
  std::uint32_t mid = 1;
  auto& ms = v.member_sets.front().members;
  for (int k = 0; k <= storeys; ++k)
    for (int j = 0; j < ny; ++j)
      for (int i = 0; i < nx; ++i) {
        if (k > 0) ms.push_back(member(mid++, at(i, j, k - 1), at(i, j, k), MemberType::Normal));
        if (k > 0 && i + 1 < nx) ms.push_back(member(mid++, at(i, j, k), at(i + 1, j, k), MemberType::Normal));
        if (k > 0 && j + 1 < ny) ms.push_back(member(mid++, at(i, j, k), at(i, j + 1, k), MemberType::Normal));
      }
  return v;
}

TEST(Determinism, SameMatrixOnOneAndOnManyThreads) {
  const VARN v = grid_frame(8, 7, 6);
  SparseMatrix one, many;
  {
    tbb::global_control c(tbb::global_control::max_allowed_parallelism, 1);
    auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
    ASSERT_TRUE(k);
    one = *k;
  }
  auto k = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(k);
  many = *k;
  ASSERT_EQ(one.nonZeros(), many.nonZeros());
  for (Eigen::Index i = 0; i < one.nonZeros(); ++i) {
    ASSERT_EQ(one.valuePtr()[i], many.valuePtr()[i]);
    ASSERT_EQ(one.innerIndexPtr()[i], many.innerIndexPtr()[i]);
  }
  for (Eigen::Index j = 0; j <= one.cols(); ++j) ASSERT_EQ(one.outerIndexPtr()[j], many.outerIndexPtr()[j]);
}

}  // namespace
