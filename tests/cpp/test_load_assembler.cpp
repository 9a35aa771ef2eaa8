#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "element_test_support.h"
#include "fatal.h"
#include "functions/geometry.h"
#include "functions/load_assembler.h"
#include "models/loads/loadcase.h"
#include "models/members/memberhinge.h"
#include "models/members/memberset.h"
#include "models/varn/lookup.h"

using namespace varn;
using varn::testing_support::section_with;
using varn::testing_support::steel;

namespace {

Node node(std::uint32_t id, const Vec3& p) {
  Node n;
  n.id = id;
  n.X = p.x();
  n.Y = p.y();
  n.Z = p.z();
  return n;
}

Member member(std::uint32_t id, std::uint32_t a, const Vec3& pa, std::uint32_t b, const Vec3& pb,
              MemberType t = MemberType::Normal) {
  Member m;
  m.id = id;
  m.start_node = node(a, pa);
  m.end_node = node(b, pb);
  m.member_type = t;
  m.section = 1;
  return m;
}

std::vector<MemberSet> sets_of(std::vector<Member> members) {
  MemberSet s;
  s.id = 1;
  s.members = std::move(members);
  return {s};
}

DistributedLoad dload(std::uint32_t member, double q_s, double q_e, double s, double e, std::array<double, 3> dir,
                      std::uint32_t lc = 1) {
  DistributedLoad l;
  l.member = member;
  l.load_case = lc;
  l.magnitude = q_s;
  l.end_magnitude = q_e;
  l.start_frac = s;
  l.end_frac = e;
  l.direction = dir;
  return l;
}

LoadCase case_with(std::vector<DistributedLoad> loads, std::uint32_t id = 1) {
  LoadCase lc;
  lc.id = id;
  lc.name = "LC";
  lc.distributed_loads = std::move(loads);
  return lc;
}

Eigen::VectorXd zeros_for(const std::vector<MemberSet>& sets) {
  return Eigen::VectorXd::Zero(static_cast<Eigen::Index>(compute_num_dofs_from_members(sets)));
}

Vec3 block3(const Eigen::VectorXd& f, std::uint32_t node, std::size_t first) {
  const auto i = static_cast<Eigen::Index>(dof_index(node, first));
  return Vec3(f(i), f(i + 1), f(i + 2));
}

constexpr double kL = 4.0;
constexpr double kQ = 10.0;

// Exact for polynomials up to degree 9: q·N_i is of degree 4 at most.
double gauss_integral(double a, double b, const std::function<double(double)>& g) {
  static const double x[5] = {-0.9061798459386640, -0.5384693101056831, 0.0, 0.5384693101056831, 0.9061798459386640};
  static const double w[5] = {0.2369268850561891, 0.4786286704993665, 0.5688888888888889, 0.4786286704993665,
                              0.2369268850561891};
  double sum = 0.0;
  for (int i = 0; i < 5; ++i) sum += w[i] * g(0.5 * (a + b) + 0.5 * (b - a) * x[i]);
  return 0.5 * (b - a) * sum;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// End values against closed-form fixed-end forces

struct EndValueCase {
  const char* name;
  double s, e, q_s, q_e;
  // Coefficients of qL (forces) and qL² (moments).
  double f_start, m_start, f_end, m_end;
};

void PrintTo(const EndValueCase& c, std::ostream* os) { *os << c.name; }

class FixedEndForces : public ::testing::TestWithParam<EndValueCase> {};

TEST_P(FixedEndForces, MatchTextbookValues) {
  const auto& p = GetParam();
  const HermiteEndLoads h = hermite_end_loads(kL, p.s, p.e, p.q_s * kQ, p.q_e * kQ);
  const double ql = kQ * kL, ql2 = kQ * kL * kL;
  EXPECT_NEAR(h.f_start, p.f_start * ql, 1e-12 * ql);
  EXPECT_NEAR(h.m_start, p.m_start * ql2, 1e-12 * ql2);
  EXPECT_NEAR(h.f_end, p.f_end * ql, 1e-12 * ql);
  EXPECT_NEAR(h.m_end, p.m_end * ql2, 1e-12 * ql2);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FixedEndForces,
    ::testing::Values(EndValueCase{"Uniform", 0, 1, 1, 1, 0.5, 1.0 / 12, 0.5, -1.0 / 12},
                      EndValueCase{"TriangleRising", 0, 1, 0, 1, 3.0 / 20, 1.0 / 30, 7.0 / 20, -1.0 / 20},
                      EndValueCase{"TriangleFalling", 0, 1, 1, 0, 7.0 / 20, 1.0 / 20, 3.0 / 20, -1.0 / 30},
                      EndValueCase{"UniformFirstHalf", 0, 0.5, 1, 1, 13.0 / 32, 11.0 / 192, 3.0 / 32, -5.0 / 192},
                      EndValueCase{"UniformSecondHalf", 0.5, 1, 1, 1, 3.0 / 32, 5.0 / 192, 13.0 / 32, -11.0 / 192},
                      // Uniform load over the middle half, a = L/4 from each end (symmetric).
                      EndValueCase{"UniformMiddleHalf", 0.25, 0.75, 1, 1, 0.25, 11.0 / 192, 0.25, -11.0 / 192}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FixedEndForces, ClosedFormEqualsQuadratureOfHermiteWeights) {
  const std::function<double(double)> n[4] = {
      [](double x) { return 1 - 3 * x * x + 2 * x * x * x; }, [](double x) { return x - 2 * x * x + x * x * x; },
      [](double x) { return 3 * x * x - 2 * x * x * x; }, [](double x) { return x * x * x - x * x; }};
  struct Span {
    double s, e, q_s, q_e;
  };
  for (const Span& sp : {Span{0.1, 0.7, 3.0, -2.0}, Span{0.0, 0.3, 5.0, 5.0}, Span{0.45, 0.95, -1.0, 4.0},
                         Span{0.2, 0.2 + 1e-6, 2.0, 3.0}, Span{0.0, 1.0, -7.0, 11.0}}) {
    const double beta = (sp.q_e - sp.q_s) / (sp.e - sp.s);
    auto q = [&](double x) { return sp.q_s + beta * (x - sp.s); };
    const HermiteEndLoads h = hermite_end_loads(kL, sp.s, sp.e, sp.q_s, sp.q_e);
    const double expect[4] = {kL * gauss_integral(sp.s, sp.e, [&](double x) { return q(x) * n[0](x); }),
                              kL * kL * gauss_integral(sp.s, sp.e, [&](double x) { return q(x) * n[1](x); }),
                              kL * gauss_integral(sp.s, sp.e, [&](double x) { return q(x) * n[2](x); }),
                              kL * kL * gauss_integral(sp.s, sp.e, [&](double x) { return q(x) * n[3](x); })};
    const double got[4] = {h.f_start, h.m_start, h.f_end, h.m_end};
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(got[i], expect[i], 1e-12 * (1 + std::abs(expect[i]))) << i;

    // The lever rule of a simple beam: moments about the other end.
    const SimpleBeamEndForces r = simple_beam_end_forces(kL, sp.s, sp.e, sp.q_s, sp.q_e);
    const double total = kL * gauss_integral(sp.s, sp.e, q);
    const double about_start = kL * gauss_integral(sp.s, sp.e, [&](double x) { return q(x) * x; });
    EXPECT_NEAR(r.f_end, about_start, 1e-12 * (1 + std::abs(total)));
    EXPECT_NEAR(r.f_start + r.f_end, total, 1e-12 * (1 + std::abs(total)));
  }
}

struct SimpleBeamCase {
  const char* name;
  double s, e, q_s, q_e;
  double f_start, f_end;  // coefficients of qL
};

void PrintTo(const SimpleBeamCase& c, std::ostream* os) { *os << c.name; }

class SimpleBeam : public ::testing::TestWithParam<SimpleBeamCase> {};

TEST_P(SimpleBeam, LeverRule) {
  const auto& p = GetParam();
  const SimpleBeamEndForces r = simple_beam_end_forces(kL, p.s, p.e, p.q_s * kQ, p.q_e * kQ);
  EXPECT_NEAR(r.f_start, p.f_start * kQ * kL, 1e-12);
  EXPECT_NEAR(r.f_end, p.f_end * kQ * kL, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Table, SimpleBeam,
                         ::testing::Values(SimpleBeamCase{"Uniform", 0, 1, 1, 1, 0.5, 0.5},
                                           SimpleBeamCase{"UniformFirstHalf", 0, 0.5, 1, 1, 0.375, 0.125},
                                           SimpleBeamCase{"TriangleRising", 0, 1, 0, 1, 1.0 / 6, 1.0 / 3},
                                           SimpleBeamCase{"TrapezoidLastQuarter", 0.75, 1, 2, 4, 1.0 / 12, 2.0 / 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Global vectors of single members

TEST(DistributedLoads, FixedFixedBeamUniformLoad) {
  const auto sets = sets_of({member(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0))});
  Eigen::VectorXd f = zeros_for(sets);
  ASSERT_TRUE(assemble_distributed_loads(case_with({dload(1, kQ, kQ, 0, 1, {0, -1, 0})}), sets, f, 1, nullptr));
  const double wl2 = kQ * kL / 2, wl12 = kQ * kL * kL / 12;
  EXPECT_TRUE(block3(f, 1, 0).isApprox(Vec3(0, -wl2, 0)));
  EXPECT_TRUE(block3(f, 2, 0).isApprox(Vec3(0, -wl2, 0)));
  // Moment axis x̂ × d = -Z: the start node is turned clockwise, the end node anticlockwise.
  EXPECT_TRUE(block3(f, 1, 3).isApprox(Vec3(0, 0, -wl12)));
  EXPECT_TRUE(block3(f, 2, 3).isApprox(Vec3(0, 0, wl12)));
  EXPECT_EQ(f(6), 0.0);
  EXPECT_EQ(f(13), 0.0);
}

TEST(DistributedLoads, FixedFixedBeamTriangularLoadInZ) {
  const auto sets = sets_of({member(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0))});
  Eigen::VectorXd f = zeros_for(sets);
  ASSERT_TRUE(assemble_distributed_loads(case_with({dload(1, 0, kQ, 0, 1, {0, 0, -1})}), sets, f, 1, nullptr));
  const double ql = kQ * kL, ql2 = kQ * kL * kL;
  EXPECT_NEAR(f(2), -3 * ql / 20, 1e-12);
  EXPECT_NEAR(f(9), -7 * ql / 20, 1e-12);
  // Axis x̂ × (-Z) = +Y.
  EXPECT_NEAR(f(4), ql2 / 30, 1e-12);
  EXPECT_NEAR(f(11), -ql2 / 20, 1e-12);
}

TEST(DistributedLoads, AlongTheMemberLinearWeightsAcrossItCubic) {
  // An inclined beam under a load rising from 0 to q, oblique to it: the component along the
  // member is shared by the axial element's linear weights (qL/6, qL/3), the component across
  // it by the bending weights (3qL/20, 7qL/20, with the end moments qL²/30 and qL²/20), and
  // the axial component bends nothing.
  const Vec3 x_hat = Vec3(1, 2, 2) / 3.0;
  const Vec3 across = Vec3(2, 1, -2) / 3.0;
  const auto sets = sets_of({member(1, 1, Vec3(0.5, -1, 2), 2, Vec3(0.5, -1, 2) + kL * x_hat)});
  const Vec3 d = 0.6 * x_hat + 0.8 * across;
  Eigen::VectorXd f = zeros_for(sets);
  ASSERT_TRUE(assemble_distributed_loads(case_with({dload(1, 0, kQ, 0, 1, {d.x(), d.y(), d.z()})}), sets, f, 1,
                                         nullptr));
  const double ql = kQ * kL, ql2 = kQ * kL * kL;
  // Round-off of the rotation of the member axes, a few ulps of qL.
  const double tol = 1e-13 * ql;
  EXPECT_NEAR(block3(f, 1, 0).dot(x_hat), 0.6 * ql / 6, tol);
  EXPECT_NEAR(block3(f, 2, 0).dot(x_hat), 0.6 * ql / 3, tol);
  EXPECT_NEAR(block3(f, 1, 0).dot(across), 0.8 * 3 * ql / 20, tol);
  EXPECT_NEAR(block3(f, 2, 0).dot(across), 0.8 * 7 * ql / 20, tol);
  const Vec3 axis = x_hat.cross(across);
  EXPECT_NEAR(block3(f, 1, 3).dot(axis), 0.8 * ql2 / 30, tol * kL);
  EXPECT_NEAR(block3(f, 2, 3).dot(axis), -0.8 * ql2 / 20, tol * kL);
  EXPECT_NEAR((block3(f, 1, 3) - block3(f, 1, 3).dot(axis) * axis).norm(), 0.0, tol * kL);
  EXPECT_NEAR((block3(f, 2, 3) - block3(f, 2, 3).dot(axis) * axis).norm(), 0.0, tol * kL);
}

TEST(DistributedLoads, TrussMembersTakeSimpleBeamForcesOnly) {
  for (MemberType t : {MemberType::Truss, MemberType::Tension, MemberType::Compression}) {
    const auto sets = sets_of({member(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0), t)});
    Eigen::VectorXd f = zeros_for(sets);
    ASSERT_TRUE(assemble_distributed_loads(case_with({dload(1, kQ, kQ, 0, 0.5, {0, -1, 0})}), sets, f, 1, nullptr));
    EXPECT_NEAR(f(1), -0.375 * kQ * kL, 1e-12);
    EXPECT_NEAR(f(8), -0.125 * kQ * kL, 1e-12);
    Eigen::VectorXd rest = f;
    rest(1) = rest(8) = 0.0;
    EXPECT_EQ(rest.cwiseAbs().maxCoeff(), 0.0) << "no moments on a pin-ended bar";
  }
}

TEST(DistributedLoads, DirectionIsNotNormalised) {
  const auto sets = sets_of({member(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0))});
  Eigen::VectorXd unit = zeros_for(sets), twice = zeros_for(sets);
  ASSERT_TRUE(assemble_distributed_loads(case_with({dload(1, 0, kQ, 0.2, 0.9, {0, -1, 0})}), sets, unit, 1, nullptr));
  ASSERT_TRUE(assemble_distributed_loads(case_with({dload(1, 0, kQ, 0.2, 0.9, {0, -2, 0})}), sets, twice, 1, nullptr));
  EXPECT_TRUE(twice.isApprox(2.0 * unit));
  EXPECT_GT(unit.norm(), 0.0);
}

TEST(DistributedLoads, LoadsThatAddNothing) {
  const auto sets = sets_of({member(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0))});
  Eigen::VectorXd f = zeros_for(sets);
  // Zero extent; another case's load listed here; a zero-extent load even if reversed.
  ASSERT_TRUE(assemble_distributed_loads(
      case_with({dload(1, kQ, kQ, 0.3, 0.3, {0, -1, 0}), dload(1, kQ, kQ, 0, 1, {0, -1, 0}, 7),
                 dload(1, kQ, kQ, 0.5, 0.5 - 1e-15, {0, -1, 0})}),
      sets, f, 1, nullptr));
  EXPECT_EQ(f.cwiseAbs().maxCoeff(), 0.0);
}

TEST(DistributedLoads, LoadsAddUpAndAddIntoTheVector) {
  const auto sets = sets_of({member(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0))});
  Eigen::VectorXd f = Eigen::VectorXd::Constant(14, 1.0);
  // Two halves of a uniform load make the full uniform load.
  ASSERT_TRUE(assemble_distributed_loads(
      case_with({dload(1, kQ, kQ, 0, 0.5, {0, -1, 0}), dload(1, kQ, kQ, 0.5, 1, {0, -1, 0})}), sets, f, 1, nullptr));
  EXPECT_NEAR(f(1), 1 - kQ * kL / 2, 1e-12);
  EXPECT_NEAR(f(5), 1 - kQ * kL * kL / 12, 1e-12);
  EXPECT_NEAR(f(12), 1 + kQ * kL * kL / 12, 1e-12);
}

// ---------------------------------------------------------------------------------------------
// Hinged members: condensation with the element stiffness

struct HingedFixture {
  std::vector<Material> materials{steel()};
  // No shear areas: Euler-Bernoulli bending.
  std::vector<Section> sections{section_with(1, 5e-3, 8e-5, 3e-5, 2e-7)};
  std::vector<MemberHinge> hinges;
  std::vector<NodalSupport> supports;

