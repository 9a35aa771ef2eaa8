// Global geometric stiffness at a displacement state: the Euler load of an assembled column,
// the force threshold, P-delta axis suppression, ties and struts, released members and the
// failure of the lowest member index.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include <Eigen/Eigenvalues>
#include <tbb/global_control.h>
#include <tbb/info.h>

#include "element_test_support.h"
#include "fatal.h"
#include "functions/hinge_and_release_operations.h"
#include "models/varn/geometric_stiffness.h"
#include "models/varn/varn.h"

namespace varn {
namespace {

using namespace testing_support;
using std::numbers::pi;

constexpr double kE = 200e9;
constexpr double kA = 2e-3;
constexpr double kIy = 6e-6;
constexpr double kIz = 2e-6;

struct Frame {
  std::vector<MemberSet> sets;
  std::vector<Material> materials;
  std::vector<Section> sections;
  std::optional<std::vector<MemberHinge>> hinges;
  std::vector<NodalSupport> supports;
  AnalysisOptions options;

  Frame() {
    materials.push_back(steel(1, kE, 77e9));
    Section s = section_with(1, kA, kIy, kIz, 1e-7);
    s.wagner_coeff = 0.4;
    sections.push_back(s);
    sets.push_back(MemberSet{});
    sets[0].id = 1;
  }
  AssemblyContext ctx() const { return build_lookup_maps(materials, sections, hinges, supports); }
  Member& add(std::uint32_t id, std::uint32_t a, Vec3 s, std::uint32_t b, Vec3 e, MemberType type = MemberType::Normal) {
    Member m = member_between(id, a, s, b, e);
    m.member_type = type;
    sets[0].members.push_back(m);
    return sets[0].members.back();
  }
  std::size_t n() const { return compute_num_dofs_from_members(sets); }
};

// A column along X in `n_el` members, its top shortened by P·L/(E·A): every member carries −P.
Frame column(int n_el, double length) {
  Frame f;
  for (int i = 0; i < n_el; ++i) {
    f.add(static_cast<std::uint32_t>(i + 1), static_cast<std::uint32_t>(i + 1), Vec3(length * i / n_el, 0, 0),
          static_cast<std::uint32_t>(i + 2), Vec3(length * (i + 1) / n_el, 0, 0));
  }
  return f;
}

Eigen::VectorXd shortening(const Frame& f, int n_el, double length, double p) {
  Eigen::VectorXd u = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(f.n()));
  for (int i = 0; i <= n_el; ++i) u(7 * i) = -p * (length * i / n_el) / (kE * kA);
  return u;
}

Eigen::MatrixXd elastic_dense(const Frame& f) {
  const AssemblyContext ctx = f.ctx();
  std::vector<std::pair<Member, Mat14>> parts;
  for (const Member& m : f.sets[0].members) {
    const Mat14 t = m.calculate_transformation_matrix_3d();
    parts.emplace_back(m, t.transpose() * *m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections) * t);
  }
  return assemble_dense(f.n() / 7, parts);
}

double assembled_buckling_load(const Frame& f, int n_el, double length) {
  const double p = 1e4;
  const auto kg = assemble_geometric_stiffness(f.sets, f.ctx(), f.options, shortening(f, n_el, length, p), ActiveMap{});
  EXPECT_TRUE(kg.has_value()) << kg.error();
  const Eigen::MatrixXd g = sparse_to_dense_symmetric(*kg);
  const Eigen::MatrixXd k = elastic_dense(f);
  // Pinned at the base (translations and twist), guided at the top.
  const int top = 7 * n_el;
  const auto dofs = free_dofs(k.rows(), {0, 1, 2, 3, top + 1, top + 2});
  Eigen::GeneralizedSelfAdjointEigenSolver<Eigen::MatrixXd> es(-restrict(g, dofs), restrict(k, dofs));
  return p / es.eigenvalues().maxCoeff();
}

