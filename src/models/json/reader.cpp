#include "models/json/reader.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace varn::json {

std::string ReadError::to_string() const {
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

ReadError locate(std::string_view text, const ParseError& e) {
  std::size_t off = e.offset < text.size() ? e.offset : text.size();
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < off; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return ReadError{e.message, line, off - line_start};
}

double Number::as_double() const {
  switch (kind) {
    case Kind::Unsigned:
      return static_cast<double>(u);
    case Kind::Negative:
      return static_cast<double>(i);
    case Kind::Float:
      break;
  }
  return d;
}

bool operator==(const Number& a, const Number& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Number::Kind::Unsigned: return a.u == b.u;
    case Number::Kind::Negative: return a.i == b.i;
    case Number::Kind::Float: return a.d == b.d;
  }
  return false;
}

std::string describe_float(double d) {
  // Plain decimal notation, shortest digits that read back, always with a decimal point.
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
  std::string s(buf, r.ptr);
  if (s.find('.') == std::string::npos && std::isfinite(d)) s += ".0";
  return "floating point `" + s + "`";
}

std::string describe_number(const Number& n) {
  switch (n.kind) {
    case Number::Kind::Unsigned:
      return "integer `" + std::to_string(n.u) + "`";
    case Number::Kind::Negative:
      return "integer `" + std::to_string(n.i) + "`";
    case Number::Kind::Float:
      break;
  }
  return describe_float(n.d);
}

std::string describe_string(std::string_view s) {
  std::string out = "string \"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string unknown_variant_message(std::string_view text, const std::vector<std::string_view>& spellings) {
  std::string msg;
  msg.append("unknown variant `").append(text).append("`, expected ");
  if (spellings.size() == 2) {
    msg.append("`").append(spellings[0]).append("` or `").append(spellings[1]).append("`");
    return msg;
  }
  if (spellings.size() > 2) msg.append("one of ");
  for (std::size_t k = 0; k < spellings.size(); ++k) {
    if (k) msg.append(", ");
    msg.append("`").append(spellings[k]).append("`");
  }
  return msg;
}

void Reader::fail(std::string message) const { throw ParseError{std::move(message), offset()}; }

void Reader::fail_peek(std::string message) const {
  std::size_t off = offset();
  if (p_ < end_) ++off;
  throw ParseError{std::move(message), off};
}

void Reader::fail_invalid_type(std::string_view expected) {
  std::string found;
  int c = peek();
  switch (c) {
    case 'n':
      read_literal("null");
      found = "null";
      break;
    case 't':
      read_literal("true");
      found = "boolean `true`";
      break;
    case 'f':
      read_literal("false");
      found = "boolean `false`";
      break;
    case '"':
      found = describe_string(read_string());
      break;
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    case -1:
      fail_peek("EOF while parsing a value");
    default:
      if (c == '-' || (c >= '0' && c <= '9')) {
        found = describe_number(read_number());
      } else {
        fail_peek("expected value");
      }
  }
  std::string msg = "invalid type: ";
  msg += found;
  msg += ", expected ";
  msg += expected;
  fail(std::move(msg));
}

void Reader::enter() {
  if (depth_ + 1 >= kMaxDepth) fail_peek("recursion limit exceeded");
  ++depth_;
  bump();
}

void Reader::expect_colon() {
  int c = peek();
  if (c == ':') {
    bump();
    return;
  }
  if (c == -1) fail_peek("EOF while parsing an object");
  fail_peek("expected `:`");
}

bool Reader::next_element(bool first) {
  int c = peek();
  if (c == ']') return false;
  if (!first) {
    if (c == ',') {
      bump();
      c = peek();
      if (c == ']') fail_peek("trailing comma");
    } else if (c == -1) {
      fail_peek("EOF while parsing a list");
    } else {
      fail_peek("expected `,` or `]`");
    }
  }
  if (c == -1) fail_peek(first ? "EOF while parsing a list" : "EOF while parsing a value");
  return true;
}

void Reader::end_array() {
  int c = peek();
  if (c == ']') {
    bump();
    leave();
    return;
  }
  if (c == ',') {
    bump();
    if (peek() == ']') fail_peek("trailing comma");
    fail_peek("trailing characters");
  }
  if (c == -1) fail_peek("EOF while parsing a list");
  fail_peek("expected `,` or `]`");
}

