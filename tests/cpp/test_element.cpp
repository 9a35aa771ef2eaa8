// Elastic element stiffness against closed-form mechanics: Timoshenko cantilevers, St-Venant
// and Vlasov torsion, rigid-body motions, symmetry, transformations, the truss element and
// the axial force.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "element_test_support.h"
#include "fatal.h"
#include "functions/hinge_and_release_operations.h"
#include "models/members/element_kernels.h"

namespace varn {
namespace {

using namespace testing_support;

constexpr double kE = 210e9;
constexpr double kG = 81e9;
constexpr double kL = 3.0;
constexpr double kA = 5e-3;
constexpr double kIy = 8e-5;
constexpr double kIz = 3e-5;
constexpr double kJ = 2e-6;
constexpr double kAsy = 2e-3;  // paired with I_y: shear in the x-z plane
constexpr double kAsz = 3e-3;  // paired with I_z: shear in the x-y plane

Library shear_flexible_library() {
  Library lib;
  lib.materials.push_back(steel(1, kE, kG));
  Section s = section_with(1, kA, kIy, kIz, kJ);
  s.a_sy = kAsy;
  s.a_sz = kAsz;
  lib.sections.push_back(s);
  lib.rebuild();
  return lib;
}

// Displacements of the free end of a cantilever (start DOFs held) under an end load vector,
// solved on the local 7x7 end block.
Eigen::Matrix<double, 7, 1> cantilever_tip(const Mat14& k, const Eigen::Matrix<double, 7, 1>& load) {
  const Eigen::Matrix<double, 7, 7> kee = k.block<7, 7>(7, 7);
  return kee.fullPivLu().solve(load);
}

struct CantileverCase {
  const char* name;
  int load_dof;  // end DOF 0..6
  double load;
  std::vector<std::pair<int, double>> expected;  // (end DOF, closed-form displacement)
};

class Cantilever : public ::testing::TestWithParam<CantileverCase> {};

TEST_P(Cantilever, TipResponseIsTheClosedForm) {
  const auto& c = GetParam();
  const Library lib = shear_flexible_library();
  const Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0));
  const auto k = m.calculate_stiffness_matrix_3d(lib.material_map, lib.section_map);
  ASSERT_TRUE(k.has_value());
  Eigen::Matrix<double, 7, 1> f = Eigen::Matrix<double, 7, 1>::Zero();
  f(c.load_dof) = c.load;
  const auto u = cantilever_tip(*k, f);
  for (const auto& [dof, want] : c.expected) {
    EXPECT_NEAR(u(dof), want, 1e-9 * std::abs(want)) << c.name << " DOF " << dof;
  }
}

constexpr double kP = 10e3;
constexpr double kT = 2e3;

