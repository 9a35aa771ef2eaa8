// Loads, load cases and combinations, settings, unit settings, results and unity checks: each
// record read in object and in array form and written back in object form with its keys in
// declaration order; the enumerations with every accepted spelling; bad input with the exact
// message and the position where reading stopped.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "models/loads/distributedload.h"
#include "models/loads/loadcase.h"
#include "models/loads/loadcombination.h"
#include "models/loads/nodalload.h"
#include "models/results/resultsbundle.h"
#include "models/settings/settings.h"
#include "models/unitychecks/unitycheck.h"

namespace varn {
namespace {

// The record written back, or the error with its position.
template <class T>
std::string read_write(std::string_view text) {
  auto r = json::parse<T>(text);
  if (!r.ok()) return "error: " + r.error.to_string();
  return json::to_json(*r.value);
}

using Run = std::string (*)(std::string_view);

struct Case {
  const char* what;
  Run run;
  std::string input;
  std::string expected;
};

void check_table(const std::vector<Case>& cases) {
  for (const auto& c : cases) EXPECT_EQ(c.run(c.input), c.expected) << c.what << "\n  input: " << c.input;
}

// Compact texts of small records used to build bigger ones.
const std::string kForces = R"({"fx":1.0,"fy":2.0,"fz":3.0,"mx":4.0,"my":5.0,"mz":6.0,"bw":7.0})";
const std::string kDisp = R"({"dx":1.0,"dy":2.0,"dz":3.0,"rx":0.5,"ry":0.25,"rz":0.125,"warp":0.0})";

std::string member_result_text() {
  std::string s = "{";
  for (const char* key : {"start_node_forces", "end_node_forces", "maximums", "minimums", "local_start_forces",
                          "local_end_forces", "local_maximums", "local_minimums"})
    s += std::string("\"") + key + "\":" + kForces + ",";
  s += "\"local_displacement_start_node\":" + kDisp + ",\"local_displacement_end_node\":" + kDisp +
       ",\"section_forces\":[{\"x_frac\":0.25,\"forces\":" + kForces + "},{\"x_frac\":0.5,\"forces\":" + kForces +
       "},{\"x_frac\":0.75,\"forces\":" + kForces + "}]}";
  return s;
}

std::string results_text(const std::string& name, const std::string& type) {
  return "{\"name\":\"" + name + "\",\"result_type\":" + type + ",\"displacement_nodes\":{\"1\":" + kDisp +
         ",\"2\":" + kDisp + "},\"reaction_nodes\":{\"1\":{\"nodal_forces\":" + kForces +
         ",\"location\":{\"X\":0.0,\"Y\":0.0,\"Z\":3.5},\"support_id\":4}},\"member_results\":{\"1\":" +
         member_result_text() +
         "},\"summary\":{\"total_displacements\":2,\"total_reaction_forces\":1,\"total_member_forces\":1},"
         "\"unity_checks\":null}";
}

// ---------------------------------------------------------------------------------------------
// Loads and load cases

TEST(LoadRecords, ObjectAndArrayFormsWriteBackInDeclarationOrder) {
  const std::string load = R"({"id":1,"node":3,"load_case":1,"magnitude":10.0,"direction":[0.0,0.0,-1.0],"load_type":"dead"})";
  const std::string dist =
      R"({"member":4,"load_case":2,"magnitude":-1.5,"direction":[0.0,0.0,1.0],"start_frac":0.0,"end_frac":0.5,"end_magnitude":-3.0})";
  check_table({
      {"nodal load, keys shuffled, an unknown key skipped", read_write<NodalLoad>,
       R"({"load_type":"dead","direction":[0,0,-1],"comment":{"a":[1,2]},"magnitude":10,"load_case":1,"node":3,"id":1})",
       load},
      {"nodal load in array form", read_write<NodalLoad>, R"([1, 3, 1, 10, [0, 0, -1], "dead"])", load},
      {"nodal moment in array form", read_write<NodalMoment>, R"([1,3,1,10,[0,0,-1],"dead"])", load},
      {"distributed load, object form", read_write<DistributedLoad>,
       R"({"end_magnitude":-3,"end_frac":0.5,"start_frac":0,"direction":[0,0,1],"magnitude":-1.5,"load_case":2,"member":4})",
       dist},
      {"distributed load in array form", read_write<DistributedLoad>, R"([4,2,-1.5,[0,0,1],0,0.5,-3])", dist},
      {"largest u32 id", read_write<NodalLoad>, R"([4294967295,3,1,10,[0,0,-1],"dead"])",
       R"({"id":4294967295,"node":3,"load_case":1,"magnitude":10.0,"direction":[0.0,0.0,-1.0],"load_type":"dead"})"},
      {"load case with five empty lists", read_write<LoadCase>,
       R"({"id":2,"name":"LC 2","nodal_loads":[],"nodal_moments":[],"distributed_loads":[],"rotation_imperfections":[],"translation_imperfections":[]})",
       R"({"id":2,"name":"LC 2","nodal_loads":[],"nodal_moments":[],"distributed_loads":[],"rotation_imperfections":[],"translation_imperfections":[]})"},
      {"load case in array form with every list filled", read_write<LoadCase>,
       "[1,\"LC1\",[" + load + "],[[2,4,1,5,[1,0,0],\"wind\"]],[" + dist +
           R"(],[{"memberset_ids":[1,2],"magnitude":0.005,"axis":[0,0,1]}],[[[3],0.01,[1,0,0]]]])",
       "{\"id\":1,\"name\":\"LC1\",\"nodal_loads\":[" + load +
           R"(],"nodal_moments":[{"id":2,"node":4,"load_case":1,"magnitude":5.0,"direction":[1.0,0.0,0.0],"load_type":"wind"}],"distributed_loads":[)" +
           dist +
           R"(],"rotation_imperfections":[{"memberset_ids":[1,2],"magnitude":0.005,"axis":[0.0,0.0,1.0]}],"translation_imperfections":[{"memberset_ids":[3],"magnitude":0.01,"axis":[1.0,0.0,0.0]}]})"},
  });
}

TEST(LoadRecords, BadInputNamesTheFaultAndWhereReadingStopped) {
  check_table({
      {"direction with two numbers", read_write<NodalLoad>, R"({"direction":[0,1]})",
       "error: invalid length 2, expected a tuple of size 3 at line 1 column 18"},
      {"direction with four numbers", read_write<NodalLoad>, R"({"direction":[0,1,2,3]})",
       "error: trailing characters at line 1 column 21"},
      {"direction as text", read_write<NodalLoad>, R"({"direction":"up"})",
       "error: invalid type: string \"up\", expected a tuple of size 3 at line 1 column 17"},
      {"direction holding null", read_write<NodalLoad>, R"({"direction":[0,null,1]})",
       "error: invalid type: null, expected f64 at line 1 column 20"},
      {"negative node id", read_write<NodalLoad>, R"({"id":1,"node":-1})",
       "error: invalid value: integer `-1`, expected u32 at line 1 column 17"},
      {"id above u32", read_write<NodalLoad>, R"({"id":4294967296})",
       "error: invalid value: integer `4294967296`, expected u32 at line 1 column 16"},
      {"fractional id", read_write<NodalMoment>, R"({"id":1.5})",
       "error: invalid type: floating point `1.5`, expected u32 at line 1 column 9"},
      {"node given twice", read_write<NodalLoad>, R"({"node":1,"node":2})",
       "error: duplicate field `node` at line 1 column 16"},
      {"nodal load without load_type", read_write<NodalLoad>,
       R"({"id":1,"node":3,"load_case":1,"magnitude":10,"direction":[0,0,-1]})",
       "error: missing field `load_type` at line 1 column 67"},
      {"nodal moment array too short", read_write<NodalMoment>, R"([1,3,1,10,[0,0,-1]])",
       "error: invalid length 5, expected struct NodalMoment with 6 elements at line 1 column 19"},
      {"nodal load array too long", read_write<NodalLoad>, R"([1,3,1,10,[0,0,-1],"dead",7])",
       "error: trailing characters at line 1 column 27"},
      {"distributed load array too short", read_write<DistributedLoad>, R"([4,2,-1.5,[0,0,1],0,0.5])",
       "error: invalid length 6, expected struct DistributedLoad with 7 elements at line 1 column 24"},
      {"load case without translation imperfections", read_write<LoadCase>,
       R"({"id":2,"name":"x","nodal_loads":[],"nodal_moments":[],"distributed_loads":[],"rotation_imperfections":[]})",
       "error: missing field `translation_imperfections` at line 1 column 106"},
      {"load case array too short", read_write<LoadCase>, R"([2,"x",[],[],[],[]])",
       "error: invalid length 6, expected struct LoadCase with 7 elements at line 1 column 19"},
      {"load case given as a number", read_write<LoadCase>, "5",
       "error: invalid type: integer `5`, expected struct LoadCase at line 1 column 1"},
      {"nodal load list holding a string", read_write<LoadCase>, R"({"nodal_loads":["a"]})",
       "error: invalid type: string \"a\", expected struct NodalLoad at line 1 column 19"},
      {"magnitude as text", read_write<DistributedLoad>, R"({"magnitude":"1"})",
       "error: invalid type: string \"1\", expected f64 at line 1 column 16"},
  });
}

// ---------------------------------------------------------------------------------------------
// Load combinations

TEST(LoadCombination, FactorsKeepTheInputOrderAndOptionalTextsComeBackNull) {
  check_table({
      {"without situation and limit state", read_write<LoadCombination>,
       R"({"id":7,"name":"ULS 1","load_cases_factors":{"1":1.35,"2":1.5},"check":"STR"})",
       R"({"id":7,"name":"ULS 1","load_cases_factors":{"1":1.35,"2":1.5},"situation":null,"check":"STR","limit_state":null})"},
      {"factors listed in descending id order stay so", read_write<LoadCombination>,
       R"({"id":1,"name":"C","load_cases_factors":{"3":1,"1":2,"2":0.5},"check":"c"})",
       R"({"id":1,"name":"C","load_cases_factors":{"3":1.0,"1":2.0,"2":0.5},"situation":null,"check":"c","limit_state":null})"},
      {"a repeated case id keeps its place and the later factor", read_write<LoadCombination>,
       R"({"id":1,"name":"C","load_cases_factors":{"1":1.0,"2":0.5,"1":1.5},"check":"c"})",
       R"({"id":1,"name":"C","load_cases_factors":{"1":1.5,"2":0.5},"situation":null,"check":"c","limit_state":null})"},
      {"array form with every element", read_write<LoadCombination>,
       R"([2,"SLS 1",{},"persistent","DEF","SLS"])",
       R"({"id":2,"name":"SLS 1","load_cases_factors":{},"situation":"persistent","check":"DEF","limit_state":"SLS"})"},
      {"limit state in the one-key object form", read_write<LoadCombination>,
       R"({"id":2,"name":"n","load_cases_factors":{},"check":"c","limit_state":{"ALS":null},"situation":null})",
       R"({"id":2,"name":"n","load_cases_factors":{},"situation":null,"check":"c","limit_state":"ALS"})"},
  });
}

TEST(LoadCombination, BadInput) {
  check_table({
      {"lower-case limit state", read_write<LoadCombination>, R"({"limit_state":"uls"})",
       "error: unknown variant `uls`, expected one of `SLS`, `ULS`, `FLS`, `ALS` at line 1 column 20"},
      {"factor key with a plus sign", read_write<LoadCombination>, R"({"load_cases_factors":{"+1":1}})",
       "error: invalid value: expected key to be a number in quotes at line 1 column 27"},
      {"empty factor key", read_write<LoadCombination>, R"({"load_cases_factors":{"":1}})",
       "error: invalid value: expected key to be a number in quotes at line 1 column 25"},
      {"factor key with a leading blank", read_write<LoadCombination>, R"({"load_cases_factors":{" 1":1}})",
       "error: invalid value: expected key to be a number in quotes at line 1 column 27"},
      {"factor key with a trailing blank", read_write<LoadCombination>, R"({"load_cases_factors":{"1 ":1}})",
       "error: expected `\"` at line 1 column 27"},
      {"factor key with a leading zero", read_write<LoadCombination>, R"({"load_cases_factors":{"01":1}})",
       "error: invalid number at line 1 column 27"},
      {"fractional factor key", read_write<LoadCombination>, R"({"load_cases_factors":{"1.0":1}})",
       "error: invalid type: floating point `1.0`, expected u32 at line 1 column 28"},
      {"negative factor key", read_write<LoadCombination>, R"({"load_cases_factors":{"-2":1}})",
       "error: invalid value: integer `-2`, expected u32 at line 1 column 27"},
      {"null factor", read_write<LoadCombination>, R"({"load_cases_factors":{"1":null}})",
       "error: invalid type: null, expected f64 at line 1 column 31"},
      {"factor as text", read_write<LoadCombination>, R"({"load_cases_factors":{"1":"2"}})",
       "error: invalid type: string \"2\", expected f64 at line 1 column 30"},
      {"factors as a list", read_write<LoadCombination>, R"({"load_cases_factors":[1]})",
       "error: invalid type: sequence, expected a map at line 1 column 22"},
      {"without check", read_write<LoadCombination>, R"({"id":1,"name":"C","load_cases_factors":{}})",
       "error: missing field `check` at line 1 column 43"},
      {"name given twice", read_write<LoadCombination>, R"({"name":"a","name":"b"})",
       "error: duplicate field `name` at line 1 column 18"},
      {"array form of five", read_write<LoadCombination>, R"([1,"C",{},null,"c"])",
       "error: invalid length 5, expected struct LoadCombination with 6 elements at line 1 column 19"},
  });
}

TEST(LoadCombination, FactorsIterateInInputOrder) {
  auto r = json::parse<LoadCombination>(R"({"id":1,"name":"C","load_cases_factors":{"5":0.5,"2":2,"9":1},"check":"c"})");
  ASSERT_TRUE(r.ok());
  std::vector<std::uint32_t> ids;
  for (const auto& [id, factor] : r.value->load_cases_factors) ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{5, 2, 9}));
  ASSERT_NE(r.value->load_cases_factors.find(2), nullptr);
  EXPECT_EQ(*r.value->load_cases_factors.find(2), 2.0);
  EXPECT_EQ(r.value->load_cases_factors.find(3), nullptr);
}

