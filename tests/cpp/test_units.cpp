// Unit settings and their SI factors, the conversion of a working model to SI and the
// conversion of computed results back to the model's units.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "model_compare.h"
#include "models/varn/varn.h"

namespace varn {
namespace {

using testing::differences;
using testing::read_fixture;

VARN load(const char* name) {
  auto r = VARN::from_json(read_fixture(name));
  if (!r.ok()) ADD_FAILURE() << name << ": " << r.error.to_string();
  return r.ok() ? *r.value : VARN{};
}

// ---------------------------------------------------------------------------------------------
// Unit settings: every spelling, its factor and its written form

TEST(UnitSettings, EverySpellingGivesItsTableFactor) {
  struct Row {
    std::string input;
    double length, force, density, pressure;
    std::string written;
  };
  const std::string metric = R"({"system":"metric",)";
  const std::vector<Row> table = {
      {"{}", 1.0, 1.0, 1.0, 1.0, metric + R"("lengthUnit":"m","forceUnit":"N","densityUnit":"kg/m3","pressureUnit":"Pa"})"},
      {R"({"lengthUnit":"mm","forceUnit":"N","densityUnit":"kg/m3","pressureUnit":"Pa"})", 0.001, 1.0, 1.0, 1.0,
       metric + R"("lengthUnit":"mm","forceUnit":"N","densityUnit":"kg/m3","pressureUnit":"Pa"})"},
      {R"({"lengthUnit":"cm","forceUnit":"n","pressureUnit":"pa"})", 0.01, 1.0, 1.0, 1.0,
       metric + R"("lengthUnit":"cm","forceUnit":"N","densityUnit":"kg/m3","pressureUnit":"Pa"})"},
      {R"({"system":"SI","lengthUnit":"m","forceUnit":"kN","densityUnit":"kg/mm3","pressureUnit":"kPa"})", 1.0, 1000.0,
       1e9, 1e3, R"({"system":"SI","lengthUnit":"m","forceUnit":"kN","densityUnit":"kg/mm3","pressureUnit":"kPa"})"},
      {R"({"forceUnit":"kn","pressureUnit":"kpa"})", 1.0, 1000.0, 1.0, 1e3,
       metric + R"("lengthUnit":"m","forceUnit":"kN","densityUnit":"kg/m3","pressureUnit":"kPa"})"},
      {R"({"pressureUnit":"MPa"})", 1.0, 1.0, 1.0, 1e6,
       metric + R"("lengthUnit":"m","forceUnit":"N","densityUnit":"kg/m3","pressureUnit":"MPa"})"},
      {R"({"pressureUnit":"mpa"})", 1.0, 1.0, 1.0, 1e6,
       metric + R"("lengthUnit":"m","forceUnit":"N","densityUnit":"kg/m3","pressureUnit":"MPa"})"},
      {R"({"pressureUnit":"GPa","densityUnit":{"kg/mm3":null}})", 1.0, 1.0, 1e9, 1e9,
       metric + R"("lengthUnit":"m","forceUnit":"N","densityUnit":"kg/mm3","pressureUnit":"GPa"})"},
      {R"({"pressureUnit":"gpa","lengthUnit":{"mm":null}})", 0.001, 1.0, 1.0, 1e9,
       metric + R"("lengthUnit":"mm","forceUnit":"N","densityUnit":"kg/m3","pressureUnit":"GPa"})"},
      {R"(["metric","cm","kN","kg/m3","MPa"])", 0.01, 1000.0, 1.0, 1e6,
       metric + R"("lengthUnit":"cm","forceUnit":"kN","densityUnit":"kg/m3","pressureUnit":"MPa"})"},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.input);
    auto r = json::parse<UnitSettings>(row.input);
    ASSERT_TRUE(r.ok()) << r.error.to_string();
    const UnitSettings& u = *r.value;
    // Table values, not computed ones: compared exactly.
    EXPECT_EQ(u.length_to_m(), row.length);
    EXPECT_EQ(u.force_to_n(), row.force);
    EXPECT_EQ(u.density_to_kg_per_m3(), row.density);
    EXPECT_EQ(u.pressure_to_pa(), row.pressure);
    EXPECT_EQ(json::to_json(u), row.written);

    VARN m;
    m.settings.unit_settings = u;
    const UnitFactors f = m.unit_factors();
    EXPECT_EQ(f.length, row.length);
    EXPECT_EQ(f.force, row.force);
    EXPECT_EQ(f.pressure, row.pressure);
  }
}

TEST(UnitSettings, EnumerationFactors) {
  EXPECT_EQ(to_m(LengthUnit::Mm), 0.001);
  EXPECT_EQ(to_m(LengthUnit::Cm), 0.01);
  EXPECT_EQ(to_m(LengthUnit::M), 1.0);
  EXPECT_EQ(to_n(ForceUnit::N), 1.0);
  EXPECT_EQ(to_n(ForceUnit::KN), 1000.0);
  EXPECT_EQ(to_kg_per_m3(DensityUnit::KgPerM3), 1.0);
  EXPECT_EQ(to_kg_per_m3(DensityUnit::KgPerMm3), 1e9);
  EXPECT_EQ(to_pa(PressureUnit::Pa), 1.0);
  EXPECT_EQ(to_pa(PressureUnit::KPa), 1e3);
  EXPECT_EQ(to_pa(PressureUnit::MPa), 1e6);
  EXPECT_EQ(to_pa(PressureUnit::GPa), 1e9);
}

// ---------------------------------------------------------------------------------------------
// Normalisation of a working model

// The keys that are carried through without conversion although they hold lengths.
const std::set<std::string> kCarriedLengths = {"h", "b", "centroid_y", "centroid_z", "l_y", "l_z"};

TEST(NormalizeUnits, MillimetreKilonewtonModelGivesTheSameSiModelAsTheMetreNewtonOne) {
  VARN si = load("model_full_m_n.json");
  VARN mm = load("model_full_mm_kn.json");
  const VARN mm_as_read = mm.clone();
  si.normalize_units();
  mm.normalize_units();

  std::set<std::string> skip = kCarriedLengths;
  skip.insert("unit_settings");
  skip.insert("results");
  const auto diff = differences(si, mm, 1e-12, skip);
  EXPECT_TRUE(diff.empty()) << ::testing::PrintToString(diff);

  // The unit settings keep naming the input's units; results and the carried-through
  // lengths are left exactly as read.
  EXPECT_EQ(json::to_json(mm.settings.unit_settings), json::to_json(mm_as_read.settings.unit_settings));
  EXPECT_EQ(json::to_json(mm.results), json::to_json(mm_as_read.results));
  for (std::size_t k = 0; k < mm.sections.size(); ++k) {
    EXPECT_EQ(mm.sections[k].h, mm_as_read.sections[k].h);
    EXPECT_EQ(mm.sections[k].b, mm_as_read.sections[k].b);
    EXPECT_EQ(mm.sections[k].centroid_y, mm_as_read.sections[k].centroid_y);
  }
  for (std::size_t k = 0; k < mm.member_sets.size(); ++k) EXPECT_EQ(mm.member_sets[k].l_y, mm_as_read.member_sets[k].l_y);
}

TEST(NormalizeUnits, MetreNewtonModelChangesOnlyInRotationAnglesAndSwitchedOffConstants) {
  const VARN raw = load("model_full_m_n.json");
  VARN si = raw.clone();
  si.normalize_units();
  // The fixture switches warping off; three members are rolled.
  EXPECT_EQ(differences(raw, si, 0.0),
            (std::vector<std::string>{".member_sets[0].members[0].rotation_angle",
                                      ".member_sets[0].members[2].rotation_angle",
                                      ".member_sets[1].members[1].rotation_angle", ".sections[0].i_w"}));
  EXPECT_DOUBLE_EQ(si.member_sets[0].members[0].rotation_angle, M_PI / 2);
  EXPECT_DOUBLE_EQ(si.member_sets[0].members[2].rotation_angle, -M_PI / 2);
  EXPECT_DOUBLE_EQ(si.member_sets[1].members[1].rotation_angle, M_PI);
  // The principal-axis angle stays in degrees.
  EXPECT_EQ(si.sections[1].principal_axis_angle, 2.5);
}

// Every conversion rule, on the metre/newton fixture re-labelled as mm, kN, kg/mm3 and MPa:
// each value must come out as the value read times the factor of its dimension.
TEST(NormalizeUnits, EveryQuantityIsScaledByTheFactorOfItsDimension) {
  VARN raw = load("model_full_m_n.json");
  raw.settings.unit_settings.length_unit = LengthUnit::Mm;
  raw.settings.unit_settings.force_unit = ForceUnit::KN;
  raw.settings.unit_settings.density_unit = DensityUnit::KgPerMm3;
  raw.settings.unit_settings.pressure_unit = PressureUnit::MPa;
  raw.settings.analysis_options.include_warping = true;
  VARN si = raw.clone();
  si.normalize_units();

  const double L = 1e-3, F = 1e3, P = 1e6, D = 1e9;
  using Get = double (*)(const VARN&);
  struct Rule {
    const char* what;
    Get get;
    double factor;
  };
  const std::vector<Rule> rules = {
      {"node X", [](const VARN& m) { return m.member_sets[0].members[1].end_node.X; }, L},
      {"node Z of a start node", [](const VARN& m) { return m.member_sets[1].members[0].start_node.Z; }, L},
      {"rotation angle", [](const VARN& m) { return m.member_sets[0].members[0].rotation_angle; }, M_PI / 180},
      {"member weight", [](const VARN& m) { return m.member_sets[0].members[0].weight; }, 1.0},
      {"member chi", [](const VARN& m) { return *m.member_sets[0].members[0].chi; }, 1.0},
      {"member-set l_y", [](const VARN& m) { return *m.member_sets[0].l_y; }, 1.0},
      {"shape radius", [](const VARN& m) { return *(*m.shape_paths)[0].shape_commands[2].r; }, L},
      {"shape control point", [](const VARN& m) { return *(*m.shape_paths)[0].shape_commands[3].control_z2; }, L},
      {"area", [](const VARN& m) { return m.sections[0].area; }, L * L},
      {"i_y", [](const VARN& m) { return m.sections[0].i_y; }, L * L * L * L},
      {"i_z", [](const VARN& m) { return m.sections[0].i_z; }, L * L * L * L},
      {"torsion constant", [](const VARN& m) { return m.sections[0].j; }, L * L * L * L},
      {"warping constant", [](const VARN& m) { return *m.sections[0].i_w; }, L * L * L * L * L * L},
      {"shear-centre offset", [](const VARN& m) { return *m.sections[0].z_s; }, L},
      {"shear area y", [](const VARN& m) { return *m.sections[0].a_sy; }, L * L},
      {"shear area z", [](const VARN& m) { return *m.sections[1].a_sz; }, L * L},
      {"section height", [](const VARN& m) { return *m.sections[0].h; }, 1.0},
      {"centroid", [](const VARN& m) { return *m.sections[0].centroid_z; }, 1.0},
      {"Wagner coefficient", [](const VARN& m) { return *m.sections[0].wagner_coeff; }, 1.0},
      {"principal-axis angle", [](const VARN& m) { return *m.sections[1].principal_axis_angle; }, 1.0},
      {"Young's modulus", [](const VARN& m) { return m.materials[0].e_mod; }, P},
      {"shear modulus", [](const VARN& m) { return m.materials[1].g_mod; }, P},
      {"yield stress", [](const VARN& m) { return m.materials[0].yield_stress; }, P},
      {"density", [](const VARN& m) { return m.materials[1].density; }, D},
      {"translational support spring",
       [](const VARN& m) { return *m.nodal_supports[1].displacement_conditions.at("X").stiffness; }, F / L},
      {"support curve value (force)",
       [](const VARN& m) { return m.nodal_supports[1].displacement_conditions.at("Z").stiffness_curve->points[1].value; },
       F},
      {"support curve stiffness on a translation",
       [](const VARN& m) {
         return m.nodal_supports[1].displacement_conditions.at("Z").stiffness_curve->points[1].stiffness;
       },
       F / L},
      {"rotational support spring",
       [](const VARN& m) { return *m.nodal_supports[1].rotation_conditions.at("Y").stiffness; }, F * L},
      // A bimoment (F·L²) per unit rate of twist (1/L).
      {"warping support spring", [](const VARN& m) { return *m.nodal_supports[1].warping_condition->stiffness; },
       F * L * L * L},
      {"support curve value (moment)",
       [](const VARN& m) { return m.nodal_supports[2].rotation_conditions.at("X").stiffness_curve->points[1].value; },
       F * L},
      {"support curve stiffness on a rotation",
       [](const VARN& m) { return m.nodal_supports[2].rotation_conditions.at("X").stiffness_curve->points[0].stiffness; },
       F * L},
      {"nodal load", [](const VARN& m) { return m.load_cases[0].nodal_loads[0].magnitude; }, F},
      {"nodal moment", [](const VARN& m) { return m.load_cases[0].nodal_moments[0].magnitude; }, F * L},
      {"line load at the start", [](const VARN& m) { return m.load_cases[1].distributed_loads[0].magnitude; }, F / L},
      {"line load at the end", [](const VARN& m) { return m.load_cases[1].distributed_loads[0].end_magnitude; }, F / L},
      {"load direction", [](const VARN& m) { return m.load_cases[0].nodal_loads[0].direction[2]; }, 1.0},
      {"load start fraction", [](const VARN& m) { return m.load_cases[1].distributed_loads[0].start_frac; }, 1.0},
      {"imperfection of a load case",
       [](const VARN& m) { return m.load_cases[1].translation_imperfections[0].magnitude; }, 1.0},
      {"imperfection case", [](const VARN& m) { return m.imperfection_cases[0].rotation_imperfections[0].magnitude; },
       1.0},
      {"combination factor", [](const VARN& m) { return *m.load_combinations[0].load_cases_factors.find(2); }, 1.0},
      {"hinge translational spring", [](const VARN& m) { return *(*m.memberhinges)[0].translational_release_vx; },
       F / L},
      {"hinge rotational spring", [](const VARN& m) { return *(*m.memberhinges)[0].rotational_release_mz; }, F * L},
      {"hinge tension limit", [](const VARN& m) { return *(*m.memberhinges)[0].max_tension_vx; }, F},
      {"hinge moment limit", [](const VARN& m) { return *(*m.memberhinges)[1].max_moment_mx; }, F * L},
      {"hinge bimoment limit", [](const VARN& m) { return *(*m.memberhinges)[0].max_bimoment_warp; }, F * L * L},
      {"bare hinge curve value (Vz)",
       [](const VARN& m) { return (*m.memberhinges)[0].stiffness_curve_vx->points[1].value; }, F},
      {"hinge curve stiffness on a translation",
       [](const VARN& m) { return (*m.memberhinges)[0].stiffness_curve_vx->points[1].stiffness; }, F / L},
      {"hinge curve value (Mz)", [](const VARN& m) { return (*m.memberhinges)[0].stiffness_curve_mz->points[1].value; },
       F * L},
      {"hinge curve stiffness on a rotation",
       [](const VARN& m) { return (*m.memberhinges)[0].stiffness_curve_mz->points[1].stiffness; }, F * L},
      {"hinge curve value (Vy)", [](const VARN& m) { return (*m.memberhinges)[1].stiffness_curve_vy->points[1].value; },
       F},
      {"axial slack", [](const VARN& m) { return m.settings.analysis_options.axial_slack; }, 1.0},
      {"tolerance", [](const VARN& m) { return m.settings.analysis_options.tolerance; }, 1.0},
      {"stored result", [](const VARN& m) { return m.results->loadcases.at("Wind").displacement_nodes.at(4).dx; }, 1.0},
  };
  for (const auto& rule : rules) {
    const double before = rule.get(raw);
    ASSERT_NE(before, 0.0) << rule.what << ": pick a non-zero value";
    EXPECT_NEAR(rule.get(si), before * rule.factor, 1e-14 * std::abs(before * rule.factor)) << rule.what;
  }
}

TEST(NormalizeUnits, KilonewtonsInMetresConvertSpringsButNotGeometry) {
  VARN raw = load("model_full_m_n.json");
  raw.settings.unit_settings.force_unit = ForceUnit::KN;
  VARN si = raw.clone();
  si.normalize_units();
  EXPECT_EQ(*si.nodal_supports[1].displacement_conditions.at("X").stiffness, 5e7 * 1000);
  EXPECT_EQ(*si.nodal_supports[1].rotation_conditions.at("Y").stiffness, 1e6 * 1000);
  EXPECT_EQ(*si.nodal_supports[1].warping_condition->stiffness, 10.0 * 1000);
  EXPECT_EQ(si.sections[0].area, raw.sections[0].area);
  EXPECT_EQ(si.sections[0].i_y, raw.sections[0].i_y);
  EXPECT_EQ(si.member_sets[0].members[1].end_node.Z, raw.member_sets[0].members[1].end_node.Z);
  EXPECT_EQ(si.materials[0].e_mod, raw.materials[0].e_mod);
  EXPECT_EQ((*si.shape_paths)[0].shape_commands[0].y, (*raw.shape_paths)[0].shape_commands[0].y);
}

TEST(NormalizeUnits, MomentCurveOnARotationInKilonewtonMillimetresIsUnchanged) {
  // kN·mm is N·m: both the curve's moment values and its rotational stiffnesses stay.
  auto r = json::parse<NodalSupport>(
      R"({"id":1,"displacement_conditions":{},"rotation_conditions":{"Z":{"condition_type":"Spring","stiffness_curve":{"depends_on":"Mz","points":[[2,300],[40,100]]}}}})");
  ASSERT_TRUE(r.ok()) << r.error.to_string();
  VARN m;
  m.nodal_supports.push_back(*r.value);
  m.settings.unit_settings.length_unit = LengthUnit::Mm;
  m.settings.unit_settings.force_unit = ForceUnit::KN;
  m.normalize_units();
  const auto& points = m.nodal_supports[0].rotation_conditions.at("Z").stiffness_curve->points;
  EXPECT_DOUBLE_EQ(points[0].value, 2.0);
  EXPECT_DOUBLE_EQ(points[0].stiffness, 300.0);
  EXPECT_DOUBLE_EQ(points[1].value, 40.0);
  EXPECT_DOUBLE_EQ(points[1].stiffness, 100.0);
}

TEST(NormalizeUnits, IncludeSwitchesStripSectionConstants) {
  struct Row {
    bool shear, warping, centre;
    bool has_shear_areas, has_warping, has_offsets;
  };
  const std::vector<Row> rows = {
      {true, true, true, true, true, true},
      {false, true, true, false, true, true},
      {true, false, true, true, false, true},
      {true, true, false, true, true, false},
      {false, false, false, false, false, false},
  };
  const VARN raw = load("model_full_m_n.json");
  for (const auto& row : rows) {
    VARN m = raw.clone();
    m.settings.analysis_options.include_shear_deformation = row.shear;
    m.settings.analysis_options.include_warping = row.warping;
    m.settings.analysis_options.include_shear_center_coupling = row.centre;
    m.normalize_units();
    const Section& s = m.sections[0];
    SCOPED_TRACE(::testing::Message() << row.shear << row.warping << row.centre);
    EXPECT_EQ(s.a_sy.has_value(), row.has_shear_areas);
    EXPECT_EQ(s.a_sz.has_value(), row.has_shear_areas);
    EXPECT_EQ(s.i_w.has_value(), row.has_warping);
    EXPECT_EQ(s.y_s.has_value(), row.has_offsets);
    EXPECT_EQ(s.z_s.has_value(), row.has_offsets);
    // The second section's shear areas follow the same switch; its absent constants stay absent.
    EXPECT_EQ(m.sections[1].a_sy.has_value(), row.has_shear_areas);
    EXPECT_FALSE(m.sections[1].i_w.has_value());
  }
}

TEST(NormalizeUnits, NonFiniteValuesStayNonFinite) {
  VARN m = load("model_full_m_n.json");
  m.settings.unit_settings.length_unit = LengthUnit::Mm;
  m.sections[0].area = std::numeric_limits<double>::quiet_NaN();
  m.load_cases[0].nodal_loads[0].magnitude = std::numeric_limits<double>::infinity();
  m.normalize_units();
  EXPECT_TRUE(std::isnan(m.sections[0].area));
  EXPECT_TRUE(std::isinf(m.load_cases[0].nodal_loads[0].magnitude));
}

// ---------------------------------------------------------------------------------------------
// Results back to the model's units

TEST(DenormalizeResults, SiResultsComeBackInTheModelsUnits) {
  const VARN si = load("model_full_m_n.json");
  const VARN mm = load("model_full_mm_kn.json");
  const ResultsBundle converted = VARN::denormalize_results(*si.results, mm.unit_factors());
  // Names, result types, summaries, locations, rotations and unity checks included.
  const auto diff = differences(converted, *mm.results, 1e-12);
  EXPECT_TRUE(diff.empty()) << ::testing::PrintToString(diff);
}

TEST(DenormalizeResults, LengthsAndForcesOnly) {
  ResultsBundle bundle;
  Results r;
  r.name = "LC1";
  r.result_type = ResultType::loadcase(1);
  r.displacement_nodes[3] = NodeDisplacement{0.002, -0.004, 0.001, 0.01, 0.02, 0.03, 0.5};
  ReactionNodeResult reaction;
  reaction.nodal_forces = NodeForces{1000.0, -2000.0, 500.0, 3.0, -4.0, 5.0, 6.0};
  reaction.location = NodeLocation{1.5, 2.5, 3.5};
  reaction.support_id = 7;
  r.reaction_nodes[3] = reaction;
  MemberResult mr;
  mr.local_end_forces = NodeForces{1000.0, 0.0, 0.0, 2.0, 0.0, 0.0, 4.0};
  mr.local_displacement_end_node = NodeDisplacement{0.003, 0.0, 0.0, 0.25, 0.0, 0.0, 0.125};
  mr.section_forces.push_back(SectionForce{0.25, NodeForces{2000.0, 0.0, 0.0, 0.0, 8.0, 0.0, 0.0}});
  r.member_results[1] = mr;
  r.summary = ResultsSummary{1, 1, 1};
  bundle.loadcases["LC1"] = r;
  bundle.loadcombinations["C1"] = r;

  // mm and kN: translations × 1000, warping ÷ 1000, forces ÷ 1000, moments × 1 (kN·mm = N·m),
  // bimoments × 1000.
  const ResultsBundle out = VARN::denormalize_results(bundle, UnitFactors{0.001, 1000.0, 1.0});
  for (const Results* set : {&out.loadcases.at("LC1"), &out.loadcombinations.at("C1")}) {
    const NodeDisplacement& d = set->displacement_nodes.at(3);
    EXPECT_DOUBLE_EQ(d.dx, 2.0);
    EXPECT_DOUBLE_EQ(d.dy, -4.0);
    EXPECT_DOUBLE_EQ(d.dz, 1.0);
    EXPECT_EQ(d.rx, 0.01);
    EXPECT_EQ(d.rz, 0.03);
    EXPECT_DOUBLE_EQ(d.warp, 0.0005);  // a rate of twist: per millimetre
    const ReactionNodeResult& re = set->reaction_nodes.at(3);
    EXPECT_DOUBLE_EQ(re.nodal_forces.fx, 1.0);
    EXPECT_DOUBLE_EQ(re.nodal_forces.fy, -2.0);
    EXPECT_DOUBLE_EQ(re.nodal_forces.mx, 3.0);
    EXPECT_DOUBLE_EQ(re.nodal_forces.mz, 5.0);
    EXPECT_DOUBLE_EQ(re.nodal_forces.bw, 6000.0);
    EXPECT_EQ(re.location.X, 1.5);  // locations stay in metres
    EXPECT_EQ(re.location.Z, 3.5);
    EXPECT_EQ(re.support_id, 7u);
    const MemberResult& m = set->member_results.at(1);
    EXPECT_DOUBLE_EQ(m.local_end_forces.fx, 1.0);
    EXPECT_DOUBLE_EQ(m.local_end_forces.mx, 2.0);
    EXPECT_DOUBLE_EQ(m.local_end_forces.bw, 4000.0);
    EXPECT_DOUBLE_EQ(m.local_displacement_end_node.dx, 3.0);
    EXPECT_EQ(m.local_displacement_end_node.rx, 0.25);
    EXPECT_DOUBLE_EQ(m.local_displacement_end_node.warp, 0.000125);
    EXPECT_EQ(m.section_forces[0].x_frac, 0.25);
    EXPECT_DOUBLE_EQ(m.section_forces[0].forces.fx, 2.0);
    EXPECT_DOUBLE_EQ(m.section_forces[0].forces.my, 8.0);
    EXPECT_EQ(set->summary.total_displacements, 1u);
  }
  // The bundle given in is not changed through the copy that comes back.
  EXPECT_EQ(bundle.loadcases.at("LC1").displacement_nodes.at(3).dx, 0.002);
}

TEST(DenormalizeResults, OneSetAtATimeLeavesTheOthersAsTheyCame) {
  const VARN si = load("model_full_m_n.json");
  const UnitFactors mm_kn{0.001, 1000.0, 1e6};
  const ResultsBundle whole = VARN::denormalize_results(*si.results, mm_kn);

  ResultsBundle partial = *si.results;
  denormalize_results(partial.loadcases.at("Wind"), mm_kn);
  EXPECT_EQ(json::to_json(partial.loadcases.at("Wind")), json::to_json(whole.loadcases.at("Wind")));
  EXPECT_EQ(json::to_json(partial.loadcases.at("Dead load")), json::to_json(si.results->loadcases.at("Dead load")));
}

TEST(DenormalizeResults, MetreNewtonFactorsChangeNothingAndNonFiniteStays) {
  VARN si = load("model_full_m_n.json");
  si.results->loadcases.at("Wind").displacement_nodes.at(4).dz = std::numeric_limits<double>::quiet_NaN();
  const ResultsBundle out = VARN::denormalize_results(*si.results, si.unit_factors());
  EXPECT_EQ(json::to_json(out), json::to_json(*si.results));
  const ResultsBundle mm = VARN::denormalize_results(*si.results, UnitFactors{0.001, 1000.0, 1.0});
  EXPECT_TRUE(std::isnan(mm.loadcases.at("Wind").displacement_nodes.at(4).dz));
}

}  // namespace
}  // namespace varn