INSTANTIATE_TEST_SUITE_P(
    ShearFlexibleSection, Cantilever,
    ::testing::Values(
        // Load along local y bends about z: I_z with its shear area a_sz.
        CantileverCase{"load_y", 1, kP,
                       {{1, kP * kL * kL * kL / (3 * kE * kIz) + kP * kL / (kG * kAsz)},
                        {5, kP * kL * kL / (2 * kE * kIz)}}},
        // Load along local z bends about y: I_y with a_sy; the rotation about y is negative.
        CantileverCase{"load_z", 2, kP,
                       {{2, kP * kL * kL * kL / (3 * kE * kIy) + kP * kL / (kG * kAsy)},
                        {4, -kP * kL * kL / (2 * kE * kIy)}}},
        CantileverCase{"axial", 0, kP, {{0, kP * kL / (kE * kA)}}},
        CantileverCase{"torque_without_warping", 3, kT, {{3, kT * kL / (kG * kJ)}}},
        // An end moment about z: rotation M·L/(EI), deflection M·L²/(2EI), shear-free.
        CantileverCase{"moment_z", 5, kT,
                       {{5, kT * kL / (kE * kIz)}, {1, kT * kL * kL / (2 * kE * kIz)}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ElementStiffness, ShearAreaOfZeroMeansNoShearDeformation) {
  // A present shear area of 0 would make Φ infinite and the bending entries NaN; it is read
  // as "no shear deformation", exactly like an absent shear area.
  Library lib;
  lib.materials.push_back(steel(1, kE, kG));
  Section zero = section_with(1, kA, kIy, kIz, kJ);
  zero.a_sy = 0.0;
  zero.a_sz = 0.0;
  Section absent = section_with(2, kA, kIy, kIz, kJ);
  Section negative = section_with(3, kA, kIy, kIz, kJ);
  negative.a_sy = -1e-3;
  negative.a_sz = -1e-3;
  lib.sections = {zero, absent, negative};
  lib.rebuild();
  const Mat14 k_absent =
      *member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0), 2).calculate_stiffness_matrix_3d(lib.material_map, lib.section_map);
  for (std::uint32_t sid : {1u, 3u}) {
    const Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0), sid);
    const Mat14 k = *m.calculate_stiffness_matrix_3d(lib.material_map, lib.section_map);
    EXPECT_TRUE(k.allFinite()) << "section " << sid;
    EXPECT_EQ(k, k_absent) << "section " << sid;
  }
  // Euler-Bernoulli entries.
  EXPECT_NEAR(k_absent(5, 5), 4 * kE * kIz / kL, 1e-6);
  EXPECT_NEAR(k_absent(5, 12), 2 * kE * kIz / kL, 1e-6);
  EXPECT_NEAR(k_absent(4, 4), 4 * kE * kIy / kL, 1e-6);
  EXPECT_NEAR(k_absent(1, 1), 12 * kE * kIz / (kL * kL * kL), 1e-6);
  // A shear modulus of zero with a shear area present is not an infinitely soft shear beam.
  EXPECT_EQ(shear_deformation_parameter(kE, kIz, 0.0, kAsz, kL), 0.0);
}

TEST(ElementStiffness, WithoutWarpingConstantOnlyTheStabilisingTerm) {
  Library lib;
  lib.materials.push_back(steel(1, kE, kG));
  lib.sections.push_back(section_with(1, kA, kIy, kIz, kJ));
  lib.rebuild();
  const Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0));
  const Mat14 k = *m.calculate_stiffness_matrix_3d(lib.material_map, lib.section_map);
  const double stab = 1e-10 * kE * kA / kL;
  EXPECT_DOUBLE_EQ(k(6, 6), stab);
  EXPECT_DOUBLE_EQ(k(13, 13), stab);
  for (int r = 0; r < 14; ++r) {
    if (r != 6) {
      EXPECT_EQ(k(r, 6), 0.0) << r;
    }
    if (r != 13) {
      EXPECT_EQ(k(r, 13), 0.0) << r;
    }
  }
  EXPECT_DOUBLE_EQ(k(3, 3), kG * kJ / kL);
  EXPECT_DOUBLE_EQ(k(3, 10), -kG * kJ / kL);
}

