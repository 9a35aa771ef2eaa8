#include "models/json/value.h"

#include <algorithm>
#include <unordered_map>

#include "models/json/writer.h"

namespace varn::json {

Value Value::boolean(bool b) {
  Value v;
  v.data_ = b;
  return v;
}
Value Value::number(const Number& n) {
  Value v;
  v.data_ = n;
  return v;
}
Value Value::string(std::string s) {
  Value v;
  v.data_ = std::move(s);
  return v;
}
Value Value::array(Array a) {
  Value v;
  v.data_ = std::move(a);
  return v;
}
Value Value::object(Object o) {
  Value v;
  v.data_ = std::move(o);
  return v;
}

const Value* Value::find(std::string_view key) const {
  if (!is_object()) return nullptr;
  for (const auto& [k, v] : as_object())
    if (k == key) return &v;
  return nullptr;
}

std::string Value::describe() const {
  switch (data_.index()) {
    case 0: return "null";
    case 1: return as_bool() ? "boolean `true`" : "boolean `false`";
    case 2: return describe_number(as_number());
    case 3: return describe_string(as_string());
    case 4: return "sequence";
    default: return "map";
  }
}

bool operator==(const Value& a, const Value& b) {
  if (a.data_.index() != b.data_.index()) return false;
  return a.data_ == b.data_;
}

void read_value(Reader& r, Value& v) {
  int c = r.peek();
  switch (c) {
    case '{': {
      Value::Object obj;
      // Position of each key, so that a repeated key replaces its value in linear time.
      std::unordered_map<std::string, std::size_t> index;
      r.read_object([&](std::string_view key) {
        std::string k(key);
        r.expect_colon();
        Value item;
        read_value(r, item);
        auto [it, inserted] = index.try_emplace(k, obj.size());
        if (!inserted) {
          obj[it->second].second = std::move(item);
          return;
        }
        obj.emplace_back(std::move(k), std::move(item));
      });
      v = Value::object(std::move(obj));
      return;
    }
    case '[': {
      Value::Array arr;
      r.read_array([&] {
        arr.emplace_back();
        read_value(r, arr.back());
      });
      v = Value::array(std::move(arr));
      return;
    }
    case '"':
      v = Value::string(std::string(r.read_string()));
      return;
    case 'n':
      r.read_literal("null");
      v = Value();
      return;
    case 't':
      r.read_literal("true");
      v = Value::boolean(true);
      return;
    case 'f':
      r.read_literal("false");
      v = Value::boolean(false);
      return;
    case -1:
      r.fail_peek("EOF while parsing a value");
    default:
      if (c == '-' || (c >= '0' && c <= '9')) {
        v = Value::number(r.read_number());
        return;
      }
      r.fail_peek("expected value");
  }
}

void write_value(std::string& out, const Value& v) {
  if (v.is_null()) {
    write_null(out);
  } else if (v.is_bool()) {
    write_bool(out, v.as_bool());
  } else if (v.is_number()) {
    const Number& n = v.as_number();
    switch (n.kind) {
      case Number::Kind::Unsigned: write_u64(out, n.u); break;
      case Number::Kind::Negative: write_i64(out, n.i); break;
      case Number::Kind::Float: write_f64(out, n.d); break;
    }
  } else if (v.is_string()) {
    write_string(out, v.as_string());
  } else if (v.is_array()) {
    out += '[';
    bool first = true;
    for (const auto& item : v.as_array()) {
      if (!first) out += ',';
      first = false;
      write_value(out, item);
    }
    out += ']';
  } else {
    // A free-form object is written with its keys in byte order, so that its text does not
    // depend on the order in which the author happened to list the keys.
    const auto& obj = v.as_object();
    std::vector<std::size_t> order(obj.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return obj[a].first < obj[b].first; });
    out += '{';
    bool first = true;
    for (std::size_t k : order) {
      if (!first) out += ',';
      first = false;
      write_string(out, obj[k].first);
      out += ':';
      write_value(out, obj[k].second);
    }
    out += '}';
  }
}

}  // namespace varn::json