  AssemblyContext context() const { return build_lookup_maps(materials, sections, hinges, supports); }
};

MemberHinge moment_hinge_z(std::uint32_t id) {
  MemberHinge h;
  h.id = id;
  h.hinge_type = "pin";
  h.rotational_release_mz = 0.0;
  return h;
}

TEST(DistributedLoads, HingeAtEndGivesProppedCantileverValues) {
  HingedFixture fx;
  fx.hinges = {moment_hinge_z(5)};
  const AssemblyContext ctx = fx.context();
  Member m = member(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0));
  m.end_hinge = 5;
  const auto sets = sets_of({m});
  Eigen::VectorXd f = zeros_for(sets);
  ASSERT_TRUE(assemble_distributed_loads(case_with({dload(1, kQ, kQ, 0, 1, {0, -1, 0})}), sets, f, 1, &ctx));
  const double ql = kQ * kL, ql2 = kQ * kL * kL;
  EXPECT_NEAR(f(1), -5 * ql / 8, 1e-9 * ql);
  EXPECT_NEAR(f(8), -3 * ql / 8, 1e-9 * ql);
  EXPECT_NEAR(f(5), -ql2 / 8, 1e-9 * ql2);
  EXPECT_NEAR(f(12), 0.0, 1e-9 * ql2);