// Vlasov torsion of a cantilever: warping held at the root, free at the tip, tip torque T:
// φ(L) = T/(GJ)·(L − tanh(λL)/λ), λ = √(GJ/(E·Iw)).
TEST(ElementStiffness, WarpingTorsionCantileverMatchesVlasov) {
  const double length = 6.0;
  const int n_el = 20;
  // A rolled I-section of about 300 mm depth.
  Library lib;
  lib.materials.push_back(steel(1, kE, kG));
  Section s = section_with(1, 1.49e-2, 2.517e-4, 8.56e-5, 1.85e-6);
  s.i_w = 1.688e-6;
  lib.sections.push_back(s);
  lib.rebuild();

  std::vector<std::pair<Member, Mat14>> elements;
  for (int i = 0; i < n_el; ++i) {
    const Member m = member_between(static_cast<std::uint32_t>(i + 1), static_cast<std::uint32_t>(i + 1),
                                    Vec3(length * i / n_el, 0, 0), static_cast<std::uint32_t>(i + 2),
                                    Vec3(length * (i + 1) / n_el, 0, 0));
    const Mat14 kl = *m.calculate_stiffness_matrix_3d(lib.material_map, lib.section_map);
    const Mat14 t = m.calculate_transformation_matrix_3d();
    elements.emplace_back(m, t.transpose() * kl * t);
  }
  const Eigen::MatrixXd k = assemble_dense(n_el + 1, elements);
  Eigen::VectorXd f = Eigen::VectorXd::Zero(k.rows());
  const double torque = 1e3;
  f(static_cast<Eigen::Index>(dof_index(n_el + 1, 3))) = torque;
  const Eigen::VectorXd u = solve_held(k, f, {0, 1, 2, 3, 4, 5, 6});

  const double gj = kG * s.j;
  const double lambda = std::sqrt(gj / (kE * *s.i_w));
  const double vlasov = torque / gj * (length - std::tanh(lambda * length) / lambda);
  const double tip = u(static_cast<Eigen::Index>(dof_index(n_el + 1, 3)));
  EXPECT_NEAR(tip, vlasov, 0.02 * vlasov);
  // Much stiffer than St-Venant torsion alone, which would twist by T·L/(GJ).
  EXPECT_LT(tip, 0.9 * torque * length / gj);
  // The warping DOF is the rate of twist: zero at the held root, T/(GJ)·(1 − 1/cosh(λL)) at the tip.
  const double rate = u(static_cast<Eigen::Index>(dof_index(n_el + 1, 6)));
  EXPECT_NEAR(rate, torque / gj * (1.0 - 1.0 / std::cosh(lambda * length)), 0.02 * torque / gj);
}

struct SectionVariant {
  const char* name;
  bool shear;
  double i_w;
  double y_s, z_s;
  double angle_deg;
  bool mirror;
};

const std::vector<SectionVariant> kVariants = {
    {"plain", false, 0.0, 0.0, 0.0, 0.0, false},
    {"shear_flexible", true, 0.0, 0.0, 0.0, 0.0, false},
    {"warping", true, 1e-6, 0.0, 0.0, 0.0, false},
    {"shear_centre_offset", true, 1e-6, 0.04, -0.07, 0.0, false},
    {"principal_axes", true, 1e-6, 0.0, 0.0, 23.0, false},
    {"offset_and_axes_mirrored", true, 1e-6, 0.04, -0.07, 23.0, true},
};

struct Variant {
  Library lib;
  Member member;
};

Variant variant_member(const SectionVariant& v, Vec3 start, Vec3 end, double roll) {
  Variant out;
  out.lib.materials.push_back(steel(1, kE, kG));
  Section s = section_with(1, kA, kIy, kIz, kJ);
  if (v.shear) {
    s.a_sy = kAsy;
    s.a_sz = kAsz;
  }
  if (v.i_w != 0.0) s.i_w = v.i_w;
  if (v.y_s != 0.0) s.y_s = v.y_s;
  if (v.z_s != 0.0) s.z_s = v.z_s;
  if (v.angle_deg != 0.0) s.principal_axis_angle = v.angle_deg;
  out.lib.sections.push_back(s);
  out.lib.rebuild();
  out.member = member_between(1, 1, start, 2, end, 1, roll);
  out.member.mirror = v.mirror;
  return out;
}

class SectionVariants : public ::testing::TestWithParam<SectionVariant> {};

TEST_P(SectionVariants, LocalStiffnessIsSymmetric) {
  const Variant v = variant_member(GetParam(), Vec3(0, 0, 0), Vec3(kL, 0, 0), 0.0);
  const Mat14 k = *v.member.calculate_stiffness_matrix_3d(v.lib.material_map, v.lib.section_map);
  EXPECT_LE((k - k.transpose()).cwiseAbs().maxCoeff(), 1e-9 * k.cwiseAbs().maxCoeff());
}