TEST(LoadCombination, LongFactorMapWithRepeatsKeepsFirstPositionsAndLastFactors) {
  // Cases listed from the highest id down, then every third one given again with a new factor.
  constexpr std::uint32_t n = 3000;
  std::string factors;
  auto entry = [&](std::uint32_t id, const std::string& factor) {
    factors.append("\"").append(std::to_string(id)).append("\":").append(factor).append(",");
  };
  for (std::uint32_t id = n; id >= 1; --id) entry(id, std::to_string(id));
  for (std::uint32_t id = 3; id <= n; id += 3) entry(id, "-1");
  factors.pop_back();
  auto r = json::parse<LoadCombination>(R"({"id":1,"name":"C","check":"c","load_cases_factors":{)" + factors + "}}");
  ASSERT_TRUE(r.ok()) << r.error.to_string();
  const auto& map = r.value->load_cases_factors;
  ASSERT_EQ(map.size(), n);
  std::uint32_t expected_id = n;
  for (const auto& [id, factor] : map) {
    ASSERT_EQ(id, expected_id);
    EXPECT_EQ(factor, id % 3 == 0 ? -1.0 : static_cast<double>(id));
    --expected_id;
  }
}

// ---------------------------------------------------------------------------------------------
// Settings

const std::string kOptionsDefaults =
    R"({"id":1,"solve_loadcases":true,"solver":"direct","tolerance":0.5,"max_iterations":null,"dimensionality":"2D","order":"NONLINEAR","rigid_strategy":"RigidMember","axial_slack":0.001,"include_shear_deformation":true,"include_warping":true,"include_shear_center_coupling":true,"nonlinear_method":"COROTATIONAL","pdelta_formulation":"CONSISTENT","pdelta_suppress_axes":[],"pdelta_mode":"FULL"})";