  // Without a context the hinge is not seen.
  Eigen::VectorXd plain = zeros_for(sets);
  ASSERT_TRUE(assemble_distributed_loads(case_with({dload(1, kQ, kQ, 0, 1, {0, -1, 0})}), sets, plain, 1, nullptr));
  EXPECT_NEAR(plain(12), ql2 / 12, 1e-12);
}

TEST(DistributedLoads, HingeAtStartMirrorsTheValues) {
  HingedFixture fx;
  fx.hinges = {moment_hinge_z(5)};
  const AssemblyContext ctx = fx.context();
  Member m = member(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0));
  m.start_hinge = 5;
  m.end_hinge = 99;  // unknown id: no hinge
  const auto sets = sets_of({m});
  Eigen::VectorXd f = zeros_for(sets);
  ASSERT_TRUE(assemble_distributed_loads(case_with({dload(1, kQ, kQ, 0, 1, {0, -1, 0})}), sets, f, 1, &ctx));
  const double ql = kQ * kL, ql2 = kQ * kL * kL;
  EXPECT_NEAR(f(1), -3 * ql / 8, 1e-9 * ql);
  EXPECT_NEAR(f(8), -5 * ql / 8, 1e-9 * ql);
  EXPECT_NEAR(f(5), 0.0, 1e-9 * ql2);
  EXPECT_NEAR(f(12), ql2 / 8, 1e-9 * ql2);
}

