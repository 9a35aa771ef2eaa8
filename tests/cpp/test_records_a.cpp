// Records of sections, materials, shape paths, hinges, supports, stiffness curves and
// imperfections: both JSON forms, defaults, aliases, error messages with positions, curve
// validation and evaluation, and the per-solve lookup maps.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fatal.h"
#include "models/imperfections/imperfectioncase.h"
#include "models/members/material.h"
#include "models/members/memberhinge.h"
#include "models/members/section.h"
#include "models/members/shapepath.h"
#include "models/stiffness_curve/stiffness_curve.h"
#include "models/supports/nodalsupport.h"
#include "models/varn/lookup.h"

using namespace varn;

namespace {

using MaterialsById = std::map<std::uint32_t, Material>;

// Reads the text as T and writes it back; an empty result marks a failed read.
template <class T>
std::string round_trip(std::string_view text) {
  auto r = json::parse<T>(text);
  if (!r.ok()) {
    ADD_FAILURE() << "reading failed: " << r.error.to_string() << "\n  in: " << text;
    return {};
  }
  return json::to_json(*r.value);
}

// The error of a read that must fail, as "{msg} at line {l} column {c}".
template <class T>
std::string parse_error(std::string_view text) {
  auto r = json::parse<T>(text);
  if (r.ok()) return "no error; read as " + json::to_json(*r.value);
  return r.error.to_string();
}

template <class T>
T read(std::string_view text) {
  auto r = json::parse<T>(text);
  if (!r.ok()) {
    ADD_FAILURE() << "reading failed: " << r.error.to_string();
    return T{};
  }
  return *r.value;
}

StiffnessCurveConfig curve(std::vector<CurvePoint> points, ForceComponent c = ForceComponent::Vz) {
  return StiffnessCurveConfig{std::move(points), c};
}

constexpr const char* kSectionOut =
    "{\"id\":1,\"name\":\"IPE 200\",\"material\":2,\"h\":null,\"b\":null,\"i_y\":19430000.0,\"i_z\":1420000.0,"
    "\"j\":69800.0,\"area\":2850.0,\"shape_path\":null,\"i_w\":null,\"y_s\":null,\"z_s\":null,\"wagner_coeff\":null,"
    "\"a_sy\":null,\"a_sz\":null,\"i_yz\":null,\"principal_axis_angle\":null,\"centroid_y\":null,\"centroid_z\":null}";

constexpr const char* kHingeNulls =
    "\"translational_release_vx\":null,\"translational_release_vy\":null,\"translational_release_vz\":null,"
    "\"rotational_release_mx\":null,\"rotational_release_my\":null,\"rotational_release_mz\":null,"
    "\"rotational_release_warp\":null,\"max_tension_vx\":null,\"max_tension_vy\":null,\"max_tension_vz\":null,"
    "\"max_moment_mx\":null,\"max_moment_my\":null,\"max_moment_mz\":null,\"max_bimoment_warp\":null,"
    "\"stiffness_curve_vx\":null,\"stiffness_curve_vy\":null,\"stiffness_curve_vz\":null,"
    "\"stiffness_curve_mx\":null,\"stiffness_curve_my\":null,\"stiffness_curve_mz\":null";

// ---- both forms, written back in object form in declaration order ----

struct RoundTripCase {
  const char* name;
  std::string (*run)(std::string_view);
  std::string input;
  std::string output;
};

const std::vector<RoundTripCase>& round_trip_cases() {
  static const std::vector<RoundTripCase> cases = {
      {"section with only required constants", round_trip<Section>,
       R"({"id":1,"name":"IPE 200","material":2,"i_y":19430000,"i_z":1420000,"j":69800,"area":2850})", kSectionOut},
      {"section keys in any order, unknown keys dropped", round_trip<Section>,
       R"({"area":2850,"J":5,"j":69800,"comment":{"a":[1,{"b":null}]},"i_z":1420000,"i_y":19430000,)"
       R"("material":2,"name":"IPE 200","id":1,"h":null})",
       kSectionOut},
      {"section of ten elements", round_trip<Section>, R"([1,"IPE 200",2,null,null,19430000,1420000,69800,2850,null])",
       kSectionOut},
      {"section of twenty elements keeps the angle in degrees", round_trip<Section>,
       R"([1,"S",2,200,100,1,2,3,4,7,5,0.5,-0.25,1,6,7,0,90,0.125,-0.125])",
       R"({"id":1,"name":"S","material":2,"h":200.0,"b":100.0,"i_y":1.0,"i_z":2.0,"j":3.0,"area":4.0,)"
       R"("shape_path":7,"i_w":5.0,"y_s":0.5,"z_s":-0.25,"wagner_coeff":1.0,"a_sy":6.0,"a_sz":7.0,"i_yz":0.0,)"
       R"("principal_axis_angle":90.0,"centroid_y":0.125,"centroid_z":-0.125})"},
      {"material object", round_trip<Material>,
       R"({"yield_stress":235,"density":7850,"g_mod":81000,"e_mod":210000,"name":"S235","id":2})",
       R"({"id":2,"name":"S235","e_mod":210000.0,"g_mod":81000.0,"density":7850.0,"yield_stress":235.0})"},
      {"material array", round_trip<Material>, R"([2,"S235",210000,81000,7850,235])",
       R"({"id":2,"name":"S235","e_mod":210000.0,"g_mod":81000.0,"density":7850.0,"yield_stress":235.0})"},
      {"shape path with commands in both forms and any command text", round_trip<ShapePath>,
       R"([4,"outline",[{"command":"moveTo","y":0,"z":-10},["arcTo",5,6,2.5,1,2,3,4],{"command":""}]])",
       R"({"id":4,"name":"outline","shape_commands":[)"
       R"({"command":"moveTo","y":0.0,"z":-10.0,"r":null,"control_y1":null,"control_z1":null,"control_y2":null,"control_z2":null},)"
       R"({"command":"arcTo","y":5.0,"z":6.0,"r":2.5,"control_y1":1.0,"control_z1":2.0,"control_y2":3.0,"control_z2":4.0},)"
       R"({"command":"","y":null,"z":null,"r":null,"control_y1":null,"control_z1":null,"control_y2":null,"control_z2":null}]})"},
      {"hinge with only id and type", round_trip<MemberHinge>, R"({"hinge_type":"pinned","id":3})",
       std::string(R"({"id":3,"hinge_type":"pinned",)") + kHingeNulls + "}"},
      {"hinge with null warping release and bimoment limit", round_trip<MemberHinge>,
       R"({"id":3,"hinge_type":"pinned","rotational_release_warp":null,"max_bimoment_warp":null})",
       std::string(R"({"id":3,"hinge_type":"pinned",)") + kHingeNulls + "}"},
      {"hinge of fifteen elements", round_trip<MemberHinge>,
       R"([3,"pinned",null,null,null,null,null,0,-1,null,null,null,null,null,2500])",
       R"({"id":3,"hinge_type":"pinned","translational_release_vx":null,"translational_release_vy":null,)"
       R"("translational_release_vz":null,"rotational_release_mx":null,"rotational_release_my":null,)"
       R"("rotational_release_mz":0.0,"rotational_release_warp":-1.0,"max_tension_vx":null,"max_tension_vy":null,)"
       R"("max_tension_vz":null,"max_moment_mx":null,"max_moment_my":null,"max_moment_mz":2500.0,)"
       R"("max_bimoment_warp":null,"stiffness_curve_vx":null,"stiffness_curve_vy":null,"stiffness_curve_vz":null,)"
       R"("stiffness_curve_mx":null,"stiffness_curve_my":null,"stiffness_curve_mz":null})"},
      {"hinge curves: a bare list is measured in Vz whatever the DOF; an empty list is kept", round_trip<MemberHinge>,
       R"({"id":3,"hinge_type":"spring","stiffness_curve_mz":[[0,5000],[0.01,2500]],"stiffness_curve_vx":[],)"
       R"("stiffness_curve_my":{"depends_on":{"My":null},"points":[[1,2]]}})",
       R"({"id":3,"hinge_type":"spring","translational_release_vx":null,"translational_release_vy":null,)"
       R"("translational_release_vz":null,"rotational_release_mx":null,"rotational_release_my":null,)"
       R"("rotational_release_mz":null,"rotational_release_warp":null,"max_tension_vx":null,"max_tension_vy":null,)"
       R"("max_tension_vz":null,"max_moment_mx":null,"max_moment_my":null,"max_moment_mz":null,)"
       R"("max_bimoment_warp":null,"stiffness_curve_vx":{"depends_on":"Vz","points":[]},"stiffness_curve_vy":null,)"
       R"("stiffness_curve_vz":null,"stiffness_curve_mx":null,"stiffness_curve_my":{"depends_on":"My","points":[[1.0,2.0]]},)"
       R"("stiffness_curve_mz":{"depends_on":"Vz","points":[[0.0,5000.0],[0.01,2500.0]]}})"},
      {"support: condition maps in key order, aliases in their written spelling", round_trip<NodalSupport>,
       R"({"id":4,"displacement_conditions":{"Z":{"condition_type":"Fixed"},)"
       R"("X":{"condition_type":"StiffnessCurve","stiffness_curve":[[0,1000],[10,2000]]},)"
       R"("Y":{"condition_type":"Positive-only"}},"rotation_conditions":{}})",
       R"({"id":4,"classification":null,"displacement_conditions":{)"
       R"("X":{"condition_type":"Spring","stiffness":null,"stiffness_curve":{"depends_on":"Vz","points":[[0.0,1000.0],[10.0,2000.0]]}},)"
       R"("Y":{"condition_type":"PositiveOnly","stiffness":null,"stiffness_curve":null},)"
       R"("Z":{"condition_type":"Fixed","stiffness":null,"stiffness_curve":null}},"rotation_conditions":{},)"
       R"("warping_condition":null})"},
      {"support: a repeated axis key replaces the whole earlier condition", round_trip<NodalSupport>,
       R"({"id":4,"displacement_conditions":{"X":{"condition_type":"Spring","stiffness":5,"stiffness_curve":[[0,1],[1,2]]},)"
       R"("X":{"condition_type":"Free"}},"rotation_conditions":{}})",
       R"({"id":4,"classification":null,"displacement_conditions":{)"
       R"("X":{"condition_type":"Free","stiffness":null,"stiffness_curve":null}},"rotation_conditions":{},)"
       R"("warping_condition":null})"},
      {"support of four elements, both X and x kept, conditions of two elements", round_trip<NodalSupport>,
       R"([4,"pinned",{"x":["Fixed",null],"X":["Negative-only",1]},{"Z":[{"Free":null},null]}])",
       R"({"id":4,"classification":"pinned","displacement_conditions":{)"
       R"("X":{"condition_type":"NegativeOnly","stiffness":1.0,"stiffness_curve":null},)"
       R"("x":{"condition_type":"Fixed","stiffness":null,"stiffness_curve":null}},)"
       R"("rotation_conditions":{"Z":{"condition_type":"Free","stiffness":null,"stiffness_curve":null}},)"
       R"("warping_condition":null})"},
      {"support with a warping condition and every alias", round_trip<NodalSupport>,
       R"({"id":5,"classification":"c","displacement_conditions":{"X":{"condition_type":"Negative-only"},)"
       R"("Y":{"condition_type":"PositiveOnly"},"Z":{"condition_type":"NegativeOnly"}},)"
       R"("rotation_conditions":{"X":{"condition_type":"Spring","stiffness":2}},)"
       R"("warping_condition":["Fixed",null,{"depends_on":"Fz","points":[[0,1]]}]})",
       R"({"id":5,"classification":"c","displacement_conditions":{)"
       R"("X":{"condition_type":"NegativeOnly","stiffness":null,"stiffness_curve":null},)"
       R"("Y":{"condition_type":"PositiveOnly","stiffness":null,"stiffness_curve":null},)"
       R"("Z":{"condition_type":"NegativeOnly","stiffness":null,"stiffness_curve":null}},)"
       R"("rotation_conditions":{"X":{"condition_type":"Spring","stiffness":2.0,"stiffness_curve":null}},)"
       R"("warping_condition":{"condition_type":"Fixed","stiffness":null,"stiffness_curve":{"depends_on":"Fz","points":[[0.0,1.0]]}}})"},
      {"imperfection case of four elements", round_trip<ImperfectionCase>,
       R"([7,[1,2],[[[1,99],0.005,[0,0,1]]],[{"axis":[1,0,0],"magnitude":2,"memberset_ids":[]}]])",
       R"({"imperfection_case_id":7,"load_combinations":[1,2],)"
       R"("rotation_imperfections":[{"memberset_ids":[1,99],"magnitude":0.005,"axis":[0.0,0.0,1.0]}],)"
       R"("translation_imperfections":[{"memberset_ids":[],"magnitude":2.0,"axis":[1.0,0.0,0.0]}]})"},
      {"empty imperfection lists", round_trip<ImperfectionCase>,
       R"({"imperfection_case_id":1,"load_combinations":[],"rotation_imperfections":[],"translation_imperfections":[]})",
       R"({"imperfection_case_id":1,"load_combinations":[],"rotation_imperfections":[],"translation_imperfections":[]})"},
      {"curve object: unknown keys ignored, repeated points keep the last", round_trip<StiffnessCurveConfig>,
       R"({"points":[[0,1]],"note":1,"depends_on":"Vy","points":[[1,2],[3,4]]})",
       R"({"depends_on":"Vy","points":[[1.0,2.0],[3.0,4.0]]})"},
      {"materials by id in key order", round_trip<MaterialsById>, R"({"9":[9,"b",1,1,1,1],"10":[10,"a",1,1,1,1]})",
       R"({"9":{"id":9,"name":"b","e_mod":1.0,"g_mod":1.0,"density":1.0,"yield_stress":1.0},)"
       R"("10":{"id":10,"name":"a","e_mod":1.0,"g_mod":1.0,"density":1.0,"yield_stress":1.0}})"},
  };
  return cases;
}

class RoundTrip : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RoundTrip, WritesObjectFormInDeclarationOrder) {
  const auto& c = round_trip_cases()[GetParam()];
  SCOPED_TRACE(c.name);
  EXPECT_EQ(c.run(c.input), c.output);
  // What is written reads back to the same text.
  EXPECT_EQ(c.run(c.output), c.output);
}

