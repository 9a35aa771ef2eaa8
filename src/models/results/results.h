#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "models/json/record.h"
#include "models/results/memberresult.h"
#include "models/results/nodedisplacement.h"
#include "models/results/reactionnoderesult.h"
#include "models/unitychecks/unitycheck.h"

namespace varn {

// The load case or load combination a result set was computed for. Written as an object
// with one key naming the kind and holding the id: {"Loadcase":3}, {"Loadcombination":7}.
struct ResultType {
  enum class Kind : std::uint8_t { Loadcase, Loadcombination };
  Kind kind = Kind::Loadcase;
  std::uint32_t id = 0;

  static ResultType loadcase(std::uint32_t id) { return ResultType{Kind::Loadcase, id}; }
  static ResultType loadcombination(std::uint32_t id) { return ResultType{Kind::Loadcombination, id}; }
  bool is_loadcase() const { return kind == Kind::Loadcase; }
  bool is_loadcombination() const { return kind == Kind::Loadcombination; }
  // "LC 3" or "Combo 7", as messages name the set.
  std::string label() const { return (is_loadcombination() ? "Combo " : "LC ") + std::to_string(id); }
  friend bool operator==(const ResultType&, const ResultType&) = default;
};

struct ResultsSummary {
  std::uint64_t total_displacements = 0;
  std::uint64_t total_reaction_forces = 0;
  std::uint64_t total_member_forces = 0;
};

// The results of one load case or combination; every map is ordered by id so the output is
// the same whatever order the solver produced the entries in.
struct Results {
  std::string name;
  ResultType result_type;
  std::map<std::uint32_t, NodeDisplacement> displacement_nodes;
  std::map<std::uint32_t, ReactionNodeResult> reaction_nodes;
  std::map<std::uint32_t, MemberResult> member_results;
  ResultsSummary summary;
  std::optional<std::map<std::string, UnityCheck>> unity_checks;  // carried through, never computed
};

}  // namespace varn

template <>
struct varn::json::Codec<varn::ResultType> {
  static constexpr std::string_view expected = "enum ResultType";

  static bool match(std::string_view text, varn::ResultType::Kind& kind) {
    if (text == "Loadcase") {
      kind = varn::ResultType::Kind::Loadcase;
      return true;
    }
    if (text == "Loadcombination") {
      kind = varn::ResultType::Kind::Loadcombination;
      return true;
    }
    return false;
  }
  [[noreturn]] static void unknown(Reader& r, std::string_view text) {
    r.fail("unknown variant `" + std::string(text) + "`, expected `Loadcase` or `Loadcombination`");
  }

  static void read(Reader& r, varn::ResultType& out) {
    int c = r.peek();
    if (c == '"') {
      // A bare variant name carries no id.
      const std::string text(r.read_string());
      if (!match(text, out.kind)) unknown(r, text);
      r.fail("invalid type: unit variant, expected newtype variant");
    }
    if (c == '{') {
      r.enter();
      if (r.peek() != '"') r.fail_invalid_type("variant identifier");
      const std::string text(r.read_string());
      if (!match(text, out.kind)) unknown(r, text);
      r.expect_colon();
      read_into(r, out.id);
      int e = r.peek();
      if (e == '}') {
        r.bump();
        r.leave();
        return;
      }
      if (e == -1) r.fail("EOF while parsing an object");
      r.fail("expected value");
    }
    if (c == -1) r.fail_peek("EOF while parsing a value");
    r.fail_peek("expected value");
  }

  static void write(std::string& out, const varn::ResultType& t) {
    out += t.is_loadcase() ? "{\"Loadcase\":" : "{\"Loadcombination\":";
    write_u64(out, t.id);
    out += '}';
  }
};

template <>
struct varn::json::RecordMeta<varn::ResultsSummary> {
  static constexpr std::string_view name = "ResultsSummary";
  static const auto& fields() {
    using varn::ResultsSummary;
    static const auto f = std::make_tuple(json::required("total_displacements", &ResultsSummary::total_displacements),
                                          json::required("total_reaction_forces", &ResultsSummary::total_reaction_forces),
                                          json::required("total_member_forces", &ResultsSummary::total_member_forces));
    return f;
  }
};

template <>
struct varn::json::RecordMeta<varn::Results> {
  static constexpr std::string_view name = "Results";
  static const auto& fields() {
    using varn::Results;
    static const auto f = std::make_tuple(
        json::required("name", &Results::name), json::required("result_type", &Results::result_type),
        json::required("displacement_nodes", &Results::displacement_nodes),
        json::required("reaction_nodes", &Results::reaction_nodes),
        json::required("member_results", &Results::member_results), json::required("summary", &Results::summary),
        json::optional("unity_checks", &Results::unity_checks));
    return f;
  }
};