const std::string kOptionsFull =
    R"({"id":3,"solve_loadcases":false,"solver":"sparse","tolerance":0.25,"max_iterations":50,"dimensionality":"3D","order":"LINEAR","rigid_strategy":"LinearMpc","axial_slack":0.002,"include_shear_deformation":false,"include_warping":false,"include_shear_center_coupling":false,"nonlinear_method":"P_DELTA","pdelta_formulation":"SIMPLIFIED","pdelta_suppress_axes":["Y","Z"],"pdelta_mode":"IN_PLANE_ONLY"})";
const std::string kUnitsDefaults =
    R"({"system":"metric","lengthUnit":"m","forceUnit":"N","densityUnit":"kg/m3","pressureUnit":"Pa"})";

TEST(SettingsRecords, DefaultsAliasesAndBothForms) {
  check_table({
      {"analysis options with only the required keys", read_write<AnalysisOptions>,
       R"({"rigid_strategy":"rigid_member","order":"Nonlinear","dimensionality":"2d","tolerance":0.5,"solver":"direct","solve_loadcases":true,"id":1})",
       kOptionsDefaults},
      {"analysis options with every key", read_write<AnalysisOptions>,
       R"({"id":3,"solve_loadcases":false,"solver":"sparse","tolerance":0.25,"max_iterations":50,"dimensionality":"3d","order":"linear","rigid_strategy":"Linear_MPC","axial_slack":0.002,"include_shear_deformation":false,"include_warping":false,"include_shear_center_coupling":false,"nonlinear_method":"pdelta","pdelta_formulation":"commercial","pdelta_suppress_axes":["Y","Z"],"pdelta_mode":"commercial"})",
       kOptionsFull},
      {"analysis options, shortest array form", read_write<AnalysisOptions>,
       R"([1,true,"direct",0.5,null,"2D","NONLINEAR","RigidMember"])", kOptionsDefaults},
      {"analysis options, full array form", read_write<AnalysisOptions>,
       R"([3,false,"sparse",0.25,50,"3D","LINEAR","LinearMpc",0.002,false,false,false,"P_Delta","Simplified",["Y","Z"],"InPlaneOnly"])",
       kOptionsFull},
      {"max_iterations null is absent", read_write<AnalysisOptions>,
       R"({"id":1,"solve_loadcases":true,"solver":"direct","tolerance":0.5,"max_iterations":null,"dimensionality":"2D","order":"NONLINEAR","rigid_strategy":"RigidMember"})",
       kOptionsDefaults},
      {"general info in array form", read_write<GeneralInfo>, R"(["Hall","Ann","1.2"])",
       R"({"project_name":"Hall","author":"Ann","version":"1.2"})"},
      {"empty unit settings", read_write<UnitSettings>, "{}", kUnitsDefaults},
      {"unit settings, short array form", read_write<UnitSettings>, R"(["si","cm"])",
       R"({"system":"si","lengthUnit":"cm","forceUnit":"N","densityUnit":"kg/m3","pressureUnit":"Pa"})"},
      {"settings in array form", read_write<Settings>,
       R"([9,[1,true,"direct",0.5,null,"2D","NONLINEAR","RigidMember"],["Hall","Ann","1.2"],{}])",
       "{\"id\":9,\"analysis_options\":" + kOptionsDefaults +
           R"(,"general_info":{"project_name":"Hall","author":"Ann","version":"1.2"},"unit_settings":)" + kUnitsDefaults +
           "}"},
  });
}

