// Prints the JSON Schema (draft 2020-12) of the model file, derived from the same record and
// enumeration tables the reader walks, so that the published schema cannot drift from what
// the engine accepts.
//
//   model_schema                 the schema on standard output
//   model_schema --check FILE    exit 1 when FILE differs from the schema
//
// What the tables say becomes the schema: each record accepts the object form (keys of the
// table, the required ones required, unknown keys allowed because the reader skips them) and
// the array form (values in declaration order; trailing defaulted values may be left off);
// optional values accept null; a defaulted value carries its default as an annotation; an
// enumeration accepts every accepted spelling, bare or as a one-key object holding null.
// Two values the reader interprets by hand (stiffness curves, a result's type) are described
// here beside the rules of their readers.
#include <cstdint>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "models/json/fixed_tuple.h"
#include "models/json/record.h"
#include "models/json/writer.h"
#include "models/varn/varn.h"

namespace varn::json {
namespace {

// A schema document: objects keep their keys in the order they are added; scalars are held
// as their JSON text.
struct Node {
  enum class Kind { Scalar, Array, Object } kind = Kind::Object;
  std::string text;
  std::vector<Node> items;
  std::vector<std::pair<std::string, Node>> members;

  Node& set(std::string key, Node value) {
    for (auto& m : members)
      if (m.first == key) return m.second = std::move(value);
    members.emplace_back(std::move(key), std::move(value));
    return members.back().second;
  }
};

Node raw(std::string text) {
  Node n;
  n.kind = Node::Kind::Scalar;
  n.text = std::move(text);
  return n;
}
Node str(std::string_view s) {
  std::string t;
  write_string(t, s);
  return raw(t);
}
Node num(std::uint64_t v) {
  std::string t;
  write_u64(t, v);
  return raw(t);
}
Node arr(std::vector<Node> items = {}) {
  Node n;
  n.kind = Node::Kind::Array;
  n.items = std::move(items);
  return n;
}
Node obj(std::vector<std::pair<std::string, Node>> members = {}) {
  Node n;
  n.members = std::move(members);
  return n;
}
Node type(std::string_view t) { return obj({{"type", str(t)}}); }

std::string compact(const Node& n) {
  switch (n.kind) {
    case Node::Kind::Scalar:
      return n.text;
    case Node::Kind::Array: {
      std::string s = "[";
      for (std::size_t k = 0; k < n.items.size(); ++k) s += (k ? ", " : "") + compact(n.items[k]);
      return s + "]";
    }
    case Node::Kind::Object: {
      std::string s = "{";
      for (std::size_t k = 0; k < n.members.size(); ++k) {
        std::string key;
        write_string(key, n.members[k].first);
        s += (k ? ", " : "") + key + ": " + compact(n.members[k].second);
      }
      return s + "}";
    }
  }
  return {};
}

// Two-space indentation; a container that fits in the rest of its line is kept on one line.
void pretty(std::string& out, const Node& n, std::size_t indent, std::size_t column) {
  const std::string one = compact(n);
  if (n.kind == Node::Kind::Scalar || column + one.size() <= 100) {
    out += one;
    return;
  }
  const std::string pad(indent + 2, ' ');
  if (n.kind == Node::Kind::Array) {
    out += "[\n";
    for (std::size_t k = 0; k < n.items.size(); ++k) {
      out += pad;
      pretty(out, n.items[k], indent + 2, pad.size());
      out += k + 1 < n.items.size() ? ",\n" : "\n";
    }
  } else {
    out += "{\n";
    for (std::size_t k = 0; k < n.members.size(); ++k) {
      std::string key;
      write_string(key, n.members[k].first);
      out += pad + key + ": ";
      pretty(out, n.members[k].second, indent + 2, pad.size() + key.size() + 2);
      out += k + 1 < n.members.size() ? ",\n" : "\n";
    }
  }
  out += std::string(indent, ' ') + (n.kind == Node::Kind::Array ? "]" : "}");
}

template <class T>
struct is_std_array : std::false_type {};
template <class T, std::size_t N>
struct is_std_array<std::array<T, N>> : std::true_type {};

class SchemaBuilder {
 public:
  Node document() {
    Node root = obj({{"$schema", str("https://json-schema.org/draft/2020-12/schema")},
                     {"title", str("varn_calculations model")},
                     {"description", str("The structural model that calculate_from_json and calculate_from_file "
                                         "read, and that they write back with its results. Generated from the "
                                         "reader's record tables by tools/model_schema.cpp; the meaning, units and "
                                         "sign conventions of every key are in docs/model-format.md.")}});
    root.set("$ref", of<VARN>().members.front().second);
    Node defs = obj();
    for (auto& [name, def] : defs_) defs.set(name, def);
    root.set("$defs", defs);
    return root;
  }