TEST(GeometricAssembly, AssembledColumnBucklesAtTheEulerLoad) {
  const double length = 4.0;
  const int n_el = 8;
  Frame f = column(n_el, length);
  f.sections[0].wagner_coeff.reset();
  const double euler = pi * pi * kE * kIz / (length * length);
  EXPECT_NEAR(assembled_buckling_load(f, n_el, length), euler, 0.01 * euler);
}

TEST(GeometricAssembly, WagnerTermGivesTheTorsionalBucklingLoad) {
  // Without warping resistance a compressed column twists at P = G·J / w (w = r₀², the
  // squared polar radius of gyration about the shear centre): 77e9·1e-7 / 0.4 = 19250 N.
  const double length = 4.0;
  const int n_el = 8;
  const Frame f = column(n_el, length);
  const double torsional = 77e9 * 1e-7 / 0.4;
  EXPECT_NEAR(assembled_buckling_load(f, n_el, length), torsional, 1e-6 * torsional);
}

TEST(GeometricAssembly, NoForceNoMatrix) {
  const Frame f = column(3, 3.0);
  const Eigen::VectorXd zero = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(f.n()));
  const auto kg = assemble_geometric_stiffness(f.sets, f.ctx(), f.options, zero, ActiveMap{});
  ASSERT_TRUE(kg.has_value());
  EXPECT_EQ(kg->rows(), static_cast<Eigen::Index>(f.n()));
  EXPECT_EQ(kg->nonZeros(), 0);
}

TEST(GeometricAssembly, ForceThreshold) {
  AnalysisOptions o;
  o.axial_slack = 0.001;
  EXPECT_EQ(geometric_force_threshold(o), 0.0005);
  o.axial_slack = 0.0;
  EXPECT_EQ(geometric_force_threshold(o), 1e-6);
  o.axial_slack = std::nan("");
  EXPECT_EQ(geometric_force_threshold(o), 1e-6);

  // A member force just below and just above the threshold (E·A/L = 1e8 N/m over 4 m).
  Frame f = column(1, 4.0);
  f.options.axial_slack = 0.0;
  Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
  u(7) = 0.9e-6 / 1e8;
  EXPECT_EQ(assemble_geometric_stiffness(f.sets, f.ctx(), f.options, u, ActiveMap{})->nonZeros(), 0);
  u(7) = 1.1e-6 / 1e8;
  EXPECT_GT(assemble_geometric_stiffness(f.sets, f.ctx(), f.options, u, ActiveMap{})->nonZeros(), 0);
}

TEST(GeometricAssembly, SuppressedAxesLoseTheirCoupling) {
  Mat14 k = Mat14::Constant(1.0);
  suppress_geometric_axes({"z", "Q", "XY", ""}, k);
  for (int r = 0; r < 14; ++r) {
    for (int c = 0; c < 14; ++c) {
      const bool gone = r == 2 || r == 9 || c == 2 || c == 9;
      EXPECT_EQ(k(r, c), gone ? 0.0 : 1.0) << r << "," << c;
    }
  }
  Mat14 same = Mat14::Constant(2.0);
  suppress_geometric_axes({}, same);
  EXPECT_EQ(same, Mat14::Constant(2.0));

  // In the assembly: a column along X compressed, Y suppressed: no entry on any uy DOF.
  Frame f = column(2, 4.0);
  f.options.pdelta_suppress_axes = {"y"};
  const auto kg = assemble_geometric_stiffness(f.sets, f.ctx(), f.options, shortening(f, 2, 4.0, 1e3), ActiveMap{});
  const Eigen::MatrixXd g = sparse_to_dense_symmetric(*kg);
  for (int node = 0; node < 3; ++node) EXPECT_EQ(g.row(7 * node + 1).cwiseAbs().maxCoeff(), 0.0);
  EXPECT_LT(g(2, 2), 0.0);  // the Z plane keeps its (compressive) terms
}