TEST(SettingsRecords, BadInput) {
  check_table({
      {"analysis options without tolerance", read_write<AnalysisOptions>,
       R"({"id":1,"solve_loadcases":true,"solver":"d","dimensionality":"2D","order":"LINEAR","rigid_strategy":"LinearMpc"})",
       "error: missing field `tolerance` at line 1 column 112"},
      {"unknown order", read_write<AnalysisOptions>, R"({"order":"Lin"})",
       "error: unknown variant `Lin`, expected one of `LINEAR`, `Linear`, `linear`, `NONLINEAR`, `Nonlinear`, "
       "`nonlinear` at line 1 column 14"},
      {"negative max_iterations", read_write<AnalysisOptions>, R"({"max_iterations":-1})",
       "error: invalid value: integer `-1`, expected u32 at line 1 column 20"},
      {"solve_loadcases as a number", read_write<AnalysisOptions>, R"({"solve_loadcases":1})",
       "error: invalid type: integer `1`, expected a boolean at line 1 column 20"},
      {"null axial slack", read_write<AnalysisOptions>, R"({"axial_slack":null})",
       "error: invalid type: null, expected f64 at line 1 column 19"},
      {"analysis options array of seven", read_write<AnalysisOptions>, R"([1,true,"d",0.5,null,"2D","LINEAR"])",
       "error: invalid length 7, expected struct AnalysisOptions with 16 elements at line 1 column 35"},
      {"settings array of three", read_write<Settings>, R"([1,{},{}])",
       "error: missing field `id` at line 1 column 5"},
      {"settings without unit settings", read_write<Settings>, R"({"id":1})",
       "error: missing field `analysis_options` at line 1 column 8"},
      {"general info without author", read_write<GeneralInfo>, R"({"project_name":"p","version":"v"})",
       "error: missing field `author` at line 1 column 34"},
      {"general info with a null version", read_write<GeneralInfo>, R"(["p","a",null])",
       "error: invalid type: null, expected a string at line 1 column 13"},
      {"upper-case metre", read_write<UnitSettings>, R"({"lengthUnit":"M"})",
       "error: unknown variant `M`, expected one of `mm`, `cm`, `m` at line 1 column 17"},
      {"force unit as a number", read_write<UnitSettings>, R"({"forceUnit":5})",
       "error: expected value at line 1 column 14"},
      {"unit settings given as text", read_write<UnitSettings>, R"("metric")",
       "error: invalid type: string \"metric\", expected struct UnitSettings at line 1 column 8"},
      {"duplicate lengthUnit", read_write<UnitSettings>, R"({"lengthUnit":"m","lengthUnit":"mm"})",
       "error: duplicate field `lengthUnit` at line 1 column 30"},
  });
}

