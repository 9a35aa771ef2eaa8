// The force state that stiffness curves are read at: global forces at supported nodes and the
// local end forces of members whose hinges carry curves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

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
  ms.push_back(member(1, node(1, 0, 0, 0), node(2, 1, 0, 0, 1), MemberType::Normal));
  ms.push_back(member(2, node(2, 1, 0, 0, 1), node(3, 2, 0, 0, 9), MemberType::Normal));
  ms.push_back(member(3, node(4, 3, 0, 0, 1), node(3, 2, 0, 0, 9), MemberType::Truss));
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
    Member a = member(1, node(1, 0, 0, 0), node(2, length, 0, 0), MemberType::Normal);
    a.end_hinge = 1;  // a curve at one end only
    Member b = member(2, node(2, length, 0, 0), node(3, length, 3, 0), MemberType::Normal);
    b.start_hinge = 2;  // a release without a curve
    Member c = member(3, node(3, length, 3, 0), node(4, 0, 3, 0), MemberType::Normal);
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

TEST_F(HingeForces, EndRotationActsThroughTheSpringInSeries) {
  // Rotating the end node by θ about local y (global Y for a member along X): the hinge spring
  // k and the beam's end stiffness 4EI/L act in series, so the spring carries
  // θ·(k·4EI/L)/(k + 4EI/L) and the far end half of it. A rigid connection would carry
  // 4EI/L·θ, nearly ten times more for this soft spring.
  const double theta = 1e-4;
  Eigen::VectorXd u = Eigen::VectorXd::Zero(28);
  u[7 + 4] = theta;
  const double k_beam = 4 * p.e * p.i_y / length;
  struct Case {
    const char* name;
    std::optional<double> end_moment;  // the current end force of the hinge's My, none: no map
    double k_spring;
  };
  // The curve: 1e6 at 0, 5e5 from 1e3 on.
  for (const Case& c : {Case{"first point", std::nullopt, 1e6}, Case{"beyond the last point", 2e3, 5e5},
                        Case{"halfway", 500.0, 7.5e5}}) {
    SCOPED_TRACE(c.name);
    MemberEndForceMap current;
    HingeForceState state;
    if (c.end_moment) {
      EndForces end{};
      end[4] = *c.end_moment;
      current[1] = {EndForces{}, end};
      state.current = &current;
    }
    const auto map = v.extract_member_hinge_forces(u, state);
    const double m_end = theta * c.k_spring * k_beam / (c.k_spring + k_beam);
    // Round-off of a 15-unknown condensation of entries up to EA/L ~ 1e9 against moments of
    // ~1e2: relative 1e-9 leaves several orders of margin.
    EXPECT_NEAR(map.at(1).second[4], m_end, 1e-9 * m_end);
    EXPECT_NEAR(map.at(1).first[4], m_end / 2, 1e-9 * m_end);
  }
  // A vector too short for the member's DOFs leaves it out.
  EXPECT_TRUE(v.extract_member_hinge_forces(Eigen::VectorXd::Zero(13)).empty());
}

// A cantilever along X, clamped at node 1 through a rotational hinge spring about local y
// whose curve is flat at k; loaded at the tip or along its length in −Z. Whatever the spring,
// the hinge carries the statically determinate root moment.
struct RootSpringCase {
  const char* name;
  double tip_load;     // N, at the tip
  double line_load;    // N/m, over the whole member
  double load_factor;  // λ of the state; the displacements are those of λ times the load case
  double root_moment;  // N·m, closed form at λ
};

void PrintTo(const RootSpringCase& c, std::ostream* os) { *os << c.name; }

class RootSpringCantilever : public ::testing::TestWithParam<RootSpringCase> {};

