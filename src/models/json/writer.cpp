#include "models/json/writer.h"

#include <charconv>
#include <cmath>

namespace varn::json {

void write_string(std::string& out, std::string_view s) {
  static const char* hex = "0123456789abcdef";
  out += '"';
  std::size_t run = 0;  // start of the pending run of characters that need no escape
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 0xF];
    }
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

void write_u64(std::string& out, std::uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void write_i64(std::string& out, std::int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void write_f64(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  bool has_fraction_or_exponent = false;
  for (char* q = buf; q < r.ptr; ++q) {
    if (*q == '.' || *q == 'e') {
      has_fraction_or_exponent = true;
      break;
    }
  }
  out.append(buf, r.ptr);
  if (!has_fraction_or_exponent) out += ".0";
}

}  // namespace varn::json