INSTANTIATE_TEST_SUITE_P(RecordsA, RoundTrip, ::testing::Range<std::size_t>(0, round_trip_cases().size()));

// ---- bad input: message and position ----

struct BadInput {
  const char* name;
  std::string (*run)(std::string_view);
  const char* input;
  const char* error;
};

const std::vector<BadInput>& bad_inputs() {
  static const std::vector<BadInput> cases = {
    {"wrong spelling of a support condition type", parse_error<SupportCondition>, "{\"condition_type\":\"fixed\"}",
     "unknown variant `fixed`, expected one of `Fixed`, `Free`, `Spring`, `StiffnessCurve`, `Positive-only`, `PositiveOnly`, `Negative-only`, `NegativeOnly` at line 1 column 25"},
    {"lower-case force component", parse_error<StiffnessCurveConfig>, "{\"depends_on\":\"vy\",\"points\":[[0,1000],[10,2000]]}",
     "unknown variant `vy`, expected one of `N`, `Vy`, `Vz`, `Mx`, `My`, `Mz`, `Fx`, `Fy`, `Fz` at line 1 column 49"},
    {"material without density", parse_error<Material>, "{\"id\":2,\"name\":\"S235\",\"e_mod\":1,\"g_mod\":1,\"yield_stress\":1}",
     "missing field `density` at line 1 column 59"},
    {"section without material", parse_error<Section>, "{\"id\":1,\"name\":\"a\",\"i_y\":1,\"i_z\":1,\"j\":1,\"area\":1}",
     "missing field `material` at line 1 column 50"},
    {"hinge without hinge_type", parse_error<MemberHinge>, "{\"id\":1}",
     "missing field `hinge_type` at line 1 column 8"},
    {"support without rotation conditions", parse_error<NodalSupport>, "{\"id\":1,\"displacement_conditions\":{}}",
     "missing field `rotation_conditions` at line 1 column 37"},
    {"imperfection case without translations", parse_error<ImperfectionCase>, "{\"imperfection_case_id\":1,\"load_combinations\":[],\"rotation_imperfections\":[]}",
     "missing field `translation_imperfections` at line 1 column 77"},
    {"support id given twice", parse_error<NodalSupport>, "{\"id\":1,\"id\":2,\"displacement_conditions\":{},\"rotation_conditions\":{}}",
     "duplicate field `id` at line 1 column 12"},
    {"null hinge type", parse_error<MemberHinge>, "{\"id\":1,\"hinge_type\":null}",
     "invalid type: null, expected a string at line 1 column 25"},
    {"null for a required constant", parse_error<Section>, "{\"id\":1,\"name\":\"a\",\"material\":2,\"i_y\":null,\"i_z\":1,\"j\":1,\"area\":1}",
     "invalid type: null, expected f64 at line 1 column 42"},
    {"section of nine elements", parse_error<Section>, "[1,\"a\",2,null,null,1,1,1,1]",
     "invalid length 9, expected struct Section with 20 elements at line 1 column 27"},
    {"shape command of seven elements", parse_error<ShapeCommand>, "[\"lineTo\",1,2,null,null,null,null]",
     "invalid length 7, expected struct ShapeCommand with 8 elements at line 1 column 34"},
    {"material of five elements", parse_error<Material>, "[2,\"S235\",1,1,1]",
     "invalid length 5, expected struct Material with 6 elements at line 1 column 16"},
    {"hinge of fourteen elements", parse_error<MemberHinge>, "[1,\"p\",null,null,null,null,null,null,null,null,null,null,null,null]",
     "invalid length 14, expected struct MemberHinge with 22 elements at line 1 column 67"},
    {"hinge of eight elements names the field after the warping release", parse_error<MemberHinge>, "[1,\"p\",null,null,null,null,null,null]",
     "invalid length 9, expected struct MemberHinge with 22 elements at line 1 column 37"},
    {"support of three elements", parse_error<NodalSupport>, "[1,null,{}]",
     "invalid length 3, expected struct NodalSupport with 5 elements at line 1 column 11"},
    {"condition of one element", parse_error<SupportCondition>, "[\"Fixed\"]",
     "invalid length 1, expected struct SupportCondition with 3 elements at line 1 column 9"},
    {"u32 map key that is not a number", parse_error<MaterialsById>, "{\"a\":[2,\"S235\",1,1,1,1]}",
     "invalid value: expected key to be a number in quotes at line 1 column 4"},
    {"curve given as text", parse_error<SupportCondition>, "{\"condition_type\":\"Spring\",\"stiffness_curve\":\"linear\"}",
     "invalid type: string \"linear\", expected struct Full at line 1 column 53"},
    {"curve given as a number", parse_error<StiffnessCurveConfig>, "7",
     "invalid type: integer `7`, expected struct Full at line 1 column 1"},
    {"curve without depends_on", parse_error<SupportCondition>, "{\"condition_type\":\"Spring\",\"stiffness_curve\":{\"points\":[[0,1000]]}}",
     "missing field `depends_on` at line 1 column 66"},
    {"curve without points", parse_error<StiffnessCurveConfig>, "{\"depends_on\":\"N\"}",
     "missing field `points` at line 1 column 18"},
    {"point of one element", parse_error<StiffnessCurveConfig>, "[[0,1000],[5]]",
     "invalid length 1, expected an array of length 2 at line 1 column 14"},
    {"empty point", parse_error<StiffnessCurveConfig>, "[[]]",
     "invalid length 0, expected an array of length 2 at line 1 column 4"},
    {"point of three elements", parse_error<StiffnessCurveConfig>, "[[1,2,3]]",
     "invalid length 3, expected fewer elements in array at line 1 column 9"},
    {"point that is not an array", parse_error<StiffnessCurveConfig>, "[[0,1000],5]",
     "invalid type: integer `5`, expected an array of length 2 at line 1 column 12"},
    {"point element that is not a number", parse_error<StiffnessCurveConfig>, "[[0,\"a\"]]",
     "invalid type: string \"a\", expected f64 at line 1 column 9"},
    {"null point element", parse_error<StiffnessCurveConfig>, "[[null,1]]",
     "invalid type: null, expected f64 at line 1 column 10"},
    {"points that are not an array", parse_error<StiffnessCurveConfig>, "{\"depends_on\":\"N\",\"points\":5}",
     "invalid type: integer `5`, expected a sequence at line 1 column 29"},
    {"depends_on a number", parse_error<StiffnessCurveConfig>, "{\"depends_on\":1,\"points\":[]}",
     "invalid type: integer `1`, expected string or map at line 1 column 28"},
    {"depends_on an empty object", parse_error<StiffnessCurveConfig>, "{\"depends_on\":{},\"points\":[]}",
     "invalid value: map, expected map with a single key at line 1 column 29"},
    {"depends_on an object of two keys", parse_error<StiffnessCurveConfig>, "{\"depends_on\":{\"N\":null,\"My\":null},\"points\":[]}",
     "invalid value: map, expected map with a single key at line 1 column 47"},
    {"depends_on an object whose value is not null", parse_error<StiffnessCurveConfig>, "{\"depends_on\":{\"My\":5},\"points\":[]}",
     "invalid type: integer `5`, expected unit at line 1 column 35"},
    {"depends_on an object with an unknown key", parse_error<StiffnessCurveConfig>, "{\"depends_on\":{\"Q\":null},\"points\":[]}",
     "unknown variant `Q`, expected one of `N`, `Vy`, `Vz`, `Mx`, `My`, `Mz`, `Fx`, `Fy`, `Fz` at line 1 column 37"},
    {"axis of two numbers", parse_error<RotationImperfection>, "{\"memberset_ids\":[1],\"magnitude\":1,\"axis\":[0,1]}",
     "invalid length 2, expected a tuple of size 3 at line 1 column 47"},
    {"axis of four numbers", parse_error<TranslationImperfection>, "{\"memberset_ids\":[1],\"magnitude\":1,\"axis\":[0,1,0,1]}",
     "trailing characters at line 1 column 50"},
    {"negative member-set id", parse_error<RotationImperfection>, "{\"memberset_ids\":[-1],\"magnitude\":1,\"axis\":[0,0,1]}",
     "invalid value: integer `-1`, expected usize at line 1 column 20"},
    {"fractional member-set id", parse_error<RotationImperfection>, "{\"memberset_ids\":[1.5],\"magnitude\":1,\"axis\":[0,0,1]}",
     "invalid type: floating point `1.5`, expected usize at line 1 column 21"},
    {"combination id beyond u32", parse_error<ImperfectionCase>, "{\"imperfection_case_id\":1,\"load_combinations\":[4294967296],\"rotation_imperfections\":[],\"translation_imperfections\":[]}",
     "invalid value: integer `4294967296`, expected u32 at line 1 column 57"},
    {"section given as a number", parse_error<Section>, "5",
     "invalid type: integer `5`, expected struct Section at line 1 column 1"},
  };
  return cases;
}