TEST_P(RootSpringCantilever, HingeCarriesTheRootMoment) {
  const RootSpringCase& c = GetParam();
  const double k = 1e5;  // N·m/rad
  Props p;
  p.i_y = 1e-5;  // EI = 2.1e6 N·m²
  VARN v = empty_model(p);
  v.nodal_supports.push_back(clamp(1));
  StiffnessCurveConfig flat;
  flat.points = {CurvePoint{0.0, k}, CurvePoint{1e9, k}};
  flat.depends_on = ForceComponent::My;
  MemberHinge hinge;
  hinge.id = 1;
  hinge.stiffness_curve_my = flat;
  v.memberhinges = std::vector<MemberHinge>{hinge};
  const double length = 4.0;
  add_line(v, 1, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), length, 1);
  v.member_sets.front().members.front().start_hinge = 1;
  if (c.tip_load != 0.0) add_nodal_load(v, 1, 2, c.tip_load, {0, 0, -1});
  if (c.line_load != 0.0) {
    DistributedLoad q;
    q.member = 1;
    q.load_case = 1;
    q.magnitude = c.line_load;
    q.end_magnitude = c.line_load;
    q.direction = {0, 0, -1};
    q.start_frac = 0.0;
    q.end_frac = 1.0;
    load_case(v, 1).distributed_loads.push_back(q);
  }
  auto u = solve_case(v, 1);
  ASSERT_TRUE(u) << u.error();
  HingeForceState state;
  state.loads = ResultType::loadcase(1);
  state.load_factor = c.load_factor;
  const auto map = v.extract_member_hinge_forces(c.load_factor * *u, state);
  // The supports are a penalty of 1e10 times the largest diagonal entry, so the clamped node
  // keeps about 1e-10 of the displacements; the spring/beam stiffness ratio (about 20) and the
  // condensation's round-off keep the moment well inside 1e-7 relative.
  EXPECT_NEAR(std::abs(map.at(1).first[4]), c.root_moment, 1e-7 * c.root_moment);
  // The member carries no moment at its free tip.
  EXPECT_NEAR(map.at(1).second[4], 0.0, 1e-7 * c.root_moment);
}