TEST(SettingsRecords, SettingsArrayTooShort) {
  EXPECT_EQ(read_write<Settings>(R"([1,[1,true,"d",0.5,null,"2D","LINEAR","LinearMpc"],["p","a","v"]])"),
            "error: invalid length 3, expected struct Settings with 4 elements at line 1 column 65");
}

// Every accepted spelling of every enumeration of the analysis options and the units, read in
// both enumeration forms and written with its one spelling.
template <class E>
std::string enum_written(std::string_view spelling) {
  // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) on "..." + std::string(...).
  std::string quoted = "\"";
  quoted += spelling;
  quoted += '"';
  const std::string plain = read_write<E>(quoted);
  const std::string keyed = read_write<E>("{" + quoted + ":null}");
  return plain == keyed ? plain : plain + " / " + keyed;
}

struct Spelling {
  std::string (*written)(std::string_view);
  std::vector<std::string> accepted;
  std::string written_as;
};

TEST(Enumerations, EveryAcceptedSpellingReadsAndIsWrittenInItsOneSpelling) {
  const std::vector<Spelling> table = {
      {enum_written<AnalysisOrder>, {"LINEAR", "Linear", "linear"}, "\"LINEAR\""},
      {enum_written<AnalysisOrder>, {"NONLINEAR", "Nonlinear", "nonlinear"}, "\"NONLINEAR\""},
      {enum_written<RigidStrategy>, {"LinearMpc", "Linear_MPC", "linear_mpc"}, "\"LinearMpc\""},
      {enum_written<RigidStrategy>, {"RigidMember", "Rigid_Member", "rigid_member"}, "\"RigidMember\""},
      {enum_written<Dimensionality>, {"2D", "2d"}, "\"2D\""},
      {enum_written<Dimensionality>, {"3D", "3d"}, "\"3D\""},
      {enum_written<NonlinearMethod>, {"PDelta", "P_DELTA", "P_Delta", "p_delta", "pdelta"}, "\"P_DELTA\""},
      {enum_written<NonlinearMethod>,
       {"COROT", "COROTATIONAL", "Corotational", "corot", "corotational"},
       "\"COROTATIONAL\""},
      {enum_written<PdeltaFormulation>, {"CONSISTENT", "Consistent", "consistent"}, "\"CONSISTENT\""},
      {enum_written<PdeltaFormulation>, {"SIMPLIFIED", "Simplified", "commercial", "simplified"}, "\"SIMPLIFIED\""},
      {enum_written<PdeltaMode>, {"FULL", "Full", "full"}, "\"FULL\""},
      {enum_written<PdeltaMode>, {"IN_PLANE_ONLY", "InPlaneOnly", "commercial", "in_plane_only"}, "\"IN_PLANE_ONLY\""},
      {enum_written<LimitState>, {"SLS"}, "\"SLS\""},
      {enum_written<LimitState>, {"ULS"}, "\"ULS\""},
      {enum_written<LimitState>, {"FLS"}, "\"FLS\""},
      {enum_written<LimitState>, {"ALS"}, "\"ALS\""},
      {enum_written<LengthUnit>, {"mm"}, "\"mm\""},
      {enum_written<LengthUnit>, {"cm"}, "\"cm\""},
      {enum_written<LengthUnit>, {"m"}, "\"m\""},
      {enum_written<ForceUnit>, {"N", "n"}, "\"N\""},
      {enum_written<ForceUnit>, {"kN", "kn"}, "\"kN\""},
      {enum_written<DensityUnit>, {"kg/m3"}, "\"kg/m3\""},
      {enum_written<DensityUnit>, {"kg/mm3"}, "\"kg/mm3\""},
      {enum_written<PressureUnit>, {"Pa", "pa"}, "\"Pa\""},
      {enum_written<PressureUnit>, {"kPa", "kpa"}, "\"kPa\""},
      {enum_written<PressureUnit>, {"MPa", "mpa"}, "\"MPa\""},
      {enum_written<PressureUnit>, {"GPa", "gpa"}, "\"GPa\""},
  };
  for (const auto& row : table)
    for (const auto& s : row.accepted) EXPECT_EQ(row.written(s), row.written_as) << s;
}

TEST(Enumerations, UnknownSpellingListsEveryAcceptedSpellingInTableOrder) {
  check_table({
      {"rigid strategy", read_write<RigidStrategy>, "\"mpc\"",
       "error: unknown variant `mpc`, expected one of `LinearMpc`, `Linear_MPC`, `linear_mpc`, `RigidMember`, "
       "`Rigid_Member`, `rigid_member` at line 1 column 5"},
      {"dimensionality", read_write<Dimensionality>, "\"1D\"",
       "error: unknown variant `1D`, expected one of `2D`, `2d`, `3D`, `3d` at line 1 column 4"},
      {"nonlinear method", read_write<NonlinearMethod>, "\"Pdelta\"",
       "error: unknown variant `Pdelta`, expected one of `PDelta`, `P_DELTA`, `P_Delta`, `p_delta`, `pdelta`, `COROT`, "
       "`COROTATIONAL`, `Corotational`, `corot`, `corotational` at line 1 column 8"},
      {"pdelta formulation", read_write<PdeltaFormulation>, "\"full\"",
       "error: unknown variant `full`, expected one of `CONSISTENT`, `Consistent`, `consistent`, `SIMPLIFIED`, "
       "`Simplified`, `commercial`, `simplified` at line 1 column 6"},
      {"pdelta mode", read_write<PdeltaMode>, "\"consistent\"",
       "error: unknown variant `consistent`, expected one of `FULL`, `Full`, `full`, `IN_PLANE_ONLY`, `InPlaneOnly`, "
       "`commercial`, `in_plane_only` at line 1 column 12"},
      {"force unit", read_write<ForceUnit>, "\"KN\"",
       "error: unknown variant `KN`, expected one of `N`, `n`, `kN`, `kn` at line 1 column 4"},
      {"density unit", read_write<DensityUnit>, "\"kg/m^3\"",
       "error: unknown variant `kg/m^3`, expected `kg/m3` or `kg/mm3` at line 1 column 8"},
      {"pressure unit", read_write<PressureUnit>, "\"N/mm2\"",
       "error: unknown variant `N/mm2`, expected one of `Pa`, `pa`, `kPa`, `kpa`, `MPa`, `mpa`, `GPa`, `gpa` at line "
       "1 column 7"},
      {"one-key form with a value", read_write<LimitState>, R"({"ULS":1})",
       "error: invalid type: integer `1`, expected unit at line 1 column 8"},
  });
}