class BadInputs : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BadInputs, FailWithMessageAndPosition) {
  const auto& c = bad_inputs()[GetParam()];
  SCOPED_TRACE(c.name);
  EXPECT_EQ(c.run(c.input), c.error);
}

INSTANTIATE_TEST_SUITE_P(RecordsA, BadInputs, ::testing::Range<std::size_t>(0, bad_inputs().size()));

TEST(RecordsA, ErrorPositionCountsLinesAndColumns) {
  const char* text = "{\n  \"id\": 4,\n  \"displacement_conditions\": {\"X\": {\"condition_type\": \"fixed\"}},\n"
                     "  \"rotation_conditions\": {}\n}";
  std::string e = parse_error<NodalSupport>(text);
  EXPECT_EQ(e.substr(e.find(" at line")), " at line 3 column 61");
}

// ---- reading into the types the analysis uses ----

TEST(RecordsA, SupportConditionSpellings) {
  struct Case {
    const char* spelling;
    SupportConditionType type;
    const char* written;
  };
  const Case cases[] = {
      {"\"Fixed\"", SupportConditionType::Fixed, "Fixed"},
      {"\"Free\"", SupportConditionType::Free, "Free"},
      {"\"Spring\"", SupportConditionType::Spring, "Spring"},
      {"\"StiffnessCurve\"", SupportConditionType::Spring, "Spring"},
      {"\"PositiveOnly\"", SupportConditionType::PositiveOnly, "PositiveOnly"},
      {"\"Positive-only\"", SupportConditionType::PositiveOnly, "PositiveOnly"},
      {"\"NegativeOnly\"", SupportConditionType::NegativeOnly, "NegativeOnly"},
      {"\"Negative-only\"", SupportConditionType::NegativeOnly, "NegativeOnly"},
      {"{\"Negative-only\":null}", SupportConditionType::NegativeOnly, "NegativeOnly"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.spelling);
    auto cond = read<SupportCondition>(std::string("{\"condition_type\":") + c.spelling + "}");
    EXPECT_EQ(cond.condition_type, c.type);
    EXPECT_EQ(to_string(cond.condition_type), c.written);
  }
}

