// The strict reader and the compact writer: syntax errors with their positions, the typed
// reading rules of records, enumerations and maps, and writing back in object form.
#include <gtest/gtest.h>

#include <tbb/global_control.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "models/json/record.h"
#include "models/json/value.h"
#include "models/members/memberset.h"
#include "models/varn/varn.h"
#include "model_compare.h"

namespace varn {
namespace {

template <class T>
std::string error_of(std::string_view text) {
  auto r = json::parse<T>(text);
  if (r.ok()) return "<ok> " + json::to_json(*r.value);
  return r.error.to_string();
}

template <class T>
std::string roundtrip(std::string_view text) {
  auto r = json::parse<T>(text);
  if (!r.ok()) return "<error> " + r.error.to_string();
  return json::to_json(*r.value);
}

struct Case {
  const char* input;
  const char* expected;
};

// Generic values: every syntax message of the reader, at the position where reading stopped.
class SyntaxErrors : public ::testing::TestWithParam<Case> {};

TEST_P(SyntaxErrors, MessageAndPosition) {
  EXPECT_EQ(error_of<json::Value>(GetParam().input), GetParam().expected) << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Reader, SyntaxErrors,
    ::testing::Values(
        Case{"[1, 2", "EOF while parsing a list at line 1 column 5"},
        Case{"[", "EOF while parsing a list at line 1 column 1"},
        Case{"[1,", "EOF while parsing a value at line 1 column 3"},
        Case{"{\"a\": 1", "EOF while parsing an object at line 1 column 7"},
        Case{"{", "EOF while parsing an object at line 1 column 1"},
        Case{"\"abc", "EOF while parsing a string at line 1 column 4"},
        Case{"", "EOF while parsing a value at line 1 column 0"},
        Case{"   \n  ", "EOF while parsing a value at line 2 column 2"},
        Case{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        Case{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        Case{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        Case{"nul", "EOF while parsing a value at line 1 column 3"},
        Case{"nulx", "expected ident at line 1 column 4"},
        Case{"tru", "EOF while parsing a value at line 1 column 3"},
        Case{"fals3", "expected ident at line 1 column 5"},
        Case{"x", "expected value at line 1 column 1"},
        Case{"[1,\n ?]", "expected value at line 2 column 2"},
        Case{"\"a\\qb\"", "invalid escape at line 1 column 4"},
        Case{"\"\\u12G4\"", "invalid escape at line 1 column 6"},
        Case{"01", "invalid number at line 1 column 2"},
        Case{"-", "EOF while parsing a value at line 1 column 1"},
        Case{"-a", "invalid number at line 1 column 2"},
        Case{"1.", "EOF while parsing a value at line 1 column 2"},
        Case{"1.e5", "invalid number at line 1 column 3"},
        Case{"1e+", "EOF while parsing a value at line 1 column 3"},
        Case{"1e400", "number out of range at line 1 column 5"},
        Case{"-1e400", "number out of range at line 1 column 6"},
        Case{"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        Case{"{1: 2}", "key must be a string at line 1 column 2"},
        Case{"[1, 2,]", "trailing comma at line 1 column 7"},
        Case{"{\"a\": 1,}", "trailing comma at line 1 column 9"},
        Case{"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        Case{"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        Case{"\"\\uD800x\"", "unexpected end of hex escape at line 1 column 8"},
        Case{"\"\\uD800\\x\"", "unexpected end of hex escape at line 1 column 9"},
        Case{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        Case{"\"\xff\"", "invalid unicode code point at line 1 column 2"},
        Case{"[1] x", "trailing characters at line 1 column 5"},
        Case{"{}\n\n  ]", "trailing characters at line 3 column 3"}));

TEST(Reader, NestingIsLimitedTo128Levels) {
  std::string ok(127, '[');
  ok += std::string(127, ']');
  EXPECT_EQ(roundtrip<json::Value>(ok), ok);
  std::string deep(128, '[');
  deep += std::string(128, ']');
  EXPECT_EQ(error_of<json::Value>(deep), "recursion limit exceeded at line 1 column 128");
  // A million open brackets neither exhaust the stack nor take long.
  std::string huge(1000000, '[');
  EXPECT_EQ(error_of<json::Value>(huge), "recursion limit exceeded at line 1 column 128");
}

TEST(Reader, NestingLimitHoldsInsideSkippedValues) {
  // An unknown key of a record is skipped, but its value is still bounded in depth.
  std::string deep = "{\"id\":1,\"X\":0,\"Y\":0,\"Z\":0,\"comment\":";
  deep += std::string(200, '[');
  deep += std::string(200, ']');
  deep += "}";
  EXPECT_EQ(error_of<Node>(deep).rfind("recursion limit exceeded", 0), 0u);
  std::string fine = "{\"id\":1,\"X\":0,\"Y\":0,\"Z\":0,\"comment\":[[[{\"a\":[1,{\"b\":null}]}]]]}";
  EXPECT_EQ(roundtrip<Node>(fine), "{\"id\":1,\"X\":0.0,\"Y\":0.0,\"Z\":0.0,\"nodal_support\":null}");
}

TEST(Reader, StringsWithEveryEscapeAndSurrogatePairs) {
  auto r = json::parse<std::string>(R"("q\"b\\s\/b\bf\fn\nr\rt\tu\u00e9\ud83d\ude00")");
  ASSERT_TRUE(r.ok()) << r.error.to_string();
  EXPECT_EQ(*r.value, "q\"b\\s/b\bf\fn\nr\rt\tu\xc3\xa9\xf0\x9f\x98\x80");
  // Written back with the escapes JSON requires; other characters as they are.
  EXPECT_EQ(json::to_json(*r.value), "\"q\\\"b\\\\s/b\\bf\\fn\\nr\\rt\\tu\xc3\xa9\xf0\x9f\x98\x80\"");
  EXPECT_EQ(json::to_json(std::string("\x01\x1f")), "\"\\u0001\\u001f\"");
}

TEST(Reader, NumbersInFloatFields) {
  struct NumberCase {
    const char* text;
    double value;
  };
  for (const auto& c : {NumberCase{"0", 0.0}, NumberCase{"-0", 0.0}, NumberCase{"1.5e3", 1500.0},
                        NumberCase{"-2.5E-3", -0.0025}, NumberCase{"5e-324", 5e-324}, NumberCase{"1e-400", 0.0},
                        NumberCase{"18446744073709551616", 18446744073709551616.0},
                        NumberCase{"0.30000000000000004", 0.30000000000000004}}) {
    auto r = json::parse<double>(c.text);
    ASSERT_TRUE(r.ok()) << c.text << ": " << r.error.to_string();
    EXPECT_EQ(*r.value, c.value) << c.text;
  }
}

struct FloatText {
  double value;
  const char* text;
};

TEST(Writer, ShortestRoundTripFloatsWithFractionPart) {
  for (const auto& c : {FloatText{1.0, "1.0"}, FloatText{-0.0, "-0.0"}, FloatText{0.1, "0.1"}, FloatText{100.0, "100.0"},
                        FloatText{0.30000000000000004, "0.30000000000000004"}, FloatText{1e21, "1e+21"},
                        FloatText{1.5e-7, "1.5e-07"}, FloatText{5e-324, "5e-324"},
                        FloatText{std::numeric_limits<double>::quiet_NaN(), "null"},
                        FloatText{std::numeric_limits<double>::infinity(), "null"},
                        FloatText{-std::numeric_limits<double>::infinity(), "null"}}) {
    EXPECT_EQ(json::to_json(c.value), c.text);
    if (std::isfinite(c.value)) {
      auto back = json::parse<double>(c.text);
      ASSERT_TRUE(back.ok());
      EXPECT_EQ(*back.value, c.value);
    }
  }
}

// Typed reading: unsigned ids, floats, booleans, strings, enumerations and records.
class TypedErrors : public ::testing::TestWithParam<Case> {};

TEST_P(TypedErrors, MessageAndPosition) {
  EXPECT_EQ(error_of<Member>(GetParam().input), GetParam().expected) << GetParam().input;
}

#define NODE1 "{\"id\":1,\"X\":0,\"Y\":0,\"Z\":0}"
#define NODE2 "{\"id\":2,\"X\":3,\"Y\":0,\"Z\":0}"
#define MEMBER_HEAD "{\"id\":7,\"start_node\":" NODE1 ",\"end_node\":" NODE2 ","
#define MEMBER_TAIL "\"rotation_angle\":0,\"classification\":\"beam\",\"weight\":1,\"member_type\":\"Normal\"}"

INSTANTIATE_TEST_SUITE_P(
    Records, TypedErrors,
    ::testing::Values(
        Case{"5", "invalid type: integer `5`, expected struct Member at line 1 column 1"},
        Case{"null", "invalid type: null, expected struct Member at line 1 column 4"},
        Case{"\"m\"", "invalid type: string \"m\", expected struct Member at line 1 column 3"},
        Case{"{\"id\":-1}", "invalid value: integer `-1`, expected u32 at line 1 column 8"},
        Case{"{\"id\":4294967296}", "invalid value: integer `4294967296`, expected u32 at line 1 column 16"},
        Case{"{\"id\":1.5}", "invalid type: floating point `1.5`, expected u32 at line 1 column 9"},
        Case{"{\"id\":1e2}", "invalid type: floating point `100.0`, expected u32 at line 1 column 9"},
        Case{"{\"id\":true}", "invalid type: boolean `true`, expected u32 at line 1 column 10"},
        Case{"{\"id\":[1]}", "invalid type: sequence, expected u32 at line 1 column 6"},
        Case{"{\"id\":{}}", "invalid type: map, expected u32 at line 1 column 6"},
        Case{"{\"id\":1,\"id\":2}", "duplicate field `id` at line 1 column 12"},
        Case{"{\"id\":1}", "missing field `start_node` at line 1 column 8"},
        Case{MEMBER_HEAD "\"rotation_angle\":0}", "missing field `classification` at line 1 column 105"},
        Case{MEMBER_HEAD "\"rotation_angle\":\"0\"}", "invalid type: string \"0\", expected f64 at line 1 column 106"},
        Case{MEMBER_HEAD "\"rotation_angle\":null}", "invalid type: null, expected f64 at line 1 column 107"},
        Case{MEMBER_HEAD "\"mirror\":null," MEMBER_TAIL,
             "invalid type: null, expected a boolean at line 1 column 99"},
        Case{MEMBER_HEAD "\"classification\":null," MEMBER_TAIL,
             "invalid type: null, expected a string at line 1 column 107"},
        Case{"{\"id\":7,\"start_node\":{\"id\":1,\"x\":0,\"Y\":0,\"Z\":0}}",
             "missing field `X` at line 1 column 47"},
        Case{"{\"id\":7,\"start_node\":[1,0,0,0]}",
             "invalid length 4, expected struct Node with 5 elements at line 1 column 30"},
        Case{"{\"id\":7,\"start_node\":[1,0,0,0,null,6]}", "trailing characters at line 1 column 36"},
        Case{"{\"id\":7,\"start_node\":[1,0,0,0,null,]}", "trailing comma at line 1 column 36"},
        Case{MEMBER_HEAD "\"member_type\":\"truss\"}",
             "unknown variant `truss`, expected one of `Normal`, `Truss`, `Tension`, `Compression`, `Rigid` at line 1 "
             "column 107"},
        Case{MEMBER_HEAD "\"member_type\":5}", "expected value at line 1 column 101"},
        Case{MEMBER_HEAD "\"member_type\":{\"Truss\":1}}",
             "invalid type: integer `1`, expected unit at line 1 column 110"},
        Case{MEMBER_HEAD "\"member_type\":{\"Truss\":null,\"Rigid\":null}}", "expected value at line 1 column 113"},
        Case{MEMBER_HEAD "\"member_type\":{7:null}}",
             "invalid type: integer `7`, expected variant identifier at line 1 column 102"},
        Case{"[7," NODE1 "," NODE2 ",null,0,null,null,\"c\",1,null,null,null]",
             "invalid length 12, expected struct Member with 14 elements at line 1 column 95"}));

TEST(Records, ObjectAndArrayFormsWriteBackInObjectFormInDeclarationOrder) {
  const std::string expected =
      "{\"id\":7,\"start_node\":{\"id\":1,\"X\":0.0,\"Y\":0.0,\"Z\":0.0,\"nodal_support\":null},\"end_node\":{\"id\":2,"
      "\"X\":3.0,\"Y\":0.0,\"Z\":0.0,\"nodal_support\":4},\"section\":null,\"rotation_angle\":0.0,\"start_hinge\":null,"
      "\"end_hinge\":2,\"classification\":\"beam\",\"weight\":1.5,\"chi\":null,\"reference_member\":null,\"reference_node\":"
      "null,\"member_type\":\"Truss\",\"mirror\":false}";
  // Keys in any order, unknown keys dropped, absent optional fields null, mirror defaulted.
  EXPECT_EQ(roundtrip<Member>("{\"member_type\":{\"Truss\":null},\"weight\":1.5,\"comment\":{\"by\":[\"x\"]},"
                              "\"classification\":\"beam\",\"end_hinge\":2,\"rotation_angle\":0,\"id\":7,\"section\":null,"
                              "\"end_node\":[2,3,0,0,4],\"start_node\":" NODE1 "}"),
            expected);
  // Thirteen elements: mirror takes its default.
  EXPECT_EQ(roundtrip<Member>("[7," NODE1 ",[2,3,0,0,4],null,0,null,2,\"beam\",1.5,null,null,null,\"Truss\"]"), expected);
  // Output reads back to the same text.
  EXPECT_EQ(roundtrip<Member>(expected), expected);
  // A member set: classification may be null there.
  EXPECT_EQ(roundtrip<MemberSet>("[3,null,2.5,null,[]]"), "{\"id\":3,\"l_y\":null,\"l_z\":2.5,\"classification\":null,\"members\":[]}");
}

TEST(Records, IdRange) {
  EXPECT_EQ(roundtrip<Node>("{\"id\":4294967295,\"X\":0,\"Y\":0,\"Z\":0}"),
            "{\"id\":4294967295,\"X\":0.0,\"Y\":0.0,\"Z\":0.0,\"nodal_support\":null}");
}

TEST(Records, FailedReadYieldsNothing) {
  auto r = json::parse<MemberSet>("{\"id\":1,\"members\":[" MEMBER_HEAD MEMBER_TAIL ",5]}");
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(r.value.has_value());
}

TEST(Maps, UnsignedKeysInQuotesAndTheLaterRepeatedKeyWins) {
  using M = std::map<std::uint32_t, double>;
  auto r = json::parse<M>("{\"12\":1,\"3\":2,\"12\":5}");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(json::to_json(*r.value), "{\"3\":2.0,\"12\":5.0}");
  EXPECT_EQ(error_of<M>("{\"a\":1}"), "invalid value: expected key to be a number in quotes at line 1 column 4");
  EXPECT_EQ(error_of<M>("{\"12a\":1}"), "expected `\"` at line 1 column 6");
  EXPECT_EQ(error_of<M>("{\"-1\":1}"), "invalid value: integer `-1`, expected u32 at line 1 column 5");
  EXPECT_EQ(error_of<M>("{\"1.5\":1}"), "invalid type: floating point `1.5`, expected u32 at line 1 column 6");
  EXPECT_EQ(error_of<M>("[1]"), "invalid type: sequence, expected a map at line 1 column 0");

  using O = json::InsertionOrderedMap<std::uint32_t, double>;
  auto o = json::parse<O>("{\"12\":1,\"3\":2,\"12\":5}");
  ASSERT_TRUE(o.ok());
  EXPECT_EQ(json::to_json(*o.value), "{\"12\":5.0,\"3\":2.0}");
}

TEST(Values, GenericValuesKeepNumbersAndTheLastRepeatedKeyAndWriteKeysInByteOrder) {
  EXPECT_EQ(roundtrip<json::Value>("{\"b\":1,\"a\":[true,false,null,-3,2.5,\"s\"],\"b\":{\"c\":18446744073709551615},\"B\":0}"),
            "{\"B\":0,\"a\":[true,false,null,-3,2.5,\"s\"],\"b\":{\"c\":18446744073709551615}}");
}

// ---- long sequences written in pieces on the pool ----

// Values whose shortest round-trip text has every length from one digit to seventeen, so that
// pieces end at every kind of number.
double varied(std::uint32_t k) {
  switch (k % 4) {
    case 0: return std::sin(0.37 * k) * 1e3;
    case 1: return static_cast<double>(k);
    case 2: return -1.0 / (k + 3);
    default: return k * 1e-9;
  }
}

NodeForces varied_forces(std::uint32_t k) {
  return NodeForces{varied(k), varied(k + 1), varied(k + 2), varied(k + 3), varied(k + 4), varied(k + 5), varied(k + 6)};
}

// A document of the shape a large analysis writes: a long member list, loads, and result sets
// of every member and node; names with escapes and non-ASCII text where strings are written.
VARN long_document(std::uint32_t members) {
  VARN v;
  v.member_sets.emplace_back();
  v.member_sets.back().id = 1;
  for (std::uint32_t id = 1; id <= members; ++id) {
    Member m;
    m.id = id;
    m.start_node = Node{id, varied(id), 0.5 * id, 3.0, id == 1 ? std::optional<std::uint32_t>(1) : std::nullopt};
    m.end_node = Node{id + 1, varied(id + 1), 0.5 * (id + 1), 3.0, std::nullopt};
    m.section = 1;
    m.classification = id % 5 == 0 ? "Stütze \"C\"\n" : "beam";
    m.member_type = id % 3 == 0 ? MemberType::Truss : MemberType::Normal;
    v.member_sets.back().members.push_back(m);
  }
  ResultsBundle bundle;
  for (std::uint32_t lc = 1; lc <= 3; ++lc) {
    Results r;
    r.name = "LC" + std::to_string(lc) + " Eigengewicht ä";
    r.result_type = ResultType::loadcase(lc);
    for (std::uint32_t n = 1; n <= members + 1; ++n) {
      r.displacement_nodes[n] = NodeDisplacement{varied(n * lc), varied(n + lc), 0.0, varied(n), 1e-7, -2.5, 0.0};
    }
    r.reaction_nodes[1] = ReactionNodeResult{varied_forces(lc), NodeLocation{0.0, 0.5, 3.0}, 1};
    for (std::uint32_t id = 1; id <= members; ++id) {
      MemberResult mr;
      mr.start_node_forces = varied_forces(id * lc);
      mr.end_node_forces = varied_forces(id * lc + 7);
      mr.local_minimums = varied_forces(id);
      if (id % 3 != 0) {
        for (std::uint32_t s = 1; s <= id % 4; ++s) mr.section_forces.push_back(SectionForce{0.25 * s, varied_forces(s)});
      }
      r.member_results[id] = mr;
    }
    r.summary = ResultsSummary{r.displacement_nodes.size(), r.reaction_nodes.size(), r.member_results.size()};
    bundle.loadcases[r.name] = std::move(r);
  }
  v.results = std::move(bundle);
  return v;
}

// The text of `value` written element after element on the calling thread.
template <class T>
std::string serial_text(const T& value) {
  const json::PieceBytesScope serial(0);
  return json::to_json(value);
}

// Where two texts part, with a little of each from there: a document of megabytes is not
// worth printing whole.
std::string first_difference(const std::string& a, const std::string& b) {
  if (a == b) return {};
  const std::size_t common = std::min(a.size(), b.size());
  const auto at = static_cast<std::size_t>(std::mismatch(a.begin(), a.begin() + common, b.begin()).first - a.begin());
  return "differ from byte " + std::to_string(at) + " of " + std::to_string(a.size()) + "/" +
         std::to_string(b.size()) + ": \"" + a.substr(at, 40) + "\" vs \"" + b.substr(at, 40) + "\"";
}

// Every piece size from one element per piece up to the default, on one thread and on all.
template <class T>
void expect_pieces_give_serial_text(const T& value, const std::string& what) {
  const std::string serial = serial_text(value);
  const std::size_t all = std::max(2u, std::thread::hardware_concurrency());
  for (std::size_t threads : {std::size_t{1}, std::size_t{2}, all}) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
    for (std::size_t bytes : {std::size_t{1}, std::size_t{100}, std::size_t{4096}}) {
      const json::PieceBytesScope pieces(bytes);
      EXPECT_EQ(first_difference(json::to_json(value), serial), "")
          << what << ", " << threads << " threads, " << bytes << " bytes a piece";
    }
    EXPECT_EQ(first_difference(json::to_json(value), serial), "") << what << ", " << threads << " threads, default pieces";
  }
}

TEST(WriterPieces, EveryLengthOfSequenceAndMapAroundThePieceBoundaries) {
  // Lengths 0 to 9 cover no element, the first alone, a rest too short for two pieces, and
  // rests that leave a short last piece.
  for (std::uint32_t n = 0; n < 10; ++n) {
    std::vector<double> list;
    std::map<std::uint32_t, NodeForces> by_id;
    std::map<std::string, std::vector<double>> by_name;
    for (std::uint32_t k = 0; k < n; ++k) {
      list.push_back(varied(k));
      by_id[3 * k + 1] = varied_forces(k);
      std::string key = "n";  // appended, not "n" + ...: g++ 12 warns falsely on that (-Wrestrict)
      key += std::to_string(k);
      by_name[key] = std::vector<double>(k, varied(k));
    }
    expect_pieces_give_serial_text(list, "list of " + std::to_string(n));
    expect_pieces_give_serial_text(by_id, "map of " + std::to_string(n));
    expect_pieces_give_serial_text(by_name, "named map of " + std::to_string(n));
  }
  const json::PieceBytesScope pieces(1);
  EXPECT_EQ(json::to_json(std::vector<double>{1.0, 0.5, -2.0}), "[1.0,0.5,-2.0]");
  EXPECT_EQ(json::to_json(std::vector<double>{}), "[]");
}

TEST(WriterPieces, LongDocumentGivesTheSerialTextOnEveryThreadCount) {
  const VARN doc = long_document(3000);
  const std::string serial = serial_text(doc);
  // The plain writer's text reads back to the same document: the reference is itself right.
  auto back = VARN::from_json(serial);
  ASSERT_TRUE(back.ok()) << back.error.to_string();
  EXPECT_EQ(back.value->results->loadcases.at("LC2 Eigengewicht ä").member_results.at(2999).start_node_forces.fx,
            doc.results->loadcases.at("LC2 Eigengewicht ä").member_results.at(2999).start_node_forces.fx);
  expect_pieces_give_serial_text(doc, "long document");
}

// The long document with every name in plain ASCII.
VARN ascii_long_document(std::uint32_t members) {
  VARN v = long_document(members);
  for (Member& m : v.member_sets.back().members) {
    if (m.classification != "beam") m.classification = "column \"C\"\n";
  }
  decltype(v.results->loadcases) renamed;
  for (auto& [name, r] : v.results->loadcases) {
    r.name = name.substr(0, name.find(" \xC3"));
    std::string key = r.name;
    renamed[key] = std::move(r);
  }
  v.results->loadcases = std::move(renamed);
  return v;
}

// The text of `value` written with its long pieces kept apart.
json::PiecedText pieced_text(const VARN& value) {
  json::PiecedText text;
  const json::KeepPiecesScope keep(text);
  json::write_from(text.skeleton, value);
  return text;
}

// The pieced text flattens, and copies, to the plain writer's text; the copy tells ASCII text.
// `has_pieces`: whether the default pieces cut any sequence of the value.
void expect_pieced_text_is_serial_text(const VARN& value, bool ascii, bool has_pieces, const std::string& what) {
  const std::string serial = serial_text(value);
  const std::size_t all = std::max(2u, std::thread::hardware_concurrency());
  for (std::size_t threads : {std::size_t{1}, all}) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
    for (std::size_t bytes : {std::size_t{100}, std::size_t{0}}) {
      std::optional<json::PieceBytesScope> small_pieces;
      if (bytes != 0) small_pieces.emplace(bytes);
      const std::string where = what + ", " + std::to_string(threads) + " threads, " +
                                (bytes == 0 ? std::string("default pieces") : std::to_string(bytes) + " bytes a piece");
      const json::PiecedText text = pieced_text(value);
      if (bytes == 0) {
        EXPECT_EQ(!text.pieces.empty(), has_pieces) << where;
      }
      std::size_t previous = 0;
      for (const auto& piece : text.pieces) {
        EXPECT_LE(previous, piece.at) << where;
        previous = piece.at;
      }
      EXPECT_LE(previous, text.skeleton.size()) << where;
      EXPECT_EQ(text.size(), serial.size()) << where;
      EXPECT_EQ(first_difference(text.flatten(), serial), "") << where;
      std::string copy(text.size(), '\0');
      EXPECT_EQ(text.copy_ascii_to(copy.data()), ascii) << where;
      if (ascii) {
        EXPECT_EQ(first_difference(copy, serial), "") << where;
      }
    }
  }
}

TEST(WriterPieces, KeptApartTheyMakeTheSerialText) {
  expect_pieced_text_is_serial_text(ascii_long_document(3000), true, true, "ASCII long document");
  expect_pieced_text_is_serial_text(long_document(3000), false, true, "long document");
  expect_pieced_text_is_serial_text(long_document(1), false, false, "document of one member");
  expect_pieced_text_is_serial_text(VARN{}, true, false, "empty document");
}

TEST(WriterPieces, OnlyTheKeptTextsOwnSkeletonKeepsPieces) {
  const VARN doc = ascii_long_document(3000);
  const std::string serial = serial_text(doc);
  json::PiecedText text;
  const json::KeepPiecesScope keep(text);
  // Another buffer on the same thread, and the skeleton itself on another thread: appended.
  EXPECT_EQ(first_difference(json::to_json(doc), serial), "");
  std::thread([&] { json::write_from(text.skeleton, doc); }).join();
  EXPECT_TRUE(text.pieces.empty());
  EXPECT_EQ(first_difference(text.skeleton, serial), "");
  {
    json::PiecedText inner;
    const json::KeepPiecesScope keep_inner(inner);
    json::write_from(inner.skeleton, doc);
    EXPECT_FALSE(inner.pieces.empty());
    EXPECT_EQ(first_difference(inner.flatten(), serial), "");
  }
  // The outer scope holds again once the inner one has closed.
  text.skeleton.clear();
  json::write_from(text.skeleton, doc);
  EXPECT_FALSE(text.pieces.empty());
  EXPECT_EQ(first_difference(text.flatten(), serial), "");
}

TEST(WriterPieces, FixturesGiveTheSerialText) {
  for (const char* name : {"cantilever_with_tension_hanger.json", "model_full_m_n.json", "model_full_mm_kn.json",
                           "node_on_ties_started_from_poor_guess.json", "space_frame_two_storeys.json",
                           "x_braced_portal_tension_diagonals.json"}) {
    auto model = VARN::from_json(testing::read_fixture(name));
    ASSERT_TRUE(model.ok()) << name << ": " << model.error.to_string();
    expect_pieces_give_serial_text(*model.value, name);
  }
}

}  // namespace
}  // namespace varn