TEST(GeometricAssembly, TrussesAlwaysGetTheStringMatrix) {
  for (auto formulation : {PdeltaFormulation::Consistent, PdeltaFormulation::Simplified}) {
    Frame f;
    f.options.pdelta_formulation = formulation;
    f.add(1, 1, Vec3(0, 0, 0), 2, Vec3(0, 0, 2.0), MemberType::Truss);
    Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
    u(9) = 1e-4;  // stretched: N = E·A/L·1e-4 = 2e4
    const Eigen::MatrixXd g = sparse_to_dense_symmetric(*assemble_geometric_stiffness(f.sets, f.ctx(), f.options, u, ActiveMap{}));
    const double s = 2e4 / 2.0;
    // Along global Z the transverse axes are global X and Y; nothing on the axis or rotations.
    EXPECT_NEAR(g(0, 0), s, 1e-9 * s);
    EXPECT_NEAR(g(1, 1), s, 1e-9 * s);
    EXPECT_NEAR(g(0, 7), -s, 1e-9 * s);
    EXPECT_EQ(g(2, 2), 0.0);
    EXPECT_EQ(g.block(3, 3, 4, 4).cwiseAbs().maxCoeff(), 0.0);
  }
}

TEST(GeometricAssembly, SimplifiedAndConsistentBeams) {
  Frame f = column(1, 2.0);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
  u(7) = -2e-5;  // E·A/L = 2e8 N/m: N = −4e3
  const double n = -4e3;
  f.options.pdelta_formulation = PdeltaFormulation::Simplified;
  Eigen::MatrixXd g = sparse_to_dense_symmetric(*assemble_geometric_stiffness(f.sets, f.ctx(), f.options, u, ActiveMap{}));
  EXPECT_NEAR(g(0, 0), n / 2.0, 1e-9);
  EXPECT_NEAR(g(1, 1), n / 2.0, 1e-9);
  EXPECT_EQ(g(5, 5), 0.0);
  f.options.pdelta_formulation = PdeltaFormulation::Consistent;
  g = sparse_to_dense_symmetric(*assemble_geometric_stiffness(f.sets, f.ctx(), f.options, u, ActiveMap{}));
  EXPECT_NEAR(g(1, 1), 1.2 * n / 2.0, 1e-9);
  EXPECT_NEAR(g(5, 5), 2 * n * 2.0 / 15, 1e-9);
  EXPECT_NEAR(g(3, 3), 0.4 * n / 2.0, 1e-9);  // the section's Wagner coefficient
}

TEST(GeometricAssembly, SwitchedOffTieAndRigidMembersContributeNothing) {
  Frame f;
  f.add(1, 1, Vec3(0, 0, 0), 2, Vec3(2, 0, 0), MemberType::Tension);
  f.add(2, 2, Vec3(2, 0, 0), 3, Vec3(4, 0, 0), MemberType::Rigid);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(21);
  u(7) = 1e-3;
  u(14) = 5e-3;
  ActiveMap active;
  EXPECT_GT(assemble_geometric_stiffness(f.sets, f.ctx(), f.options, u, active)->nonZeros(), 0);
  active[1] = false;
  EXPECT_EQ(assemble_geometric_stiffness(f.sets, f.ctx(), f.options, u, active)->nonZeros(), 0);
}

TEST(GeometricAssembly, ReleasedMembersAreCondensedWithTheirElasticStiffness) {
  // A compressed member with the twist released at its end and one with the bending rotation
  // released: both assemble, and elastic plus geometric equals the joint condensation.
  Frame f = column(1, 3.0);
  MemberHinge twist;
  twist.id = 7;
  twist.hinge_type = "h";
  twist.rotational_release_mx = 0.0;
  twist.rotational_release_mz = 0.0;
  f.hinges = std::vector<MemberHinge>{twist};
  f.sets[0].members[0].end_hinge = 7;
  f.sections[0].wagner_coeff.reset();
  const Eigen::VectorXd u = shortening(f, 1, 3.0, 5e4);
  const AssemblyContext ctx = f.ctx();
  const auto kg = assemble_geometric_stiffness(f.sets, ctx, f.options, u, ActiveMap{});
  ASSERT_TRUE(kg.has_value()) << kg.error();
  const Member& m = f.sets[0].members[0];
  const Mat14 k = *m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections);
  const Mat14 ke = *local_to_global_with_releases(m, k, ctx.member_hinges);
  const double n = m.calculate_axial_force_3d(u, ctx.materials, ctx.sections);
  EXPECT_NEAR(n, -5e4, 1e-6);
  MemberEndModes modes;
  modes.end_rotation[0] = AxisMode::released();
  modes.end_rotation[2] = AxisMode::released();
  const auto joint = *apply_end_releases_to_local_beam_k(Mat14(k + m.calculate_geometric_stiffness_matrix_3d(n, 0.0)), modes);
  const Eigen::MatrixXd sum = ke + sparse_to_dense_symmetric(*kg);
  EXPECT_LE((sum - joint).cwiseAbs().maxCoeff(), 1e-9 * joint.cwiseAbs().maxCoeff());
}