TEST(RecordsA, ForceComponentPositionsAndKinds) {
  struct Case {
    const char* spelling;
    ForceComponent c;
    std::size_t position;
    bool force;
  };
  const Case cases[] = {
      {"N", ForceComponent::N, 0, true},     {"Vy", ForceComponent::Vy, 1, true},
      {"Vz", ForceComponent::Vz, 2, true},   {"Mx", ForceComponent::Mx, 3, false},
      {"My", ForceComponent::My, 4, false},  {"Mz", ForceComponent::Mz, 5, false},
      {"Fx", ForceComponent::Fx, 0, true},   {"Fy", ForceComponent::Fy, 1, true},
      {"Fz", ForceComponent::Fz, 2, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.spelling);
    auto curve = read<StiffnessCurveConfig>(std::string(R"({"depends_on":")") + c.spelling + R"(","points":[]})");
    EXPECT_EQ(curve.depends_on, c.c);
    EXPECT_EQ(index(c.c), c.position);
    EXPECT_EQ(is_force(c.c), c.force);
    EXPECT_EQ(to_string(c.c), c.spelling);
  }
}

TEST(RecordsA, SectionOptionalConstantsAreAbsentUnlessGiven) {
  auto s = read<Section>(R"([1,"a",2,null,null,1,2,3,4,null,5e-6])");
  EXPECT_EQ(s.i_w, 5e-6);
  EXPECT_FALSE(s.y_s || s.z_s || s.wagner_coeff || s.a_sy || s.a_sz || s.i_yz || s.principal_axis_angle ||
               s.centroid_y || s.centroid_z);
}

// ---- stiffness curves ----

TEST(StiffnessCurve, Validation) {
  struct Case {
    const char* curve;
    const char* error;  // "" when the curve is valid
  };
  const Case cases[] = {
      {"[]", "Support 3 X StiffnessCurve must have at least 2 points (got 0)."},
      {R"({"depends_on":"Vy","points":[[0,1000]]})", "Support 3 X StiffnessCurve must have at least 2 points (got 1)."},
      {"[[0,1000],[10,0]]", "Support 3 X StiffnessCurve point 1 has non-positive stiffness (0)."},
      {"[[0,-1],[10,0]]", "Support 3 X StiffnessCurve point 0 has non-positive stiffness (-1)."},
      {"[[0,1000],[1,-5.5]]", "Support 3 X StiffnessCurve point 1 has non-positive stiffness (-5.5)."},
      {"[[0,1000],[1,-0.0]]", "Support 3 X StiffnessCurve point 1 has non-positive stiffness (-0)."},
      // Stiffness is checked over all points before the order is.
      {"[[10,1000],[0,-2000]]", "Support 3 X StiffnessCurve point 1 has non-positive stiffness (-2000)."},
      {"[[10,1000],[0,2000]]",
       "Support 3 X StiffnessCurve points must be sorted ascending (point 1 value=0 < point 0 value=10)."},
      {"[[0,1000],[0.5,2000],[0.25,1]]",
       "Support 3 X StiffnessCurve points must be sorted ascending (point 2 value=0.25 < point 1 value=0.5)."},
      {"[[1e20,1],[1e-7,1]]",
       "Support 3 X StiffnessCurve points must be sorted ascending (point 1 value=0.0000001 < point 0 "
       "value=100000000000000000000)."},
      {"[[0,1000],[0,2000],[5,3000]]", ""},
      {"[[-5,1],[10,2]]", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.curve);
    auto v = read<StiffnessCurveConfig>(c.curve).validate("Support 3", "X");
    if (*c.error == '\0') {
      EXPECT_TRUE(v.has_value()) << v.error();
    } else {
      ASSERT_FALSE(v.has_value());
      EXPECT_EQ(v.error(), c.error);
    }
  }
}

TEST(StiffnessCurve, PiecewiseLinearAndFlatBeyondBothEnds) {
  const auto two = curve({{0, 1000}, {10, 2000}});
  const auto repeated = curve({{0, 1000}, {0, 2000}, {5, 3000}});
  const auto one = curve({{4, 700}});
  const auto unsorted = curve({{0, 100}, {10, 200}, {5, 300}, {20, 400}});
  struct Case {
    const StiffnessCurveConfig* c;
    double x;
    double k;
  };
  const Case cases[] = {
      {&two, -3, 1000},        {&two, 0, 1000},        {&two, 2.5, 1250},      {&two, 10, 2000},
      {&two, 50, 2000},        {&repeated, 0, 1000},   {&repeated, 2.5, 2500}, {&repeated, 5, 3000},
      {&one, -1, 700},         {&one, 4, 700},         {&one, 9, 700},
      // Unsorted points: the first segment whose end values bracket the force.
      {&unsorted, 7.5, 175},   {&unsorted, 12, 300 + 7.0 / 15.0 * 100},
      // A NaN force is bracketed by nothing: the last stiffness.
      {&two, std::numeric_limits<double>::quiet_NaN(), 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_DOUBLE_EQ(c.c->interpolate(c.x), c.k);
  }
}

TEST(StiffnessCurve, EmptyCurveIsNeverReadOutOfBounds) {
  EXPECT_THROW(curve({}).interpolate(1.0), FatalFault);
}

TEST(StiffnessCurve, NormalizeScalesValuesByForceOrMomentFactor) {
  auto f = curve({{2, 10}, {4, 20}}, ForceComponent::Fy);
  f.normalize(1000, 1, 1e6);
  EXPECT_EQ(f.points, (std::vector<CurvePoint>{{2000, 1e7}, {4000, 2e7}}));
  auto m = curve({{2, 10}}, ForceComponent::Mz);
  m.normalize(1000, 3, 0.5);
  EXPECT_EQ(m.points, (std::vector<CurvePoint>{{6, 5}}));
}

// ---- hinges ----

TEST(MemberHinge, CurvesAndReleasesByEndDof) {
  auto h = read<MemberHinge>(
      R"({"id":5,"hinge_type":"t","translational_release_vy":2,"rotational_release_warp":0,)"
      R"("stiffness_curve_my":{"depends_on":"My","points":[[0,100],[10,200]]}})");
  EXPECT_TRUE(h.has_curve());
  EXPECT_TRUE(h.curve_for_dof(HingeDof::My).has_value());
  for (HingeDof d : {HingeDof::Vx, HingeDof::Vy, HingeDof::Vz, HingeDof::Mx, HingeDof::Mz, HingeDof::Warp})
    EXPECT_FALSE(h.curve_for_dof(d).has_value());
  EXPECT_EQ(h.release_for_dof(HingeDof::Vy), 2.0);
  EXPECT_EQ(h.release_for_dof(HingeDof::Warp), 0.0);
  EXPECT_FALSE(h.release_for_dof(HingeDof::Mz).has_value());
  EXPECT_FALSE(read<MemberHinge>(R"({"id":1,"hinge_type":"t"})").has_curve());

  // The curve is evaluated at the magnitude of its component of the end forces.
  auto k = h.curve_stiffness(HingeDof::My, {1, 2, 3, 4, -7.5, 6});
  ASSERT_TRUE(k.has_value()) << k.error();
  EXPECT_DOUBLE_EQ(*k, 175.0);
}

TEST(MemberHinge, EmptyOrMissingCurveGivesMessageNamingTheHinge) {
  auto h = read<MemberHinge>(R"({"id":12,"hinge_type":"t","stiffness_curve_vx":[]})");
  EXPECT_TRUE(h.has_curve());
  const std::array<double, 6> forces{100, 0, 0, 0, 0, 0};
  auto empty = h.curve_stiffness(HingeDof::Vx, forces);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error(),
            "Member hinge 12 stiffness_curve_vx has no points: a stiffness curve needs at least one (value, "
            "stiffness) point to give the spring stiffness at the end force.");
  auto none = h.curve_stiffness(HingeDof::Mz, forces);
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error(), "Member hinge 12 has no stiffness curve for stiffness_curve_mz.");
  auto warp = h.curve_stiffness(HingeDof::Warp, forces);
  ASSERT_FALSE(warp.has_value());
  EXPECT_EQ(warp.error(), "Member hinge 12 has no stiffness curve for warping.");
}