  template <class X>
  Node of() {
    if constexpr (std::is_same_v<X, bool>) {
      return type("boolean");
    } else if constexpr (std::is_same_v<X, std::uint32_t> || std::is_same_v<X, std::uint64_t>) {
      return obj({{"type", str("integer")}, {"minimum", num(0)}, {"maximum", num(std::numeric_limits<X>::max())}});
    } else if constexpr (std::is_same_v<X, double>) {
      return type("number");
    } else if constexpr (std::is_same_v<X, std::string>) {
      return type("string");
    } else if constexpr (is_optional<X>::value) {
      return obj({{"anyOf", arr({of<typename X::value_type>(), type("null")})}});
    } else if constexpr (is_vector<X>::value) {
      return obj({{"type", str("array")}, {"items", of<typename X::value_type>()}});
    } else if constexpr (is_std_array<X>::value) {
      constexpr std::size_t n = std::tuple_size_v<X>;
      return obj({{"type", str("array")},
                  {"items", of<typename X::value_type>()},
                  {"minItems", num(n)},
                  {"maxItems", num(n)}});
    } else if constexpr (is_map<X>::value || is_insertion_map<X>::value) {
      Node m = type("object");
      if constexpr (!std::is_same_v<typename X::key_type, std::string>) {
        // Ids as decimal text without sign or leading zeros: "7", not "07" or "-7".
        m.set("propertyNames", obj({{"pattern", str("^(0|[1-9][0-9]{0,9})$")}}));
      }
      m.set("additionalProperties", of<typename X::mapped_type>());
      return m;
    } else if constexpr (std::is_same_v<X, Value>) {
      return obj();  // any JSON value
    } else if constexpr (Described<X>) {
      define_record<X>();
      return ref(RecordMeta<X>::name);
    } else if constexpr (Enumerated<X>) {
      define_enum<X>();
      return ref(EnumMeta<X>::name);
    } else if constexpr (std::is_same_v<X, StiffnessCurveConfig>) {
      define_stiffness_curve();
      return ref("StiffnessCurveConfig");
    } else if constexpr (std::is_same_v<X, ResultType>) {
      define_result_type();
      return ref("ResultType");
    } else {
      static_assert(sizeof(X) == 0, "a value type the schema does not describe yet");
    }
  }

 private:
  static Node ref(std::string_view name) { return obj({{"$ref", str("#/$defs/" + std::string(name))}}); }

  // True the first time a definition is asked for, so that recursion and repeats stop.
  bool claim(std::string_view name) { return defs_.try_emplace(std::string(name)).second; }