// ---------------------------------------------------------------------------------------------
// Results

TEST(ResultRecords, ObjectAndArrayForms) {
  const std::string station = "{\"x_frac\":0.5,\"forces\":" + kForces + "}";
  const std::string reaction = "{\"nodal_forces\":" + kForces + R"(,"location":{"X":1.0,"Y":2.0,"Z":3.0},"support_id":4})";
  check_table({
      {"displacement without warp", read_write<NodeDisplacement>,
       R"({"rz":0.125,"dx":1,"dy":2,"dz":3,"rx":0.5,"ry":0.25})", kDisp},
      {"displacement, array of six", read_write<NodeDisplacement>, "[1,2,3,0.5,0.25,0.125]", kDisp},
      {"displacement, array of seven", read_write<NodeDisplacement>, "[1,2,3,0.5,0.25,0.125,-2]",
       R"({"dx":1.0,"dy":2.0,"dz":3.0,"rx":0.5,"ry":0.25,"rz":0.125,"warp":-2.0})"},
      {"forces, object", read_write<NodeForces>, R"({"bw":7,"mz":6,"my":5,"mx":4,"fz":3,"fy":2,"fx":1})", kForces},
      {"forces, array of six", read_write<NodeForces>, "[1,2,3,4,5,6]",
       R"({"fx":1.0,"fy":2.0,"fz":3.0,"mx":4.0,"my":5.0,"mz":6.0,"bw":0.0})"},
      {"section force, array form", read_write<SectionForce>, "[0.5," + kForces + "]", station},
      {"location, array form", read_write<NodeLocation>, "[1,2,3]", R"({"X":1.0,"Y":2.0,"Z":3.0})"},
      {"reaction, array form", read_write<ReactionNodeResult>, "[" + kForces + ",[1,2,3],4]", reaction},
      {"summary, array form", read_write<ResultsSummary>, "[3,2,1]",
       R"({"total_displacements":3,"total_reaction_forces":2,"total_member_forces":1})"},
      {"member result, array form", read_write<MemberResult>,
       "[" + kForces + "," + kForces + "," + kForces + "," + kForces + "," + kForces + "," + kForces + "," + kForces +
           "," + kForces + "," + kDisp + "," + kDisp + ",[[0.25," + kForces + "],[0.5," + kForces + "],[0.75," +
           kForces + "]]]",
       member_result_text()},
      {"member result of a truss: no stations", read_write<MemberResult>,
       "[" + kForces + "," + kForces + "," + kForces + "," + kForces + "," + kForces + "," + kForces + "," + kForces +
           "," + kForces + "," + kDisp + "," + kDisp + ",[]]",
       member_result_text().substr(0, member_result_text().find("\"section_forces\"")) + "\"section_forces\":[]}"},
      {"load-case result", read_write<Results>, results_text("LC1", R"({"Loadcase":3})"),
       results_text("LC1", R"({"Loadcase":3})")},
      {"combination result", read_write<Results>, results_text("ULS", R"({ "Loadcombination" : 7 })"),
       results_text("ULS", R"({"Loadcombination":7})")},
      {"result type alone", read_write<ResultType>, R"({"Loadcase":4294967295})", R"({"Loadcase":4294967295})"},
  });
}

TEST(ResultRecords, IdMapsAreWrittenByNumberAndNameMapsByBytes) {
  auto r = json::parse<ResultsBundle>(
      "{\"loadcombinations\":{},\"loadcases\":{\"LC2\":" + results_text("LC2", R"({"Loadcase":2})") +
      ",\"LC10\":" + results_text("LC10", R"({"Loadcase":10})") + ",\"lc1\":" +
      results_text("lc1", R"({"Loadcase":1})") + "}}");
  ASSERT_TRUE(r.ok()) << r.error.to_string();
  std::vector<std::string> names;
  for (const auto& [name, set] : r.value->loadcases) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"LC10", "LC2", "lc1"}));

  auto d = json::parse<Results>(
      "{\"name\":\"a\",\"result_type\":{\"Loadcase\":1},\"displacement_nodes\":{\"10\":" + kDisp + ",\"9\":" + kDisp +
      ",\"7\":" + kDisp + "},\"reaction_nodes\":{},\"member_results\":{},\"summary\":[0,0,0]}");
  ASSERT_TRUE(d.ok()) << d.error.to_string();
  const std::string text = json::to_json(*d.value);
  EXPECT_LT(text.find("\"7\":"), text.find("\"9\":"));
  EXPECT_LT(text.find("\"9\":"), text.find("\"10\":"));
  EXPECT_NE(text.find("\"unity_checks\":null}"), std::string::npos) << text;
}