INSTANTIATE_TEST_SUITE_P(Loads, RootSpringCantilever,
                         ::testing::Values(RootSpringCase{"tip", 1e3, 0.0, 1.0, 1e3 * 4.0},
                                           RootSpringCase{"line", 0.0, 500.0, 1.0, 500.0 * 16.0 / 2},
                                           RootSpringCase{"line_at_half_load", 0.0, 500.0, 0.5, 250.0 * 16.0 / 2},
                                           RootSpringCase{"both", 1e3, 500.0, 1.0, 4e3 + 4e3}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ColumnCase {
  const char* name;
  double k;  // N·m/rad, the root spring
  double p;  // N, the compression: below a tenth of the critical load
};

void PrintTo(const ColumnCase& c, std::ostream* os) { *os << c.name; }

class HingeForcesSecondOrder : public ::testing::TestWithParam<ColumnCase> {};

TEST_P(HingeForcesSecondOrder, RootSpringOfAColumnCarriesTheMomentOfTheDeflectedShape) {
  // A column along Z on a rotational root spring (flat curves about both bending axes),
  // loaded at its top by a lateral H and a compression P well below the critical load. In
  // P-delta equilibrium the spring carries H·L + P·Δ, Δ the lateral top displacement; the
  // member's geometric stiffness is what brings the P·Δ part into its end forces.
  const double k = GetParam().k;
  const double p = GetParam().p;
  const double length = 4.0;
  const double h = 1e3;
  Props props;
  props.i_y = props.i_z = 1e-5;
  VARN v = empty_model(props);
  v.nodal_supports.push_back(clamp(1));
  StiffnessCurveConfig flat_y;
  flat_y.points = {CurvePoint{0.0, k}, CurvePoint{1e9, k}};
  flat_y.depends_on = ForceComponent::My;
  StiffnessCurveConfig flat_z = flat_y;
  flat_z.depends_on = ForceComponent::Mz;
  MemberHinge hinge;
  hinge.id = 1;
  hinge.stiffness_curve_my = flat_y;
  hinge.stiffness_curve_mz = flat_z;
  v.memberhinges = std::vector<MemberHinge>{hinge};
  add_line(v, 1, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitZ(), length, 1);
  v.member_sets.front().members.front().start_hinge = 1;
  add_nodal_load(v, 1, 2, h, {1, 0, 0});
  add_nodal_load(v, 1, 2, p, {0, 0, -1});
  const auto f = v.assemble_load_vector_for_case(1);
  const auto fixed = v.collect_constrained_dofs_full();
  ASSERT_TRUE(f && fixed);
  auto u = solve_case(v, 1);
  ASSERT_TRUE(u) << u.error();
  // Fixed-point iteration on (K + K_G(u))·u = f; at P/P_cr ≈ 0.08 every pass shrinks the
  // error about twelvefold, so 40 passes leave only round-off.
  for (int it = 0; it < 40; ++it) {
    const auto op = v.build_operator_with_supports_sparse_internal(ActiveMap{}, &*u);
    ASSERT_TRUE(op) << op.error();
    u = v.solve_constrained_linear_system(*op, *f, *fixed, nullptr, "singular");
    ASSERT_TRUE(u) << u.error();
  }
  const double delta = dof(*u, 2, 0);
  // The axial force the member's geometric stiffness is built with: P to within P/EA, since
  // the initial-stress matrix acts on the axial stretch too.
  const AssemblyContext ctx = v.build_lookup_maps();
  const double n = v.member_sets.front().members.front().calculate_axial_force_3d_impl(*u, ctx.materials, ctx.sections,
                                                                                      false).first;
  EXPECT_NEAR(n, -p, 1e-5 * p);
  const double expected = h * length - n * delta;
  ASSERT_GT(p * delta, 0.03 * h * length) << "the P-delta part must be visible";
  HingeForceState state;
  state.include_geometric = true;
  const auto map = v.extract_member_hinge_forces(*u, state);
  const auto& start = map.at(1).first;
  const double root = std::hypot(start[4], start[5]);
  // Penalty leak of the clamp (1e-10 relative) and round-off of the condensation, amplified
  // by the spring/beam stiffness ratio: well inside 1e-8.
  EXPECT_NEAR(root, expected, 1e-8 * expected);
  // Read from the elastic stiffness alone, a spring stiffer than the member misses much of
  // the P·Δ part (a soft spring's force follows the node rotations, which hold it already).
  if (k > 4 * props.e * props.i_y / length) {
    const auto first_order = v.extract_member_hinge_forces(*u);
    const double root_first = std::hypot(first_order.at(1).first[4], first_order.at(1).first[5]);
    EXPECT_GT(std::abs(root_first - expected), 0.1 * p * delta);
  }
}

// Critical loads: about k/L = 2.5e4 N on the soft spring, about π²EI/(4L²) = 3.2e5 N on the
// stiff one.
INSTANTIATE_TEST_SUITE_P(Springs, HingeForcesSecondOrder,
                         ::testing::Values(ColumnCase{"soft", 1e5, 2e3}, ColumnCase{"stiff", 1e8, 2e4}),
                         [](const auto& info) { return std::string(info.param.name); });

// A cantilever along X whose root node rests on a vertical spring following a curve: 1e6 N/m
// up to 1 kN, 5e5 N/m from 2 kN. The support carries the whole vertical load, so with 2 kN
// the consistent state is k = 5e5 and a settlement of 4 mm.
struct SettlementCase {
  const char* name;
  double tip_load;   // N, at node 2
  double root_load;  // N, straight onto the supported node 1
};

void PrintTo(const SettlementCase& c, std::ostream* os) { *os << c.name; }

class CurveSupportedCantilever : public ::testing::TestWithParam<SettlementCase> {};

TEST_P(CurveSupportedCantilever, SettlesWhereTheCurveMeetsTheCarriedForce) {
  const SettlementCase& c = GetParam();
  VARN v = empty_model();
  NodalSupport s = clamp(1);
  SupportCondition spring = condition(SupportConditionType::Spring);
  StiffnessCurveConfig curve;
  curve.points = {CurvePoint{1e3, 1e6}, CurvePoint{2e3, 5e5}};
  curve.depends_on = ForceComponent::Fz;
  spring.stiffness_curve = curve;
  s.displacement_conditions["Z"] = spring;
  v.nodal_supports.push_back(s);
  add_line(v, 1, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 3.0, 1);
  if (c.tip_load != 0.0) add_nodal_load(v, 1, 2, c.tip_load, {0, 0, -1});
  if (c.root_load != 0.0) add_nodal_load(v, 1, 1, c.root_load, {0, 0, -1});
  const auto f = v.assemble_load_vector_for_case(1);
  ASSERT_TRUE(f);
  const auto k_e = v.assemble_global_stiffness_matrix_sparse(ActiveMap{});
  ASSERT_TRUE(k_e);
  const auto fixed = v.collect_constrained_dofs_full();
  ASSERT_TRUE(fixed);

  // Fixed-point iteration of the curve: solve with the springs read at the carried forces,
  // then read the forces the supports carry in that state.
  SupportNodeForceMap carried;
  Eigen::VectorXd u;
  for (int it = 0; it < 5; ++it) {
    const auto springs = collect_support_spring_entries_with_forces(v.member_sets, v.nodal_supports, &carried);
    ASSERT_TRUE(springs) << springs.error();
    std::vector<std::pair<std::size_t, double>> diagonal;
    for (const auto& e : *springs) diagonal.emplace_back(e.dof, e.k);
    auto solved = v.solve_constrained_linear_system(sparse_add_diagonal(*k_e, diagonal), *f, *fixed, nullptr, "singular");
    ASSERT_TRUE(solved) << solved.error();
    u = *solved;
    auto next = v.compute_carried_support_forces(u, ActiveMap{}, false, *f);
    ASSERT_TRUE(next) << next.error();
    carried = *next;
  }
  const double total = c.tip_load + c.root_load;
  // The support carries the whole vertical load (equilibrium), on the spring axis k·u. The
  // spring axis is solved without penalty, so only the 1e-10 penalty leak of the clamped axes
  // and ordinary round-off separate it from the load.
  EXPECT_NEAR(std::abs(carried.at(1)[2]), total, 1e-8 * total);
  EXPECT_NEAR(dof(u, 1, 2), -4e-3, 1e-8 * 4e-3);
  // The internal-force entry of the supported node holds the spring's k·u as well, and so
  // balances the load applied there: at an unloaded support it reads nothing of the 2 kN.
  auto f_int = v.compute_internal_force_vector_with_forces(u, ActiveMap{}, false, carried);
  ASSERT_TRUE(f_int);
  EXPECT_NEAR(std::abs(v.extract_support_node_forces(*f_int).at(1)[2]), c.root_load, 1e-8 * total);
}

INSTANTIATE_TEST_SUITE_P(Loads, CurveSupportedCantilever,
                         ::testing::Values(SettlementCase{"tip", 2e3, 0.0}, SettlementCase{"tip_and_root", 1.5e3, 500.0}),
                         [](const auto& info) { return std::string(info.param.name); });

// The same two states reached by the second-order solve itself, whose Newton iterations
// refresh the curve forces from every accepted state.
TEST(CurveForcesInTheSolve, SupportCurveSettlesAtFourMillimetres) {
  VARN v = empty_model();
  v.settings.analysis_options.order = AnalysisOrder::Nonlinear;
  NodalSupport s = clamp(1);
  SupportCondition spring = condition(SupportConditionType::Spring);
  StiffnessCurveConfig curve;
  curve.points = {CurvePoint{1e3, 1e6}, CurvePoint{2e3, 5e5}};
  curve.depends_on = ForceComponent::Fz;
  spring.stiffness_curve = curve;
  s.displacement_conditions["Z"] = spring;
  v.nodal_supports.push_back(s);
  add_line(v, 2, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), 3.0, 1);
  add_nodal_load(v, 1, 3, 2e3, {0, 0, -1});
  v.settings.analysis_options.max_iterations = 50;
  auto r = v.solve_for_load_case_second_order(1);
  ASSERT_TRUE(r) << r.error();
  // Converged to the solver's tolerance on the residual (1e-6 relative): the settlement of
  // P/k is met to well within a micrometre.
  EXPECT_NEAR(r->displacement_nodes.at(1).dz, -4e-3, 1e-6);
}

TEST(CurveHingeFixedPoint, SofteningRootSpringSettlesAtTheStiffnessOfTheRootMoment) {
  // A cantilever beam on a root hinge spring whose curve softens from 1e6 to 1e5 N·m/rad
  // between 1 and 3 kN·m: the tip load of 1 kN at 4 m puts 4 kN·m through it, so the
  // consistent hinge stiffness is 1e5 and the tip drops by the beam's own PL³/3EI plus the
  // rigid rotation P·L/k·L of the spring.
  Props p;
  p.i_y = 1e-5;
  VARN v = empty_model(p);
  v.nodal_supports.push_back(clamp(1));
  StiffnessCurveConfig soft;
  soft.points = {CurvePoint{1e3, 1e6}, CurvePoint{3e3, 1e5}};
  soft.depends_on = ForceComponent::My;
  MemberHinge hinge;
  hinge.id = 1;
  hinge.stiffness_curve_my = soft;
  v.memberhinges = std::vector<MemberHinge>{hinge};
  const double length = 4.0;
  const double load = 1e3;
  add_line(v, 1, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), length, 1);
  v.member_sets.front().members.front().start_hinge = 1;
  add_nodal_load(v, 1, 2, load, {0, 0, -1});
  const auto f = v.assemble_load_vector_for_case(1);
  const auto fixed = v.collect_constrained_dofs_full();
  ASSERT_TRUE(f && fixed);
  // Fixed-point iteration of the curve: the operator with the hinges read at the end forces,
  // then the end forces of that state.
  MemberEndForceMap end_forces;
  Eigen::VectorXd u;
  for (int it = 0; it < 6; ++it) {
    auto k = v.assemble_global_stiffness_matrix_sparse_with_hinge_forces(ActiveMap{}, end_forces);
    ASSERT_TRUE(k) << k.error();
    auto solved = v.solve_constrained_linear_system(*k, *f, *fixed, nullptr, "singular");
    ASSERT_TRUE(solved) << solved.error();
    u = *solved;
    HingeForceState state;
    state.current = &end_forces;
    state.loads = ResultType::loadcase(1);
    const MemberEndForceMap next = v.extract_member_hinge_forces(u, state);
    end_forces = next;
  }
  EXPECT_NEAR(std::abs(end_forces.at(1).first[4]), load * length, 1e-8 * load * length);
  const double ei = p.e * p.i_y;
  const double tip = load * length * length * length / (3 * ei) + load * length / 1e5 * length;
  // Penalty leak and round-off only.
  EXPECT_NEAR(dof(u, 2, 2), -tip, 1e-8 * tip);
}