TEST(GeometricAssembly, SameMatrixOnEveryThreadCount) {
  // A frame of several hundred members, some hinged: the assembled values and their order are
  // the same with one thread and with all of them.
  Frame f;
  MemberHinge pin;
  pin.id = 1;
  pin.hinge_type = "pin";
  pin.rotational_release_mz = 0.0;
  f.hinges = std::vector<MemberHinge>{pin};
  std::uint32_t id = 0;
  const int nx = 12;
  auto node = [&](int i, int k) { return static_cast<std::uint32_t>(1 + i + nx * k); };
  for (int k = 0; k < 12; ++k) {
    for (int i = 0; i < nx; ++i) {
      if (i + 1 < nx) f.add(++id, node(i, k), Vec3(i, 0, k), node(i + 1, k), Vec3(i + 1, 0, k));
      Member& c = f.add(++id, node(i, k), Vec3(i, 0, k), node(i, k + 1), Vec3(i, 0.01 * i, k + 1));
      if (id % 5 == 0) c.end_hinge = 1;
    }
  }
  Eigen::VectorXd u = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(f.n()));
  for (Eigen::Index d = 0; d < u.size(); ++d) u(d) = 1e-4 * std::sin(0.37 * static_cast<double>(d));
  auto run = [&](int threads) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    auto kg = assemble_geometric_stiffness(f.sets, f.ctx(), f.options, u, ActiveMap{});
    EXPECT_TRUE(kg.has_value());
    return *kg;
  };
  const SparseMatrix one = run(1);
  ASSERT_GT(one.nonZeros(), 0);
  for (int threads : {tbb::info::default_concurrency(), 3}) {
    const SparseMatrix many = run(threads);
    ASSERT_EQ(many.nonZeros(), one.nonZeros());
    for (Eigen::Index i = 0; i < one.nonZeros(); ++i) {
      ASSERT_EQ(many.valuePtr()[i], one.valuePtr()[i]);
      ASSERT_EQ(many.innerIndexPtr()[i], one.innerIndexPtr()[i]);
    }
  }
}

TEST(GeometricAssembly, LowestMemberIndexFailureIsReported) {
  // Twist released at both ends is singular; members at positions 1 and 3 fail, with ids that
  // do not follow their positions.
  Frame f;
  MemberHinge free_twist;
  free_twist.id = 3;
  free_twist.hinge_type = "h";
  free_twist.rotational_release_mx = 0.0;
  f.hinges = std::vector<MemberHinge>{free_twist};
  const std::uint32_t ids[] = {5, 9, 2, 4, 1};
  for (std::uint32_t i = 0; i < 5; ++i) {
    Member& m = f.add(ids[i], i + 1, Vec3(i, 0, 0), i + 2, Vec3(i + 1.0, 0, 0));
    if (i == 1 || i == 3) {
      m.start_hinge = 3;
      m.end_hinge = 3;
    }
  }
  Eigen::VectorXd u = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(f.n()));
  for (int i = 0; i <= 5; ++i) u(7 * i) = -1e-4 * i;
  for (int run = 0; run < 20; ++run) {
    const auto kg = assemble_geometric_stiffness(f.sets, f.ctx(), f.options, u, ActiveMap{});
    ASSERT_FALSE(kg.has_value());
    EXPECT_TRUE(kg.error().ends_with("[member 9]")) << kg.error();
  }
  // A fatal fault at a lower position than the message wins, and vice versa.
  f.sets[0].members[0].member_type = MemberType::Truss;
  f.sets[0].members[0].section.reset();
  EXPECT_THROW(
      {
        try {
          (void)assemble_geometric_stiffness(f.sets, f.ctx(), f.options, u, ActiveMap{});
        } catch (const FatalFault& e) {
          EXPECT_EQ(std::string(e.what()), "Member 5 (Truss) missing section id required to compute axial force.");
          throw;
        }
      },
      FatalFault);
  f.sets[0].members[0].member_type = MemberType::Normal;
  f.sets[0].members[0].section = 1;
  f.sets[0].members[4].section = 77;  // position 4: fatal "Missing section data"
  const auto kg = assemble_geometric_stiffness(f.sets, f.ctx(), f.options, u, ActiveMap{});
  ASSERT_FALSE(kg.has_value());
  EXPECT_TRUE(kg.error().ends_with("[member 9]"));
}

}  // namespace
}  // namespace varn