TEST(ResultRecords, RepeatedKeyReplacesTheWholeEarlierEntry) {
  // The later check leaves out "value" and "governing": nothing of the earlier one survives.
  auto r = json::parse<Results>(
      R"({"name":"a","result_type":{"Loadcase":1},"displacement_nodes":{},"reaction_nodes":{},"member_results":{},)"
      R"("summary":[0,0,0],"unity_checks":{"c":{"check_id":"c","ok":false,"value":1.7,"governing":{"member_id":3},"details":1},)"
      R"("c":{"check_id":"c","ok":true,"details":2}}})");
  ASSERT_TRUE(r.ok()) << r.error.to_string();
  ASSERT_TRUE(r.value->unity_checks.has_value());
  EXPECT_EQ(json::to_json(r.value->unity_checks->at("c")),
            R"({"check_id":"c","ok":true,"value":null,"limit":null,"message":null,"governing":null,"details":2})");

  auto b = json::parse<ResultsBundle>("{\"loadcases\":{\"LC\":" + results_text("first", R"({"Loadcase":1})") +
                                      ",\"LC\":" + results_text("second", R"({"Loadcase":2})") +
                                      "},\"loadcombinations\":{}}");
  ASSERT_TRUE(b.ok()) << b.error.to_string();
  ASSERT_EQ(b.value->loadcases.size(), 1u);
  EXPECT_EQ(b.value->loadcases.at("LC").name, "second");
  EXPECT_EQ(b.value->loadcases.at("LC").result_type, ResultType::loadcase(2));
}

TEST(ResultRecords, NonFiniteValuesAreWrittenAsNullAndCannotBeReadBack) {
  NodeForces f;
  f.fx = std::numeric_limits<double>::quiet_NaN();
  f.my = std::numeric_limits<double>::infinity();
  const std::string text = json::to_json(f);
  EXPECT_EQ(text, R"({"fx":null,"fy":0.0,"fz":0.0,"mx":0.0,"my":null,"mz":0.0,"bw":0.0})");
  EXPECT_EQ(read_write<NodeForces>(text), "error: invalid type: null, expected f64 at line 1 column 10");
}

TEST(ResultRecords, BadInput) {
  using IdMap = std::map<std::uint32_t, NodeDisplacement>;
  check_table({
      {"forces without mz", read_write<NodeForces>, R"({"fx":1,"fy":2,"fz":3,"mx":4,"my":5,"bw":0})",
       "error: missing field `mz` at line 1 column 43"},
      {"displacement array of five", read_write<NodeDisplacement>, "[1,2,3,4,5]",
       "error: invalid length 5, expected struct NodeDisplacement with 7 elements at line 1 column 11"},
      {"forces array of eight", read_write<NodeForces>, "[1,2,3,4,5,6,7,8]",
       "error: trailing characters at line 1 column 16"},
      {"result type as a plain string", read_write<ResultType>, R"("Loadcase")",
       "error: invalid type: unit variant, expected newtype variant at line 1 column 10"},
      {"result type with an unknown key", read_write<ResultType>, R"({"Loadcas":3})",
       "error: unknown variant `Loadcas`, expected `Loadcase` or `Loadcombination` at line 1 column 10"},
      {"result type with an unknown plain string", read_write<ResultType>, R"("loadcase")",
       "error: unknown variant `loadcase`, expected `Loadcase` or `Loadcombination` at line 1 column 10"},
      {"result type with a second member", read_write<ResultType>, R"({"Loadcase":3,"Loadcombination":4})",
       "error: expected value at line 1 column 13"},
      {"result type as a number", read_write<ResultType>, "3", "error: expected value at line 1 column 1"},
      {"result type as null", read_write<ResultType>, "null", "error: expected value at line 1 column 1"},
      {"result type as an array", read_write<ResultType>, "[3]", "error: expected value at line 1 column 1"},
      {"result type as an empty object", read_write<ResultType>, "{}", "error: expected value at line 1 column 2"},
      {"result type with a negative id", read_write<ResultType>, R"({"Loadcase":-1})",
       "error: invalid value: integer `-1`, expected u32 at line 1 column 14"},
      {"result type unfinished", read_write<ResultType>, R"({"Loadcase":1)",
       "error: EOF while parsing an object at line 1 column 13"},
      {"id key with a leading zero", read_write<IdMap>, R"({"01":{}})", "error: invalid number at line 1 column 5"},
      {"id key with a leading blank", read_write<IdMap>, R"({" 1":{}})",
       "error: invalid value: expected key to be a number in quotes at line 1 column 5"},
      {"id key with a trailing blank", read_write<IdMap>, R"({"1 ":{}})", "error: expected `\"` at line 1 column 5"},
      {"fractional id key", read_write<IdMap>, R"({"1.5":{}})",
       "error: invalid type: floating point `1.5`, expected u32 at line 1 column 6"},
      {"id key beyond u32", read_write<IdMap>, R"({"4294967296":{}})",
       "error: invalid value: integer `4294967296`, expected u32 at line 1 column 13"},
      {"results without summary", read_write<Results>,
       R"({"name":"a","result_type":{"Loadcase":1},"displacement_nodes":{},"reaction_nodes":{},"member_results":{}})",
       "error: missing field `summary` at line 1 column 105"},
      {"negative count", read_write<ResultsSummary>, "[1,-1,0]",
       "error: invalid value: integer `-1`, expected usize at line 1 column 5"},
      {"fractional count", read_write<ResultsSummary>, "[1,1.5,0]",
       "error: invalid type: floating point `1.5`, expected usize at line 1 column 6"},
      {"member result array of ten", read_write<MemberResult>,
       "[" + kForces + "," + kForces + "," + kForces + "," + kForces + "," + kForces + "," + kForces + "," + kForces +
           "," + kForces + "," + kDisp + "," + kDisp + "]",
       "error: invalid length 10, expected struct MemberResult with 11 elements at line 1 column 661"},
      {"member result given as a number", read_write<MemberResult>, "5",
       "error: invalid type: integer `5`, expected struct MemberResult at line 1 column 1"},
      {"reaction without support id", read_write<ReactionNodeResult>, "{\"nodal_forces\":[1,2,3,4,5,6],\"location\":[0,0,0]}",
       "error: missing field `support_id` at line 1 column 49"},
      {"location with a lower-case key", read_write<NodeLocation>, R"({"x":1,"Y":2,"Z":3})",
       "error: missing field `X` at line 1 column 19"},
      {"section force array of one", read_write<SectionForce>, "[0.5]",
       "error: invalid length 1, expected struct SectionForce with 2 elements at line 1 column 5"},
      {"bundle without combinations", read_write<ResultsBundle>, R"({"loadcases":{}})",
       "error: missing field `loadcombinations` at line 1 column 16"},
      {"bundle array of one", read_write<ResultsBundle>, "[{}]",
       "error: invalid length 1, expected struct ResultsBundle with 3 elements at line 1 column 4"},
  });
}