TEST(DistributedLoads, TrussWithHingeStaysSimpleBeam) {
  HingedFixture fx;
  fx.hinges = {moment_hinge_z(5)};
  const AssemblyContext ctx = fx.context();
  Member m = member(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0), MemberType::Truss);
  m.end_hinge = 5;
  const auto sets = sets_of({m});
  Eigen::VectorXd f = zeros_for(sets);
  ASSERT_TRUE(assemble_distributed_loads(case_with({dload(1, 0, kQ, 0, 1, {0, -1, 0})}), sets, f, 1, &ctx));
  EXPECT_NEAR(f(1), -kQ * kL / 6, 1e-12);
  EXPECT_NEAR(f(8), -kQ * kL / 3, 1e-12);
}

// ---------------------------------------------------------------------------------------------
// Static equivalence: forces and moments of every load kind on skewed members

TEST(LoadAssembly, EquivalentNodalLoadsBalanceTheAppliedLoads) {
  HingedFixture fx;
  MemberHinge h = moment_hinge_z(5);
  h.rotational_release_my = 0.0;
  fx.hinges = {h};
  const AssemblyContext ctx = fx.context();

  const Vec3 p1(0, 0, 0), p2(3, 1, 2), p3(5, -2, 4), p4(1, 4, -1), p5(-2, 3, 6);
  Member hinged = member(2, 2, p2, 3, p3);
  hinged.end_hinge = 5;
  Member rolled = member(5, 1, p1, 5, p5);
  rolled.rotation_angle = 0.4;
  const auto sets = sets_of({member(1, 1, p1, 2, p2), hinged, member(3, 3, p3, 4, p4, MemberType::Truss),
                             member(4, 4, p4, 1, p1, MemberType::Rigid), rolled,
                             member(6, 2, p2, 4, p4, MemberType::Compression)});
  std::map<std::uint32_t, const Member*> by_id;
  for (const auto& m : sets[0].members) by_id[m.id] = &m;

  LoadCase lc;
  lc.id = 3;
  lc.name = "all kinds";
  lc.distributed_loads = {dload(1, 4, 4, 0, 1, {0, 0, -1}, 3),        dload(2, 0, 6, 0, 1, {1, -2, 0.5}, 3),
                          dload(2, 3, 1, 0.2, 0.7, {0, 1, 0}, 3),       dload(3, 2, 5, 0.1, 0.6, {0.3, 0.2, -1}, 3),
                          dload(4, 7, 2, 0.0, 0.4, {-1, 0, 0}, 3),      dload(5, 1, 3, 0.3, 1.0, {0.5, 0.5, 0.5}, 3),
                          dload(6, 5, 5, 0.5, 1.0, {0, 0, 1}, 3),       dload(1, -2, 3, 0.25, 0.75, {1, 1, 0}, 3)};
  NodalLoad nl;
  nl.id = 1;
  nl.node = 4;
  nl.magnitude = 12;
  nl.direction = {0, -1, 0.5};
  NodalMoment nm;
  nm.id = 2;
  nm.node = 3;
  nm.magnitude = 7;
  nm.direction = {1, 0, -1};
  lc.nodal_loads = {nl};
  lc.nodal_moments = {nm};

  // Resultant and moment about P of everything applied, from the trapezoid's area and centroid.
  const Vec3 P(1.5, -0.5, 2.0);
  Vec3 force = Vec3::Zero(), moment = Vec3::Zero();
  for (const auto& l : lc.distributed_loads) {
    const Member& m = *by_id.at(l.member);
    const double L = m.calculate_length();
    const Vec3 d(l.direction[0], l.direction[1], l.direction[2]);
    const double h = l.end_frac - l.start_frac;
    const double area = L * h * (l.magnitude + l.end_magnitude) / 2;
    const double centroid = l.start_frac + h * (l.magnitude + 2 * l.end_magnitude) / (3 * (l.magnitude + l.end_magnitude));
    const Vec3 at = m.start_position() + centroid * (m.end_position() - m.start_position());
    force += area * d;
    moment += (at - P).cross(area * d);
  }
  const Vec3 nlf = nl.magnitude * Vec3(nl.direction[0], nl.direction[1], nl.direction[2]);
  force += nlf;
  moment += (p4 - P).cross(nlf) + nm.magnitude * Vec3(nm.direction[0], nm.direction[1], nm.direction[2]);

  Eigen::VectorXd f = zeros_for(sets);
  ASSERT_TRUE(assemble_nodal_loads(lc, sets, f));
  ASSERT_TRUE(assemble_nodal_moments(lc, sets, f));
  ASSERT_TRUE(assemble_distributed_loads(lc, sets, f, 3, &ctx));

  const Vec3 pos[] = {p1, p2, p3, p4, p5};
  Vec3 sum_f = Vec3::Zero(), sum_m = Vec3::Zero();
  for (std::uint32_t n = 1; n <= 5; ++n) {
    const Vec3 fn = block3(f, n, 0);
    sum_f += fn;
    sum_m += (pos[n - 1] - P).cross(fn) + block3(f, n, 3);
  }
  EXPECT_LT((sum_f - force).norm(), 1e-10 * force.norm()) << sum_f.transpose() << " vs " << force.transpose();
  EXPECT_LT((sum_m - moment).norm(), 1e-10 * moment.norm()) << sum_m.transpose() << " vs " << moment.transpose();

  // The hinge did act: the released end of member 2 carries no moment about its local z and y.
  Eigen::VectorXd only2 = zeros_for(sets);
  LoadCase lc2 = case_with({lc.distributed_loads[1]}, 3);
  lc2.distributed_loads[0].load_case = 3;
  ASSERT_TRUE(assemble_distributed_loads(lc2, sets, only2, 3, &ctx));
  const Mat3 r = hinged.calculate_rotation_matrix_from_positions(p2, p3);
  const Vec3 local_end_moment = r * block3(only2, 3, 3);
  EXPECT_NEAR(local_end_moment.y(), 0.0, 1e-9);
  EXPECT_NEAR(local_end_moment.z(), 0.0, 1e-9);
}