// ---- unit conversion helpers beside the records ----

TEST(RecordsA, SupportConditionUnitsByKindOfDof) {
  // kN and mm: F = 1000, L = 0.001.
  const double L = 0.001, F = 1000;
  auto cond = [] {
    return read<SupportCondition>(
        R"({"condition_type":"Spring","stiffness":3,"stiffness_curve":{"depends_on":"Mz","points":[[2,5]]}})");
  };
  auto t = cond();
  t.normalize_translation_units(L, F);
  EXPECT_DOUBLE_EQ(*t.stiffness, 3e6);
  EXPECT_DOUBLE_EQ(t.stiffness_curve->points[0].value, 2.0);  // kN*mm = N*m
  EXPECT_DOUBLE_EQ(t.stiffness_curve->points[0].stiffness, 5e6);
  auto r = cond();
  r.normalize_rotation_units(L, F);
  EXPECT_DOUBLE_EQ(*r.stiffness, 3.0);
  EXPECT_DOUBLE_EQ(r.stiffness_curve->points[0].stiffness, 5.0);
  auto w = cond();
  w.normalize_warping_units(L, F);
  // A bimoment per unit rate of twist: kN·mm³ = 1e-6 N·m³.
  EXPECT_DOUBLE_EQ(*w.stiffness, 3e-6);
  EXPECT_DOUBLE_EQ(w.stiffness_curve->points[0].stiffness, 5e-6);
}