void Reader::end_object() {
  int c = peek();
  if (c == '}') {
    bump();
    leave();
    return;
  }
  if (c == -1) fail_peek("EOF while parsing an object");
  fail_peek("trailing characters");
}

void Reader::finish() {
  if (peek() != -1) fail_peek("trailing characters");
}

void Reader::read_literal(std::string_view word) {
  // The first letter has been peeked by the caller; check it and the rest one by one.
  for (char expected : word) {
    if (p_ >= end_) fail_peek("EOF while parsing a value");
    char c = *p_;
    ++p_;
    if (c != expected) fail("expected ident");
  }
}

unsigned Reader::decode_hex4() {
  if (end_ - p_ < 4) {
    p_ = end_;
    fail("EOF while parsing a string");
  }
  unsigned n = 0;
  for (int k = 0; k < 4; ++k) {
    char c = *p_++;
    unsigned v;
    if (c >= '0' && c <= '9') v = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') v = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') v = static_cast<unsigned>(c - 'A' + 10);
    else fail("invalid escape");
    n = n * 16 + v;
  }
  return n;
}

static void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void Reader::parse_escape(std::string& out) {
  // The backslash has been consumed.
  if (p_ >= end_) fail("EOF while parsing a string");
  char c = *p_++;
  switch (c) {
    case '"': out += '"'; return;
    case '\\': out += '\\'; return;
    case '/': out += '/'; return;
    case 'b': out += '\b'; return;
    case 'f': out += '\f'; return;
    case 'n': out += '\n'; return;
    case 'r': out += '\r'; return;
    case 't': out += '\t'; return;
    case 'u': break;
    default: fail("invalid escape");
  }
  unsigned n1 = decode_hex4();
  if (n1 >= 0xDC00 && n1 <= 0xDFFF) fail("lone leading surrogate in hex escape");
  if (n1 < 0xD800 || n1 > 0xDBFF) {
    append_utf8(out, n1);
    return;
  }
  // A leading surrogate must be followed by an escaped trailing one.
  if (p_ >= end_) fail("EOF while parsing a string");
  if (*p_ != '\\') {
    ++p_;
    fail("unexpected end of hex escape");
  }
  ++p_;
  if (p_ >= end_) fail("EOF while parsing a string");
  if (*p_ != 'u') {
    ++p_;
    fail("unexpected end of hex escape");
  }
  ++p_;
  unsigned n2 = decode_hex4();
  if (n2 < 0xDC00 || n2 > 0xDFFF) fail("lone leading surrogate in hex escape");
  std::uint32_t cp = (((n1 - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000;
  append_utf8(out, cp);
}

// Length of the UTF-8 sequence that starts at p (0 when it is not valid UTF-8).
static int utf8_length(const unsigned char* p, const unsigned char* end) {
  unsigned char c = p[0];
  int n;
  std::uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (end - p < n) return 0;
  for (int k = 1; k < n; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return n;
}

std::string_view Reader::read_string() {
  // The caller has peeked the opening quote. Text without escapes is returned as a view of
  // the input; from the first escape on, the text is unescaped into the scratch buffer.
  ++p_;
  const char* const start = p_;
  const char* run = p_;  // start of the pending run not yet copied to the scratch buffer
  bool escaped = false;
  while (p_ < end_) {
    const unsigned char c = static_cast<unsigned char>(*p_);
    if (c == '"') {
      std::string_view s(start, static_cast<std::size_t>(p_ - start));
      if (escaped) {
        scratch_.append(run, p_);
        s = scratch_;
      }
      ++p_;
      return s;
    }
    if (c == '\\') {
      if (!escaped) scratch_.clear();
      escaped = true;
      scratch_.append(run, p_);
      ++p_;
      parse_escape(scratch_);
      run = p_;
      continue;
    }
    if (c < 0x20) {
      ++p_;
      fail("control character (\\u0000-\\u001F) found while parsing a string");
    }
    if (c < 0x80) {
      ++p_;
      continue;
    }
    const int n = utf8_length(reinterpret_cast<const unsigned char*>(p_), reinterpret_cast<const unsigned char*>(end_));
    if (n == 0) {
      ++p_;
      fail("invalid unicode code point");
    }
    p_ += n;
  }
  fail("EOF while parsing a string");
}

Number Reader::read_number() {
  // The caller has peeked '-' or a digit.
  const char* start = p_;
  bool negative = false;
  if (*p_ == '-') {
    negative = true;
    ++p_;
  }
  if (p_ >= end_) fail("EOF while parsing a value");
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!is_digit(*p_)) fail_peek("invalid number");
  const char* int_start = p_;
  if (*p_ == '0') {
    ++p_;
    if (p_ < end_ && is_digit(*p_)) fail_peek("invalid number");
  } else {
    while (p_ < end_ && is_digit(*p_)) ++p_;
  }
  const char* int_end = p_;
  bool is_float = false;
  if (p_ < end_ && *p_ == '.') {
    is_float = true;
    ++p_;
    if (p_ >= end_) fail("EOF while parsing a value");
    if (!is_digit(*p_)) fail_peek("invalid number");
    while (p_ < end_ && is_digit(*p_)) ++p_;
  }
  long exp_value = 0;
  if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
    is_float = true;
    ++p_;
    bool exp_negative = false;
    if (p_ < end_ && (*p_ == '+' || *p_ == '-')) {
      exp_negative = *p_ == '-';
      ++p_;
    }
    if (p_ >= end_) fail("EOF while parsing a value");
    if (!is_digit(*p_)) fail_peek("invalid number");
    while (p_ < end_ && is_digit(*p_)) {
      if (exp_value < 100000) exp_value = exp_value * 10 + (*p_ - '0');
      ++p_;
    }
    if (exp_negative) exp_value = -exp_value;
  }
  Number n;
  if (!is_float) {
    std::uint64_t u = 0;
    auto r = std::from_chars(int_start, int_end, u);
    if (r.ec == std::errc() && r.ptr == int_end) {
      if (!negative) {
        n.kind = Number::Kind::Unsigned;
        n.u = u;
        return n;
      }
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1) {
        n.kind = Number::Kind::Negative;
        n.i = u == static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1
                  ? std::numeric_limits<std::int64_t>::min()
                  : -static_cast<std::int64_t>(u);
        if (n.i == 0) {
          // "-0" is an integer zero
          n.kind = Number::Kind::Unsigned;
          n.u = 0;
        }
        return n;
      }
    }
    // Integers beyond 64 bits are read as floats.
  }
  n.kind = Number::Kind::Float;
  double d = 0.0;
  auto r = std::from_chars(start, p_, d);
  if (r.ec == std::errc::result_out_of_range) {
    // Out of range is an overflow when the decimal magnitude is large, an underflow to zero
    // otherwise (the nearest double is zero).
    long digits_before_point = 0;
    const char* q = int_start;
    while (q < int_end && *q == '0') ++q;
    if (q < int_end) {
      digits_before_point = static_cast<long>(int_end - q);
    } else {
      // leading zeros after the decimal point count negatively
      const char* f = int_end;
      if (f < p_ && *f == '.') ++f;
      long zeros = 0;
      while (f < p_ && *f == '0') {
        ++zeros;
        ++f;
      }
      digits_before_point = -zeros;
    }
    if (digits_before_point + exp_value > 0) fail("number out of range");
    d = negative ? -0.0 : 0.0;
  } else if (r.ec != std::errc() || r.ptr != p_) {
    fail("invalid number");
  }
  n.d = d;
  return n;
}

void Reader::skip_string() { (void)read_string(); }

void Reader::skip_value() {
  int c = peek();
  switch (c) {
    case '{':
      read_object([&](std::string_view) {
        expect_colon();
        skip_value();
      });
      return;
    case '[':
      read_array([&] { skip_value(); });
      return;
    case '"':
      skip_string();
      return;
    case 'n':
      read_literal("null");
      return;
    case 't':
      read_literal("true");
      return;
    case 'f':
      read_literal("false");
      return;
    case -1:
      fail_peek("EOF while parsing a value");
    default:
      if (c == '-' || (c >= '0' && c <= '9')) {
        (void)read_number();
        return;
      }
      fail_peek("expected value");
  }
}

}  // namespace varn::json
