// The report for unreadable input: exact layout for the common shapes, the snippet window of
// one-line input, and UTF-8 safety of its cuts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis.h"
#include "models/json/record.h"
#include "models/members/member.h"

namespace {

using varn::format_json_error;
using varn::json::ReadError;

const std::string kTroubleshooting =
    "\nGeneral troubleshooting:\n"
    "  - Ensure all required fields are present\n"
    "  - Verify field types match the schema (objects vs. primitives)\n"
    "  - Check for missing or extra commas/brackets\n"
    "  - Validate array elements are of consistent type\n";

const std::string kTypeHint =
    "Hint: Type mismatch detected.\n"
    "      - Verify the field type matches the expected schema\n"
    "      - Check if you're using a primitive where an object is expected (or vice versa)\n";

const std::string kMemberHint =
    "Hint: Expected a Member object (with fields like id, start_node, end_node, etc.)\n"
    "      but found a primitive value instead.\n"
    "      Check if you're using an integer/number where a full Member object is expected.\n";

struct ReportCase {
  const char* name;
  ReadError error;
  std::string input;
  std::string expected;
};

class ReportLayout : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportLayout, IsExact) {
  const ReportCase& c = GetParam();
  EXPECT_EQ(format_json_error(c.error, c.input), c.expected);
}

ReportCase make_case(const char* name, const char* message, std::size_t line, std::size_t column,
                     std::string input, std::string expected) {
  ReportCase c;
  c.name = name;
  c.error.message = message;
  c.error.line = line;
  c.error.column = column;
  c.input = std::move(input);
  c.expected = std::move(expected);
  return c;
}