  template <class T>
  void define_record() {
    if (!claim(RecordMeta<T>::name)) return;
    Node properties = obj();
    Node required = arr();
    Node prefix = arr();
    std::size_t min_items = 0;
    std::size_t count = 0;
    std::apply(
        [&](const auto&... field) {
          (
              [&] {
                using M = typename std::decay_t<decltype(field)>::Member;
                Node value = of<M>();
                if (field.presence == Presence::Defaulted) {
                  std::string text;
                  write_from(text, field.default_value);
                  value.set("default", raw(text));
                } else {
                  // The array form may end only where every remaining value has a default.
                  min_items = count + 1;
                }
                if (field.presence == Presence::Required) required.items.push_back(str(field.key));
                properties.set(std::string(field.key), value);
                prefix.items.push_back(of<M>());
                ++count;
              }(),
              ...);
        },
        RecordMeta<T>::fields());
    Node def = obj({{"type", arr({str("object"), str("array")})}, {"properties", properties}});
    if (!required.items.empty()) def.set("required", required);
    def.set("prefixItems", prefix);
    def.set("minItems", num(min_items));
    def.set("maxItems", num(count));
    defs_[std::string(RecordMeta<T>::name)] = def;
  }

  template <class E>
  static Node spellings() {
    Node all = arr();
    for (const auto& v : EnumMeta<E>::values())
      for (std::string_view s : v.accepted) all.items.push_back(str(s));
    return all;
  }

  template <class E>
  void define_enum() {
    if (!claim(EnumMeta<E>::name)) return;
    std::string written;
    for (const auto& v : EnumMeta<E>::values()) written += (written.empty() ? "" : ", ") + std::string(v.written);
    defs_[std::string(EnumMeta<E>::name)] =
        obj({{"description", str("Written back as one of: " + written + ".")},
             {"anyOf", arr({obj({{"enum", spellings<E>()}}),
                            obj({{"type", str("object")},
                                 {"propertyNames", obj({{"enum", spellings<E>()}})},
                                 {"minProperties", num(1)},
                                 {"maxProperties", num(1)},
                                 {"additionalProperties", type("null")}})})}});
  }

  // The curve reader (stiffness_curve.cpp) takes a bare list of [value, stiffness] pairs, read
  // as measured in Vz, or an object with "depends_on" and "points"; other keys are ignored.
  void define_stiffness_curve() {
    if (!claim("StiffnessCurveConfig")) return;
    Node pair = obj({{"type", str("array")},
                     {"prefixItems", arr({type("number"), type("number")})},
                     {"minItems", num(2)},
                     {"maxItems", num(2)}});
    Node points = obj({{"type", str("array")}, {"items", pair}});
    defs_["StiffnessCurveConfig"] =
        obj({{"anyOf", arr({points, obj({{"type", str("object")},
                                          {"properties", obj({{"depends_on", of<ForceComponent>()}, {"points", points}})},
                                          {"required", arr({str("depends_on"), str("points")})}})})}});
  }

  // A result's type is an object with one key naming the kind and holding the id.
  void define_result_type() {
    if (!claim("ResultType")) return;
    defs_["ResultType"] = obj({{"type", str("object")},
                               {"properties", obj({{"Loadcase", of<std::uint32_t>()}, {"Loadcombination", of<std::uint32_t>()}})},
                               {"additionalProperties", raw("false")},
                               {"minProperties", num(1)},
                               {"maxProperties", num(1)}});
  }

  std::map<std::string, Node> defs_;  // by name, so the document's order never depends on the walk
};

}  // namespace

std::string model_schema_text() {
  SchemaBuilder builder;
  Node root = builder.document();
  std::string out;
  pretty(out, root, 0, 0);
  out += '\n';
  return out;
}

}  // namespace varn::json

int main(int argc, char** argv) {
  const std::string schema = varn::json::model_schema_text();
  if (argc == 3 && std::string_view(argv[1]) == "--check") {
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream committed;
    committed << in.rdbuf();
    if (!in || committed.str() != schema) {
      std::cerr << argv[2] << " is not the schema of the current record tables; regenerate it with\n"
                << "  model_schema > docs/model.schema.json\n";
      return 1;
    }
    return 0;
  }
  if (argc != 1) {
    std::cerr << "usage: model_schema [--check FILE]\n";
    return 2;
  }
  std::cout << schema;
  return 0;
}