// ---------------------------------------------------------------------------------------------
// Nodal loads and moments

TEST(NodalLoads, ForceOnNodeThreeAlongX) {
  const auto sets = sets_of({member(1, 1, Vec3(0, 0, 0), 2, Vec3(1, 0, 0)), member(2, 2, Vec3(1, 0, 0), 3, Vec3(2, 0, 0))});
  LoadCase lc;
  lc.id = 1;
  NodalLoad l;
  l.id = 1;
  l.node = 3;
  l.magnitude = 5;
  l.direction = {1, 0, 0};
  lc.nodal_loads = {l};
  l.direction = {0, 0, -2};  // not normalised: -10 on uz
  lc.nodal_loads.push_back(l);
  Eigen::VectorXd f = zeros_for(sets);
  ASSERT_TRUE(assemble_nodal_loads(lc, sets, f));
  Eigen::VectorXd expected = Eigen::VectorXd::Zero(21);
  expected(14) = 5;
  expected(16) = -10;
  EXPECT_EQ(f, expected);

  NodalMoment m;
  m.id = 4;
  m.node = 1;
  m.magnitude = 2;
  m.direction = {0, 1, 0};
  lc.nodal_moments = {m};
  Eigen::VectorXd g = zeros_for(sets);
  ASSERT_TRUE(assemble_nodal_moments(lc, sets, g));
  EXPECT_EQ(g(4), 2.0);
  EXPECT_EQ(g.cwiseAbs().sum(), 2.0);
}