TEST_P(SectionVariants, RigidBodyMotionsOfAFreeElementCostNoForce) {
  // A skewed, rolled member in global axes: the six rigid motions produce zero end forces.
  const Vec3 s(1.0, -2.0, 0.5);
  const Vec3 e(3.5, 1.0, 2.0);
  const Variant v = variant_member(GetParam(), s, e, 0.6);
  const Mat14 kl = *v.member.calculate_stiffness_matrix_3d(v.lib.material_map, v.lib.section_map);
  const Mat14 t = v.member.calculate_transformation_matrix_3d();
  const Mat14 kg = t.transpose() * kl * t;
  const double scale = kg.cwiseAbs().maxCoeff() * (e - s).norm();
  for (const Vec14& mode : rigid_body_motions(s, e)) {
    const Vec14 f = kg * mode;
    EXPECT_LE(f.cwiseAbs().maxCoeff(), 1e-12 * scale) << mode.transpose();
  }
  // In local axes too (the local rigid motions of a member along its own x axis).
  const double l = (e - s).norm();
  for (const Vec14& mode : rigid_body_motions(Vec3::Zero(), Vec3(l, 0, 0))) {
    EXPECT_LE((kl * mode).cwiseAbs().maxCoeff(), 1e-12 * kl.cwiseAbs().maxCoeff() * l);
  }
}

TEST_P(SectionVariants, ReleaseFreeGlobalMatrixIsTheCongruenceTransform) {
  const Vec3 s(0.0, 0.0, 0.0);
  const Vec3 e(2.0, 2.0, 1.0);
  const Variant v = variant_member(GetParam(), s, e, 0.3);
  const Mat14 kl = *v.member.calculate_stiffness_matrix_3d(v.lib.material_map, v.lib.section_map);
  const Mat14 t = v.member.calculate_transformation_matrix_3d();
  const MemberHingeMap no_hinges;
  const auto kg = local_to_global_with_releases(v.member, kl, no_hinges);
  ASSERT_TRUE(kg.has_value()) << kg.error();
  EXPECT_LE((*kg - t.transpose() * kl * t).cwiseAbs().maxCoeff(), 1e-12 * kl.cwiseAbs().maxCoeff());
  // Energy is invariant: uᵀ K_global u = (T u)ᵀ K_local (T u).
  Vec14 u;
  for (int i = 0; i < 14; ++i) u(i) = std::sin(1.0 + i) * 1e-3;
  const Vec14 ul = t * u;
  EXPECT_NEAR(u.dot(*kg * u), ul.dot(kl * ul), 1e-9 * std::abs(ul.dot(kl * ul)));
}

INSTANTIATE_TEST_SUITE_P(Sections, SectionVariants, ::testing::ValuesIn(kVariants),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ElementStiffness, MirroredMemberUsesTheReflectedShearCentre) {
  Section s = section_with(1, kA, kIy, kIz, kJ);
  s.y_s = 0.1;
  s.principal_axis_angle = 12.0;
  Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0));
  m.mirror = true;
  EXPECT_EQ(m.effective_shear_center(s), std::make_pair(-0.1, 0.0));
  EXPECT_EQ(m.effective_principal_axis_angle(s), -12.0);
  m.mirror = false;
  EXPECT_EQ(m.effective_shear_center(s), std::make_pair(0.1, 0.0));
  EXPECT_EQ(m.effective_principal_axis_angle(s), 12.0);
}

TEST(ElementStiffness, ShearCentreOffsetCouplesTwistAndTransverseLoad) {
  // A transverse force through the centroid of a section whose shear centre is offset by z_s
  // along local z twists the member: the cantilever's tip twist is P·z_s·L/(GJ).
  BeamProperties p;
  p.e_mod = kE;
  p.g_mod = kG;
  p.area = kA;
  p.i_y = kIy;
  p.i_z = kIz;
  p.j = kJ;
  p.z_s = 0.05;
  const Mat14 k = local_beam_stiffness(p, kL);
  Eigen::Matrix<double, 7, 1> f = Eigen::Matrix<double, 7, 1>::Zero();
  f(1) = kP;
  const auto u = cantilever_tip(k, f);
  EXPECT_NEAR(std::abs(u(3)), kP * 0.05 * kL / (kG * kJ), 1e-9 * kP * 0.05 * kL / (kG * kJ));
}

