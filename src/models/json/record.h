#pragma once
// Records are described once: a table of fields (key, member, presence) from which the
// object form, the array form and the writer all follow, and enumerations by one table of
// values with their accepted spellings and the one written spelling.
//
//   template <> struct json::RecordMeta<Node> {
//     static constexpr std::string_view name = "Node";
//     static const auto& fields() {
//       static const auto f = std::make_tuple(json::required("id", &Node::id),
//                                             json::optional("nodal_support", &Node::nodal_support),
//                                             json::defaulted("mirror", &Member::mirror, false));
//       return f;
//     }
//   };
//
//   template <> struct json::EnumMeta<MemberType> {
//     static constexpr std::string_view name = "MemberType";
//     static const auto& values() {
//       static const json::EnumTable<MemberType> t = {{MemberType::Normal, "Normal", {"Normal"}}, ...};
//       return t;
//     }
//   };
//
// Types without a table get a `json::Codec<T>` specialisation with
//   static void read(Reader&, T&); static void write(std::string&, const T&);
//   static constexpr std::string_view expected = "...";
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "expected.h"
#include "models/json/reader.h"
#include "models/json/value.h"
#include "models/json/writer.h"

namespace varn::json {

enum class Presence { Required, Optional, Defaulted };

template <class T, class M>
struct Field {
  using Record = T;
  using Member = M;
  std::string_view key;
  M T::*member;
  Presence presence;
  M default_value;
};

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class T, class M>
Field<T, M> required(std::string_view key, M T::*member) {
  return Field<T, M>{key, member, Presence::Required, M{}};
}

template <class T, class M>
Field<T, M> optional(std::string_view key, M T::*member) {
  static_assert(is_optional<M>::value, "an optional field is a std::optional member");
  return Field<T, M>{key, member, Presence::Optional, M{}};
}

template <class T, class M, class D>
Field<T, M> defaulted(std::string_view key, M T::*member, D&& default_value) {
  return Field<T, M>{key, member, Presence::Defaulted, M(std::forward<D>(default_value))};
}

template <class T>
struct RecordMeta;
template <class E>
struct EnumMeta;
template <class T>
struct Codec;

template <class E>
struct EnumValue {
  E value;
  std::string_view written;
  std::vector<std::string_view> accepted;  // every spelling the reader takes, the written one included
};
template <class E>
using EnumTable = std::vector<EnumValue<E>>;

template <class T>
concept Described = requires { RecordMeta<T>::name; RecordMeta<T>::fields(); };
template <class E>
concept Enumerated = requires { EnumMeta<E>::name; EnumMeta<E>::values(); };

// A map that keeps its keys in the order the input first gave them; a repeated key replaces
// the value in place. Used where a map is written and summed, so that the same input always
// gives the same output.
template <class K, class V>
struct InsertionOrderedMap {
  using key_type = K;
  using mapped_type = V;
  std::vector<std::pair<K, V>> entries;