// ---------------------------------------------------------------------------------------------
// Loads that the model cannot carry

struct RefusedCase {
  const char* name;
  int kind;  // 0 nodal load, 1 nodal moment, 2 distributed load
  std::uint32_t target;
  double s, e;
  std::string message;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedLoads : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedLoads, MessageAndUntouchedVector) {
  const auto& p = GetParam();
  const auto sets = sets_of({member(1, 1, Vec3(0, 0, 0), 2, Vec3(1, 0, 0)), member(2, 2, Vec3(1, 0, 0), 3, Vec3(2, 0, 0))});
  LoadCase lc;
  lc.id = 6;
  NodalLoad good;
  good.id = 1;
  good.node = 2;
  good.magnitude = 1;
  good.direction = {1, 1, 1};
  NodalLoad bad = good;
  bad.id = 8;
  bad.node = p.target;
  NodalMoment good_m, bad_m;
  good_m.id = 1;
  good_m.node = 2;
  good_m.magnitude = 1;
  good_m.direction = {1, 1, 1};
  bad_m = good_m;
  bad_m.id = 9;
  bad_m.node = p.target;
  lc.nodal_loads = {good, bad};
  lc.nodal_moments = {good_m, bad_m};
  lc.distributed_loads = {dload(1, 1, 1, 0, 1, {0, -1, 0}, 6), dload(p.target, 1, 1, p.s, p.e, {0, -1, 0}, 6)};

  const Eigen::VectorXd before = Eigen::VectorXd::Constant(21, 0.5);
  Eigen::VectorXd f = before;
  Expected<void> r = p.kind == 0   ? assemble_nodal_loads(lc, sets, f)
                     : p.kind == 1 ? assemble_nodal_moments(lc, sets, f)
                                   : assemble_distributed_loads(lc, sets, f, 6, nullptr);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), p.message);
  EXPECT_EQ(f, before);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, RefusedLoads,
    ::testing::Values(
        RefusedCase{"LoadBeyondLastNode", 0, 40, 0, 1,
                    "Nodal load 8 in load case 6 acts on node 40, which no member connects."},
        RefusedCase{"LoadOnNodeZero", 0, 0, 0, 1, "Nodal load 8 in load case 6 acts on node 0, which no member connects."},
        RefusedCase{"MomentOnMissingNode", 1, 4, 0, 1,
                    "Nodal moment 9 in load case 6 acts on node 4, which no member connects."},
        RefusedCase{"MissingMember", 2, 3, 0, 1,
                    "Distributed load in load case 6 acts on member 3, which the model does not have."},
        RefusedCase{"ReversedSpan", 2, 2, 0.8, 0.2,
                    "Distributed load on member 2 in load case 6 spans start_frac 0.8 to end_frac 0.2; the span must "
                    "satisfy 0 <= start_frac < end_frac <= 1."},
        RefusedCase{"BeyondEndNode", 2, 2, 0.5, 1.5,
                    "Distributed load on member 2 in load case 6 spans start_frac 0.5 to end_frac 1.5; the span must "
                    "satisfy 0 <= start_frac < end_frac <= 1."},
        RefusedCase{"BeforeStartNode", 2, 1, -0.25, 0.5,
                    "Distributed load on member 1 in load case 6 spans start_frac -0.25 to end_frac 0.5; the span must "
                    "satisfy 0 <= start_frac < end_frac <= 1."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RefusedLoads, AnotherCasesLoadOnAMissingMemberIsNotThisCasesConcern) {
  const auto sets = sets_of({member(1, 1, Vec3(0, 0, 0), 2, Vec3(1, 0, 0))});
  Eigen::VectorXd f = zeros_for(sets);
  EXPECT_TRUE(assemble_distributed_loads(case_with({dload(9, 1, 1, 0, 1, {0, -1, 0}, 2)}), sets, f, 1, nullptr));
  EXPECT_EQ(f.cwiseAbs().maxCoeff(), 0.0);
}

TEST(RefusedLoads, FractionsRoundedJustPastTheEndsAreAccepted) {
  const auto sets = sets_of({member(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0))});
  Eigen::VectorXd f = zeros_for(sets);
  EXPECT_TRUE(assemble_distributed_loads(case_with({dload(1, kQ, kQ, -1e-15, 1 + 1e-15, {0, -1, 0})}), sets, f, 1,
                                         nullptr));
  EXPECT_NEAR(f(1), -kQ * kL / 2, 1e-12);
}

TEST(RefusedLoads, VectorTooShortForTheModelIsAFatalFault) {
  const auto sets = sets_of({member(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0))});
  Eigen::VectorXd f = Eigen::VectorXd::Zero(7);
  EXPECT_THROW((void)assemble_distributed_loads(case_with({dload(1, kQ, kQ, 0, 1, {0, -1, 0})}), sets, f, 1, nullptr),
               FatalFault);
}