TEST(ElementStiffness, PrincipalAxisAngleOfNinetyDegreesSwapsTheBendingPlanes) {
  BeamProperties p;
  p.e_mod = kE;
  p.g_mod = kG;
  p.area = kA;
  p.i_y = kIy;
  p.i_z = kIz;
  p.j = kJ;
  p.principal_axis_deg = 90.0;
  const Mat14 k = local_beam_stiffness(p, kL);
  // Bending along local y is now governed by I_y, along local z by I_z.
  EXPECT_NEAR(k(1, 1), 12 * kE * kIy / (kL * kL * kL), 1e-6 * k(1, 1));
  EXPECT_NEAR(k(2, 2), 12 * kE * kIz / (kL * kL * kL), 1e-6 * k(2, 2));
  EXPECT_NEAR(k(5, 5), 4 * kE * kIy / kL, 1e-6 * k(5, 5));
  EXPECT_NEAR(k(4, 4), 4 * kE * kIz / kL, 1e-6 * k(4, 4));
  EXPECT_NEAR(std::abs(k(1, 5)), 6 * kE * kIy / (kL * kL), 1e-6 * std::abs(k(1, 5)));
  // A tiny angle is no rotation at all.
  p.principal_axis_deg = 1e-13;
  BeamProperties q = p;
  q.principal_axis_deg = 0.0;
  EXPECT_EQ(local_beam_stiffness(p, kL), local_beam_stiffness(q, kL));
}

TEST(ElementStiffness, MissingSectionOrMaterialGivesNoMatrix) {
  Library lib;
  lib.materials.push_back(steel(1));
  lib.sections.push_back(section_with(1, kA, kIy, kIz, kJ));
  lib.sections.push_back(section_with(2, kA, kIy, kIz, kJ, 9));  // material 9 does not exist
  lib.rebuild();
  const Member unknown_section = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0), 5);
  const Member unknown_material = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0), 2);
  EXPECT_FALSE(unknown_section.calculate_stiffness_matrix_3d(lib.material_map, lib.section_map));
  EXPECT_FALSE(unknown_material.calculate_stiffness_matrix_3d(lib.material_map, lib.section_map));
  EXPECT_FALSE(unknown_section.calculate_truss_stiffness_matrix_3d(lib.material_map, lib.section_map));
  EXPECT_FALSE(unknown_material.calculate_truss_stiffness_matrix_3d(lib.material_map, lib.section_map));
}

template <class F>
std::string fatal_text(F&& f) {
  try {
    f();
  } catch (const FatalFault& e) {
    return e.what();
  }
  return "<no fault>";
}

TEST(ElementStiffness, MemberWithoutSectionIdIsAFatalFault) {
  const Library lib = shear_flexible_library();
  Member m = member_between(7, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0), std::nullopt);
  m.member_type = MemberType::Truss;
  const std::string want = "Member 7 (Truss) missing section id required to compute axial force.";
  const Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
  EXPECT_EQ(fatal_text([&] { (void)m.calculate_stiffness_matrix_3d(lib.material_map, lib.section_map); }), want);
  EXPECT_EQ(fatal_text([&] { (void)m.calculate_truss_stiffness_matrix_3d(lib.material_map, lib.section_map); }), want);
  EXPECT_EQ(fatal_text([&] { (void)m.calculate_axial_force_3d(u, lib.material_map, lib.section_map); }), want);
  m.member_type = MemberType::Normal;
  EXPECT_EQ(fatal_text([&] { (void)m.calculate_axial_force_3d(u, lib.material_map, lib.section_map); }),
            "Member 7 (Normal) missing section id required to compute axial force.");
}