namespace varn {
namespace {

TEST(GeometricAssemblyModel, OperatorOfAReleasedMemberIsItsJointCondensation) {
  // Through the model record: the operator at a displacement state adds the geometric
  // stiffness to the elastic one, and for a member with a released end the sum is the joint
  // condensation of K + K_G.
  VARN model;
  model.materials.push_back(testing_support::steel(1, 200e9, 77e9));
  model.sections.push_back(testing_support::section_with(1, 2e-3, 6e-6, 2e-6, 1e-7));
  MemberHinge pin;
  pin.id = 2;
  pin.hinge_type = "pin";
  pin.rotational_release_mz = 0.0;
  pin.rotational_release_mx = 0.0;
  model.memberhinges = std::vector<MemberHinge>{pin};
  MemberSet set;
  set.id = 1;
  Member m = testing_support::member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(0, 3, 4));
  m.end_hinge = 2;
  set.members.push_back(m);
  model.member_sets.push_back(set);

  Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
  const Vec3 axis = Vec3(0, 3, 4) / 5.0;
  u.segment<3>(7) = -1e-4 * axis;  // shortened: N = −E·A/L·1e-4 = −8e3
  const auto op = model.build_operator_with_supports_sparse_internal(ActiveMap{}, &u);
  ASSERT_TRUE(op.has_value()) << op.error();

  const AssemblyContext ctx = model.build_lookup_maps();
  const double n = m.calculate_axial_force_3d(u, ctx.materials, ctx.sections);
  EXPECT_NEAR(n, -8e3, 1e-6);
  const Mat14 k = *m.calculate_stiffness_matrix_3d(ctx.materials, ctx.sections);
  MemberEndModes modes;
  modes.end_rotation[0] = AxisMode::released();
  modes.end_rotation[2] = AxisMode::released();
  const Mat14 joint_local =
      *apply_end_releases_to_local_beam_k(Mat14(k + m.calculate_geometric_stiffness_matrix_3d(n, 0.0)), modes);
  const Mat14 t = m.calculate_transformation_matrix_3d();
  const Mat14 joint = t.transpose() * joint_local * t;
  const Eigen::MatrixXd dense = sparse_to_dense_symmetric(*op);
  EXPECT_LE((dense - joint).cwiseAbs().maxCoeff(), 1e-9 * joint.cwiseAbs().maxCoeff());

  // The method is the free assembly on the model's own lists.
  const auto kg = model.assemble_geometric_stiffness_matrix_sparse(u, ActiveMap{});
  ASSERT_TRUE(kg.has_value());
  const auto direct = assemble_geometric_stiffness(model.member_sets, ctx, model.settings.analysis_options, u, ActiveMap{});
  EXPECT_EQ(sparse_to_dense_symmetric(*kg), sparse_to_dense_symmetric(*direct));
  Mat14 ones = Mat14::Constant(1.0);
  VARN::suppress_kg_axes({"x"}, ones);
  EXPECT_EQ(ones.row(7).cwiseAbs().maxCoeff(), 0.0);
  EXPECT_EQ(ones(1, 1), 1.0);
}

}  // namespace
}  // namespace varn