TEST(CurveForcesInTheSolve, RootHingeSpringCarriesTheRootMoment) {
  // A cantilever beam on a root hinge spring whose curve softens from 1e6 to 5e5 N·m/rad
  // between 1 and 3 kN·m: the tip load of 1 kN at 4 m puts 4 kN·m through it, so the
  // consistent hinge stiffness is 5e5 and the tip drops by the beam's own PL³/3EI plus the
  // rigid rotation P·L/k·L of the spring.
  Props p;
  p.i_y = 1e-5;
  VARN v = empty_model(p);
  v.settings.analysis_options.order = AnalysisOrder::Nonlinear;
  v.nodal_supports.push_back(clamp(1));
  StiffnessCurveConfig soft;
  soft.points = {CurvePoint{1e3, 1e6}, CurvePoint{3e3, 5e5}};
  soft.depends_on = ForceComponent::My;
  MemberHinge hinge;
  hinge.id = 1;
  hinge.stiffness_curve_my = soft;
  v.memberhinges = std::vector<MemberHinge>{hinge};
  const double length = 4.0;
  const double load = 1e3;
  add_line(v, 1, Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitX(), length, 1);
  v.member_sets.front().members.front().start_hinge = 1;
  add_nodal_load(v, 1, 2, load, {0, 0, -1});
  v.settings.analysis_options.max_iterations = 50;
  auto r = v.solve_for_load_case_second_order(1);
  ASSERT_TRUE(r) << r.error();
  const double ei = p.e * p.i_y;
  const double tip = load * length * length * length / (3 * ei) + load * length / 5e5 * length;
  // Residual tolerance 1e-6 relative: the tip deflection to 1e-5 relative.
  EXPECT_NEAR(r->displacement_nodes.at(2).dz, -tip, 1e-5 * tip);
}

}  // namespace