TEST(AxialForce, MissingSectionOrMaterialIsAFatalFault) {
  Library lib;
  lib.materials.push_back(steel(1));
  lib.sections.push_back(section_with(2, kA, kIy, kIz, kJ, 9));
  lib.rebuild();
  const Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
  const Member a = member_between(7, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0), 99);
  EXPECT_EQ(fatal_text([&] { (void)a.calculate_axial_force_3d(u, lib.material_map, lib.section_map); }),
            "Missing section data: member_id=7, section_id=99");
  const Member b = member_between(8, 1, Vec3(0, 0, 0), 2, Vec3(kL, 0, 0), 2);
  EXPECT_EQ(fatal_text([&] { (void)b.calculate_axial_force_3d(u, lib.material_map, lib.section_map); }),
            "Missing material for section: member_id=8, section_id=2, material_id=9");
}

TEST(AxialForce, StretchedMemberCarriesEAOverLTimesTheElongation) {
  // L0 = 2 m, E·A = 2e8 N, stretched by 1 mm along a skewed axis: N = 1e5 N.
  Library lib;
  lib.materials.push_back(steel(1, 2e11, 8e10));
  lib.sections.push_back(section_with(1, 1e-3, 1e-6, 1e-6, 1e-6));
  lib.rebuild();
  const Vec3 dir = Vec3(1.0, 2.0, -2.0) / 3.0;
  const Member m = member_between(1, 2, Vec3(1, 1, 1), 3, Vec3(1, 1, 1) + 2.0 * dir);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(21);
  // Node 2 moves by an arbitrary transverse amount, node 3 by that plus 1 mm along the axis.
  const Vec3 drift(0.004, -0.001, 0.0025);
  u.segment<3>(7) = drift;
  u.segment<3>(14) = drift + 0.001 * dir;
  u(10) = 0.01;  // rotations do not stretch the chord
  const auto [n, e] = m.calculate_axial_force_3d_impl(u, lib.material_map, lib.section_map, false);
  EXPECT_NEAR(e, 0.001, 1e-15);
  EXPECT_NEAR(n, 1e5, 1e-6);
  EXPECT_DOUBLE_EQ(m.calculate_axial_force_3d(u, lib.material_map, lib.section_map), n);
  // Shortening is compression.
  u.segment<3>(14) = drift - 0.0005 * dir;
  EXPECT_NEAR(m.calculate_axial_force_3d(u, lib.material_map, lib.section_map), -5e4, 1e-6);
}

TEST(AxialForce, DeformedAxisFollowsTheDisplacedEnds) {
  // A member along X whose end drops by as much as its length turns by 45 degrees: measured
  // along the deformed axis, the end's drop counts as elongation with the undeformed length.
  Library lib;
  lib.materials.push_back(steel(1, 2e11, 8e10));
  lib.sections.push_back(section_with(1, 1e-3, 1e-6, 1e-6, 1e-6));
  lib.rebuild();
  const Member m = member_between(1, 1, Vec3(0, 0, 0), 2, Vec3(1, 0, 0));
  Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
  u(8) = -1.0;  // end node uy: deformed axis (1, -1)/√2
  const auto [n0, e0] = m.calculate_axial_force_3d_impl(u, lib.material_map, lib.section_map, false);
  EXPECT_EQ(e0, 0.0);
  EXPECT_EQ(n0, 0.0);
  const auto [n1, e1] = m.calculate_axial_force_3d_impl(u, lib.material_map, lib.section_map, true);
  EXPECT_NEAR(e1, 1.0 / std::sqrt(2.0), 1e-12);
  EXPECT_NEAR(n1, 2e8 * e1, 1e-3);
}

TEST(AxialForce, VectorTooShortIsAnIndexFault) {
  const Library lib = shear_flexible_library();
  const Member m = member_between(1, 1, Vec3(0, 0, 0), 3, Vec3(kL, 0, 0));
  const Eigen::VectorXd u = Eigen::VectorXd::Zero(14);
  EXPECT_THROW((void)m.calculate_axial_force_3d(u, lib.material_map, lib.section_map), FatalFault);
}