// ---------------------------------------------------------------------------------------------
// Unity checks

TEST(UnityCheckRecords, CarriedThroughUnchanged) {
  check_table({
      {"only the required keys", read_write<UnityCheck>, R"({"check_id":"c1","ok":true,"details":null})",
       R"({"check_id":"c1","ok":true,"value":null,"limit":null,"message":null,"governing":null,"details":null})"},
      {"details object keys written in byte order", read_write<UnityCheck>,
       R"({"check_id":"c1","ok":false,"details":{"b":1,"a":[2,3.5],"B":{"z":null,"y":"t"}}})",
       R"({"check_id":"c1","ok":false,"value":null,"limit":null,"message":null,"governing":null,"details":{"B":{"y":"t","z":null},"a":[2,3.5],"b":1}})"},
      {"every key, an unknown one dropped", read_write<UnityCheck>,
       R"({"unit":"kN","check_id":"c2","ok":true,"value":0.8,"limit":1,"message":"fine","governing":{"member_id":3,"load_case_id":1},"details":[1,-2,"x"]})",
       R"({"check_id":"c2","ok":true,"value":0.8,"limit":1.0,"message":"fine","governing":{"member_id":3,"load_combination_id":null,"load_case_id":1},"details":[1,-2,"x"]})"},
      {"array form", read_write<UnityCheck>, R"(["c3",true,0.5,null,null,[null,7,null],{"k":1.0}])",
       R"({"check_id":"c3","ok":true,"value":0.5,"limit":null,"message":null,"governing":{"member_id":null,"load_combination_id":7,"load_case_id":null},"details":{"k":1.0}})"},
      {"empty governing key", read_write<GoverningKey>, "{}",
       R"({"member_id":null,"load_combination_id":null,"load_case_id":null})"},
      {"governing key, array form", read_write<GoverningKey>, "[1,2,3]",
       R"({"member_id":1,"load_combination_id":2,"load_case_id":3})"},
      {"overview without children entries", read_write<UnityCheckOverview>,
       R"({"check_id":"all","aggregated_ok":true,"children":[]})",
       R"({"check_id":"all","aggregated_ok":true,"aggregated_value":null,"governing":null,"children":[]})"},
      {"overview array form with a child", read_write<UnityCheckOverview>,
       R"(["all",false,1.2,{"member_id":4},[["c",false,1.2,1,"over",null,{}]]])",
       R"({"check_id":"all","aggregated_ok":false,"aggregated_value":1.2,"governing":{"member_id":4,"load_combination_id":null,"load_case_id":null},"children":[{"check_id":"c","ok":false,"value":1.2,"limit":1.0,"message":"over","governing":null,"details":{}}]})"},
  });
}

TEST(UnityCheckRecords, BadInput) {
  check_table({
      {"without details", read_write<UnityCheck>, R"({"check_id":"c","ok":true})",
       "error: missing field `details` at line 1 column 26"},
      {"ok given twice", read_write<UnityCheck>, R"({"ok":true,"ok":false})",
       "error: duplicate field `ok` at line 1 column 15"},
      {"ok as text", read_write<UnityCheck>, R"({"ok":"yes"})",
       "error: invalid type: string \"yes\", expected a boolean at line 1 column 11"},
      {"array form of six", read_write<UnityCheck>, R"(["c",true,null,null,null,null])",
       "error: invalid length 6, expected struct UnityCheck with 7 elements at line 1 column 30"},
      {"negative member id", read_write<GoverningKey>, R"({"member_id":-3})",
       "error: invalid value: integer `-3`, expected u32 at line 1 column 15"},
      {"fractional member id", read_write<GoverningKey>, R"({"member_id":1.5})",
       "error: invalid type: floating point `1.5`, expected u32 at line 1 column 16"},
      {"governing key array of two", read_write<GoverningKey>, "[1,2]",
       "error: invalid length 2, expected struct GoverningKey with 3 elements at line 1 column 5"},
      {"overview without children", read_write<UnityCheckOverview>, R"({"check_id":"a","aggregated_ok":true})",
       "error: missing field `children` at line 1 column 37"},
      {"overview array of four", read_write<UnityCheckOverview>, R"(["a",true,null,null])",
       "error: invalid length 4, expected struct UnityCheckOverview with 5 elements at line 1 column 20"},
      {"details with bad JSON inside", read_write<UnityCheck>, R"({"details":{"a":tru}})",
       "error: expected ident at line 1 column 20"},
  });
}

}  // namespace
}  // namespace varn