std::vector<ReportCase> layout_cases() {
  std::vector<ReportCase> cases;
  cases.push_back(make_case("one_line_context_and_snippet", "expected `,` or `]`", 1, 5,
       "[1,2}",
       "JSON deserialization error: expected `,` or `]` at line 1 column 5\n"
       "  Location: line 1, column 5\n"
       "\n  Context:\n"
       "  > 1 | [1,2}\n"
       "      |     ^\n"
       "\n  JSON snippet:\n"
       "    ...[1,2}\n"
       "           ^\n"
       "\n" +
           kTypeHint + kTroubleshooting));
  cases.push_back(make_case("windows_line_ends_middle_line", "expected `:`", 3, 5,
       "{\r\n\"a\": 1,\r\n\"b\" 2\r\n}\r\n",
       "JSON deserialization error: expected `:` at line 3 column 5\n"
       "  Location: line 3, column 5\n"
       "\n  Context:\n"
       "    1 | {\n"
       "    2 | \"a\": 1,\n"
       "  > 3 | \"b\" 2\n"
       "      |     ^\n"
       "    4 | }\n"
       "\n" +
           kTypeHint + kTroubleshooting));
  cases.push_back(make_case("first_line_of_many_has_nothing_before", "missing field `id`", 1, 0,
       "{\n}\n\n",
       "JSON deserialization error: missing field `id` at line 1 column 0\n"
       "  Location: line 1, column 0\n"
       "\n  Context:\n"
       "  > 1 | {\n"
       "      | ^\n"
       "    2 | }\n"
       "    3 | \n"
       "\n" +
           kTroubleshooting));
  cases.push_back(make_case("last_line_has_nothing_after", "trailing characters", 3, 1,
       "{}\n\nx",
       "JSON deserialization error: trailing characters at line 3 column 1\n"
       "  Location: line 3, column 1\n"
       "\n  Context:\n"
       "    1 | {}\n"
       "    2 | \n"
       "  > 3 | x\n"
       "      | ^\n"
       "\n" +
           kTroubleshooting));
  cases.push_back(make_case("empty_input_has_no_blocks", "EOF while parsing a value", 1, 0,
       "",
       "JSON deserialization error: EOF while parsing a value at line 1 column 0\n"
       "  Location: line 1, column 0\n"
       "\n" +
           kTroubleshooting));
  cases.push_back(make_case("error_after_final_line_feed_of_one_line_input", "EOF while parsing an object", 2, 0,
       "{\"a\":1\n",
       "JSON deserialization error: EOF while parsing an object at line 2 column 0\n"
       "  Location: line 2, column 0\n"
       "\n  JSON snippet:\n"
       "    ...{\"a\":1\n\n"
       "       ^\n"
       "\n" +
           kTroubleshooting));
  cases.push_back(make_case("member_hint", "invalid type: integer `5`, expected struct Member", 1, 1,
       "5",
       "JSON deserialization error: invalid type: integer `5`, expected struct Member at line 1 column 1\n"
       "  Location: line 1, column 1\n"
       "\n  Context:\n"
       "  > 1 | 5\n"
       "      | ^\n"
       "\n  JSON snippet:\n"
       "    ...5\n"
       "       ^\n"
       "\n" +
           kMemberHint + kTroubleshooting));
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Report, ReportLayout, ::testing::ValuesIn(layout_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct HintCase {
  const char* message;
  const std::string* hint;  // null: no hint
};

class ReportHint : public ::testing::TestWithParam<HintCase> {};

TEST_P(ReportHint, ChosenByMessage) {
  const HintCase& c = GetParam();
  const std::string report = format_json_error(ReadError{c.message, 2, 3}, "{\n}");
  const std::size_t tail = report.rfind(kTroubleshooting);
  ASSERT_NE(tail, std::string::npos);
  const std::string middle_end = report.substr(0, tail);
  if (c.hint) {
    EXPECT_TRUE(middle_end.ends_with("\n\n" + *c.hint)) << report;
  } else {
    EXPECT_TRUE(middle_end.ends_with("\n\n")) << report;
    EXPECT_EQ(report.find("Hint:"), std::string::npos) << report;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Report, ReportHint,
    ::testing::Values(HintCase{"invalid type: integer `5`, expected struct Member", &kMemberHint},
                      HintCase{"invalid type: string \"x\", expected struct MemberSet", &kMemberHint},
                      HintCase{"invalid type: null, expected struct MemberHinge", &kMemberHint},
                      HintCase{"invalid type: map, expected struct Node", &kTypeHint},
                      HintCase{"unknown variant `Beam`, expected one of `Normal`, `Truss`", &kTypeHint},
                      HintCase{"expected `,` or `}`", &kTypeHint},
                      HintCase{"missing field `sections`", nullptr},
                      HintCase{"duplicate field `settings`", nullptr},
                      HintCase{"trailing characters", nullptr}));

// The snippet line and the caret line of a one-line report.
std::pair<std::string, std::string> snippet_lines(const std::string& report) {
  const std::string head = "\n  JSON snippet:\n";
  std::size_t p = report.find(head);
  if (p == std::string::npos) return {};
  p += head.size();
  std::size_t e1 = report.find('\n', p);
  std::size_t e2 = report.find('\n', e1 + 1);
  return {report.substr(p, e1 - p), report.substr(e1 + 1, e2 - e1 - 1)};
}

struct WindowCase {
  std::size_t length;
  std::size_t column;
  std::size_t start;  // first byte of the snippet
  std::size_t end;    // one past its last byte
};

class SnippetWindow : public ::testing::TestWithParam<WindowCase> {};

TEST_P(SnippetWindow, FiftyBytesAroundTheColumn) {
  const WindowCase& c = GetParam();
  std::string input;
  for (std::size_t i = 0; i < c.length; ++i) input += static_cast<char>('a' + i % 26);
  const auto [snippet, caret] = snippet_lines(format_json_error(ReadError{"expected value", 1, c.column}, input));
  EXPECT_EQ(snippet, "    ..." + input.substr(c.start, c.end - c.start));
  const std::size_t c0 = c.column == 0 ? 0 : c.column - 1;
  EXPECT_EQ(caret, "       " + std::string(c0 - c.start, ' ') + "^");
  // The caret stands under the byte at which reading stopped.
  if (c0 < c.length) {
    EXPECT_EQ(snippet[7 + c0 - c.start], input[c0]);
  }
}

INSTANTIATE_TEST_SUITE_P(Report, SnippetWindow,
                         ::testing::Values(WindowCase{200, 0, 0, 50}, WindowCase{200, 10, 0, 59},
                                           WindowCase{200, 50, 0, 99}, WindowCase{200, 51, 0, 100},
                                           WindowCase{200, 52, 1, 101}, WindowCase{200, 120, 69, 169},
                                           WindowCase{200, 180, 129, 200}, WindowCase{200, 200, 149, 200},
                                           WindowCase{30, 30, 0, 30}));

TEST(Report, WideLineNumberKeepsTheCaretPrefix) {
  std::string input;
  for (int i = 1; i <= 12; ++i) input += "line" + std::to_string(i) + "\n";
  const std::string report = format_json_error(ReadError{"expected value", 10, 3}, input);
  EXPECT_NE(report.find("    8 | line8\n    9 | line9\n  > 10 | line10\n      |   ^\n    11 | line11\n    12 | line12\n"),
            std::string::npos)
      << report;
}

// Two-byte characters put every odd offset inside a character; the window edges computed in
// bytes must not split one.
class SnippetUtf8 : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SnippetUtf8, CutsOnCharacterBoundaries) {
  std::string input;
  for (int i = 0; i < 60; ++i) input += "\xC3\xA9";  // e-acute
  const std::size_t column = GetParam();
  const std::string report = format_json_error(ReadError{"expected value", 1, column}, input);
  EXPECT_TRUE(varn::is_valid_utf8(report)) << report;
  const auto [snippet, caret] = snippet_lines(report);
  ASSERT_TRUE(snippet.starts_with("    ..."));
  const std::string body = snippet.substr(7);
  EXPECT_FALSE(body.empty());
  EXPECT_EQ(body.size() % 2, 0u);
  EXPECT_NE(input.find(body), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Report, SnippetUtf8, ::testing::Values(52, 53, 60, 61, 100, 101, 120));

TEST(Report, ThreeAndFourByteCharactersAtTheCut) {
  // 51 ASCII bytes then a euro sign (3 bytes): a start at byte 52 falls inside it.
  std::string input = std::string(51, 'x') + "\xE2\x82\xAC" + std::string(60, 'y') + "\xF0\x9F\x98\x80" + "z";
  for (std::size_t column = 50; column < input.size(); ++column) {
    const std::string report = format_json_error(ReadError{"expected value", 1, column}, input);
    EXPECT_TRUE(varn::is_valid_utf8(report)) << "column " << column;
  }
}

TEST(Report, BuiltFromTheReaderError) {
  const auto parsed = varn::json::parse<varn::Member>("5");
  ASSERT_FALSE(parsed.ok());
  const std::string report = format_json_error(parsed.error, "5");
  EXPECT_TRUE(report.starts_with(
      "JSON deserialization error: invalid type: integer `5`, expected struct Member at line 1 column 1\n"))
      << report;
  EXPECT_NE(report.find(kMemberHint), std::string::npos);
}

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
};

class Utf8Check : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Check, Classifies) { EXPECT_EQ(varn::is_valid_utf8(GetParam().bytes), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(
    Utf8, Utf8Check,
    ::testing::Values(Utf8Case{"ascii", "{\"a\":1}", true}, Utf8Case{"empty", "", true},
                      Utf8Case{"two_byte", "\xC3\xA9", true}, Utf8Case{"three_byte", "\xE2\x82\xAC", true},
                      Utf8Case{"four_byte", "\xF0\x9F\x98\x80", true},
                      Utf8Case{"max_code_point", "\xF4\x8F\xBF\xBF", true},
                      Utf8Case{"latin1_byte", "caf\xE9", false}, Utf8Case{"lone_continuation", "\x80", false},
                      Utf8Case{"overlong_slash", "\xC0\xAF", false}, Utf8Case{"overlong_three", "\xE0\x80\xAF", false},
                      Utf8Case{"surrogate", "\xED\xA0\x80", false}, Utf8Case{"beyond_max", "\xF4\x90\x80\x80", false},
                      Utf8Case{"truncated", "\xE2\x82", false}, Utf8Case{"bad_continuation", "\xE2\x28\xA1", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