TEST(TrussStiffness, GlobalMatrixIsEAOverLTimesDirectionProducts) {
  Library lib;
  lib.materials.push_back(steel(1, kE, kG));
  lib.sections.push_back(section_with(1, kA, kIy, kIz, kJ));
  lib.rebuild();
  const Vec3 s(0.5, 1.0, -1.0);
  const Vec3 d(2.0, -1.0, 2.0);  // length 3
  const Member m = member_between(1, 1, s, 2, s + d);
  const Mat14 k = *m.calculate_truss_stiffness_matrix_3d(lib.material_map, lib.section_map);
  const double ea_l = kE * kA / 3.0;
  const Vec3 c = d / 3.0;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      // Translational blocks; the 1e-10 diagonals rotate with R as an isotropic term.
      const double iso = (i == j ? 1e-10 * ea_l : 0.0);
      EXPECT_NEAR(k(i, j), ea_l * c(i) * c(j) * (1 - 1e-10) + iso, 1e-6 * ea_l);
      EXPECT_NEAR(k(i, 7 + j), -ea_l * c(i) * c(j), 1e-6 * ea_l);
      EXPECT_NEAR(k(7 + i, 7 + j), k(i, j), 1e-6 * ea_l);
      // Rotational block: only the small stabilising stiffness, isotropic.
      EXPECT_NEAR(k(3 + i, 3 + j), iso, 1e-12 * ea_l);
    }
  }
  EXPECT_NEAR(k(6, 6), 1e-10 * ea_l, 1e-22 * ea_l);
  EXPECT_NEAR(k(13, 13), 1e-10 * ea_l, 1e-22 * ea_l);
  // Stretching along the axis: end force E·A/L·δ along the axis.
  Vec14 u = Vec14::Zero();
  u.segment<3>(7) = 1e-3 * c;
  const Vec14 f = k * u;
  EXPECT_NEAR((f.segment<3>(7) - ea_l * 1e-3 * c).norm(), 0.0, 1e-6 * ea_l * 1e-3);
  // The stabilising term across the bar acts between its ends: a rigid translation strains
  // nothing (round-off of entries of size E·A/L cancelling, a few ulps), and moving one end
  // across the bar pulls the other end along with an equal and opposite force.
  Vec14 transverse = Vec14::Zero();
  const Vec3 across = Vec3(1.0, 2.0, 0.0) / std::sqrt(5.0);  // perpendicular to d
  for (int a = 0; a < 3; ++a) {
    Vec14 t = Vec14::Zero();
    t(a) = 1.0;
    t(7 + a) = 1.0;
    EXPECT_LE((k * t).cwiseAbs().maxCoeff(), 1e-14 * ea_l);
    transverse(7 + a) = across(a);
  }
  // The axial entries of size E·A/L meet a direction perpendicular to the axis up to its
  // rounding: 1e-14·E·A/L, a ten-thousandth of the stabilising force.
  const Vec14 pull = k * transverse;
  EXPECT_NEAR((pull.segment<3>(7) - 1e-10 * ea_l * across).norm(), 0.0, 1e-14 * ea_l);
  EXPECT_NEAR((pull.segment<3>(0) + pull.segment<3>(7)).norm(), 0.0, 1e-14 * ea_l);
}

TEST(TrussStiffness, CoincidentEndsGiveNoMatrix) {
  const Library lib = shear_flexible_library();
  const Member m = member_between(1, 1, Vec3(1, 1, 1), 2, Vec3(1, 1, 1));
  EXPECT_FALSE(m.calculate_truss_stiffness_matrix_3d(lib.material_map, lib.section_map));
  // Ends closer than 1e-12 but not coincident reach the frame's fatal fault.
  const Member n = member_between(1, 1, Vec3(1, 1, 1), 2, Vec3(1 + 1e-13, 1, 1));
  EXPECT_EQ(fatal_text([&] { (void)n.calculate_truss_stiffness_matrix_3d(lib.material_map, lib.section_map); }),
            "Start and end nodes are the same or too close to define a direction.");
}

}  // namespace
}  // namespace varn
