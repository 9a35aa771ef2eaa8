#pragma once
// A loosely typed JSON value, for the parts of a model that are free structured data or are
// validated after reading (stiffness curves, unity-check details).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "models/json/reader.h"

namespace varn::json {

class Value {
 public:
  using Array = std::vector<Value>;
  // Keys in the order of their first appearance; a repeated key keeps its last value.
  using Object = std::vector<std::pair<std::string, Value>>;

  Value() = default;  // null
  static Value boolean(bool b);
  static Value number(const Number& n);
  static Value string(std::string s);
  static Value array(Array a);
  static Value object(Object o);

  bool is_null() const { return data_.index() == 0; }
  bool is_bool() const { return data_.index() == 1; }
  bool is_number() const { return data_.index() == 2; }
  bool is_string() const { return data_.index() == 3; }
  bool is_array() const { return data_.index() == 4; }
  bool is_object() const { return data_.index() == 5; }

  bool as_bool() const { return std::get<1>(data_); }
  const Number& as_number() const { return std::get<2>(data_); }
  const std::string& as_string() const { return std::get<3>(data_); }
  const Array& as_array() const { return std::get<4>(data_); }
  const Object& as_object() const { return std::get<5>(data_); }
  // Member of an object by key, or nullptr.
  const Value* find(std::string_view key) const;

  // "null", "boolean `true`", "integer `5`", "sequence", "map", ...: the value as the
  // reader's type errors word it.
  std::string describe() const;

  friend bool operator==(const Value& a, const Value& b);

 private:
  std::variant<std::monostate, bool, Number, std::string, Array, Object> data_;
};

void read_value(Reader& r, Value& v);
void write_value(std::string& out, const Value& v);

}  // namespace varn::json
