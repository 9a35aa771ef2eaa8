// The model record: reading a whole model, writing it back with every default filled in,
// the top-level reading rules, deep copies and the queries on the members.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model_compare.h"
#include "models/varn/varn.h"

namespace varn {
namespace {

using testing::read_fixture;

const std::string kSettings =
    R"({"id":1,"analysis_options":{"id":1,"solve_loadcases":true,"solver":"direct","tolerance":0.5,"dimensionality":"3D","order":"LINEAR","rigid_strategy":"LinearMpc"},"general_info":{"project_name":"p","author":"a","version":"1"},"unit_settings":{}})";
const std::string kSettingsWritten =
    R"({"id":1,"analysis_options":{"id":1,"solve_loadcases":true,"solver":"direct","tolerance":0.5,"max_iterations":null,"dimensionality":"3D","order":"LINEAR","rigid_strategy":"LinearMpc","axial_slack":0.001,"include_shear_deformation":true,"include_warping":true,"include_shear_center_coupling":true,"nonlinear_method":"COROTATIONAL","pdelta_formulation":"CONSISTENT","pdelta_suppress_axes":[],"pdelta_mode":"FULL"},"general_info":{"project_name":"p","author":"a","version":"1"},"unit_settings":{"system":"metric","lengthUnit":"m","forceUnit":"N","densityUnit":"kg/m3","pressureUnit":"Pa"}})";

const std::string kMinimal = R"({"member_sets":[],"load_cases":[],"load_combinations":[],"imperfection_cases":[],"settings":)" +
                             kSettings + R"(,"materials":[],"sections":[],"nodal_supports":[]})";
const std::string kMinimalWritten =
    R"({"member_sets":[],"load_cases":[],"load_combinations":[],"imperfection_cases":[],"settings":)" + kSettingsWritten +
    R"(,"results":null,"memberhinges":null,"materials":[],"sections":[],"nodal_supports":[],"shape_paths":null})";

std::string read_write(std::string_view text) {
  auto r = VARN::from_json(text);
  if (!r.ok()) return "error: " + r.error.to_string();
  std::string out;
  auto written = r.value->serialize(out);
  return written ? out : "write error: " + written.error();
}

VARN parse_or_die(const std::string& text) {
  auto r = VARN::from_json(text);
  if (!r.ok()) ADD_FAILURE() << r.error.to_string();
  return r.ok() ? *r.value : VARN{};
}

TEST(ModelRecord, FullFixturesReadWriteWithDefaultsAndReadAgainToTheSameText) {
  for (const char* name : {"model_full_m_n.json", "model_full_mm_kn.json"}) {
    SCOPED_TRACE(name);
    const std::string first = read_write(read_fixture(name));
    ASSERT_EQ(first.rfind("{\"member_sets\":[", 0), 0u) << first.substr(0, 200);
    EXPECT_EQ(read_write(first), first);

    // Defaults and absent optional values are spelled out in the output.
    for (const char* filled :
         {R"("mirror":false})", R"("reference_member":null,)", R"("warp":0.0})", R"("bw":0.0})",
          R"("situation":null,)", R"("unity_checks":null})", R"("i_w":null,)", R"("stiffness_curve_vz":null,)",
          R"("warping_condition":null})", R"("depends_on":"Vz")", R"("system":"metric")", R"("r":null,)",
          R"("load_case_id":null})", R"("limit":null,)"})
      EXPECT_NE(first.find(filled), std::string::npos) << filled;
    // Aliases come back in their written spelling.
    for (const char* written : {R"("order":"NONLINEAR")", R"("rigid_strategy":"RigidMember")",
                                R"("dimensionality":"3D")", R"("nonlinear_method":"P_DELTA")",
                                R"("pdelta_formulation":"SIMPLIFIED")", R"("pdelta_mode":"IN_PLANE_ONLY")",
                                R"("condition_type":"Spring","stiffness":null,"stiffness_curve":{"depends_on":"Fz")",
                                R"("condition_type":"PositiveOnly")", R"("condition_type":"NegativeOnly")"})
      EXPECT_NE(first.find(written), std::string::npos) << written;
    EXPECT_EQ(first.find("Positive-only"), std::string::npos);
  }
}

TEST(ModelRecord, FullFixtureContents) {
  const VARN m = parse_or_die(read_fixture("model_full_mm_kn.json"));
  EXPECT_EQ(m.member_sets.size(), 4u);
  EXPECT_EQ(m.get_member_count(), 9u);
  EXPECT_TRUE(m.has_rigid_members());
  EXPECT_TRUE(m.has_tension_compression_members());
  ASSERT_EQ(m.load_cases.size(), 2u);
  EXPECT_EQ(m.load_cases[1].name, "Wind");
  ASSERT_EQ(m.load_combinations.size(), 2u);
  EXPECT_EQ(m.load_combinations[0].limit_state, LimitState::ULS);
  EXPECT_FALSE(m.load_combinations[1].situation.has_value());
  ASSERT_TRUE(m.results.has_value());
  EXPECT_EQ(m.results->loadcases.size(), 2u);
  EXPECT_EQ(m.results->loadcombinations.at("ULS 1.35G+1.5W").result_type, ResultType::loadcombination(1));
  ASSERT_TRUE(m.results->unity_checks_overview.has_value());
  EXPECT_EQ(m.results->unity_checks_overview->at("Bending").children.size(), 1u);
  ASSERT_TRUE(m.memberhinges.has_value());
  EXPECT_EQ(m.memberhinges->size(), 2u);
  ASSERT_TRUE(m.shape_paths.has_value());
  EXPECT_EQ(m.settings.unit_settings.length_unit, LengthUnit::Mm);
  EXPECT_EQ(m.settings.unit_settings.force_unit, ForceUnit::KN);
}

TEST(ModelRecord, CombinationFactorsComeOutInInputOrderOnEveryRun) {
  const std::string text = read_fixture("model_full_m_n.json");
  const std::string out = read_write(text);
  // The serviceability combination lists case 2 before case 1.
  EXPECT_NE(out.find(R"("load_cases_factors":{"2":1.0,"1":1.0})"), std::string::npos);
  for (int run = 0; run < 5; ++run) EXPECT_EQ(read_write(text), out);
}

TEST(ModelRecord, TopLevelReadingRules) {
  struct Case {
    const char* what;
    std::string input;
    std::string expected;
  };
  const std::string body = kMinimal.substr(1, kMinimal.size() - 2);  // the members without braces
  const std::vector<Case> cases = {
      {"minimal model: absent optional keys written as null", kMinimal, kMinimalWritten},
      {"keys in reverse order", R"({"nodal_supports":[],"sections":[],"materials":[],"settings":)" + kSettings +
                                    R"(,"imperfection_cases":[],"load_combinations":[],"load_cases":[],"member_sets":[]})",
       kMinimalWritten},
      {"results null is absent", "{" + body + R"(,"results":null,"memberhinges":null,"shape_paths":null})",
       kMinimalWritten},
      {"an unknown top-level key is skipped", "{\"comment\":{\"by\":[\"x\",{\"y\":null}]}," + body + "}", kMinimalWritten},
      {"trailing whitespace passes", kMinimal + " \r\n\t\n", kMinimalWritten},
      {"array form of eleven", "[[],[],[],[]," + kSettings + ",null,null,[],[],[],null]", kMinimalWritten},
      {"empty lists of hinges and shape paths stay lists", "{" + body + R"(,"memberhinges":[],"shape_paths":[]})",
       kMinimalWritten.substr(0, kMinimalWritten.find("\"memberhinges\"")) +
           R"("memberhinges":[],"materials":[],"sections":[],"nodal_supports":[],"shape_paths":[]})"},
      {"settings twice", "{\"settings\":" + kSettings + ",\"settings\":1}",
       "error: duplicate field `settings` at line 1 column " + std::to_string(kSettings.size() + 23)},
      {"without sections", R"({"member_sets":[],"load_cases":[],"load_combinations":[],"imperfection_cases":[],"settings":)" +
                               kSettings + R"(,"materials":[],"nodal_supports":[]})",
       "error: missing field `sections` at line 1 column " + std::to_string(kMinimal.size() - 14)},
      {"array form of ten", "[[],[],[],[]," + kSettings + ",null,null,[],[],[]]",
       "error: invalid length 10, expected struct VARN with 11 elements at line 1 column " +
           std::to_string(kSettings.size() + 33)},
      {"array form of twelve", "[[],[],[],[]," + kSettings + ",null,null,[],[],[],null,1]",
       "error: trailing characters at line 1 column " + std::to_string(kSettings.size() + 39)},
      {"a second value after the model", kMinimal + " {}", "error: trailing characters at line 1 column " +
                                                               std::to_string(kMinimal.size() + 2)},
      {"a number", "5", "error: invalid type: integer `5`, expected struct VARN at line 1 column 1"},
      {"empty text", "", "error: EOF while parsing a value at line 1 column 0"},
      {"an error on a later line", "{\n  \"member_sets\": [\n    7\n  ]\n}",
       "error: invalid type: integer `7`, expected struct MemberSet at line 3 column 5"},
  };
  for (const auto& c : cases) EXPECT_EQ(read_write(c.input), c.expected) << c.what;
}

TEST(ModelRecord, FailedReadKeepsNothing) {
  // Everything up to the last member set is valid; the fault comes at the very end.
  std::string text = read_fixture("model_full_m_n.json");
  const std::size_t end = text.rfind('}');
  text.insert(end, ",\"sections\":[]");
  auto r = VARN::from_json(text);
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(r.value.has_value());
  EXPECT_EQ(r.error.message, "duplicate field `sections`");
}

TEST(ModelRecord, CloneIsDeepAndSharesNothing) {
  const VARN source = parse_or_die(read_fixture("model_full_m_n.json"));
  std::string before;
  ASSERT_TRUE(source.serialize(before));

  VARN copy = source.clone();
  std::string copied;
  ASSERT_TRUE(copy.serialize(copied));
  EXPECT_EQ(copied, before);

  // Change every kind of field of the copy, optional ones included.
  copy.member_sets[0].members[0].start_node.X = 99.0;
  copy.load_cases[0].nodal_loads[0].magnitude = -1.0;
  copy.load_combinations[0].load_cases_factors[1] = 9.0;
  copy.imperfection_cases[0].rotation_imperfections[0].magnitude = 1.0;
  copy.settings.analysis_options.pdelta_suppress_axes.push_back("X");
  copy.results->loadcases.begin()->second.displacement_nodes.begin()->second.dx = 5.0;
  copy.results->unity_checks_overview->begin()->second.children.clear();
  (*copy.memberhinges)[0].stiffness_curve_mz->points[0].stiffness = 1.0;
  copy.materials[0].e_mod = 1.0;
  copy.sections[0].i_w.reset();
  copy.nodal_supports[1].displacement_conditions.at("Z").stiffness_curve->points.clear();
  (*copy.shape_paths)[0].shape_commands.clear();
  copy.normalize_units();

  std::string after;
  ASSERT_TRUE(source.serialize(after));
  EXPECT_EQ(after, before);
}

TEST(ModelRecord, MemberQueries) {
  VARN m = parse_or_die(kMinimal);
  EXPECT_EQ(m.get_member_count(), 0u);
  EXPECT_FALSE(m.has_rigid_members());
  EXPECT_FALSE(m.has_tension_compression_members());

  const VARN full = parse_or_die(read_fixture("model_full_m_n.json"));
  m.member_sets = full.member_sets;
  for (auto& set : m.member_sets)
    for (auto& member : set.members)
      if (member.member_type != MemberType::Normal) member.member_type = MemberType::Truss;
  EXPECT_EQ(m.get_member_count(), 9u);
  EXPECT_FALSE(m.has_rigid_members());
  EXPECT_FALSE(m.has_tension_compression_members());
  m.member_sets[3].members[0].member_type = MemberType::Compression;
  EXPECT_TRUE(m.has_tension_compression_members());
  m.member_sets[3].members[0].member_type = MemberType::Tension;
  EXPECT_TRUE(m.has_tension_compression_members());
  m.member_sets[0].members[2].member_type = MemberType::Rigid;
  EXPECT_TRUE(m.has_rigid_members());
}

TEST(ModelRecord, LookupMapsFindRecordsById) {
  const VARN m = parse_or_die(read_fixture("model_full_m_n.json"));
  const AssemblyContext ctx = m.build_lookup_maps();
  ASSERT_NE(ctx.section(2), nullptr);
  EXPECT_EQ(ctx.section(2)->name, "GL24h 140x600");
  ASSERT_NE(ctx.material(1), nullptr);
  EXPECT_EQ(ctx.material(1)->name, "S355");
  ASSERT_NE(ctx.member_hinge(2), nullptr);
  EXPECT_EQ(ctx.member_hinge(2)->hinge_type, "semi_rigid");
  ASSERT_NE(ctx.nodal_support(3), nullptr);
  EXPECT_EQ(ctx.nodal_support(3)->classification, "pinned");
  EXPECT_EQ(ctx.section(4), nullptr);
  // The context borrows the model: it points at the model's own records.
  EXPECT_EQ(ctx.section(1), &m.sections[0]);

  const VARN bare = parse_or_die(kMinimal);
  EXPECT_TRUE(bare.build_lookup_maps().member_hinges.empty());
}

}  // namespace
}  // namespace varn