  V& operator[](const K& key) {
    for (auto& e : entries)
      if (e.first == key) return e.second;
    entries.emplace_back(key, V{});
    return entries.back().second;
  }
  const V* find(const K& key) const {
    for (const auto& e : entries)
      if (e.first == key) return &e.second;
    return nullptr;
  }
  auto begin() const { return entries.begin(); }
  auto end() const { return entries.end(); }
  auto begin() { return entries.begin(); }
  auto end() { return entries.end(); }
  std::size_t size() const { return entries.size(); }
  bool empty() const { return entries.empty(); }
  friend bool operator==(const InsertionOrderedMap&, const InsertionOrderedMap&) = default;
};

template <class T>
struct is_vector : std::false_type {};
template <class T, class A>
struct is_vector<std::vector<T, A>> : std::true_type {};
template <class T>
struct is_map : std::false_type {};
template <class K, class V, class C, class A>
struct is_map<std::map<K, V, C, A>> : std::true_type {};
template <class T>
struct is_insertion_map : std::false_type {};
template <class K, class V>
struct is_insertion_map<InsertionOrderedMap<K, V>> : std::true_type {};

// ---- the expected text of a type in "invalid type" messages ----

template <class X>
std::string expected_text() {
  if constexpr (std::is_same_v<X, bool>) {
    return "a boolean";
  } else if constexpr (std::is_same_v<X, std::uint32_t>) {
    return "u32";
  } else if constexpr (std::is_same_v<X, std::uint64_t>) {
    return "usize";
  } else if constexpr (std::is_same_v<X, double>) {
    return "f64";
  } else if constexpr (std::is_same_v<X, std::string>) {
    return "a string";
  } else if constexpr (is_optional<X>::value) {
    return expected_text<typename X::value_type>();
  } else if constexpr (is_vector<X>::value) {
    return "a sequence";
  } else if constexpr (is_map<X>::value || is_insertion_map<X>::value) {
    return "a map";
  } else if constexpr (std::is_same_v<X, Value>) {
    return "any valid JSON value";
  } else if constexpr (Described<X>) {
    return "struct " + std::string(RecordMeta<X>::name);
  } else if constexpr (Enumerated<X>) {
    return "enum " + std::string(EnumMeta<X>::name);
  } else {
    return std::string(Codec<X>::expected);
  }
}

// ---- reading ----

template <class X>
void read_into(Reader& r, X& x);

template <class U>
U number_to_unsigned(Reader& r, const Number& n, const char* name) {
  if (n.kind == Number::Kind::Float) {
    r.fail("invalid type: " + describe_number(n) + ", expected " + name);
  }
  if (n.kind == Number::Kind::Negative || n.u > std::numeric_limits<U>::max()) {
    r.fail("invalid value: " + describe_number(n) + ", expected " + name);
  }
  return static_cast<U>(n.u);
}

template <class U>
U read_unsigned(Reader& r, const char* name) {
  int c = r.peek();
  if (c == '-' || (c >= '0' && c <= '9')) return number_to_unsigned<U>(r, r.read_number(), name);
  r.fail_invalid_type(name);
}

// A map key given as a decimal number in quotes.
template <class U>
U read_unsigned_key(Reader& r, std::string_view key) {
  if (key.empty() || !(key[0] == '-' || (key[0] >= '0' && key[0] <= '9'))) {
    r.fail("invalid value: expected key to be a number in quotes");
  }
  Reader sub(key);
  Number n;
  try {
    n = sub.read_number();
  } catch (const ParseError& e) {
    r.fail(e.message);
  }
  // The closing quote must follow the number directly.
  if (sub.offset() != key.size()) r.fail("expected `\"`");
  return number_to_unsigned<U>(r, n, std::is_same_v<U, std::uint32_t> ? "u32" : "usize");
}

template <class K>
K read_map_key(Reader& r, std::string_view key) {
  if constexpr (std::is_same_v<K, std::string>) {
    return std::string(key);
  } else {
    static_assert(std::is_same_v<K, std::uint32_t> || std::is_same_v<K, std::uint64_t>);
    return read_unsigned_key<K>(r, key);
  }
}

template <class E>
void read_enum(Reader& r, E& out) {
  auto match = [&](std::string_view text) {
    for (const auto& v : EnumMeta<E>::values()) {
      for (std::string_view s : v.accepted) {
        if (s == text) {
          out = v.value;
          return;
        }
      }
    }
    std::vector<std::string_view> all;
    for (const auto& v : EnumMeta<E>::values())
      for (std::string_view s : v.accepted) all.push_back(s);
    r.fail(unknown_variant_message(text, all));
  };
  int c = r.peek();
  if (c == '"') {
    match(r.read_string());
    return;
  }
  if (c == '{') {
    // {"Spelling": null}
    r.enter();
    if (r.peek() != '"') r.fail_invalid_type("variant identifier");
    match(r.read_string());
    r.expect_colon();
    if (r.peek() == 'n') {
      r.read_literal("null");
    } else {
      r.fail_invalid_type("unit");
    }
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

// Calls f with the field of index `index` of a field tuple.
template <class Tuple, class F, std::size_t... I>
void with_field(const Tuple& fields, std::size_t index, F&& f, std::index_sequence<I...>) {
  (void)((index == I ? (f(std::get<I>(fields)), true) : false) || ...);
}

template <class T, std::size_t... I>
void read_record_object(Reader& r, T& out, std::index_sequence<I...> seq) {
  const auto& fields = RecordMeta<T>::fields();
  constexpr std::size_t n = sizeof...(I);
  static_assert(n <= 64, "records have at most 64 fields");
  const std::string_view keys[] = {std::get<I>(fields).key...};
  const Presence presence[] = {std::get<I>(fields).presence...};
  std::uint64_t seen = 0;
  r.read_object([&](std::string_view key) {
    std::size_t index = 0;
    while (index < n && keys[index] != key) ++index;
    if (index == n) {
      // Keys the record does not define are skipped, but must still be valid JSON.
      r.expect_colon();
      r.skip_value();
      return;
    }
    if (seen & (std::uint64_t{1} << index)) r.fail("duplicate field `" + std::string(keys[index]) + "`");
    seen |= std::uint64_t{1} << index;
    r.expect_colon();
    with_field(fields, index, [&](const auto& f) { read_into(r, out.*(f.member)); }, seq);
  });
  // Required fields are checked in declaration order after the closing brace.
  for (std::size_t k = 0; k < n; ++k) {
    if (!(seen & (std::uint64_t{1} << k)) && presence[k] == Presence::Required) {
      r.fail("missing field `" + std::string(keys[k]) + "`");
    }
  }
  (
      [&] {
        const auto& f = std::get<I>(fields);
        if (!(seen & (std::uint64_t{1} << I)) && f.presence == Presence::Defaulted) out.*(f.member) = f.default_value;
      }(),
      ...);
}

template <class T, std::size_t... I>
void read_record_array(Reader& r, T& out, std::index_sequence<I...>) {
  const auto& fields = RecordMeta<T>::fields();
  constexpr std::size_t n = sizeof...(I);
  r.enter();
  bool ended = false;
  std::size_t count = 0;
  // The length reported is the position of the first field that cannot be filled in; it is
  // more than the number of elements read when a defaulted field before it took its default.
  auto one = [&](const auto& f, std::size_t index) {
    if (!ended && r.next_element(count == 0)) {
      read_into(r, out.*(f.member));
      ++count;
      return;
    }
    ended = true;
    if (f.presence == Presence::Defaulted) {
      out.*(f.member) = f.default_value;
      return;
    }
    // The closing bracket is consumed before the length is reported.
    r.end_array();
    r.fail("invalid length " + std::to_string(index) + ", expected struct " + std::string(RecordMeta<T>::name) +
           " with " + std::to_string(n) + " elements");
  };
  (one(std::get<I>(fields), I), ...);
  r.end_array();
}

template <class T>
void read_record(Reader& r, T& out) {
  constexpr std::size_t n = std::tuple_size_v<std::decay_t<decltype(RecordMeta<T>::fields())>>;
  int c = r.peek();
  if (c == '{') {
    read_record_object(r, out, std::make_index_sequence<n>{});
  } else if (c == '[') {
    read_record_array(r, out, std::make_index_sequence<n>{});
  } else {
    r.fail_invalid_type("struct " + std::string(RecordMeta<T>::name));
  }
}

template <class X>
void read_into(Reader& r, X& x) {
  if constexpr (std::is_same_v<X, bool>) {
    int c = r.peek();
    if (c == 't') {
      r.read_literal("true");
      x = true;
    } else if (c == 'f') {
      r.read_literal("false");
      x = false;
    } else {
      r.fail_invalid_type("a boolean");
    }
  } else if constexpr (std::is_same_v<X, std::uint32_t>) {
    x = read_unsigned<std::uint32_t>(r, "u32");
  } else if constexpr (std::is_same_v<X, std::uint64_t>) {
    x = read_unsigned<std::uint64_t>(r, "usize");
  } else if constexpr (std::is_same_v<X, double>) {
    int c = r.peek();
    if (c == '-' || (c >= '0' && c <= '9')) {
      x = r.read_number().as_double();
    } else {
      r.fail_invalid_type("f64");
    }
  } else if constexpr (std::is_same_v<X, std::string>) {
    if (r.peek() == '"') {
      x.assign(r.read_string());
    } else {
      r.fail_invalid_type("a string");
    }
  } else if constexpr (is_optional<X>::value) {
    if (r.peek() == 'n') {
      r.read_literal("null");
      x.reset();
    } else {
      x.emplace();
      read_into(r, *x);
    }
  } else if constexpr (is_vector<X>::value) {
    if (r.peek() != '[') r.fail_invalid_type("a sequence");
    x.clear();
    r.read_array([&] {
      x.emplace_back();
      read_into(r, x.back());
    });
  } else if constexpr (is_insertion_map<X>::value) {
    using K = typename X::key_type;
    if (r.peek() != '{') r.fail_invalid_type("a map");
    x = X{};
    // Position of each key in the entries, so that a long map is read in linear time; the
    // index only answers lookups, the entries keep the order of the input.
    std::unordered_map<K, std::size_t> position;
    r.read_object([&](std::string_view key_text) {
      K key = read_map_key<K>(r, key_text);
      r.expect_colon();
      typename X::mapped_type value{};
      read_into(r, value);
      auto [it, inserted] = position.try_emplace(key, x.entries.size());
      if (inserted) {
        x.entries.emplace_back(std::move(key), std::move(value));
      } else {
        x.entries[it->second].second = std::move(value);
      }
    });
  } else if constexpr (is_map<X>::value) {
    using K = typename X::key_type;
    if (r.peek() != '{') r.fail_invalid_type("a map");
    x = X{};
    r.read_object([&](std::string_view key_text) {
      K key = read_map_key<K>(r, key_text);
      r.expect_colon();
      // A repeated key replaces the earlier value as a whole: read into a fresh value, so
      // that optional fields the later entry leaves out do not survive from the earlier one.
      typename X::mapped_type value{};
      read_into(r, value);
      x[key] = std::move(value);
    });
  } else if constexpr (std::is_same_v<X, Value>) {
    read_value(r, x);
  } else if constexpr (Described<X>) {
    read_record(r, x);
  } else if constexpr (Enumerated<X>) {
    read_enum(r, x);
  } else {
    Codec<X>::read(r, x);
  }
}

// ---- writing ----

template <class X>
void write_from(std::string& out, const X& x);

// The n elements from `first` on, comma-separated, each by write_one(out, element). The first
// is written here, and its length sizes the pieces in which a long rest is formatted on the
// pool (write_pieces); the text is the same either way.
template <class Iter, class WriteOne>
void write_elements(std::string& out, Iter first, std::size_t n, const WriteOne& write_one) {
  if (n == 0) return;
  const std::size_t mark = out.size();
  write_one(out, *first);
  ++first;
  const std::size_t first_bytes = out.size() - mark;
  const std::size_t per_piece = elements_per_piece(first_bytes, n - 1);
  if (per_piece == 0) {
    for (std::size_t k = 1; k < n; ++k, ++first) {
      out += ',';
      write_one(out, *first);
    }
    return;
  }
  const std::size_t pieces = (n - 1 + per_piece - 1) / per_piece;
  std::vector<Iter> starts;
  starts.reserve(pieces);
  for (std::size_t c = 0; c < pieces; ++c) {
    starts.push_back(first);
    if (c + 1 < pieces) std::advance(first, per_piece);
  }
  // A quarter more than the first element suggests, so that a piece rarely regrows.
  const std::size_t reserve = per_piece * (first_bytes + 1) + per_piece * (first_bytes + 1) / 4;
  write_pieces(out, pieces, reserve, [&](std::string& piece, std::size_t c) {
    Iter it = starts[c];
    const std::size_t count = std::min(per_piece, n - 1 - c * per_piece);
    for (std::size_t k = 0; k < count; ++k, ++it) {
      piece += ',';
      write_one(piece, *it);
    }
  });
}

template <class T, std::size_t... I>
void write_record(std::string& out, const T& x, std::index_sequence<I...>) {
  const auto& fields = RecordMeta<T>::fields();
  // The text before each field's value ({"key": for the first, ,"key": for the others) is the
  // same for every record of the type, so it is written out once from the table; a result set
  // writes millions of keys.
  static const std::string lead[] = {[&] {
    std::string text(I == 0 ? "{" : ",");
    write_string(text, std::get<I>(fields).key);
    text += ':';
    return text;
  }()...};
  (
      [&] {
        out += lead[I];
        write_from(out, x.*(std::get<I>(fields).member));
      }(),
      ...);
  out += '}';
}

template <class X>
void write_from(std::string& out, const X& x) {
  if constexpr (std::is_same_v<X, bool>) {
    write_bool(out, x);
  } else if constexpr (std::is_same_v<X, std::uint32_t> || std::is_same_v<X, std::uint64_t>) {
    write_u64(out, x);
  } else if constexpr (std::is_same_v<X, double>) {
    write_f64(out, x);
  } else if constexpr (std::is_same_v<X, std::string>) {
    write_string(out, x);
  } else if constexpr (is_optional<X>::value) {
    if (x) {
      write_from(out, *x);
    } else {
      write_null(out);
    }
  } else if constexpr (is_vector<X>::value) {
    out += '[';
    write_elements(out, x.begin(), x.size(), [](std::string& o, const auto& item) { write_from(o, item); });
    out += ']';
  } else if constexpr (is_map<X>::value || is_insertion_map<X>::value) {
    using K = std::decay_t<decltype(x.begin()->first)>;
    out += '{';
    write_elements(out, x.begin(), x.size(), [](std::string& o, const auto& entry) {
      if constexpr (std::is_same_v<K, std::string>) {
        write_string(o, entry.first);
      } else {
        o += '"';
        write_u64(o, entry.first);
        o += '"';
      }
      o += ':';
      write_from(o, entry.second);
    });
    out += '}';
  } else if constexpr (std::is_same_v<X, Value>) {
    write_value(out, x);
  } else if constexpr (Described<X>) {
    constexpr std::size_t n = std::tuple_size_v<std::decay_t<decltype(RecordMeta<X>::fields())>>;
    write_record(out, x, std::make_index_sequence<n>{});
  } else if constexpr (Enumerated<X>) {
    for (const auto& v : EnumMeta<X>::values()) {
      if (v.value == x) {
        write_string(out, v.written);
        return;
      }
    }
    write_null(out);
  } else {
    Codec<X>::write(out, x);
  }
}

// ---- whole documents ----

// Reads one value of type T from the whole text (only whitespace may follow it). A failed
// read yields no value, only the worded error with its position.
template <class T>
struct ParseResult {
  std::optional<T> value;
  ReadError error;
  bool ok() const { return value.has_value(); }
};

template <class T>
ParseResult<T> parse(std::string_view text) {
  ParseResult<T> result;
  try {
    Reader r(text);
    T value{};
    read_into(r, value);
    r.finish();
    result.value.emplace(std::move(value));
  } catch (const ParseError& e) {
    result.error = locate(text, e);
  }
  return result;
}

template <class T>
std::string to_json(const T& value, std::size_t reserve = 0) {
  std::string out;
  out.reserve(reserve);
  write_from(out, value);
  return out;
}

}  // namespace varn::json