TEST(RecordsA, ShapeCommandScalesOnlyPresentCoordinates) {
  auto p = read<ShapePath>(R"({"id":1,"name":"o","shape_commands":[["arcTo",1,2,3,null,4,5,6]]})");
  p.normalize_units(0.001);
  const auto& c = p.shape_commands[0];
  EXPECT_DOUBLE_EQ(*c.y, 0.001);
  EXPECT_DOUBLE_EQ(*c.r, 0.003);
  EXPECT_FALSE(c.control_y1.has_value());
  EXPECT_DOUBLE_EQ(*c.control_z2, 0.006);
}

// ---- lookup maps ----

TEST(Lookup, LaterRecordWithOneIdIsFound) {
  std::vector<Material> materials = {{1, "first", 1, 1, 1, 1}, {2, "other", 2, 2, 2, 2}, {1, "later", 3, 3, 3, 3}};
  std::vector<Section> sections(2);
  sections[0].id = 7;
  sections[0].name = "a";
  sections[1].id = 7;
  sections[1].name = "b";
  std::optional<std::vector<MemberHinge>> hinges(std::vector<MemberHinge>(2));
  (*hinges)[0].id = 3;
  (*hinges)[0].hinge_type = "early";
  (*hinges)[1].id = 3;
  (*hinges)[1].hinge_type = "late";
  std::vector<NodalSupport> supports(2);
  supports[0].id = 9;
  supports[1].id = 9;
  supports[1].classification = "late";

  const AssemblyContext ctx = build_lookup_maps(materials, sections, hinges, supports);
  ASSERT_NE(ctx.material(1), nullptr);
  EXPECT_EQ(ctx.material(1), &materials[2]);
  EXPECT_EQ(ctx.material(2), &materials[1]);
  EXPECT_EQ(ctx.material(4), nullptr);
  EXPECT_EQ(ctx.section(7), &sections[1]);
  EXPECT_EQ(ctx.member_hinge(3), &(*hinges)[1]);
  EXPECT_EQ(ctx.member_hinge(std::optional<std::uint32_t>{}), nullptr);
  EXPECT_EQ(ctx.nodal_support(9), &supports[1]);
  EXPECT_EQ(ctx.materials.size(), 2u);
}

TEST(Lookup, AbsentHingesAndEmptySupportsGiveEmptyMaps) {
  const AssemblyContext ctx = build_lookup_maps({}, {}, nullptr, {});
  EXPECT_TRUE(ctx.member_hinges.empty());
  EXPECT_TRUE(ctx.nodal_supports.empty());
  EXPECT_EQ(ctx.member_hinge(std::optional<std::uint32_t>{1}), nullptr);
}

}  // namespace
